#include "core/structures/vector/quantization/side_file.h"

#include <bit>
#include <string>

#include "core/directories/whole_file.h"
#include "core/error/result.h"

namespace zelvar::side_file {
namespace {

uint32_t le_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

IoResult<std::vector<uint8_t>> read_whole(std::string_view path) { return read_whole_file(path); }

IoError ran_out() { return IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

IoResult<std::span<const uint8_t>> Cursor::take(size_t n) {
  if (n > remaining()) return std::unexpected(ran_out());
  auto out = bytes_.subspan(pos_, n);
  pos_ += n;
  return out;
}

IoResult<uint8_t> Cursor::u8() {
  ZELVAR_TRY(auto b, take(1));
  return b[0];
}

IoResult<bool> Cursor::boolean() {
  ZELVAR_TRY(uint8_t b, u8());
  return b != 0;
}

IoResult<uint32_t> Cursor::u32() {
  ZELVAR_TRY(auto b, take(4));
  return le_u32(b.data());
}

IoResult<uint64_t> Cursor::u64() {
  ZELVAR_TRY(auto b, take(8));
  return uint64_t{le_u32(b.data())} | uint64_t{le_u32(b.data() + 4)} << 32;
}

IoResult<float> Cursor::f32() {
  ZELVAR_TRY(uint32_t bits, u32());
  return std::bit_cast<float>(bits);
}

IoResult<std::vector<float>> Cursor::f32_array(uint64_t count) {
  if (count > remaining() / 4) return std::unexpected(ran_out());
  const auto n = static_cast<size_t>(count);
  ZELVAR_TRY(auto b, take(n * 4));
  std::vector<float> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(std::bit_cast<float>(le_u32(b.data() + i * 4)));
  return out;
}

bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace zelvar::side_file
