// IVFPQIndex: the body of an IVF-PQ (product-quantised inverted file) index.
//
// One body is the JSON text of one vector-file entry of index type 2. It
// carries its configuration, the versions of the side files it was built
// against and its clusters, whose codes are `PQVector`s. The segment keeps the
// body as read; nothing compares its `dim` or versions with the codebook or
// centroid files, or with the schema.
//
// JSON form (object, or array in this order; every member required):
//   IVFPQIndex  {"config": IVFPQConfig, "centroids_version": u64,
//                "codebook_version": u64, "clusters": ClusterStorage<PQVector>}
//   IVFPQConfig {"dim": usize, "default_nprobe": usize, "store_raw": bool,
//                "rerank_factor": usize}
//   PQVector    {"codes": [u8...], "norm": f32}
//
// Thread safety: plain values, immutable once read; share freely.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/dsl/json_record.h"
#include "core/error/io_error.h"
#include "core/structures/vector/ivf/cluster.h"

namespace zelvar {

// One product-quantised vector: a centroid number per subspace, and its norm.
struct PQVector {
  std::vector<uint8_t> codes;
  float norm = 0.0f;

  friend bool operator==(const PQVector&, const PQVector&) = default;
};

struct IVFPQConfig {
  uint64_t dim = 0;
  uint64_t default_nprobe = 0;
  bool store_raw = false;
  uint64_t rerank_factor = 0;

  friend bool operator==(const IVFPQConfig&, const IVFPQConfig&) = default;
};

struct IVFPQIndex {
  IVFPQConfig config;
  uint64_t centroids_version = 0;
  uint64_t codebook_version = 0;
  ClusterStorage<PQVector> clusters;

  // Reads one whole body. A body the JSON reader rejects fails with
  // InvalidData whose text is the reader's, position included.
  static IoResult<IVFPQIndex> from_bytes(std::span<const uint8_t> bytes);

  friend bool operator==(const IVFPQIndex&, const IVFPQIndex&) = default;
};

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonRecord<zelvar::PQVector> {
  using V = zelvar::PQVector;
  static constexpr std::string_view name = "PQVector";
  static constexpr auto members = std::tuple{
      json_required("codes", &V::codes),
      json_required("norm", &V::norm),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::IVFPQConfig> {
  using C = zelvar::IVFPQConfig;
  static constexpr std::string_view name = "IVFPQConfig";
  static constexpr auto members = std::tuple{
      json_required("dim", &C::dim, &read_usize),
      json_required("default_nprobe", &C::default_nprobe, &read_usize),
      json_required("store_raw", &C::store_raw),
      json_required("rerank_factor", &C::rerank_factor, &read_usize),
  };
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::IVFPQIndex> {
  using I = zelvar::IVFPQIndex;
  static constexpr std::string_view name = "IVFPQIndex";
  static constexpr auto members = std::tuple{
      json_required("config", &I::config),
      json_required("centroids_version", &I::centroids_version),
      json_required("codebook_version", &I::codebook_version),
      json_required("clusters", &I::clusters),
  };
};
