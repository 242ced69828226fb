#include "core/structures/vector/quantization/side_file.h"

#include <bit>
#include <string>

#include "core/directories/whole_file.h"
#include "core/error/result.h"

namespace zelvar::side_file {

IoResult<std::vector<uint8_t>> read_whole(std::string_view path) { return read_whole_file(path); }

IoResult<SideFileHead> read_head(ByteCursor& cursor, uint32_t magic, std::string_view wrong_magic) {
  ZELVAR_TRY(const uint32_t found, cursor.u32());
  if (found != magic) return std::unexpected(IoError(IoErrorKind::InvalidData, std::string(wrong_magic)));
  SideFileHead head;
  ZELVAR_TRY(head.version, cursor.u32());
  ZELVAR_TRY(head.stamp, cursor.u64());
  return head;
}

ReadResult<bool> read_flag(ByteCursor& cursor) {
  auto byte = cursor.u8();
  if (!byte) return std::unexpected(byte.error());
  return *byte != 0;
}

ReadResult<std::vector<float>> read_f32_array(ByteCursor& cursor, uint64_t count) {
  if (count > cursor.remaining() / 4) return std::unexpected(ReadFault::kRanOut);
  const auto n = static_cast<size_t>(count);
  auto bytes = cursor.take(n * 4);
  if (!bytes) return std::unexpected(bytes.error());
  std::vector<float> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(std::bit_cast<float>(decode_le<uint32_t>(bytes->data() + i * 4)));
  return out;
}

bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace zelvar::side_file
