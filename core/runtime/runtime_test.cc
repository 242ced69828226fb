#include "core/runtime/runtime.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zelvar::runtime {
namespace {

TEST(RuntimeTest, CreatedOnceOnFirstNeed) {
  EXPECT_FALSE(Runtime::exists());
  auto a = Runtime::get();
  ASSERT_TRUE(a.has_value());
  EXPECT_TRUE(Runtime::exists());
  auto b = Runtime::get();
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ((*a)->worker_count(), available_cpus());
  EXPECT_GE(available_cpus(), 1u);
}

TEST(RuntimeTest, RunBlockingRunsOnAnotherThreadAndReturns) {
  Runtime* rt = *Runtime::get();
  auto caller = std::this_thread::get_id();
  auto result = rt->block_on([&] {
    return rt->run_blocking([&] { return std::this_thread::get_id() != caller; });
  });
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(*result);
}

TEST(RuntimeTest, ManyCallersAtOnceAllComplete) {
  Runtime* rt = *Runtime::get();
  std::atomic<int> sum{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 64; ++i) {
    callers.emplace_back([&, i] {
      auto r = rt->run_blocking([i] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return i;
      });
      sum += r.value_or(-1000);
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(sum.load(), 63 * 64 / 2);
  EXPECT_LE(rt->blocking_thread_count(), Runtime::kMaxBlockingThreads);
}

}  // namespace
}  // namespace zelvar::runtime
