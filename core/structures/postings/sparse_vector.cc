#include "core/structures/postings/sparse_vector.h"

namespace zelvar {

std::string_view index_size_name(IndexSize v) {
  return kIndexSizeNames[static_cast<size_t>(v)];
}

std::string_view weight_quantization_name(WeightQuantization v) {
  return kWeightQuantizationNames[static_cast<size_t>(v)];
}

}  // namespace zelvar
