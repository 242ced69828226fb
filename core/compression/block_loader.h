// The one way compressed blocks are loaded: the term dictionary's data blocks
// and the document store's blocks both come through a BlockLoader.
//
// A loader owns a file's block area (a window of a lazily read file), the
// file's zstd dictionary digested once (at the first block load), and the
// file's block cache. Loading a block looks it up in the cache; on a miss it
// reads the block's bytes through the window, decompresses them whole (with
// the dictionary when the file has one) and caches the result. A block that
// fails to read or decompress is not cached, so a later load tries it again.
//
// A block too large for the cache's byte budget is not kept (see
// block_cache.h), but the loader remembers the last such block weakly, by the
// bytes it was read from: while the call that loaded it, or any other
// caller, still holds it, a load of the same bytes gets that block instead of
// decompressing it again. The same bytes decompress to the same block, so
// nothing a caller sees changes; the memory held does not either, since the
// loader's reference keeps nothing alive. Blocks that fit the budget follow
// the cache's policy alone.
//
// Thread safety: immutable apart from the cache and the remembered block,
// each behind its own lock, neither ever held across a read or a
// decompression; two loads that miss on one key both read and decompress,
// and the later insertion wins.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/compression/block_cache.h"
#include "core/compression/zstd.h"
#include "core/directories/lazy_file.h"
#include "core/error/io_error.h"

namespace zelvar {

// A decompressed block, shared by the cache and every caller that uses it.
using SharedBlock = std::shared_ptr<const std::vector<uint8_t>>;

// Reads `range` of `data` and decompresses it whole, with `dict` when given,
// into a block of at most `max_size` bytes. Errors: the window's and the
// file's range and read errors; the decompression errors, including
// "Decompressed block exceeds <max_size> bytes".
IoResult<SharedBlock> read_block(const LazyFileSlice& data, ByteRange range, const zstd::DecoderDict* dict,
                                 size_t max_size);

// The last block a loader could not cache, held weakly (see above).
class OversizedBlock {
 public:
  // The remembered block if it was read from `range` and a holder still
  // keeps it alive; else null.
  SharedBlock find(ByteRange range) const {
    // Files whose blocks all fit never take the lock.
    if (!remembered_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(mutex_);
    return range == range_ ? block_.lock() : nullptr;
  }

  // Remembers `block`, read from `range`, in place of the last one.
  void remember(ByteRange range, const SharedBlock& block) {
    std::lock_guard lock(mutex_);
    range_ = range;
    block_ = block;
    remembered_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> remembered_{false};  // set once, with the first block
  mutable std::mutex mutex_;
  ByteRange range_;                                  // guarded by mutex_
  std::weak_ptr<const std::vector<uint8_t>> block_;  // guarded by mutex_
};

template <class Key>
class BlockLoader {
 public:
  using Cache = LruBlockCache<Key>;

  // `cache_blocks` is the cache's capacity in blocks (0 acts as 1); its byte
  // budget is the cache's default. `max_block_size` bounds one block's
  // decompressed size.
  // `dictionary` belongs to the loader's owner and must outlive the loader.
  BlockLoader(LazyFileSlice data, const std::optional<CompressionDict>& dictionary, size_t cache_blocks,
              size_t max_block_size)
      : data_(std::move(data)),
        dictionary_(dictionary ? &*dictionary : nullptr),
        max_block_size_(max_block_size),
        cache_(cache_blocks) {}

  BlockLoader(const BlockLoader&) = delete;
  BlockLoader& operator=(const BlockLoader&) = delete;

  // The block cached under `key`, refreshing it; null if none.
  SharedBlock cached(const Key& key) const { return cache_.get(key); }

  // The block cached under `key`, else the block too large for the cache
  // last read from `range` while a caller still holds it, else bytes `range`
  // of the block area read, decompressed and cached under `key` (or, too
  // large for the cache, remembered).
  IoResult<SharedBlock> load(const Key& key, ByteRange range) const {
    if (SharedBlock hit = cache_.get(key)) return hit;
    if (SharedBlock held = oversized_.find(range)) return held;
    auto block = read_block(data_, range, decoder_dict(), max_block_size_);
    if (block) {
      if ((*block)->size() > cache_.max_bytes()) {
        oversized_.remember(range, *block);
      } else {
        cache_.insert(key, *block);
      }
    }
    return block;
  }

  const LazyFileSlice& data() const { return data_; }
  const Cache& cache() const { return cache_; }

 private:
  // The file's dictionary digested, on the first block that needs it: a
  // reader opened for one search, or for none, never pays for digesting the
  // dictionaries of files it does not read (tens of microseconds each).
  const zstd::DecoderDict* decoder_dict() const {
    if (dictionary_ == nullptr) return nullptr;
    std::call_once(digest_once_, [this] { decoder_dict_.emplace(*dictionary_); });
    return &*decoder_dict_;
  }

  const LazyFileSlice data_;
  const CompressionDict* const dictionary_;  // null without one
  mutable std::once_flag digest_once_;
  mutable std::optional<zstd::DecoderDict> decoder_dict_;  // set once, under digest_once_
  const size_t max_block_size_;
  mutable Cache cache_;               // locks itself
  mutable OversizedBlock oversized_;  // locks itself
};

}  // namespace zelvar
