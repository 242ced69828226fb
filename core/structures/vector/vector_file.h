// Reader of a segment's ".vectors" file: the dense-vector indexes of its fields.
//
// Byte layout (little-endian; no magic, no version, no checksum):
//
//   0          u32  count: number of directory entries
//   4          count x 21 bytes, packed: the directory
//                0  u32  field_id    schema field number of the indexed field
//                4  u8   index_type  0 RaBitQ, 1 IVF-RaBitQ, 2 IVF-PQ; any
//                                    other value: IVF-RaBitQ if the body reads
//                                    as one, else RaBitQ
//                5  u64  offset      absolute offset of the body in the file
//               13  u64  length      body length in bytes
//   anywhere   the bodies: JSON text, one per entry, at the entry's range.
//              Bodies may come in any order, overlap, or leave gaps.
//
// Loading is lenient where the file is absent or unusable and strict where it
// is unreadable:
//   - no schema field has a dense-vector configuration: nothing is touched;
//   - the file cannot be opened, is shorter than 4 bytes or has count 0:
//     the segment simply has no vector indexes;
//   - a body that does not parse as its kind, or an IVF-PQ body whose
//     codebook file is not configured or does not load, loses only that
//     index; so does an IVF-RaBitQ body whose dimension is too large for its
//     rotation codebook, or whose codebook would exceed the codebook budget
//     (below);
//   - a centroid file that does not load costs nothing: the next IVF entry
//     tries its own field's file; the first file that loads is the segment's
//     only one, and no other is read afterwards;
//   - a directory or body range that cannot be read (beyond the end of the
//     file, say) fails the load with that error, which fails the segment.
// Entries are handled one at a time in file order; a later entry for the same
// field replaces the earlier index. Centroid and codebook files are read by
// the paths in the schema, used unchanged, on the calling thread.
//
// Memory: the directory is sized only after its bytes were read, and each
// body's bytes are released before the next entry is read, so the file is
// never held whole. Two budgets, shared by all the segments that one index
// open or reload loads (so that many small segments cannot each claim the
// constants; see VectorBudget), bound what the bodies can make a load do,
// with N the total size of the vector files read:
//   - bodies: the lengths of the bodies read add up to at most
//     8 x N + 64 MiB; an entry within its file beyond that is skipped unread
//     (entries may name one body over and over, each time for another field);
//   - codebooks: the IVF-RaBitQ rotation codebooks built take 5 bytes per
//     dimension (and time in proportion, about 35 ms for a million
//     dimensions), and a tiny body can ask for a million dimensions; they
//     take at most 8 x N + 16 MiB. An index whose codebook would go beyond
//     that is left out like a body that does not parse; the segment keeps its
//     other indexes.
// IVF-RaBitQ indexes of one segment with equal dimensions share one rotation
// codebook (the seed is fixed, so their codebooks would be equal anyway): a
// codebook is built, and counted, once per distinct dimension.
//
// Thread safety: the loader runs on the thread that opens the segment and
// takes no locks; what it returns is immutable and shared read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/directories/directory.h"
#include "core/directories/lazy_file.h"
#include "core/dsl/dense_vector_config.h"
#include "core/dsl/schema.h"
#include "core/error/io_error.h"
#include "core/structures/vector/index/ivf_pq.h"
#include "core/structures/vector/index/ivf_rabitq.h"
#include "core/structures/vector/ivf/coarse_centroids.h"
#include "core/structures/vector/quantization/pq_codebook.h"
#include "core/structures/vector/quantization/rabitq.h"

namespace zelvar {

struct VectorDirectoryEntry {
  uint32_t field_id = 0;
  uint8_t index_type = 0;
  uint64_t offset = 0;
  uint64_t length = 0;

  friend bool operator==(const VectorDirectoryEntry&, const VectorDirectoryEntry&) = default;
};

inline constexpr size_t kVectorDirectoryEntrySize = 21;

// The loaded index of one field: one of three kinds, in the order of their
// index-type codes (the variant's index equals the code for codes 0 to 2).
struct VectorIndex {
  struct RaBitQ {
    std::shared_ptr<const RaBitQIndex> index;
  };
  struct IvfRaBitQ {
    std::shared_ptr<const IVFRaBitQIndex> index;
    std::shared_ptr<const RaBitQCodebook> codebook;  // rebuilt at load
  };
  struct ScaNN {
    std::shared_ptr<const IVFPQIndex> index;
    std::shared_ptr<const PQCodebook> codebook;  // from the field's codebook file
  };

  std::variant<RaBitQ, IvfRaBitQ, ScaNN> kind;

  VectorIndexType type() const { return static_cast<VectorIndexType>(kind.index()); }
};

// What a segment keeps of its vector file.
struct LoadedVectors {
  // At most one index per field id. Nothing depends on the iteration order;
  // an ordered map keeps insertion cheap whatever ids a file names.
  std::map<uint32_t, VectorIndex> vector_indexes;
  // At most one per segment, whatever the number of IVF indexes.
  std::shared_ptr<const CoarseCentroids> coarse_centroids;
};

// What the vector loads of one index open or reload may spend, in two pools:
// bytes of index bodies read and parsed, and bytes of rotation codebooks
// built (kRaBitQCodebookBytesPerDim per dimension). Each pool starts at its
// constant and grows by its factor times the size of every vector file read.
// Honest files name each body once, so their bodies never reach the factor
// alone, and honest bodies with vectors in them earn their codebooks many
// times over; the codebook constant leaves room for three codebooks of the
// largest dimension.
inline constexpr uint64_t kVectorBodyBudgetFactor = 8;
inline constexpr uint64_t kVectorBodyBudgetSlack = uint64_t{64} << 20;
inline constexpr uint64_t kVectorCodebookBudgetFactor = 8;
inline constexpr uint64_t kVectorCodebookBudgetSlack = uint64_t{16} << 20;

// The budget of one index open or reload, shared by its segments so that many
// small segments cannot each claim the constants. Not thread-safe: the
// segments of one load are opened one after another.
class VectorBudget {
 public:
  VectorBudget() = default;

  // Adds to both pools what a vector file of `file_size` bytes earns.
  void earn(uint64_t file_size);
  // Each takes `bytes` from its pool if that many are left; if not, it takes
  // nothing and returns false.
  bool take_body(uint64_t bytes);
  bool take_codebook(uint64_t bytes);

  uint64_t body_bytes() const { return body_bytes_; }
  uint64_t codebook_bytes() const { return codebook_bytes_; }

 private:
  uint64_t body_bytes_ = kVectorBodyBudgetSlack;
  uint64_t codebook_bytes_ = kVectorCodebookBudgetSlack;
};

// The vector step of a segment open: the indexes of the segment's vector
// file `vectors_file` in `directory`, for `schema`, spending `budget`. Returns nothing (an empty map, no centroids) when no schema
// field has a dense-vector configuration, without touching the file system,
// and when the file cannot be opened.
IoResult<LoadedVectors> load_vectors_file(const FsDirectory& directory,
                                          std::string_view vectors_file, const Schema& schema,
                                          VectorBudget& budget);

// The same for a file already opened lazily; the dense-vector check is the
// caller's. Every range is read through `file`, one at a time.
IoResult<LoadedVectors> read_vectors_file(const LazyFileHandle& file, const Schema& schema,
                                          VectorBudget& budget);

// Decodes `count` packed directory entries from the start of `bytes`. Fails
// with UnexpectedEof "failed to fill whole buffer" when the bytes end inside
// an entry.
IoResult<std::vector<VectorDirectoryEntry>> read_vector_directory(std::span<const uint8_t> bytes,
                                                                  uint32_t count);

}  // namespace zelvar
