// A segment's ".store" file, opened and then fetched from.
//
// Input: one byte whose low 3 bits give the block cache's capacity - 1 (small,
// so that blocks are evicted and read again), then the file.
// Fetched, in this order and then once more (the second time mostly from the
// cache): local numbers 0 to kLeadingDocs - 1, the first and last number of
// each of the first kIndexedBlocks index entries and their neighbours outside
// the entry, and the last numbers below the footer's count and at it. Every
// block named by those entries is also loaded directly, before the fetches.
//
// Loads and fetches stop once they have cost kWorkBytes (support.h). If the
// loads reach that, the block loaded last is still held, and the first
// document of its entry is fetched once if that fetch reads the same bytes:
// a block too large for the cache is got again from its holder
// (block_loader.h), so a fetch from a block of hundreds of megabytes is
// tried without decompressing it again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/compression/zstd.h"
#include "core/segment/store.h"
#include "fuzz/support.h"

namespace {

constexpr uint32_t kLeadingDocs = 24;
constexpr size_t kIndexedBlocks = 32;

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
  WorkBudget work(watch);

  auto fetch = [&](uint32_t local) {
    auto doc = store.get(local);
    work.charge_scan(store.cache(), zstd::kMaxDecompressedSize);
    if (!doc) {
      (void)doc.error().to_string();
      return;
    }
    if (local >= num_docs && doc->has_value()) fail("store: a document at or beyond the footer's count");
  };

  std::vector<uint32_t> locals;
  for (uint32_t i = 0; i < kLeadingDocs; ++i) locals.push_back(i);
  const auto index = store.index();
  StoreBlock held;  // the block loaded last: one at most beside the cache
  const StoreBlockIndex* held_entry = nullptr;  // its entry
  for (size_t i = 0; i < std::min(index.size(), kIndexedBlocks); ++i) {
    const StoreBlockIndex& e = index[i];
    const uint32_t last = e.first_doc + (e.num_docs == 0 ? 0 : e.num_docs - 1);
    for (uint32_t local : {e.first_doc - 1, e.first_doc, last, last + 1}) locals.push_back(local);
    if (work.spent()) continue;
    held.reset();
    held_entry = nullptr;
    auto block = store.load_block(e);
    if (block) {
      held = std::move(*block);
      held_entry = &e;
    } else {
      (void)block.error().to_string();
    }
  }
  for (uint32_t local : {num_docs - 2, num_docs - 1, num_docs, 0xFFFFFFFFu}) locals.push_back(local);

  if (work.spent()) {
    // The first document of the held block's entry, once, if a fetch of it
    // reads those bytes: the held block serves it.
    const StoreBlockIndex* const entry = held_entry != nullptr ? store.entry_of(held_entry->first_doc) : nullptr;
    if (entry != nullptr && entry->offset == held_entry->offset && entry->length == held_entry->length) {
      fetch(held_entry->first_doc);
    }
    return 0;
  }
  held.reset();
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t local : locals) {
      if (work.spent()) return 0;
      fetch(local);
    }
  }
  return 0;
}
