#include "core/segment/segment_meta.h"

#include "core/structures/sstable/fixed_width.h"

namespace zelvar {
namespace {

constexpr size_t kHeaderSize = 20;  // id + num_docs
constexpr size_t kCountSize = 4;
constexpr size_t kEntrySize = 16;

}  // namespace

IoResult<SegmentMeta> SegmentMeta::deserialize(std::span<const uint8_t> data) {
  if (data.size() < kHeaderSize) return std::unexpected(ran_out_error());
  SegmentMeta meta;
  meta.id = SegmentId(decode_le<SegmentIdValue>(data.data()));
  meta.num_docs = decode_le<uint32_t>(data.data() + 16);
  if (data.size() == kHeaderSize) return meta;
  if (data.size() < kHeaderSize + kCountSize) return std::unexpected(ran_out_error());

  // Entries are inserted one by one as they are read: the count sizes
  // nothing, so a huge count in a short file fails after the entries present.
  const uint32_t count = decode_le<uint32_t>(data.data() + kHeaderSize);
  size_t pos = kHeaderSize + kCountSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (data.size() - pos < kEntrySize) return std::unexpected(ran_out_error());
    const uint8_t* entry = data.data() + pos;
    meta.field_stats.insert_or_assign(
        decode_le<uint32_t>(entry),
        FieldStats{.total_tokens = decode_le<uint64_t>(entry + 4), .doc_count = decode_le<uint32_t>(entry + 12)});
    pos += kEntrySize;
  }
  return meta;
}

}  // namespace zelvar
