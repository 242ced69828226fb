// What checking a segment's long posting lists found, kept so that the next
// boolean search of a list is spared the check.
//
// Before it takes its pruned path, a boolean search of term clauses walks each
// list once to check that it decodes as its skip entries say and to learn its
// largest term frequency (check_postings). For a list of many blocks that walk
// costs about as much as the search itself, so what it found is noted here, by
// the list's place in ".post" (the list itself is still read by every search).
// A segment's files are written once and never changed in place, so a note
// holds for the life of the segment.
//
// Bound and eviction: at most kMaxNotes notes per segment, about 100 KiB; a
// note for a new list when the table is full drops all the others first, and
// keeping starts over. Lists of a segment's searches come and go in no order
// a recency list would predict better, and a table of a few thousand lists
// covers every long list of a real segment.
//
// One ListChecks per segment, in the segment's search-state slot (ListChecks::
// of), shared by every listing of the segment.
//
// Thread safety: one mutex, held for one lookup or one insertion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "core/segment/reader.h"

namespace zelvar {

class ListChecks {
 public:
  static constexpr size_t kMaxNotes = 4096;

  // What the check of one list found: its largest term frequency, or none
  // for a list that is not sound (a block that does not decode as its skip
  // entry says).
  using Found = std::optional<uint32_t>;

  // The segment's notes, made at the first use.
  static ListChecks& of(const AsyncSegmentReader& segment) { return segment.search_state<ListChecks>(); }

  // What the check of the list at `place` found, if it was noted.
  std::optional<Found> find(uint64_t place) const;

  // Notes what the check of the list at `place` found, in place of an older
  // note of it; when the table is full and `place` is new, drops every note
  // first.
  void keep(uint64_t place, Found found);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, Found> notes_;  // guarded by mutex_
};

}  // namespace zelvar
