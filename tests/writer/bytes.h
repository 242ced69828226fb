// Test-only byte appenders shared by the writers of index files: fixed-width
// little-endian integers, the shortest-form varint and raw bytes, appended to
// a growing buffer. Never linked into the engine.
//
// Header-only so that every writer library can use it without linking
// another; pure functions on the caller's buffer, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zelvar::test_writer {

using Bytes = std::vector<uint8_t>;

// `value` in sizeof(T) little-endian bytes (T unsigned, up to 128 bits).
template <class T>
void put_le(Bytes& out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void put_u8(Bytes& out, uint8_t v) { out.push_back(v); }
inline void put_u16(Bytes& out, uint16_t v) { put_le(out, v); }
inline void put_u32(Bytes& out, uint32_t v) { put_le(out, v); }
inline void put_u64(Bytes& out, uint64_t v) { put_le(out, v); }

// Seven bits per byte, low group first, high bit set on all but the last.
inline void put_vint(Bytes& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

inline void put_bytes(Bytes& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

inline Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace zelvar::test_writer
