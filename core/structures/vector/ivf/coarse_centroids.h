// Reader of coarse-centroid files ("CVCH"), the side file of the IVF indexes.
//
// Byte layout (little-endian, packed; bytes after the values are ignored):
//
//   0   u32  magic 0x48435643, the bytes "CVCH"
//   4   u32  format version
//   8   u64  stamp
//   16  u32  count_a
//   20  u32  count_b
//   version 0 or 1:
//   24  f32 x count_a*count_b   centroid values
//   version 2 and later:
//   24  u8   extension present (0: absent)
//   absent:  25  f32 x count_a*count_b
//   present: 25 u32 ext_count, 29 u8 ext_flag (non-zero: true), 30 f32 ext_value,
//            34 f32 x count_a*count_b
//
// The file is found by the path written in the field's configuration, used
// unchanged (absolute, or relative to the process's working directory, never
// to the index folder), and read whole on the calling thread, outside the
// index directory. Nothing in the engine reads the values afterwards.
//
// Thread safety: a plain immutable value once loaded; the segment shares it as
// std::shared_ptr<const CoarseCentroids>.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error/io_error.h"

namespace zelvar {

struct CentroidExtension {
  uint64_t ext_count = 0;
  bool ext_flag = false;
  float ext_value = 0.0f;

  friend bool operator==(const CentroidExtension&, const CentroidExtension&) = default;
};

struct CoarseCentroids {
  std::vector<float> centroids;  // count_a * count_b values, in file order
  uint32_t count_a = 0;
  uint64_t count_b = 0;
  uint64_t stamp = 0;
  std::optional<CentroidExtension> extension;  // version 2+ with the flag set

  // Reads the file at `path` whole and decodes it.
  // Errors: the operating system's error for a file that cannot be read;
  // InvalidInput "path contains a NUL byte", or "not a regular file" for a
  // device, pipe or socket (which could be read forever);
  // UnexpectedEof "failed to fill whole buffer" for a file that ends before
  // its magic, inside its header or inside its values; InvalidData
  // "Invalid centroids file magic".
  static IoResult<CoarseCentroids> load(std::string_view path);

  // Decodes the bytes of a whole file; the errors of `load` but the OS ones.
  static IoResult<CoarseCentroids> from_bytes(std::span<const uint8_t> file);

  friend bool operator==(const CoarseCentroids&, const CoarseCentroids&) = default;
};

inline constexpr uint32_t kCoarseCentroidsMagic = 0x48435643;  // "CVCH"
inline constexpr std::string_view kInvalidCentroidsMagic = "Invalid centroids file magic";

}  // namespace zelvar
