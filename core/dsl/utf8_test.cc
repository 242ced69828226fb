#include "core/dsl/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace zelvar {
namespace {

struct Utf8Case {
  std::string bytes;
  int32_t code_point;  // of the first character; -1: ill-formed
  size_t length;
  std::string lossy;  // the whole text with U+FFFD for each maximal ill-formed subpart
};

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, DecodesByTheWellFormedRanges) {
  const Utf8Case cases[] = {
      {"a", 'a', 1, "a"},
      {"\xC3\xA9", 0xE9, 2, "\xC3\xA9"},
      {"\xE2\x82\xAC", 0x20AC, 3, "\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", 0x1F600, 4, "\xF0\x9F\x98\x80"},
      {"\xC0\xAF", -1, 1, kFffd + kFffd},                        // overlong lead
      {"\xE0\x80\xAF", -1, 1, kFffd + kFffd + kFffd},            // overlong: E0 needs A0..BF
      {"\xED\xA0\x80", -1, 1, kFffd + kFffd + kFffd},            // surrogate
      {"\xF4\x90\x80\x80", -1, 1, kFffd + kFffd + kFffd + kFffd},  // past U+10FFFF
      {"\xE2\x82", -1, 2, kFffd},                                 // cut short: one subpart
      {"\xE2\x82x", -1, 2, kFffd + "x"},
      {"\x80", -1, 1, kFffd},
      {"\xFF", -1, 1, kFffd},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const Utf8Char decoded = decode_utf8(c.bytes, 0);
    EXPECT_EQ(decoded.code_point, c.code_point);
    EXPECT_EQ(decoded.length, c.length);
    EXPECT_EQ(utf8_lossy(c.bytes), c.lossy);
    if (c.code_point >= 0) {
      std::string encoded;
      append_utf8(encoded, static_cast<uint32_t>(c.code_point));
      EXPECT_EQ(encoded, c.bytes);
    }
  }
}

}  // namespace
}  // namespace zelvar
