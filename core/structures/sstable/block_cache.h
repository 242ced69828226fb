// A least-recently-used cache of decompressed blocks, shared by every reader
// of one file.
//
// Blocks are handed out as std::shared_ptr<const Block>: a block evicted while
// a caller still uses it stays alive until that caller drops it.
//
// Policy (readers of stored files depend on it only for cost, but it is kept
// exact so that cache behaviour is predictable and testable):
//   - `order` lists keys from least to most recently used and may hold a key
//     more than once, or a stale key whose block has already left `blocks`;
//     `blocks` holds at most one block per key.
//   - get(k): absent if k has no block (nothing changes); otherwise the oldest
//     occurrence of k in `order` moves to the most recent end.
//   - insert(k, b): while `blocks` holds max_blocks or more and `order` is not
//     empty, pop the least recent key and drop its block (a stale key drops
//     nothing, the loop goes on); then store b under k, replacing any block
//     there, and append k to `order` even if it is already in it.
//   Consequently a capacity of 0 acts as a capacity of 1, and a block inserted
//   twice keeps two places, the older of which evicts it.
//
// Two callers that miss on the same key may both load the block; the later
// insertion wins. Loading never happens under the cache's lock.
//
// Thread safety: every operation takes the cache's own mutex for its duration
// only; the cache never calls out while holding it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace zelvar {

template <class Key, class Block = std::vector<uint8_t>, class Hash = std::hash<Key>>
class LruBlockCache {
 public:
  using BlockPtr = std::shared_ptr<const Block>;

  explicit LruBlockCache(size_t max_blocks) : max_blocks_(max_blocks) {}

  LruBlockCache(const LruBlockCache&) = delete;
  LruBlockCache& operator=(const LruBlockCache&) = delete;

  // The block cached under `key`, refreshing its oldest place; null if none.
  BlockPtr get(const Key& key) {
    std::lock_guard lock(mutex_);
    auto it = blocks_.find(key);
    if (it == blocks_.end()) return nullptr;
    auto pos = std::find(order_.begin(), order_.end(), key);
    if (pos != order_.end()) {
      order_.erase(pos);
      order_.push_back(key);
    }
    return it->second;
  }

  // Caches `block` under `key`, evicting least recently used keys first.
  void insert(const Key& key, BlockPtr block) {
    // Evicted blocks are released after the lock, so that freeing a large
    // block does not lengthen the critical section.
    std::vector<BlockPtr> released;
    {
      std::lock_guard lock(mutex_);
      while (blocks_.size() >= max_blocks_ && !order_.empty()) {
        Key oldest = std::move(order_.front());
        order_.pop_front();
        auto it = blocks_.find(oldest);
        if (it != blocks_.end()) {
          released.push_back(std::move(it->second));
          blocks_.erase(it);
        }
      }
      auto [it, inserted] = blocks_.try_emplace(key, nullptr);
      if (!inserted) released.push_back(std::move(it->second));
      it->second = std::move(block);
      order_.push_back(key);
    }
  }

  size_t max_blocks() const { return max_blocks_; }

  // Number of blocks held.
  size_t size() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }

  bool contains(const Key& key) const {
    std::lock_guard lock(mutex_);
    return blocks_.contains(key);
  }

  // The recency list, least recent first, stale keys included (for tests and
  // diagnostics).
  std::vector<Key> order() const {
    std::lock_guard lock(mutex_);
    return {order_.begin(), order_.end()};
  }

 private:
  const size_t max_blocks_;
  mutable std::mutex mutex_;
  std::deque<Key> order_;                             // guarded by mutex_
  std::unordered_map<Key, BlockPtr, Hash> blocks_;  // guarded by mutex_
};

// The term dictionary's cache: decompressed blocks keyed by their file offset.
using BlockCache = LruBlockCache<uint64_t>;

}  // namespace zelvar
