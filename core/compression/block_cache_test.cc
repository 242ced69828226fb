#include "core/compression/block_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace zelvar {
namespace {

using BlockCache = LruBlockCache<uint64_t>;

// A step is "+K" (insert K), "?K" (get K, expected hit) or "-K" (get K,
// expected miss); keys are single letters mapped to numbers.
struct CacheCase {
  const char* name;
  size_t capacity;
  std::vector<std::string> steps;
  std::string held;   // keys holding a block afterwards, ascending
  std::string order;  // recency list afterwards, stale keys included
};

const CacheCase kCases[] = {
    {"refreshed key keeps its older place", 3, {"+A", "+B", "+A", "+C", "+D"}, "BCD", "BACD"},
    {"then the next insertion evicts B", 3, {"+A", "+B", "+A", "+C", "+D", "+E"}, "CDE", "ACDE"},
    {"a stale key is skipped", 3, {"+A", "+B", "+A", "+C", "+D", "+E", "+F"}, "DEF", "DEF"},
    {"get refreshes", 2, {"+A", "+B", "?A", "+C"}, "AC", "AC"},
    {"get moves only the older place", 3, {"+A", "+B", "+A", "?A", "+C", "+D"}, "ACD", "AACD"},
    {"a miss changes nothing", 2, {"+A", "-B", "+B", "+C"}, "BC", "BC"},
    {"capacity 0 keeps the newest", 0, {"+A", "+B", "-A", "?B"}, "B", "B"},
    {"capacity 1", 1, {"+A", "?A", "+B", "-A", "?B"}, "B", "B"},
    {"re-insertion below capacity keeps both places", 3, {"+A", "+A"}, "A", "AA"},
};

std::string letters(const std::vector<uint64_t>& keys) {
  std::string out;
  for (uint64_t k : keys) out.push_back(static_cast<char>('A' + k));
  return out;
}

TEST(BlockCache, FollowsTheEvictionPolicy) {
  for (const CacheCase& c : kCases) {
    SCOPED_TRACE(c.name);
    BlockCache cache(c.capacity);
    for (const std::string& step : c.steps) {
      const uint64_t key = static_cast<uint64_t>(step[1] - 'A');
      if (step[0] == '+') {
        cache.insert(key, std::make_shared<const std::vector<uint8_t>>(1, static_cast<uint8_t>(key)));
      } else {
        auto block = cache.get(key);
        if (step[0] == '?') {
          ASSERT_NE(block, nullptr) << step;
          EXPECT_EQ(block->at(0), key);
        } else {
          EXPECT_EQ(block, nullptr) << step;
        }
      }
    }
    std::vector<uint64_t> held;
    for (uint64_t k = 0; k < 26; ++k) {
      if (cache.contains(k)) held.push_back(k);
    }
    EXPECT_EQ(letters(held), c.held);
    EXPECT_EQ(letters(cache.order()), c.order);
  }
}

TEST(BlockCache, InsertReplacesTheBlockUnderAKey) {
  BlockCache cache(4);
  auto first = std::make_shared<const std::vector<uint8_t>>(1, 1);
  cache.insert(7, first);
  cache.insert(7, std::make_shared<const std::vector<uint8_t>>(1, 2));
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.get(7)->at(0), 2);
  EXPECT_EQ(first.use_count(), 1);  // the cache let go of the replaced block
}

TEST(BlockCache, EvictedBlockStaysAliveWithItsHolder) {
  BlockCache cache(1);
  cache.insert(1, std::make_shared<const std::vector<uint8_t>>(3, 9));
  auto held = cache.get(1);
  cache.insert(2, std::make_shared<const std::vector<uint8_t>>(1, 0));
  EXPECT_FALSE(cache.contains(1));
  EXPECT_EQ(held->size(), 3u);
  EXPECT_EQ(held.use_count(), 1);
}

// Works with other key types, as the document store's cache does.
TEST(BlockCache, IsGenericOverTheKey) {
  LruBlockCache<uint32_t, std::string> cache(2);
  cache.insert(10, std::make_shared<const std::string>("ten"));
  cache.insert(20, std::make_shared<const std::string>("twenty"));
  ASSERT_NE(cache.get(10), nullptr);
  cache.insert(30, std::make_shared<const std::string>("thirty"));
  EXPECT_TRUE(cache.contains(10));
  EXPECT_FALSE(cache.contains(20));
  EXPECT_EQ(*cache.get(30), "thirty");
}

TEST(BlockCache, ConcurrentUseKeepsTheBound) {
  BlockCache cache(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&cache, t] {
      for (uint64_t i = 0; i < 2000; ++i) {
        const uint64_t key = (i * 7 + static_cast<uint64_t>(t)) % 32;
        if (auto b = cache.get(key)) {
          EXPECT_EQ(b->at(0), static_cast<uint8_t>(key));
        } else {
          cache.insert(key, std::make_shared<const std::vector<uint8_t>>(1, static_cast<uint8_t>(key)));
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_LE(cache.size(), 8u);
}

// The policy written out plainly: a recency deque searched from its least
// recent end, a map of blocks, eviction by count only.
struct ReferenceCache {
  size_t max_blocks;
  std::deque<uint64_t> order;
  std::map<uint64_t, int> blocks;

  bool get(uint64_t key) {
    if (!blocks.contains(key)) return false;
    auto pos = std::find(order.begin(), order.end(), key);
    if (pos != order.end()) {
      order.erase(pos);
      order.push_back(key);
    }
    return true;
  }
  void insert(uint64_t key, int value) {
    while (blocks.size() >= max_blocks && !order.empty()) {
      blocks.erase(order.front());
      order.pop_front();
    }
    blocks[key] = value;
    order.push_back(key);
  }
};

TEST(BlockCache, MatchesThePlainPolicyOnRandomUse) {
  std::mt19937 rng(7);
  for (size_t capacity : {0u, 1u, 2u, 3u, 8u, 32u}) {
    SCOPED_TRACE(capacity);
    BlockCache cache(capacity);
    ReferenceCache reference{capacity, {}, {}};
    for (int step = 0; step < 20000; ++step) {
      const uint64_t key = rng() % (capacity * 2 + 3);
      if (rng() % 2 == 0) {
        const int value = static_cast<int>(rng() % 256);
        cache.insert(key, std::make_shared<const std::vector<uint8_t>>(1, static_cast<uint8_t>(value)));
        reference.insert(key, value);
      } else {
        auto block = cache.get(key);
        ASSERT_EQ(block != nullptr, reference.get(key)) << "step " << step;
        if (block) {
          ASSERT_EQ(block->at(0), reference.blocks[key]) << "step " << step;
        }
      }
      ASSERT_EQ(cache.size(), reference.blocks.size()) << "step " << step;
    }
    EXPECT_EQ(cache.order(), std::vector<uint64_t>(reference.order.begin(), reference.order.end()));
  }
}

TEST(BlockCache, ByteBudgetEvictsAndRefusesWhatCannotFit) {
  auto block = [](size_t size) { return std::make_shared<const std::vector<uint8_t>>(size, 1); };
  BlockCache cache(8, 100);
  cache.insert(1, block(40));
  cache.insert(2, block(40));
  EXPECT_EQ(cache.bytes(), 80u);
  cache.insert(3, block(30));  // 110 would pass 100: the least recent goes
  EXPECT_FALSE(cache.contains(1));
  EXPECT_EQ(cache.bytes(), 70u);
  cache.insert(2, block(60));  // replacing a block counts only the new one
  EXPECT_EQ(cache.bytes(), 90u);
  EXPECT_TRUE(cache.contains(2));
  EXPECT_TRUE(cache.contains(3));

  auto huge = block(101);  // never kept; the cache stays as it was
  cache.insert(4, huge);
  EXPECT_FALSE(cache.contains(4));
  EXPECT_EQ(huge.use_count(), 1);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.bytes(), 90u);

  cache.insert(5, block(100));  // fits alone: everything else goes
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.bytes(), 100u);
  EXPECT_EQ(BlockCache(256).max_bytes(), size_t{64} << 20);
}

}  // namespace
}  // namespace zelvar
