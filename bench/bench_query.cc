// Query throughput over in-memory posting lists of one segment.
//
//   TermQueryTop10     one term, 1,000,000 postings, best 10 kept
//   MustTwoTermsTop10  two must terms: 1,000,000 postings (every 2nd
//                      document) against a second list of range(0) postings
//                      spread over the same documents
//
// Items per second count postings in the lists, scored or skipped. Building
// each iteration's scorers (a copy of the lists) is not timed.
//
// With the test index writer at hand, the same two queries also run through
// collector::search_segment over a written segment of 1,000,000 documents,
// timing the whole per-segment search: term lookup, reading and decoding the
// posting lists, scoring and collection. A second written segment of
// 1,000,000 documents holds three independent terms in 5%, 20% and 50% of its
// documents (term frequencies mostly 1, up to 6, among eight filler tokens),
// for disjunctions, exclusions and must + should mixes:
//
//   SegmentMixed/<query>/<limit>   the query as its label shows it: "5|50" is
//                                  five OR fifty, "+20|+50|-5" twenty AND
//                                  fifty AND NOT five; limit -1 keeps all
//
// and a rare term (20 postings) for the fixed cost of one segment's search.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/query/boolean.h"
#include "core/query/collector.h"
#include "core/query/term.h"

#ifdef ZELVAR_BENCH_SEGMENT
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "core/dsl/schema.h"
#include "core/segment/reader.h"
#include "core/segment/segment_id.h"
#include "tests/writer/index_writer.h"
#endif

namespace zelvar {
namespace {

constexpr uint32_t kPostings = 1'000'000;

// `n` postings spread evenly over `docs` documents, term frequencies 1 to 8.
BlockPostingList make_list(uint32_t n, uint64_t docs, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Posting> postings;
  postings.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    postings.push_back({static_cast<uint32_t>(i * docs / n), 1 + static_cast<uint32_t>(rng() % 8)});
  }
  return BlockPostingList::from_posting_list(postings);
}

void TermQueryTop10(benchmark::State& state) {
  const uint64_t num_docs = 2ull * kPostings;
  const BlockPostingList list = make_list(kPostings, num_docs, 1);
  const float idf = TermScorer::compute_idf(static_cast<uint32_t>(num_docs), list.doc_count);
  size_t hits = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BlockPostingList copy = list;
    state.ResumeTiming();
    TermScorer scorer(std::move(copy), idf, 4.5f);
    auto results = collector::collect_top_k(scorer, 10);
    hits += results.size();
    benchmark::DoNotOptimize(results.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPostings);
  benchmark::DoNotOptimize(hits);
}
BENCHMARK(TermQueryTop10)->Unit(benchmark::kMillisecond);

void MustTwoTermsTop10(benchmark::State& state) {
  const uint64_t num_docs = 2ull * kPostings;
  const uint32_t second = static_cast<uint32_t>(state.range(0));
  const BlockPostingList a = make_list(kPostings, num_docs, 2);
  const BlockPostingList b = make_list(second, num_docs, 3);
  const float idf_a = TermScorer::compute_idf(static_cast<uint32_t>(num_docs), a.doc_count);
  const float idf_b = TermScorer::compute_idf(static_cast<uint32_t>(num_docs), b.doc_count);
  size_t hits = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BlockPostingList copy_a = a;
    BlockPostingList copy_b = b;
    state.ResumeTiming();
    BooleanScorer::Scorers must;
    must.push_back(std::make_unique<TermScorer>(std::move(copy_a), idf_a, 4.5f));
    must.push_back(std::make_unique<TermScorer>(std::move(copy_b), idf_b, 4.5f));
    BooleanScorer scorer(std::move(must), {}, {});
    auto results = collector::collect_top_k(scorer, 10);
    hits += results.size();
    benchmark::DoNotOptimize(results.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * (kPostings + second));
  benchmark::DoNotOptimize(hits);
}
BENCHMARK(MustTwoTermsTop10)->Arg(1'000'000)->Arg(10'000)->Unit(benchmark::kMillisecond);

#ifdef ZELVAR_BENCH_SEGMENT
// One segment of 1,000,000 documents: every document holds "common", every
// second one "half", so "common" has 1,000,000 postings and "half" 500,000.
// Removes the segment's folder at exit, after the reader (built later) is gone.
struct BenchFolder {
  explicit BenchFolder(const char* name)
      : dir(std::filesystem::temp_directory_path() /
            ("zelvar_bench_query_" + std::to_string(::getpid()) + "_" + name)) {}
  ~BenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::filesystem::path dir;
};

const AsyncSegmentReader& bench_segment() {
  static const BenchFolder folder("common");
  static const std::shared_ptr<const AsyncSegmentReader> reader = [] {
    const auto& dir = folder.dir;
    test_writer::SegmentSpec spec;
    spec.id = "1";
    spec.terms.inline_postings = false;
    spec.docs.resize(kPostings);
    for (uint32_t d = 0; d < kPostings; ++d) {
      spec.docs[d].indexed.push_back({0, d % 2 == 0 ? "common half" : "common"});
    }
    test_writer::write_segment(dir, spec);
    auto opened = AsyncSegmentReader::open(FsDirectory(dir), *SegmentId::from_hex("1"),
                                           std::make_shared<const Schema>(), 0, 256);
    if (!opened.has_value()) std::abort();
    return *opened;
  }();
  return *reader;
}

void SegmentTermQueryTop10(benchmark::State& state) {
  const AsyncSegmentReader& reader = bench_segment();
  const TermQuery query = TermQuery::text(0, "common");
  for (auto _ : state) {
    auto hits = collector::search_segment(reader, query, 10);
    if (!hits.has_value() || hits->size() != 10) std::abort();
    benchmark::DoNotOptimize(hits->data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPostings);
}
BENCHMARK(SegmentTermQueryTop10)->Unit(benchmark::kMillisecond);

void SegmentMustTwoTermsTop10(benchmark::State& state) {
  const AsyncSegmentReader& reader = bench_segment();
  const BooleanQuery query =
      BooleanQuery().must(TermQuery::text(0, "common")).must(TermQuery::text(0, "half"));
  for (auto _ : state) {
    auto hits = collector::search_segment(reader, query, 10);
    if (!hits.has_value() || hits->size() != 10) std::abort();
    benchmark::DoNotOptimize(hits->data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * (kPostings + kPostings / 2));
}
BENCHMARK(SegmentMustTwoTermsTop10)->Unit(benchmark::kMillisecond);

// The mixed segment: every document holds "five" (5%), "twenty" (20%) and
// "fifty" (50%) independently, each with term frequency 1 (70%), 2 (20%),
// 3 (7%) or 4 to 6, among eight filler tokens of 64 ("w0" to "w63"); a few
// documents hold "rare".
const AsyncSegmentReader& mixed_segment() {
  static const BenchFolder folder("mixed");
  static const std::shared_ptr<const AsyncSegmentReader> reader = [] {
    std::mt19937 rng(7);
    auto tf = [&] {
      const uint32_t r = rng() % 100;
      return r < 70 ? 1 : r < 90 ? 2 : r < 97 ? 3 : 4 + static_cast<int>(rng() % 3);
    };
    test_writer::SegmentSpec spec;
    spec.id = "2";
    spec.terms.inline_postings = false;
    spec.docs.resize(kPostings);
    for (uint32_t d = 0; d < kPostings; ++d) {
      std::string text;
      for (int i = 0; i < 8; ++i) text += " w" + std::to_string(rng() % 64);
      for (const auto& [term, percent] :
           {std::pair<const char*, uint32_t>{"five", 5}, {"twenty", 20}, {"fifty", 50}}) {
        if (rng() % 100 >= percent) continue;
        for (int n = tf(); n > 0; --n) text += std::string(" ") + term;
      }
      if (d % 50'000 == 7) text += " rare";
      spec.docs[d].indexed.push_back({0, text});
    }
    test_writer::write_segment(folder.dir, spec);
    auto opened = AsyncSegmentReader::open(FsDirectory(folder.dir), *SegmentId::from_hex("2"),
                                           std::make_shared<const Schema>(), 0, 256);
    if (!opened.has_value()) std::abort();
    return *opened;
  }();
  return *reader;
}

// "+t" a must clause, "-t" a must-not clause, "t" a should clause; "|"
// separates clauses. Terms: 5, 20 and 50 name the three terms by frequency.
BooleanQuery parse_query(std::string_view text) {
  BooleanQuery query;
  auto term = [](std::string_view t) {
    return TermQuery::text(0, t == "5" ? "five" : t == "20" ? "twenty" : "fifty");
  };
  while (!text.empty()) {
    const size_t end = std::min(text.find('|'), text.size());
    std::string_view clause = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (clause.front() == '+') {
      query = std::move(query).must(term(clause.substr(1)));
    } else if (clause.front() == '-') {
      query = std::move(query).must_not(term(clause.substr(1)));
    } else {
      query = std::move(query).should(term(clause));
    }
  }
  return query;
}

constexpr const char* kMixedQueries[] = {
    "5|50", "20|50", "5|20|50", "+20|+50|-5", "+50|-5", "+20|5|50", "+5|20|50", "+50|5",
};

void SegmentMixed(benchmark::State& state) {
  const AsyncSegmentReader& reader = mixed_segment();
  const BooleanQuery query = parse_query(kMixedQueries[state.range(0)]);
  const size_t limit =
      state.range(1) < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(state.range(1));
  state.SetLabel(kMixedQueries[state.range(0)]);
  for (auto _ : state) {
    auto hits = collector::search_segment(reader, query, limit);
    if (!hits.has_value()) std::abort();
    benchmark::DoNotOptimize(hits->data());
  }
}
BENCHMARK(SegmentMixed)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7}, {10, 1000}})
    ->ArgsProduct({{0, 2, 5}, {-1}})
    ->Unit(benchmark::kMillisecond);

// One rare term: what one segment's search costs besides its few postings.
void SegmentRareTerm(benchmark::State& state) {
  const AsyncSegmentReader& reader = mixed_segment();
  const TermQuery query = TermQuery::text(0, "rare");
  for (auto _ : state) {
    auto hits = collector::search_segment(reader, query, 10);
    if (!hits.has_value() || hits->size() != 10) std::abort();
    benchmark::DoNotOptimize(hits->data());
  }
}
BENCHMARK(SegmentRareTerm)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
}  // namespace zelvar

BENCHMARK_MAIN();
