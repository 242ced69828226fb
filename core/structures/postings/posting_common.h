// SkipEntry: the summary of one block of a posting list.
//
// On disk: three u32, little-endian, in field order (12 bytes).
//
// Thread safety: a plain value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvar {

struct SkipEntry {
  static constexpr size_t kEncodedLen = 12;

  uint32_t first_doc = 0;  // first document of the block
  uint32_t last_doc = 0;   // last document of the block; seeks compare against it
  uint32_t offset = 0;     // byte offset of the block within BlockPostingList::data

  friend bool operator==(const SkipEntry&, const SkipEntry&) = default;
};

}  // namespace zelvar
