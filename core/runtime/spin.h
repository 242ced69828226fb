// Spinning briefly before sleeping, for waits that are usually short.
//
// Waking a thread that sleeps costs tens of microseconds on an idle virtual
// machine when the waker runs on another CPU. A thread that expects its wait
// to end soon may therefore spin for a while first. How long is learnt:
// `SpinBudget` remembers how long recent waits lasted and allows a spin of
// about twice a short wait; a wait longer than the cap halves the budget, so
// a spin that keeps not paying off shrinks to nothing. Waits are learnt
// whether or not the waiter spun, so a budget of zero grows again as soon as
// waits turn short.
//
// A spin only pays while the spinner has a CPU to itself. One that finds it
// was set aside for another thread (the machine has no idle CPU) stops, halves
// the budget and holds it down: for kHoldNs no wait may raise it again, and a
// spin set aside again soon after doubles the hold, up to kMaxHoldNs. So on a
// busy machine spinning fades out and stays out, instead of being restored by
// the next short wait.
//
// The clock is passed in (`now_ns` arguments, and the clock a spin reads), so
// that the rules can be followed step by step.
//
// Thread safety: `SpinBudget` may be read and updated from any thread; racing
// updates may lose one another, which only blurs the estimate.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>

namespace zelvar::runtime {

// Nanoseconds on the monotonic clock.
inline int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class SpinBudget {
 public:
  // Spins of at most `max_ns`; a disabled budget never allows a spin.
  SpinBudget(int64_t max_ns, bool enabled) : max_ns_(enabled ? max_ns : 0) {}

  SpinBudget(const SpinBudget&) = delete;
  SpinBudget& operator=(const SpinBudget&) = delete;

  // How long to spin now; 0 means sleep at once.
  int64_t ns() const { return budget_ns_.load(std::memory_order_relaxed); }

  // Whether, at `now_ns`, a recent lost spin holds the budget down.
  bool held(int64_t now_ns) const { return now_ns < hold_until_ns_.load(std::memory_order_relaxed); }

  // Learns from a wait that lasted `waited_ns` and ended at `now_ns`. One
  // that a spin within the cap would have covered raises the budget to twice
  // its length, at least kMinNs (spinning costs only while nothing arrives,
  // so a generous budget is cheap while waits are short); otherwise the
  // budget decays slowly, so an occasional slower wait is remembered for a
  // while. While the budget is held, a wait may lower it but not raise it. A
  // wait beyond the cap halves the budget, and below kFloorNs it is zero.
  void record(int64_t waited_ns, int64_t now_ns) {
    if (max_ns_ == 0) return;
    const int64_t budget = ns();
    if (waited_ns > max_ns_) {
      halve();
      return;
    }
    const int64_t wanted = std::clamp<int64_t>(2 * waited_ns, std::min(kMinNs, max_ns_), max_ns_);
    int64_t next = std::max(budget - budget / 32, wanted);
    if (held(now_ns)) next = std::min(next, budget);
    budget_ns_.store(next, std::memory_order_relaxed);
  }

  // A spin that lost its CPU at `now_ns`: halves the budget and holds it down
  // for kHoldNs, or for twice the last hold if that ended less than a hold
  // ago (at most kMaxHoldNs).
  void descheduled(int64_t now_ns) {
    if (max_ns_ == 0) return;
    halve();
    const int64_t until = hold_until_ns_.load(std::memory_order_relaxed);
    int64_t hold = hold_ns_.load(std::memory_order_relaxed);
    hold = until != 0 && now_ns < until + hold ? std::min(2 * hold, kMaxHoldNs) : kHoldNs;
    hold_ns_.store(hold, std::memory_order_relaxed);
    hold_until_ns_.store(now_ns + hold, std::memory_order_relaxed);
  }

  // Spins until `ready()` holds or the current budget has passed on `clock`
  // (a callable answering nanoseconds); whether it holds at the end. A gap of
  // more than kDescheduledNs between two looks at the clock means the thread
  // was set aside for another: the spin ends there and the budget is held
  // down (see `descheduled`).
  template <class Ready, class Clock>
  bool spin_until(Ready&& ready, Clock&& clock) {
    const int64_t budget = ns();
    if (budget == 0) return ready();
    int64_t now = clock();
    const int64_t deadline = now + budget;
    for (;;) {
      // The clock is read every few dozen probes only; a pause between
      // probes leaves the core's resources to its other hardware thread.
      for (int i = 0; i < 32; ++i) {
        if (ready()) return true;
        pause();
      }
      const int64_t before = now;
      now = clock();
      if (now - before > kDescheduledNs) {
        descheduled(now);
        return ready();
      }
      if (now >= deadline) return ready();
    }
  }

  template <class Ready>
  bool spin_until(Ready&& ready) {
    return spin_until(std::forward<Ready>(ready), monotonic_ns);
  }

  // A gap between two looks at the clock that a spin on its CPU never takes
  // (a few dozen probes take a few microseconds): the thread was set aside
  // for another.
  static constexpr int64_t kDescheduledNs = 50'000;

  // The least budget that a short wait sets, and the budget below which a
  // shrinking spin stops altogether.
  static constexpr int64_t kMinNs = 10'000;
  static constexpr int64_t kFloorNs = 1'000;

  // How long a lost spin holds the budget down, first and at most.
  static constexpr int64_t kHoldNs = 100'000'000;
  static constexpr int64_t kMaxHoldNs = 10'000'000'000;

 private:
  void halve() {
    int64_t budget = ns() / 2;
    if (budget < kFloorNs) budget = 0;
    budget_ns_.store(budget, std::memory_order_relaxed);
  }

  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  const int64_t max_ns_;
  std::atomic<int64_t> budget_ns_{0};
  std::atomic<int64_t> hold_until_ns_{0};  // 0: never held
  std::atomic<int64_t> hold_ns_{kHoldNs};  // the length of the last hold
};

}  // namespace zelvar::runtime
