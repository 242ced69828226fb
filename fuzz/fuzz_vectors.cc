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
// A load that succeeds must not have skipped a body beyond the end of the
// file: such a body fails the load.
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

// Whether every directory entry's body lies within `file`. A load that
// succeeds must have read every body, so this holds for it: a body beyond the
// end of the file fails the load (a file without a readable count or with
// count 0 has no entries at all).
bool every_body_within(std::span<const uint8_t> file) {
  if (file.size() < 4) return true;
  const uint32_t count = static_cast<uint32_t>(file[0]) | static_cast<uint32_t>(file[1]) << 8 |
                         static_cast<uint32_t>(file[2]) << 16 | static_cast<uint32_t>(file[3]) << 24;
  auto read_u64 = [&](size_t at) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v |= static_cast<uint64_t>(file[at + i]) << (8 * i);
    return v;
  };
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t at = 4 + i * kVectorDirectoryEntrySize;
    if (at + kVectorDirectoryEntrySize > file.size()) return true;  // the directory read fails first
    const uint64_t offset = read_u64(at + 5);
    const uint64_t length = read_u64(at + 13);
    if (offset > file.size() || length > file.size() - offset) return false;
  }
  return true;
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

  VectorBudget budget;
  auto loaded = read_vectors_file(memory_file(parts[0]), schema, budget);
  if (!loaded) {
    (void)loaded.error().to_string();
    return 0;
  }
  if (!every_body_within(parts[0])) fail("vectors: a body beyond the end of the file did not fail the load");
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
