#include "core/index/index.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/runtime/runtime.h"
#include "tests/writer/index_writer.h"

namespace zelvar {
namespace {

namespace tw = test_writer;

constexpr std::string_view kSchema =
    R"({"fields": [{"name": "title", "field_type": "text", "indexed": true, "stored": true}],
        "name_to_field": {"title": 0}})";

// A segment of `n` documents titled "<id> 0", "<id> 1", ...
tw::SegmentSpec segment(const std::string& id, int n) {
  tw::SegmentSpec spec;
  spec.id = id;
  for (int i = 0; i < n; ++i) spec.docs.push_back(tw::text_document({{0, id + " " + std::to_string(i)}}));
  return spec;
}

// The title of global document `doc_id`, "absent", or the error text.
std::string fetch(const Index& index, uint32_t doc_id) {
  auto doc = index.doc(doc_id);
  if (!doc.has_value()) return doc.error().to_string();
  if (!doc->has_value()) return "absent";
  for (const auto& [field, value] : (*doc)->field_values) {
    if (field == 0 && value.is<FieldValue::Text>()) return value.as<FieldValue::Text>().value;
  }
  return "<untitled>";
}

std::vector<uint32_t> bases(const SegmentReaders& readers) {
  std::vector<uint32_t> out;
  for (const auto& r : readers) out.push_back(r->doc_base());
  return out;
}

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("zelvar_index_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write(const std::vector<tw::SegmentSpec>& segments, std::optional<std::string> segments_json = {}) {
    tw::IndexSpec spec;
    spec.schema_json = std::string(kSchema);
    spec.segments = segments;
    spec.segments_json = std::move(segments_json);
    tw::write_index(dir_, spec);
  }

  void list(const std::string& json) { tw::write_file(dir_, "segments.json", json); }

  Result<std::shared_ptr<Index>> open() const {
    return Index::open(FsDirectory(dir_), IndexConfig::default_config());
  }

  std::shared_ptr<Index> open_ok() const {
    auto index = open();
    EXPECT_TRUE(index.has_value()) << index.error().to_string();
    return index.value_or(nullptr);
  }

  std::filesystem::path dir_;
};

TEST(IndexConfigTest, Defaults) {
  IndexConfig config = IndexConfig::default_config();
  EXPECT_EQ(config.num_threads, runtime::available_cpus());
  EXPECT_GE(config.num_threads, 1u);
  EXPECT_EQ(config.cache_blocks, 256u);
  EXPECT_EQ(config.num_indexing_threads, 1u);
  EXPECT_EQ(config.num_compression_threads, config.num_threads);
  EXPECT_EQ(config.max_pending_segments, 32u);
  EXPECT_EQ(config.max_docs_per_flush, 100000u);
  EXPECT_FALSE(config.force_merge_on_commit);
  ASSERT_NE(config.merge_policy, nullptr);
  EXPECT_EQ(config.merge_policy->debug_text(),
            "TieredMergePolicy { segments_per_tier: 10, max_merge_at_once: 10, tier_factor: 10.0, "
            "tier_floor: 1000, max_merged_docs: 5000000 }");

  // A copy owns its own policy.
  IndexConfig copy = config;
  ASSERT_NE(copy.merge_policy, nullptr);
  EXPECT_NE(copy.merge_policy.get(), config.merge_policy.get());
  EXPECT_EQ(copy.merge_policy->debug_text(), config.merge_policy->debug_text());
}

// The threads of this process, from /proc. A thread that has ended (even
// one joined) stays listed until the kernel has reaped it, a moment later.
// Under ThreadSanitizer the first thread a process starts also starts the
// sanitizer's own: one started, joined and reaped before the first count
// keeps every count comparable.
size_t live_threads() {
  static const bool settled = [] {
    pid_t tid = 0;
    std::thread([&tid] { tid = gettid(); }).join();
    const auto task = std::filesystem::path("/proc/self/task") / std::to_string(tid);
    for (int i = 0; i < 5000 && std::filesystem::exists(task); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }();
  (void)settled;
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

// live_threads() once it is `expected`, or after 5 s: threads that were told
// to stop, or joined, leave the list soon after.
size_t threads_once_settled(size_t expected) {
  for (int i = 0; i < 5000 && live_threads() != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return live_threads();
}

TEST(WorkerPoolTest, StartsIdleThreadsAndStopsThemOnDestruction) {
  const size_t before = live_threads();
  for (size_t n : {size_t{0}, size_t{1}, size_t{4}}) {
    auto pool = WorkerPool::start(n);
    ASSERT_TRUE(pool.has_value()) << pool.error().to_string();
    EXPECT_EQ((*pool)->num_threads(), n);
    pool->reset();  // must return: the threads wake and end (on their own)
  }
  // They end soon after; the tests that follow count threads.
  EXPECT_EQ(threads_once_settled(before), before);
}

TEST(WorkerPoolTest, ThreadThatCannotStartFailsThePoolAndLeavesNoThread) {
  // The first thread is started by the caller, the others by the first.
  for (int refused : {0, 1, 2, 4}) {
    SCOPED_TRACE(refused);
    const size_t before = live_threads();
    std::atomic<int> started{0};
    auto spawn = [&](pthread_t& thread, void* (*routine)(void*), void* arg) {
      if (started == refused) return EAGAIN;
      ++started;
      return WorkerPool::spawn_thread(thread, routine, arg);
    };
    auto pool = WorkerPool::start_with(5, spawn);
    ASSERT_FALSE(pool.has_value());
    EXPECT_EQ(pool.error().kind(), IoErrorKind::Other);
    EXPECT_EQ(pool.error().to_string(), "Resource temporarily unavailable (os error 11)");
    EXPECT_EQ(started, refused);
    EXPECT_EQ(threads_once_settled(before), before);  // the started threads were joined
  }
}

// The CPUs a thread may run on.
cpu_set_t affinity_of(pid_t tid) {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(tid, sizeof set, &set), 0);
  return set;
}

TEST(WorkerPoolTest, PinsOnlyItsOwnThreads) {
  // The pool's threads wait on one CPU; the thread that opened the pool, and
  // any thread it starts later, may still run anywhere it could before.
  const size_t threads_before = live_threads();  // a sanitizer's own thread, if any, runs by now
  const cpu_set_t before = affinity_of(0);
  std::vector<pid_t> tids_before;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    tids_before.push_back(std::stoi(task.path().filename()));
  }
  auto pool = WorkerPool::start(4);
  ASSERT_TRUE(pool.has_value()) << pool.error().to_string();
  const cpu_set_t after = affinity_of(0);
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
  std::thread([&before] {
    const cpu_set_t set = affinity_of(0);
    EXPECT_TRUE(CPU_EQUAL(&before, &set));
  }).join();
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t tid = std::stoi(task.path().filename());
    if (std::find(tids_before.begin(), tids_before.end(), tid) != tids_before.end()) continue;
    const cpu_set_t set = affinity_of(tid);
    EXPECT_LE(CPU_COUNT(&set), 1) << tid;
  }
  pool->reset();
  // They end soon after; the tests that follow count threads.
  EXPECT_EQ(threads_once_settled(threads_before), threads_before);
}

TEST(WorkerPoolTest, StartsWhileTheCallerWorksAndStopsIfNeverFinished) {
  const size_t before = live_threads();
  {
    WorkerPool::Starting starting = WorkerPool::begin(4);
    auto pool = std::move(starting).finish();
    ASSERT_TRUE(pool.has_value()) << pool.error().to_string();
    EXPECT_EQ((*pool)->num_threads(), 4u);
    EXPECT_EQ(live_threads(), before + 4);
  }
  // A finished pool's threads end on their own, soon after it is destroyed.
  EXPECT_EQ(threads_once_settled(before), before);
  {
    // An open that fails drops its pool unfinished.
    WorkerPool::Starting starting = WorkerPool::begin(4);
  }
  EXPECT_EQ(threads_once_settled(before), before);  // joined
}

TEST_F(IndexTest, OpensWithoutSegments) {
  struct Case {
    const char* name;
    std::optional<std::string> segments_json;  // absent: no file
  };
  for (const Case& c : {Case{"no segments.json", std::nullopt}, Case{"empty list", "[]"},
                        Case{"empty list with blanks", " [ ] \n"}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_ / "segments.json");
    tw::write_file(dir_, "schema.json", kSchema);
    if (c.segments_json) list(*c.segments_json);
    auto index = open_ok();
    ASSERT_TRUE(index);
    EXPECT_EQ(index->num_segments(), 0u);
    EXPECT_EQ(index->num_docs(), 0u);
    EXPECT_EQ(index->worker_threads(), runtime::available_cpus());
    EXPECT_TRUE(index->segment_readers().empty());
    EXPECT_EQ(fetch(*index, 0), "absent");
  }
}

TEST_F(IndexTest, OpenFailures) {
  const std::string no_file = "IO error: No such file or directory (os error 2)";
  struct Case {
    const char* name;
    std::optional<std::string> schema;  // absent: no "schema.json"
    std::optional<std::string> segments;
    std::string error;
  };
  const std::string schema(kSchema);
  const std::vector<Case> cases = {
      // The schema is read and parsed before "segments.json" is looked at.
      {"no schema.json", std::nullopt, "{}", no_file},
      {"empty schema object", "{}", R"(["zz"])", "Serialization error: missing field `fields` at line 1 column 2"},
      {"segments.json empty", schema, "", "Serialization error: EOF while parsing a value at line 1 column 0"},
      {"segments.json a string", schema, R"("1")",
       "Serialization error: invalid type: string \"1\", expected a sequence at line 1 column 3"},
      {"segments.json nested list", schema, R"([["1"]])",
       "Serialization error: invalid type: sequence, expected a string at line 1 column 1"},
      {"segments.json an object", schema, R"({"a": "1"})",
       "Serialization error: invalid type: map, expected a sequence at line 1 column 0"},
      {"segments.json with a number", schema, "[1]",
       "Serialization error: invalid type: integer `1`, expected a string at line 1 column 2"},
      {"segments.json with trailing text", schema, R"(["1"] x)",
       "Serialization error: trailing characters at line 1 column 7"},
      {"identifier not hexadecimal", schema, R"(["xyz"])", "Index corruption: Invalid segment ID: xyz"},
      {"identifier with 0x prefix", schema, R"(["0x1"])", "Index corruption: Invalid segment ID: 0x1"},
      {"empty identifier", schema, R"([""])", "Index corruption: Invalid segment ID: "},
      {"identifier with a trailing space", schema, R"(["1 "])", "Index corruption: Invalid segment ID: 1 "},
      {"identifier with two signs", schema, R"(["++1"])", "Index corruption: Invalid segment ID: ++1"},
      {"negative identifier", schema, R"(["-1"])", "Index corruption: Invalid segment ID: -1"},
      {"identifier decoded from escapes", schema, R"(["\u0031\u0067"])", "Index corruption: Invalid segment ID: 1g"},
      {"identifier beyond 128 bits", schema, R"(["100000000000000000000000000000000"])",
       "Index corruption: Invalid segment ID: 100000000000000000000000000000000"},
      {"second identifier invalid", schema, R"(["1", " 2"])", "Index corruption: Invalid segment ID:  2"},
      {"listed segment without files", schema, R"(["1", "5"])", no_file},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    tw::IndexSpec spec;
    spec.schema_json = c.schema;
    spec.segments = {segment("1", 2)};
    spec.segments_json = c.segments;
    tw::write_index(dir_, spec);
    auto index = open();
    ASSERT_FALSE(index.has_value());
    EXPECT_EQ(index.error().to_string(), c.error);
  }
}

// Segments are prepared several at once, yet the error is always that of
// the first failing listing, as if they were opened one after the other:
// whatever fails later in the list, or fails sooner, is never reported.
TEST_F(IndexTest, FirstFailingListingDecidesTheError) {
  // b's term dictionary is too short to parse; d has no files at all.
  const auto damage = [&] {
    write({segment("a", 2), segment("b", 2), segment("c", 3)});
    tw::write_file(dir_, tw::segment_base("b") + ".terms", "short");
  };
  const auto error_of = [&](const std::string& listing, size_t threads) {
    list(listing);
    IndexConfig config = IndexConfig::default_config();
    config.num_threads = threads;
    auto index = Index::open(FsDirectory(dir_), config);
    return index.has_value() ? std::string("opened") : index.error().to_string();
  };
  damage();
  const std::string damaged = error_of(R"(["b"])", 1);
  const std::string missing = "IO error: No such file or directory (os error 2)";
  ASSERT_NE(damaged, "opened");
  ASSERT_NE(damaged, missing);

  struct Case {
    const char* listing;
    std::string error;
  };
  const Case cases[] = {
      {R"(["a", "b", "d"])", damaged},
      {R"(["a", "d", "b"])", missing},
      {R"(["c", "a", "c", "b", "zz"])", damaged},
      {R"(["a", "zz", "b"])", "Index corruption: Invalid segment ID: zz"},
      {R"(["a", "c", "a", "c"])", "opened"},
  };
  for (size_t threads : {size_t{1}, size_t{8}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.listing) + " with " + std::to_string(threads) + " threads");
      EXPECT_EQ(error_of(c.listing, threads), c.error);
    }
  }
  // Listings after the failing one do not matter, however many there are.
  std::string many = R"(["a", "b")";
  for (int i = 0; i < 40; ++i) many += R"(, "d", "c")";
  EXPECT_EQ(error_of(many + "]", 8), damaged);
}

TEST_F(IndexTest, OpenFailsOnBadPaths) {
  auto missing = Index::open(FsDirectory(dir_ / "missing"), IndexConfig::default_config());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), "IO error: No such file or directory (os error 2)");

  // An empty path is the working directory, looked up again at every file
  // access: files are found by their plain names.
  write({segment("a", 2)});
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  auto here = Index::open(FsDirectory(""), IndexConfig::default_config());
  const std::string fetched = here.has_value() ? fetch(**here, 1) : here.error().to_string();
  std::filesystem::current_path(cwd);
  EXPECT_EQ(fetched, "a 1");

  tw::write_file(dir_, "plain", "not a folder");
  auto file = Index::open(FsDirectory(dir_ / "plain"), IndexConfig::default_config());
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().to_string(), "IO error: Not a directory (os error 20)");
}

// Segments of 3, 0 and 5 documents get bases 0, 3 and 3; the empty one is
// never chosen for a number.
TEST_F(IndexTest, GlobalNumberingAcrossSegments) {
  write({segment("a", 3), segment("b", 0), segment("c", 5)});
  auto index = open_ok();
  ASSERT_TRUE(index);
  SegmentReaders readers = index->segment_readers();
  ASSERT_EQ(readers.size(), 3u);
  EXPECT_EQ(bases(readers), (std::vector<uint32_t>{0, 3, 3}));
  EXPECT_EQ(index->num_docs(), 8u);

  const std::vector<std::pair<uint32_t, std::string>> cases = {
      {0, "a 0"}, {2, "a 2"}, {3, "c 0"}, {7, "c 4"}, {8, "absent"}, {4294967295u, "absent"}};
  for (const auto& [doc_id, title] : cases) {
    SCOPED_TRACE(doc_id);
    EXPECT_EQ(fetch(*index, doc_id), title);
  }
}

// Document counts come from each ".meta", not from the store: numbers a
// segment claims but does not store are absent, and every sum wraps modulo
// 2^32.
TEST_F(IndexTest, NumberingFollowsMetadataCounts) {
  struct Seg {
    std::string id;
    int stored;
    uint32_t claimed;
  };
  struct Case {
    const char* name;
    std::vector<Seg> segments;
    std::vector<uint32_t> bases;
    uint32_t num_docs;
    std::vector<std::pair<uint32_t, std::string>> fetches;
  };
  const std::vector<Case> cases = {
      {"claims more than stored", {{"a", 2, 5}, {"b", 1, 1}}, {0, 5}, 6,
       {{1, "a 1"}, {2, "absent"}, {4, "absent"}, {5, "b 0"}, {6, "absent"}}},
      {"claims fewer than stored", {{"a", 2, 1}, {"b", 1, 1}}, {0, 1}, 2, {{0, "a 0"}, {1, "b 0"}, {2, "absent"}}},
      {"counts wrap past 2^32", {{"a", 1, 0xFFFFFFFFu}, {"b", 3, 3}}, {0, 0xFFFFFFFFu}, 2,
       {{0, "a 0"}, {1, "absent"}, {0xFFFFFFFEu, "absent"}, {0xFFFFFFFFu, "absent"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    std::vector<tw::SegmentSpec> specs;
    for (const Seg& seg : c.segments) {
      specs.push_back(segment(seg.id, seg.stored));
      specs.back().meta_num_docs = seg.claimed;
    }
    write(specs);
    auto index = open_ok();
    ASSERT_TRUE(index);
    EXPECT_EQ(bases(index->segment_readers()), c.bases);
    EXPECT_EQ(index->num_docs(), c.num_docs);
    for (const auto& [doc_id, title] : c.fetches) {
      SCOPED_TRACE(doc_id);
      EXPECT_EQ(fetch(*index, doc_id), title);
    }
  }
}

// Every spelling that parses to the same identifier names the same files.
TEST_F(IndexTest, IdentifierSpellingsNameTheSameFiles) {
  const std::string max = "0" + std::string(32, 'f');  // 33 digits, 2^128 - 1
  write({segment("ff", 1), segment(max, 1)},
        R"(["FF", "+ff", ")" + std::string(38, '0') + R"(ff", ")" + max + R"("])");
  auto index = open_ok();
  ASSERT_TRUE(index);
  EXPECT_EQ(bases(index->segment_readers()), (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_TRUE(std::filesystem::exists(dir_ / ("seg_" + std::string(32, 'f') + ".meta")));
  EXPECT_EQ(fetch(*index, 2), "ff 0");
  EXPECT_EQ(fetch(*index, 3), max + " 0");
}

TEST_F(IndexTest, SharesSchemaAndConfigWithEveryReader) {
  write({segment("a", 1), segment("b", 2)});
  IndexConfig config = IndexConfig::default_config();
  config.num_threads = 3;
  auto index = Index::open(FsDirectory(dir_), config);
  ASSERT_TRUE(index.has_value()) << index.error().to_string();
  EXPECT_EQ((*index)->worker_threads(), 3u);
  for (const auto& reader : (*index)->segment_readers()) {
    EXPECT_EQ(reader->schema(), (*index)->schema());
    EXPECT_EQ(reader->term_dict().cache().max_blocks(), 256u);
    EXPECT_EQ(reader->store().cache().max_blocks(), 256u);
  }
}

TEST_F(IndexTest, IdentifierListedTwiceIsTwoSegments) {
  write({segment("a", 2)}, R"(["a", "+A"])");
  auto index = open_ok();
  ASSERT_TRUE(index);
  EXPECT_EQ(bases(index->segment_readers()), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(index->num_docs(), 4u);
  EXPECT_EQ(fetch(*index, 1), "a 1");
  EXPECT_EQ(fetch(*index, 3), "a 1");
}

// Each distinct segment is opened once per load, whatever the spelling of
// its listings; every listing keeps its own base over the shared files,
// caches and indexes, and a reload opens everything afresh.
TEST_F(IndexTest, SegmentListedManyTimesIsOpenedOnce) {
  write({segment("1f", 2), segment("b", 1)}, R"(["1f", "+1F", "b", "001f"])");
  auto index = open_ok();
  ASSERT_TRUE(index);
  const SegmentReaders first = index->segment_readers();
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(bases(first), (std::vector<uint32_t>{0, 2, 4, 5}));
  EXPECT_EQ(index->num_docs(), 7u);
  for (size_t i : {1u, 3u}) {
    SCOPED_TRACE(i);
    EXPECT_NE(first[i], first[0]);  // a listing of its own...
    EXPECT_EQ(&first[i]->term_dict(), &first[0]->term_dict());  // ...over the same segment
    EXPECT_EQ(&first[i]->store(), &first[0]->store());
    EXPECT_EQ(&first[i]->meta(), &first[0]->meta());
    EXPECT_EQ(&first[i]->vector_indexes(), &first[0]->vector_indexes());
  }
  EXPECT_NE(&first[2]->term_dict(), &first[0]->term_dict());

  const std::vector<std::pair<uint32_t, std::string>> fetches = {
      {0, "1f 0"}, {3, "1f 1"}, {4, "b 0"}, {5, "1f 0"}, {6, "1f 1"}, {7, "absent"}};
  for (const auto& [doc_id, title] : fetches) {
    SCOPED_TRACE(doc_id);
    EXPECT_EQ(fetch(*index, doc_id), title);
  }
  for (const auto& reader : first) {
    auto postings = reader->get_postings(0, "1f");
    ASSERT_TRUE(postings.has_value()) << postings.error().to_string();
    EXPECT_EQ(postings->has_value(), reader->doc_base() != 4);
  }

  // `first` still holds the old readers, so no address can be reused.
  ASSERT_TRUE(index->reload().has_value());
  const SegmentReaders second = index->segment_readers();
  EXPECT_EQ(bases(second), bases(first));
  EXPECT_NE(&second[0]->term_dict(), &first[0]->term_dict());
  EXPECT_EQ(&second[3]->store(), &second[0]->store());
  EXPECT_EQ(fetch(*index, 6), "1f 1");
}

// Small segments that each ask for one of the largest rotation codebooks:
// one budget serves the whole load, so only the first few get theirs, and a
// reload starts again with a budget of its own.
TEST_F(IndexTest, SegmentsOfOneLoadShareTheCodebookBudget) {
  tw::IndexSpec spec;
  spec.schema_json =
      R"({"fields": [{"name": "v", "field_type": "dense_vector", "indexed": true, "stored": false,
                      "dense_vector_config": {"dim": 4}}], "name_to_field": {"v": 0}})";
  const uint32_t kSegments = 6;
  for (uint32_t i = 1; i <= kSegments; ++i) spec.segments.push_back(segment(std::to_string(i), 0));
  tw::write_index(dir_, spec);

  // What one budget allows, segment after segment.
  VectorBudget budget;
  std::vector<size_t> expected;
  for (uint32_t i = 1; i <= kSegments; ++i) {
    // One IVF-RaBitQ body, in array form, of a dimension near the cap.
    const uint64_t dim = kMaxRaBitQCodebookDim - i;
    const std::string body = "[[" + std::to_string(dim) + ",0,false,0],0,0,[{},0]]";
    std::string file;
    auto put = [&file](uint64_t v, int bytes) {
      for (int b = 0; b < bytes; ++b) file.push_back(static_cast<char>(v >> (8 * b)));
    };
    put(1, 4);
    put(0, 4);
    put(1, 1);
    put(25, 8);
    put(body.size(), 8);
    file += body;
    tw::write_file(dir_, tw::segment_base(std::to_string(i)) + ".vectors", file);
    budget.earn(file.size());
    expected.push_back(budget.take_codebook(dim * kRaBitQCodebookBytesPerDim) ? 1 : 0);
  }
  ASSERT_EQ(expected.front(), 1u);
  ASSERT_EQ(expected.back(), 0u);

  auto index = open_ok();
  ASSERT_TRUE(index);
  auto loaded = [&] {
    std::vector<size_t> sizes;
    for (const auto& reader : index->segment_readers()) sizes.push_back(reader->vector_indexes().size());
    return sizes;
  };
  EXPECT_EQ(loaded(), expected);
  ASSERT_TRUE(index->reload().has_value());
  EXPECT_EQ(loaded(), expected);
}

TEST_F(IndexTest, DefaultFields) {
  struct Case {
    const char* name;
    std::string schema;
    std::vector<Field> expected;
  };
  const std::vector<Case> cases = {
      {"no fields", R"({"fields": [], "name_to_field": {}})", {}},
      {"schema's own list, repeats and unknown numbers kept",
       R"({"fields": [["t", "text", true, true, null]], "name_to_field": {}, "default_fields": [3, 3]})",
       {3, 3}},
      {"indexed text fields in schema order",
       R"({"fields": [["a", "text", true, true, null], ["b", "u64", true, true, null],
                      ["c", "text", false, true, null], ["d", "text", true, false, null]],
           "name_to_field": {}})",
       {0, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tw::write_file(dir_, "schema.json", c.schema);
    auto index = open_ok();
    ASSERT_TRUE(index);
    EXPECT_EQ(index->default_fields(), c.expected);
  }
}

TEST_F(IndexTest, ReloadAppendsAndRemovesSegments) {
  tw::SegmentSpec c = segment("c", 1);
  c.listed = false;
  write({segment("a", 2), segment("b", 3), c});
  auto index = open_ok();
  ASSERT_TRUE(index);
  EXPECT_EQ(index->num_docs(), 5u);

  list(R"(["a", "b", "c"])");
  ASSERT_TRUE(index->reload().has_value());
  EXPECT_EQ(bases(index->segment_readers()), (std::vector<uint32_t>{0, 2, 5}));
  EXPECT_EQ(fetch(*index, 5), "c 0");

  list(R"(["b", "c"])");
  ASSERT_TRUE(index->reload().has_value());
  EXPECT_EQ(bases(index->segment_readers()), (std::vector<uint32_t>{0, 3}));
  EXPECT_EQ(index->num_docs(), 4u);
  EXPECT_EQ(fetch(*index, 0), "b 0");
  EXPECT_EQ(fetch(*index, 3), "c 0");
  EXPECT_EQ(fetch(*index, 4), "absent");
}

TEST_F(IndexTest, FailedReloadKeepsTheOldList) {
  write({segment("a", 2)});
  auto index = open_ok();
  ASSERT_TRUE(index);
  const SegmentReaders before = index->segment_readers();

  struct Case {
    const char* name;
    std::string segments_json;
    std::string error;
  };
  const Case cases[] = {
      {"listed segment without files", R"(["a", "9"])", "IO error: No such file or directory (os error 2)"},
      {"invalid identifier", R"(["a", "zz"])", "Index corruption: Invalid segment ID: zz"},
      {"not a list", "{}", "Serialization error: invalid type: map, expected a sequence at line 1 column 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list(c.segments_json);
    auto reloaded = index->reload();
    ASSERT_FALSE(reloaded.has_value());
    EXPECT_EQ(reloaded.error().to_string(), c.error);
    EXPECT_EQ(index->segment_readers(), before);
    EXPECT_EQ(fetch(*index, 1), "a 1");
  }
}

// A reload opens every segment anew; a snapshot taken before it keeps the
// old readers alive and usable until it is dropped.
TEST_F(IndexTest, SnapshotOutlivesReload) {
  write({segment("a", 2)});
  auto index = open_ok();
  ASSERT_TRUE(index);
  SegmentReaders snapshot = index->segment_readers();
  std::weak_ptr<const AsyncSegmentReader> old = snapshot[0];

  list("[]");
  ASSERT_TRUE(index->reload().has_value());
  EXPECT_EQ(index->num_segments(), 0u);
  ASSERT_FALSE(old.expired());
  auto doc = snapshot[0]->doc(1);
  ASSERT_TRUE(doc.has_value() && doc->has_value());

  list(R"(["a"])");
  ASSERT_TRUE(index->reload().has_value());
  EXPECT_NE(index->segment_readers()[0], snapshot[0]);
  snapshot.clear();
  EXPECT_TRUE(old.expired());
}

// Fetches running while the list is swapped see either list whole, never a
// reader freed under them.
TEST_F(IndexTest, FetchesDuringReloads) {
  write({segment("a", 1), segment("b", 1)}, R"(["a"])");
  auto index = open_ok();
  ASSERT_TRUE(index);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done) {
        std::string title = fetch(*index, 0);
        if (title != "a 0" && title != "b 0") ++bad;
        if (index->num_docs() != 1 || index->num_segments() != 1) ++bad;
        for (const auto& reader : index->segment_readers()) {
          auto postings = reader->get_postings(0, "0");
          if (!postings.has_value() || !postings->has_value()) ++bad;
        }
      }
    });
  }
  for (int i = 0; i < 40; ++i) {
    list(i % 2 ? R"(["a"])" : R"(["b"])");
    ASSERT_TRUE(index->reload().has_value());
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad, 0);
}

// "schema.json" is read once: a reload ignores a changed or broken schema.
TEST_F(IndexTest, ReloadDoesNotReadTheSchemaAgain) {
  write({segment("a", 1)});
  auto index = open_ok();
  ASSERT_TRUE(index);
  auto schema = index->schema();
  tw::write_file(dir_, "schema.json", "{}");
  ASSERT_TRUE(index->reload().has_value());
  EXPECT_EQ(index->schema(), schema);
  EXPECT_EQ(index->segment_readers()[0]->schema(), schema);
}

}  // namespace
}  // namespace zelvar
