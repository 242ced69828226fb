// Test helpers shared by the side-file reader tests: a builder of hand-made
// little-endian files and the end-of-data check.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error/io_error.h"

namespace zelvar::side_file_test {

// Little-endian bytes of a hand-built file.
struct Bytes {
  std::vector<uint8_t> data;
  Bytes& u8(uint8_t v) { data.push_back(v); return *this; }
  Bytes& u32(uint32_t v) { for (int i = 0; i < 4; ++i) data.push_back(uint8_t(v >> (8 * i))); return *this; }
  Bytes& u64(uint64_t v) { for (int i = 0; i < 8; ++i) data.push_back(uint8_t(v >> (8 * i))); return *this; }
  Bytes& f32(float v) { return u32(std::bit_cast<uint32_t>(v)); }
  Bytes& f32s(uint32_t n, float first) { for (uint32_t i = 0; i < n; ++i) f32(first + float(i)); return *this; }
  Bytes& text(std::string_view s) { data.insert(data.end(), s.begin(), s.end()); return *this; }
  Bytes cut(size_t n) const { Bytes b = *this; b.data.resize(n); return b; }
};

// n values counting up from `first`.
inline std::vector<float> values(uint32_t n, float first) {
  std::vector<float> v;
  for (uint32_t i = 0; i < n; ++i) v.push_back(first + float(i));
  return v;
}

// The read ran out of bytes.
template <class T>
void expect_eof(const IoResult<T>& got, const std::string& what) {
  ASSERT_FALSE(got.has_value()) << what;
  EXPECT_EQ(got.error().kind(), IoErrorKind::UnexpectedEof) << what;
  EXPECT_EQ(got.error().to_string(), "failed to fill whole buffer") << what;
}

}  // namespace zelvar::side_file_test
