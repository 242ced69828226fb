#include "core/runtime/runtime.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
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

TEST(RuntimeTest, RunBlockingEachRunsEveryIndexOnceOnBlockingThreads) {
  Runtime* rt = *Runtime::get();
  const auto caller = std::this_thread::get_id();
  for (size_t n : {1, 2, 7, 100}) {
    for (size_t width : {1, 3, 8}) {
      SCOPED_TRACE(std::to_string(n) + " indexes, " + std::to_string(width) + " at a time");
      std::vector<std::atomic<int>> runs(n);
      std::atomic<int> running{0};
      std::atomic<int> most_at_once{0};
      std::atomic<bool> off_pool{false};
      std::atomic<bool> nested_elsewhere{false};
      auto body = [&](size_t i) noexcept {
        const int now = ++running;
        for (int seen = most_at_once; now > seen && !most_at_once.compare_exchange_weak(seen, now);) {
        }
        if (std::this_thread::get_id() == caller || !Runtime::on_blocking_thread()) off_pool = true;
        // A read made by a task runs right where the task runs.
        const auto here = std::this_thread::get_id();
        if (rt->run_blocking([&] { return std::this_thread::get_id(); }) != here) nested_elsewhere = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ++runs[i];
        --running;
      };
      const size_t handed = rt->run_blocking_each(n, width, body);
      EXPECT_EQ(handed, std::min(n, width));
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i], 1) << i;
      EXPECT_LE(static_cast<size_t>(most_at_once), std::min(n, width));
      EXPECT_FALSE(off_pool);
      EXPECT_FALSE(nested_elsewhere);
    }
  }
  int untouched = 0;
  auto none = [&](size_t) noexcept { ++untouched; };
  EXPECT_EQ(rt->run_blocking_each(0, 4, none), 0u);
  EXPECT_EQ(rt->run_blocking_each(4, 0, none), 0u);
  EXPECT_EQ(untouched, 0);
  EXPECT_FALSE(Runtime::on_blocking_thread());
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

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(RuntimeTest, QuietRuntimeUsesNoCpu) {
  Runtime* rt = *Runtime::get();
  // Quick round trips in a row teach both sides to spin.
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(rt->run_blocking([i] { return i; }), i);
  // Well past the longest spin, every thread must be asleep.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double used = process_cpu_seconds() - before;
  EXPECT_LT(used, 0.02) << "CPU seconds used while idle";
  EXPECT_FALSE(rt->has_spinning_thread());

  // Operations that begin without reading wake a thread to spin for reads
  // that never come: each such spin ends by itself.
  const double before_wakes = process_cpu_seconds();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(rt->block_on([] { return 7; }), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(process_cpu_seconds() - before_wakes, 0.03) << "CPU seconds used by 20 wakes and 340 ms idle";
  const double quiet_again = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(process_cpu_seconds() - quiet_again, 0.02) << "CPU seconds used while idle after wakes";
}

TEST(RuntimeTest, SpinnersGiveWayToAThreadOnTheirOwnCpu) {
  // Spins are allowed (the runtime counted several CPUs), but the caller and
  // the pool threads it starts from now on share one CPU: a spinner that
  // never yielded would hold the other off for its whole budget at every
  // hand-off, a hundred microseconds and more.
  Runtime* rt = *Runtime::get();
  if (rt->worker_count() < 2) GTEST_SKIP() << "spinning is off with one CPU";
  // ctest runs it alone; after other tests, pool threads not pinned exist.
  if (rt->blocking_thread_count() != 0) GTEST_SKIP() << "pool threads exist already";
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof one, &one), 0);
  std::vector<int64_t> round_trips;
  for (int i = 0; i < 400; ++i) {
    const int64_t start = monotonic_ns();
    // As an operation begins: a thread woken to spin for the read must not
    // hold this CPU either.
    rt->wake_for_reads();
    ASSERT_EQ(rt->run_blocking([i] { return i; }), i);
    round_trips.push_back(monotonic_ns() - start);
    // Some work between hand-offs, as a caller decoding a block.
    for (const int64_t until = monotonic_ns() + 20'000; monotonic_ns() < until;) {
    }
  }
  std::sort(round_trips.begin(), round_trips.end());
  // Without yielding the median is the idle spin's budget, about 200 µs.
  EXPECT_LT(round_trips[round_trips.size() / 2], 100'000) << "median round trip, ns";
}

TEST(SpinBudgetTest, LearnsFromWaits) {
  constexpr int64_t kMax = 100'000;
  SpinBudget budget(kMax, /*enabled=*/true);
  EXPECT_EQ(budget.ns(), 0);  // nothing learnt: no spin
  budget.record(30'000);
  EXPECT_EQ(budget.ns(), 60'000);  // twice a short wait
  budget.record(1'000);
  EXPECT_EQ(budget.ns(), 60'000 - 60'000 / 32);  // decays slowly
  budget.record(80'000);
  EXPECT_EQ(budget.ns(), kMax);  // never beyond the cap
  // Waits that no spin within the cap would cover: it shrinks to nothing.
  int64_t last = budget.ns();
  for (int i = 0; i < 7; ++i) {
    budget.record(kMax + 1);
    EXPECT_LT(budget.ns(), last);
    last = budget.ns();
  }
  EXPECT_EQ(budget.ns(), 0);
  // A short wait brings it back, at least to the useful minimum.
  budget.record(100);
  EXPECT_EQ(budget.ns(), SpinBudget::kMinNs);
}

TEST(SpinBudgetTest, DisabledNeverSpins) {
  SpinBudget budget(100'000, /*enabled=*/false);
  budget.record(10);
  EXPECT_EQ(budget.ns(), 0);
  int probes = 0;
  EXPECT_FALSE(budget.spin_until([&] { return ++probes > 1; }));
  EXPECT_EQ(probes, 1);  // asked once, no spin
}

TEST(SpinBudgetTest, SpinEndsWhenReadyOrWhenTheBudgetIsSpent) {
  SpinBudget budget(200'000, /*enabled=*/true);
  budget.record(100'000);  // a 200 µs budget
  int probes = 0;
  EXPECT_TRUE(budget.spin_until([&] { return ++probes == 3; }));
  EXPECT_EQ(probes, 3);
  const int64_t start = monotonic_ns();
  EXPECT_FALSE(budget.spin_until([] { return false; }));
  const int64_t spun = monotonic_ns() - start;
  // The whole budget, unless the spin lost its CPU on a loaded machine and
  // stopped there, halving the budget.
  if (budget.ns() == 200'000) {
    EXPECT_GE(spun, 200'000);
  } else {
    EXPECT_EQ(budget.ns(), 100'000);
  }
  EXPECT_LT(spun, 1'000'000'000);  // bounded, however loaded the machine
}

// A spin that loses its CPU (here: a probe that takes longer than a spin
// ever does between two looks at the clock) ends at once, and the budget
// halves, so that on a busy machine spinning fades out.
TEST(SpinBudgetTest, SpinThatLosesItsCpuEndsAndHalvesTheBudget) {
  SpinBudget budget(10'000'000, /*enabled=*/true);
  budget.record(4'000'000);  // an 8 ms budget
  ASSERT_EQ(budget.ns(), 8'000'000);
  // Never ready; set aside once, at the first probe.
  const auto set_aside_once = [] {
    return [probes = 0]() mutable {
      if (probes++ == 0) std::this_thread::sleep_for(std::chrono::nanoseconds(2 * SpinBudget::kDescheduledNs));
      return false;
    };
  };
  int64_t start = monotonic_ns();
  EXPECT_FALSE(budget.spin_until(set_aside_once()));
  EXPECT_LT(monotonic_ns() - start, 8'000'000);
  EXPECT_EQ(budget.ns(), 4'000'000);
  start = monotonic_ns();
  EXPECT_FALSE(SpinBudget::spin_for(8'000'000, set_aside_once()));
  EXPECT_LT(monotonic_ns() - start, 8'000'000);
}

}  // namespace
}  // namespace zelvar::runtime
