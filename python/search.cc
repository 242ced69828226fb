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

// For each k below the number of `listed` listings of `snapshot`, the least j
// such that listings listed[j] and listed[k] are one segment.
std::vector<size_t> first_listings(const SegmentReaders& snapshot, const std::vector<size_t>& listed) {
  const size_t count = listed.size();
  std::vector<std::pair<const void*, size_t>> by_segment(count);
  for (size_t k = 0; k < count; ++k) by_segment[k] = {snapshot[listed[k]]->opened_id(), k};
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
  // once, by blocking threads (see Runtime::run_blocking_each); the lists are
  // taken in segment order, and the first failing segment's error is the
  // answer, as if they had been searched one after the other. Segments whose bloom filters
  // rule the query out (a rare term, say) read nothing and add no hits: they
  // are left out here, which takes a few hash probes each, so that a search
  // wakes threads only for segments it will read.
  const size_t n = snapshot.size();
  std::vector<size_t> listed;  // the listings not ruled out, in order
  listed.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (!collector::matches_nothing_unread(*snapshot[i], query)) listed.push_back(i);
  }
  const size_t count = listed.size();

  // Listings of one segment share its reader and get the same local hits, or
  // the same error: each segment is searched once, at its first listing left,
  // and that search serves its later listings too. Otherwise a segment listed
  // a thousand times would be searched a thousand times in one call, its
  // blocks decompressed again each time the cache could not keep them (a
  // block that fails, blocks of megabytes that evict each other).
  const std::vector<size_t> source = first_listings(snapshot, listed);
  std::vector<size_t> searched;  // the k whose source is k, ascending
  for (size_t k = 0; k < count; ++k) {
    if (source[k] == k) searched.push_back(k);
  }

  struct Outcome {
    std::optional<Result<std::vector<SearchResult>>> result;
    std::exception_ptr thrown;  // out of memory, say; thrown again on this thread
  };
  std::vector<Outcome> outcomes(count);  // listing listed[k] at k, for the k searched
  auto search = [&](size_t i) noexcept {
    const size_t k = searched[i];
    try {
      outcomes[k].result.emplace(collector::search_segment(*snapshot[listed[k]], query, limit));
      return outcomes[k].result->has_value();
    } catch (...) {
      outcomes[k].thrown = std::current_exception();
      return false;
    }
  };
  // On blocking threads, where a segment search's several reads (term blocks,
  // posting lists) need no hand-over each; once one segment has failed, those
  // after it are not started (the earlier ones decide the answer).
  if (auto runtime = runtime::Runtime::get(); runtime.has_value()) {
    (*runtime)->run_blocking_each(searched.size(), search);
  } else {
    for (size_t i = 0; i < searched.size() && search(i); ++i) {
    }
  }

  // The segments ruled out add no hits.
  std::vector<Hit> hits;
  for (size_t k = 0; k < count; ++k) {
    const Outcome& outcome = outcomes[source[k]];
    if (outcome.thrown) std::rethrow_exception(outcome.thrown);
    const Result<std::vector<SearchResult>>& segment_hits = *outcome.result;
    if (!segment_hits.has_value()) return std::unexpected(segment_hits.error());
    const uint32_t base = snapshot[listed[k]]->doc_base();
    for (const SearchResult& hit : *segment_hits) {
      // Global numbers wrap modulo 2^32 like the segment bases.
      hits.push_back(Hit{static_cast<uint32_t>(base + hit.doc_id), hit.score});
    }
  }
  sort_and_truncate(hits, limit);
  return hits;
}

}  // namespace zelvar::python
