// The document store of a segment, base + ".store": every document's stored
// JSON, packed in local-number order into zstd-compressed blocks.
//
// Layout (little-endian; every region is located from the footer alone):
//
//   [0, data_end_offset)   blocks, each zstd-compressed as a unit (with the
//                          dictionary when the store has one). Decompressed, a
//                          block is its documents' records back to back:
//                            u32 N, then N bytes of the document's JSON
//   dict_offset            optional dictionary section: u32 L, L bytes
//   index region           u32 n, then n entries of 20 bytes:
//                            u32 first_doc, u64 offset, u32 length, u32 num_docs
//                          (bytes after the n-th entry are ignored); it starts
//                          after the dictionary section, or at data_end_offset
//                          without one, and ends at the footer
//   last 32 bytes          footer: u64 data_end_offset, u64 dict_offset,
//                          u32 num_docs, u32 has_dict, u32 version (2),
//                          u32 magic 0x53544F52
//
// The dictionary is used only when both has_dict and dict_offset are non-zero.
// Beyond what the reading needs nothing is cross-checked: regions may overlap,
// the entries need not be sorted or contiguous, and their counts need not
// agree with the footer's. The block search assumes entries ascending by
// first_doc; on other files it may miss documents but never reads outside a
// block's recorded bytes.
//
// Thread safety: an open store is immutable apart from its block cache, which
// has its own lock, held for one cache operation only (never across a read,
// a decompression, the record walk or the JSON parse). Share it freely as
// std::shared_ptr<const AsyncStoreReader>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/compression/block_cache.h"
#include "core/compression/block_loader.h"
#include "core/compression/zstd.h"
#include "core/directories/buffer_pool.h"
#include "core/directories/lazy_file.h"
#include "core/dsl/document.h"
#include "core/error/io_error.h"

namespace zelvar {

// One block of the store, as its index entry describes it.
struct StoreBlockIndex {
  uint32_t first_doc = 0;  // local number of the block's first document
  uint64_t offset = 0;     // file offset of the compressed block
  uint32_t length = 0;     // compressed length in bytes
  uint32_t num_docs = 0;   // documents (records) in the block

  friend bool operator==(const StoreBlockIndex&, const StoreBlockIndex&) = default;
};

// The block index, read at every open; its memory is kept for the next open
// once the reader is gone (see buffer_pool).
using StoreIndex = std::vector<StoreBlockIndex, buffer_pool::Allocator<StoreBlockIndex>>;

// Decompressed blocks keyed by their first_doc, with the term dictionary's
// least-recently-used policy.
using StoreBlockCache = LruBlockCache<uint32_t>;
// A decompressed block; it stays valid for its holder after eviction.
using StoreBlock = SharedBlock;

class AsyncStoreReader {
 public:
  inline static constexpr uint32_t kMagic = 0x53544F52;
  inline static constexpr uint32_t kVersion = 2;
  inline static constexpr uint64_t kFooterSize = 32;

  // Reads the footer, the dictionary (if any) and the block index through
  // `handle`; reads no block. `cache_blocks` is the block cache's capacity.
  static IoResult<std::shared_ptr<const AsyncStoreReader>> open(LazyFileHandle handle,
                                                                size_t cache_blocks);

  AsyncStoreReader(const AsyncStoreReader&) = delete;
  AsyncStoreReader& operator=(const AsyncStoreReader&) = delete;

  // The document with local number `local`; absent when `local` is at or
  // beyond num_docs() (tested first, so such a number reads nothing).
  IoResult<std::optional<Document>> get(uint32_t local) const;

  // The index entry whose block `get` reads for `local`: the last entry whose
  // first_doc is at most `local` (as a search over entries ascending by
  // first_doc finds it), if `local` is one of its documents; else null. Does
  // not look at num_docs().
  const StoreBlockIndex* entry_of(uint32_t local) const;

  // The decompressed block of `entry`, from the cache or read, decompressed
  // and then cached. Two concurrent misses both load; the later insert wins.
  IoResult<StoreBlock> load_block(const StoreBlockIndex& entry) const;

  uint32_t num_docs() const { return num_docs_; }
  std::span<const StoreBlockIndex> index() const { return index_; }
  const std::optional<CompressionDict>& dictionary() const { return dictionary_; }
  // The block area, [0, data_end_offset) of the file.
  const LazyFileSlice& data() const { return blocks_.data(); }
  const StoreBlockCache& cache() const { return blocks_.cache(); }

 private:
  AsyncStoreReader(StoreIndex index, std::optional<CompressionDict> dictionary,
                   LazyFileSlice data, size_t cache_blocks, uint32_t num_docs)
      : index_(std::move(index)),
        dictionary_(std::move(dictionary)),
        blocks_(std::move(data), dictionary_, cache_blocks, zstd::kMaxDecompressedSize),
        num_docs_(num_docs) {}

  const StoreIndex index_;                           // file order
  const std::optional<CompressionDict> dictionary_;  // used for every block
  const BlockLoader<uint32_t> blocks_;               // the block area and its cache
  const uint32_t num_docs_;                          // the footer's count
};

namespace store {

// Parses one stored document's JSON. A rejected text is InvalidData carrying
// the JSON reader's message with its position.
IoResult<Document> deserialize_document(std::span<const uint8_t> bytes);

}  // namespace store
}  // namespace zelvar
