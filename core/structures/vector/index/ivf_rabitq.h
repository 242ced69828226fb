// IVFRaBitQIndex: the body of an IVF-RaBitQ (RaBitQ-coded inverted file) index.
//
// One body is the JSON text of one vector-file entry of index type 1. It
// carries its configuration, the versions of the side files it was built
// against and its clusters, whose codes are `QuantizedVector`s. It stores no
// rotation codebook: the loader rebuilds one from `config.dim` at every
// segment open. Nothing else of the body is consulted; its versions and
// `dim` are not compared with the centroid file or the schema.
//
// JSON form (object, or array in this order; every member required):
//   IVFRaBitQIndex  {"config": IVFRaBitQConfig, "centroids_version": u64,
//                    "codebook_version": u64,
//                    "clusters": ClusterStorage<QuantizedVector>}
//   IVFRaBitQConfig {"dim": usize, "default_nprobe": usize, "store_raw": bool,
//                    "rerank_factor": usize}
//
// Thread safety: plain values, immutable once read; share freely.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>

#include "core/dsl/json_record.h"
#include "core/structures/vector/ivf/cluster.h"
#include "core/structures/vector/quantization/rabitq.h"

namespace zelvar {

struct IVFRaBitQConfig {
  uint64_t dim = 0;
  uint64_t default_nprobe = 0;
  bool store_raw = false;
  uint64_t rerank_factor = 0;

  friend bool operator==(const IVFRaBitQConfig&, const IVFRaBitQConfig&) = default;
};

struct IVFRaBitQIndex {
  IVFRaBitQConfig config;
  uint64_t centroids_version = 0;
  uint64_t codebook_version = 0;
  ClusterStorage<QuantizedVector> clusters;

  // Reads one whole body; fails with the JSON reader's error.
  static dsl::JsonResult<IVFRaBitQIndex> from_json(std::span<const uint8_t> bytes);

  friend bool operator==(const IVFRaBitQIndex&, const IVFRaBitQIndex&) = default;
};

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonRecord<zelvar::IVFRaBitQConfig> {
  using C = zelvar::IVFRaBitQConfig;
  static constexpr std::string_view name = "IVFRaBitQConfig";
  static constexpr auto members = std::tuple{
      json_required("dim", &C::dim, &read_usize),
      json_required("default_nprobe", &C::default_nprobe, &read_usize),
      json_required("store_raw", &C::store_raw),
      json_required("rerank_factor", &C::rerank_factor, &read_usize),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::IVFRaBitQIndex> {
  using I = zelvar::IVFRaBitQIndex;
  static constexpr std::string_view name = "IVFRaBitQIndex";
  static constexpr auto members = std::tuple{
      json_required("config", &I::config),
      json_required("centroids_version", &I::centroids_version),
      json_required("codebook_version", &I::codebook_version),
      json_required("clusters", &I::clusters),
  };
};
