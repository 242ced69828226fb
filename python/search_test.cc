#include "python/search.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/query/boolean.h"
#include "core/query/collector.h"
#include "core/query/term.h"
#include "tests/writer/index_writer.h"

namespace zelvar::python {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct MergeCase {
  const char* name;
  std::vector<Hit> gathered;
  size_t limit;
  std::vector<Hit> expected;
};

TEST(SortAndTruncate, Cases) {
  const std::vector<MergeCase> cases = {
      {"empty", {}, 10, {}},
      {"limit zero", {{0, 1.0f}, {1, 2.0f}}, 0, {}},
      {"best first", {{0, 1.0f}, {1, 3.0f}, {2, 2.0f}}, 10, {{1, 3.0f}, {2, 2.0f}, {0, 1.0f}}},
      // Segment 1 gave 0 and 1, segment 2 gave 5 and 6: equal scores keep
      // the gathered order.
      {"ties keep gathered order",
       {{0, 2.0f}, {1, 1.0f}, {5, 2.0f}, {6, 1.0f}},
       10,
       {{0, 2.0f}, {5, 2.0f}, {1, 1.0f}, {6, 1.0f}}},
      {"ties are not reordered by number", {{9, 1.0f}, {3, 1.0f}}, 10, {{9, 1.0f}, {3, 1.0f}}},
      {"cut after sorting", {{0, 1.0f}, {1, 3.0f}, {2, 2.0f}}, 2, {{1, 3.0f}, {2, 2.0f}}},
      {"negative zero equals zero", {{0, -0.0f}, {1, 0.0f}}, 10, {{0, -0.0f}, {1, 0.0f}}},
  };
  for (const MergeCase& c : cases) {
    std::vector<Hit> hits = c.gathered;
    sort_and_truncate(hits, c.limit);
    EXPECT_EQ(hits, c.expected) << c.name;
  }
}

TEST(SortAndTruncate, NaNScoresGoLastInGatheredOrder) {
  std::vector<Hit> hits = {{0, kNaN}, {1, 1.0f}, {2, kNaN}, {3, -1.0f}, {4, 5.0f}};
  sort_and_truncate(hits, 10);
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits[0].doc_id, 4u);
  EXPECT_EQ(hits[1].doc_id, 1u);
  EXPECT_EQ(hits[2].doc_id, 3u);
  EXPECT_EQ(hits[3].doc_id, 0u);
  EXPECT_EQ(hits[4].doc_id, 2u);
  EXPECT_TRUE(std::isnan(hits[3].score));
}

namespace tw = test_writer;

constexpr std::string_view kSchema =
    R"({"fields": [{"name": "body", "field_type": "text", "indexed": true, "stored": true}],
        "name_to_field": {"body": 0}})";

// Twelve segments of 40 to 80 documents over the words w0 to w9, drawn so that
// w0 is in most documents and w9 in few, with repeats (term frequencies), and
// the word "lone" in one document of segment 8 alone.
// Segments come in pairs of the same documents, so equal scores meet across
// segments and the merge's order between them shows. Every list is in ".post".
class MergedSearchTest : public ::testing::Test {
 protected:
  static constexpr int kSegments = 12;

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zelvar_merged_search_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    tw::IndexSpec spec;
    spec.schema_json = std::string(kSchema);
    for (int s = 0; s < kSegments; ++s) {
      std::mt19937 rng(s / 2);
      tw::SegmentSpec segment;
      segment.id = std::to_string(s + 1);
      segment.terms.inline_postings = false;
      const int docs = 40 + static_cast<int>(rng() % 41);
      for (int d = 0; d < docs; ++d) {
        std::string text;
        for (int w = 0; w < 10; ++w) {
          for (int r = static_cast<int>(rng() % (12 - w)); r > 2 + w / 2; --r) text += "w" + std::to_string(w) + " ";
        }
        // One word is in one segment alone, the others' filters ruling it out.
        if (s == 7 && d == docs / 2) text += "lone ";
        segment.docs.push_back(tw::text_document({{0, text.empty() ? "none" : text}}));
      }
      spec.segments.push_back(std::move(segment));
    }
    tw::write_index(dir_, spec);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::shared_ptr<Index> open(size_t num_threads) const {
    IndexConfig config = IndexConfig::default_config();
    config.num_threads = num_threads;
    auto index = Index::open(FsDirectory(dir_), config);
    EXPECT_TRUE(index.has_value()) << index.error().to_string();
    return index.has_value() ? *index : nullptr;
  }

  std::filesystem::path post_file(int segment) const {
    return dir_ / (tw::segment_base(std::to_string(segment + 1)) + ".post");
  }

  std::filesystem::path dir_;
};

std::unique_ptr<Query> term(const char* word) { return std::make_unique<TermQuery>(TermQuery::text(0, word)); }

std::vector<std::unique_ptr<Query>> queries() {
  std::vector<std::unique_ptr<Query>> out;
  for (const char* word : {"w0", "w4", "w9", "absent", "lone"}) out.push_back(term(word));
  out.push_back(std::make_unique<BooleanQuery>(BooleanQuery().must(term("w0")).must(term("w3"))));
  out.push_back(std::make_unique<BooleanQuery>(BooleanQuery().should(term("w1")).should(term("w8"))));
  out.push_back(std::make_unique<BooleanQuery>(
      BooleanQuery().must(term("w2")).should(term("w5")).must_not(term("w6"))));
  out.push_back(std::make_unique<BooleanQuery>(BooleanQuery().should(term("lone")).should(term("absent"))));
  return out;
}

std::string describe(const Result<std::vector<Hit>>& hits) {
  if (!hits.has_value()) return "error: " + hits.error().to_string();
  std::string out;
  for (const Hit& hit : *hits) {
    out += std::to_string(hit.doc_id) + ":" + std::to_string(std::bit_cast<uint32_t>(hit.score)) + " ";
  }
  return out;
}

// The segments one after the other, each one's hits re-based and gathered in
// segment order, then sorted and cut.
std::string searched_in_turn(const Index& index, const Query& query, size_t limit) {
  std::vector<Hit> hits;
  for (const auto& reader : index.segment_readers()) {
    auto segment_hits = collector::search_segment(*reader, query, limit);
    if (!segment_hits.has_value()) return "error: " + segment_hits.error().to_string();
    for (const SearchResult& hit : *segment_hits) hits.push_back(Hit{reader->doc_base() + hit.doc_id, hit.score});
  }
  sort_and_truncate(hits, limit);
  return describe(hits);
}

// Searched on one thread or on several at once, the segments give, hit for
// hit and bit for bit, what searching them in turn gives.
TEST_F(MergedSearchTest, SegmentsSearchedAtOnceGiveTheAnswerOfSearchingThemInTurn) {
  auto sequential = open(1);
  auto parallel = open(8);
  ASSERT_NE(sequential, nullptr);
  ASSERT_NE(parallel, nullptr);
  ASSERT_EQ(parallel->segment_readers().size(), static_cast<size_t>(kSegments));
  for (const auto& query : queries()) {
    for (size_t limit : {size_t{0}, size_t{1}, size_t{10}, size_t{100000}}) {
      const std::string expected = searched_in_turn(*sequential, *query, limit);
      EXPECT_EQ(describe(merged_search(*sequential, *query, limit)), expected) << "limit " << limit;
      for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(describe(merged_search(*parallel, *query, limit)), expected) << "limit " << limit;
      }
    }
  }
  // The answers are worth comparing: w0 matches in every segment.
  auto hits = merged_search(*parallel, *term("w0"), 100000);
  ASSERT_TRUE(hits.has_value());
  EXPECT_GT(hits->size(), static_cast<size_t>(40 * kSegments));
}

// When several segments fail, the first of them in the index's order gives
// the error, however the searches were spread.
TEST_F(MergedSearchTest, FirstFailingSegmentDecidesTheError) {
  auto sequential = open(1);
  auto parallel = open(8);
  ASSERT_NE(sequential, nullptr);
  ASSERT_NE(parallel, nullptr);
  // The two segments fail with different texts: a file gone, a file cut short.
  std::filesystem::remove(post_file(9));
  const std::string later = describe(merged_search(*sequential, *term("w0"), 10));
  std::filesystem::resize_file(post_file(3), 0);
  const std::string expected = describe(merged_search(*sequential, *term("w0"), 10));
  ASSERT_EQ(expected.rfind("error: ", 0), 0u) << expected;
  ASSERT_NE(later, expected);
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(describe(merged_search(*parallel, *term("w0"), 10)), expected);
  }
  // A word the failing segments' filters rule out is found without them.
  const std::string lone = describe(merged_search(*parallel, *term("lone"), 10));
  EXPECT_EQ(lone, searched_in_turn(*sequential, *term("lone"), 10));
  EXPECT_EQ(lone.rfind("error: ", 0), std::string::npos) << lone;
  EXPECT_NE(lone, "");
}

// A query that counts the segment searches made with it.
class CountingQuery final : public Query {
 public:
  explicit CountingQuery(std::unique_ptr<Query> inner) : inner_(std::move(inner)) {}
  Result<std::unique_ptr<Scorer>> scorer(const AsyncSegmentReader& reader) const override {
    ++searches_;
    return inner_->scorer(reader);
  }
  Result<uint32_t> count_estimate(const AsyncSegmentReader& reader) const override {
    return inner_->count_estimate(reader);
  }
  int searches() const { return searches_.load(); }

 private:
  std::unique_ptr<Query> inner_;
  mutable std::atomic<int> searches_{0};
};

// A segment listed several times is searched once per call, and each of its
// listings gets its hits at its own base, or its error where it is the first
// to fail: the answers of searching every listing in turn.
TEST_F(MergedSearchTest, SegmentListedAgainIsSearchedOnceForAllItsListings) {
  const std::vector<std::string> listed = {"1", "2", "1", "1", "3", "2"};
  std::ofstream(dir_ / "segments.json") << tw::segments_json(listed);
  auto sequential = open(1);
  auto parallel = open(8);
  ASSERT_NE(sequential, nullptr);
  ASSERT_NE(parallel, nullptr);
  ASSERT_EQ(parallel->segment_readers().size(), listed.size());
  for (const auto& query : queries()) {
    const std::string expected = searched_in_turn(*sequential, *query, 10);
    EXPECT_EQ(describe(merged_search(*sequential, *query, 10)), expected);
    EXPECT_EQ(describe(merged_search(*parallel, *query, 10)), expected);
  }
  for (const auto& index : {sequential, parallel}) {
    CountingQuery query(term("w0"));
    const std::string hits = describe(merged_search(*index, query, 100000));
    EXPECT_EQ(query.searches(), 3);
    EXPECT_EQ(hits, searched_in_turn(*index, *term("w0"), 100000));
  }

  // Segment "2" fails: its first listing, the second, decides the error.
  // Segments "1" and "2" are searched; "3" only if its search had started
  // before "2" failed.
  std::filesystem::resize_file(post_file(1), 0);
  const std::string expected = searched_in_turn(*sequential, *term("w0"), 10);
  ASSERT_EQ(expected.rfind("error: ", 0), 0u) << expected;
  for (const auto& index : {sequential, parallel}) {
    CountingQuery query(term("w0"));
    EXPECT_EQ(describe(merged_search(*index, query, 10)), expected);
    EXPECT_GE(query.searches(), 2);
    EXPECT_LE(query.searches(), 3);
  }
}

}  // namespace
}  // namespace zelvar::python
