#include "core/runtime/runtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <optional>
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

// The CPUs the calling thread may run on.
std::vector<int> allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

bool pin_self(const std::vector<int>& cpus) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu : cpus) CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// What a task sees of the thread that runs it.
struct Served {
  std::thread::id thread;
  std::vector<int> cpus;  // the thread's affinity
  bool blocking = false;
};

Served served_here() { return Served{std::this_thread::get_id(), allowed_cpus(), Runtime::on_blocking_thread()}; }

// Polls `condition` every millisecond for up to 10 s: for what happens on
// other threads in their own time, however loaded the machine.
template <class Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 10'000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

// The state letter of thread `tid` of this process ('R' running, 'S'
// sleeping, ...), or 0 if it cannot be read.
char thread_state(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // "tid (name) S ...": the name may hold blanks and parentheses.
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

// The threads of this process other than the calling one that are running
// or waiting for a CPU.
std::vector<pid_t> busy_threads() {
  const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  std::vector<pid_t> busy;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
    if (tid != self && thread_state(tid) == 'R') busy.push_back(tid);
  }
  return busy;
}

TEST(RuntimeTest, HandOffsGoToTheCallersOwnThreadKeptOnTheCallersCpu) {
  Runtime* rt = *Runtime::get();
  const std::vector<int> cpus = allowed_cpus();
  ASSERT_FALSE(cpus.empty());
  // The caller moves from CPU to CPU; its partner follows.
  std::optional<std::thread::id> partner;
  for (int cpu : {cpus.front(), cpus.back(), cpus.front()}) {
    SCOPED_TRACE("caller on CPU " + std::to_string(cpu));
    ASSERT_TRUE(pin_self({cpu}));
    for (int i = 0; i < 3; ++i) {
      const std::optional<Served> served = rt->run_blocking(served_here);
      ASSERT_TRUE(served.has_value());
      EXPECT_NE(served->thread, std::this_thread::get_id());
      EXPECT_TRUE(served->blocking);
      EXPECT_EQ(served->cpus, std::vector<int>{cpu});
      if (!partner) partner = served->thread;
      EXPECT_EQ(served->thread, *partner);
    }
  }
  ASSERT_TRUE(pin_self(cpus));
}

TEST(RuntimeTest, EachCallerHasAPartnerOfItsOwnThatEndsWithIt) {
  Runtime* rt = *Runtime::get();
  (void)rt->run_blocking([] { return 0; });  // this thread's partner exists
  const size_t before = rt->blocking_thread_count();
  constexpr int kCallers = 4;
  std::vector<std::vector<std::thread::id>> served(kCallers);
  std::vector<std::thread> callers;
  // Every caller, and so every partner, is alive until all have been served:
  // thread ids are unique only among living threads.
  std::latch all_served(kCallers);
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int i = 0; i < 50; ++i) served[c].push_back(rt->run_blocking(served_here)->thread);
      all_served.arrive_and_wait();
    });
  }
  for (std::thread& caller : callers) caller.join();
  std::vector<std::thread::id> partners;
  for (const std::vector<std::thread::id>& ids : served) {
    ASSERT_EQ(ids.size(), 50u);
    // One thread served all of a caller's calls.
    EXPECT_EQ(std::count(ids.begin(), ids.end(), ids.front()), 50);
    partners.push_back(ids.front());
  }
  std::sort(partners.begin(), partners.end());
  EXPECT_EQ(std::unique(partners.begin(), partners.end()), partners.end()) << "callers shared a partner";
  // The callers have ended, and so do their partners.
  EXPECT_TRUE(eventually([&] { return rt->blocking_thread_count() == before; }))
      << rt->blocking_thread_count() << " blocking threads, " << before << " before";
}

TEST(RuntimeTest, ACallerWhoseTaskBlocksSleepsInsteadOfSpinning) {
  Runtime* rt = *Runtime::get();
  const pid_t caller = static_cast<pid_t>(::syscall(SYS_gettid));
  // The task waits until it sees its caller asleep, which a caller yielding
  // or spinning for the whole wait never is.
  const std::optional<bool> saw_caller_asleep = rt->run_blocking([caller] {
    return eventually([caller] { return thread_state(caller) == 'S'; });
  });
  ASSERT_TRUE(saw_caller_asleep.has_value());
  EXPECT_TRUE(*saw_caller_asleep);
}

TEST(RuntimeTest, RunBlockingEachRunsEveryIndexOnceOnBlockingThreads) {
  Runtime* rt = *Runtime::get();
  const auto caller = std::this_thread::get_id();
  // The caller's partner, and a pool thread for every two pieces, at most
  // kMaxWidth threads and no more than the CPUs.
  const size_t width = std::min(Runtime::kMaxWidth, rt->worker_count());
  for (size_t n : {0, 1, 2, 3, 7, 100}) {
    SCOPED_TRACE(std::to_string(n) + " indexes");
    std::vector<std::atomic<int>> runs(n);
    std::atomic<int> running{0};
    std::atomic<int> most_at_once{0};
    std::atomic<bool> off_pool{false};
    std::atomic<bool> read_elsewhere{false};
    auto body = [&](size_t i) noexcept {
      const int now = ++running;
      for (int seen = most_at_once; now > seen && !most_at_once.compare_exchange_weak(seen, now);) {
      }
      if (std::this_thread::get_id() == caller || !Runtime::on_blocking_thread()) off_pool = true;
      // A read made by a piece runs right where the piece runs.
      if (rt->run_blocking(served_here)->thread != std::this_thread::get_id()) read_elsewhere = true;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      ++runs[i];
      --running;
      return true;
    };
    rt->run_blocking_each(n, body);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i], 1) << i;
    EXPECT_LE(static_cast<size_t>(most_at_once), std::max<size_t>(1, std::min(n / 2 + 1, width)));
    EXPECT_FALSE(off_pool);
    EXPECT_FALSE(read_elsewhere);
  }
  EXPECT_FALSE(Runtime::on_blocking_thread());
}

// Once a piece has failed, the pieces after it that have not started are
// left unrun; every piece before it runs.
TEST(RuntimeTest, RunBlockingEachStartsNoPieceAfterAFailedOne) {
  Runtime* rt = *Runtime::get();
  for (size_t failing : {0, 5}) {
    SCOPED_TRACE("piece " + std::to_string(failing) + " fails");
    constexpr size_t kPieces = 1000;
    std::vector<std::atomic<int>> runs(kPieces);
    auto body = [&](size_t i) noexcept {
      ++runs[i];
      if (i == failing) return false;
      // Long enough that the failed piece ends long before the others could
      // all be started: only those already taken by then run.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return true;
    };
    rt->run_blocking_each(kPieces, body);
    size_t after = 0;
    for (size_t i = 0; i < kPieces; ++i) {
      EXPECT_LE(runs[i], 1) << i;
      if (i <= failing) {
        EXPECT_EQ(runs[i], 1) << i;
      } else {
        after += static_cast<size_t>(runs[i].load());
      }
    }
    EXPECT_LT(after, kPieces / 2) << "pieces run after the failed one";
  }
  // In turn (one piece on the partner alone), the same.
  std::vector<int> ran;
  auto in_turn = [&](size_t i) noexcept {
    ran.push_back(static_cast<int>(i));
    return false;
  };
  rt->run_blocking_each(1, in_turn);
  EXPECT_EQ(ran, std::vector<int>{0});
}

TEST(RuntimeTest, PoolThreadsStartedFromAPartnerAreNotPinnedToItsCpu) {
  Runtime* rt = *Runtime::get();
  const std::vector<int> cpus = allowed_cpus();
  if (cpus.size() < 2) GTEST_SKIP() << "one CPU only";
  // A caller pinned to one CPU runs a batch from within its partner, which
  // follows it there; the pool threads the batch starts must not.
  std::mutex mutex;
  std::vector<std::vector<int>> seen;  // guarded by mutex
  std::thread caller([&] {
    ASSERT_TRUE(pin_self({cpus.front()}));
    // A lone piece runs on the caller's partner.
    auto batch = [&](size_t) noexcept {
      EXPECT_EQ(allowed_cpus(), std::vector<int>{cpus.front()});
      auto record = [&](size_t) noexcept {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard lock(mutex);
        seen.push_back(allowed_cpus());
        return true;
      };
      rt->run_blocking_each(16, record);
      return true;
    };
    rt->run_blocking_each(1, batch);
  });
  caller.join();
  ASSERT_EQ(seen.size(), 16u);
  // Pieces ran on the pinned partner and on pool threads free to run anywhere.
  EXPECT_GT(std::count(seen.begin(), seen.end(), cpus), 0);
  for (const std::vector<int>& piece_cpus : seen) {
    EXPECT_TRUE(piece_cpus == cpus || piece_cpus == std::vector<int>{cpus.front()});
  }
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

TEST(RuntimeTest, QuietRuntimeKeepsNoThreadBusy) {
  Runtime* rt = *Runtime::get();
  // Hand-offs in quick succession, and batches whose caller may spin for the
  // last pieces: once the calls have returned, every thread goes to sleep.
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(rt->run_blocking([i] { return i; }), i);
  auto body = [](size_t) noexcept {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    return true;
  };
  for (int i = 0; i < 50; ++i) rt->run_blocking_each(16, body);
  EXPECT_TRUE(eventually([] { return busy_threads().empty(); }));
  // And they stay asleep.
  for (int i = 0; i < 50; ++i) {
    const std::vector<pid_t> busy = busy_threads();
    EXPECT_TRUE(busy.empty()) << busy.size() << " busy threads, the first " << busy.front();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// The spin rules on a clock the test moves by hand.
constexpr int64_t kSecond = 1'000'000'000;

TEST(SpinBudgetTest, LearnsFromWaits) {
  constexpr int64_t kMax = 100'000;
  SpinBudget budget(kMax, /*enabled=*/true);
  const int64_t now = kSecond;
  EXPECT_EQ(budget.ns(), 0);  // nothing learnt: no spin
  budget.record(30'000, now);
  EXPECT_EQ(budget.ns(), 60'000);  // twice a short wait
  budget.record(1'000, now);
  EXPECT_EQ(budget.ns(), 60'000 - 60'000 / 32);  // decays slowly
  budget.record(80'000, now);
  EXPECT_EQ(budget.ns(), kMax);  // never beyond the cap
  // Waits that no spin within the cap would cover: it shrinks to nothing.
  int64_t last = budget.ns();
  for (int i = 0; i < 7; ++i) {
    budget.record(kMax + 1, now);
    EXPECT_LT(budget.ns(), last);
    last = budget.ns();
  }
  EXPECT_EQ(budget.ns(), 0);
  // A short wait brings it back, at least to the useful minimum.
  budget.record(100, now);
  EXPECT_EQ(budget.ns(), SpinBudget::kMinNs);
}

TEST(SpinBudgetTest, DisabledNeverSpins) {
  SpinBudget budget(100'000, /*enabled=*/false);
  budget.record(10, kSecond);
  EXPECT_EQ(budget.ns(), 0);
  int probes = 0;
  EXPECT_FALSE(budget.spin_until([&] { return ++probes > 1; }, [] { return int64_t{0}; }));
  EXPECT_EQ(probes, 1);  // asked once, no spin
}

// A clock that moves `step` ns at every look, and counts the looks.
struct SteppingClock {
  int64_t now;
  int64_t step;
  int looks = 0;
  int64_t operator()() {
    ++looks;
    return now += step;
  }
};

TEST(SpinBudgetTest, SpinEndsWhenReadyOrWhenTheBudgetIsSpent) {
  SpinBudget budget(200'000, /*enabled=*/true);
  budget.record(100'000, kSecond);  // a 200 µs budget
  SteppingClock clock{kSecond, 1'000};
  int probes = 0;
  EXPECT_TRUE(budget.spin_until([&] { return ++probes == 3; }, std::ref(clock)));
  EXPECT_EQ(probes, 3);
  // Never ready: the spin looks at the clock until the budget has passed,
  // about 200 looks of 1 µs, and the budget stays.
  clock.looks = 0;
  EXPECT_FALSE(budget.spin_until([] { return false; }, std::ref(clock)));
  EXPECT_GE(clock.looks, 200);
  EXPECT_LE(clock.looks, 202);
  EXPECT_EQ(budget.ns(), 200'000);
}

TEST(SpinBudgetTest, ASpinSetAsideEndsAndHoldsTheBudgetDown) {
  SpinBudget budget(1'000'000, /*enabled=*/true);
  int64_t now = kSecond;
  budget.record(400'000, now);  // an 800 µs budget
  ASSERT_EQ(budget.ns(), 800'000);
  // The spin's second look at the clock finds it was off its CPU for longer
  // than a spin ever takes between two looks.
  int looks = 0;
  auto set_aside = [&] {
    ++looks;
    if (looks == 2) now += SpinBudget::kDescheduledNs + 1;
    return now;
  };
  EXPECT_FALSE(budget.spin_until([] { return false; }, set_aside));
  EXPECT_EQ(looks, 2);  // it ended there
  EXPECT_EQ(budget.ns(), 400'000);
  // Held: short waits do not restore it...
  EXPECT_TRUE(budget.held(now));
  budget.record(300'000, now + 1'000);
  budget.record(300'000, now + SpinBudget::kHoldNs - 1);
  EXPECT_EQ(budget.ns(), 400'000);
  // ...but may lower it.
  budget.record(50'000, now + 2'000);
  EXPECT_EQ(budget.ns(), 400'000 - 400'000 / 32);
  // Once the hold is over, a short wait raises it again.
  EXPECT_FALSE(budget.held(now + SpinBudget::kHoldNs));
  budget.record(450'000, now + SpinBudget::kHoldNs);
  EXPECT_EQ(budget.ns(), 900'000);
}

TEST(SpinBudgetTest, SpinsSetAsideAgainAndAgainHoldLongerUntilTheyStop) {
  struct Step {
    int64_t at;           // when the spin was set aside, from the start
    int64_t held_until;   // from the start
  };
  constexpr int64_t kHold = SpinBudget::kHoldNs;
  // Each set aside soon after the last hold ended doubles the hold; one long
  // after starts over.
  const std::vector<Step> steps = {
      {0, kHold},
      {kHold + 1, kHold + 1 + 2 * kHold},
      {3 * kHold + 2, 3 * kHold + 2 + 4 * kHold},
      {100 * kHold, 100 * kHold + kHold},
  };
  SpinBudget budget(1'000'000, /*enabled=*/true);
  budget.record(500'000, 0);
  for (const Step& step : steps) {
    SCOPED_TRACE("set aside at " + std::to_string(step.at));
    budget.descheduled(kSecond + step.at);
    EXPECT_TRUE(budget.held(kSecond + step.held_until - 1));
    EXPECT_FALSE(budget.held(kSecond + step.held_until));
  }
  // The hold never passes its cap.
  for (int i = 0; i < 40; ++i) budget.descheduled(kSecond + 101 * kHold);
  EXPECT_FALSE(budget.held(kSecond + 101 * kHold + SpinBudget::kMaxHoldNs));
  // Each set aside halved the budget; below the floor it is zero.
  EXPECT_EQ(budget.ns(), 0);
}

}  // namespace
}  // namespace zelvar::runtime
