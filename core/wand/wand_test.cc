#include "core/wand/wand.h"

#include <gtest/gtest.h>

namespace zelvar {
namespace {

TEST(WandData, GetIdfLooksUpFieldColonTerm) {
  WandData wand;
  wand.terms = {{"title:engine", {1.5f}}, {"a:b:c", {2.5f}}, {":", {3.5f}}, {"title:", {4.5f}}};
  struct Case {
    const char* field;
    const char* term;
    std::optional<float> idf;
  };
  const Case cases[] = {
      {"title", "engine", 1.5f}, {"a:b", "c", 2.5f},          {"a", "b:c", 2.5f},
      {"", "", 3.5f},            {"title", "", 4.5f},         {"title", "Engine", std::nullopt},
      {"body", "engine", std::nullopt}, {"title", "engine ", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wand.get_idf(c.field, c.term), c.idf) << c.field << " / " << c.term;
  }
}

TEST(WandData, EmptyTableAnswersNothing) {
  WandData wand;
  wand.avg_field_len = 12.0f;
  EXPECT_EQ(wand.get_idf("", ""), std::nullopt);
  EXPECT_EQ(wand.get_idf("title", "engine"), std::nullopt);
}

}  // namespace
}  // namespace zelvar
