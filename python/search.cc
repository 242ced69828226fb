#include "python/search.h"

#include <algorithm>
#include <cmath>

#include "core/error/result.h"
#include "core/query/collector.h"

namespace zelvar::python {

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
  std::vector<Hit> hits;
  for (const auto& reader : snapshot) {
    ZELVAR_TRY(std::vector<SearchResult> segment_hits,
               collector::search_segment(*reader, query, limit));
    const uint32_t base = reader->doc_base();
    for (const SearchResult& hit : segment_hits) {
      // Global numbers wrap modulo 2^32 like the segment bases.
      hits.push_back(Hit{static_cast<uint32_t>(base + hit.doc_id), hit.score});
    }
  }
  sort_and_truncate(hits, limit);
  return hits;
}

}  // namespace zelvar::python
