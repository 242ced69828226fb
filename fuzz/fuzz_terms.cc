// A segment's ".terms" file, opened and then looked up.
//
// Input: a key section, then the file.
//   byte 0          low 4 bits: number of keys k; high 4 bits: cache
//                   capacity - 1 (small, so that blocks are evicted)
//   k keys          each a length byte L and L bytes (cut short by the input)
//   the rest        the ".terms" file
// Besides the input's keys, every block's first key, every sparse key, each
// of those with a byte appended and with its last byte dropped (neighbours
// that sort just after and just before them), and the empty key are looked
// up, each twice (the second time through the block cache). At most
// kMaxIndexKeys keys of the file's own index are used, spread over it.
// Lookups stop once they have cost kWorkBytes (support.h): each may scan a
// whole block, of up to 8 MiB, cached or not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/structures/sstable/sstable.h"
#include "fuzz/support.h"

namespace zelvar::fuzz {
namespace {

constexpr size_t kMaxIndexKeys = 48;

void add_with_neighbours(std::vector<Bytes>& keys, std::span<const uint8_t> key) {
  keys.emplace_back(key.begin(), key.end());
  Bytes after(key.begin(), key.end());
  after.push_back(0);
  keys.push_back(std::move(after));
  if (!key.empty()) keys.emplace_back(key.begin(), key.end() - 1);
}

// Up to kMaxIndexKeys entries of `list`, evenly spread.
template <class List, class Key>
void add_spread(std::vector<Bytes>& keys, const List& list, Key key_of) {
  const size_t n = list.size();
  const size_t step = std::max<size_t>(1, n / kMaxIndexKeys);
  for (size_t i = 0; i < n; i += step) add_with_neighbours(keys, key_of(list[i]));
  if (n > 0) add_with_neighbours(keys, key_of(list[n - 1]));
}

}  // namespace
}  // namespace zelvar::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  using namespace zelvar::fuzz;
  if (size < 1) return 0;
  HeapWatch watch("terms", size);
  std::span<const uint8_t> input(data, size);
  const size_t key_count = input[0] & 0x0F;
  const size_t cache_blocks = static_cast<size_t>(input[0] >> 4) + 1;
  input = input.subspan(1);

  std::vector<Bytes> keys;
  for (size_t i = 0; i < key_count && !input.empty(); ++i) {
    const size_t len = std::min<size_t>(input[0], input.size() - 1);
    keys.emplace_back(input.begin() + 1, input.begin() + 1 + static_cast<ptrdiff_t>(len));
    input = input.subspan(1 + len);
  }

  auto reader = AsyncSSTableReader::open(memory_file(input), cache_blocks);
  if (!reader) {
    (void)reader.error().to_string();
    return 0;
  }
  const AsyncSSTableReader& terms = **reader;
  add_spread(keys, terms.block_index(), [](const BlockIndexEntry& e) { return std::span(e.first_key); });
  add_spread(keys, terms.sparse_index(), [](const SparseIndexEntry& e) { return std::span(e.key); });
  keys.emplace_back();

  WorkBudget work(watch);
  for (int pass = 0; pass < 2; ++pass) {
    for (const Bytes& key : keys) {
      if (work.spent()) return 0;
      auto [first, last] = terms.find_block_range(key);
      (void)first;
      (void)last;
      auto info = terms.get(key);
      work.charge_scan(terms.cache(), AsyncSSTableReader::kMaxBlockSize);
      if (!info) {
        (void)info.error().to_string();
        continue;
      }
      if (*info) {
        if (auto* in = (*info)->as_inline()) {
          if (in->data_len > TermInfo::kMaxInlineLen) fail("terms: an inline entry longer than its buffer");
          (void)TermInfo::decode_inline(**info);
        }
      }
    }
  }
  return 0;
}
