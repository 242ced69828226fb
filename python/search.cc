#include "python/search.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

#include "core/error/result.h"
#include "core/query/collector.h"
#include "core/runtime/runtime.h"

namespace zelvar::python {
namespace {

// The most segments searched at once: the caller and up to seven blocking
// threads. A segment's share of a search is tens of microseconds; waking
// more threads costs more than they take off.
constexpr size_t kMaxParallelSearches = 8;

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
  // once, by blocking threads (see run_blocking_each); the lists are taken in
  // segment order, and the first failing segment's error is the answer, as if
  // they had been searched one after the other. Segments whose bloom filters
  // rule the query out (a rare term, say) read nothing and add no hits: they
  // are left out here, which takes a few hash probes each, so that a search
  // wakes threads only for segments it will read. A lone segment left is
  // searched on one blocking thread, with no other to wait for.
  const size_t n = snapshot.size();
  std::vector<size_t> searched;  // the segments not ruled out, in order
  searched.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (!collector::matches_nothing_unread(*snapshot[i], query)) searched.push_back(i);
  }
  const size_t count = searched.size();

  struct Outcome {
    std::optional<Result<std::vector<SearchResult>>> result;
    std::exception_ptr thrown;  // out of memory, say; thrown again on this thread
  };
  std::vector<Outcome> outcomes(count);  // segment searched[k] at k
  auto search = [&](size_t k) noexcept {
    try {
      outcomes[k].result.emplace(collector::search_segment(*snapshot[searched[k]], query, limit));
    } catch (...) {
      outcomes[k].thrown = std::current_exception();
    }
  };
  const size_t width = std::min(index.config().num_threads, kMaxParallelSearches);
  auto runtime = runtime::Runtime::get();
  if (runtime.has_value() && count > 1 && width > 1) {
    (*runtime)->run_blocking_each(count, width, search);
  } else {
    // In turn, up to the first failure, all on one blocking thread: a
    // segment's search reads several times (term blocks, posting lists), and
    // there those reads need no hand-over each.
    auto in_turn = [&] {
      for (size_t k = 0; k < count; ++k) {
        search(k);
        if (outcomes[k].thrown || !outcomes[k].result->has_value()) break;
      }
    };
    if (runtime.has_value()) {
      (*runtime)->run_on_partner(in_turn);
    } else {
      in_turn();
    }
  }

  // The segments ruled out add no hits.
  std::vector<Hit> hits;
  for (size_t k = 0; k < count; ++k) {
    if (outcomes[k].thrown) std::rethrow_exception(outcomes[k].thrown);
    ZELVAR_TRY(std::vector<SearchResult> segment_hits, std::move(*outcomes[k].result));
    const uint32_t base = snapshot[searched[k]]->doc_base();
    for (const SearchResult& hit : segment_hits) {
      // Global numbers wrap modulo 2^32 like the segment bases.
      hits.push_back(Hit{static_cast<uint32_t>(base + hit.doc_id), hit.score});
    }
  }
  sort_and_truncate(hits, limit);
  return hits;
}

}  // namespace zelvar::python
