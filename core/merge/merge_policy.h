// Merge policies: which segments of an index a writer should merge.
//
// A policy is given the segments with their document counts and answers the
// groups of segments worth merging into one. The index configuration carries
// a boxed policy, but this engine only reads indexes and never asks it for
// merges; it is built with the configuration and dropped with it.
//
// Thread safety: policies are plain values; a const policy may be read from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zelvar {

// One segment offered to a policy.
struct SegmentInfo {
  std::string id;     // the segment's identifier
  uint32_t num_docs;  // its document count
};

// Segments to merge together, by id, in ascending order of document count.
struct MergeCandidate {
  std::vector<std::string> segment_ids;

  friend bool operator==(const MergeCandidate&, const MergeCandidate&) = default;
};

class MergePolicy {
 public:
  virtual ~MergePolicy() = default;

  // A one-line description of the policy and its settings.
  virtual std::string debug_text() const = 0;

  // The merges this policy proposes for `segments` (lent for the call).
  virtual std::vector<MergeCandidate> find_merges(std::span<const SegmentInfo> segments) const = 0;

  // A boxed copy of the policy.
  virtual std::unique_ptr<MergePolicy> clone_box() const = 0;
};

// Groups segments into size tiers and proposes, for each tier that holds at
// least `segments_per_tier` segments, to merge its `max_merge_at_once`
// smallest, provided they hold at most `max_merged_docs` documents together.
//
// Tier 0 holds the segments of at most `tier_floor` documents; a segment of n
// documents above the floor is in tier floor(ln(n / tier_floor) /
// ln(tier_factor)) + 1, in double arithmetic (so with the defaults 1000000
// documents are still in tier 3, the quotient falling just short of 3).
// Settings for which that formula degenerates (`tier_floor` 0, `tier_factor`
// at or below 1, infinite or not a number) put every segment above the floor
// into one tier.
class TieredMergePolicy final : public MergePolicy {
 public:
  size_t segments_per_tier = 10;
  size_t max_merge_at_once = 10;
  double tier_factor = 10.0;
  uint32_t tier_floor = 1000;
  uint32_t max_merged_docs = 5000000;

  // "TieredMergePolicy { segments_per_tier: 10, max_merge_at_once: 10,
  // tier_factor: 10.0, tier_floor: 1000, max_merged_docs: 5000000 }" with the
  // defaults; the factor always shows a fractional part.
  std::string debug_text() const override;

  // At most one candidate per tier, in ascending tier order; within a
  // candidate, ids sorted by document count, equal counts in input order.
  // Fewer than two segments give no candidate.
  std::vector<MergeCandidate> find_merges(std::span<const SegmentInfo> segments) const override;

  std::unique_ptr<MergePolicy> clone_box() const override {
    return std::make_unique<TieredMergePolicy>(*this);
  }

  // The tier of a segment of `num_docs` documents under these settings.
  uint64_t tier_of(uint32_t num_docs) const;
};

}  // namespace zelvar
