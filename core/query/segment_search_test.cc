// Queries run through a segment reader over files written by the test writer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/dsl/schema.h"
#include "core/query/boolean.h"
#include "core/query/boolean_top_k.h"
#include "core/query/collector.h"
#include "core/query/list_checks.h"
#include "core/query/term.h"
#include "core/segment/reader.h"
#include "core/segment/segment_id.h"
#include "core/wand/wand.h"
#include "tests/writer/index_writer.h"

namespace zelvar {
namespace {

namespace tw = test_writer;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// Each hit's document and score bits, to compare hits bit for bit.
std::vector<std::pair<uint32_t, uint32_t>> hit_bits(const std::vector<SearchResult>& hits) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const SearchResult& hit : hits) out.emplace_back(hit.doc_id, bits(hit.score));
  return out;
}

class SegmentSearchTest : public ::testing::Test {
 protected:
  // Field 0: five documents, 11 tokens. Field 1: one document.
  //   0 "apple banana"   1 "banana banana cherry"   2 "apple cherry cherry"
  //   3 "Hello World"    4 "apple"
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zelvar_query_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    segment_.id = "1";
    for (const char* text : {"apple banana", "banana banana cherry", "apple cherry cherry",
                             "Hello World", "apple"}) {
      segment_.docs.push_back(tw::text_document({{0, text}}));
    }
    segment_.docs[4].indexed.push_back({1, "apple"});
    segment_.terms.inline_postings = false;  // every list in ".post"
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::shared_ptr<const AsyncSegmentReader> open() {
    tw::write_segment(dir_, segment_);
    if (truncate_postings_) {
      std::filesystem::resize_file(dir_ / (tw::segment_base(segment_.id) + ".post"), 0);
    }
    auto reader = AsyncSegmentReader::open(FsDirectory(dir_), *SegmentId::from_hex(segment_.id),
                                           std::make_shared<const Schema>(), 0, 16);
    EXPECT_TRUE(reader.has_value()) << reader.error().to_string();
    return reader.has_value() ? *reader : nullptr;
  }

  std::filesystem::path dir_;
  tw::SegmentSpec segment_;
  bool truncate_postings_ = false;
};

TEST_F(SegmentSearchTest, TermQueryScoresWithTheSegmentStatistics) {
  auto reader = open();
  ASSERT_NE(reader, nullptr);
  // N 5, df 2, average length 11 / 5.
  const float idf = TermScorer::compute_idf(5, 2);
  TermScorer model(BlockPostingList::from_posting_list(std::vector<Posting>{{1, 2}, {0, 1}}), idf,
                   11.0f / 5.0f);
  const float tf2 = model.score_tf(2.0f);
  const float tf1 = model.score_tf(1.0f);
  ASSERT_GT(tf2, tf1);

  auto hits = collector::search_segment(*reader, TermQuery::text(0, "BaNaNa"), 10);
  ASSERT_TRUE(hits.has_value()) << hits.error().to_string();
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].doc_id, 1u);
  EXPECT_EQ(bits((*hits)[0].score), bits(tf2));
  EXPECT_EQ((*hits)[1].doc_id, 0u);
  EXPECT_EQ(bits((*hits)[1].score), bits(tf1));

  auto one = collector::search_segment(*reader, TermQuery::text(0, "banana"), 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(*one, (std::vector<SearchResult>{(*hits)[0]}));
  auto none = collector::search_segment(*reader, TermQuery::text(0, "banana"), 0);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());

  auto count = TermQuery::text(0, "cherry").count_estimate(*reader);
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 2u);
}

TEST_F(SegmentSearchTest, AbsentTermsFindNothingWithoutError) {
  auto reader = open();
  ASSERT_NE(reader, nullptr);
  for (const TermQuery& query : {TermQuery::text(0, "durian"), TermQuery::text(0, "hello world"),
                                 TermQuery::text(2, "apple"), TermQuery::text(1, "banana")}) {
    auto scorer = query.scorer(*reader);
    ASSERT_TRUE(scorer.has_value()) << query.term();
    EXPECT_EQ((*scorer)->doc(), TERMINATED) << query.term();
    auto hits = collector::search_segment(*reader, query, 10);
    ASSERT_TRUE(hits.has_value());
    EXPECT_TRUE(hits->empty()) << query.term();
    auto count = query.count_estimate(*reader);
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(*count, 0u);
  }
  // Field 1 has one document of one token: the average length 1.
  auto hits = collector::search_segment(*reader, TermQuery::text(1, "apple"), 10);
  ASSERT_TRUE(hits.has_value());
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].doc_id, 4u);
  EXPECT_EQ(bits((*hits)[0].score), bits(TermScorer::compute_idf(5, 1)));
}

TEST_F(SegmentSearchTest, BooleanQueryOverTheSegment) {
  auto reader = open();
  ASSERT_NE(reader, nullptr);
  auto term = [&](const char* text) { return TermQuery::text(0, text); };
  auto score_of = [&](const char* text, uint32_t doc) {
    auto hits = collector::search_segment(*reader, term(text), 10);
    for (const auto& h : *hits) {
      if (h.doc_id == doc) return h.score;
    }
    ADD_FAILURE() << text << " " << doc;
    return 0.0f;
  };
  const BooleanQuery query =
      BooleanQuery().must(term("apple")).should(term("cherry")).must_not(term("banana"));
  auto hits = collector::search_segment(*reader, query, 10);
  ASSERT_TRUE(hits.has_value()) << hits.error().to_string();
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].doc_id, 2u);
  EXPECT_EQ(bits((*hits)[0].score), bits(0.0f + score_of("apple", 2) + score_of("cherry", 2)));
  EXPECT_EQ((*hits)[1].doc_id, 4u);
  EXPECT_EQ(bits((*hits)[1].score), bits(0.0f + score_of("apple", 4)));

  auto estimate = BooleanQuery().must(term("apple")).must(term("banana")).count_estimate(*reader);
  ASSERT_TRUE(estimate.has_value());
  EXPECT_EQ(*estimate, 2u);
  estimate = BooleanQuery().should(term("apple")).should(term("cherry")).count_estimate(*reader);
  ASSERT_TRUE(estimate.has_value());
  EXPECT_EQ(*estimate, 5u);

  auto absent_must = collector::search_segment(
      *reader, BooleanQuery().must(term("durian")).should(term("apple")), 10);
  ASSERT_TRUE(absent_must.has_value());
  EXPECT_TRUE(absent_must->empty());
}

// A boolean query of term clauses is answered straight from its posting
// lists. Over a written segment (short lists inline in the dictionary, long
// ones in ".post", blocks of 16 postings) it gives, bit for bit, what the
// generic loop over the query's own scorer gives, with the segment's
// statistics or precomputed ones (also a NaN or negative idf).
TEST_F(SegmentSearchTest, TermClauseQueriesGiveWhatTheirScorerGives) {
  std::mt19937 rng(3);
  const std::vector<std::string> words = {"a", "b", "c", "d", "e", "f", "g", "h"};
  segment_.docs.clear();
  for (int d = 0; d < 3000; ++d) {
    std::string text;
    for (size_t w = 0; w < words.size(); ++w) {
      // Word w in about one document of 1 + 2w, now and then several times.
      if (rng() % (1 + 2 * w) != 0) continue;
      for (uint32_t n = rng() % 5 == 0 ? 2 + rng() % 4 : 1; n > 0; --n) text += " " + words[w];
    }
    if (d % 1000 == 5) text += " rare";  // three postings, kept inline
    segment_.docs.push_back(tw::text_document({{0, text}}));
  }
  segment_.terms.inline_postings = true;
  segment_.terms.posting_block = 16;
  auto reader = open();
  ASSERT_NE(reader, nullptr);

  auto wand = std::make_shared<WandData>();
  wand->terms[WandData::key("body", "a")] = TermWandInfo{std::numeric_limits<float>::quiet_NaN()};
  wand->terms[WandData::key("body", "b")] = TermWandInfo{-0.5f};
  wand->terms[WandData::key("body", "c")] = TermWandInfo{2.0f};
  wand->avg_field_len = 3.5f;
  std::shared_ptr<const WandData> shared = wand;
  auto term = [&](bool precomputed) {
    const uint32_t pick = rng() % 12;
    const std::string word = pick == 0 ? "zzz" : pick == 1 ? "rare" : words[rng() % words.size()];
    return precomputed ? TermQuery(0, word, "body", shared) : TermQuery::text(0, word);
  };
  for (int round = 0; round < 200; ++round) {
    const bool precomputed = round % 4 == 3;
    BooleanQuery query;
    for (size_t n = rng() % 3 == 0 ? 1 + rng() % 2 : 0; n > 0; --n) query = std::move(query).must(term(precomputed));
    for (size_t n = rng() % 4; n > 0; --n) query = std::move(query).should(term(precomputed));
    for (size_t n = rng() % 3; n > 0; --n) query = std::move(query).must_not(term(precomputed));
    for (size_t limit : {size_t{0}, size_t{1}, size_t{10}, std::numeric_limits<size_t>::max()}) {
      auto scorer = query.scorer(*reader);
      ASSERT_TRUE(scorer.has_value());
      const std::vector<SearchResult> expected = collector::collect_top_k(**scorer, limit);
      auto hits = collector::search_segment(*reader, query, limit);
      ASSERT_TRUE(hits.has_value());
      ASSERT_EQ(hits->size(), expected.size()) << "round " << round;
      for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ((*hits)[i].doc_id, expected[i].doc_id) << "round " << round << " hit " << i;
        ASSERT_EQ(bits((*hits)[i].score), bits(expected[i].score)) << "round " << round << " hit " << i;
      }
    }
  }
}

TEST_F(SegmentSearchTest, PostingReadErrorsFailTheSearch) {
  truncate_postings_ = true;
  auto reader = open();
  ASSERT_NE(reader, nullptr);
  const std::string expected = "Index corruption: Posting offset out of bounds";
  auto term = [&](const char* text) { return TermQuery::text(0, text); };

  auto hits = collector::search_segment(*reader, term("apple"), 10);
  ASSERT_FALSE(hits.has_value());
  EXPECT_EQ(hits.error().to_string(), expected);
  auto count = term("apple").count_estimate(*reader);
  ASSERT_FALSE(count.has_value());
  EXPECT_EQ(count.error().to_string(), expected);

  // An absent term reads no postings, so the failing clause decides, even
  // where the absent must term alone means no document can match.
  for (const BooleanQuery& query :
       {BooleanQuery().must(term("durian")).must_not(term("apple")),
        BooleanQuery().must(term("durian")).should(term("apple")),
        BooleanQuery().should(term("durian")).should(term("cherry"))}) {
    auto boolean = collector::search_segment(*reader, query, 10);
    ASSERT_FALSE(boolean.has_value());
    EXPECT_EQ(boolean.error().to_string(), expected);
  }
  auto estimate = BooleanQuery().should(term("durian")).should(term("apple")).count_estimate(*reader);
  ASSERT_FALSE(estimate.has_value());
  EXPECT_EQ(estimate.error().to_string(), expected);
}

// A query the bloom filter rules out is known to match nothing before any
// read: the search of such a query answers no hits and no error even where
// the posting file is cut short. Without a filter only a query of no terms
// is.
TEST_F(SegmentSearchTest, QueriesTheBloomFilterRulesOutMatchNothingUnread) {
  truncate_postings_ = true;
  auto term = [](Field field, const char* text) { return std::make_unique<TermQuery>(TermQuery::text(field, text)); };
  struct Case {
    const char* name;
    std::unique_ptr<Query> query;
    bool ruled_out;  // with the fixture's filter, which lets no absent word through
    bool ruled_out_without_filter = false;
  };
  std::vector<Case> cases;
  cases.push_back({"present term", term(0, "apple"), false});
  cases.push_back({"absent term", term(0, "durian"), true});
  cases.push_back({"term of another field", term(1, "banana"), true});
  auto boolean = [](BooleanQuery query) { return std::make_unique<BooleanQuery>(std::move(query)); };
  cases.push_back({"absent musts", boolean(BooleanQuery().must(term(0, "durian")).must(term(0, "fig"))), true});
  cases.push_back({"present should", boolean(BooleanQuery().must(term(0, "durian")).should(term(0, "apple"))), false});
  cases.push_back(
      {"present must_not", boolean(BooleanQuery().should(term(0, "durian")).must_not(term(0, "cherry"))), false});
  cases.push_back({"no clauses", boolean(BooleanQuery()), true, true});
  cases.push_back(
      {"non-term clause", boolean(BooleanQuery().must(boolean(BooleanQuery().must(term(0, "durian"))))), false});

  for (bool bloom : {true, false}) {
    segment_.terms.bloom = bloom;
    auto reader = open();
    ASSERT_NE(reader, nullptr);
    for (const Case& c : cases) {
      const bool ruled_out = collector::matches_nothing_unread(*reader, *c.query);
      EXPECT_EQ(ruled_out, bloom ? c.ruled_out : c.ruled_out_without_filter) << c.name << (bloom ? "" : ", no filter");
      if (!ruled_out) continue;
      auto hits = collector::search_segment(*reader, *c.query, 10);
      ASSERT_TRUE(hits.has_value()) << c.name << ": " << hits.error().to_string();
      EXPECT_TRUE(hits->empty()) << c.name;
    }
  }
}

// A boolean search keeps, in the segment's ListChecks, what checking a long
// list found: its largest term frequency, or that it is not sound. The next
// search of the list goes by the note, and answers as the first did.
// A note as ListChecks::find answers it.
std::optional<ListChecks::Found> noted(ListChecks::Found found) { return found; }

TEST_F(SegmentSearchTest, BooleanSearchesKeepWhatCheckingALongListFound) {
  // "common" in 600 documents (5 blocks, the only list in ".post"), with term
  // frequencies 1 to 5; "other" in four, kept inline.
  segment_.terms.inline_postings = true;
  segment_.docs.clear();
  for (int i = 0; i < 600; ++i) {
    std::string text;
    for (int k = 0; k <= i % 5; ++k) text += "common ";
    if (i % 150 == 7) text += "other";
    segment_.docs.push_back(tw::text_document({{0, text}}));
  }
  const BooleanQuery query = BooleanQuery().must(TermQuery::text(0, "common")).should(TermQuery::text(0, "other"));
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged list" : "sound list");
    tw::write_segment(dir_, segment_);
    if (damaged) {
      // A byte near the end of the last block gains a continuation bit: the
      // block no longer decodes to what its skip entry says.
      const auto post = dir_ / (tw::segment_base(segment_.id) + ".post");
      std::fstream file(post, std::ios::in | std::ios::out | std::ios::binary);
      file.seekg(-6, std::ios::end);
      const char byte = static_cast<char>(file.get() | 0x80);
      file.seekp(-6, std::ios::end);
      file.put(byte);
    }
    auto reader = AsyncSegmentReader::open(FsDirectory(dir_), *SegmentId::from_hex(segment_.id),
                                           std::make_shared<const Schema>(), 0, 16);
    ASSERT_TRUE(reader.has_value()) << reader.error().to_string();
    auto search = [&](TopKPath expected_path) {
      auto clauses = read_term_clauses(**reader, query);
      EXPECT_TRUE(clauses.has_value());
      if (!clauses.has_value()) return std::vector<SearchResult>{};
      TopKPath path = TopKPath::kNothing;
      auto hits = top_k_term_clauses(std::move(*clauses), 10, &path);
      EXPECT_EQ(path, expected_path);
      return hits;
    };
    auto clauses = read_term_clauses(**reader, query);
    ASSERT_TRUE(clauses.has_value());
    ASSERT_TRUE(clauses->must[0].place.has_value());
    ASSERT_FALSE(clauses->should[0].place.has_value());  // inline
    const uint64_t place = *clauses->must[0].place;
    EXPECT_FALSE(ListChecks::of(**reader).find(place).has_value());

    const TopKPath path = damaged ? TopKPath::kReference : TopKPath::kPruned;
    const std::vector<SearchResult> first = search(path);
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(ListChecks::of(**reader).find(place), noted(damaged ? ListChecks::Found() : ListChecks::Found(5)));
    EXPECT_EQ(hit_bits(search(path)), hit_bits(first));
    if (!damaged) {
      // The note decides: one saying "not sound" sends the search to the
      // boolean scorer, which gives the same hits over a sound list.
      ListChecks::of(**reader).keep(place, std::nullopt);
      EXPECT_EQ(hit_bits(search(TopKPath::kReference)), hit_bits(first));
    }
  }
}

TEST_F(SegmentSearchTest, ListChecksStartOverWhenFull) {
  auto reader = open();
  ASSERT_NE(reader, nullptr);
  constexpr uint64_t kMax = ListChecks::kMaxNotes;
  ListChecks& checks = ListChecks::of(*reader);
  for (uint64_t place = 0; place < kMax; ++place) checks.keep(place, static_cast<uint32_t>(place));
  EXPECT_EQ(checks.find(0), noted(0));
  checks.keep(0, 7);  // a kept place is overwritten, nothing dropped
  EXPECT_EQ(checks.find(0), noted(7));
  EXPECT_EQ(checks.find(kMax - 1), noted(kMax - 1));
  checks.keep(kMax, std::nullopt);  // one more: all dropped first
  EXPECT_FALSE(checks.find(0).has_value());
  EXPECT_EQ(checks.find(kMax), noted(std::nullopt));
  // Another listing of the segment shares the notes.
  EXPECT_EQ(&ListChecks::of(*reader->with_doc_base(100)), &checks);
}

}  // namespace
}  // namespace zelvar
