// The merged search behind ZelvarIndex.search_term and search_boolean.
//
// One query runs over every segment of a snapshot of the index, in segment
// order, each segment contributing at most `limit` hits; the hits are re-based
// to global document numbers, sorted by score (best first, stable, so equal
// scores keep segment order and then ascending local number) and cut to
// `limit` again. An error in any segment fails the whole search. A segment
// listed more than once is searched once per call: its hits, or its error,
// serve each of its listings, with that listing's base.
//
// Thread safety: works on its own snapshot; the index may be shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error/error.h"
#include "core/index/index.h"
#include "core/query/traits.h"

namespace zelvar::python {

struct Hit {
  uint32_t doc_id;  // global
  float score;

  friend bool operator==(const Hit&, const Hit&) = default;
};

Result<std::vector<Hit>> merged_search(const Index& index, const Query& query, size_t limit);

// The merge step alone: `hits` in gathered order, sorted and cut in place. A
// NaN score ranks below every number.
void sort_and_truncate(std::vector<Hit>& hits, size_t limit);

}  // namespace zelvar::python
