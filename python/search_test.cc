#include "python/search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace zelvar::python {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct MergeCase {
  const char* name;
  std::vector<Hit> gathered;
  size_t limit;
  std::vector<Hit> expected;
};

TEST(SortAndTruncate, Cases) {
  const std::vector<MergeCase> cases = {
      {"empty", {}, 10, {}},
      {"limit zero", {{0, 1.0f}, {1, 2.0f}}, 0, {}},
      {"best first", {{0, 1.0f}, {1, 3.0f}, {2, 2.0f}}, 10, {{1, 3.0f}, {2, 2.0f}, {0, 1.0f}}},
      // Segment 1 gave 0 and 1, segment 2 gave 5 and 6: equal scores keep
      // the gathered order.
      {"ties keep gathered order",
       {{0, 2.0f}, {1, 1.0f}, {5, 2.0f}, {6, 1.0f}},
       10,
       {{0, 2.0f}, {5, 2.0f}, {1, 1.0f}, {6, 1.0f}}},
      {"ties are not reordered by number", {{9, 1.0f}, {3, 1.0f}}, 10, {{9, 1.0f}, {3, 1.0f}}},
      {"cut after sorting", {{0, 1.0f}, {1, 3.0f}, {2, 2.0f}}, 2, {{1, 3.0f}, {2, 2.0f}}},
      {"negative zero equals zero", {{0, -0.0f}, {1, 0.0f}}, 10, {{0, -0.0f}, {1, 0.0f}}},
  };
  for (const MergeCase& c : cases) {
    std::vector<Hit> hits = c.gathered;
    sort_and_truncate(hits, c.limit);
    EXPECT_EQ(hits, c.expected) << c.name;
  }
}

TEST(SortAndTruncate, NaNScoresGoLastInGatheredOrder) {
  std::vector<Hit> hits = {{0, kNaN}, {1, 1.0f}, {2, kNaN}, {3, -1.0f}, {4, 5.0f}};
  sort_and_truncate(hits, 10);
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits[0].doc_id, 4u);
  EXPECT_EQ(hits[1].doc_id, 1u);
  EXPECT_EQ(hits[2].doc_id, 3u);
  EXPECT_EQ(hits[3].doc_id, 0u);
  EXPECT_EQ(hits[4].doc_id, 2u);
  EXPECT_TRUE(std::isnan(hits[3].score));
}

}  // namespace
}  // namespace zelvar::python
