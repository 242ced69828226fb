// Configuration of a sparse-vector field, as carried by its schema entry.
//
// A schema record kept here, beside the posting structures, where the
// engine's module layout places the sparse-vector configuration. The schema
// (core/dsl/schema.h) includes this header, the one include in the engine
// that points upward; this header itself needs nothing above the JSON record
// reader, which lies below the schema.
//
// The configuration is read with the schema and kept unchanged; no reader in
// this engine acts on it. JSON form, either
//   {"index_size": "U16"|"U32",
//    "weight_quantization": "Float32"|"Float16"|"UInt8"|"UInt4",
//    "weight_threshold": number = 0.0}
// or the array of the same values in this order, the threshold optional at
// the end. Spellings are compared exactly (no case folding, no ordinals).
//
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <tuple>

#include "core/dsl/json_record.h"

namespace zelvar {

// Width of the dimension indices of a sparse vector.
enum class IndexSize : uint8_t {
  U16,
  U32,
};

// How the weights of a sparse vector are quantized.
enum class WeightQuantization : uint8_t {
  Float32,
  Float16,
  UInt8,
  UInt4,
};

// The JSON spellings, indexed by the enumerators' values.
inline constexpr std::array<std::string_view, 2> kIndexSizeNames = {"U16", "U32"};
inline constexpr std::array<std::string_view, 4> kWeightQuantizationNames = {
    "Float32", "Float16", "UInt8", "UInt4"};

std::string_view index_size_name(IndexSize v);
std::string_view weight_quantization_name(WeightQuantization v);

struct SparseVectorConfig {
  IndexSize index_size = IndexSize::U16;
  WeightQuantization weight_quantization = WeightQuantization::Float32;
  float weight_threshold = 0.0f;

  friend bool operator==(const SparseVectorConfig&, const SparseVectorConfig&) = default;
};

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonEnum<zelvar::IndexSize> {
  static constexpr auto names = zelvar::kIndexSizeNames;
};

template <>
struct zelvar::dsl::JsonEnum<zelvar::WeightQuantization> {
  static constexpr auto names = zelvar::kWeightQuantizationNames;
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::SparseVectorConfig> {
  using C = zelvar::SparseVectorConfig;
  static constexpr std::string_view name = "SparseVectorConfig";
  static constexpr auto members = std::tuple{
      json_required("index_size", &C::index_size),
      json_required("weight_quantization", &C::weight_quantization),
      json_defaulted("weight_threshold", &C::weight_threshold),
  };
};
