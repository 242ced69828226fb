// Cluster contents of an inverted-file (IVF) vector index body.
//
// An IVF body groups its vectors by cluster (the number of a coarse
// centroid): for each cluster id the documents assigned to it, their
// quantised codes and, optionally, their raw vectors. The records are generic
// over the code record (`QuantizedVector` for IVF-RaBitQ, `PQVector` for
// IVF-PQ); whatever reads a `Code` through JsonRead<Code> can be stored.
//
// JSON form (either a record's object form or its array form in this order):
//   ClusterStorage {"clusters": {"<u32>": ClusterData, ...}, "total_vectors": usize}
//   ClusterData    {"doc_ids": [u32...], "codes": [Code...],
//                   "raw_vectors": [[f32...]...] | null}   ("raw_vectors" may be
//                   left out of the object form; the array form holds all three)
// The map of clusters has only the object form. Its keys are decimal integers
// from 0 to 4294967295 written inside the quotes and nothing else: no blanks,
// no sign, no escapes, no leading zeros. A repeated cluster id replaces the
// earlier cluster; a repeated member of a record is an error.
//
// Everything is taken as written: no length is compared with another, and
// `total_vectors` need not match the clusters. Nothing is sized from a count
// in the input; every list grows as its elements arrive.
//
// Thread safety: plain values, immutable once read; share freely.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/dsl/json_record.h"

namespace zelvar {

template <class Code>
struct ClusterData {
  std::vector<uint32_t> doc_ids;
  std::vector<Code> codes;
  std::optional<std::vector<std::vector<float>>> raw_vectors;  // none unless written

  friend bool operator==(const ClusterData&, const ClusterData&) = default;
};

template <class Code>
struct ClusterStorage {
  // Nothing iterates the clusters in an observable order. An ordered tree
  // keeps every insertion logarithmic whatever ids a file chooses, where a
  // hash table over the raw ids could be driven into long collision chains.
  std::map<uint32_t, ClusterData<Code>> clusters;
  uint64_t total_vectors = 0;

  friend bool operator==(const ClusterStorage&, const ClusterStorage&) = default;
};

}  // namespace zelvar

template <class Code>
struct zelvar::dsl::JsonRecord<zelvar::ClusterData<Code>> {
  using D = zelvar::ClusterData<Code>;
  static constexpr std::string_view name = "ClusterData";
  static constexpr auto members = std::tuple{
      json_required("doc_ids", &D::doc_ids),
      json_required("codes", &D::codes),
      json_optional("raw_vectors", &D::raw_vectors),
  };
};

template <class Code>
struct zelvar::dsl::JsonRecord<zelvar::ClusterStorage<Code>> {
  using S = zelvar::ClusterStorage<Code>;
  static constexpr std::string_view name = "ClusterStorage";
  static constexpr auto members = std::tuple{
      json_required("clusters", &S::clusters),
      json_required("total_vectors", &S::total_vectors, &read_usize),
  };
};
