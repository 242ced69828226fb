// Unsigned LEB128 variable-length integers, as stored by the term dictionary
// and the posting lists.
//
//   byte i (i = 0..9): bit 7 = another byte follows, bits 0-6 = bits 7i..7i+6
//
// A value takes 1 to 10 bytes; non-minimal encodings (0x80 padding before a
// final 0x00) are accepted. Of the tenth byte only its lowest bit fits into 64
// bits; its other value bits are dropped. A tenth byte that still has bit 7 set
// makes the integer "too long".
//
// A cursor is a std::span<const uint8_t> consumed from the front and passed to
// successive reads.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error/io_error.h"
#include "core/structures/sstable/fixed_width.h"

namespace zelvar {
namespace vint_detail {

enum class VintStatus { kOk, kEof, kTooLong };

// The single decoder behind every varint read of the engine. Reads from *pos
// up to `end`, advancing *pos past every byte taken (on failure too: after an
// end-of-input *pos == end; after "too long" *pos is past the tenth byte).
inline VintStatus decode(const uint8_t** pos, const uint8_t* end, uint64_t* value) {
  const uint8_t* p = *pos;
  uint64_t v = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (p == end) {
      *pos = p;
      return VintStatus::kEof;
    }
    const uint8_t b = *p++;
    v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);  // for i = 9 the upper bits fall off
    if ((b & 0x80) == 0) {
      *pos = p;
      *value = v;
      return VintStatus::kOk;
    }
  }
  *pos = p;
  return VintStatus::kTooLong;
}

// As `decode`, for callers that know at least 10 bytes are readable at *pos,
// so that no byte needs an end check. Same results as `decode`.
inline VintStatus decode_unchecked(const uint8_t** pos, uint64_t* value) {
  const uint8_t* p = *pos;
  uint64_t b = *p++;
  uint64_t v = b & 0x7F;
  if (b < 0x80) {
    *pos = p;
    *value = v;
    return VintStatus::kOk;
  }
  for (unsigned shift = 7; shift < 70; shift += 7) {
    b = *p++;
    v |= (b & 0x7F) << shift;
    if (b < 0x80) {
      *pos = p;
      *value = v;
      return VintStatus::kOk;
    }
  }
  *pos = p;
  return VintStatus::kTooLong;
}

inline IoError vint_error(VintStatus status) {
  if (status == VintStatus::kTooLong) return IoError(IoErrorKind::InvalidData, "varint too long");
  return ran_out_error();
}

}  // namespace vint_detail

namespace sstable {

// Reads one varint from the front of `cursor`.
// Errors: UnexpectedEof "failed to fill whole buffer" (cursor left empty),
// InvalidData "varint too long" (cursor left after the tenth byte).
inline IoResult<uint64_t> read_vint(std::span<const uint8_t>& cursor) {
  const uint8_t* pos = cursor.data();
  const uint8_t* end = pos + cursor.size();
  uint64_t value = 0;
  const auto status = vint_detail::decode(&pos, end, &value);
  cursor = cursor.subspan(static_cast<size_t>(pos - cursor.data()));
  if (status != vint_detail::VintStatus::kOk) return std::unexpected(vint_detail::vint_error(status));
  return value;
}

}  // namespace sstable

// The posting decoder reads the very same encoding through the same function.
namespace posting {
using sstable::read_vint;
}  // namespace posting

}  // namespace zelvar
