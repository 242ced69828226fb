#include "core/structures/vector/ivf/coarse_centroids.h"

#include <string>

#include "core/error/result.h"
#include "core/structures/vector/quantization/side_file.h"

namespace zelvar {

IoResult<CoarseCentroids> CoarseCentroids::from_bytes(std::span<const uint8_t> file) {
  ByteCursor cursor(file);
  ZELVAR_TRY(const side_file::SideFileHead head,
             side_file::read_head(cursor, kCoarseCentroidsMagic, kInvalidCentroidsMagic));
  const uint32_t version = head.version;
  CoarseCentroids out;
  out.stamp = head.stamp;
  ZELVAR_TRY(out.count_a, cursor.u32());
  ZELVAR_TRY(uint32_t count_b, cursor.u32());
  out.count_b = count_b;
  if (version >= 2) {
    ZELVAR_TRY(uint8_t present, cursor.u8());
    if (present != 0) {
      CentroidExtension ext;
      ZELVAR_TRY(uint32_t ext_count, cursor.u32());
      ext.ext_count = ext_count;
      ZELVAR_TRY(ext.ext_flag, side_file::read_flag(cursor));
      ZELVAR_TRY(ext.ext_value, cursor.f32());
      out.extension = ext;
    }
  }
  // Two u32 counts: the product always fits in 64 bits.
  const uint64_t values = uint64_t{out.count_a} * out.count_b;
  ZELVAR_TRY(out.centroids, side_file::read_f32_array(cursor, values));
  return out;
}

IoResult<CoarseCentroids> CoarseCentroids::load(std::string_view path) {
  ZELVAR_TRY(std::vector<uint8_t> file, side_file::read_whole(path));
  return from_bytes(file);
}

}  // namespace zelvar
