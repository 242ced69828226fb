#include "core/structures/vector/quantization/pq_codebook.h"

#include <string>

#include "core/error/result.h"
#include "core/structures/vector/quantization/side_file.h"

namespace zelvar {

IoResult<PQCodebook> PQCodebook::from_bytes(std::span<const uint8_t> file) {
  ByteCursor cursor(file);
  ZELVAR_TRY(const side_file::SideFileHead head,
             side_file::read_head(cursor, kPQCodebookMagic, kInvalidCodebookMagic));
  const uint32_t version = head.version;
  PQCodebook out;
  out.stamp = head.stamp;
  ZELVAR_TRY(uint32_t dim, cursor.u32());
  ZELVAR_TRY(uint32_t num_subspaces, cursor.u32());
  out.dim = dim;
  out.num_subspaces = num_subspaces;

  if (version >= 2) {
    ZELVAR_TRY(uint32_t subspace_dim, cursor.u32());
    ZELVAR_TRY(uint32_t num_centroids, cursor.u32());
    out.subspace_dim = subspace_dim;
    out.num_centroids = num_centroids;
    ZELVAR_TRY(out.flag_p, side_file::read_flag(cursor));
    ZELVAR_TRY(out.param_x, cursor.f32());
    ZELVAR_TRY(out.param_y, cursor.f32());
    ZELVAR_TRY(out.flag_q, side_file::read_flag(cursor));
    ZELVAR_TRY(uint32_t param_n, cursor.u32());
    out.param_n = param_n;
    ZELVAR_TRY(uint8_t rotation_present, cursor.u8());
    if (rotation_present != 0) {
      ZELVAR_TRY(out.rotation, side_file::read_f32_array(cursor, uint64_t{dim} * dim));
    }
  } else {
    ZELVAR_TRY(uint32_t num_centroids, cursor.u32());
    out.num_centroids = num_centroids;
    ZELVAR_TRY(out.flag_p, side_file::read_flag(cursor));
    ZELVAR_TRY(out.param_y, cursor.f32());
    // The old layout derives the subspace width; refuse the header that
    // cannot give one, once the whole header is known to be there.
    if (num_subspaces == 0) {
      return std::unexpected(
          IoError(IoErrorKind::InvalidData, std::string(kCodebookZeroSubspaces)));
    }
    out.subspace_dim = dim / num_subspaces;
  }

  // Three u32 counts may overflow 64 bits; such a product can never be backed
  // by the file, so it is a file that ends early.
  uint64_t per_centroid = 0;
  uint64_t values = 0;
  if (!side_file::checked_mul(out.num_centroids, out.num_subspaces, per_centroid) ||
      !side_file::checked_mul(per_centroid, out.subspace_dim, values)) {
    return std::unexpected(ran_out_error());
  }
  ZELVAR_TRY(out.codebook, side_file::read_f32_array(cursor, values));

  ZELVAR_TRY(uint8_t norms_present, cursor.u8());
  if (norms_present != 0) {
    ZELVAR_TRY(out.norms, side_file::read_f32_array(cursor, per_centroid));
  }
  return out;
}

IoResult<PQCodebook> PQCodebook::load(std::string_view path) {
  ZELVAR_TRY(std::vector<uint8_t> file, side_file::read_whole(path));
  return from_bytes(file);
}

}  // namespace zelvar
