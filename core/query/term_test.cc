#include "core/query/term.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/query/collector.h"
#include "core/query/term_score_test_util.h"

namespace zelvar {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using term_score_test::r;
using term_score_test::reference_idf;
using term_score_test::reference_score;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

BlockPostingList list_of(const std::vector<Posting>& postings) {
  return BlockPostingList::from_posting_list(postings);
}

void put_vint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

// A hand-made list: each block is encoded from `blocks[i]` (document gaps as
// stored) but described by `skips[i]`, so that the two may disagree.
BlockPostingList hand_list(const std::vector<std::vector<Posting>>& blocks,
                           std::vector<SkipEntry> skips) {
  BlockPostingList list;
  for (size_t i = 0; i < blocks.size(); ++i) {
    skips[i].offset = static_cast<uint32_t>(list.data.size());
    put_vint(list.data, blocks[i].size());
    uint32_t prev = 0;
    for (size_t j = 0; j < blocks[i].size(); ++j) {
      put_vint(list.data, j == 0 ? blocks[i][j].doc_id : blocks[i][j].doc_id - prev);
      put_vint(list.data, blocks[i][j].term_freq);
      prev = blocks[i][j].doc_id;
    }
    list.doc_count += static_cast<uint32_t>(blocks[i].size());
  }
  list.skip_list = std::move(skips);
  return list;
}

// ---- lower-casing -----------------------------------------------------------

TEST(TermQueryTextTest, LowerCasesTheWholeText) {
  struct Case {
    const char* name;
    std::string text;
    std::string term;
  };
  const std::vector<Case> cases = {
      {"ascii", "Hello", "hello"},
      {"empty", "", ""},
      {"spaces and punctuation stay", "Hello, World-Wide!", "hello, world-wide!"},
      {"dotted capital I takes its full mapping", "\xC4\xB0", "i\xCC\x87"},
      {"capital sigma ending a word is final", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3",
       "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},
      {"capital sigma alone is not final", "\xCE\xA3", "\xCF\x83"},
      {"capital sigma starting a word is not final", "\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1"},
      {"capital sigma inside a word is not final", "\xCE\x91\xCE\xA3\xCE\x91",
       "\xCE\xB1\xCF\x83\xCE\xB1"},
      {"a space ends the word before the next", "\xCE\x91\xCE\xA3 \xCE\x92",
       "\xCE\xB1\xCF\x82 \xCE\xB2"},
      {"case-ignorable characters are skipped", "\xCE\x91\xCE\xA3'\xCE\x92",
       "\xCE\xB1\xCF\x83'\xCE\xB2"},
      {"title-case digraph", "\xC7\x85", "\xC7\x86"},
      {"capital sharp s", "\xE1\xBA\x9E", "\xC3\x9F"},
      {"kelvin sign", "\xE2\x84\xAA", "k"},
      {"roman numeral", "\xE2\x85\xAB", "\xE2\x85\xBB"},
      {"uncased text unchanged", "\xE6\x97\xA5\xE6\x9C\xAC 42", "\xE6\x97\xA5\xE6\x9C\xAC 42"},
      {"ill-formed bytes pass through", "A\xFF" "B\xC3", "a\xFF" "b\xC3"},
      {"sigma at both ends of a word", "\xCE\xA3\xCE\x91\xCE\xA3", "\xCF\x83\xCE\xB1\xCF\x82"},
      {"capital I has no locale rule", "I\xC4\xB0", "ii\xCC\x87"},
      {"a combining mark after final sigma", "\xCE\x91\xCE\xA3\xCC\x81",
       "\xCE\xB1\xCF\x82\xCC\x81"},
      {"a combining mark before final sigma", "\xCE\x91\xCC\x81\xCE\xA3",
       "\xCE\xB1\xCC\x81\xCF\x82"},
      {"a combining mark between sigma and a letter", "\xCE\x91\xCE\xA3\xCC\x81\xCE\x92",
       "\xCE\xB1\xCF\x83\xCC\x81\xCE\xB2"},
      {"a digit ends the word", "\xCE\x91\xCE\xA3" "1", "\xCE\xB1\xCF\x82" "1"},
      {"a full stop is case-ignorable", "\xCE\x91\xCE\xA3.\xCE\x92",
       "\xCE\xB1\xCF\x83.\xCE\xB2"},
      {"a cased mark that is also case-ignorable is skipped", "\xCD\x85\xCE\xA3",
       "\xCD\x85\xCF\x83"},
      {"a feminine ordinal is cased", "\xC2\xAA\xCE\xA3", "\xC2\xAA\xCF\x82"},
      {"a Latin letter precedes final sigma", "A\xCE\xA3", "a\xCF\x82"},
      {"an embedded NUL is kept", std::string("A\0B", 3), std::string("a\0b", 3)},
      {"a letter beyond the basic plane", "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},
      {"an ill-formed byte separates words", "\xCE\x91\xFF\xCE\xA3", "\xCE\xB1\xFF\xCF\x83"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TermQuery::text(3, c.text).term(), c.term) << c.name;
  }
  const TermQuery query = TermQuery::text(3, "X");
  EXPECT_EQ(query.field(), 3u);
  EXPECT_FALSE(query.field_name().has_value());
  EXPECT_EQ(query.wand(), nullptr);
}

// ---- arithmetic ---------------------------------------------------------------

TEST(TermScorerMathTest, WorkedValues) {
  const float idf = TermScorer::compute_idf(100, 10);
  EXPECT_NEAR(idf, 2.2637f, 1e-4);
  EXPECT_NEAR(std::exp(double(idf)), 9.619047, 1e-5);

  TermScorer scorer(list_of({{0, 2}, {1, 1}, {2, 0}}), idf, 4.0f);
  EXPECT_NEAR(scorer.score(), 3.6220f, 1e-4);          // norm 0.625, ratio 4.4 / 2.75
  EXPECT_NEAR(scorer.score() / idf, 1.6f, 1e-6);
  scorer.advance();
  EXPECT_NEAR(scorer.score(), 3.2657f, 1e-4);  // tf 1: 2.2 / 1.525 times idf
  scorer.advance();
  EXPECT_EQ(bits(scorer.score()), bits(0.0f * idf));  // tf 0

  // tf 1 at an average of 0 or 1 (either counts as 1) scores exactly idf.
  for (float avg : {0.0f, 1.0f, 0.5f, kNaN}) {
    TermScorer one(list_of({{7, 1}}), idf, avg);
    EXPECT_EQ(bits(one.score()), bits(idf)) << avg;
  }
}

TEST(TermScorerMathTest, IdfFollowsTheF32OperationOrder) {
  struct Case {
    uint32_t n, df;
  };
  const std::vector<Case> cases = {{100, 10},       {1, 1},         {0, 0},      {3, 1},
                                   {1000000, 1},    {1000000, 999}, {10, 10},    {10, 11},
                                   {10, 20},        {0, 5},         {16777217, 3},
                                   {0xFFFFFFFFu, 1}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& c : cases) {
    const float idf = TermScorer::compute_idf(c.n, c.df);
    EXPECT_EQ(bits(idf), bits(reference_idf(c.n, c.df))) << c.n << " " << c.df;
    EXPECT_TRUE(std::isfinite(idf)) << c.n << " " << c.df;
    // Negative exactly when df exceeds N + 0.5 (inconsistent data); not clamped.
    EXPECT_EQ(idf < 0.0f, double(c.df) > double(c.n) + 0.5) << c.n << " " << c.df;
  }
  // Only where df so outweighs N that N is lost when rounding N - df does the
  // ratio reach -1 exactly, and the logarithm of 0 is -inf; the formula keeps
  // it, and a term frequency of 0 then scores NaN.
  const float lost = TermScorer::compute_idf(3, 0xFFFFFFFFu);
  EXPECT_EQ(bits(lost), bits(reference_idf(3, 0xFFFFFFFFu)));
  EXPECT_EQ(lost, -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(TermScorer(list_of({{0, 0}}), lost, 1.0f).score()));
}

TEST(TermScorerMathTest, ScoresFollowTheF32OperationOrder) {
  const std::vector<uint32_t> term_freqs = {0, 1, 2, 3, 7, 63, 64, 100, 65535, 16777217, 0xFFFFFFFFu};
  const std::vector<float> averages = {0.0f, 0.25f, 1.0f, 1.5f, 4.0f, 17.3f, 123456.7f, 1e30f,
                                       kNaN};
  const std::vector<float> idfs = {TermScorer::compute_idf(100, 10), TermScorer::compute_idf(7, 3),
                                   TermScorer::compute_idf(5, 9), 1.0f};
  for (float idf : idfs) {
    for (float avg : averages) {
      std::vector<Posting> postings;
      for (size_t i = 0; i < term_freqs.size(); ++i) {
        postings.push_back({static_cast<uint32_t>(i), term_freqs[i]});
      }
      TermScorer scorer(list_of(postings), idf, avg);
      for (uint32_t tf : term_freqs) {
        ASSERT_NE(scorer.doc(), TERMINATED);
        EXPECT_EQ(bits(scorer.score()), bits(reference_score(tf, avg, idf)))
            << "tf " << tf << " avg " << avg << " idf " << idf;
        scorer.advance();
      }
      EXPECT_EQ(scorer.doc(), TERMINATED);
    }
  }
}

// The bound a pruned search relies on: no term frequency scores above it, and
// it is not far above what large term frequencies reach. Weights whose scores
// may be negative or NaN have none.
TEST(TermWeightTest, MaxScoreBoundsEveryScore) {
  std::mt19937 rng(41);
  const std::vector<float> averages = {0.0f, 0.25f, 1.0f, 1.5f, 4.0f, 17.3f, 123456.7f,
                                       9.9e29f, 1e30f, 3e38f, kNaN,
                                       std::numeric_limits<float>::infinity()};
  const std::vector<float> idfs = {0.0f, -0.0f, 1e-40f, 0.5f, TermScorer::compute_idf(100, 10),
                                   TermScorer::compute_idf(1000000, 1), 1e30f,
                                   std::numeric_limits<float>::max()};
  for (float idf : idfs) {
    for (float avg : averages) {
      const TermWeight weight(idf, avg);
      const std::optional<float> bound = weight.max_score();
      ASSERT_TRUE(bound.has_value()) << idf << " " << avg;
      std::vector<uint32_t> term_freqs = {0xFFFFFFFFu, 0xFFFFFF7Fu, 16777217};
      for (uint32_t tf = 0; tf < 3000; ++tf) term_freqs.push_back(tf);
      for (int i = 0; i < 3000; ++i) term_freqs.push_back(static_cast<uint32_t>(rng()));
      for (uint32_t tf : term_freqs) {
        ASSERT_LE(weight.score(tf), *bound) << "tf " << tf << " idf " << idf << " avg " << avg;
      }
      if (avg < 1e30f || std::isnan(avg)) {
        EXPECT_LE(*bound, weight.score(0xFFFFFFFFu) * 1.00001f + 1e-38f) << idf << " " << avg;
      }
      // Up to a largest term frequency: the largest of those scores while
      // they are all cached, the bound for every frequency beyond.
      float largest = weight.score(0);
      for (uint32_t max_tf = 0; max_tf < 70; ++max_tf) {
        largest = std::max(largest, weight.score(max_tf));
        const std::optional<float> up_to = weight.max_score(max_tf);
        ASSERT_TRUE(up_to.has_value());
        ASSERT_EQ(bits(*up_to), bits(max_tf < 64 ? largest : *bound)) << max_tf;
      }
    }
  }
  for (float idf : {-0.25f, -1e-40f, kNaN, std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity(), TermScorer::compute_idf(3, 0xFFFFFFFFu)}) {
    EXPECT_FALSE(TermWeight(idf, 4.0f).max_score().has_value()) << idf;
    EXPECT_FALSE(TermWeight(idf, 4.0f).max_score(1).has_value()) << idf;
  }
}

TEST(TermScorerMathTest, AverageFieldLengthFromSegmentStatistics) {
  SegmentMeta meta;
  meta.num_docs = 50;
  meta.field_stats[1] = FieldStats{10, 4};
  meta.field_stats[2] = FieldStats{99, 0};
  meta.field_stats[4] = FieldStats{123456789, 7};
  EXPECT_EQ(TermScorer::compute_avg_field_len(meta, 1), 2.5f);
  EXPECT_EQ(TermScorer::compute_avg_field_len(meta, 2), 0.0f);  // no documents
  EXPECT_EQ(TermScorer::compute_avg_field_len(meta, 3), 0.0f);  // no entry
  // The token count is rounded to f32 before the division.
  EXPECT_EQ(bits(TermScorer::compute_avg_field_len(meta, 4)),
            bits(r(double(r(123456789.0)) / 7.0)));
}

// ---- statistics a query carries -------------------------------------------------

TEST(TermQueryScorerTest, StatisticsFromTheSegmentOrFromWandData) {
  SegmentMeta meta;
  meta.num_docs = 100;
  meta.field_stats[0] = FieldStats{400, 100};
  auto wand = std::make_shared<WandData>();
  wand->terms[WandData::key("title", "caf\xEF\xBF\xBD")] = TermWandInfo{5.5f};
  wand->terms[WandData::key("title", "engine")] = TermWandInfo{7.25f};
  wand->terms[WandData::key("title", "x\xEF\xBF\xBDy")] = TermWandInfo{6.0f};
  wand->terms[WandData::key("title", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!")] =
      TermWandInfo{6.5f};
  wand->avg_field_len = 9.0f;
  std::shared_ptr<const WandData> shared = wand;
  const float segment_idf = TermScorer::compute_idf(100, 10);

  std::vector<Posting> postings;
  for (uint32_t d = 0; d < 10; ++d) postings.push_back({d * 3, 1 + d % 3});

  struct Case {
    const char* name;
    TermQuery query;
    float idf;
    float avg;
  };
  const std::vector<Case> cases = {
      {"without statistics", TermQuery::text(0, "engine"), segment_idf, 4.0f},
      {"wand without field name: only the average", TermQuery(0, "engine", std::nullopt, shared),
       segment_idf, 9.0f},
      {"wand and field name", TermQuery(0, "engine", "title", shared), 7.25f, 9.0f},
      {"term missing from wand falls back to the formula", TermQuery(0, "motor", "title", shared),
       segment_idf, 9.0f},
      {"invalid UTF-8 is looked up with replacement characters",
       TermQuery(0, "caf\xE9", "title", shared), 5.5f, 9.0f},
      {"a truncated sequence is replaced once", TermQuery(0, "x\xF0\x9F\x98y", "title", shared),
       6.0f, 9.0f},
      {"each byte of an encoded surrogate is replaced",
       TermQuery(0, "\xED\xA0\x80!", "title", shared), 6.5f, 9.0f},
      {"field name without wand", TermQuery(0, "engine", "title", nullptr), segment_idf, 4.0f},
  };
  for (const auto& c : cases) {
    auto scorer = c.query.scorer_for(list_of(postings), meta);
    auto* term = dynamic_cast<TermScorer*>(scorer.get());
    ASSERT_NE(term, nullptr) << c.name;
    EXPECT_EQ(bits(term->idf()), bits(c.idf)) << c.name;
    EXPECT_EQ(bits(term->avg_field_len()), bits(c.avg)) << c.name;
    EXPECT_EQ(bits(term->score()), bits(reference_score(1, c.avg, c.idf))) << c.name;
  }
}

// ---- walking the postings -------------------------------------------------------

// 300 postings in three blocks (128, 128, 44): documents 1, 4, 7, ... 898.
class TermScorerWalkTest : public ::testing::Test {
 protected:
  static constexpr float kIdf = 1.5f;
  static constexpr float kAvg = 3.0f;

  TermScorerWalkTest() {
    for (uint32_t i = 0; i < 300; ++i) postings_.push_back({3 * i + 1, i % 5 + 1});
  }
  TermScorer make() const { return TermScorer(list_of(postings_), kIdf, kAvg); }
  float score_at(uint32_t doc) const {
    return reference_score(postings_[(doc - 1) / 3].term_freq, kAvg, kIdf);
  }

  std::vector<Posting> postings_;
};

TEST_F(TermScorerWalkTest, AdvanceVisitsEveryPostingAcrossBlocks) {
  TermScorer scorer = make();
  std::vector<uint32_t> seen;
  for (uint32_t d = scorer.doc(); d != TERMINATED; d = scorer.advance()) {
    EXPECT_EQ(bits(scorer.score()), bits(score_at(d))) << d;
    seen.push_back(d);
  }
  ASSERT_EQ(seen.size(), postings_.size());
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], postings_[i].doc_id);
  // At its end the scorer stays there.
  EXPECT_EQ(scorer.doc(), TERMINATED);
  EXPECT_EQ(scorer.advance(), TERMINATED);
  EXPECT_EQ(scorer.seek(0), TERMINATED);
  EXPECT_EQ(scorer.size_hint(), 0u);
}

TEST_F(TermScorerWalkTest, SeekLandsOnTheFirstPostingAtOrAfterTheTarget) {
  struct Case {
    uint32_t target;
    uint32_t doc;
  };
  const std::vector<Case> cases = {
      {0, 1},     {1, 1},     {2, 4},     {382, 382}, {383, 385},
      {384, 385}, {766, 766}, {767, 769}, {898, 898}, {899, TERMINATED},
      {TERMINATED - 1, TERMINATED}, {TERMINATED, TERMINATED},
  };
  for (const auto& c : cases) {
    TermScorer scorer = make();
    EXPECT_EQ(scorer.seek(c.target), c.doc) << c.target;
    EXPECT_EQ(scorer.doc(), c.doc) << c.target;
    if (c.doc != TERMINATED) {
      EXPECT_EQ(bits(scorer.score()), bits(score_at(c.doc))) << c.target;
      EXPECT_EQ(scorer.advance(), c.doc + 3 <= 898 ? c.doc + 3 : TERMINATED) << c.target;
    } else {
      EXPECT_EQ(scorer.advance(), TERMINATED);
      EXPECT_EQ(scorer.seek(0), TERMINATED);
    }
  }
}

TEST_F(TermScorerWalkTest, SeeksAndAdvancesInterleave) {
  TermScorer scorer = make();
  EXPECT_EQ(scorer.seek(10), 10u);
  EXPECT_EQ(scorer.seek(10), 10u);  // seeking to the current document stays
  EXPECT_EQ(scorer.advance(), 13u);
  EXPECT_EQ(scorer.seek(500), 502u);
  EXPECT_EQ(scorer.advance(), 505u);
  EXPECT_EQ(scorer.seek(767), 769u);
  EXPECT_EQ(scorer.seek(900), TERMINATED);
  EXPECT_EQ(scorer.doc(), TERMINATED);
}

TEST(TermScorerTest, ListWithoutBlocksStartsTerminated) {
  TermScorer scorer(list_of({}), 1.0f, 1.0f);
  EXPECT_EQ(scorer.doc(), TERMINATED);
  EXPECT_EQ(scorer.advance(), TERMINATED);
  EXPECT_EQ(scorer.seek(0), TERMINATED);
  EXPECT_TRUE(collector::collect_top_k(scorer, 10).empty());
}

// Skip entries that disagree with their blocks: every seek must end, going on
// from the next block, and never moves the scorer back to a block it has left.
TEST(TermScorerTest, SeekEndsOnBlocksThatDisagreeWithTheirSkipEntries) {
  struct Case {
    const char* name;
    std::vector<std::vector<Posting>> blocks;
    std::vector<SkipEntry> skips;
    uint32_t target;
    uint32_t doc;
    uint32_t advances = 0;  // advance() calls before the seek
  };
  const std::vector<Case> cases = {
      {"short block, next block holds the target",
       {{{1, 1}, {5, 1}}, {{1500, 2}}},
       {{1, 1000, 0}, {1001, 2000, 0}},
       600,
       1500},
      {"short last block",
       {{{1, 1}, {5, 1}}},
       {{1, 1000, 0}},
       600,
       TERMINATED},
      {"empty block before the target's",
       {{}, {{50, 1}}},
       {{0, 10, 0}, {11, 60, 0}},
       5,
       50},
      {"every block short",
       {{{1, 1}}, {{20, 1}}, {{30, 1}}},
       {{0, 100, 0}, {0, 100, 0}, {0, 100, 0}},
       90,
       TERMINATED},
      {"skip entries out of order are searched from the current block",
       {{{1, 1}, {10, 1}}, {{20, 1}, {50, 1}}, {{2, 1}, {5, 1}}, {{55, 1}, {60, 1}}},
       {{1, 10, 0}, {20, 50, 0}, {2, 5, 0}, {55, 60, 0}},
       30,
       50},
      {"an earlier block whose entry covers the target is not gone back to",
       {{{10, 1}, {80, 1}}, {{60, 1}, {70, 1}}},
       {{10, 100, 0}, {60, 70, 0}},
       60,
       60,
       2},
      {"nor is one past which the scorer has advanced",
       {{{10, 1}, {80, 1}}, {{60, 1}}, {{90, 1}}},
       {{10, 100, 0}, {60, 60, 0}, {90, 90, 0}},
       61,
       90,
       2},
  };
  for (const auto& c : cases) {
    TermScorer scorer(hand_list(c.blocks, c.skips), 1.0f, 1.0f);
    for (uint32_t i = 0; i < c.advances; ++i) scorer.advance();
    EXPECT_EQ(scorer.seek(c.target), c.doc) << c.name;
    EXPECT_EQ(scorer.doc(), c.doc) << c.name;
  }
}

// ---- the fast paths against a plain walk -----------------------------------------

// The scorer's moves made the plain way, over the same iterator state: a
// linear search of the skip entries from the current block, a posting at a
// time, and every score computed afresh. The scorer binary-searches the skip
// entries when they ascend, skips the search when the current block answers,
// and keeps the scores of small term frequencies.
class PlainCursor {
 public:
  PlainCursor(BlockPostingList list, float idf, float avg)
      : it_(std::move(list)), idf_(idf), avg_(avg) {}

  bool on_posting() const { return !it_.exhausted() && it_.cursor() < it_.block_len(); }
  uint32_t doc() const { return on_posting() ? it_.doc_at(it_.cursor()) : TERMINATED; }
  float score() const {
    return reference_score(on_posting() ? it_.term_freq_at(it_.cursor()) : 0, avg_, idf_);
  }
  uint32_t advance() {
    if (it_.exhausted()) return TERMINATED;
    it_.set_cursor(it_.cursor() + 1);
    if (it_.cursor() >= it_.block_len()) it_.load_block(it_.current_block() + 1);
    return doc();
  }
  uint32_t seek(uint32_t target) {
    if (it_.exhausted()) return TERMINATED;
    const auto skips = it_.skip_list();
    size_t b = it_.current_block();
    for (;;) {
      while (b < skips.size() && skips[b].last_doc < target) ++b;
      if (b == skips.size()) {
        it_.load_block(b);
        return TERMINATED;
      }
      if (b != it_.current_block()) it_.load_block(b);
      while (on_posting() && it_.doc_at(it_.cursor()) < target) it_.set_cursor(it_.cursor() + 1);
      if (on_posting()) return doc();
      it_.load_block(it_.current_block() + 1);
      if (it_.exhausted()) return TERMINATED;
      b = it_.current_block();
    }
  }

 private:
  BlockPostingIterator it_;
  float idf_;
  float avg_;
};

TEST(TermScorerTest, FastPathsAgreeWithAPlainWalkOnRandomLists) {
  std::mt19937 rng(23);
  const std::vector<float> averages = {0.0f, 0.5f, 1.0f, 2.7f, 13.0f, 1e6f, kNaN,
                                       std::numeric_limits<float>::infinity()};
  const std::vector<uint32_t> gaps = {1, 2, 3, 1000, 1u << 24};
  for (int round = 0; round < 2000; ++round) {
    const bool sound = round % 2 == 0;
    std::vector<Posting> postings;  // a sound list's postings, in order
    BlockPostingList list;
    if (sound) {
      const size_t n = rng() % 700;
      const uint32_t gap = gaps[rng() % gaps.size()];
      uint64_t doc = rng() % 5;
      for (size_t i = 0; i < n && doc < TERMINATED; ++i, doc += 1 + rng() % gap) {
        // Mostly the cached term frequencies, now and then far beyond them.
        const uint32_t tf = rng() % 8 == 0 ? static_cast<uint32_t>(rng()) : rng() % 80;
        postings.push_back({static_cast<uint32_t>(doc), tf});
      }
      list = list_of(postings);
    } else {
      // Blocks in any order, skip entries that may disagree with them, ascend
      // or not, and offsets that may point past the data.
      std::vector<std::vector<Posting>> blocks(rng() % 6);
      std::vector<SkipEntry> skips(blocks.size());
      uint32_t last = 0;
      const bool ascending = rng() % 2 == 0;
      for (size_t b = 0; b < blocks.size(); ++b) {
        for (size_t i = rng() % 6; i > 0; --i) {
          blocks[b].push_back(
              {static_cast<uint32_t>(rng() % 200), static_cast<uint32_t>(1 + rng() % 70)});
        }
        last = ascending ? last + static_cast<uint32_t>(rng() % 60)
                         : static_cast<uint32_t>(rng() % 200);
        skips[b].last_doc = last;
      }
      list = hand_list(blocks, skips);
      for (auto& skip : list.skip_list) {
        if (rng() % 10 == 0) skip.offset = static_cast<uint32_t>(list.data.size() + rng() % 3);
      }
    }
    const float avg = averages[rng() % averages.size()];
    const float idf = rng() % 4 == 0 ? -0.25f
                                     : TermScorer::compute_idf(1 + rng() % 5000, 1 + rng() % 800);
    TermScorer scorer(list, idf, avg);
    PlainCursor plain(list, idf, avg);
    size_t index = 0;  // a sound list's position among `postings`
    auto model_doc = [&] { return index < postings.size() ? postings[index].doc_id : TERMINATED; };

    for (int step = 0; step < 80; ++step) {
      ASSERT_EQ(scorer.doc(), plain.doc()) << "round " << round << " step " << step;
      ASSERT_EQ(bits(scorer.score()), bits(plain.score())) << "round " << round << " step " << step;
      if (sound) {
        ASSERT_EQ(scorer.doc(), model_doc()) << "round " << round << " step " << step;
      }
      if (sound && scorer.doc() == TERMINATED) break;
      if (rng() % 2 == 0) {
        ASSERT_EQ(scorer.advance(), plain.advance()) << "round " << round << " step " << step;
        ++index;
      } else {
        // Forward from the current document, onto block boundaries often.
        const uint32_t from = scorer.doc() == TERMINATED ? 0 : scorer.doc();
        uint32_t target = from + static_cast<uint32_t>(rng() % 3);
        if (sound && rng() % 3 == 0 && !postings.empty()) {
          const size_t boundary = (index / BlockPostingList::kBlockSize + 1 + rng() % 2) *
                                  BlockPostingList::kBlockSize - rng() % 2;
          if (boundary < postings.size()) target = std::max(from, postings[boundary].doc_id);
        } else if (rng() % 4 == 0) {
          target = from + static_cast<uint32_t>(rng() % 5000);
        }
        ASSERT_EQ(scorer.seek(target), plain.seek(target)) << "round " << round << " step " << step;
        while (index < postings.size() && postings[index].doc_id < target) ++index;
      }
    }
  }
}

}  // namespace
}  // namespace zelvar
