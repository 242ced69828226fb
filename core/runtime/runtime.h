// The process-wide runtime.
//
// Engine operations that touch files are plain functions: each file operation
// of the directory is handed to the runtime's pool of blocking threads with
// `run_blocking`, and the calling thread waits until it is done. `block_on`
// runs one engine operation to completion on the calling thread; it is the
// entry the Python binding uses, and it never moves the operation elsewhere.
// `run_blocking_each` hands several pieces of work to the pool at once (an
// index prepares its segments so); a file operation made by such a piece runs
// where the piece runs, on the pool already.
//
// The runtime is created on first need and never shut down. Besides the
// blocking pool (threads started on demand, at most kMaxBlockingThreads at
// once, idle ones reused and ended after kBlockingKeepAlive) it keeps one idle
// worker thread per available CPU; nothing is ever scheduled on the workers.
// In a child made by fork() the pool starts afresh, since none of the parent's
// threads exist there.
//
// The hand-off is cheap when reads come in quick succession: a pool thread
// that has just finished a task spins briefly for the next before it sleeps,
// and the caller spins briefly on its result before it sleeps, so neither
// waits for a sleeping thread to be woken on another CPU. Both spins are
// bounded (kMaxIdleSpinNs, kMaxResultSpinNs) and learnt from recent waits
// (see SpinBudget); at most one pool thread spins at a time, and with one
// CPU nothing spins. After an idle while, when no thread spins any more,
// `block_on` wakes one to spin for the operation's first read
// (wake_for_reads), so that the wake overlaps the operation's own work.
// Neither side spins while the other may be waiting for the same CPU: the
// pool thread not after waking a sleeping caller or one on its own CPU, nor
// when woken ahead onto the caller's CPU; the caller not once its task runs
// on the caller's CPU (which also shrinks its budget). Spinners do not
// yield: under load a yield hands the CPU to another process for a whole
// time slice; instead a spinner that finds it was set aside for another
// thread stops and halves its budget. A quiet runtime uses no CPU once its
// last spin is over.
//
// Thread safety: every member may be called from any thread at any time.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/runtime/spin.h"

namespace zelvar::runtime {

class Runtime {
 public:
  static constexpr size_t kMaxBlockingThreads = 512;
  // How long an idle blocking thread waits for work before it ends.
  static constexpr std::chrono::seconds kBlockingKeepAlive{10};
  // The longest spins: a pool thread waiting for its next task, a caller
  // waiting for its task's result, a pool thread woken ahead of an
  // operation's first read. A cached read of a block takes a few
  // microseconds; the gap between two reads of one search or fetch is the
  // caller's decoding, tens of microseconds. A pool thread's spin also
  // bridges the gaps between operations of a program that searches or
  // fetches every few hundred microseconds, each of which would otherwise
  // begin by waking a sleeping thread (tens of microseconds, as long as a
  // whole small search); so such a program keeps one CPU busy between its
  // operations, and none once it pauses for a millisecond. A search over
  // many segments waits some hundred microseconds for its pool threads; the
  // caller, which holds the interpreter lock and can do nothing else
  // meanwhile, spins through that too, rather than be woken 40-50 us after
  // the last segment is done.
  static constexpr int64_t kMaxIdleSpinNs = 1'000'000;
  static constexpr int64_t kMaxResultSpinNs = 1'000'000;
  static constexpr int64_t kMaxWokenSpinNs = 100'000;

  // The runtime, created first if this is the first call. A failed build
  // (for instance the system refuses a thread) returns the reason and leaves
  // nothing behind, so a later call tries again.
  static std::expected<Runtime*, std::string> get();

  // As `get`, with `spawn` standing in for starting a worker thread when the
  // runtime is built (tests use it to make a thread start fail). `spawn` may
  // throw std::system_error.
  using Spawn = std::function<std::thread(std::function<void()>)>;
  static std::expected<Runtime*, std::string> get_with(const Spawn& spawn);

  // Whether the runtime has been created; never creates it.
  static bool exists();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Runs `fn` on a blocking thread while the caller waits, and returns its
  // result. An empty optional means the task could not be run (no thread
  // could be started, or memory ran out handing it over) or did not complete
  // (it threw, for instance std::bad_alloc); no exception leaves a task.
  //
  // Called from a blocking thread (a task that itself reads), `fn` runs right
  // there: it is on the pool already, and a hand-off would only tie up a
  // second thread.
  template <class F>
  auto run_blocking(F&& fn) -> std::optional<std::invoke_result_t<F&>> {
    using R = std::invoke_result_t<F&>;
    if (on_blocking_thread()) {
      std::optional<R> result;
      try {
        result.emplace(fn());
      } catch (...) {
        // As on a thread of its own: a task that throws did not complete.
      }
      return result;
    }
    struct Call : Completion {
      std::optional<R> result;  // written by the task before complete()
    };
    std::shared_ptr<Call> call;
    try {
      call = std::make_shared<Call>();
      Task task = [call, fn = std::forward<F>(fn)]() mutable noexcept {
        call->start();
        try {
          call->result.emplace(fn());
        } catch (...) {
          // A task that throws did not complete; the result stays empty.
        }
        return call->complete();
      };
      if (!submit(std::move(task))) return std::nullopt;
    } catch (...) {
      // Out of memory before the task was queued: it never runs.
      return std::nullopt;
    }
    // The task may refer to the caller's stack: once queued, it is waited for.
    await(*call);
    return std::move(call->result);
  }

  // Runs body(0), ..., body(n - 1) on blocking threads, at most `width` at a
  // time, while the caller waits for all of them; each index is run once, by
  // whichever thread takes it first, in no particular order. `body` must not
  // throw. The number of tasks handed over: 0 when not even one could be (no
  // thread could be started, or memory ran out), and then no body ran; any
  // other number means every body ran.
  //
  // The caller waits for the bodies, not for the tasks: a task that starts
  // only once every index is taken (its thread was asleep, and the others did
  // the work meanwhile) finds nothing to do and touches nothing of the
  // caller's, so the caller does not wait for that thread to wake.
  template <class F>
  size_t run_blocking_each(size_t n, size_t width, F& body) {
    static_assert(std::is_nothrow_invocable_v<F&, size_t>);
    if (n == 0 || width == 0) return 0;
    // What the tasks share; a task holds it, so that it outlives the call.
    struct Batch {
      Batch(size_t n, F& body) : n(n), body(body), left(n) {}
      const size_t n;
      F& body;  // used only for an index taken, so only while the caller waits
      std::atomic<size_t> next{0};
      std::atomic<size_t> left;  // indices not yet run to the end
      Completion done;           // completed by the task that ends the last index
    };
    std::shared_ptr<Batch> batch;
    size_t handed = 0;
    try {
      batch = std::make_shared<Batch>(n, body);
      for (const size_t tasks = std::min(n, width); handed < tasks; ++handed) {
        Task task = [batch]() noexcept {
          batch->done.start();
          bool caller_elsewhere = true;
          for (size_t i; (i = batch->next.fetch_add(1, std::memory_order_relaxed)) < batch->n;) {
            batch->body(i);
            if (batch->left.fetch_sub(1, std::memory_order_acq_rel) == 1) caller_elsewhere = batch->done.complete();
          }
          return caller_elsewhere;
        };
        if (!submit(std::move(task))) break;
      }
    } catch (...) {
      // Out of memory: the tasks already queued take every index between them.
    }
    // Once one task is queued, the bodies may refer to the caller's stack
    // until the last index is done.
    if (handed > 0) await(batch->done);
    return handed;
  }

  // Whether the calling thread is one of the blocking pool's.
  static bool on_blocking_thread() noexcept { return blocking_thread_; }

  // Runs one engine operation to completion on the calling thread. First,
  // when no blocking thread is spinning but one sleeps, that one is woken to
  // spin for the operation's first read (see wake_for_reads).
  template <class F>
  decltype(auto) block_on(F&& operation) {
    wake_for_reads();
    return std::forward<F>(operation)();
  }

  // Wakes a sleeping blocking thread to spin, for at most kMaxWokenSpinNs,
  // for the next task, unless a thread already spins or is being woken so:
  // waking takes tens of microseconds, which an operation spends on its own
  // work before its first read. The woken thread does not spin where it
  // finds itself on the caller's CPU, which it would keep from the caller.
  // Never waits for the lock.
  void wake_for_reads() noexcept;

  size_t worker_count() const { return workers_.size(); }
  size_t blocking_thread_count() const;
  // Whether a blocking thread spins for work right now, so that a task handed
  // over starts at once: the pool has been busy with short gaps.
  bool has_spinning_thread() const;

  // The learnt spin budgets, for tests and benchmarks.
  const SpinBudget& idle_spin() const { return idle_spin_; }
  const SpinBudget& result_spin() const { return result_spin_; }

 private:
  // The hand-back of one task's result: the task completes it once, the
  // caller waits for that. It also notes the CPUs of the caller and of the
  // pool thread that runs the task: a thread that spins while the other
  // waits for the same CPU only delays it.
  class Completion {
   public:
    // Called by the pool thread before it runs the task; by each of the
    // threads where several tasks share one completion, of which the one on
    // the caller's CPU, if any, is noted.
    void start() noexcept {
      const int cpu = sched_getcpu();
      int none = -1;
      if (cpu == caller_cpu_) {
        runner_cpu_.store(cpu, std::memory_order_relaxed);
      } else {
        runner_cpu_.compare_exchange_strong(none, cpu, std::memory_order_relaxed);
      }
    }
    // Called by the pool thread after the result was stored. True if the
    // caller is awake on another CPU (it neither slept nor shared this one),
    // so that spinning here for its next task holds no one up.
    bool complete() noexcept {
      done_at_ns_ = monotonic_ns();
      const bool beside = runs_beside_caller();
      if (state_.exchange(kDone, std::memory_order_acq_rel) == kSleeping) {
        state_.notify_one();
        return false;
      }
      return !beside;
    }
    bool done() const noexcept { return state_.load(std::memory_order_acquire) == kDone; }
    // Whether the task was started on the CPU where the caller last ran.
    bool runs_beside_caller() const noexcept {
      return caller_cpu_ >= 0 && runner_cpu_.load(std::memory_order_relaxed) == caller_cpu_;
    }
    // Sleeps until complete() was called.
    void sleep_until_done() noexcept;

    const int64_t submitted_at_ns = monotonic_ns();
    // When the task completed; read by the caller once done() holds.
    int64_t done_at_ns() const noexcept { return done_at_ns_; }

   private:
    static constexpr uint32_t kPending = 0;
    static constexpr uint32_t kSleeping = 1;  // the caller sleeps and must be woken
    static constexpr uint32_t kDone = 2;
    std::atomic<uint32_t> state_{kPending};
    int64_t done_at_ns_ = 0;
    const int caller_cpu_ = sched_getcpu();  // made by the caller; -1 if unknown
    std::atomic<int> runner_cpu_{-1};
  };

  // A queued task; it answers Completion::complete().
  using Task = std::function<bool()>;

  Runtime(size_t workers, const Spawn& spawn);
  ~Runtime() = delete;  // never shut down

  // Queues a task, starting a blocking thread if none is waiting for work
  // and fewer than kMaxBlockingThreads run. False if no thread can run it
  // (the task is then dropped unrun). Throws std::bad_alloc only before the
  // task is queued.
  bool submit(Task task);
  // Waits for `call`: a short spin, then sleep.
  void await(Completion& call) noexcept;
  void blocking_loop() noexcept;
  void worker_loop();
  // Stops and joins the worker threads; only for a build that failed.
  void stop_workers() noexcept;
  // Run in a forked child (registered with pthread_atfork when the runtime is
  // built): forgets the parent's blocking threads and the state they shared.
  static void forget_threads_after_fork();

  // The idle workers wait on this until a failed build stops them.
  std::mutex workers_mutex_;
  std::condition_variable workers_cv_;
  bool stopping_workers_ = false;  // guarded by workers_mutex_
  std::vector<std::thread> workers_;

  mutable std::mutex mutex_;
  std::condition_variable task_cv_;
  std::deque<Task> queue_;     // guarded by mutex_
  size_t threads_ = 0;         // guarded by mutex_: blocking threads alive
  size_t idle_ = 0;            // guarded by mutex_: blocking threads asleep, waiting for work
  size_t spinning_ = 0;        // guarded by mutex_: blocking threads spinning for work
  size_t wake_requests_ = 0;   // guarded by mutex_: sleeping threads woken to spin for work
  int wake_caller_cpu_ = -1;   // guarded by mutex_: where the latest wake_for_reads ran
  // The queue's length, read without the lock by a spinning thread.
  std::atomic<size_t> pending_{0};
  // When a blocking thread last finished a task: the start of the gap that an
  // idle spin covers.
  std::atomic<int64_t> last_finish_ns_{0};
  SpinBudget idle_spin_;
  SpinBudget result_spin_;
  // Set for the life of each blocking thread; read by every run_blocking.
  static inline thread_local bool blocking_thread_ = false;
};

// The number of CPUs available to this process: its scheduling affinity mask,
// limited by the CPU quota of its control group and of every group above it
// (cgroup v2 "cpu.max", v1 "cpu.cfs_quota_us" / "cpu.cfs_period_us"), the
// smallest quota divided by its period and rounded up; at least 1. The mask
// is read at every call, the quotas at most once a second.
size_t available_cpus();

// The same with every absolute path that is read (/proc/self/cgroup,
// /proc/self/mountinfo, the control-group files) taken below `root`, the
// affinity count given, and `read` in place of ::read: tests build fake trees
// in a temporary folder, and hand them out in short or interrupted reads.
using ReadCall = ssize_t (*)(int fd, void* buffer, size_t count);
size_t available_cpus(const std::string& root, size_t affinity_cpus, ReadCall read = ::read);

}  // namespace zelvar::runtime
