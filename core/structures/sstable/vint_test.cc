#include "core/structures/sstable/vint.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/structures/postings/posting.h"

namespace zelvar {
namespace {

using ReadFn = IoResult<uint64_t> (*)(std::span<const uint8_t>&);

struct VintCase {
  std::vector<uint8_t> bytes;
  std::optional<uint64_t> value;  // absent: an error
  size_t consumed;
  IoErrorKind kind = IoErrorKind::Other;
  const char* text = "";
};

const VintCase kCases[] = {
    {{0x00}, 0, 1},
    {{0x7F}, 127, 1},
    {{0x80, 0x01}, 128, 2},
    {{0xFF, 0x7F}, 16383, 2},
    {{0x80, 0x00}, 0, 2},  // non-minimal
    {{0x05, 0x99}, 5, 1},  // stops at the first byte with bit 7 clear
    {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 18446744073709551615ULL, 10},
    // Only the lowest bit of the tenth byte fits.
    {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 18446744073709551615ULL, 10},
    {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, 0, 10},
    {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
     std::nullopt,
     10,
     IoErrorKind::InvalidData,
     "varint too long"},
    {{}, std::nullopt, 0, IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
    {{0x80}, std::nullopt, 1, IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
    {{0xFF, 0xFF, 0xFF}, std::nullopt, 3, IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
};

TEST(ReadVint, DecodesTableUnderBothNames) {
  for (ReadFn read : {static_cast<ReadFn>(&sstable::read_vint), static_cast<ReadFn>(&posting::read_vint)}) {
    for (const VintCase& c : kCases) {
      SCOPED_TRACE(::testing::PrintToString(c.bytes));
      std::span<const uint8_t> cursor(c.bytes);
      auto r = read(cursor);
      if (c.value) {
        ASSERT_TRUE(r.has_value()) << r.error().to_string();
        EXPECT_EQ(*r, *c.value);
      } else {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), c.kind);
        EXPECT_EQ(r.error().to_string(), c.text);
      }
      EXPECT_EQ(cursor.size(), c.bytes.size() - c.consumed);
    }
  }
}

// The decoder without end checks, used when ten bytes are known to be there,
// must agree with the checked one.
TEST(ReadVint, UncheckedDecoderAgrees) {
  for (const VintCase& c : kCases) {
    if (c.kind == IoErrorKind::UnexpectedEof) continue;
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    std::vector<uint8_t> padded = c.bytes;
    padded.resize(padded.size() + 10, 0xEE);
    const uint8_t* pos = padded.data();
    uint64_t value = 0;
    const auto status = vint_detail::decode_unchecked(&pos, &value);
    EXPECT_EQ(status == vint_detail::VintStatus::kOk, c.value.has_value());
    if (c.value) {
      EXPECT_EQ(value, *c.value);
    }
    EXPECT_EQ(static_cast<size_t>(pos - padded.data()), c.consumed);
  }
}

TEST(ReadVint, SuccessiveReadsShareTheCursor) {
  const std::vector<uint8_t> bytes = {0x05, 0x81, 0x01};
  std::span<const uint8_t> cursor(bytes);
  EXPECT_EQ(sstable::read_vint(cursor).value(), 5u);
  EXPECT_EQ(sstable::read_vint(cursor).value(), 129u);
  auto r = sstable::read_vint(cursor);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
}

}  // namespace
}  // namespace zelvar
