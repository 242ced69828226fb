#include "core/query/collector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core/query/traits.h"

namespace zelvar {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A scorer over a fixed list of (document, score) matches, counting the calls
// the search loop makes.
class ListScorer final : public Scorer {
 public:
  explicit ListScorer(std::vector<SearchResult> hits) : hits_(std::move(hits)) {}
  uint32_t doc() const override { return pos_ < hits_.size() ? hits_[pos_].doc_id : TERMINATED; }
  float score() const override { return hits_.at(pos_).score; }
  uint32_t advance() override {
    ++advances_;
    if (pos_ < hits_.size()) ++pos_;
    return doc();
  }
  uint32_t seek(uint32_t target) override {
    while (doc() < target) ++pos_;
    return doc();
  }
  uint32_t size_hint() const override { return static_cast<uint32_t>(hits_.size()); }
  size_t advances() const { return advances_; }

 private:
  std::vector<SearchResult> hits_;
  size_t pos_ = 0;
  size_t advances_ = 0;
};

std::vector<SearchResult> collect_all(size_t k, const std::vector<SearchResult>& offered) {
  TopKCollector top(k);
  for (const auto& hit : offered) top.collect(hit.doc_id, hit.score);
  return std::move(top).into_sorted_results();
}

struct TopKCase {
  const char* name;
  size_t k;
  std::vector<SearchResult> offered;  // in ascending document order
  std::vector<SearchResult> expected;
};

TEST(TopKCollectorTest, KeepsTheBestHitsAndBreaksTiesByDocument) {
  const std::vector<TopKCase> cases = {
      {"limit 0 keeps nothing", 0, {{1, 5.0f}, {2, 6.0f}}, {}},
      {"nothing offered", 3, {}, {}},
      {"fewer than limit, sorted best first",
       5,
       {{0, 1.0f}, {1, 3.0f}, {2, 2.0f}},
       {{1, 3.0f}, {2, 2.0f}, {0, 1.0f}}},
      {"equal scores sort by ascending document",
       5,
       {{4, 1.0f}, {7, 2.0f}, {9, 1.0f}, {11, 2.0f}},
       {{7, 2.0f}, {11, 2.0f}, {4, 1.0f}, {9, 1.0f}}},
      {"a match tying the weakest kept score does not enter",
       2,
       {{1, 2.0f}, {2, 2.0f}, {3, 2.0f}},
       {{1, 2.0f}, {2, 2.0f}}},
      {"a better match drops the higher document among the lowest",
       3,
       {{1, 1.0f}, {2, 5.0f}, {3, 1.0f}, {4, 3.0f}},
       {{2, 5.0f}, {4, 3.0f}, {1, 1.0f}}},
      {"a lower match is ignored by a full collector",
       2,
       {{1, 4.0f}, {2, 3.0f}, {3, 1.0f}},
       {{1, 4.0f}, {2, 3.0f}}},
      {"negative and zero scores rank below positive ones",
       3,
       {{0, -1.0f}, {1, 0.0f}, {2, -0.0f}, {3, 2.0f}},
       {{3, 2.0f}, {1, 0.0f}, {2, -0.0f}}},
      {"limit 1 keeps the first of the best",
       1,
       {{0, 1.0f}, {1, 7.0f}, {2, 7.0f}, {3, 6.0f}},
       {{1, 7.0f}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(collect_all(c.k, c.offered), c.expected) << c.name;
  }
}

TEST(TopKCollectorTest, NaNNeverDisplacesAKeptHit) {
  // A full collector compares with the plain f32 test: NaN on either side
  // means the new hit stays out.
  auto full_then_nan = collect_all(2, {{1, 1.0f}, {2, 2.0f}, {3, kNaN}});
  EXPECT_EQ(full_then_nan, (std::vector<SearchResult>{{2, 2.0f}, {1, 1.0f}}));

  // A NaN hit at the top of a full collector keeps out every later match.
  auto nan_top = collect_all(1, {{1, kNaN}, {2, 9.0f}});
  ASSERT_EQ(nan_top.size(), 1u);
  EXPECT_EQ(nan_top[0].doc_id, 1u);
  EXPECT_TRUE(std::isnan(nan_top[0].score));
}

TEST(TopKCollectorTest, SortingManyNaNScoresStaysInBounds) {
  // More hits than the insertion-sort size, a third of them NaN: the order
  // among NaN hits is not fixed, but every hit comes back exactly once.
  std::vector<SearchResult> offered;
  for (uint32_t d = 0; d < 200; ++d) offered.push_back({d, d % 3 == 0 ? kNaN : float(d % 7)});
  auto results = collect_all(1000, offered);
  ASSERT_EQ(results.size(), offered.size());
  std::vector<uint32_t> docs;
  for (const auto& r : results) docs.push_back(r.doc_id);
  std::sort(docs.begin(), docs.end());
  for (uint32_t d = 0; d < 200; ++d) EXPECT_EQ(docs[d], d);
}

TEST(TopKCollectorTest, HugeLimitsReserveBoundedRoom) {
  for (size_t k : {std::numeric_limits<size_t>::max(), std::numeric_limits<size_t>::max() - 1,
                   size_t{1} << 40, size_t{1} << 20}) {
    auto results = collect_all(k, {{3, 1.0f}, {5, 2.0f}});
    EXPECT_EQ(results, (std::vector<SearchResult>{{5, 2.0f}, {3, 1.0f}})) << k;
  }
}

// Against a plain reference: stable sort of all offered hits by the result
// order, cut to k. This also holds the collector's in-place replacement of the
// weakest hit to what removing it and pushing the new hit would keep. Scores
// drawn from a few values (both zeros and both infinities among them) force
// many ties; k around the insertion-sort size exercises both sorts.
TEST(TopKCollectorTest, MatchesAFullSortOnRandomInput) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<float> pool = {-kInf, -1.5f, -0.0f, 0.0f, 0.5f, 1.0f, 2.5f, 3.0f, kInf};
  std::mt19937 rng(7);
  for (size_t k : {1u, 2u, 5u, 19u, 20u, 21u, 64u, 300u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<SearchResult> offered;
      uint32_t doc = 0;
      const size_t n = rng() % 400;
      for (size_t i = 0; i < n; ++i) {
        doc += 1 + rng() % 5;
        offered.push_back({doc, pool[rng() % pool.size()]});
      }
      std::vector<SearchResult> expected = offered;
      std::stable_sort(expected.begin(), expected.end(),
                       [](const SearchResult& a, const SearchResult& b) { return a.score > b.score; });
      if (expected.size() > k) expected.resize(k);
      const std::vector<SearchResult> results = collect_all(k, offered);
      ASSERT_EQ(results.size(), expected.size()) << "k " << k << " round " << round;
      for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_EQ(results[i].doc_id, expected[i].doc_id) << "k " << k << " round " << round;
        ASSERT_EQ(std::bit_cast<uint32_t>(results[i].score),
                  std::bit_cast<uint32_t>(expected[i].score))
            << "k " << k << " round " << round;
      }
    }
  }
}

TEST(CollectTopKTest, RunsTheScorerToItsEnd) {
  std::vector<SearchResult> hits = {{2, 1.0f}, {4, 3.0f}, {8, 2.0f}};
  for (size_t limit : {0u, 1u, 10u}) {
    ListScorer scorer(hits);
    auto results = collector::collect_top_k(scorer, limit);
    EXPECT_EQ(scorer.doc(), TERMINATED);
    EXPECT_EQ(scorer.advances(), hits.size()) << limit;
    std::vector<SearchResult> expected = {{4, 3.0f}, {8, 2.0f}, {2, 1.0f}};
    expected.resize(std::min(limit, expected.size()));
    EXPECT_EQ(results, expected) << limit;
  }
}

TEST(CollectTopKTest, EmptyScorerCollectsNothing) {
  EmptyScorer scorer;
  EXPECT_TRUE(collector::collect_top_k(scorer, 10).empty());
}

}  // namespace
}  // namespace zelvar
