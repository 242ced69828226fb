// Spinning briefly before sleeping, for waits that are usually short.
//
// Waking a thread that sleeps on another CPU costs tens of microseconds on an
// idle virtual machine, more than a cached file read takes. A thread that
// expects its wait to end soon therefore spins for a while first. How long is
// learnt: `SpinBudget` remembers how long recent waits lasted and allows a
// spin of about twice a short wait; a wait longer than the cap halves the
// budget, so a spin that keeps not paying off shrinks to nothing. Waits are
// learnt whether or not the waiter spun, so a budget of zero grows again as
// soon as waits turn short.
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
  // Spins of at most `max_ns`; a disabled budget (one CPU: a spinner would
  // only keep the thread it waits for off the CPU) never allows a spin.
  SpinBudget(int64_t max_ns, bool enabled) : max_ns_(enabled ? max_ns : 0) {}

  SpinBudget(const SpinBudget&) = delete;
  SpinBudget& operator=(const SpinBudget&) = delete;

  // Whether spins are allowed at all (not with one CPU).
  bool enabled() const { return max_ns_ != 0; }

  // How long to spin now; 0 means sleep at once.
  int64_t ns() const { return budget_ns_.load(std::memory_order_relaxed); }

  // Learns from a wait that lasted `waited_ns`. One that a spin within the cap
  // would have covered raises the budget to twice its length, at least
  // kMinNs (spinning costs only while nothing arrives, so a generous budget
  // is cheap while waits are short); otherwise the budget decays slowly, so
  // an occasional slower wait is remembered for a while. A wait beyond the
  // cap halves the budget, and below kFloorNs it is zero.
  void record(int64_t waited_ns) {
    if (max_ns_ == 0) return;
    int64_t budget = ns();
    if (waited_ns <= max_ns_) {
      const int64_t wanted =
          std::clamp<int64_t>(2 * waited_ns, std::min(kMinNs, max_ns_), max_ns_);
      budget = std::max(budget - budget / 32, wanted);
      budget_ns_.store(budget, std::memory_order_relaxed);
    } else {
      shrink();
    }
  }

  // A wait that a spin would not have served: halves the budget (below
  // kFloorNs, to zero).
  void shrink() {
    if (max_ns_ == 0) return;
    int64_t budget = ns() / 2;
    if (budget < kFloorNs) budget = 0;
    budget_ns_.store(budget, std::memory_order_relaxed);
  }

  // Spins until `ready()` holds or the current budget has passed; whether it
  // holds at the end. A spin that finds it lost its CPU for a while also
  // halves the budget: on a busy machine spinning only takes time from
  // others, so it fades out there.
  template <class Ready>
  bool spin_until(Ready&& ready) {
    bool descheduled = false;
    const bool done = spin(ns(), ready, descheduled);
    if (descheduled) shrink();
    return done;
  }

  // Spins until `ready()` holds or `budget_ns` have passed; whether it holds
  // at the end. A budget of 0 only tests it once. A spin that finds it lost
  // its CPU for a while ends there.
  template <class Ready>
  static bool spin_for(int64_t budget_ns, Ready&& ready) {
    bool descheduled = false;
    return spin(budget_ns, ready, descheduled);
  }

  // A gap between two looks at the clock that a spin on its CPU never takes
  // (a few dozen probes take a few microseconds): the thread was set aside
  // for another.
  static constexpr int64_t kDescheduledNs = 50'000;

  // The least budget that a short wait sets, and the budget below which a
  // shrinking spin stops altogether.
  static constexpr int64_t kMinNs = 10'000;
  static constexpr int64_t kFloorNs = 1'000;

 private:
  template <class Ready>
  static bool spin(int64_t budget_ns, Ready& ready, bool& descheduled) {
    if (budget_ns == 0) return ready();
    int64_t now = monotonic_ns();
    const int64_t deadline = now + budget_ns;
    for (;;) {
      // The clock is read every few dozen probes only; a pause between
      // probes leaves the core's resources to its other hardware thread.
      for (int i = 0; i < 32; ++i) {
        if (ready()) return true;
        pause();
      }
      const int64_t before = now;
      now = monotonic_ns();
      if (now - before > kDescheduledNs) {
        descheduled = true;
        return ready();
      }
      if (now >= deadline) return ready();
    }
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
};

}  // namespace zelvar::runtime
