// Reader of product-quantization codebook files ("KBCS"), the side file of
// IVF-PQ indexes.
//
// Byte layout (little-endian, packed; booleans one byte, non-zero is true;
// bytes after the norms are ignored):
//
//   0   u32  magic 0x5343424B, the bytes "KBCS"
//   4   u32  format version
//   8   u64  stamp
//   16  u32  dim
//   20  u32  num_subspaces
//   version 0 or 1:                      version 2 and later:
//   24  u32  num_centroids               24  u32  subspace_dim
//   28  u8   flag_p                      28  u32  num_centroids
//   29  f32  param_y                     32  u8   flag_p
//   33  codebook...                      33  f32  param_x
//                                        37  f32  param_y
//                                        41  u8   flag_q
//                                        42  u32  param_n
//                                        46  u8   rotation present (0: absent)
//                                        47  f32 x dim*dim  rotation, if present
//                                        ..  codebook...
//   codebook: f32 x num_centroids*num_subspaces*subspace_dim
//   then:     u8 norms present (0: absent; the byte itself is required),
//             f32 x num_centroids*num_subspaces  norms, if present
//
// An old-layout file carries no subspace_dim (it is dim / num_subspaces,
// remainder dropped), no param_x (10.0), no flag_q (false), no param_n (0) and
// no rotation.
//
// The file is found by the path written in the field's configuration, used
// unchanged, and read whole on the calling thread, outside the index
// directory. Nothing in the engine reads the values afterwards.
//
// Thread safety: a plain immutable value once loaded; the segment shares it as
// std::shared_ptr<const PQCodebook>.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error/io_error.h"

namespace zelvar {

struct PQCodebook {
  std::vector<float> codebook;
  std::optional<std::vector<float>> rotation;  // dim * dim values, version 2+ only
  std::optional<std::vector<float>> norms;     // num_centroids * num_subspaces values
  uint64_t dim = 0;
  uint64_t num_subspaces = 0;
  uint64_t subspace_dim = 0;
  uint64_t num_centroids = 0;
  uint64_t preset = 42;  // never stored in the file
  uint64_t param_n = 0;
  float param_x = 10.0f;
  float param_y = 0.0f;
  bool flag_p = false;
  bool flag_q = false;
  uint64_t stamp = 0;

  // Reads the file at `path` whole and decodes it.
  // Errors: the operating system's error for a file that cannot be read;
  // InvalidInput "path contains a NUL byte", or "not a regular file" for a
  // device, pipe or socket (which could be read forever);
  // UnexpectedEof "failed to fill whole buffer" for a file that ends before
  // its magic, inside its header, inside an array or before the norms byte;
  // InvalidData "Invalid codebook file magic"; InvalidData
  // "Invalid codebook file: zero subspaces" for an old-layout file whose
  // num_subspaces is 0 (its subspace_dim cannot be derived).
  static IoResult<PQCodebook> load(std::string_view path);

  // Decodes the bytes of a whole file; the errors of `load` but the OS ones.
  static IoResult<PQCodebook> from_bytes(std::span<const uint8_t> file);

  friend bool operator==(const PQCodebook&, const PQCodebook&) = default;
};

inline constexpr uint32_t kPQCodebookMagic = 0x5343424B;  // "KBCS"
inline constexpr std::string_view kInvalidCodebookMagic = "Invalid codebook file magic";
inline constexpr std::string_view kCodebookZeroSubspaces = "Invalid codebook file: zero subspaces";

}  // namespace zelvar
