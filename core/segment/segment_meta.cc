#include "core/segment/segment_meta.h"

#include <string>

namespace zelvar {
namespace {

constexpr size_t kHeaderSize = 20;  // id + num_docs
constexpr size_t kCountSize = 4;
constexpr size_t kEntrySize = 16;

template <class T>
T read_le(const uint8_t* p) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
  return value;
}

IoError unexpected_eof() {
  return IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

}  // namespace

IoResult<SegmentMeta> SegmentMeta::deserialize(std::span<const uint8_t> data) {
  if (data.size() < kHeaderSize) return std::unexpected(unexpected_eof());
  SegmentMeta meta;
  meta.id = SegmentId(read_le<SegmentIdValue>(data.data()));
  meta.num_docs = read_le<uint32_t>(data.data() + 16);
  if (data.size() == kHeaderSize) return meta;
  if (data.size() < kHeaderSize + kCountSize) return std::unexpected(unexpected_eof());

  // Entries are inserted one by one as they are read: the count sizes
  // nothing, so a huge count in a short file fails after the entries present.
  const uint32_t count = read_le<uint32_t>(data.data() + kHeaderSize);
  size_t pos = kHeaderSize + kCountSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (data.size() - pos < kEntrySize) return std::unexpected(unexpected_eof());
    const uint8_t* entry = data.data() + pos;
    meta.field_stats.insert_or_assign(
        read_le<uint32_t>(entry),
        FieldStats{.total_tokens = read_le<uint64_t>(entry + 4), .doc_count = read_le<uint32_t>(entry + 12)});
    pos += kEntrySize;
  }
  return meta;
}

}  // namespace zelvar
