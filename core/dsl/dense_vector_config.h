// Configuration of a dense-vector field, as carried by its schema entry.
//
// Segment opening acts on two things of it: whether any schema entry carries
// one at all (then every segment's vector file is read), and the two side-file
// paths, which are used exactly as written (absolute, or relative to the
// process's working directory, never to the index folder). `index_type` is
// kept but not consulted: each vector-file entry carries its own type code,
// which equals the enumerator's value below.
//
// JSON form, either
//   {"dim": usize, "index_type": "ra_bit_q"|"ivf_ra_bit_q"|"sca_n_n" = "ra_bit_q",
//    "store_raw": bool = true, "coarse_centroids_path": s|null = null,
//    "pq_codebook_path": s|null = null, "nprobe": usize = 32,
//    "mrl_dim": usize|null = null}
// or the array of the same values in this order, only `dim` required.
//
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "core/dsl/json_record.h"

namespace zelvar {

// Kind of quantized index built for a dense-vector field. The values are the
// index-type codes of vector-file entries.
enum class VectorIndexType : uint8_t {
  RaBitQ = 0,
  IvfRaBitQ = 1,
  ScaNN = 2,
};

// The JSON spellings, indexed by the enumerators' values.
inline constexpr std::array<std::string_view, 3> kVectorIndexTypeNames = {
    "ra_bit_q", "ivf_ra_bit_q", "sca_n_n"};

std::string_view vector_index_type_name(VectorIndexType v);

struct DenseVectorConfig {
  uint64_t dim = 0;
  VectorIndexType index_type = VectorIndexType::RaBitQ;
  bool store_raw = true;
  std::optional<std::string> coarse_centroids_path;
  std::optional<std::string> pq_codebook_path;
  uint64_t nprobe = 32;
  std::optional<uint64_t> mrl_dim;

  friend bool operator==(const DenseVectorConfig&, const DenseVectorConfig&) = default;
};

// `null` (absent) or a usize-wide integer (expected "usize").
dsl::JsonStatus read_optional_usize(dsl::JsonReader& reader, std::optional<uint64_t>& out);

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonEnum<zelvar::VectorIndexType> {
  static constexpr auto names = zelvar::kVectorIndexTypeNames;
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::DenseVectorConfig> {
  using D = zelvar::DenseVectorConfig;
  static constexpr std::string_view name = "DenseVectorConfig";
  static constexpr auto members = std::tuple{
      json_required("dim", &D::dim, &read_usize),
      json_defaulted("index_type", &D::index_type),
      json_defaulted("store_raw", &D::store_raw),
      json_defaulted("coarse_centroids_path", &D::coarse_centroids_path),
      json_defaulted("pq_codebook_path", &D::pq_codebook_path),
      json_defaulted("nprobe", &D::nprobe, &read_usize),
      json_defaulted("mrl_dim", &D::mrl_dim, &zelvar::read_optional_usize),
  };
};
