#include "core/runtime/runtime.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>
#include <string>
#include <system_error>

namespace zelvar::runtime {
namespace {

std::mutex g_build_mutex;
std::atomic<Runtime*> g_runtime{nullptr};

// The futex calls on a 32-bit atomic, which has the layout of its value.
uint32_t* futex_word(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// Sleeps while `word` holds `value`, at most `timeout` (none: no limit); false
// if the time ran out. Returns early on a wake, a signal or a changed value:
// callers look again.
bool futex_wait(std::atomic<uint32_t>& word, uint32_t value, const timespec* timeout = nullptr) {
  const long r = ::syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
  return r == 0 || errno != ETIMEDOUT;
}

void futex_wake(std::atomic<uint32_t>& word) {
  ::syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

constexpr timespec kKeepAlive{std::chrono::seconds(Runtime::kBlockingKeepAlive).count(), 0};

}  // namespace

// A blocking thread that serves one calling thread, kept on that thread's CPU.
//
// The caller posts one piece of work at a time and waits for it; the partner
// sleeps between pieces, on a futex, and ends after kBlockingKeepAlive without
// work or when its caller ends. `state_` says which: idle (asleep or about to
// be), posted (work waiting or running), ended (the thread has left or is
// leaving). Only the partner turns posted back to idle; the caller turns idle
// into posted; either may turn idle into ended, and whoever does that first
// decides, so a partner never ends with work posted.
class Runtime::Partner : public std::enable_shared_from_this<Partner> {
 public:
  explicit Partner(Runtime& runtime) : runtime_(runtime) {}

  Partner(const Partner&) = delete;
  Partner& operator=(const Partner&) = delete;

  // Starts the thread. Throws std::system_error if it cannot be started.
  void start() {
    std::thread thread([self = shared_from_this()] { self->loop(); });
    thread_ = thread.native_handle();
    thread.detach();
  }

  bool ended() const { return state_.load(std::memory_order_acquire) == kEnded; }

  // Runs work(arg) on the partner and waits for it; false, with nothing run,
  // if the partner has ended. Called by its caller only.
  bool run(Work work, void* arg) noexcept {
    work_ = work;
    arg_ = arg;
    const uint32_t done = finished_.load(std::memory_order_relaxed) + 1;
    uint32_t idle = kIdle;
    if (!state_.compare_exchange_strong(idle, kPosted, std::memory_order_seq_cst)) return false;
    // Posted work keeps the thread alive, so its handle is good here.
    keep_near_caller();
    futex_wake(state_);
    wait_for(done);
    return true;
  }

  // Tells an idle partner to end; its caller is ending.
  void retire() noexcept {
    uint32_t idle = kIdle;
    if (state_.compare_exchange_strong(idle, kEnded, std::memory_order_seq_cst)) futex_wake(state_);
  }

 private:
  static constexpr uint32_t kIdle = 0;
  static constexpr uint32_t kPosted = 1;
  static constexpr uint32_t kEnded = 2;

  // Pins the partner to the CPU the caller runs on, so that waking it
  // interrupts no other CPU and the caller's yield hands it this one. Only
  // when the caller has moved; a system that refuses is not asked again.
  void keep_near_caller() noexcept {
    if (!may_pin_) return;
    const int cpu = sched_getcpu();
    if (cpu < 0 || cpu == cpu_ || cpu >= CPU_SETSIZE) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(thread_, sizeof set, &set) == 0) {
      cpu_ = cpu;
    } else {
      may_pin_ = false;
    }
  }

  // Yields the CPU to the partner until it has finished piece `done`: a few
  // times, within kMaxYieldNs, and only while the caller is still on the CPU
  // the partner is kept on (a caller moved elsewhere would only spin there);
  // then sleeps until the partner wakes it.
  void wait_for(uint32_t done) noexcept {
    const int64_t start = monotonic_ns();
    for (int yields = 0; finished_.load(std::memory_order_acquire) != done;) {
      if (yields < kMaxYields && sched_getcpu() == cpu_ && monotonic_ns() - start < kMaxYieldNs) {
        sched_yield();
        ++yields;
        continue;
      }
      // Either the partner sees the flag, or this sees its count.
      caller_asleep_.store(true, std::memory_order_seq_cst);
      const uint32_t seen = finished_.load(std::memory_order_seq_cst);
      if (seen != done) futex_wait(finished_, seen);
      caller_asleep_.store(false, std::memory_order_relaxed);
    }
  }

  void loop() noexcept {
    blocking_thread_ = true;
    for (;;) {
      const uint32_t state = state_.load(std::memory_order_acquire);
      if (state == kEnded) break;
      if (state == kIdle) {
        if (!futex_wait(state_, kIdle, &kKeepAlive)) {
          uint32_t idle = kIdle;
          if (state_.compare_exchange_strong(idle, kEnded, std::memory_order_seq_cst)) break;
        }
        continue;
      }
      work_(arg_);
      // Idle again before the caller can see the piece finished and post the
      // next one.
      state_.store(kIdle, std::memory_order_seq_cst);
      finished_.fetch_add(1, std::memory_order_seq_cst);
      if (caller_asleep_.load(std::memory_order_seq_cst)) futex_wake(finished_);
    }
    runtime_.release_thread();
  }

  Runtime& runtime_;
  pthread_t thread_{};
  std::atomic<uint32_t> state_{kIdle};
  std::atomic<uint32_t> finished_{0};  // pieces finished; the caller sleeps on it
  std::atomic<bool> caller_asleep_{false};
  // Written by the caller before it posts, read by the partner after.
  Work work_ = nullptr;
  void* arg_ = nullptr;
  // The caller's alone.
  int cpu_ = -1;
  bool may_pin_ = true;
};

// The calling thread's partner; it is told to end when the thread ends.
struct Runtime::PartnerSlot {
  std::shared_ptr<Partner> partner;
  ~PartnerSlot() {
    if (partner) partner->retire();
  }
};

Runtime::PartnerSlot& Runtime::partner_slot() {
  thread_local PartnerSlot slot;
  return slot;
}

// What the threads of one run_blocking_each share; each pool task holds it,
// so that it outlives the call.
struct Runtime::Batch {
  Batch(size_t n, Piece body, void* arg) : n(n), body(body), arg(arg), left(n) {}

  // Runs pieces until none is left to start; a piece after a failed one is
  // taken but not run.
  void run_pieces() noexcept {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) {
      if (i < failed.load(std::memory_order_acquire) && !body(arg, i)) fail(i);
      if (left.fetch_sub(1, std::memory_order_acq_rel) == 1 && state.exchange(kDone) == kSleeping) {
        futex_wake(state);
      }
    }
  }

  // Piece i failed: no piece after the first failed one is run.
  void fail(size_t i) noexcept {
    for (size_t first = failed.load(std::memory_order_relaxed);
         i < first && !failed.compare_exchange_weak(first, i, std::memory_order_acq_rel);) {
    }
  }

  bool done() const { return state.load(std::memory_order_acquire) == kDone; }

  // Sleeps until the last piece has ended.
  void sleep_until_done() {
    uint32_t pending = kPending;
    if (!state.compare_exchange_strong(pending, kSleeping, std::memory_order_acq_rel)) return;
    while (state.load(std::memory_order_acquire) == kSleeping) futex_wait(state, kSleeping);
  }

  static constexpr uint32_t kPending = 0;
  static constexpr uint32_t kSleeping = 1;  // the caller sleeps and must be woken
  static constexpr uint32_t kDone = 2;

  const size_t n;
  // Used only for a piece taken, so only while the caller waits.
  const Piece body;
  void* const arg;
  std::atomic<size_t> next{0};
  std::atomic<size_t> left;              // pieces not yet ended
  std::atomic<size_t> failed{SIZE_MAX};  // the first piece that failed
  std::atomic<uint32_t> state{kPending};
};

std::expected<Runtime*, std::string> Runtime::get() {
  return get_with([](std::function<void()> body) { return std::thread(std::move(body)); });
}

std::expected<Runtime*, std::string> Runtime::get_with(const Spawn& spawn) {
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  std::lock_guard lock(g_build_mutex);
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
  Runtime* rt = nullptr;
  try {
    // A spin only takes CPU from others where there is one CPU, and from the
    // process itself under a quota, whose time it spends.
    const size_t cpus = available_cpus();
    rt = new Runtime(cpus, cpus > 1 && !under_cpu_quota(), spawn);
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
  g_runtime.store(rt, std::memory_order_release);
  // Without this a forked child would wait forever for an idle thread that
  // its parent counted; failing to register only loses that repair.
  pthread_atfork(nullptr, nullptr, &Runtime::forget_threads_after_fork);
  return rt;
}

void Runtime::forget_threads_after_fork() {
  // Only the forking thread exists in the child. A lock may have been held
  // by a thread that is gone and the queue may be mid-update, so both are
  // built anew (the old ones are abandoned, not destroyed); the counts go to
  // zero so that the next task starts a thread of the child's own, and the
  // forking thread forgets its partner, which stayed behind in the parent.
  new (&g_build_mutex) std::mutex();
  Runtime* rt = g_runtime.load(std::memory_order_acquire);
  if (rt == nullptr) return;
  new (&rt->mutex_) std::mutex();
  new (&rt->task_cv_) std::condition_variable();
  new (&rt->queue_) std::deque<Task>();
  rt->threads_ = 0;
  rt->pool_threads_ = 0;
  rt->idle_ = 0;
  new (&partner_slot()) PartnerSlot();
}

bool Runtime::exists() { return g_runtime.load(std::memory_order_acquire) != nullptr; }

Runtime::Runtime(size_t workers, bool may_spin, const Spawn& spawn)
    : batch_spin_(kMaxBatchSpinNs, may_spin), width_(std::clamp<size_t>(workers, 1, kMaxWidth)) {
  try {
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) workers_.push_back(spawn([this] { worker_loop(); }));
  } catch (...) {
    // A failed build leaves nothing behind: the workers already started are
    // woken and joined before the error goes back to the caller.
    stop_workers();
    throw;
  }
}

void Runtime::worker_loop() {
  // Workers are never given work; they only wait, until a failed build ends
  // them.
  std::unique_lock lock(workers_mutex_);
  workers_cv_.wait(lock, [this] { return stopping_workers_; });
}

void Runtime::stop_workers() noexcept {
  {
    std::lock_guard lock(workers_mutex_);
    stopping_workers_ = true;
  }
  workers_cv_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

size_t Runtime::blocking_thread_count() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

bool Runtime::reserve_thread() {
  std::lock_guard lock(mutex_);
  if (threads_ >= kMaxBlockingThreads) return false;
  ++threads_;
  return true;
}

void Runtime::release_thread() {
  std::lock_guard lock(mutex_);
  --threads_;
}

Runtime::Partner* Runtime::own_partner() noexcept {
  PartnerSlot& slot = partner_slot();
  if (slot.partner && !slot.partner->ended()) return slot.partner.get();
  slot.partner.reset();
  if (!reserve_thread()) return nullptr;
  try {
    auto partner = std::make_shared<Partner>(*this);
    partner->start();
    slot.partner = std::move(partner);
  } catch (...) {
    // No thread, or no memory for one: the pool may still serve.
    release_thread();
    return nullptr;
  }
  return slot.partner.get();
}

bool Runtime::hand_over(Work work, void* arg) noexcept {
  // A partner that ended on its own just now is replaced once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Partner* partner = own_partner();
    if (partner == nullptr) break;
    if (partner->run(work, arg)) return true;
  }
  return run_on_pool(work, arg);
}

bool Runtime::run_on_pool(Work work, void* arg) noexcept {
  struct Done {
    std::atomic<uint32_t> state{0};  // 1 once the work has run
  };
  std::shared_ptr<Done> done;
  try {
    done = std::make_shared<Done>();
    if (!submit([done, work, arg] {
          work(arg);
          done->state.store(1, std::memory_order_release);
          futex_wake(done->state);
        })) {
      return false;
    }
  } catch (...) {
    // Out of memory before the task was queued: it never runs.
    return false;
  }
  // The work may refer to the caller's stack: once queued, it is waited for.
  while (done->state.load(std::memory_order_acquire) == 0) futex_wait(done->state, 0);
  return true;
}

void Runtime::run_each(size_t n, Piece body, void* arg) noexcept {
  // A pool thread woken on another CPU starts tens of microseconds late,
  // about as long as a short piece takes, so one is woken for every two
  // pieces at most: a thread for a single piece would rarely take it first.
  const size_t helpers = std::min(n / 2, width_ - 1);
  std::shared_ptr<Batch> batch;
  if (helpers > 0) {
    try {
      batch = std::make_shared<Batch>(n, body, arg);
      for (size_t k = 0; k < helpers; ++k) {
        if (!submit([batch] { batch->run_pieces(); })) break;
      }
    } catch (...) {
      // Out of memory: the caller and the tasks already queued take every
      // piece between them.
    }
  }
  if (!batch) {
    // In turn, on one blocking thread if there is one.
    struct InTurn {
      size_t n;
      Piece body;
      void* arg;
      void operator()() noexcept {
        for (size_t i = 0; i < n && body(arg, i); ++i) {
        }
      }
    } in_turn{n, body, arg};
    if (on_blocking_thread() || !hand_over(&call<InTurn>, &in_turn)) in_turn();
    return;
  }
  // The caller's share goes to its partner, so that the pieces' reads need no
  // hand-over each.
  auto share = [&batch]() noexcept { batch->run_pieces(); };
  if (on_blocking_thread() || !hand_over(&call<decltype(share)>, &share)) share();
  // Nothing is left to start; the pieces still running end on their threads.
  const int64_t start = monotonic_ns();
  if (!batch_spin_.spin_until([&] { return batch->done(); })) batch->sleep_until_done();
  const int64_t end = monotonic_ns();
  batch_spin_.record(end - start, end);
}

bool Runtime::submit(Task task) {
  std::unique_lock lock(mutex_);
  queue_.push_back(std::move(task));
  if (idle_ >= queue_.size()) {
    task_cv_.notify_one();
    return true;
  }
  if (threads_ < kMaxBlockingThreads) {
    ++threads_;
    ++pool_threads_;
    try {
      std::thread([this, inherits_pin = on_blocking_thread()] {
        if (inherits_pin) run_where_the_process_runs();
        pool_loop();
      }).detach();
    } catch (...) {
      --threads_;
      --pool_threads_;
      if (pool_threads_ == 0) {
        queue_.pop_back();
        return false;
      }
    }
  }
  // All threads busy: the task waits in the queue for the next free one.
  return true;
}

void Runtime::run_where_the_process_runs() noexcept {
  // The main thread's CPUs: its thread id is the process's.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(::getpid(), sizeof set, &set) == 0) pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

void Runtime::pool_loop() noexcept {
  blocking_thread_ = true;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!queue_.empty()) {
      Task task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      // Never throws: the runtime's tasks catch everything.
      task();
      task = nullptr;
      lock.lock();
      continue;
    }
    ++idle_;
    const bool woke = task_cv_.wait_for(lock, kBlockingKeepAlive, [this] { return !queue_.empty(); });
    --idle_;
    if (!woke) {
      --threads_;
      --pool_threads_;
      return;
    }
  }
}

}  // namespace zelvar::runtime
