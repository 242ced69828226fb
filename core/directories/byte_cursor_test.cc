#include "core/directories/byte_cursor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace zelvar {
namespace {

struct VintCase {
  std::vector<uint8_t> bytes;
  std::optional<uint64_t> value;  // absent: a fault
  size_t consumed;
  ReadFault fault = ReadFault::kRanOut;
};

const VintCase kVints[] = {
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
    {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, std::nullopt, 10, ReadFault::kTooLong},
    {{}, std::nullopt, 0},
    {{0x80}, std::nullopt, 1},
    {{0xFF, 0xFF, 0xFF}, std::nullopt, 3},
};

TEST(ByteCursor, VarintsThroughEveryEntry) {
  for (const VintCase& c : kVints) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    // A cursor over `bytes` (the case's, perhaps with more after them) reads
    // the case's value or fault. Running out leaves nothing; otherwise the
    // cursor stands after the bytes taken.
    const auto expect_cursor_read = [&c](const std::vector<uint8_t>& bytes) {
      ByteCursor cursor(bytes);
      const ReadResult<uint64_t> read = cursor.vint();
      ASSERT_EQ(read.has_value(), c.value.has_value());
      if (c.value) {
        EXPECT_EQ(*read, *c.value);
      } else {
        EXPECT_EQ(read.error(), c.fault);
      }
      EXPECT_EQ(cursor.remaining(), bytes.size() - c.consumed);
    };
    expect_cursor_read(c.bytes);

    std::span<const uint8_t> span(c.bytes);
    const IoResult<uint64_t> io = read_vint(span);
    ASSERT_EQ(io.has_value(), c.value.has_value());
    if (!c.value) {
      EXPECT_EQ(io.error(), IoError(c.fault));
      EXPECT_EQ(io.error().to_string(),
                c.fault == ReadFault::kTooLong ? "varint too long" : "failed to fill whole buffer");
      EXPECT_EQ(io.error().kind(),
                c.fault == ReadFault::kTooLong ? IoErrorKind::InvalidData : IoErrorKind::UnexpectedEof);
    }
    EXPECT_EQ(span.size(), c.bytes.size() - c.consumed);

    // The decoder without end checks, used where ten bytes are known to be
    // there, agrees with the checked one.
    if (c.value || c.fault == ReadFault::kTooLong) {
      std::vector<uint8_t> padded = c.bytes;
      padded.resize(padded.size() + 10, 0xEE);
      const uint8_t* pos = padded.data();
      uint64_t value = 0;
      const VintStatus status = decode_vint_unchecked(pos, value);
      EXPECT_EQ(status == VintStatus::kOk, c.value.has_value());
      if (!c.value) {
        EXPECT_EQ(fault_of(status), c.fault);
      }
      if (c.value) {
        EXPECT_EQ(value, *c.value);
      }
      EXPECT_EQ(static_cast<size_t>(pos - padded.data()), c.consumed);

      // So does a cursor with ten bytes or more left, which takes that path.
      expect_cursor_read(padded);
    }
  }
}

TEST(ByteCursor, FixedWidthReadsAndRunningOut) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                      0x09, 0x00, 0x00, 0xC0, 0x3F, 0xAA};
  ByteCursor cursor(bytes);
  EXPECT_EQ(cursor.u8(), 0x01);
  EXPECT_EQ(cursor.u16(), 0x0302);
  EXPECT_EQ(cursor.u32(), 0x07060504u);
  EXPECT_EQ(cursor.take(2).value().size(), 2u);
  EXPECT_EQ(cursor.f32(), 1.5f);
  EXPECT_EQ(cursor.remaining(), 1u);
  EXPECT_EQ(cursor.u64(), std::unexpected(ReadFault::kRanOut));
  // Running out consumes what was left, so every later read runs out too.
  EXPECT_TRUE(cursor.empty());
  EXPECT_EQ(cursor.u8(), std::unexpected(ReadFault::kRanOut));
  EXPECT_EQ(ByteCursor(bytes).le<unsigned __int128>(), std::unexpected(ReadFault::kRanOut));
  EXPECT_EQ(decode_le<uint64_t>(bytes.data()), 0x0807060504030201ULL);
}

TEST(ByteRange, FromOffsetAndLength) {
  EXPECT_EQ(ByteRange::at(10, 5), (ByteRange{10, 15}));
  EXPECT_EQ(ByteRange::at(UINT64_MAX, 0), (ByteRange{UINT64_MAX, UINT64_MAX}));
  EXPECT_EQ(ByteRange::at(UINT64_MAX - 4, 5), std::nullopt);
  EXPECT_EQ(ByteRange::at_or_reversed(10, 5), (ByteRange{10, 15}));
  // Past 2^64 the end wraps, which leaves the range reversed.
  EXPECT_EQ(ByteRange::at_or_reversed(UINT64_MAX - 4, 10), (ByteRange{UINT64_MAX - 4, 5}));
  EXPECT_EQ((ByteRange{90, 101}).to_string(), "90..101");
}

}  // namespace
}  // namespace zelvar
