// Shared pieces of the fuzz targets: files in memory, inputs split into parts,
// a private scratch folder, the per-input heap bound, and hits compared bit
// for bit.
//
// Every target defines LLVMFuzzerTestOneInput (and, where it needs set-up,
// LLVMFuzzerInitialize). The same sources link either with libFuzzer (the
// ZELVAR_FUZZ build) or with replay_main.cc, which feeds saved inputs to them
// in the ordinary test builds.
//
// Thread safety: the helpers are for one fuzzing thread; the heap bound counts
// the allocations of every thread, since the engine reads files on the
// runtime's blocking threads.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/directories/lazy_file.h"
#include "core/query/collector.h"

namespace zelvar::fuzz {

using Bytes = std::vector<uint8_t>;

// A lazily read file whose bytes are `bytes` (copied once); every range read
// gets a fresh buffer, like a read from disk.
LazyFileHandle memory_file(std::span<const uint8_t> bytes);

// Inputs made of several files separate them with kPartSeparator (chosen so
// that no seed file contains it). `split_parts` returns at most `max_parts`
// parts; the last one takes the rest of the input, separators included.
inline constexpr std::string_view kPartSeparator = "\n--zelvar-fuzz-part--\n";
std::vector<std::span<const uint8_t>> split_parts(std::span<const uint8_t> input, size_t max_parts);
// The inverse, for the seed generator.
Bytes join_parts(const std::vector<Bytes>& parts);

// Whether two searches gave the same hits, scores compared bit for bit.
inline bool same_hits(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const SearchResult& x, const SearchResult& y) {
    return x.doc_id == y.doc_id && std::bit_cast<uint32_t>(x.score) == std::bit_cast<uint32_t>(y.score);
  });
}

// A private folder under the system's temporary folder, made on first use and
// removed when the process exits normally. Each process has its own, so
// parallel fuzzing jobs never share files.
const std::filesystem::path& scratch_dir();

// Replaces the file at `path` with `bytes` (written whole, then renamed into
// place, so a reader never sees half a file).
void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Heap bound. While a HeapWatch lives, the growth of the live heap over its
// level at the start is tracked; when it ends, a peak above
// kHeapPerInputByte * input size + kHeapSlack is reported on stderr and the
// process aborts, so the fuzzer records the input as a finding. One open,
// search or fetch may hold a small multiple of the bytes it was given plus a
// fixed budget, and no more. The budget is the one the README states: a
// block decompresses to at most 256 MiB, and one of undeclared size needs up
// to half as much again while its buffer grows; the block caches (64 MiB
// each) and the tokenizer registry fit in what is left.
//
// Counting needs the sanitizer allocator's hooks: under AddressSanitizer
// (the fuzz build and the sanitizer test build) the bound is enforced; in a
// build without it a HeapWatch does nothing.
inline constexpr uint64_t kHeapPerInputByte = 16;
inline constexpr uint64_t kHeapSlack = uint64_t{512} << 20;

class HeapWatch {
 public:
  // `what` names the target in the report.
  HeapWatch(std::string_view what, size_t input_size);
  ~HeapWatch();
  HeapWatch(const HeapWatch&) = delete;
  HeapWatch& operator=(const HeapWatch&) = delete;

  // The bytes allocated, by every thread, since the watch began (freed ones
  // included): a measure of the work done, for targets that must stop
  // repeating costly calls. Where the heap is not counted, only what
  // operator new handed out.
  uint64_t allocated() const;

 private:
  std::string what_;
  size_t input_size_;
  int64_t start_;
  uint64_t allocated_at_start_;
};

// Work bound. A target that repeats costly calls on one input (lookups,
// fetches, searches) stops repeating them once they have cost more than
// kWorkBytes: the bytes allocated since the budget began (blocks
// decompressed, documents parsed; see HeapWatch::allocated) plus the bytes
// charged for work that allocates nothing, chiefly scanning a block that a
// cache already holds.
// A few kilobytes of frames can stand for blocks of many megabytes, and a
// lookup or fetch in such a block costs its whole size every time it runs,
// cached or not: repeating it hundreds of times proves nothing new but takes
// minutes. Inputs of small blocks never come near the bound.
inline constexpr uint64_t kWorkBytes = uint64_t{64} << 20;

class WorkBudget {
 public:
  explicit WorkBudget(const HeapWatch& watch) : watch_(watch), allocated_at_start_(watch.allocated()) {}

  // Whether the calls so far cost more than kWorkBytes.
  bool spent() const { return watch_.allocated() - allocated_at_start_ + charged_ > kWorkBytes; }

  // Charges a call that may have scanned one block held by `cache`, blocks
  // being at most `max_block` bytes: what the cache holds, up to that.
  template <class Cache>
  void charge_scan(const Cache& cache, uint64_t max_block) {
    charged_ += std::min<uint64_t>(cache.bytes(), max_block);
  }

 private:
  const HeapWatch& watch_;
  const uint64_t allocated_at_start_;
  uint64_t charged_ = 0;
};

// Reports a broken promise of the engine (work that should be bounded and is
// not, a result that breaks its contract) on stderr and aborts, so that the
// fuzzer records the input as a finding.
[[noreturn]] void fail(std::string_view what);

}  // namespace zelvar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
