#include "core/query/traits.h"

#include <gtest/gtest.h>

#include <memory>

namespace zelvar {
namespace {

TEST(EmptyScorerTest, MatchesNothing) {
  std::unique_ptr<Scorer> scorer = std::make_unique<EmptyScorer>();
  EXPECT_EQ(scorer->doc(), TERMINATED);
  EXPECT_EQ(scorer->score(), 0.0f);
  EXPECT_EQ(scorer->size_hint(), 0u);
  EXPECT_EQ(scorer->advance(), TERMINATED);
  EXPECT_EQ(scorer->seek(0), TERMINATED);
  EXPECT_EQ(scorer->doc(), TERMINATED);
  static_assert(TERMINATED == 0xFFFFFFFFu);
}

}  // namespace
}  // namespace zelvar
