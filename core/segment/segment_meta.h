// A segment's metadata file, base + ".meta": its document count and per-field
// token statistics.
//
// Layout (little-endian, no magic, no version, no checksum):
//
//   0        16  id: unsigned 128-bit, least significant byte first
//   16        4  num_docs: u32
//   20        4  entry count n: u32 (the file may end at 20: no entries)
//   24+16i    4  entry i: field number u32
//   28+16i    8  entry i: total_tokens u64 (unaligned)
//   36+16i    4  entry i: doc_count u32
//   ...          bytes after the n-th entry are ignored
//
// Thread safety: plain values.
#pragma once

#include <cstdint>
#include <map>
#include <span>

#include "core/error/io_error.h"
#include "core/segment/segment_id.h"

namespace zelvar {

// Token statistics of one field over a segment.
struct FieldStats {
  uint64_t total_tokens = 0;  // tokens of the field summed over the segment's documents
  uint32_t doc_count = 0;     // documents of the segment that have the field

  friend bool operator==(const FieldStats&, const FieldStats&) = default;
};

struct SegmentMeta {
  SegmentId id;           // as stored; never compared with the file's name
  uint32_t num_docs = 0;  // documents in the segment
  std::map<uint32_t, FieldStats> field_stats;  // keyed by field number

  // Reads a whole ".meta" file. Fails only with UnexpectedEof "failed to fill
  // whole buffer": a file shorter than 20 bytes, of 21 to 23 bytes, or whose
  // last counted entry is cut short. Any value is accepted in every field; a
  // field number seen again replaces the earlier entry's values.
  static IoResult<SegmentMeta> deserialize(std::span<const uint8_t> data);
};

}  // namespace zelvar
