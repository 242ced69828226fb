#include "core/query/boolean.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/query/collector.h"
#include "core/query/term.h"
#include "core/query/term_score_test_util.h"

namespace zelvar {
namespace {

// ---- an independent model of the expected results ----------------------------------

using term_score_test::r;
using term_score_test::reference_score;

struct Hit {
  uint32_t doc;
  float score;
  friend bool operator==(const Hit& a, const Hit& b) {
    return a.doc == b.doc && std::bit_cast<uint32_t>(a.score) == std::bit_cast<uint32_t>(b.score);
  }
};

std::ostream& operator<<(std::ostream& os, const Hit& h) {
  return os << "(" << h.doc << ", " << h.score << ")";
}

// A small segment: terms with their postings, each scored with its own idf.
struct Segment {
  static constexpr float kAvg = 2.0f;
  std::map<std::string, std::vector<Posting>> terms;

  float idf(const std::string& term) const {
    return 0.5f + static_cast<float>(term.size()) * 0.25f + (term.empty() ? 0 : term[0] - 'a');
  }
  const Posting* find(const std::string& term, uint32_t doc) const {
    auto it = terms.find(term);
    if (it == terms.end()) return nullptr;
    auto p = std::lower_bound(it->second.begin(), it->second.end(), doc,
                              [](const Posting& x, uint32_t d) { return x.doc_id < d; });
    return p != it->second.end() && p->doc_id == doc ? &*p : nullptr;
  }

  // A TermScorer over the term's postings, or EmptyScorer for an absent term.
  std::unique_ptr<Scorer> scorer(const std::string& term) const {
    auto it = terms.find(term);
    if (it == terms.end()) return std::make_unique<EmptyScorer>();
    return std::make_unique<TermScorer>(BlockPostingList::from_posting_list(it->second), idf(term),
                                        kAvg);
  }
};

struct Clauses {
  std::vector<std::string> must, should, must_not;
};

std::vector<Hit> expected_hits(const Segment& seg, const Clauses& c) {
  std::set<uint32_t> docs;
  for (const auto& [term, postings] : seg.terms) {
    for (const auto& p : postings) docs.insert(p.doc_id);
  }
  std::vector<Hit> hits;
  for (uint32_t doc : docs) {
    bool match;
    if (!c.must.empty()) {
      match = std::all_of(c.must.begin(), c.must.end(),
                          [&](const std::string& t) { return seg.find(t, doc) != nullptr; });
    } else {
      match = std::any_of(c.should.begin(), c.should.end(),
                          [&](const std::string& t) { return seg.find(t, doc) != nullptr; });
    }
    for (const auto& t : c.must_not) match = match && seg.find(t, doc) == nullptr;
    if (!match) continue;
    float sum = 0.0f;
    for (const auto* list : {&c.must, &c.should}) {
      for (const auto& t : *list) {
        if (const Posting* p = seg.find(t, doc)) {
          sum = r(double(sum) + double(reference_score(p->term_freq, Segment::kAvg, seg.idf(t))));
        }
      }
    }
    hits.push_back({doc, sum});
  }
  return hits;
}

// ---- a clause scorer that checks how the boolean scorer drives it ------------------

struct Moves {
  size_t advances = 0;
  size_t seeks = 0;
  bool moved_back = false;
  // More moves than this throw, so that a scorer that would never end fails
  // its test instead of hanging it.
  size_t budget = std::numeric_limits<size_t>::max();
};

class CheckedScorer final : public Scorer {
 public:
  CheckedScorer(std::unique_ptr<Scorer> inner, Moves* moves)
      : inner_(std::move(inner)), moves_(moves) {}
  uint32_t doc() const override { return inner_->doc(); }
  float score() const override { return inner_->score(); }
  uint32_t advance() override {
    ++moves_->advances;
    return check(inner_->doc(), inner_->advance());
  }
  uint32_t seek(uint32_t target) override {
    ++moves_->seeks;
    return check(inner_->doc(), inner_->seek(target));
  }
  uint32_t size_hint() const override { return inner_->size_hint(); }

 private:
  uint32_t check(uint32_t before, uint32_t after) {
    if (after < before) moves_->moved_back = true;
    if (moves_->advances + moves_->seeks > moves_->budget) throw std::length_error("no end");
    return after;
  }
  std::unique_ptr<Scorer> inner_;
  Moves* moves_;
};

struct Built {
  std::unique_ptr<BooleanScorer> scorer;
  std::unique_ptr<Moves> must, should, must_not;
};

Built build(const Segment& seg, const Clauses& c) {
  Built b{nullptr, std::make_unique<Moves>(), std::make_unique<Moves>(), std::make_unique<Moves>()};
  auto make = [&](const std::vector<std::string>& terms, Moves* moves) {
    BooleanScorer::Scorers scorers;
    for (const auto& t : terms) scorers.push_back(std::make_unique<CheckedScorer>(seg.scorer(t), moves));
    return scorers;
  };
  b.scorer = std::make_unique<BooleanScorer>(make(c.must, b.must.get()), make(c.should, b.should.get()),
                                             make(c.must_not, b.must_not.get()));
  return b;
}

std::vector<Hit> walk(Scorer& scorer) {
  std::vector<Hit> hits;
  for (uint32_t d = scorer.doc(); d != TERMINATED; d = scorer.advance()) {
    hits.push_back({d, scorer.score()});
  }
  return hits;
}

std::vector<Posting> every(uint32_t step, uint32_t limit, uint32_t offset = 0) {
  std::vector<Posting> out;
  for (uint32_t d = offset; d < limit; d += step) out.push_back({d, 1 + d % 4});
  return out;
}

Segment small_segment() {
  Segment seg;
  seg.terms["a"] = {{1, 1}, {3, 2}, {5, 1}, {7, 3}, {9, 1}};
  seg.terms["b"] = {{3, 1}, {4, 4}, {5, 2}, {10, 1}};
  seg.terms["c"] = {{5, 1}, {9, 2}, {11, 1}};
  // Lists of several blocks, so that seeks skip whole blocks.
  seg.terms["two"] = every(2, 3000);
  seg.terms["three"] = every(3, 3000);
  seg.terms["seven"] = every(7, 3000, 1);
  seg.terms["none"] = {};  // present, but a list without blocks
  return seg;
}

// ---- the cases -----------------------------------------------------------------

TEST(BooleanScorerTest, MatchesAndScoresByClauseKind) {
  const Segment seg = small_segment();
  struct Case {
    const char* name;
    Clauses clauses;
    std::vector<uint32_t> docs;  // checked besides the model, where short
  };
  const std::vector<Case> cases = {
      {"no clauses", {}, {}},
      {"must_not only", {{}, {}, {"a"}}, {}},
      {"absent must term", {{"zzz"}, {}, {}}, {}},
      {"absent must term beside a present one", {{"a", "zzz"}, {"b"}, {}}, {}},
      {"two must terms intersect", {{"a", "b"}, {}, {}}, {3, 5}},
      {"must with should: should only adds", {{"a"}, {"b"}, {}}, {1, 3, 5, 7, 9}},
      {"should only: union", {{}, {"a", "b"}, {}}, {1, 3, 4, 5, 7, 9, 10}},
      {"same should term twice adds twice", {{}, {"a", "a"}, {}}, {1, 3, 5, 7, 9}},
      {"absent should term never matches", {{}, {"zzz", "c"}, {}}, {5, 9, 11}},
      {"must_not excludes from must", {{"a"}, {}, {"c"}}, {1, 3, 7}},
      {"must_not excludes from should", {{}, {"a", "b"}, {"c"}}, {1, 3, 4, 7, 10}},
      {"must_not of the only should term", {{}, {"a"}, {"a"}}, {}},
      {"must_not of an absent term excludes nothing", {{"b"}, {}, {"zzz"}}, {3, 4, 5, 10}},
      {"must and must_not on the same term", {{"b"}, {"a"}, {"b"}}, {}},
      {"must clause without postings", {{"a", "none"}, {"b"}, {}}, {}},
      {"should clause without postings", {{}, {"none", "c"}, {}}, {5, 9, 11}},
      {"must_not clause without postings", {{"c"}, {}, {"none"}}, {5, 9, 11}},
      {"long must lists leapfrog", {{"two", "three"}, {}, {}}, {}},
      {"long lists, all kinds", {{"two"}, {"three", "a"}, {"seven", "c"}}, {}},
      {"long should lists with exclusions", {{}, {"seven", "three"}, {"two"}}, {}},
  };
  for (const auto& c : cases) {
    Built b = build(seg, c.clauses);
    const std::vector<Hit> hits = walk(*b.scorer);
    EXPECT_EQ(hits, expected_hits(seg, c.clauses)) << c.name;
    if (!c.docs.empty() || hits.empty()) {
      std::vector<uint32_t> docs;
      for (const auto& h : hits) docs.push_back(h.doc);
      EXPECT_EQ(docs, c.docs) << c.name;
    }
    EXPECT_EQ(b.scorer->doc(), TERMINATED) << c.name;
    EXPECT_EQ(b.must_not->advances, 0u) << c.name;  // must_not clauses are only sought
    EXPECT_FALSE(b.must->moved_back || b.should->moved_back || b.must_not->moved_back) << c.name;
  }
}

TEST(BooleanScorerTest, ScoreIsTheSumOfTheMatchingClauses) {
  const Segment seg = small_segment();
  // Document 5 holds a (tf 1), b (tf 2) and c (tf 1).
  Built b = build(seg, {{"a"}, {"b", "c"}, {}});
  ASSERT_EQ(b.scorer->seek(5), 5u);
  const float a = reference_score(1, Segment::kAvg, seg.idf("a"));
  const float bb = reference_score(2, Segment::kAvg, seg.idf("b"));
  const float c = reference_score(1, Segment::kAvg, seg.idf("c"));
  EXPECT_EQ(b.scorer->score(), r(double(r(double(a) + double(bb))) + double(c)));
  // Document 7 holds a only, with tf 3.
  ASSERT_EQ(b.scorer->advance(), 7u);
  EXPECT_EQ(b.scorer->score(), reference_score(3, Segment::kAvg, seg.idf("a")));
}

// Random segments and clause sets against the model, walking and seeking.
TEST(BooleanScorerTest, AgreesWithTheModelOnRandomSegments) {
  std::mt19937 rng(11);
  const std::vector<std::string> names = {"a", "b", "c", "d", "e"};
  for (int round = 0; round < 300; ++round) {
    Segment seg;
    for (const auto& name : names) {
      if (rng() % 6 == 0) continue;  // absent from this segment
      const uint32_t density = 1 + rng() % 12;
      std::vector<Posting> postings;
      for (uint32_t d = 0; d < 1500; ++d) {
        if (rng() % density == 0) postings.push_back({d, 1 + static_cast<uint32_t>(rng() % 6)});
      }
      seg.terms[name] = std::move(postings);
    }
    Clauses c;
    for (auto* list : {&c.must, &c.should, &c.must_not}) {
      const size_t n = rng() % 3;
      for (size_t i = 0; i < n; ++i) list->push_back(names[rng() % names.size()]);
    }
    const std::vector<Hit> expected = expected_hits(seg, c);

    Built walked = build(seg, c);
    ASSERT_EQ(walk(*walked.scorer), expected) << "round " << round;
    ASSERT_EQ(walked.must_not->advances, 0u);
    ASSERT_FALSE(walked.must->moved_back || walked.should->moved_back || walked.must_not->moved_back);

    Built sought = build(seg, c);
    uint32_t target = 0;
    while (sought.scorer->doc() != TERMINATED) {
      target = std::max(target, sought.scorer->doc()) + static_cast<uint32_t>(rng() % 40);
      const uint32_t doc = sought.scorer->seek(target);
      auto it = std::find_if(expected.begin(), expected.end(), [&](const Hit& h) { return h.doc >= target; });
      ASSERT_EQ(doc, it == expected.end() ? TERMINATED : it->doc) << "round " << round << " target " << target;
      if (doc != TERMINATED) {
        ASSERT_EQ((Hit{doc, sought.scorer->score()}), *it) << "round " << round;
      }
    }
  }
}

// Blocks encoded one by one, joined under skip entries whose last documents
// are given and may disagree with what the blocks hold.
BlockPostingList joined(const std::vector<std::vector<Posting>>& blocks,
                        const std::vector<uint32_t>& last_docs) {
  BlockPostingList list;
  for (size_t b = 0; b < blocks.size(); ++b) {
    const BlockPostingList one = BlockPostingList::from_posting_list(blocks[b]);
    SkipEntry skip = one.skip_list.empty() ? SkipEntry{} : one.skip_list[0];
    skip.last_doc = last_docs[b];
    skip.offset = static_cast<uint32_t>(list.data.size());
    list.skip_list.push_back(skip);
    list.data.insert(list.data.end(), one.data.begin(), one.data.end());
    if (one.data.empty()) list.data.push_back(0);  // a block of no postings
    list.doc_count += one.doc_count;
  }
  return list;
}

// Posting data that disagrees with its skip entries (only a damaged file holds
// it) may give odd matches, but the scorer must come to its end.
TEST(BooleanScorerTest, EndsOnPostingsThatDisagreeWithTheirSkipEntries) {
  auto scorers = [](std::vector<BlockPostingList> lists, Moves* moves) {
    BooleanScorer::Scorers out;
    for (auto& list : lists) {
      out.push_back(std::make_unique<CheckedScorer>(
          std::make_unique<TermScorer>(std::move(list), 1.0f, 1.0f), moves));
    }
    return out;
  };
  auto run = [&](std::vector<BlockPostingList> must, std::vector<BlockPostingList> should,
                 std::vector<BlockPostingList> must_not, std::vector<uint32_t>* docs) {
    Moves moves;
    moves.budget = 100000;
    BooleanScorer scorer(scorers(std::move(must), &moves), scorers(std::move(should), &moves),
                         scorers(std::move(must_not), &moves));
    for (const Hit& hit : walk(scorer)) docs->push_back(hit.doc);
  };

  // The must list's first entry claims documents up to 100, which its block
  // does not hold; the document it does hold at 80 is excluded. Sent back to
  // the first block, the intersection would find 80 and exclude it for ever.
  std::vector<uint32_t> docs;
  EXPECT_NO_THROW(run({joined({{{10, 1}, {80, 1}}, {{60, 1}, {70, 1}}}, {100, 70})}, {},
                      {joined({{{80, 1}}}, {80})}, &docs));
  EXPECT_EQ(docs, (std::vector<uint32_t>{10, 60, 70}));

  std::mt19937 rng(3);
  for (int round = 0; round < 500; ++round) {
    auto random_lists = [&](size_t max) {
      std::vector<BlockPostingList> lists(rng() % (max + 1));
      for (auto& list : lists) {
        std::vector<std::vector<Posting>> blocks(1 + rng() % 4);
        std::vector<uint32_t> last_docs;
        for (auto& block : blocks) {
          uint32_t doc = static_cast<uint32_t>(rng() % 100);
          for (size_t i = rng() % 5; i > 0; --i, doc += 1 + static_cast<uint32_t>(rng() % 30)) {
            block.push_back({doc, 1});
          }
          last_docs.push_back(static_cast<uint32_t>(rng() % 150));
        }
        list = joined(blocks, last_docs);
      }
      return lists;
    };
    std::vector<uint32_t> ignored;
    ASSERT_NO_THROW(run(random_lists(2), random_lists(2), random_lists(2), &ignored))
        << "round " << round;
  }
}

// A scorer with nothing but a size hint.
class HintScorer final : public Scorer {
 public:
  explicit HintScorer(uint32_t hint) : hint_(hint) {}
  uint32_t doc() const override { return TERMINATED; }
  float score() const override { return 0.0f; }
  uint32_t advance() override { return TERMINATED; }
  uint32_t seek(uint32_t) override { return TERMINATED; }
  uint32_t size_hint() const override { return hint_; }

 private:
  uint32_t hint_;
};

TEST(BooleanScorerTest, SizeHint) {
  auto scorers = [](std::vector<uint32_t> hints) {
    BooleanScorer::Scorers out;
    for (uint32_t h : hints) out.push_back(std::make_unique<HintScorer>(h));
    return out;
  };
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  struct Case {
    std::vector<uint32_t> must, should;
    uint32_t hint;
  };
  const std::vector<Case> cases = {
      {{}, {}, 0},       {{5, 3, 9}, {100}, 3}, {{}, {4, 6}, 10},
      {{}, {kMax, 2}, kMax},  // the sum saturates
  };
  for (const auto& c : cases) {
    BooleanScorer scorer(scorers(c.must), scorers(c.should), scorers({7}));
    EXPECT_EQ(scorer.size_hint(), c.hint);
    EXPECT_EQ(scorer.doc(), TERMINATED);
  }
}

}  // namespace
}  // namespace zelvar
