// Taking bytes apart: the one way every reader of a binary file format reads
// the bytes it was given (term dictionary, posting lists, term information,
// segment metadata, document store, vector file, centroid and codebook files).
//
// - ByteRange::at builds the range of `length` bytes at `offset`, refusing a
//   sum past 2^64 instead of letting it wrap.
// - ByteCursor consumes a byte span from the front: fixed-width little-endian
//   integers, f32, byte runs and unsigned LEB128 varints, each checked against
//   the bytes left before it touches them.
// - decode_le and decode_vint are the same decoders for hot loops that hold
//   raw pointers and have checked the bytes themselves.
//
// These lowest decoders know only two faults, "ran out" and "too long"
// (ReadFault, core/error/io_error.h); a fault converts to the usual IoError
// ("failed to fill whole buffer", "varint too long") unless the reader that
// knows the context names it otherwise.
//
// Varint encoding: byte i (i = 0..9) carries bits 7i..7i+6 in its bits 0-6,
// and bit 7 says another byte follows. A value takes 1 to 10 bytes;
// non-minimal encodings (0x80 padding before a final 0x00) are accepted. Of
// the tenth byte only its lowest bit fits into 64 bits; its other value bits
// are dropped. A tenth byte that still has bit 7 set is "too long".
//
// Thread safety: pure functions, and cursors owned by one read. A cursor
// views its bytes, which must outlive it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "core/error/io_error.h"

namespace zelvar {

template <class T>
using ReadResult = std::expected<T, ReadFault>;

// The usual error of a read that needs more bytes than are left.
inline IoError ran_out_error() { return IoError(ReadFault::kRanOut); }

// A byte range [start, end) of a file or window.
struct ByteRange {
  uint64_t start = 0;
  uint64_t end = 0;

  // The `length` bytes at `offset`; none where the end would pass 2^64.
  static std::optional<ByteRange> at(uint64_t offset, uint64_t length) {
    if (length > UINT64_MAX - offset) return std::nullopt;
    return ByteRange{offset, offset + length};
  }

  // As `at`, but a range whose end passes 2^64 comes out with its end taken
  // modulo 2^64, so reversed (start after end): every read refuses such a
  // range without reading, and a reader whose error for it is the read's own
  // passes it on.
  static ByteRange at_or_reversed(uint64_t offset, uint64_t length) {
    return at(offset, length).value_or(ByteRange{offset, offset + length});
  }

  // The range as "start..end" in decimal, the form used in error texts.
  std::string to_string() const { return std::to_string(start) + ".." + std::to_string(end); }

  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// The unsigned integer T stored least significant byte first at `p`.
// Precondition: sizeof(T) bytes are readable at `p`.
template <class T>
T decode_le(const uint8_t* p) {
  T value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, p, sizeof(T));  // one load, where the loop below may stay a loop
  } else {
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
  }
  return value;
}

// What a pointer decoder met: a value, or one of the two faults. (A plain
// status and an out-parameter rather than a ReadResult: these decoders run in
// the posting lists' inner loops, where a returned optional or expected costs
// a fifth more instructions per posting.)
enum class VintStatus : uint8_t { kOk, kRanOut, kTooLong };

inline ReadFault fault_of(VintStatus status) {
  return status == VintStatus::kTooLong ? ReadFault::kTooLong : ReadFault::kRanOut;
}

// Decodes one varint from `pos` up to `end` into `value`, advancing `pos`
// past every byte taken (on a fault too: after running out `pos` == `end`;
// after "too long" `pos` is past the tenth byte). `value` is set only on
// kOk.
inline VintStatus decode_vint(const uint8_t*& pos, const uint8_t* end, uint64_t& value) {
  const uint8_t* p = pos;
  uint64_t v = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (p == end) {
      pos = p;
      return VintStatus::kRanOut;
    }
    const uint8_t b = *p++;
    v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);  // for i = 9 the upper bits fall off
    if ((b & 0x80) == 0) {
      pos = p;
      value = v;
      return VintStatus::kOk;
    }
  }
  pos = p;
  return VintStatus::kTooLong;
}

// As `decode_vint`, for callers that know at least 10 bytes are readable at
// `pos`, so that no byte needs an end check. Same results.
inline VintStatus decode_vint_unchecked(const uint8_t*& pos, uint64_t& value) {
  const uint8_t* p = pos;
  uint64_t b = *p++;
  uint64_t v = b & 0x7F;
  if (b < 0x80) {
    pos = p;
    value = v;
    return VintStatus::kOk;
  }
  for (unsigned shift = 7; shift < 70; shift += 7) {
    b = *p++;
    v |= (b & 0x7F) << shift;
    if (b < 0x80) {
      pos = p;
      value = v;
      return VintStatus::kOk;
    }
  }
  pos = p;
  return VintStatus::kTooLong;
}

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> bytes) : rest_(bytes) {}

  size_t remaining() const { return rest_.size(); }
  bool empty() const { return rest_.empty(); }
  // The bytes not consumed yet.
  std::span<const uint8_t> rest() const { return rest_; }

  // The next `n` bytes. Running out consumes everything, so that every later
  // read runs out too.
  ReadResult<std::span<const uint8_t>> take(uint64_t n) {
    if (rest_.size() < n) {
      rest_ = {};
      return std::unexpected(ReadFault::kRanOut);
    }
    auto out = rest_.first(static_cast<size_t>(n));
    rest_ = rest_.subspan(static_cast<size_t>(n));
    return out;
  }

  // One little-endian unsigned integer of type T.
  template <class T>
  ReadResult<T> le() {
    auto bytes = take(sizeof(T));
    if (!bytes) return std::unexpected(bytes.error());
    return decode_le<T>(bytes->data());
  }

  ReadResult<uint8_t> u8() { return le<uint8_t>(); }
  ReadResult<uint16_t> u16() { return le<uint16_t>(); }
  ReadResult<uint32_t> u32() { return le<uint32_t>(); }
  ReadResult<uint64_t> u64() { return le<uint64_t>(); }
  // An IEEE single, little-endian.
  ReadResult<float> f32() {
    auto bits = u32();
    if (!bits) return std::unexpected(bits.error());
    return std::bit_cast<float>(*bits);
  }

  // One varint. Running out leaves the cursor empty; "too long" leaves it
  // after the tenth byte. With ten bytes or more left no byte needs an end
  // check.
  ReadResult<uint64_t> vint() {
    const uint8_t* pos = rest_.data();
    uint64_t value = 0;
    const VintStatus status = rest_.size() >= 10 ? decode_vint_unchecked(pos, value)
                                                 : decode_vint(pos, rest_.data() + rest_.size(), value);
    rest_ = rest_.subspan(static_cast<size_t>(pos - rest_.data()));
    if (status != VintStatus::kOk) return std::unexpected(fault_of(status));
    return value;
  }

 private:
  std::span<const uint8_t> rest_;
};

// Reads one varint from the front of `cursor`, leaving it after the bytes
// taken: the term dictionary's sstable::read_vint and the posting reader's
// posting::read_vint are this function. Errors: UnexpectedEof "failed to
// fill whole buffer" (cursor left empty), InvalidData "varint too long"
// (cursor left after the tenth byte).
inline IoResult<uint64_t> read_vint(std::span<const uint8_t>& cursor) {
  ByteCursor bytes(cursor);
  ReadResult<uint64_t> value = bytes.vint();
  cursor = bytes.rest();
  if (!value) return std::unexpected(IoError(value.error()));
  return *value;
}

}  // namespace zelvar
