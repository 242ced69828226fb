// Index: the engine's handle on one index folder written by another program.
//
// `Index::open` reads and parses "schema.json", loads every segment listed in
// "segments.json" (in list order, each with a document base equal to the sum
// of the document counts before it), starts the index's idle worker pool and
// settles the default fields. Nothing here writes to the folder.
//
// The segment list is the only state that changes after open: `reload` loads
// the listed segments anew and swaps the whole list in; a failed reload keeps
// the old one. Every search and document fetch works on its own snapshot
// (`segment_readers`), so readers replaced by a reload stay alive until the
// last snapshot holding them is dropped.
//
// Global document numbers: a document's segment base plus its local number,
// all sums modulo 2^32.
//
// Thread safety: every member may be called from any thread. The segment list
// sits behind a reader-writer lock, held shared only to copy a snapshot or sum
// the counts, and exclusively only to swap the list; no file is read under it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "core/directories/directory.h"
#include "core/dsl/document.h"
#include "core/dsl/schema.h"
#include "core/error/error.h"
#include "core/index/index_config.h"
#include "core/index/worker_pool.h"
#include "core/segment/reader.h"
#include "core/tokenizer/registry.h"

namespace zelvar {

// A list of open segments in index order; each entry keeps its reader alive.
using SegmentReaders = std::vector<std::shared_ptr<const AsyncSegmentReader>>;

class Index {
 public:
  // Opens the index in `directory` (its root is used as given, unchecked).
  // Errors: Error::Io reading "schema.json"; Error::Serialization with the
  // JSON reader's message for a schema it rejects; any error of
  // `load_segments`; Error::Io of kind Other if the worker pool cannot start.
  static Result<std::shared_ptr<Index>> open(FsDirectory directory, IndexConfig config);

  // Opens every segment listed in "segments.json" (none if the file is
  // absent). A segment listed more than once is opened once; its listings
  // share one reader's files, caches and indexes, each with its own base.
  // The segments' vector loads share one VectorBudget.
  // Errors: Error::Io reading the list; Error::Serialization if it
  // is not a JSON array of strings; Error::Corruption "Invalid segment ID: "
  // followed by the listed text; the first failing segment's own error.
  // "First" is in list order: the answer is that of opening the segments one
  // after the other and stopping at the first error, although the segments'
  // own files are read on several blocking threads at once (see
  // AsyncSegmentReader::prepare) and only the vector step goes in order.
  // Nothing of a failed load survives.
  static Result<SegmentReaders> load_segments(const std::shared_ptr<const FsDirectory>& directory,
                                              const std::shared_ptr<const Schema>& schema,
                                              const IndexConfig& config);

  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  ~Index();

  // A copy of the current segment list; cannot fail.
  SegmentReaders segment_readers() const;

  // Loads the segment list again and swaps it in. On error the current list
  // stays in force and the error is returned. "schema.json" is not re-read.
  Result<void> reload();

  // The document with global number `doc_id`, found by walking the current
  // list; absent when no segment covers the number or the segment's store
  // holds fewer documents.
  Result<std::optional<Document>> doc(uint32_t doc_id) const;

  // The sum, modulo 2^32, of the current segments' document counts.
  uint32_t num_docs() const;

  // The number of segments in the current list.
  size_t num_segments() const;

  const std::shared_ptr<const FsDirectory>& directory() const { return directory_; }
  const std::shared_ptr<const Schema>& schema() const { return schema_; }
  const IndexConfig& config() const { return config_; }

  // The fields searched when a query names none: the schema's own list if it
  // is not empty, else every indexed text field in schema order.
  const std::vector<Field>& default_fields() const { return default_fields_; }

  size_t worker_threads() const { return thread_pool_->num_threads(); }
  const TokenizerRegistry& tokenizers() const { return *tokenizers_; }

 private:
  Index(std::shared_ptr<const FsDirectory> directory, std::shared_ptr<const Schema> schema,
        IndexConfig config, SegmentReaders segments, std::vector<Field> default_fields,
        std::shared_ptr<const TokenizerRegistry> tokenizers,
        std::shared_ptr<const WorkerPool> thread_pool);

  static std::vector<uint32_t> doc_counts_of(const SegmentReaders& segments);

  // Fields are released in this order when the index is destroyed.
  std::shared_ptr<const FsDirectory> directory_;
  std::shared_ptr<const Schema> schema_;
  IndexConfig config_;
  mutable std::shared_mutex segments_mutex_;
  SegmentReaders segments_;  // guarded by segments_mutex_
  // Guarded by segments_mutex_: each segment's document count, in list
  // order, so that a fetch finds its segment by walking one small array
  // rather than every reader.
  std::vector<uint32_t> doc_counts_;
  std::vector<Field> default_fields_;
  std::shared_ptr<const TokenizerRegistry> tokenizers_;
  std::shared_ptr<const WorkerPool> thread_pool_;
};

}  // namespace zelvar
