#include "core/segment/segment_meta.h"

#include "core/directories/byte_cursor.h"
#include "core/error/result.h"

namespace zelvar {
namespace {

constexpr size_t kHeaderSize = 20;  // id + num_docs
constexpr size_t kEntrySize = 16;

}  // namespace

IoResult<SegmentMeta> SegmentMeta::deserialize(std::span<const uint8_t> data) {
  ByteCursor cursor(data);
  // The header is read whole or not at all.
  ZELVAR_TRY(const std::span<const uint8_t> header, cursor.take(kHeaderSize));
  SegmentMeta meta;
  meta.id = SegmentId(decode_le<SegmentIdValue>(header.data()));
  meta.num_docs = decode_le<uint32_t>(header.data() + 16);
  if (cursor.empty()) return meta;
  ZELVAR_TRY(const uint32_t count, cursor.u32());

  // Entries are inserted one by one as they are read: the count sizes
  // nothing, so a huge count in a short file fails after the entries present.
  for (uint32_t i = 0; i < count; ++i) {
    ZELVAR_TRY(const std::span<const uint8_t> entry, cursor.take(kEntrySize));
    meta.field_stats.insert_or_assign(
        decode_le<uint32_t>(entry.data()),
        FieldStats{.total_tokens = decode_le<uint64_t>(entry.data() + 4), .doc_count = decode_le<uint32_t>(entry.data() + 12)});
  }
  return meta;
}

}  // namespace zelvar
