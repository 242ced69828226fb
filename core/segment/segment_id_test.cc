#include "core/segment/segment_id.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace zelvar {
namespace {

constexpr SegmentIdValue kMax = ~SegmentIdValue{0};

struct HexCase {
  std::string text;
  std::optional<SegmentIdValue> value;  // nullopt: not an identifier
};

class FromHexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(FromHexTest, ParsesOrRefuses) {
  const HexCase& c = GetParam();
  std::optional<SegmentId> id = SegmentId::from_hex(c.text);
  ASSERT_EQ(id.has_value(), c.value.has_value()) << "text: \"" << c.text << "\"";
  if (c.value) {
    EXPECT_TRUE(id->value() == *c.value) << "text: \"" << c.text << "\"";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromHexTest,
    ::testing::Values(
        HexCase{"0", 0}, HexCase{"ff", 255}, HexCase{"FF", 255}, HexCase{"+ff", 255},
        HexCase{"aBcD", 0xabcd},
        HexCase{std::string(32, 'f'), kMax},
        HexCase{"0" + std::string(32, 'f'), kMax},                       // 33 digits, fits
        HexCase{"00000000" + std::string(31, '0') + "1", 1},             // 40 digits
        HexCase{"00000000" + std::string("0123456789abcdef0123456789ABCDEF"),
                (SegmentIdValue{0x0123456789abcdefULL} << 64) | 0x0123456789abcdefULL},
        HexCase{"1" + std::string(32, '0'), std::nullopt},               // 2^128
        HexCase{"", std::nullopt}, HexCase{"+", std::nullopt}, HexCase{"-", std::nullopt},
        HexCase{"++ff", std::nullopt}, HexCase{"-ff", std::nullopt}, HexCase{"-0", std::nullopt},
        HexCase{" ff", std::nullopt}, HexCase{"ff ", std::nullopt}, HexCase{"0xff", std::nullopt},
        HexCase{"f_f", std::nullopt}, HexCase{"fg", std::nullopt},
        HexCase{"\xc3\xa9", std::nullopt}, HexCase{std::string("f\0f", 3), std::nullopt}));

TEST(SegmentIdTest, FixedWidthHexIsLowerCaseAndZeroPadded) {
  EXPECT_EQ(SegmentId(0).to_hex(), std::string(32, '0'));
  EXPECT_EQ(SegmentId(255).to_hex(), std::string(30, '0') + "ff");
  EXPECT_EQ(SegmentId(kMax).to_hex(), std::string(32, 'f'));
  const SegmentIdValue high = SegmentIdValue{0xABCDULL} << 112;
  EXPECT_EQ(SegmentId(high).to_hex(), "abcd" + std::string(28, '0'));
}

TEST(SegmentFilesTest, NamesAllFiveFilesFromTheFixedWidthBase) {
  const std::string base = "seg_" + std::string(30, '0') + "ff";
  SegmentFiles files(*SegmentId::from_hex("FF"));
  EXPECT_EQ(files.terms, base + ".terms");
  EXPECT_EQ(files.postings, base + ".post");
  EXPECT_EQ(files.store, base + ".store");
  EXPECT_EQ(files.meta, base + ".meta");
  EXPECT_EQ(files.vectors, base + ".vectors");

  EXPECT_EQ(SegmentFiles(SegmentId(0)).meta, "seg_" + std::string(32, '0') + ".meta");
}

}  // namespace
}  // namespace zelvar
