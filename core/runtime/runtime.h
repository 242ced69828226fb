// The process-wide runtime, and the one place that decides where the engine's
// work runs, on how many threads, and when anything spins.
//
// Engine operations that touch files are plain functions: each file operation
// of the directory is handed to a blocking thread with `run_blocking`, and the
// calling thread waits until it is done. `block_on` runs one engine operation
// to completion on the calling thread; it is the entry the Python binding
// uses, and it never moves the operation elsewhere. A caller with several
// pieces of work (an index's segments to prepare, a search's segments to
// search) hands them all to `run_blocking_each` and reads their outcomes in
// index order afterwards; it never picks a width or a thread itself.
//
// The runtime is created on first need and never shut down. Besides the
// blocking threads (started on demand, at most kMaxBlockingThreads at once,
// ended after kBlockingKeepAlive without work) it keeps one idle worker thread
// per available CPU; nothing is ever scheduled on the workers. In a child
// made by fork() the blocking threads start afresh, since none of the
// parent's exist there.
//
// The policy follows from what a hand-off costs: switching to a thread on the
// same CPU is cheap, waking a thread on another CPU is dear (far dearer on a
// virtual machine), and a spinning thread costs a whole CPU for as long as it
// spins.
//
// - Where a single operation runs. Each calling thread has a blocking thread
//   of its own, its partner, which the runtime keeps on the CPU the caller
//   runs on. A file operation goes to the partner: the caller wakes it and
//   yields its CPU to it (at most kMaxYields times, within kMaxYieldNs); the
//   partner does the operation and goes back to sleep. Nothing spins and no
//   other CPU is woken. An operation that blocks (the file is not in the page
//   cache) outlasts the yields, and the caller then sleeps until the partner
//   wakes it. Called from a blocking thread, an operation runs right there.
// - What stays on the caller. Work whose result the caller keeps (an index's
//   open of a lone segment) stays on the caller's thread, each read handed
//   over, so that its memory comes from the caller's arena; a piece of work
//   that reads several times and keeps little (a segment's search) is handed
//   over whole, as a piece of `run_blocking_each`, so that its reads need no
//   hand-over each.
// - How many threads run a batch. `run_blocking_each` runs the pieces on the
//   caller's partner and on pool threads, width_ in all: the CPU count, at
//   most kMaxWidth, since a piece takes about as long as waking one more
//   thread. A pool thread is woken for every two pieces at most, because one
//   woken for a single piece would rarely get to it first; the partner starts
//   at once, so a slow wake-up delays nothing. A lone piece runs on the
//   partner. Pieces start in index order; once one fails, those after it not
//   yet started are not run, so a failing segment costs no more than the
//   pieces already under way.
// - When anything spins. Only the caller waiting for the last pieces of a
//   batch, within a budget learnt from recent waits (SpinBudget, at most
//   kMaxBatchSpinNs): waking it after the last piece costs as long as a short
//   piece, and it holds the interpreter lock meanwhile anyway. A spin that
//   finds it lost its CPU stops and holds the budget down, so spinning fades
//   on a busy machine; a process under a CPU quota, or allowed one CPU, never
//   spins.
// - A quiet runtime uses no CPU: no thread spins once the call that made it
//   wait has returned.
//
// Thread safety: every member may be called from any thread at any time.
#pragma once

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
  // How long, and how many times, a caller yields its CPU to its partner
  // before it sleeps: longer than a read of cached data takes, even behind
  // another process's turn, and far shorter than a read from a disk.
  static constexpr int64_t kMaxYieldNs = 50'000;
  static constexpr int kMaxYields = 4;
  // The longest spin of a caller waiting for the last pieces of a batch.
  static constexpr int64_t kMaxBatchSpinNs = 1'000'000;
  // The most threads that run one batch's pieces at once. A piece (a
  // segment's search or open) takes tens of microseconds; beyond a few
  // threads, waking more costs more than they take off.
  static constexpr size_t kMaxWidth = 8;

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
    std::optional<std::invoke_result_t<F&>> result;
    auto body = [&]() noexcept {
      try {
        result.emplace(fn());
      } catch (...) {
        // A task that throws did not complete; the result stays empty.
      }
    };
    if (on_blocking_thread()) {
      body();
    } else if (!hand_over(&call<decltype(body)>, &body)) {
      return std::nullopt;
    }
    return result;
  }

  // Runs body(0), ..., body(n - 1) on blocking threads and returns once they
  // have run: on the caller's partner and up to width_ - 1 pool threads, one
  // for every two pieces at most (a lone piece runs on the partner). Pieces
  // start in index order; which thread runs which is not fixed. A body
  // answers whether its piece succeeded: once one has failed, the pieces after
  // it that have not started are left unrun (those before it have all
  // started), so a caller that takes the first failure in index order as its
  // answer gets it with no more work than the pieces already under way.
  // `body` must not throw. Where no blocking thread can be had (none can be
  // started, or memory runs out), the caller runs the pieces left itself.
  template <class F>
  void run_blocking_each(size_t n, F& body) {
    static_assert(std::is_nothrow_invocable_r_v<bool, F&, size_t>);
    run_each(n, &call_each<F>, &body);
  }

  // Whether the calling thread is one of the blocking threads.
  static bool on_blocking_thread() noexcept { return blocking_thread_; }

  // Runs one engine operation to completion on the calling thread.
  template <class F>
  decltype(auto) block_on(F&& operation) {
    return std::forward<F>(operation)();
  }

  size_t worker_count() const { return workers_.size(); }
  // Blocking threads alive: the pool's and the callers' partners.
  size_t blocking_thread_count() const;

 private:
  class Partner;
  struct PartnerSlot;
  struct Batch;
  using Work = void (*)(void*) noexcept;
  // A queued task of the pool.
  using Task = std::function<void()>;

  template <class Body>
  static void call(void* body) noexcept {
    (*static_cast<Body*>(body))();
  }
  template <class F>
  static bool call_each(void* body, size_t i) noexcept {
    return (*static_cast<F*>(body))(i);
  }

  Runtime(size_t workers, bool may_spin, const Spawn& spawn);
  ~Runtime() = delete;  // never shut down

  // Runs work(arg) on a blocking thread, the caller's partner where it can
  // have one, else a pool thread, and waits for it; false if no thread could
  // run it (then it did not run).
  bool hand_over(Work work, void* arg) noexcept;
  // The calling thread's partner, started if it has none or its last one
  // ended; null if no thread can be started.
  Partner* own_partner() noexcept;
  static PartnerSlot& partner_slot();
  // Runs work(arg) on a pool thread and waits for it; false if it could not
  // be queued.
  bool run_on_pool(Work work, void* arg) noexcept;
  using Piece = bool (*)(void*, size_t) noexcept;
  void run_each(size_t n, Piece body, void* arg) noexcept;
  // Queues a task, starting a pool thread if none is waiting for work and
  // fewer than kMaxBlockingThreads run. False if no thread can run it (the
  // task is then dropped unrun). Throws std::bad_alloc only before the task
  // is queued.
  bool submit(Task task);
  // Counts one more blocking thread, unless kMaxBlockingThreads run.
  bool reserve_thread();
  void release_thread();
  void pool_loop() noexcept;
  // A pool thread started by a blocking thread inherits its CPU, where the
  // starter is a partner; it takes the process's CPUs instead.
  static void run_where_the_process_runs() noexcept;
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
  std::deque<Task> queue_;  // guarded by mutex_
  size_t threads_ = 0;      // guarded by mutex_: blocking threads alive, partners included
  size_t pool_threads_ = 0; // guarded by mutex_: those that serve queue_
  size_t idle_ = 0;         // guarded by mutex_: pool threads asleep, waiting for work
  SpinBudget batch_spin_;
  const size_t width_;  // threads per batch: min(kMaxWidth, the CPU count)
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

// Whether a control group limits this process's CPU time (a quota, however
// large), read as available_cpus() reads it.
bool under_cpu_quota();

}  // namespace zelvar::runtime
