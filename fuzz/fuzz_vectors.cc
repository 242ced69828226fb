// A segment's ".vectors" file with its two side files, the coarse centroids
// and the product-quantization codebook.
//
// Input: one schema selector byte, then up to three parts joined by
// kPartSeparator: the ".vectors" file, the centroid file, the codebook file.
// A side file whose part is absent does not exist. The schema has four
// fields; two bits of the selector per field (fields 0 to 2, and bit 6 for
// field 3) choose what the field's entry says:
//   0  a text field without a dense-vector configuration
//   1  a dense-vector configuration without side-file paths
//   2  ... naming the centroid file only
//   3  ... naming both side files
// The side files are also decoded directly, whatever the vector file holds.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "core/dsl/schema.h"
#include "core/structures/vector/ivf/coarse_centroids.h"
#include "core/structures/vector/quantization/pq_codebook.h"
#include "core/structures/vector/vector_file.h"
#include "fuzz/support.h"

namespace zelvar::fuzz {
namespace {

std::filesystem::path centroids_path() { return scratch_dir() / "centroids.cvch"; }
std::filesystem::path codebook_path() { return scratch_dir() / "codebook.kbcs"; }

Schema schema_for(uint8_t selector) {
  std::vector<FieldEntry> entries;
  NameToField names;
  for (size_t i = 0; i < 4; ++i) {
    const unsigned kind = i < 3 ? (selector >> (2 * i)) & 3 : ((selector >> 6) & 1) * 3;
    FieldEntry e;
    e.name = "f" + std::to_string(i);
    if (kind > 0) {
      e.field_type = FieldType::DenseVector;
      DenseVectorConfig config;
      config.dim = 2;
      config.index_type = static_cast<VectorIndexType>(i % 3);
      if (kind >= 2) config.coarse_centroids_path = centroids_path().string();
      if (kind == 3) config.pq_codebook_path = codebook_path().string();
      e.dense_vector_config = std::move(config);
    }
    names.emplace(e.name, static_cast<Field>(i));
    entries.push_back(std::move(e));
  }
  return Schema(std::move(entries), std::move(names));
}

void place(const std::filesystem::path& path, const std::vector<std::span<const uint8_t>>& parts, size_t i) {
  if (i < parts.size()) {
    write_file(path, parts[i]);
  } else {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

}  // namespace
}  // namespace zelvar::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)zelvar::fuzz::scratch_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelvar;
  using namespace zelvar::fuzz;
  if (size < 1) return 0;
  HeapWatch watch("vectors", size);
  const Schema schema = schema_for(data[0]);
  const auto parts = split_parts(std::span(data + 1, size - 1), 3);
  place(centroids_path(), parts, 1);
  place(codebook_path(), parts, 2);
  if (parts.size() > 1) {
    if (auto c = CoarseCentroids::from_bytes(parts[1]); !c) (void)c.error().to_string();
  }
  if (parts.size() > 2) {
    if (auto c = PQCodebook::from_bytes(parts[2]); !c) (void)c.error().to_string();
  }

  auto loaded = read_vectors_file(memory_file(parts[0]), schema);
  if (!loaded) {
    (void)loaded.error().to_string();
    return 0;
  }
  for (const auto& [field, index] : loaded->vector_indexes) {
    const bool complete = std::visit(
        [](const auto& kind) {
          using K = std::decay_t<decltype(kind)>;
          if constexpr (std::is_same_v<K, VectorIndex::RaBitQ>) {
            return kind.index != nullptr;
          } else {
            return kind.index != nullptr && kind.codebook != nullptr;
          }
        },
        index.kind);
    if (!complete) fail("vectors: a loaded index without its body or codebook");
    (void)field;
  }
  return 0;
}
