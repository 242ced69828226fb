// Well-formed sample files for the fuzz targets: the seeds they start from and
// the small index that the whole-index target opens. Built with the test-only
// writers (tests/writer), deterministically: the same build writes the same
// bytes every time.
//
// The sample index has two segments. Segment "a1" puts every posting list in
// ".post" (several blocks for common terms), compresses its term blocks and
// store blocks against dictionaries, has a sparse index, and carries a
// ".vectors" file with a RaBitQ, an IVF-RaBitQ and an IVF-PQ body; segment "b2"
// keeps its postings inline and its blocks without dictionaries. Its schema
// names a coarse-centroid file and a codebook file, by absolute path, in the
// folder that kDirPlaceholder stands for.
//
// Test code: failures throw std::runtime_error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/support.h"

namespace zelvar::fuzz::samples {

// Stands for the sample index's folder in the schema's side-file paths.
inline constexpr std::string_view kDirPlaceholder = "@DIR@";

// "schema.json" of the sample index, side-file paths under kDirPlaceholder.
std::string schema_json();
// `schema` with every kDirPlaceholder replaced by `dir`.
std::string resolve_schema(std::string_view schema, const std::filesystem::path& dir);

// Stored documents of several shapes (every value kind, both record forms).
std::vector<std::string> stored_documents();

// Index bodies of the vector file.
std::string rabitq_body();
std::string ivf_body(uint64_t dim);  // reads as IVF-RaBitQ and as IVF-PQ alike
std::string ivf_pq_body();

// A vector file holding `bodies` as (field, index type, body) entries, the
// directory first and the bodies in entry order after it.
struct VectorEntry {
  uint32_t field_id;
  uint8_t index_type;
  std::string body;
};
Bytes vectors_file(const std::vector<VectorEntry>& entries);
// The sample index's vector file: RaBitQ and then IVF-RaBitQ for field 3,
// IVF-PQ for field 4.
Bytes sample_vectors_file();

// Coarse-centroid files: version 1, or version 2 with the extension.
Bytes centroid_file(uint32_t version);
// Codebook files: version 1 (old layout, norms), or version 2 with a rotation.
Bytes codebook_file(uint32_t version);

// One file of the sample index: its path relative to the index folder (the
// two side files sit in the same folder) and its bytes as written, the schema
// still holding kDirPlaceholder.
struct SampleFile {
  std::string name;
  Bytes bytes;
};

// Writes the sample index into `dir` (the schema's paths resolved to `dir`)
// and returns its files in a fixed order: "schema.json", "segments.json",
// segment "a1"'s ".meta", ".terms", ".post", ".store" and ".vectors", the
// centroid file, the codebook file, then segment "b2"'s files.
std::vector<SampleFile> write_sample_index(const std::filesystem::path& dir);

// Terms that the sample index holds (and some it does not), for searches.
std::vector<std::string> sample_terms();

}  // namespace zelvar::fuzz::samples
