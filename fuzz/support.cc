#include "fuzz/support.h"


#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

#include "tests/writer/memory_file.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZELVAR_FUZZ_HEAP_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELVAR_FUZZ_HEAP_HOOKS 1
#endif
#endif

#if ZELVAR_FUZZ_HEAP_HOOKS
// The sanitizer allocator's interface (g++ ships no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* p);
#endif

namespace zelvar::fuzz {

LazyFileHandle memory_file(std::span<const uint8_t> bytes) { return test_writer::MemoryFile(bytes).handle(); }

std::vector<std::span<const uint8_t>> split_parts(std::span<const uint8_t> input, size_t max_parts) {
  std::vector<std::span<const uint8_t>> parts;
  const auto sep = std::span(reinterpret_cast<const uint8_t*>(kPartSeparator.data()), kPartSeparator.size());
  while (parts.size() + 1 < max_parts) {
    auto at = std::search(input.begin(), input.end(), sep.begin(), sep.end());
    if (at == input.end()) break;
    const size_t pos = static_cast<size_t>(at - input.begin());
    parts.push_back(input.first(pos));
    input = input.subspan(pos + sep.size());
  }
  parts.push_back(input);
  return parts;
}

Bytes join_parts(const std::vector<Bytes>& parts) {
  Bytes out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.insert(out.end(), kPartSeparator.begin(), kPartSeparator.end());
    out.insert(out.end(), parts[i].begin(), parts[i].end());
  }
  return out;
}

namespace {

struct ScratchDir {
  std::filesystem::path path;
  pid_t owner;

  ScratchDir() : owner(getpid()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelvar_fuzz_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    path = pattern;
  }
  ~ScratchDir() {
    // Only the process that made it removes it (not a forked child).
    if (getpid() != owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

const std::filesystem::path& scratch_dir() {
  static ScratchDir dir;
  return dir.path;
}

void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + temp.string());
  }
  std::filesystem::rename(temp, path);
}

// --- heap bound ----------------------------------------------------------------

namespace {

std::atomic<int64_t> g_live{0};  // bytes allocated and not yet freed
std::atomic<int64_t> g_peak{0};  // the highest g_live since the watch began
std::atomic<uint64_t> g_allocated{0};  // bytes ever allocated

#if ZELVAR_FUZZ_HEAP_HOOKS
void on_malloc(const volatile void*, size_t size) {
  g_allocated.fetch_add(size, std::memory_order_relaxed);
  const int64_t now = g_live.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) +
                      static_cast<int64_t>(size);
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void on_free(const volatile void* p) {
  g_live.fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(p)), std::memory_order_relaxed);
}

bool install_hooks() {
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  return true;
}
#else
bool install_hooks() { return false; }
#endif

}  // namespace

}  // namespace zelvar::fuzz

#if !ZELVAR_FUZZ_HEAP_HOOKS
// Without the sanitizer allocator's hooks only the work measure counts, and
// it counts what operator new hands out: the engine's block buffers come from
// it.
void* operator new(size_t size) {
  zelvar::fuzz::g_allocated.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
#endif

namespace zelvar::fuzz {

namespace {

// Whether the hooks count; false in builds without the sanitizer allocator.
bool heap_counted() {
  static const bool installed = install_hooks();
  return installed;
}

}  // namespace

HeapWatch::HeapWatch(std::string_view what, size_t input_size)
    : what_(what), input_size_(input_size), start_(0),
      allocated_at_start_(g_allocated.load(std::memory_order_relaxed)) {
  if (!heap_counted()) return;
  start_ = g_live.load(std::memory_order_relaxed);
  g_peak.store(start_, std::memory_order_relaxed);
}

uint64_t HeapWatch::allocated() const {
  return g_allocated.load(std::memory_order_relaxed) - allocated_at_start_;
}

HeapWatch::~HeapWatch() {
  if (!heap_counted()) return;
  const int64_t growth = g_peak.load(std::memory_order_relaxed) - start_;
  const uint64_t bound = kHeapPerInputByte * input_size_ + kHeapSlack;
  if (growth > 0 && static_cast<uint64_t>(growth) > bound) {
    std::fprintf(stderr,
                 "==zelvar-fuzz== %s: the heap grew by %lld bytes for an input of %zu bytes "
                 "(bound: %llu = %llu * size + %llu)\n",
                 what_.c_str(), static_cast<long long>(growth), input_size_,
                 static_cast<unsigned long long>(bound), static_cast<unsigned long long>(kHeapPerInputByte),
                 static_cast<unsigned long long>(kHeapSlack));
    std::abort();
  }
}

void fail(std::string_view what) {
  std::fprintf(stderr, "==zelvar-fuzz== %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace zelvar::fuzz
