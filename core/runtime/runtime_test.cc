#include "core/runtime/runtime.h"

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zelvar::runtime {
namespace {

// ctest runs every test in a process of its own; run by hand, the tests share
// one process, so the one that needs the runtime not to exist yet comes first.
TEST(RuntimeTest, FailedBuildJoinsTheWorkersItStartedAndLaterBuildsSucceed) {
  ASSERT_FALSE(Runtime::exists());
  const size_t cpus = available_cpus();
  std::atomic<int> running{0};
  size_t spawned = 0;
  // The last worker cannot start; the ones before it must be ended and joined.
  auto spawn = [&](std::function<void()> body) {
    if (++spawned == cpus) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread([&running, body = std::move(body)] {
      ++running;
      body();
      --running;
    });
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    spawned = 0;
    auto failed = Runtime::get_with(spawn);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), "Resource temporarily unavailable");
    EXPECT_EQ(spawned, cpus);
    // Joined, not detached: every started worker has returned.
    EXPECT_EQ(running.load(), 0);
    EXPECT_FALSE(Runtime::exists());
  }
  auto built = Runtime::get();
  ASSERT_TRUE(built.has_value()) << built.error();
  EXPECT_EQ((*built)->worker_count(), cpus);
}

TEST(RuntimeTest, CreatedOnceOnFirstNeed) {
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

TEST(RuntimeTest, TaskThatThrowsEndsAsNoResultAndThePoolGoesOn) {
  Runtime* rt = *Runtime::get();
  struct Case {
    const char* name;
    std::function<int()> task;
  };
  const std::vector<Case> cases = {
      {"bad_alloc", []() -> int { throw std::bad_alloc(); }},
      {"length_error", []() -> int { throw std::length_error("vector::_M_default_append"); }},
      {"not an exception class", []() -> int { throw 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(rt->run_blocking(c.task).has_value());
    // The thread that ran it is still serving.
    EXPECT_EQ(rt->run_blocking([] { return 5; }), 5);
  }
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

TEST(RuntimeTest, BackToBackCallsFromManyThreadsLoseNoTask) {
  // Quick tasks from several callers keep threads spinning, sleeping and
  // waking in every order; each call must get its own result.
  Runtime* rt = *Runtime::get();
  std::atomic<long> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) {
        const int expected = t * 100000 + i;
        auto r = rt->run_blocking([expected] { return expected; });
        if (r != expected) ++failures;
        if (i % 500 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace zelvar::runtime
