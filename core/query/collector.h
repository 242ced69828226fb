// Top-k collection and the per-segment search.
//
// `collector::search_segment` builds a query's scorer for one segment, offers
// every match with its score to a TopKCollector bounded by the caller's limit,
// and returns the kept hits best first. The caller merges the lists of several
// segments.
//
// Hits are ranked by score, higher first; between equal scores the lower
// document number ranks first. A NaN score compares equal to every score: a
// NaN hit never displaces a kept hit, and where NaN hits end up among equal
// ones is not specified beyond that.
//
// Thread safety: a collector belongs to one call on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error/error.h"
#include "core/query/traits.h"

namespace zelvar {

// One hit of one segment.
struct SearchResult {
  uint32_t doc_id = 0;  // segment-local
  float score = 0.0f;

  friend bool operator==(const SearchResult&, const SearchResult&) = default;
};

// Keeps the best `k` hits offered to it. The hits sit in a binary heap whose
// top is the weakest kept hit (lowest score, and among equal scores the higher
// document number), so a full collector costs one comparison per offered hit
// that does not enter.
class TopKCollector {
 public:
  // Room for k + 1 hits is reserved up front so that collecting never
  // allocates, but never more than kMaxReserved hits: a caller may pass any
  // limit, and a huge one must not reserve memory no segment can fill. Beyond
  // that the heap grows only with hits actually kept. (k + 1 wraps for the
  // largest size_t, which reserves nothing.)
  static constexpr size_t kMaxReserved = size_t{1} << 16;

  explicit TopKCollector(size_t k);

  // Offers one hit. A full collector takes it only if `score` is strictly
  // above the weakest kept score (so a tie or a NaN on either side does not
  // enter), and then drops that weakest hit.
  void collect(uint32_t doc, float score) {
    if (heap_.size() < k_) {
      push(SearchResult{doc, score});
    } else if (!heap_.empty() && score > heap_.front().score) {
      replace_top(SearchResult{doc, score});
    }
  }

  // The kept hits, best first: score descending, then doc_id ascending.
  std::vector<SearchResult> into_sorted_results() &&;

  size_t size() const { return heap_.size(); }
  size_t k() const { return k_; }
  // Whether the collector holds k hits, so that a further hit enters only
  // with a score strictly above weakest_score().
  bool full() const { return heap_.size() >= k_; }
  // The score of the weakest kept hit; requires size() > 0.
  float weakest_score() const { return heap_.front().score; }

 private:
  void push(SearchResult hit);
  void replace_top(SearchResult hit);

  std::vector<SearchResult> heap_;  // children of i at 2i+1 and 2i+2
  size_t k_;
};

namespace collector {

// Runs `query` over the segment of `reader` and returns its best `limit` hits,
// best first, or the error met building the scorer. A BooleanQuery whose
// clauses are all TermQuery objects is answered by top_k_term_clauses
// (boolean_top_k.h) with the same hits, without building its scorer.
Result<std::vector<SearchResult>> search_segment(const AsyncSegmentReader& reader,
                                                 const Query& query, size_t limit);

// True when `search_segment` would answer `query` on this segment with no
// hits and no error without reading anything: a TermQuery, or a BooleanQuery
// of TermQuery clauses, none of whose terms passes the segment's bloom
// filter. False whenever that is not certain. Reads nothing.
bool matches_nothing_unread(const AsyncSegmentReader& reader, const Query& query);

// The loop of `search_segment` over a scorer already built: every match from
// the scorer's current document to its end is offered to a collector of
// `limit` hits (the scorer is run to its end even when `limit` is 0).
std::vector<SearchResult> collect_top_k(Scorer& scorer, size_t limit);

}  // namespace collector
}  // namespace zelvar
