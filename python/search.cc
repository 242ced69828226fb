#include "python/search.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "core/error/result.h"
#include "core/query/collector.h"
#include "core/runtime/runtime.h"

namespace zelvar::python {
namespace {

// The most segments searched at once, and the most while a blocking thread
// already spins for work. A segment's share of a search is tens of
// microseconds. When every thread sleeps, each must be woken anyway, and
// more of them finish heavy searches sooner; when one spins (searches come
// every few hundred microseconds), it starts at once, and waking many more
// costs more than they take off. (Over 16 segments on 8 CPUs, from Python:
// after pauses of milliseconds eight threads answered AND and frequent
// terms a third to a half sooner than four; after pauses of 300 µs four
// answered rare terms about twice as fast as eight, and medium terms and AND
// no slower.)
constexpr size_t kMaxParallelSearches = 8;
constexpr size_t kMaxParallelSearchesBesideASpinner = 4;

// For each k below `count`, the least j such that listings first + j and
// first + k of `snapshot` are one segment.
std::vector<size_t> first_listings(const SegmentReaders& snapshot, size_t first, size_t count) {
  std::vector<std::pair<const void*, size_t>> by_segment(count);
  for (size_t k = 0; k < count; ++k) by_segment[k] = {snapshot[first + k]->opened_id(), k};
  std::sort(by_segment.begin(), by_segment.end());
  std::vector<size_t> source(count);
  for (size_t i = 0; i < count; ++i) {
    const bool starts = i == 0 || by_segment[i].first != by_segment[i - 1].first;
    source[by_segment[i].second] = starts ? by_segment[i].second : source[by_segment[i - 1].second];
  }
  return source;
}

}  // namespace

void sort_and_truncate(std::vector<Hit>& hits, size_t limit) {
  // "Better than" must be a strict weak order for the sort to be defined, so
  // NaN scores are given the lowest rank instead of comparing equal to all.
  auto better = [](const Hit& a, const Hit& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan || b_nan) return !a_nan && b_nan;
    return a.score > b.score;
  };
  std::stable_sort(hits.begin(), hits.end(), better);
  if (hits.size() > limit) hits.resize(limit);
}

Result<std::vector<Hit>> merged_search(const Index& index, const Query& query, size_t limit) {
  const SegmentReaders snapshot = index.segment_readers();
  // Each segment is searched by itself, so several segments are searched at
  // once, on blocking threads (their reads then run right there); the lists
  // are taken in segment order, and the first failing segment's error is the
  // answer, as if they had been searched one after the other. A lone segment
  // is searched here: handing it over only adds a wait for its result. So is
  // the one segment left when the bloom filters rule the query out in all the
  // others (a rare term, say), found by testing the segments in order; the
  // testing stops at the second segment the query may match, since every
  // test made here delays the hand-over, while a blocking thread tests a
  // segment as a cheap first step of its search.
  // The segments searched are [first, end): the ones before `first` are
  // ruled out, and so are all after it when no second one may match.
  const size_t n = snapshot.size();
  const auto ruled_out = [&](size_t i) { return collector::matches_nothing_unread(*snapshot[i], query); };
  size_t first = 0;
  while (first < n && ruled_out(first)) ++first;
  size_t second = first + 1;
  while (second < n && ruled_out(second)) ++second;
  const size_t end = second < n ? n : std::min(first + 1, n);
  const size_t count = end - first;

  // Listings of one segment share its reader and get the same local hits, or
  // the same error: each segment is searched once, at its first listing in
  // [first, end), and that search serves its later listings too. Otherwise a
  // segment listed a thousand times would be searched a thousand times in
  // one call, its blocks decompressed again each time the cache could not
  // keep them (a block that fails, blocks of megabytes that evict each
  // other).
  const std::vector<size_t> source = first_listings(snapshot, first, count);
  std::vector<size_t> searched;  // the k whose source is k, ascending
  for (size_t k = 0; k < count; ++k) {
    if (source[k] == k) searched.push_back(k);
  }

  struct Outcome {
    std::optional<Result<std::vector<SearchResult>>> result;
    std::exception_ptr thrown;  // out of memory, say; thrown again on this thread
  };
  std::vector<Outcome> outcomes(count);  // segment first + k at k, for the k searched
  auto search = [&](size_t i) noexcept {
    const size_t k = searched[i];
    try {
      outcomes[k].result.emplace(collector::search_segment(*snapshot[first + k], query, limit));
    } catch (...) {
      outcomes[k].thrown = std::current_exception();
    }
  };
  size_t handed = 0;
  if (auto runtime = runtime::Runtime::get(); runtime.has_value() && searched.size() > 1) {
    const size_t most =
        (*runtime)->has_spinning_thread() ? kMaxParallelSearchesBesideASpinner : kMaxParallelSearches;
    const size_t width = std::min(index.config().num_threads, most);
    if (width > 1) handed = (*runtime)->run_blocking_each(searched.size(), width, search);
  }
  if (handed == 0) {
    // In turn, up to the first failure: every listing before it is served by
    // a search made before it.
    for (size_t i = 0; i < searched.size(); ++i) {
      search(i);
      const Outcome& outcome = outcomes[searched[i]];
      if (outcome.thrown || !outcome.result->has_value()) break;
    }
  }

  // The segments ruled out add no hits.
  std::vector<Hit> hits;
  for (size_t k = 0; k < count; ++k) {
    const Outcome& outcome = outcomes[source[k]];
    if (outcome.thrown) std::rethrow_exception(outcome.thrown);
    const Result<std::vector<SearchResult>>& segment_hits = *outcome.result;
    if (!segment_hits.has_value()) return std::unexpected(segment_hits.error());
    const uint32_t base = snapshot[first + k]->doc_base();
    for (const SearchResult& hit : *segment_hits) {
      // Global numbers wrap modulo 2^32 like the segment bases.
      hits.push_back(Hit{static_cast<uint32_t>(base + hit.doc_id), hit.score});
    }
  }
  sort_and_truncate(hits, limit);
  return hits;
}

}  // namespace zelvar::python
