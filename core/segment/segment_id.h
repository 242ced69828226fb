// Segment identity and the names of a segment's files.
//
// A segment is an immutable part of the index, named by a 128-bit identifier.
// The identifier has two text forms: the hexadecimal text listed in
// "segments.json" (read by `SegmentId::from_hex`) and the fixed-width form of
// exactly 32 lower-case digits inside file names (`SegmentId::to_hex`).
// `SegmentFiles` holds the five file names derived from that fixed form.
//
// Thread safety: plain values; copy and share freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelvar {

// An unsigned 128-bit integer, the identifier's value.
using SegmentIdValue = unsigned __int128;

class SegmentId {
 public:
  constexpr SegmentId() = default;
  constexpr explicit SegmentId(SegmentIdValue value) : value_(value) {}

  // Parses a hexadecimal identifier as listed in "segments.json": an optional
  // single leading "+", then one or more digits 0-9, a-f or A-F, whose value
  // must fit in 128 bits (leading zeros are free, so more than 32 digits may
  // fit). Nothing else is accepted: no whitespace, "0x" prefix, separator or
  // "-" sign. Absence means the text is not an identifier; the caller reports it.
  static std::optional<SegmentId> from_hex(std::string_view text);

  // Exactly 32 lower-case hexadecimal digits, most significant first,
  // zero-padded: the form used in file names.
  std::string to_hex() const;

  constexpr SegmentIdValue value() const { return value_; }

  friend constexpr bool operator==(const SegmentId&, const SegmentId&) = default;

 private:
  SegmentIdValue value_ = 0;
};

// The five file names of one segment, relative to the index folder, each the
// base "seg_" + id.to_hex() followed by its extension.
struct SegmentFiles {
  // Forms the names of the segment `id`; cannot fail.
  explicit SegmentFiles(SegmentId id);

  std::string terms;     // base + ".terms": term dictionary
  std::string postings;  // base + ".post": posting lists
  std::string store;     // base + ".store": document store
  std::string meta;      // base + ".meta": segment metadata
  std::string vectors;   // base + ".vectors": dense-vector indexes
};

}  // namespace zelvar
