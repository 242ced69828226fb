// The hand-off of a file read to the runtime's blocking pool and back.
//
// Each iteration times one round trip only (manual time): submit, run on a
// pool thread, result back on the caller. Besides the mean, the median and
// the 99th percentile are reported (p50_us, p99_us): on a shared machine the
// mean mostly measures how often the threads were preempted. Between round trips the caller
// either goes straight on, or busies itself for a while (as when it decodes a
// block before the next read), or sleeps (a request after a quiet spell).
// The CPU column is the whole process's CPU time per iteration, pool threads
// included, so it shows what waiting costs as well as what it saves.
//
//   BM_RoundTrip/<gap µs>/<sleep>   an empty task
//   BM_ReadRoundTrip/<gap µs>       a 4 KiB range read of a cached file
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/directories/directory.h"
#include "core/runtime/runtime.h"

namespace zelvar {
namespace {

using Clock = std::chrono::steady_clock;

// Keeps the calling thread busy for `duration` without sleeping.
void busy_for(std::chrono::microseconds duration) {
  const Clock::time_point end = Clock::now() + duration;
  while (Clock::now() < end) {
  }
}

// Waits `gap_us` between round trips: busy when `sleep` is 0, asleep otherwise.
void pause_between(int64_t gap_us, int64_t sleep) {
  if (gap_us == 0) return;
  if (sleep) {
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
  } else {
    busy_for(std::chrono::microseconds(gap_us));
  }
}

// Round-trip times of one run, in seconds.
class Samples {
 public:
  void add(Clock::time_point start, Clock::time_point end, benchmark::State& state) {
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    seconds_.push_back(seconds);
  }

  // The median and the 99th percentile, in µs.
  void report(benchmark::State& state) {
    if (seconds_.empty()) return;
    std::sort(seconds_.begin(), seconds_.end());
    state.counters["p50_us"] = seconds_[seconds_.size() / 2] * 1e6;
    state.counters["p99_us"] = seconds_[seconds_.size() * 99 / 100] * 1e6;
  }

 private:
  std::vector<double> seconds_;
};

void BM_RoundTrip(benchmark::State& state) {
  runtime::Runtime* rt = *runtime::Runtime::get();
  const int64_t gap_us = state.range(0);
  const int64_t sleep = state.range(1);
  Samples samples;
  for (auto _ : state) {
    pause_between(gap_us, sleep);
    const Clock::time_point start = Clock::now();
    auto result = rt->run_blocking([] { return 1; });
    const Clock::time_point end = Clock::now();
    benchmark::DoNotOptimize(result);
    samples.add(start, end, state);
  }
  samples.report(state);
}
BENCHMARK(BM_RoundTrip)
    ->ArgNames({"gap_us", "sleep"})
    ->Args({0, 0})
    ->Args({20, 0})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({20000, 1})
    ->UseManualTime()
    ->MeasureProcessCPUTime();

class CachedFile {
 public:
  CachedFile() {
    dir_ = std::filesystem::temp_directory_path() / ("bench_runtime_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::vector<char> bytes(kSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
    std::ofstream(dir_ / "data.bin", std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~CachedFile() { std::filesystem::remove_all(dir_); }

  LazyFileHandle open() const { return *FsDirectory(dir_).open_lazy("data.bin"); }

  static constexpr uint64_t kSize = 1 << 20;

 private:
  std::filesystem::path dir_;
};

void BM_ReadRoundTrip(benchmark::State& state) {
  static const CachedFile file;
  const LazyFileHandle handle = file.open();
  const int64_t gap_us = state.range(0);
  uint64_t offset = 0;
  Samples samples;
  for (auto _ : state) {
    pause_between(gap_us, 0);
    const Clock::time_point start = Clock::now();
    auto bytes = handle.read_bytes_range(ByteRange{offset, offset + 4096});
    const Clock::time_point end = Clock::now();
    if (!bytes) {
      state.SkipWithError(bytes.error().to_string().c_str());
      break;
    }
    offset = (offset + 4096 * 7) % (CachedFile::kSize - 4096);
    samples.add(start, end, state);
  }
  samples.report(state);
}
BENCHMARK(BM_ReadRoundTrip)
    ->ArgName("gap_us")
    ->Arg(0)
    ->Arg(20)
    ->Arg(100)
    ->UseManualTime()
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace zelvar

BENCHMARK_MAIN();
