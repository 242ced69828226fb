// Fixed-width little-endian integers, the encoding of every u16, u32, u64 and
// u128 field in the segment files (term dictionary, posting lists, document
// store, segment metadata).
//
// `decode_le` reads at a pointer whose bytes the caller has already checked;
// `read_le` consumes from the front of a cursor (a std::span<const uint8_t>)
// and checks first. Running out is the only failure these readers know; the
// caller that knows the context turns it into a more precise error if needed.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error/io_error.h"

namespace zelvar {

// The error of a read that needs more bytes than are left.
inline IoError ran_out_error() {
  return IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

// The unsigned integer T stored least significant byte first at `p`.
// Precondition: sizeof(T) bytes are readable at `p`.
template <class T>
T decode_le(const uint8_t* p) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
  return value;
}

// Reads one T from the front of `cursor`. Errors: UnexpectedEof "failed to
// fill whole buffer", leaving the cursor empty.
template <class T>
IoResult<T> read_le(std::span<const uint8_t>& cursor) {
  if (cursor.size() < sizeof(T)) {
    cursor = {};
    return std::unexpected(ran_out_error());
  }
  const T value = decode_le<T>(cursor.data());
  cursor = cursor.subspan(sizeof(T));
  return value;
}

}  // namespace zelvar
