#include "core/index/index.h"

#include <algorithm>
#include <map>
#include <optional>
#include <mutex>
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

// The most segments prepared at once. Beyond a few threads the open is held
// up by the memory it maps, not by the reads.
constexpr size_t kMaxParallelPrepares = 8;

using PreparedSegment = std::optional<Result<AsyncSegmentReader::Prepared>>;

// Prepares `segments` on the blocking pool, up to kMaxParallelPrepares (and
// no more than `threads`) at once. An entry is left empty where that could
// not be done (no pool, too few threads wanted, memory ran out); the caller
// then prepares that segment itself.
std::vector<PreparedSegment> prepare_segments(const FsDirectory& directory, const std::vector<SegmentId>& segments,
                                              size_t threads, size_t cache_blocks) {
  std::vector<PreparedSegment> prepared(segments.size());
  const size_t width = std::min({segments.size(), threads, kMaxParallelPrepares});
  if (width < 2) return prepared;
  auto runtime = runtime::Runtime::get();
  if (!runtime.has_value()) return prepared;
  auto prepare = [&](size_t i) noexcept {
    try {
      prepared[i].emplace(AsyncSegmentReader::prepare(directory, segments[i], cache_blocks));
    } catch (...) {
      // Left for the caller, which meets the same fault the usual way.
    }
  };
  (*runtime)->run_blocking_each(segments.size(), width, prepare);
  return prepared;
}

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
  // The listings are read up to the first malformed identifier; the distinct
  // segments among them are prepared at once, then taken in list order.
  std::vector<std::optional<SegmentId>> listed;
  std::vector<SegmentId> distinct;
  std::map<SegmentIdValue, size_t> slot_of;
  for (const std::string& text : *ids) {
    listed.push_back(SegmentId::from_hex(text));
    if (!listed.back()) break;
    if (slot_of.emplace(listed.back()->value(), distinct.size()).second) distinct.push_back(*listed.back());
  }
  std::vector<PreparedSegment> prepared =
      prepare_segments(*directory, distinct, config.num_threads, config.cache_blocks);

  std::vector<std::shared_ptr<const AsyncSegmentReader>> opened(distinct.size());
  // One budget for the vector bodies and codebooks of every segment of this load.
  VectorBudget vectors_budget;
  uint32_t base = 0;
  for (size_t k = 0; k < listed.size(); ++k) {
    if (!listed[k]) return std::unexpected(Error::corruption("Invalid segment ID: " + (*ids)[k]));
    const size_t slot = slot_of.at(listed[k]->value());
    std::shared_ptr<const AsyncSegmentReader> reader;
    if (opened[slot]) {
      reader = opened[slot]->with_doc_base(base);
    } else {
      if (!prepared[slot]) prepared[slot].emplace(AsyncSegmentReader::prepare(*directory, distinct[slot], config.cache_blocks));
      ZELVAR_TRY(AsyncSegmentReader::Prepared parts, std::move(*prepared[slot]));
      ZELVAR_TRY(reader, AsyncSegmentReader::finish(*directory, distinct[slot], std::move(parts), schema, base,
                                                    vectors_budget));
      opened[slot] = reader;
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
  std::unique_lock lock(segments_mutex_);
  // Old readers that no snapshot still holds are destroyed here, under the
  // lock; that is the only work done while it is held exclusively.
  segments_ = std::move(fresh);
  return {};
}

Result<std::optional<Document>> Index::doc(uint32_t doc_id) const {
  SegmentReaders snapshot = segment_readers();
  // The walk sums the counts afresh rather than reading doc_base; both are
  // the same running sum in the same order.
  uint32_t total = 0;
  for (const auto& reader : snapshot) {
    uint32_t before = total;
    total += reader->num_docs();
    if (doc_id < total) return reader->doc(doc_id - before);
  }
  return std::optional<Document>();
}

uint32_t Index::num_docs() const {
  std::shared_lock lock(segments_mutex_);
  uint32_t total = 0;
  for (const auto& reader : segments_) total += reader->num_docs();
  return total;
}

size_t Index::num_segments() const {
  std::shared_lock lock(segments_mutex_);
  return segments_.size();
}

}  // namespace zelvar
