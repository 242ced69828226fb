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
#include "core/query/list_checks.h"
#include "core/segment/reader.h"

namespace zelvar {
namespace {

// A must or should clause of the pruned walk.
struct ScoredClause {
  CheckedCursor cursor;
  const TermWeight* weight;
  float max_score;  // at or above every score of the clause
  size_t blocks;    // the number of blocks of its list
  // Should clauses only: sought to every candidate document, which one of
  // the driving clauses must then hold; the other should clauses are sought
  // only to the documents that get scored.
  bool driving = false;
  // Should clauses only: among those whose bounds together (with the must
  // clauses' bounds) cannot lift a document above the threshold.
  bool passive = false;

  float score() const { return weight->score(cursor.term_freq()); }
};

// The score bounds of the must and the should clauses, in clause order.
struct ClauseBounds {
  std::vector<float> must;
  std::vector<float> should;  // 0 for an absent term
};

// Lists of at least this many blocks have what their check found kept in
// their segment's ListChecks; shorter ones cost less to check again than to
// look up.
constexpr size_t kMinNotedBlocks = 4;
// check_postings of the clause's list, through its segment's ListChecks.
std::optional<uint32_t> checked_largest_term_freq(const TermClause& c, const AsyncSegmentReader* segment) {
  const BlockPostingList& list = *c.postings;
  const bool noted = segment != nullptr && c.place.has_value() && list.skip_list.size() >= kMinNotedBlocks;
  if (!noted) return check_postings(list);
  ListChecks& checks = ListChecks::of(*segment);
  if (const std::optional<ListChecks::Found> found = checks.find(*c.place)) return *found;
  const std::optional<uint32_t> max_tf = check_postings(list);
  checks.keep(*c.place, max_tf);
  return max_tf;
}

// The bounds of the clauses' scores, each from the largest term frequency of
// its list, when every list is sound and every must and should weight has
// bounded scores; nullopt otherwise. Every list is read in full here (or was,
// by an earlier search, as its segment's notes say), so that the walk may
// pass over any part of any list.
std::optional<ClauseBounds> clause_bounds(const TermClauses& clauses) {
  auto bounds = [&](const std::vector<TermClause>& list, std::vector<float>* out) {
    for (const TermClause& c : list) {
      std::optional<uint32_t> max_tf = 0;
      if (c.postings.has_value()) max_tf = checked_largest_term_freq(c, clauses.segment);
      if (!max_tf.has_value()) return false;
      if (out == nullptr) continue;
      const std::optional<float> bound = c.weight.max_score(*max_tf);
      if (!bound.has_value()) return false;
      out->push_back(*bound);
    }
    return true;
  };
  ClauseBounds out;
  if (!bounds(clauses.must, &out.must) || !bounds(clauses.should, &out.should) ||
      !bounds(clauses.must_not, nullptr)) {
    return std::nullopt;
  }
  return out;
}

// The pruned walk, over sound lists, every must list with postings, and
// bounded weights.
class PrunedSearch {
 public:
  PrunedSearch(const TermClauses& clauses, const ClauseBounds& bounds, size_t limit)
      : top_(limit) {
    for (size_t i = 0; i < clauses.must.size(); ++i) {
      const TermClause& c = clauses.must[i];
      must_.push_back({CheckedCursor(*c.postings), &c.weight, bounds.must[i],
                       c.postings->skip_list.size()});
    }
    for (size_t i = 0; i < clauses.should.size(); ++i) {
      const TermClause& c = clauses.should[i];
      // An absent term never matches and adds nothing: the clause drops out.
      if (!c.postings.has_value()) continue;
      should_.push_back({CheckedCursor(*c.postings), &c.weight, bounds.should[i],
                         c.postings->skip_list.size()});
    }
    for (const TermClause& c : clauses.must_not) {
      if (c.postings.has_value()) must_not_.emplace_back(*c.postings);
    }
    // The intersection leads with the shortest lists; the sums keep clause
    // order whatever the walk's.
    must_order_.resize(must_.size());
    std::iota(must_order_.begin(), must_order_.end(), size_t{0});
    std::stable_sort(must_order_.begin(), must_order_.end(),
                     [&](size_t a, size_t b) { return must_[a].blocks < must_[b].blocks; });
    by_max_score_.resize(should_.size());
    std::iota(by_max_score_.begin(), by_max_score_.end(), size_t{0});
    std::stable_sort(by_max_score_.begin(), by_max_score_.end(),
                     [&](size_t a, size_t b) { return should_[a].max_score < should_[b].max_score; });
    // Without must clauses a match needs a should clause: all of them drive.
    // With must clauses the must lists drive until the threshold says more.
    for (ScoredClause& c : should_) c.driving = must_.empty();
  }

  // Walks the lists, collecting the hits.
  void run() {
    uint32_t target = 0;  // every document below it has been dealt with
    while (!done_ && target != TERMINATED) {
      if (ScoredClause* lead = lead_clause()) {
        target = walk_lead(*lead, target);
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

  // Once the collector is full, the clause whose postings bring up the
  // candidates one by one: without must clauses, the only driving should
  // clause whose list goes on; with them, the must clause with the shortest
  // list, or the only driving should clause if its list is shorter still.
  ScoredClause* lead_clause() {
    if (!top_.full()) return nullptr;
    ScoredClause* lead = must_.empty() ? nullptr : &must_[must_order_[0]];
    ScoredClause* driving = nullptr;
    for (ScoredClause& c : should_) {
      if (!c.driving || c.cursor.doc() == TERMINATED) continue;
      if (driving != nullptr) return lead;
      driving = &c;
    }
    if (lead == nullptr || (driving != nullptr && driving->blocks < lead->blocks)) return driving;
    return lead;
  }

  // The bound of a document on which `lead` scores `score`: the sum in clause
  // order, with every other clause at its bound, but for should clauses whose
  // lists have ended. It holds for as long as the lead does, since lists that
  // have ended stay so.
  float bound_with(const ScoredClause& lead, float score) const {
    float sum = 0.0f;
    for (const ScoredClause& c : must_) sum += &c == &lead ? score : c.max_score;
    for (const ScoredClause& c : should_) {
      if (&c == &lead) {
        sum += score;
      } else if (c.cursor.doc() != TERMINATED) {
        sum += c.max_score;
      }
    }
    return sum;
  }

  // `doc` when every must list and, if should clauses drive, a driving list
  // hold it (the lead among them); else the next document that could match,
  // or TERMINATED.
  uint32_t agree(const ScoredClause& lead, uint32_t doc) {
    for (ScoredClause& c : must_) {
      if (&c == &lead) continue;
      const uint32_t other = c.cursor.seek(doc);
      if (other != doc) return other;
    }
    if (!must_.empty() && any_driving_ && !lead.driving) return lowest_driving(doc);
    return doc;
  }

  // Walks the lead's postings from `target` on, block by block, passing over
  // every posting whose term frequency cannot lift its bound above the
  // threshold and every document the other clauses rule out, and offers the
  // rest. Returns the next target: past the document that raised the
  // threshold, or TERMINATED at the end.
  uint32_t walk_lead(ScoredClause& lead, uint32_t target) {
    CheckedCursor& cursor = lead.cursor;
    cursor.seek(target);
    const float threshold = top_.weakest_score();
    // Bit tf of `pass`: whether a posting with term frequency tf may pass,
    // worked out on first need (bit tf of `known`), and kept while the lead
    // and the threshold stay.
    if (&lead != pass_lead_ || threshold != pass_threshold_) {
      pass_lead_ = &lead;
      pass_threshold_ = threshold;
      pass_known_ = 0;
      pass_ = 0;
    }
    uint64_t known = pass_known_;
    uint64_t pass = pass_;
    uint32_t next = TERMINATED;
    for (bool walking = true; walking;) {
      const std::span<const uint32_t> docs = cursor.rest_of_block_docs();
      const std::span<const uint32_t> term_freqs = cursor.rest_of_block_term_freqs();
      const size_t n = docs.size();
      if (n == 0) break;
      size_t moved = 0;  // the cursor stands on docs[moved]
      size_t i = 0;
      for (;;) {
        // Pass over the postings already known not to pass.
        const uint64_t fail = known & ~pass;
        while (i < n && term_freqs[i] < 64 && ((fail >> term_freqs[i]) & 1) != 0) ++i;
        if (i == n) {
          cursor.next_block();
          break;
        }
        const uint32_t tf = term_freqs[i];
        const bool passes = bound_with(lead, lead.weight->score(tf)) > threshold;
        if (tf < 64) {
          known |= uint64_t{1} << tf;
          if (passes) pass |= uint64_t{1} << tf;
        }
        if (!passes) {
          ++i;
          continue;
        }
        cursor.skip_in_block(i - moved);
        moved = i;
        const uint32_t doc = docs[i];
        const uint32_t agreed = agree(lead, doc);
        if (agreed == doc) {
          offer(doc);
          if (done_ || top_.weakest_score() != threshold) {
            next = doc + 1;  // doc is below TERMINATED
            walking = false;
            break;
          }
          ++i;
        } else if (agreed <= docs.back()) {
          while (docs[i] < agreed) ++i;
        } else {
          // Past this block (or TERMINATED): the cursor goes there itself.
          cursor.seek(agreed);
          break;
        }
      }
    }
    pass_known_ = known;
    pass_ = pass;
    return next;
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
  // may_pass(): for which lead and threshold pass_ holds, and which of its
  // bits are known.
  const ScoredClause* pass_lead_ = nullptr;
  float pass_threshold_ = 0.0f;
  uint64_t pass_known_ = 0;
  uint64_t pass_ = 0;
};

Result<std::vector<TermClause>> read_clauses(const AsyncSegmentReader& reader,
                                             const BooleanQuery::Clauses& queries) {
  std::vector<TermClause> clauses;
  clauses.reserve(queries.size());
  for (const auto& query : queries) {
    const auto& term = static_cast<const TermQuery&>(*query);
    const std::string_view text(term.term());
    ZELVAR_TRY(std::optional<AsyncSegmentReader::PlacedPostings> placed,
               reader.get_placed_postings(term.field(), std::span(reinterpret_cast<const uint8_t*>(text.data()),
                                                                   text.size())));
    if (!placed.has_value()) {
      // An absent term's weight is never used.
      clauses.push_back(TermClause{std::nullopt, TermWeight(0.0f, 0.0f)});
      continue;
    }
    const TermWeight weight = term.weight(placed->list.doc_count, reader.meta());
    clauses.push_back(TermClause{std::move(placed->list), weight, placed->place});
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
  clauses.segment = &reader;
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
    if (const std::optional<ClauseBounds> bounds = clause_bounds(clauses)) {
      PrunedSearch search(clauses, *bounds, limit);
      search.run();
      hits = std::move(search).results();
      taken = TopKPath::kPruned;
    } else {
      hits = scorer_top_k_term_clauses(std::move(clauses), limit);
      taken = TopKPath::kReference;
    }
  }
  if (path != nullptr) *path = taken;
  return hits;
}

std::vector<SearchResult> scorer_top_k_term_clauses(TermClauses clauses, size_t limit) {
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

}  // namespace zelvar
