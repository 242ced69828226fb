#include "core/index/index.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/dsl/json_record.h"
#include "core/error/result.h"
#include "core/runtime/runtime.h"
#include "core/segment/segment_id.h"

namespace zelvar {
namespace {

constexpr std::string_view kSchemaFile = "schema.json";
constexpr std::string_view kSegmentsFile = "segments.json";

// The schema's own default fields, or else every indexed text field in
// schema order. Numbers are taken as they stand, unchecked.
std::vector<Field> settle_default_fields(const Schema& schema) {
  if (!schema.default_fields().empty()) return schema.default_fields();
  std::vector<Field> fields;
  for (auto [field, entry] : schema.fields()) {
    if (entry.indexed && entry.field_type == FieldType::Text) fields.push_back(field);
  }
  return fields;
}

}  // namespace

Index::Index(std::shared_ptr<const FsDirectory> directory, std::shared_ptr<const Schema> schema,
             IndexConfig config, SegmentReaders segments, std::vector<Field> default_fields,
             std::shared_ptr<const TokenizerRegistry> tokenizers,
             std::shared_ptr<const WorkerPool> thread_pool)
    : directory_(std::move(directory)),
      schema_(std::move(schema)),
      config_(std::move(config)),
      segments_(std::move(segments)),
      doc_counts_(doc_counts_of(segments_)),
      default_fields_(std::move(default_fields)),
      tokenizers_(std::move(tokenizers)),
      thread_pool_(std::move(thread_pool)) {}

Index::~Index() {
  // Holds are released in field order (members would otherwise go in
  // reverse); the worker pool, last, tells its threads to stop.
  directory_.reset();
  schema_.reset();
  config_.merge_policy.reset();
  segments_.clear();
  doc_counts_.clear();
  default_fields_.clear();
  tokenizers_.reset();
  thread_pool_.reset();
}

Result<std::shared_ptr<Index>> Index::open(FsDirectory directory, IndexConfig config) {
  auto shared_directory = std::make_shared<const FsDirectory>(std::move(directory));

  ZELVAR_TRY(FileSlice schema_file, shared_directory->open_read(kSchemaFile));
  OwnedBytes schema_bytes = schema_file.read_bytes();
  auto parsed = Schema::from_json(schema_bytes.as_slice());
  if (!parsed) return std::unexpected(Error::serialization(parsed.error().to_string()));
  auto schema = std::make_shared<const Schema>(std::move(*parsed));

  // The pool's threads start while the segments load; a segment that fails
  // still fails the open before a pool that could not start.
  WorkerPool::Starting pool_start = WorkerPool::begin(config.num_threads);
  ZELVAR_TRY(SegmentReaders segments, load_segments(shared_directory, schema, config));
  ZELVAR_TRY(std::shared_ptr<const WorkerPool> pool, std::move(pool_start).finish());

  std::vector<Field> default_fields = settle_default_fields(*schema);
  auto tokenizers = std::make_shared<const TokenizerRegistry>(TokenizerRegistry::default_registry());

  return std::shared_ptr<Index>(new Index(std::move(shared_directory), std::move(schema),
                                          std::move(config), std::move(segments),
                                          std::move(default_fields), std::move(tokenizers),
                                          std::move(pool)));
}

namespace {

// The most segments prepared ahead of the first one not yet opened: at most
// that much work is done in vain when a segment fails to open.
constexpr size_t kPreparedAhead = 16;

using PreparedSegment = std::optional<Result<AsyncSegmentReader::Prepared>>;

// Prepares `segments` on blocking threads (see Runtime::run_blocking_each;
// once one has failed, those after it are not started). An entry is left
// empty where that was not done (no runtime, a lone segment, a segment after
// a failed one, memory ran out); the caller then prepares that segment itself
// if it needs it. A lone segment is prepared by the caller, as the runtime
// keeps work whose result the caller holds (see runtime.h): on a blocking
// thread its memory would come from that thread's arena, slower to fill and
// to free.
std::vector<PreparedSegment> prepare_segments(const FsDirectory& directory, std::span<const SegmentId> segments,
                                              size_t cache_blocks) {
  std::vector<PreparedSegment> prepared(segments.size());
  if (segments.size() < 2) return prepared;
  auto runtime = runtime::Runtime::get();
  if (!runtime.has_value()) return prepared;
  auto prepare = [&](size_t i) noexcept {
    try {
      prepared[i].emplace(AsyncSegmentReader::prepare(directory, segments[i], cache_blocks));
      return prepared[i]->has_value();
    } catch (...) {
      // Left for the caller, which meets the same fault the usual way.
      return false;
    }
  };
  (*runtime)->run_blocking_each(segments.size(), prepare);
  return prepared;
}

// The listings of a segment list, identifiers parsed as they are first
// needed, and the distinct segments among them in order of first listing.
class Listings {
 public:
  explicit Listings(const std::vector<std::string>& ids) : ids_(ids) {}

  // Listing k as parsed (none for a malformed identifier); every listing
  // before it must be well formed.
  std::optional<SegmentId> at(size_t k) {
    while (parsed_.size() <= k) parse_next();
    return parsed_[k];
  }

  // The place of `id` among the distinct segments.
  size_t slot_of(const SegmentId& id) const { return slots_.at(id.value()); }

  // The distinct segments from `slot` on, at most `count` of them, parsing
  // further listings as far as needed (never past a malformed one).
  std::span<const SegmentId> distinct_from(size_t slot, size_t count) {
    while (distinct_.size() < slot + count && parsed_.size() < ids_.size() &&
           (parsed_.empty() || parsed_.back().has_value())) {
      parse_next();
    }
    return std::span<const SegmentId>(distinct_).subspan(slot, std::min(count, distinct_.size() - slot));
  }

 private:
  void parse_next() {
    parsed_.push_back(SegmentId::from_hex(ids_[parsed_.size()]));
    const std::optional<SegmentId>& id = parsed_.back();
    if (id && slots_.emplace(id->value(), distinct_.size()).second) distinct_.push_back(*id);
  }

  const std::vector<std::string>& ids_;
  std::vector<std::optional<SegmentId>> parsed_;
  std::vector<SegmentId> distinct_;
  std::map<SegmentIdValue, size_t> slots_;
};

}  // namespace

Result<SegmentReaders> Index::load_segments(const std::shared_ptr<const FsDirectory>& directory,
                                            const std::shared_ptr<const Schema>& schema,
                                            const IndexConfig& config) {
  SegmentReaders readers;
  if (!directory->exists(kSegmentsFile)) return readers;

  ZELVAR_TRY(FileSlice file, directory->open_read(kSegmentsFile));
  OwnedBytes bytes = file.read_bytes();
  // One JSON array of strings, nothing else.
  auto ids = dsl::read_json<std::vector<std::string>>(bytes.as_slice());
  if (!ids) return std::unexpected(Error::serialization(ids.error().to_string()));

  // A segment listed more than once (under any spelling of its identifier)
  // is opened at its first listing only; later listings share that reader's
  // files, caches and indexes, each with its own base. Without this a short
  // list could open one large segment thousands of times. Nothing is kept
  // from an earlier load: a reload opens every segment afresh.
  //
  // The listings are taken in order. A segment not yet prepared when its
  // first listing is reached is prepared together with the next distinct
  // segments listed after it, kPreparedAhead in all, on blocking threads; so
  // a failing segment costs at most that much needless work, as opening the
  // segments one by one would have stopped at it.
  Listings listings(*ids);
  std::vector<PreparedSegment> window;  // prepared segments from slot window_start on
  size_t window_start = 0;
  std::vector<std::shared_ptr<const AsyncSegmentReader>> opened;  // by slot
  // One budget for the vector bodies and codebooks of every segment of this load.
  VectorBudget vectors_budget;
  uint32_t base = 0;
  for (size_t k = 0; k < ids->size(); ++k) {
    const std::optional<SegmentId> id = listings.at(k);
    if (!id) return std::unexpected(Error::corruption("Invalid segment ID: " + (*ids)[k]));
    const size_t slot = listings.slot_of(*id);
    std::shared_ptr<const AsyncSegmentReader> reader;
    if (slot < opened.size()) {
      reader = opened[slot]->with_doc_base(base);
    } else {
      // First listings come in slot order: this is slot opened.size().
      if (slot >= window_start + window.size()) {
        window = prepare_segments(*directory, listings.distinct_from(slot, kPreparedAhead), config.cache_blocks);
        window_start = slot;
      }
      PreparedSegment& prepared = window[slot - window_start];
      if (!prepared) prepared.emplace(AsyncSegmentReader::prepare(*directory, *id, config.cache_blocks));
      ZELVAR_TRY(AsyncSegmentReader::Prepared parts, std::move(*prepared));
      ZELVAR_TRY(reader, AsyncSegmentReader::finish(*directory, *id, std::move(parts), schema, base, vectors_budget));
      opened.push_back(reader);
    }
    base += reader->num_docs();  // modulo 2^32
    readers.push_back(std::move(reader));
  }
  return readers;
}

SegmentReaders Index::segment_readers() const {
  std::shared_lock lock(segments_mutex_);
  return segments_;
}

Result<void> Index::reload() {
  ZELVAR_TRY(SegmentReaders fresh, load_segments(directory_, schema_, config_));
  std::vector<uint32_t> counts = doc_counts_of(fresh);
  std::unique_lock lock(segments_mutex_);
  // Old readers that no snapshot still holds are destroyed here, under the
  // lock; that is the only work done while it is held exclusively.
  segments_ = std::move(fresh);
  doc_counts_ = std::move(counts);
  return {};
}

Result<std::optional<Document>> Index::doc(uint32_t doc_id) const {
  // The list is walked under its lock, and only the reader found is kept for
  // the fetch: the same answer as walking a copy of the list, without
  // copying every segment's pointer. The walk sums the counts afresh rather
  // than reading doc_base; both are the same running sum in the same order.
  std::shared_ptr<const AsyncSegmentReader> found;
  uint32_t local = 0;
  {
    std::shared_lock lock(segments_mutex_);
    uint32_t total = 0;
    for (size_t i = 0; i < doc_counts_.size(); ++i) {
      const uint32_t before = total;
      total += doc_counts_[i];
      if (doc_id < total) {
        found = segments_[i];
        local = doc_id - before;
        break;
      }
    }
  }
  if (!found) return std::optional<Document>();
  return found->doc(local);
}

std::vector<uint32_t> Index::doc_counts_of(const SegmentReaders& segments) {
  std::vector<uint32_t> counts;
  counts.reserve(segments.size());
  for (const auto& reader : segments) counts.push_back(reader->num_docs());
  return counts;
}

uint32_t Index::num_docs() const {
  std::shared_lock lock(segments_mutex_);
  uint32_t total = 0;
  for (uint32_t count : doc_counts_) total += count;
  return total;
}

size_t Index::num_segments() const {
  std::shared_lock lock(segments_mutex_);
  return segments_.size();
}

}  // namespace zelvar
