#include "core/structures/vector/vector_file.h"

#include <limits>
#include <string>
#include <utility>

#include "core/error/result.h"
#include "core/structures/vector/quantization/side_file.h"

namespace zelvar {
namespace {

// The rotation codebook of every IVF-RaBitQ index: the query bits and seed
// are fixed, only the dimension comes from the body.
constexpr uint8_t kIvfRaBitQQueryBits = 4;
constexpr uint64_t kIvfRaBitQSeed = 42;

constexpr uint8_t kTypeRaBitQ = 0;
constexpr uint8_t kTypeIvfRaBitQ = 1;
constexpr uint8_t kTypeIvfPq = 2;

// The dense-vector configuration of field `field_id`, if the schema has that
// field and it carries one.
const DenseVectorConfig* dense_config(const Schema& schema, uint32_t field_id) {
  const FieldEntry* entry = schema.get_field_entry(field_id);
  if (entry == nullptr || !entry->dense_vector_config) return nullptr;
  return &*entry->dense_vector_config;
}

// Budget arithmetic saturates rather than wraps.
constexpr uint64_t kMaxBudget = std::numeric_limits<uint64_t>::max();
uint64_t add_saturating(uint64_t a, uint64_t b) { return b > kMaxBudget - a ? kMaxBudget : a + b; }
uint64_t multiply_saturating(uint64_t a, uint64_t factor) {
  return a > kMaxBudget / factor ? kMaxBudget : a * factor;
}

// Takes `bytes` out of `pool` if it holds that many.
bool take(uint64_t& pool, uint64_t bytes) {
  if (bytes > pool) return false;
  pool -= bytes;
  return true;
}

// One load: the result under construction and the codebooks built so far.
// The schema and the budget must outlive the loader.
class Loader {
 public:
  Loader(const Schema& schema, VectorBudget& budget) : schema_(schema), budget_(budget) {}

  void handle(const VectorDirectoryEntry& entry, std::span<const uint8_t> body) {
    switch (entry.index_type) {
      case kTypeRaBitQ:
        if (auto index = RaBitQIndex::from_json(body)) insert_rabitq(entry, std::move(*index));
        return;
      case kTypeIvfRaBitQ:
        if (auto index = IVFRaBitQIndex::from_json(body)) insert_ivf_rabitq(entry, std::move(*index));
        return;
      case kTypeIvfPq:
        if (auto index = IVFPQIndex::from_bytes(body)) insert_ivf_pq(entry, std::move(*index));
        return;
      default:
        // Codes without a kind of their own: whichever of the two RaBitQ
        // forms the body reads as.
        if (auto ivf = IVFRaBitQIndex::from_json(body)) {
          insert_ivf_rabitq(entry, std::move(*ivf));
        } else if (auto flat = RaBitQIndex::from_json(body)) {
          insert_rabitq(entry, std::move(*flat));
        }
        return;
    }
  }

  LoadedVectors take() && { return std::move(result_); }

 private:
  void insert(uint32_t field_id, VectorIndex index) {
    result_.vector_indexes.insert_or_assign(field_id, std::move(index));
  }

  void insert_rabitq(const VectorDirectoryEntry& entry, RaBitQIndex index) {
    insert(entry.field_id,
           VectorIndex{VectorIndex::RaBitQ{std::make_shared<const RaBitQIndex>(std::move(index))}});
  }

  void insert_ivf_rabitq(const VectorDirectoryEntry& entry, IVFRaBitQIndex index) {
    load_centroids(entry.field_id);
    std::shared_ptr<const RaBitQCodebook> codebook = rabitq_codebook(index.config.dim);
    if (!codebook) return;  // a dimension refused, or beyond the codebook budget
    insert(entry.field_id,
           VectorIndex{VectorIndex::IvfRaBitQ{std::make_shared<const IVFRaBitQIndex>(std::move(index)),
                                              std::move(codebook)}});
  }

  void insert_ivf_pq(const VectorDirectoryEntry& entry, IVFPQIndex index) {
    // The centroids come first: they stay loaded even if the codebook fails.
    load_centroids(entry.field_id);
    const DenseVectorConfig* config = dense_config(schema_, entry.field_id);
    if (config == nullptr || !config->pq_codebook_path) return;
    IoResult<PQCodebook> codebook = PQCodebook::load(*config->pq_codebook_path);
    if (!codebook) return;
    insert(entry.field_id,
           VectorIndex{VectorIndex::ScaNN{std::make_shared<const IVFPQIndex>(std::move(index)),
                                          std::make_shared<const PQCodebook>(std::move(*codebook))}});
  }

  // The segment's centroids, from the file of `field_id`'s configuration,
  // unless an earlier entry already loaded some. Failures are no error.
  void load_centroids(uint32_t field_id) {
    if (result_.coarse_centroids) return;
    const DenseVectorConfig* config = dense_config(schema_, field_id);
    if (config == nullptr || !config->coarse_centroids_path) return;
    IoResult<CoarseCentroids> centroids = CoarseCentroids::load(*config->coarse_centroids_path);
    if (centroids) result_.coarse_centroids = std::make_shared<const CoarseCentroids>(std::move(*centroids));
  }

  // The codebook for `dim`, built once per dimension and load; null when the
  // dimension is refused or its codebook would not fit in what is left of the
  // budget. Checked before building, so a refused codebook costs nothing.
  std::shared_ptr<const RaBitQCodebook> rabitq_codebook(uint64_t dim) {
    auto found = codebooks_.find(dim);
    if (found != codebooks_.end()) return found->second;
    if (dim > kMaxRaBitQCodebookDim) return nullptr;  // `create` refuses it too
    if (!budget_.take_codebook(dim * kRaBitQCodebookBytesPerDim)) return nullptr;
    IoResult<RaBitQCodebook> built =
        RaBitQCodebook::create(RaBitQConfig{dim, kIvfRaBitQQueryBits, kIvfRaBitQSeed});
    if (!built) return nullptr;
    auto shared = std::make_shared<const RaBitQCodebook>(std::move(*built));
    codebooks_.emplace(dim, shared);
    return shared;
  }

  const Schema& schema_;
  VectorBudget& budget_;
  LoadedVectors result_;
  std::map<uint64_t, std::shared_ptr<const RaBitQCodebook>> codebooks_;
};

}  // namespace

void VectorBudget::earn(uint64_t file_size) {
  body_bytes_ = add_saturating(body_bytes_, multiply_saturating(file_size, kVectorBodyBudgetFactor));
  codebook_bytes_ =
      add_saturating(codebook_bytes_, multiply_saturating(file_size, kVectorCodebookBudgetFactor));
}

bool VectorBudget::take_body(uint64_t bytes) { return take(body_bytes_, bytes); }

bool VectorBudget::take_codebook(uint64_t bytes) { return take(codebook_bytes_, bytes); }

IoResult<std::vector<VectorDirectoryEntry>> read_vector_directory(std::span<const uint8_t> bytes,
                                                                  uint32_t count) {
  // Checked before anything is reserved: the count must be backed by bytes.
  if (bytes.size() / kVectorDirectoryEntrySize < count) return std::unexpected(ran_out_error());
  std::vector<VectorDirectoryEntry> entries;
  entries.reserve(count);
  ByteCursor cursor(bytes);
  for (uint32_t i = 0; i < count; ++i) {
    VectorDirectoryEntry& entry = entries.emplace_back();
    ZELVAR_TRY(entry.field_id, cursor.u32());
    ZELVAR_TRY(entry.index_type, cursor.u8());
    ZELVAR_TRY(entry.offset, cursor.u64());
    ZELVAR_TRY(entry.length, cursor.u64());
  }
  return entries;
}

IoResult<LoadedVectors> read_vectors_file(const LazyFileHandle& file, const Schema& schema,
                                          VectorBudget& budget) {
  budget.earn(file.file_size());
  // A file too short for its count (the range check refuses it), or one
  // that cannot be read at all, leaves the segment without vector indexes.
  IoResult<OwnedBytes> count_bytes = file.read_bytes_range(ByteRange{0, 4});
  if (!count_bytes || count_bytes->empty()) return LoadedVectors{};
  ZELVAR_TRY(const uint32_t count, ByteCursor(count_bytes->as_slice()).u32());
  if (count == 0) return LoadedVectors{};

  std::vector<VectorDirectoryEntry> entries;
  {
    const uint64_t directory_end = 4 + uint64_t{count} * kVectorDirectoryEntrySize;
    ZELVAR_TRY(OwnedBytes directory, file.read_bytes_range(ByteRange{4, directory_end}));
    ZELVAR_TRY(entries, read_vector_directory(directory.as_slice(), count));
  }

  // Entries may share or overlap bodies, so a small directory could name the
  // same large body thousands of times and make the open parse for minutes
  // and keep a parsed copy per field. Bodies are read and parsed only while
  // the budget, which honest files (each body named by a few entries at most)
  // never exhaust, has room; an entry beyond it is skipped like a body that
  // does not parse.
  Loader loader(schema, budget);
  for (const VectorDirectoryEntry& entry : entries) {
    const std::optional<ByteRange> body_range = ByteRange::at(entry.offset, entry.length);
    if (!body_range) {
      return std::unexpected(IoError(IoErrorKind::InvalidInput,
                                     "Range of " + std::to_string(entry.length) + " bytes at offset " +
                                         std::to_string(entry.offset) +
                                         " overflows a 64-bit file offset"));
    }
    const ByteRange range = *body_range;
    // Only a body that lies within the file may be skipped for the budget: a
    // range beyond the file is unreadable, and its read below fails the load
    // with the range error before touching the file.
    if (range.end <= file.file_size() && !budget.take_body(entry.length)) continue;
    // Read, parsed and released before the next entry is read.
    ZELVAR_TRY(OwnedBytes body, file.read_bytes_range(range));
    loader.handle(entry, body.as_slice());
  }
  return std::move(loader).take();
}

IoResult<LoadedVectors> load_vectors_file(const FsDirectory& directory, std::string_view vectors_file,
                                          const Schema& schema, VectorBudget& budget) {
  if (!schema.has_dense_vector_fields()) return LoadedVectors{};
  IoResult<LazyFileHandle> file = directory.open_lazy(vectors_file);
  if (!file) return LoadedVectors{};
  return read_vectors_file(*file, schema, budget);
}

}  // namespace zelvar
