#include "core/query/boolean_top_k.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/query/boolean.h"
#include "core/query/collector.h"
#include "core/query/term.h"

namespace zelvar {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr size_t kAll = std::numeric_limits<size_t>::max();

// Hits compared bit for bit (a NaN score equals itself).
struct Hits {
  std::vector<SearchResult> hits;
  friend bool operator==(const Hits& a, const Hits& b) {
    return std::equal(a.hits.begin(), a.hits.end(), b.hits.begin(), b.hits.end(),
                      [](const SearchResult& x, const SearchResult& y) {
                        return x.doc_id == y.doc_id &&
                               std::bit_cast<uint32_t>(x.score) == std::bit_cast<uint32_t>(y.score);
                      });
  }
};

std::ostream& operator<<(std::ostream& os, const Hits& h) {
  os << h.hits.size() << " hits:";
  for (size_t i = 0; i < std::min<size_t>(h.hits.size(), 12); ++i) {
    os << " (" << h.hits[i].doc_id << ", " << h.hits[i].score << ")";
  }
  return os;
}

// The reference: the BooleanScorer over the clauses' TermScorers, collected
// as the generic per-segment search does.
Hits reference(const TermClauses& clauses, size_t limit) { return {scorer_top_k_term_clauses(clauses, limit)}; }

Hits fast(const TermClauses& clauses, size_t limit, TopKPath* path) {
  return {top_k_term_clauses(clauses, limit, path)};
}

// `postings` cut into blocks of `block` postings, encoded as the format says.
BlockPostingList blocks_of(const std::vector<Posting>& postings, size_t block) {
  std::vector<Posting> run;
  BlockPostingList list;
  for (size_t start = 0; start < postings.size(); start += block) {
    run.assign(postings.begin() + static_cast<ptrdiff_t>(start),
               postings.begin() + static_cast<ptrdiff_t>(std::min(postings.size(), start + block)));
    BlockPostingList one = BlockPostingList::from_posting_list(run);
    one.skip_list[0].offset = static_cast<uint32_t>(list.data.size());
    list.skip_list.push_back(one.skip_list[0]);
    list.data.insert(list.data.end(), one.data.begin(), one.data.end());
  }
  list.doc_count = static_cast<uint32_t>(postings.size());
  return list;
}

// A random term of a segment of `num_docs` documents: 1 to 100,000 postings
// (a few terms have none, or are absent), spread evenly or in clusters, term
// frequencies mostly 1 and 2 so that scores tie often.
std::optional<BlockPostingList> random_term(std::mt19937& rng, uint32_t num_docs) {
  if (rng() % 12 == 0) return std::nullopt;
  if (rng() % 12 == 0) return BlockPostingList{};
  const size_t wanted = static_cast<size_t>(std::exp(std::log(100000.0) * (rng() % 1000) / 999.0));
  const size_t n = std::min<size_t>(wanted, num_docs);
  std::vector<uint32_t> docs;
  if (rng() % 3 == 0) {
    // Clustered: runs of neighbouring documents.
    uint32_t doc = static_cast<uint32_t>(rng() % num_docs);
    while (docs.size() < n) {
      docs.push_back(doc % num_docs);
      doc += rng() % 4 == 0 ? static_cast<uint32_t>(rng() % 5000) : 1;
    }
  } else {
    for (size_t i = 0; i < n; ++i) docs.push_back(static_cast<uint32_t>(rng() % num_docs));
  }
  std::sort(docs.begin(), docs.end());
  docs.erase(std::unique(docs.begin(), docs.end()), docs.end());
  std::vector<Posting> postings;
  const uint32_t tf_range = std::vector<uint32_t>{1, 2, 3, 8, 70}[rng() % 5];
  for (uint32_t doc : docs) {
    const uint32_t tf = rng() % 50 == 0 ? static_cast<uint32_t>(rng() % 1000) : 1 + rng() % tf_range;
    postings.push_back({doc, tf});
  }
  return blocks_of(postings, rng() % 4 == 0 ? 1 + rng() % 128 : 128);
}

// A weight as the segment gives it, or a round one that many terms share
// (equal weights make equal scores across clauses).
TermWeight random_weight(std::mt19937& rng, uint32_t num_docs, const std::optional<BlockPostingList>& list) {
  static const std::vector<float> averages = {0.0f, 1.0f, 4.5f, 12.25f, kNaN, 3e30f};
  const float avg = averages[rng() % averages.size()];
  switch (rng() % 4) {
    case 0:
      return TermWeight(1.0f, avg);
    case 1:
      return TermWeight(rng() % 2 ? 0.0f : 1e30f, avg);
    default:
      return TermWeight(TermScorer::compute_idf(num_docs, list.has_value() ? list->doc_count : 0), avg);
  }
}

struct RandomQuery {
  TermClauses clauses;
  size_t limit;
};

// Clauses drawn from a pool of random terms, with repeats: a term may be a
// clause twice, or both a must and a must-not clause.
RandomQuery random_query(std::mt19937& rng) {
  const uint32_t num_docs = 1 + static_cast<uint32_t>(rng() % 300000);
  std::vector<TermClause> pool;
  for (size_t i = 1 + rng() % 5; i > 0; --i) {
    std::optional<BlockPostingList> list = random_term(rng, num_docs);
    const TermWeight weight = random_weight(rng, num_docs, list);
    pool.push_back({std::move(list), weight});
  }
  RandomQuery q;
  auto pick = [&](std::vector<TermClause>& into, size_t most) {
    for (size_t n = rng() % (most + 1); n > 0; --n) into.push_back(pool[rng() % pool.size()]);
  };
  // Must clauses in a third of the queries, should clauses in most.
  if (rng() % 3 == 0) pick(q.clauses.must, 2);
  pick(q.clauses.should, rng() % 6 == 0 ? 0 : 4);
  if (rng() % 2 == 0) pick(q.clauses.must_not, 2);
  q.limit = std::vector<size_t>{0, 1, 10, 10, 10, 100, kAll, rng() % 40}[rng() % 8];
  return q;
}

std::string describe(const RandomQuery& q) {
  std::string out = "limit " + (q.limit == kAll ? std::string("all") : std::to_string(q.limit));
  for (const auto& [name, list] : {std::pair{" must", &q.clauses.must},
                                   std::pair{" should", &q.clauses.should},
                                   std::pair{" must_not", &q.clauses.must_not}}) {
    out += name;
    for (const TermClause& c : *list) {
      out += " " + (c.postings.has_value() ? std::to_string(c.postings->doc_count) : std::string("absent"));
    }
  }
  return out;
}

TEST(TermClausesTopKTest, MatchesTheBooleanScorerOnRandomQueries) {
  std::mt19937 rng(17);
  size_t pruned = 0;
  for (int round = 0; round < 400; ++round) {
    const RandomQuery q = random_query(rng);
    TopKPath path;
    ASSERT_EQ(fast(q.clauses, q.limit, &path), reference(q.clauses, q.limit))
        << "round " << round << ": " << describe(q);
    // Sound lists with bounded weights never need the reference.
    ASSERT_NE(path, TopKPath::kReference) << "round " << round << ": " << describe(q);
    pruned += path == TopKPath::kPruned;
  }
  EXPECT_GT(pruned, 200u);
}

// Blocks of a sound list broken one way or another: the kinds of damage a
// cursor must not trust.
void damage(std::mt19937& rng, BlockPostingList& list) {
  if (list.skip_list.empty()) return;
  SkipEntry& entry = list.skip_list[rng() % list.skip_list.size()];
  switch (rng() % 6) {
    case 0:  // a skip entry that claims less or more than its block holds
      entry.last_doc += rng() % 2 ? 1 : -1;
      break;
    case 1:  // skip entries out of order
      std::swap(entry, list.skip_list[rng() % list.skip_list.size()]);
      break;
    case 2:  // a block that starts over: documents not ascending
      entry.offset = list.skip_list[rng() % list.skip_list.size()].offset;
      break;
    case 3:  // an offset past the data
      entry.offset = static_cast<uint32_t>(list.data.size() + rng() % 3);
      break;
    case 4:  // a stray byte
      if (!list.data.empty()) list.data[rng() % list.data.size()] = static_cast<uint8_t>(rng());
      break;
    default:  // data cut short
      list.data.resize(rng() % (list.data.size() + 1));
  }
}

// Whether every block decodes, through the iterator, to what the skip entries
// promise: documents ascending within and across blocks, below TERMINATED,
// each block ending on its entry's last document.
bool promised(const BlockPostingList& list) {
  BlockPostingIterator it(&list);
  uint64_t previous_last = 0;
  for (size_t b = 0; b < list.skip_list.size(); ++b) {
    it.load_block(b);
    if (it.block_len() == 0) return false;
    for (size_t i = 0; i < it.block_len(); ++i) {
      if ((b > 0 || i > 0) && it.doc_at(i) <= previous_last) return false;
      previous_last = it.doc_at(i);
    }
    if (it.doc_at(it.block_len() - 1) != list.skip_list[b].last_doc || previous_last == TERMINATED) {
      return false;
    }
  }
  return true;
}

TEST(TermClausesTopKTest, DamagedListsGiveTheBooleanScorersAnswer) {
  std::mt19937 rng(29);
  size_t damaged = 0;
  for (int round = 0; round < 400; ++round) {
    RandomQuery q = random_query(rng);
    bool broken = false;
    for (auto* list : {&q.clauses.must, &q.clauses.should, &q.clauses.must_not}) {
      for (TermClause& c : *list) {
        if (!c.postings.has_value() || rng() % 2 == 0) continue;
        damage(rng, *c.postings);
        broken = broken || !promised(*c.postings);
      }
    }
    TopKPath path;
    ASSERT_EQ(fast(q.clauses, q.limit, &path), reference(q.clauses, q.limit))
        << "round " << round << ": " << describe(q);
    if (broken && path != TopKPath::kNothing) {
      ASSERT_EQ(path, TopKPath::kReference) << "round " << round << ": " << describe(q);
      ++damaged;
    }
  }
  EXPECT_GT(damaged, 100u);
}

// A term frequency beyond 32 bits scores by its low 32 bits; the bound of
// its clause must come from those too, or the walk would stop before a
// better document. Documents 1, 2, 3 with term frequencies 1, 5 and 2^32 + 1
// (which scores as 1): the best is document 2.
TEST(TermClausesTopKTest, TermFrequenciesBeyond32BitsBoundByTheirLowBits) {
  BlockPostingList list;
  for (uint64_t v : {uint64_t{3}, uint64_t{1}, uint64_t{1}, uint64_t{1}, uint64_t{5}, uint64_t{1},
                     (uint64_t{1} << 32) + 1}) {
    while (v >= 0x80) {
      list.data.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    list.data.push_back(static_cast<uint8_t>(v));
  }
  list.skip_list.push_back({1, 3, 0});
  list.doc_count = 3;
  for (size_t limit : {size_t{1}, size_t{2}, kAll}) {
    TermClauses should_only;
    should_only.should = {{list, TermWeight(1.5f, 2.0f)}};
    TermClauses must_only;
    must_only.must = {{list, TermWeight(1.5f, 2.0f)}};
    for (const TermClauses* clauses : {&should_only, &must_only}) {
      TopKPath path;
      const Hits hits = fast(*clauses, limit, &path);
      EXPECT_EQ(hits, reference(*clauses, limit)) << limit;
      EXPECT_EQ(path, TopKPath::kPruned);
      ASSERT_FALSE(hits.hits.empty());
      EXPECT_EQ(hits.hits[0].doc_id, 2u) << limit;
    }
  }
}

// Weights whose scores may be negative or NaN are beyond the bound: such
// queries take the BooleanScorer, and a must-not clause's weight plays no
// part.
TEST(TermClausesTopKTest, UnboundedWeightsTakeTheBooleanScorer) {
  std::vector<Posting> postings;
  for (uint32_t d = 0; d < 3000; d += 3) postings.push_back({d, 1 + d % 5});
  const BlockPostingList every_third = blocks_of(postings, 128);
  postings.clear();
  for (uint32_t d = 0; d < 3000; d += 2) postings.push_back({d, 1 + d % 3});
  const BlockPostingList every_second = blocks_of(postings, 128);

  struct Case {
    const char* name;
    float idf;
    TopKPath path;
  };
  const std::vector<Case> cases = {
      {"negative idf (more postings than documents)", TermScorer::compute_idf(100, 3000),
       TopKPath::kReference},
      {"NaN idf", kNaN, TopKPath::kReference},
      {"infinite idf", kInf, TopKPath::kReference},
      {"negative infinite idf", -kInf, TopKPath::kReference},
      {"negative zero idf", -0.0f, TopKPath::kPruned},
      {"largest finite idf", std::numeric_limits<float>::max(), TopKPath::kPruned},
  };
  for (const auto& c : cases) {
    for (size_t limit : {size_t{1}, size_t{10}, kAll}) {
      TermClauses should_only;
      should_only.should = {{every_third, TermWeight(c.idf, 2.0f)}, {every_second, TermWeight(1.5f, 2.0f)}};
      TermClauses mixed;
      mixed.must = {{every_second, TermWeight(1.5f, 2.0f)}};
      mixed.should = {{every_third, TermWeight(c.idf, 2.0f)}};
      TermClauses excluded;
      excluded.should = {{every_second, TermWeight(1.5f, 2.0f)}};
      excluded.must_not = {{every_third, TermWeight(c.idf, 2.0f)}};
      for (const TermClauses* clauses : {&should_only, &mixed}) {
        TopKPath path;
        EXPECT_EQ(fast(*clauses, limit, &path), reference(*clauses, limit)) << c.name << " " << limit;
        EXPECT_EQ(path, c.path) << c.name;
      }
      TopKPath path;
      EXPECT_EQ(fast(excluded, limit, &path), reference(excluded, limit)) << c.name;
      EXPECT_EQ(path, TopKPath::kPruned) << c.name;
    }
  }
}

}  // namespace
}  // namespace zelvar
