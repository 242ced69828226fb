// A segment's ".store" file, opened and then fetched from.
//
// Input: one byte whose low 3 bits give the block cache's capacity - 1 (small,
// so that blocks are evicted and read again), then the file.
// Fetched, in this order and then once more (the second time mostly from the
// cache): local numbers 0 to kLeadingDocs - 1, the first and last number of
// each of the first kIndexedBlocks index entries and their neighbours outside
// the entry, and the last numbers below the footer's count and at it. Every
// block named by those entries is also loaded directly.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/segment/store.h"
#include "fuzz/support.h"

namespace {

constexpr uint32_t kLeadingDocs = 24;
constexpr size_t kIndexedBlocks = 32;

// A block larger than the cache's byte budget is decompressed afresh by every
// fetch, and so is a block that fails only after decompressing much: a few
// kilobytes of frames can stand for hundreds of megabytes, and repeating such
// calls a few hundred times proves nothing new but takes minutes. The work
// done is measured as the bytes the blocks loaded directly hold and, where
// the heap is counted, the bytes allocated so far; once it passes kWorkBytes,
// no more blocks are loaded and only kFetchesOfLargeBlocks fetches follow.
constexpr uint64_t kWorkBytes = uint64_t{64} << 20;
constexpr size_t kFetchesOfLargeBlocks = 2;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  using namespace zelvar::fuzz;
  if (size < 1) return 0;
  HeapWatch watch("store", size);
  const size_t cache_blocks = static_cast<size_t>(data[0] & 7) + 1;
  auto opened = AsyncStoreReader::open(memory_file(std::span(data + 1, size - 1)), cache_blocks);
  if (!opened) {
    (void)opened.error().to_string();
    return 0;
  }
  const AsyncStoreReader& store = **opened;
  const uint32_t num_docs = store.num_docs();

  std::vector<uint32_t> locals;
  for (uint32_t i = 0; i < kLeadingDocs; ++i) locals.push_back(i);
  const auto index = store.index();
  uint64_t loaded_bytes = 0;
  const auto worked_enough = [&] { return std::max(loaded_bytes, watch.allocated()) > kWorkBytes; };
  for (size_t i = 0; i < std::min(index.size(), kIndexedBlocks); ++i) {
    const StoreBlockIndex& e = index[i];
    const uint32_t last = e.first_doc + (e.num_docs == 0 ? 0 : e.num_docs - 1);
    for (uint32_t local : {e.first_doc - 1, e.first_doc, last, last + 1}) locals.push_back(local);
    if (worked_enough()) continue;
    auto block = store.load_block(e);
    if (block) {
      loaded_bytes += (*block)->size();
    } else {
      (void)block.error().to_string();
    }
  }
  size_t fetches_left = worked_enough() ? kFetchesOfLargeBlocks : SIZE_MAX;
  for (uint32_t local : {num_docs - 2, num_docs - 1, num_docs, 0xFFFFFFFFu}) locals.push_back(local);

  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t local : locals) {
      if (fetches_left == 0) return 0;
      --fetches_left;
      auto doc = store.get(local);
      if (fetches_left > kFetchesOfLargeBlocks && worked_enough()) fetches_left = kFetchesOfLargeBlocks;
      if (!doc) {
        (void)doc.error().to_string();
        continue;
      }
      if (local >= num_docs && doc->has_value()) fail("store: a document at or beyond the footer's count");
    }
  }
  return 0;
}
