// Decoding and iterating a posting list of 1,000,000 postings block by block,
// the hot loop of every term scorer. Reports postings per second.
//
//   bench_postings --benchmark_filter=Iterate
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "core/structures/postings/posting.h"

namespace zelvar {
namespace {

constexpr size_t kPostings = 1'000'000;

// Documents with gaps drawn from [1, max_gap], frequencies mostly 1 to 3.
PostingList make_postings(uint32_t max_gap) {
  std::mt19937 rng(42);
  PostingList out;
  out.reserve(kPostings);
  uint32_t doc = 0;
  for (size_t i = 0; i < kPostings; ++i) {
    doc += 1 + static_cast<uint32_t>(rng() % max_gap);
    out.push_back({doc, 1 + static_cast<uint32_t>(rng() % 3)});
  }
  return out;
}

// The serialized ".post" form of a list, as the segment reader reads it.
std::vector<uint8_t> serialize(const BlockPostingList& list) {
  std::vector<uint8_t> out;
  auto u32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  u32(list.doc_count);
  u32(static_cast<uint32_t>(list.skip_list.size()));
  for (const auto& e : list.skip_list) {
    u32(e.first_doc);
    u32(e.last_doc);
    u32(e.offset);
  }
  u32(static_cast<uint32_t>(list.data.size()));
  out.insert(out.end(), list.data.begin(), list.data.end());
  return out;
}

uint64_t iterate(BlockPostingIterator& it) {
  uint64_t sum = 0;
  while (!it.exhausted()) {
    const auto docs = it.block_docs();
    const auto tfs = it.block_term_freqs();
    for (size_t i = 0; i < docs.size(); ++i) sum += docs[i] ^ tfs[i];
    it.load_block(it.current_block() + 1);
  }
  return sum;
}

// Decoding every block of a list already in memory.
void BM_IterateBlocks(benchmark::State& state) {
  const auto list = BlockPostingList::from_posting_list(make_postings(static_cast<uint32_t>(state.range(0))));
  for (auto _ : state) {
    BlockPostingIterator it(&list);
    benchmark::DoNotOptimize(iterate(it));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPostings));
  state.counters["bytes_per_posting"] = static_cast<double>(list.data.size()) / kPostings;
}
// Gaps up to 8 keep every varint at one byte; up to 1000 most gaps take two.
BENCHMARK(BM_IterateBlocks)->Arg(8)->Arg(1000);

// Parsing the ".post" bytes, then decoding every block.
void BM_DeserializeAndIterate(benchmark::State& state) {
  const auto bytes =
      serialize(BlockPostingList::from_posting_list(make_postings(static_cast<uint32_t>(state.range(0)))));
  for (auto _ : state) {
    std::span<const uint8_t> cursor(bytes);
    auto list = BlockPostingList::deserialize(cursor);
    if (!list) state.SkipWithError("deserialize failed");
    BlockPostingIterator it(std::move(*list));
    benchmark::DoNotOptimize(iterate(it));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPostings));
}
BENCHMARK(BM_DeserializeAndIterate)->Arg(8)->Arg(1000);

}  // namespace
}  // namespace zelvar

BENCHMARK_MAIN();
