#include "core/merge/merge_policy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace zelvar {
namespace {

// Segments named "s0", "s1", ... with the given document counts.
std::vector<SegmentInfo> segments_of(const std::vector<uint32_t>& counts) {
  std::vector<SegmentInfo> segments;
  for (size_t i = 0; i < counts.size(); ++i) {
    segments.push_back(SegmentInfo{"s" + std::to_string(i), counts[i]});
  }
  return segments;
}

std::vector<std::string> ids(std::initializer_list<int> numbers) {
  std::vector<std::string> out;
  for (int n : numbers) out.push_back("s" + std::to_string(n));
  return out;
}

TEST(TieredMergePolicyTest, DebugTextListsTheSettings) {
  TieredMergePolicy policy;
  EXPECT_EQ(policy.debug_text(),
            "TieredMergePolicy { segments_per_tier: 10, max_merge_at_once: 10, tier_factor: 10.0, "
            "tier_floor: 1000, max_merged_docs: 5000000 }");

  policy.segments_per_tier = 3;
  policy.max_merge_at_once = 0;
  policy.tier_factor = 2.5;
  policy.tier_floor = 0;
  policy.max_merged_docs = 4294967295u;
  EXPECT_EQ(policy.debug_text(),
            "TieredMergePolicy { segments_per_tier: 3, max_merge_at_once: 0, tier_factor: 2.5, "
            "tier_floor: 0, max_merged_docs: 4294967295 }");
}

TEST(TieredMergePolicyTest, FactorIsAlwaysADecimalWithAPoint) {
  struct Case {
    double factor;
    const char* text;
  };
  const Case cases[] = {
      {10.0, "10.0"},
      {0.1, "0.1"},
      {1e20, "100000000000000000000.0"},
      {1e-7, "0.0000001"},
      {-0.0, "-0.0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {std::nan(""), "NaN"},
  };
  for (const Case& c : cases) {
    TieredMergePolicy policy;
    policy.tier_factor = c.factor;
    std::string expected = std::string("TieredMergePolicy { segments_per_tier: 10, ") +
                           "max_merge_at_once: 10, tier_factor: " + c.text +
                           ", tier_floor: 1000, max_merged_docs: 5000000 }";
    EXPECT_EQ(policy.debug_text(), expected) << c.text;
  }
}

TEST(TieredMergePolicyTest, CloneCopiesEverySetting) {
  TieredMergePolicy policy;
  policy.segments_per_tier = 4;
  policy.max_merge_at_once = 3;
  policy.tier_factor = 3.0;
  policy.tier_floor = 7;
  policy.max_merged_docs = 99;
  std::unique_ptr<MergePolicy> copy = policy.clone_box();
  EXPECT_EQ(copy->debug_text(), policy.debug_text());
  std::vector<SegmentInfo> segments = segments_of({1, 2, 3, 4, 5});
  EXPECT_EQ(copy->find_merges(segments), policy.find_merges(segments));
}

TEST(TieredMergePolicyTest, TierBoundaries) {
  struct Case {
    uint32_t num_docs;
    uint64_t tier;
  };
  // Each boundary falls where the double quotient reaches a whole number:
  // ln(1000) / ln(10) is just below 3, so a million documents stay in tier 3.
  const Case cases[] = {
      {0, 0},          {1, 0},          {1000, 0},        {1001, 1},       {9999, 1},
      {10000, 2},      {99999, 2},      {100000, 3},      {999999, 3},     {1000000, 3},
      {1000001, 4},    {9999999, 4},    {10000000, 5},    {100000000, 6},  {1000000000, 6},
      {4294967295u, 7},
  };
  TieredMergePolicy policy;
  for (const Case& c : cases) EXPECT_EQ(policy.tier_of(c.num_docs), c.tier) << c.num_docs;
}

TEST(TieredMergePolicyTest, DegenerateSettingsPutEverySegmentAboveTheFloorInOneTier) {
  struct Case {
    const char* name;
    double factor;
    uint32_t floor;
  };
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"floor 0", 10.0, 0}, {"factor 1", 1.0, 1000},   {"factor 0.5", 0.5, 1000},
      {"factor 0", 0.0, 1000}, {"factor -2", -2.0, 1000}, {"factor NaN", nan, 1000},
      {"factor inf", inf, 1000}, {"floor 0, factor 1", 1.0, 0},
  };
  for (const Case& c : cases) {
    TieredMergePolicy policy;
    policy.tier_factor = c.factor;
    policy.tier_floor = c.floor;
    uint64_t above = policy.tier_of(c.floor + 1);
    EXPECT_NE(above, 0u) << c.name;
    for (uint32_t n : {c.floor + 2, c.floor + 1000, 4294967295u}) {
      EXPECT_EQ(policy.tier_of(n), above) << c.name << " " << n;
    }
    if (c.floor > 0) {
      EXPECT_EQ(policy.tier_of(c.floor), 0u) << c.name;
    }

    // And the policy still answers: ten such segments make one candidate.
    policy.max_merged_docs = 4294967295u;
    std::vector<SegmentInfo> segments = segments_of(std::vector<uint32_t>(10, c.floor + 5));
    EXPECT_EQ(policy.find_merges(segments).size(), 1u) << c.name;
  }
}

TEST(TieredMergePolicyTest, FindMerges) {
  struct Case {
    const char* name;
    std::vector<uint32_t> counts;
    std::vector<MergeCandidate> expected;
  };
  std::vector<uint32_t> eleven_small = {900, 100, 800, 200, 700, 300, 600, 400, 500, 50, 1000};
  std::vector<uint32_t> nine_and_nine(9, 500);
  nine_and_nine.insert(nine_and_nine.end(), 9, 5000);
  std::vector<uint32_t> ten_with_ties = {7, 3, 7, 3, 1, 7, 3, 1, 7, 3};
  const Case cases[] = {
      {"no segment", {}, {}},
      {"one segment", {1}, {}},
      {"ten of 500 in input order", std::vector<uint32_t>(10, 500),
       {{ids({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})}}},
      {"eleven in tier 0: the ten smallest, smallest first", eleven_small,
       {{ids({9, 1, 3, 5, 7, 8, 6, 4, 2, 0})}}},
      {"equal counts keep input order", ten_with_ties,
       {{ids({4, 7, 1, 3, 6, 9, 0, 2, 5, 8})}}},
      {"nine in each of two tiers", nine_and_nine, {}},
      {"ten of 600000 exceed the limit", std::vector<uint32_t>(10, 600000), {}},
      {"ten of 500000 make exactly the limit", std::vector<uint32_t>(10, 500000),
       {{ids({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})}}},
      {"a million documents join nine tier-3 segments",
       {100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000, 1000000},
       {{ids({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})}}},
      {"one more document is tier 4",
       {100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000, 1000001}, {}},
  };
  TieredMergePolicy policy;
  for (const Case& c : cases) {
    std::vector<SegmentInfo> segments = segments_of(c.counts);
    EXPECT_EQ(policy.find_merges(segments), c.expected) << c.name;
  }
}

TEST(TieredMergePolicyTest, TooLargeSmallestSelectionGivesNothingEvenIfASmallerOneFits) {
  // Eleven tier-3 segments: the ten smallest hold 5000001 documents, so the
  // tier gives no candidate, although nine of them would fit.
  std::vector<uint32_t> counts(9, 500000);
  counts.push_back(500001);
  counts.push_back(900000);
  TieredMergePolicy policy;
  EXPECT_TRUE(policy.find_merges(segments_of(counts)).empty());
}

TEST(TieredMergePolicyTest, TwoCrowdedTiersGiveOneCandidateEach) {
  std::vector<uint32_t> counts;
  for (int i = 0; i < 10; ++i) {
    counts.push_back(20000);  // tier 2
    counts.push_back(500);    // tier 0
  }
  std::vector<MergeCandidate> merges = TieredMergePolicy().find_merges(segments_of(counts));
  ASSERT_EQ(merges.size(), 2u);
  // Tiers are visited in ascending order.
  EXPECT_EQ(merges[0].segment_ids, ids({1, 3, 5, 7, 9, 11, 13, 15, 17, 19}));
  EXPECT_EQ(merges[1].segment_ids, ids({0, 2, 4, 6, 8, 10, 12, 14, 16, 18}));
}

TEST(TieredMergePolicyTest, MergeWidthSettings) {
  struct Case {
    const char* name;
    size_t segments_per_tier;
    size_t max_merge_at_once;
    std::vector<MergeCandidate> expected;
  };
  const Case cases[] = {
      {"take three of five", 4, 3, {{ids({4, 2, 0})}}},
      {"take more than there are", 2, 100, {{ids({4, 2, 0, 3, 1})}}},
      {"take one: never a merge", 2, 1, {}},
      {"take none", 2, 0, {}},
      {"tier threshold 0", 0, 2, {{ids({4, 2})}}},
      {"tier not crowded", 6, 10, {}},
  };
  std::vector<SegmentInfo> segments = segments_of({30, 50, 20, 40, 10});
  for (const Case& c : cases) {
    TieredMergePolicy policy;
    policy.segments_per_tier = c.segments_per_tier;
    policy.max_merge_at_once = c.max_merge_at_once;
    EXPECT_EQ(policy.find_merges(segments), c.expected) << c.name;
  }
}

TEST(TieredMergePolicyTest, SumDoesNotOverflow) {
  // Two segments near the u32 limit: their sum wraps in 32 bits to a small
  // number, which must not pass for one within the limit.
  TieredMergePolicy policy;
  policy.segments_per_tier = 2;
  policy.max_merged_docs = 4294967295u;
  std::vector<SegmentInfo> segments = segments_of({4294967295u, 4294967295u});
  EXPECT_TRUE(policy.find_merges(segments).empty());
}

}  // namespace
}  // namespace zelvar
