// A least-recently-used cache of decompressed blocks, shared by every reader
// of one file (the term dictionary's BlockCache, the document store's
// StoreBlockCache).
//
// Blocks are handed out as std::shared_ptr<const Block>: a block evicted while
// a caller still uses it stays alive until that caller drops it.
//
// Policy (readers of stored files depend on it only for cost, but it is kept
// exact so that cache behaviour is predictable and testable):
//   - `order` lists keys from least to most recently used and may hold a key
//     more than once, or a stale key whose block has already left the cache;
//     the cache holds at most one block per key.
//   - get(k): absent if k has no block (nothing changes); otherwise the oldest
//     occurrence of k in `order` moves to the most recent end.
//   - insert(k, b): while the cache holds max_blocks blocks or more, or
//     holding b as well would take it past max_bytes, and `order` is not
//     empty, pop the least recent key and drop its block (a stale key drops
//     nothing, the loop goes on); then store b under k, replacing any block
//     there, and append k to `order` even if it is already in it.
//   Consequently a capacity of 0 acts as a capacity of 1, and a block inserted
//   twice keeps two places, the older of which evicts it.
//   - A block larger than max_bytes is never kept: insert leaves the cache as
//     it is, and the caller's reference is the block's only holder (its
//     loader only remembers it weakly, see block_loader.h).
// The byte budget bounds what a small hostile file can make the cache hold
// (blocks of many megabytes each); blocks of real indexes are far too small
// for 256 of them to reach it, so for them only the block count evicts.
//
// Every operation takes constant time: each key keeps the positions of its
// occurrences in `order`, oldest first.
//
// Two callers that miss on the same key may both load the block; the later
// insertion wins. Loading never happens under the cache's lock.
//
// Thread safety: every operation takes the cache's own mutex for its duration
// only; the cache never calls out while holding it, and evicted blocks are
// released after it.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace zelvar {

template <class Key, class Block = std::vector<uint8_t>, class Hash = std::hash<Key>>
class LruBlockCache {
 public:
  using BlockPtr = std::shared_ptr<const Block>;

  // The byte budget of a cache unless its owner gives another.
  static constexpr size_t kDefaultMaxBytes = size_t{64} << 20;

  explicit LruBlockCache(size_t max_blocks, size_t max_bytes = kDefaultMaxBytes)
      : max_blocks_(max_blocks), max_bytes_(max_bytes) {}

  LruBlockCache(const LruBlockCache&) = delete;
  LruBlockCache& operator=(const LruBlockCache&) = delete;

  // The block cached under `key`, refreshing its oldest place; null if none.
  BlockPtr get(const Key& key) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || !it->second.block) return nullptr;
    Entry& entry = it->second;
    // A held block always has a place: only eviction removes places, and it
    // drops the block with the place.
    const Place oldest = entry.places.front();
    order_.splice(order_.end(), order_, oldest);
    entry.places.erase(entry.places.begin());
    entry.places.push_back(oldest);
    return entry.block;
  }

  // Caches `block` under `key`, evicting least recently used keys first.
  void insert(const Key& key, BlockPtr block) {
    const size_t size = block->size();
    if (size > max_bytes_) return;
    std::vector<BlockPtr> released;  // freed after the lock
    std::lock_guard lock(mutex_);
    while ((held_ >= max_blocks_ || bytes_ + size > max_bytes_) && !order_.empty()) {
      evict_oldest(released);
    }
    Entry& entry = entries_[key];
    if (entry.block) {
      released.push_back(std::move(entry.block));
      bytes_ -= entry.bytes;
      --held_;
    }
    entry.block = std::move(block);
    entry.bytes = size;
    bytes_ += size;
    ++held_;
    order_.push_back(key);
    entry.places.push_back(std::prev(order_.end()));
  }

  size_t max_blocks() const { return max_blocks_; }
  size_t max_bytes() const { return max_bytes_; }

  // Number of blocks held.
  size_t size() const {
    std::lock_guard lock(mutex_);
    return held_;
  }

  // Bytes of the blocks held.
  size_t bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }

  bool contains(const Key& key) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    return it != entries_.end() && it->second.block != nullptr;
  }

  // The recency list, least recent first, stale keys included (for tests and
  // diagnostics).
  std::vector<Key> order() const {
    std::lock_guard lock(mutex_);
    return {order_.begin(), order_.end()};
  }

 private:
  using Place = typename std::list<Key>::iterator;

  struct Entry {
    BlockPtr block;             // null while only stale places remain
    size_t bytes = 0;           // block->size() when held
    std::vector<Place> places;  // the key's occurrences in order_, oldest first
  };

  // Removes the least recent place and, if its key holds a block, the block.
  // The oldest place overall is the oldest of its key. Precondition: order_
  // is not empty; mutex_ is held.
  void evict_oldest(std::vector<BlockPtr>& released) {
    auto it = entries_.find(order_.front());
    assert(it != entries_.end() && it->second.places.front() == order_.begin());
    Entry& entry = it->second;
    entry.places.erase(entry.places.begin());
    order_.pop_front();
    if (entry.block) {
      released.push_back(std::move(entry.block));
      bytes_ -= entry.bytes;
      entry.bytes = 0;
      --held_;
    }
    if (entry.places.empty()) entries_.erase(it);
  }

  const size_t max_blocks_;
  const size_t max_bytes_;
  mutable std::mutex mutex_;
  std::list<Key> order_;                         // guarded by mutex_
  std::unordered_map<Key, Entry, Hash> entries_;  // guarded by mutex_
  size_t held_ = 0;                              // guarded by mutex_: blocks held
  size_t bytes_ = 0;                             // guarded by mutex_: their bytes
};

}  // namespace zelvar
