#include "core/query/collector.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "core/error/result.h"
#include "core/query/boolean.h"
#include "core/query/boolean_top_k.h"
#include "core/query/term.h"
#include "core/segment/reader.h"

namespace zelvar {
namespace {

// Scores compare as f32; a NaN on either side counts as equal.
bool scores_equal(float a, float b) { return !(a < b) && !(b < a); }

// The weakness order: `a` is weaker than `b` when its score is lower, or the
// scores are equal and its document number is higher.
bool weaker(const SearchResult& a, const SearchResult& b) {
  if (a.score < b.score) return true;
  return scores_equal(a.score, b.score) && a.doc_id > b.doc_id;
}

// The result order: `a` comes before `b` when its score is higher, or the
// scores are equal and its document number is lower.
bool before(const SearchResult& a, const SearchResult& b) {
  if (a.score > b.score) return true;
  return scores_equal(a.score, b.score) && a.doc_id < b.doc_id;
}

// Both sorts below are stable and stay inside the array whatever `before`
// answers: with NaN scores the order is not a strict weak ordering, which the
// standard sorts assume (and may read out of bounds without).
void insertion_sort(std::vector<SearchResult>& hits) {
  for (size_t i = 1; i < hits.size(); ++i) {
    SearchResult hit = hits[i];
    size_t j = i;
    while (j > 0 && before(hit, hits[j - 1])) {
      hits[j] = hits[j - 1];
      --j;
    }
    hits[j] = hit;
  }
}

void merge_sort(std::vector<SearchResult>& hits) {
  const size_t n = hits.size();
  std::vector<SearchResult> buffer(n);
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t left = lo, right = mid, out = lo;
      while (left < mid && right < hi) {
        // Taking from the right only when strictly before keeps equal hits in
        // their original order.
        if (before(hits[right], hits[left])) {
          buffer[out++] = hits[right++];
        } else {
          buffer[out++] = hits[left++];
        }
      }
      while (left < mid) buffer[out++] = hits[left++];
      while (right < hi) buffer[out++] = hits[right++];
    }
    hits.swap(buffer);
  }
}

constexpr size_t kInsertionSortMax = 20;

}  // namespace

TopKCollector::TopKCollector(size_t k) : k_(k) {
  // k + 1 wraps to 0 for the largest size_t on purpose.
  heap_.reserve(std::min(k + 1, kMaxReserved));
}

void TopKCollector::push(SearchResult hit) {
  size_t pos = heap_.size();
  heap_.push_back(hit);
  while (pos > 0) {
    const size_t parent = (pos - 1) / 2;
    if (!weaker(hit, heap_[parent])) break;
    heap_[pos] = heap_[parent];
    pos = parent;
  }
  heap_[pos] = hit;
}

// Removing the top and pushing `hit` keep the same hits as putting `hit` in
// the top's place and letting it sink, which moves fewer elements.
void TopKCollector::replace_top(SearchResult hit) {
  const size_t n = heap_.size();
  size_t pos = 0;
  for (;;) {
    const size_t left = 2 * pos + 1;
    if (left >= n) break;
    size_t child = left;
    if (left + 1 < n && weaker(heap_[left + 1], heap_[left])) child = left + 1;
    if (!weaker(heap_[child], hit)) break;
    heap_[pos] = heap_[child];
    pos = child;
  }
  heap_[pos] = hit;
}

std::vector<SearchResult> TopKCollector::into_sorted_results() && {
  std::vector<SearchResult> hits = std::move(heap_);
  if (hits.size() <= kInsertionSortMax) {
    insertion_sort(hits);
  } else {
    merge_sort(hits);
  }
  return hits;
}

namespace collector {
namespace {

// Generic over the scorer's static type so that a final scorer class gets its
// operations inlined into the loop.
template <class S>
std::vector<SearchResult> drain(S& scorer, size_t limit) {
  TopKCollector top(limit);
  for (uint32_t doc = scorer.doc(); doc != TERMINATED; doc = scorer.advance()) {
    top.collect(doc, scorer.score());
  }
  return std::move(top).into_sorted_results();
}

}  // namespace

std::vector<SearchResult> collect_top_k(Scorer& scorer, size_t limit) {
  // A term scorer is by far the most common and its loop the hottest: run it
  // through its own type so that no posting costs a virtual call.
  if (auto* term = dynamic_cast<TermScorer*>(&scorer)) return drain(*term, limit);
  return drain(scorer, limit);
}

Result<std::vector<SearchResult>> search_segment(const AsyncSegmentReader& reader,
                                                 const Query& query, size_t limit) {
  // A boolean query of term clauses, the one the binding builds, is answered
  // from its posting lists directly, with the same result.
  if (const auto* boolean = dynamic_cast<const BooleanQuery*>(&query);
      boolean != nullptr && has_only_term_clauses(*boolean)) {
    ZELVAR_TRY(TermClauses clauses, read_term_clauses(reader, *boolean));
    return top_k_term_clauses(std::move(clauses), limit);
  }
  ZELVAR_TRY(std::unique_ptr<Scorer> scorer, query.scorer(reader));
  return collect_top_k(*scorer, limit);
}

bool matches_nothing_unread(const AsyncSegmentReader& reader, const Query& query) {
  const auto absent = [&reader](const TermQuery& term) {
    const std::string& text = term.term();
    return !reader.may_hold_term(term.field(),
                                 std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  };
  if (const auto* term = dynamic_cast<const TermQuery*>(&query)) return absent(*term);
  // A term-only boolean query reads every clause's list before scoring; with
  // every term absent nothing is read and nothing matches.
  const auto* boolean = dynamic_cast<const BooleanQuery*>(&query);
  if (boolean == nullptr) return false;
  for (const auto* clauses : {&boolean->must_clauses(), &boolean->should_clauses(), &boolean->must_not_clauses()}) {
    for (const auto& clause : *clauses) {
      const auto* term = dynamic_cast<const TermQuery*>(clause.get());
      if (term == nullptr || !absent(*term)) return false;
    }
  }
  return true;
}

}  // namespace collector
}  // namespace zelvar
