// The process-wide runtime.
//
// Engine operations that touch files are plain functions: each file operation
// of the directory is handed to the runtime's pool of blocking threads with
// `run_blocking`, and the calling thread sleeps until it is done. `block_on`
// runs one engine operation to completion on the calling thread; it is the
// entry the Python binding uses, and it never moves the operation elsewhere.
//
// The runtime is created on first need and never shut down. Besides the
// blocking pool (threads started on demand, at most kMaxBlockingThreads at
// once, idle ones reused) it keeps one idle worker thread per available CPU;
// nothing is ever scheduled on the workers. In a child made by fork() the
// pool starts afresh, since none of the parent's threads exist there.
//
// Thread safety: every member may be called from any thread at any time.
#pragma once

#include <condition_variable>
#include <cstddef>
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

namespace zelvar::runtime {

class Runtime {
 public:
  static constexpr size_t kMaxBlockingThreads = 512;

  // The runtime, created first if this is the first call. A failed build
  // (for instance the system refuses a thread) returns the reason and leaves
  // nothing behind, so a later call tries again.
  static std::expected<Runtime*, std::string> get();

  // Whether the runtime has been created; never creates it.
  static bool exists();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Runs `fn` on a blocking thread while the caller waits, and returns its
  // result; an empty optional means the task could not be run or did not
  // complete.
  template <class F>
  auto run_blocking(F&& fn) -> std::optional<std::invoke_result_t<F&>> {
    using R = std::invoke_result_t<F&>;
    struct State {
      std::mutex mutex;
      std::condition_variable done_cv;
      bool done = false;  // guarded by mutex
      std::optional<R> result;
    };
    auto state = std::make_shared<State>();
    bool submitted = submit([state, fn = std::forward<F>(fn)]() mutable {
      std::optional<R> result(fn());
      std::lock_guard lock(state->mutex);
      state->result = std::move(result);
      state->done = true;
      state->done_cv.notify_one();
    });
    if (!submitted) return std::nullopt;
    std::unique_lock lock(state->mutex);
    state->done_cv.wait(lock, [&] { return state->done; });
    return std::move(state->result);
  }

  // Runs one engine operation to completion on the calling thread.
  template <class F>
  decltype(auto) block_on(F&& operation) {
    return std::forward<F>(operation)();
  }

  size_t worker_count() const { return workers_.size(); }
  size_t blocking_thread_count() const;

 private:
  explicit Runtime(size_t workers);
  ~Runtime() = delete;  // never shut down

  using Task = std::function<void()>;

  // Queues a task, starting a blocking thread if none is idle and fewer than
  // kMaxBlockingThreads run. False if no thread can run it.
  bool submit(Task task);
  void blocking_loop();
  // Run in a forked child (registered with pthread_atfork when the runtime is
  // built): forgets the parent's blocking threads and the state they shared.
  static void forget_threads_after_fork();
  static void worker_loop();

  std::vector<std::thread> workers_;

  mutable std::mutex mutex_;
  std::condition_variable task_cv_;
  std::deque<Task> queue_;     // guarded by mutex_
  size_t threads_ = 0;         // guarded by mutex_: blocking threads alive
  size_t idle_ = 0;            // guarded by mutex_: blocking threads waiting for work
};

// The number of CPUs available to this process: its scheduling affinity mask,
// limited by the CPU quota of its control group and of every group above it
// (cgroup v2 "cpu.max", v1 "cpu.cfs_quota_us" / "cpu.cfs_period_us"), the
// smallest quota divided by its period and rounded up; at least 1.
size_t available_cpus();

// The same with every absolute path that is read (/proc/self/cgroup,
// /proc/self/mountinfo, the control-group files) taken below `root`, and the
// affinity count given: tests build fake trees in a temporary folder.
size_t available_cpus(const std::string& root, size_t affinity_cpus);

}  // namespace zelvar::runtime
