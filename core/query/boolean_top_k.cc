#include "core/query/boolean_top_k.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <span>
#include <string_view>
#include <utility>

#include "core/error/result.h"
#include "core/query/checked_cursor.h"
#include "core/segment/reader.h"

namespace zelvar {
namespace {

// A must or should clause of the pruned walk.
struct ScoredClause {
  CheckedCursor cursor;
  const TermWeight* weight;
  float max_score;  // at or above every score of the clause
  // Should clauses only: sought to every candidate document, which one of
  // the driving clauses must then hold; the other should clauses are sought
  // only to the documents that get scored.
  bool driving = false;
  // Should clauses only: among those whose bounds together (with the must
  // clauses' bounds) cannot lift a document above the threshold.
  bool passive = false;

  float score() const { return weight->score(cursor.term_freq()); }
};

// The pruned walk, over clauses whose every must list has postings and whose
// every must and should weight has a score bound.
class PrunedSearch {
 public:
  PrunedSearch(const TermClauses& clauses, size_t limit) : top_(limit) {
    for (const TermClause& c : clauses.must) {
      must_.push_back({CheckedCursor(*c.postings), &c.weight, *c.weight.max_score()});
    }
    for (const TermClause& c : clauses.should) {
      // An absent term never matches and adds nothing: the clause drops out.
      if (!c.postings.has_value()) continue;
      should_.push_back({CheckedCursor(*c.postings), &c.weight, *c.weight.max_score()});
    }
    for (const TermClause& c : clauses.must_not) {
      if (c.postings.has_value()) must_not_.emplace_back(*c.postings);
    }
    // The intersection leads with the shortest lists; the sums keep clause
    // order whatever the walk's.
    must_order_.resize(must_.size());
    std::iota(must_order_.begin(), must_order_.end(), size_t{0});
    std::stable_sort(must_order_.begin(), must_order_.end(), [&](size_t a, size_t b) {
      return clauses.must[a].postings->skip_list.size() < clauses.must[b].postings->skip_list.size();
    });
    by_max_score_.resize(should_.size());
    std::iota(by_max_score_.begin(), by_max_score_.end(), size_t{0});
    std::stable_sort(by_max_score_.begin(), by_max_score_.end(),
                     [&](size_t a, size_t b) { return should_[a].max_score < should_[b].max_score; });
    // Without must clauses a match needs a should clause: all of them drive.
    // With must clauses the must lists drive until the threshold says more.
    for (ScoredClause& c : should_) c.driving = must_.empty();
  }

  // Walks the lists; false when one of them turns out damaged, and then the
  // collected hits mean nothing.
  bool run() {
    uint32_t target = 0;  // every document below it has been dealt with
    while (!done_ && target != TERMINATED) {
      if (ScoredClause* driver = single_driver()) {
        target = walk_single(*driver, target);
        continue;
      }
      uint32_t doc;
      if (!must_.empty()) {
        doc = align_must(target);
        if (doc == TERMINATED) break;
        if (any_driving_) {
          const uint32_t next = lowest_driving(doc);
          if (next == TERMINATED) break;
          if (next != doc) {
            target = next;
            continue;
          }
        }
      } else {
        doc = lowest_driving(target);
        if (doc == TERMINATED) break;
      }
      offer(doc);
      target = doc + 1;  // doc is below TERMINATED
    }
    // The hits stand only if every block of every list is sound, also those
    // the walk passed over or never reached.
    for (ScoredClause& c : must_) {
      if (!c.cursor.check_rest()) return false;
    }
    for (ScoredClause& c : should_) {
      if (!c.cursor.check_rest()) return false;
    }
    for (CheckedCursor& c : must_not_) {
      if (!c.check_rest()) return false;
    }
    return true;
  }

  std::vector<SearchResult> results() && { return std::move(top_).into_sorted_results(); }

 private:
  // The first document at or after `target` that every must list holds, or
  // TERMINATED. The shortest list leads; the others follow it.
  uint32_t align_must(uint32_t target) {
    CheckedCursor& lead = must_[must_order_[0]].cursor;
    uint32_t doc = lead.seek(target);
    size_t i = 1;
    while (doc != TERMINATED && i < must_order_.size()) {
      const uint32_t other = must_[must_order_[i]].cursor.seek(doc);
      if (other == doc) {
        ++i;
      } else {
        doc = lead.seek(other);
        i = 1;
      }
    }
    return doc;
  }

  // Seeks the driving should clauses to `target` and returns the lowest
  // document they stand on, or TERMINATED.
  uint32_t lowest_driving(uint32_t target) {
    uint32_t lowest = TERMINATED;
    for (ScoredClause& c : should_) {
      if (c.driving) lowest = std::min(lowest, c.cursor.seek(target));
    }
    return lowest;
  }

  // Scores `doc`, which every must list holds (and, when should clauses
  // drive, one of the driving lists; they all stand at or after `doc`), and
  // offers it to the collector unless a must-not list holds it. Documents
  // whose bound cannot pass the threshold of a full collector are dropped
  // first: offered, they would not enter.
  void offer(uint32_t doc) {
    const bool full = top_.full();
    const float threshold = full ? top_.weakest_score() : 0.0f;
    // Both sums start with the must clauses, which all match.
    float must_sum = 0.0f;
    for (const ScoredClause& c : must_) must_sum += c.score();
    if (full && !should_.empty()) {
      float bound = must_sum;
      for (const ScoredClause& c : should_) {
        if (!c.driving) {
          bound += c.max_score;
        } else if (c.cursor.doc() == doc) {
          bound += c.score();
        }
      }
      if (!(bound > threshold)) return;
    }
    float score = must_sum;
    for (ScoredClause& c : should_) {
      if (c.cursor.seek(doc) == doc) score += c.score();
    }
    if (full && !(score > threshold)) return;
    for (CheckedCursor& c : must_not_) {
      if (c.seek(doc) == doc) return;
    }
    top_.collect(doc, score);
    if (top_.full() && (!full || top_.weakest_score() != threshold)) repartition();
  }

  // The clause whose list alone brings up the candidates, once the collector
  // is full: the only must clause while no should clause drives, or, without
  // must clauses, the only driving should clause whose list goes on.
  ScoredClause* single_driver() {
    if (!top_.full()) return nullptr;
    if (!must_.empty()) return must_.size() == 1 && !any_driving_ ? &must_[0] : nullptr;
    ScoredClause* driver = nullptr;
    for (ScoredClause& c : should_) {
      if (!c.driving || c.cursor.doc() == TERMINATED) continue;
      if (driver != nullptr) return nullptr;
      driver = &c;
    }
    return driver;
  }

  // The bound of a document on which `driver` scores `score`: the sum in
  // clause order, with every other clause that may still match at its bound.
  float bound_with(const ScoredClause& driver, float score) const {
    float sum = 0.0f;
    for (const ScoredClause& c : must_) sum += &c == &driver ? score : c.max_score;
    for (const ScoredClause& c : should_) {
      if (&c == &driver) {
        sum += score;
      } else if (!c.driving) {
        sum += c.max_score;
      }
    }
    return sum;
  }

  // Offers the single driver's documents from `target` on, block by block,
  // passing over every posting whose term frequency cannot lift its bound
  // above the threshold. Returns the next target: past the document that
  // raised the threshold, or TERMINATED at the end of the driver's list.
  uint32_t walk_single(ScoredClause& driver, uint32_t target) {
    CheckedCursor& cursor = driver.cursor;
    cursor.seek(target);
    const float threshold = top_.weakest_score();
    // Bit tf set: a posting with term frequency tf may pass.
    uint64_t may_pass = 0;
    for (uint32_t tf = 0; tf < 64; ++tf) {
      if (bound_with(driver, driver.weight->score(tf)) > threshold) may_pass |= uint64_t{1} << tf;
    }
    for (;;) {
      const std::span<const uint32_t> docs = cursor.rest_of_block_docs();
      const std::span<const uint32_t> term_freqs = cursor.rest_of_block_term_freqs();
      if (docs.empty()) return TERMINATED;
      size_t moved = 0;  // the cursor stands on docs[moved]
      for (size_t i = 0; i < docs.size(); ++i) {
        const uint32_t tf = term_freqs[i];
        const bool pass = tf < 64 ? ((may_pass >> tf) & 1) != 0
                                  : bound_with(driver, driver.weight->score(tf)) > threshold;
        if (!pass) continue;
        cursor.skip_in_block(i - moved);
        moved = i;
        offer(docs[i]);
        if (done_ || top_.weakest_score() != threshold) return docs[i] + 1;
      }
      cursor.next_block();
    }
  }

  // The f32 sum of the score bounds of the must clauses and of the passive
  // should clauses (and should clause `also`, if given), in clause order: the
  // most a document can score that no other should clause matches.
  float passive_bound(const ScoredClause* also) const {
    float sum = 0.0f;
    for (const ScoredClause& c : must_) sum += c.max_score;
    for (const ScoredClause& c : should_) {
      if (c.passive || &c == also) sum += c.max_score;
    }
    return sum;
  }

  // After the threshold rose: makes passive the should clauses, lowest bound
  // first, whose bounds together with the must clauses' cannot pass it; if
  // the must clauses and the passive ones cannot pass it, a document needs one
  // of the others, which then drive; if no clause is left to drive, no
  // further document can enter and the walk is done.
  void repartition() {
    const float threshold = top_.weakest_score();
    while (passive_count_ < by_max_score_.size()) {
      ScoredClause& next = should_[by_max_score_[passive_count_]];
      if (!(passive_bound(&next) <= threshold)) break;
      next.passive = true;
      ++passive_count_;
    }
    any_driving_ = false;
    const bool need_driving = must_.empty() || passive_bound(nullptr) <= threshold;
    for (ScoredClause& c : should_) {
      c.driving = need_driving && !c.passive;
      any_driving_ = any_driving_ || c.driving;
    }
    done_ = need_driving && !any_driving_;
  }

  TopKCollector top_;
  std::vector<ScoredClause> must_;
  std::vector<ScoredClause> should_;
  std::vector<CheckedCursor> must_not_;
  std::vector<size_t> must_order_;     // must clauses, shortest list first
  std::vector<size_t> by_max_score_;   // should clauses, lowest bound first
  size_t passive_count_ = 0;           // the first ones of by_max_score_
  bool any_driving_ = false;           // with must clauses: whether a should clause drives
  bool done_ = false;
};

// What the generic search does: the BooleanScorer over the clauses' scorers.
std::vector<SearchResult> reference_top_k(TermClauses clauses, size_t limit) {
  auto scorers = [](std::vector<TermClause>& list) {
    BooleanScorer::Scorers out;
    out.reserve(list.size());
    for (TermClause& c : list) {
      if (c.postings.has_value()) {
        out.push_back(std::make_unique<TermScorer>(std::move(*c.postings), c.weight));
      } else {
        out.push_back(std::make_unique<EmptyScorer>());
      }
    }
    return out;
  };
  BooleanScorer scorer(scorers(clauses.must), scorers(clauses.should), scorers(clauses.must_not));
  return collector::collect_top_k(scorer, limit);
}

Result<std::vector<TermClause>> read_clauses(const AsyncSegmentReader& reader,
                                             const BooleanQuery::Clauses& queries) {
  std::vector<TermClause> clauses;
  clauses.reserve(queries.size());
  for (const auto& query : queries) {
    const auto& term = static_cast<const TermQuery&>(*query);
    ZELVAR_TRY(std::optional<BlockPostingList> postings,
               reader.get_postings(term.field(), std::string_view(term.term())));
    // An absent term's weight is never used.
    const TermWeight weight = postings.has_value() ? term.weight(postings->doc_count, reader.meta())
                                                   : TermWeight(0.0f, 0.0f);
    clauses.push_back(TermClause{std::move(postings), weight});
  }
  return clauses;
}

}  // namespace

bool has_only_term_clauses(const BooleanQuery& query) {
  for (const auto* clauses : {&query.must_clauses(), &query.should_clauses(), &query.must_not_clauses()}) {
    for (const auto& clause : *clauses) {
      if (dynamic_cast<const TermQuery*>(clause.get()) == nullptr) return false;
    }
  }
  return true;
}

Result<TermClauses> read_term_clauses(const AsyncSegmentReader& reader, const BooleanQuery& query) {
  TermClauses clauses;
  ZELVAR_TRY(clauses.must, read_clauses(reader, query.must_clauses()));
  ZELVAR_TRY(clauses.should, read_clauses(reader, query.should_clauses()));
  ZELVAR_TRY(clauses.must_not, read_clauses(reader, query.must_not_clauses()));
  return clauses;
}

std::vector<SearchResult> top_k_term_clauses(TermClauses clauses, size_t limit, TopKPath* path) {
  TopKPath taken = TopKPath::kNothing;
  std::vector<SearchResult> hits;
  // With a limit of 0, no must or should clause, or a must term without
  // postings, the BooleanScorer matches nothing (or nothing is kept) whatever
  // the lists hold.
  const bool nothing =
      limit == 0 || (clauses.must.empty() && clauses.should.empty()) ||
      std::any_of(clauses.must.begin(), clauses.must.end(), [](const TermClause& c) {
        return !c.postings.has_value() || c.postings->skip_list.empty();
      });
  if (!nothing) {
    const auto bounded = [](const TermClause& c) { return c.weight.max_score().has_value(); };
    bool pruned = false;
    if (std::all_of(clauses.must.begin(), clauses.must.end(), bounded) &&
        std::all_of(clauses.should.begin(), clauses.should.end(), bounded)) {
      PrunedSearch search(clauses, limit);
      if (search.run()) {
        hits = std::move(search).results();
        pruned = true;
        taken = TopKPath::kPruned;
      }
    }
    if (!pruned) {
      hits = reference_top_k(std::move(clauses), limit);
      taken = TopKPath::kReference;
    }
  }
  if (path != nullptr) *path = taken;
  return hits;
}

}  // namespace zelvar
