// AsyncSegmentReader: one open segment of an index.
//
// A segment is opened once from its files and then shared, read-only, by
// every request: its metadata (document count, per-field token statistics),
// its term dictionary, a handle on its posting file, its document store and,
// for schemas with dense-vector fields, its vector indexes.
//
// `open` touches the files strictly in this order, each step finished before
// the next begins:
//   ".meta"    read whole and parsed
//   ".terms"   size taken, then footer, block index, sparse index, bloom
//              filter and compression dictionary read
//   ".post"    size taken only (so a missing posting file fails the open,
//              although postings are read only by later lookups)
//   ".store"   size taken, then footer, dictionary and block index read
//   vectors    only when the schema has a dense-vector field
// Any failure fails the open with Error::Io carrying the file layer's error.
//
// Document numbers here are local to the segment; `doc_base` is the global
// number of the segment's first document, given by whoever lists the segment.
// A reader is one listing of a segment: what `open` read (metadata, term
// dictionary with its block cache, posting handle, store with its block
// cache, vector indexes) sits in a shared immutable part, so a segment listed
// more than once is opened once and `with_doc_base` gives each further
// listing its own base over the same files, caches and indexes.
//
// Thread safety: immutable after `open`; any number of threads may call
// `get_postings` and `doc` at once. The only shared mutable state reached
// through a reader is the two block caches and the search-state slot (the
// query layer's ListChecks), each behind its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/directories/directory.h"
#include "core/directories/lazy_file.h"
#include "core/dsl/document.h"
#include "core/dsl/schema.h"
#include "core/error/error.h"
#include "core/segment/segment_id.h"
#include "core/segment/segment_meta.h"
#include "core/segment/store.h"
#include "core/structures/postings/posting.h"
#include "core/structures/sstable/sstable.h"
#include "core/structures/vector/vector_file.h"

namespace zelvar {

// The dense-vector indexes of a segment and its coarse centroids.
using SegmentVectors = LoadedVectors;

class AsyncSegmentReader {
 public:
  // Opens segment `id` of `directory` (see the file order above).
  // `cache_blocks` is the capacity of both the term-dictionary block cache
  // and the document-store block cache. The vector step spends
  // `vectors_budget` (see VectorBudget), which the index shares between all
  // the segments of one load; the overload without it gives the segment a
  // budget of its own.
  static Result<std::shared_ptr<const AsyncSegmentReader>> open(
      const FsDirectory& directory, SegmentId id, std::shared_ptr<const Schema> schema,
      uint32_t doc_base, size_t cache_blocks, VectorBudget& vectors_budget);
  static Result<std::shared_ptr<const AsyncSegmentReader>> open(
      const FsDirectory& directory, SegmentId id, std::shared_ptr<const Schema> schema,
      uint32_t doc_base, size_t cache_blocks);

  // `open` in two parts. `prepare` takes the steps up to ".store", which
  // depend on nothing outside the segment, so that an index may prepare
  // several segments at once; `finish` takes the vector step, which spends
  // the budget shared with the other segments, and makes the reader. Both
  // fail as `open` does at the same step.
  struct Prepared {
    SegmentMeta meta;
    std::shared_ptr<const AsyncSSTableReader> term_dict;
    LazyFileHandle postings;
    std::shared_ptr<const AsyncStoreReader> store;
  };
  static Result<Prepared> prepare(const FsDirectory& directory, SegmentId id, size_t cache_blocks);
  static Result<std::shared_ptr<const AsyncSegmentReader>> finish(
      const FsDirectory& directory, SegmentId id, Prepared prepared, std::shared_ptr<const Schema> schema,
      uint32_t doc_base, VectorBudget& vectors_budget);

  AsyncSegmentReader(const AsyncSegmentReader&) = delete;
  AsyncSegmentReader& operator=(const AsyncSegmentReader&) = delete;

  // The same segment listed again with the base `doc_base`: shares everything
  // this reader opened (files, block caches, vector indexes); reads nothing.
  std::shared_ptr<const AsyncSegmentReader> with_doc_base(uint32_t doc_base) const;

  // The posting list of `term` in `field`; absent when the segment has no
  // such term. Every call reads the list afresh (posting lists are not
  // cached; the dictionary's blocks are). Corruption errors:
  // "Posting offset out of bounds" for an external list that ends beyond the
  // posting file, "TermInfo has neither inline nor external data" for inline
  // postings that do not decode.
  Result<std::optional<BlockPostingList>> get_postings(Field field,
                                                       std::span<const uint8_t> term) const;
  Result<std::optional<BlockPostingList>> get_postings(Field field, std::string_view term) const;

  // False when the segment certainly has no `term` in `field` (its term
  // dictionary's bloom filter rejects the key), so that get_postings would
  // answer absent without reading or failing. Reads nothing.
  bool may_hold_term(Field field, std::span<const uint8_t> term) const;

  // A posting list and the place in ".post" where it starts, absent for a
  // list kept inline in the term dictionary. A list is what the bytes from
  // its place on decode to (bytes after it are not read), so within the
  // segment its place names it.
  struct PlacedPostings {
    BlockPostingList list;
    std::optional<uint64_t> place;
  };
  // As get_postings, with the list's place.
  Result<std::optional<PlacedPostings>> get_placed_postings(Field field, std::span<const uint8_t> term) const;

  // The one piece of state a higher layer keeps per segment (the query
  // layer's ListChecks, core/query/list_checks.h), of type T: made at its
  // first use, shared by every listing of the segment, destroyed with it. The
  // slot knows nothing of T, so every caller must ask for the same type.
  template <class T>
  T& search_state() const {
    SearchStateSlot& slot = *opened_->search_state;
    std::call_once(slot.made, [&slot] { slot.state = std::make_shared<T>(); });
    return *static_cast<T*>(slot.state.get());
  }

  // The stored document with local number `local`; absent when `local` is at
  // or beyond the store's document count.
  Result<std::optional<Document>> doc(uint32_t local) const;

  // The same for every listing of one opened segment and different for every
  // other: listings with equal ids give every search the same local hits, or
  // the same error.
  const void* opened_id() const { return opened_.get(); }

  const SegmentMeta& meta() const { return opened_->meta; }
  uint32_t num_docs() const { return opened_->meta.num_docs; }
  uint32_t doc_base() const { return doc_base_; }
  const std::shared_ptr<const Schema>& schema() const { return opened_->schema; }
  const AsyncSSTableReader& term_dict() const { return *opened_->term_dict; }
  const AsyncStoreReader& store() const { return *opened_->store; }
  // The size of ".post" taken at open; external lists must end within it.
  uint64_t postings_file_size() const { return opened_->postings.file_size(); }
  // The segment's dense-vector indexes by field number, and its centroids
  // (none without an IVF index whose centroid file loaded).
  const std::map<uint32_t, VectorIndex>& vector_indexes() const {
    return opened_->vectors.vector_indexes;
  }
  const std::shared_ptr<const CoarseCentroids>& coarse_centroids() const {
    return opened_->vectors.coarse_centroids;
  }

  // The key under which the term dictionary holds (field, term): the field
  // number as 4 little-endian bytes followed by the term's bytes.
  static std::vector<uint8_t> term_key(Field field, std::span<const uint8_t> term);

 private:
  struct SearchStateSlot {
    std::once_flag made;
    std::shared_ptr<void> state;  // set once, under `made`
  };

  // What `open` read from the segment's files; shared by every listing.
  struct Opened {
    SegmentMeta meta;
    std::shared_ptr<const AsyncSSTableReader> term_dict;
    LazyFileHandle postings;  // size taken at open
    std::shared_ptr<const AsyncStoreReader> store;
    std::shared_ptr<const Schema> schema;
    SegmentVectors vectors;
    std::unique_ptr<SearchStateSlot> search_state;
  };

  AsyncSegmentReader(std::shared_ptr<const Opened> opened, uint32_t doc_base)
      : opened_(std::move(opened)), doc_base_(doc_base) {}

  std::shared_ptr<const Opened> opened_;
  uint32_t doc_base_;
};

}  // namespace zelvar
