// A segment's ".meta" file: the input is the whole file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/segment/segment_meta.h"
#include "fuzz/support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  fuzz::HeapWatch watch("meta", size);
  auto meta = SegmentMeta::deserialize(std::span(data, size));
  if (!meta) {
    (void)meta.error().to_string();
    return 0;
  }
  // Each entry takes 16 bytes after the 24-byte header.
  if (!meta->field_stats.empty() && meta->field_stats.size() > (size - 24) / 16) {
    fuzz::fail("meta: more field entries than the file holds");
  }
  (void)meta->id.to_hex();
  return 0;
}
