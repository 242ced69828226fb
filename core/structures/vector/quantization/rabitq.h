// RaBitQ records: the codebook, coded vectors and the flat RaBitQ index.
//
// A flat RaBitQ index body is JSON text inside a segment's vector file; it
// carries its own codebook, which is kept exactly as written (no length is
// checked against `dim`, signs need not be +-1, a stored permutation need not
// be one). IVF-RaBitQ bodies carry no codebook: theirs is rebuilt at every
// segment open by `RaBitQCodebook::create` from the body's `dim` and a fixed
// seed, so that construction is exact and must never change: equal `dim` and
// `seed` give the same signs and permutation on every machine.
//
// JSON forms (each record also as the array of its values in this order):
//   RaBitQConfig     {"dim": usize, "query_bits": u8, "seed": u64}
//   RaBitQCodebook   {"config": RaBitQConfig, "random_signs": [i8...],
//                     "random_perm": [u32...], "version": u64}
//   QuantizedVector  {"bits": [u8...], "dist_to_centroid": f32,
//                     "self_dot": f32, "popcount": u32}
//   RaBitQIndex      {"codebook": RaBitQCodebook, "centroid": [f32...],
//                     "vectors": [QuantizedVector...],
//                     "raw_vectors": [[f32...]...] | null}
// Every member is required, except that "raw_vectors" may be left out of the
// object form (absent or null: none); the array form always has four values.
//
// Thread safety: plain immutable values once built; share them read-only
// (the segment holds them as std::shared_ptr<const T>).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/dsl/json_record.h"
#include "core/error/io_error.h"

namespace zelvar {

struct RaBitQConfig {
  uint64_t dim = 0;        // vector dimension: signs and permutation entries
  uint8_t query_bits = 0;  // carried only
  uint64_t seed = 0;       // seed of the codebook's generator

  friend bool operator==(const RaBitQConfig&, const RaBitQConfig&) = default;
};

// The largest `dim` that `RaBitQCodebook::create` builds a codebook for. The
// permutation holds u32 entries, so 2^32 is a hard limit; the lower bound
// keeps a tiny index body from making a segment open allocate gigabytes
// (5 bytes per dimension): a million dimensions is far beyond any embedding.
inline constexpr uint64_t kMaxRaBitQCodebookDim = uint64_t{1} << 20;

// The memory a built codebook takes per dimension: one sign and one
// permutation entry. Building it takes time in proportion too.
inline constexpr uint64_t kRaBitQCodebookBytesPerDim = sizeof(int8_t) + sizeof(uint32_t);

struct RaBitQCodebook {
  RaBitQConfig config;
  std::vector<int8_t> random_signs;   // one sign per dimension
  std::vector<uint32_t> random_perm;  // a permutation of 0 .. dim - 1 when built
  uint64_t version = 0;               // built: ms since the UNIX epoch; read: as stored

  // Builds the seeded codebook of `config`: signs and permutation from a
  // generator seeded with `config.seed`, `version` from the wall clock (0 if
  // the clock reads before the epoch), `config` kept unchanged.
  // Fails only for `config.dim` above kMaxRaBitQCodebookDim, with InvalidData
  // "RaBitQ codebook dimension too large"; the caller skips that index.
  static IoResult<RaBitQCodebook> create(const RaBitQConfig& config);

  friend bool operator==(const RaBitQCodebook&, const RaBitQCodebook&) = default;
};

inline constexpr std::string_view kRaBitQDimTooLarge = "RaBitQ codebook dimension too large";

struct QuantizedVector {
  std::vector<uint8_t> bits;
  float dist_to_centroid = 0.0f;
  float self_dot = 0.0f;
  uint32_t popcount = 0;

  friend bool operator==(const QuantizedVector&, const QuantizedVector&) = default;
};

struct RaBitQIndex {
  RaBitQCodebook codebook;  // as stored in the body, never rebuilt
  std::vector<float> centroid;
  std::vector<QuantizedVector> vectors;
  std::optional<std::vector<std::vector<float>>> raw_vectors;

  // Reads one whole body: exactly one JSON value, only whitespace after it.
  static dsl::JsonResult<RaBitQIndex> from_json(std::span<const uint8_t> body);

  friend bool operator==(const RaBitQIndex&, const RaBitQIndex&) = default;
};

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonRecord<zelvar::RaBitQConfig> {
  using R = zelvar::RaBitQConfig;
  static constexpr std::string_view name = "RaBitQConfig";
  static constexpr auto members = std::tuple{
      json_required("dim", &R::dim, &read_usize),
      json_required("query_bits", &R::query_bits),
      json_required("seed", &R::seed),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::RaBitQCodebook> {
  using R = zelvar::RaBitQCodebook;
  static constexpr std::string_view name = "RaBitQCodebook";
  static constexpr auto members = std::tuple{
      json_required("config", &R::config),
      json_required("random_signs", &R::random_signs),
      json_required("random_perm", &R::random_perm),
      json_required("version", &R::version),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::QuantizedVector> {
  using R = zelvar::QuantizedVector;
  static constexpr std::string_view name = "QuantizedVector";
  static constexpr auto members = std::tuple{
      json_required("bits", &R::bits),
      json_required("dist_to_centroid", &R::dist_to_centroid),
      json_required("self_dot", &R::self_dot),
      json_required("popcount", &R::popcount),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::RaBitQIndex> {
  using R = zelvar::RaBitQIndex;
  static constexpr std::string_view name = "RaBitQIndex";
  static constexpr auto members = std::tuple{
      json_required("codebook", &R::codebook),
      json_required("centroid", &R::centroid),
      json_required("vectors", &R::vectors),
      json_optional("raw_vectors", &R::raw_vectors),
  };
};
