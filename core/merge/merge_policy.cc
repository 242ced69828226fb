#include "core/merge/merge_policy.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <string>

namespace zelvar {
namespace {

// The factor as a plain decimal number that reads back to the same double,
// always with a fractional part ("10.0", not "10"), never in exponent form.
std::string format_factor(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The longest fixed form of a double (the smallest subnormal) is a little
  // over 750 characters.
  char buf[800];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  std::string text(buf, ec == std::errc() ? end : buf);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

// `log_factor` is ln(tier_factor), taken once per call by the caller.
uint64_t tier(uint32_t num_docs, uint32_t tier_floor, double log_factor) {
  if (num_docs <= tier_floor) return 0;
  double x = std::log(static_cast<double>(num_docs) / static_cast<double>(tier_floor)) / log_factor;
  // Degenerate settings: a quotient that is not a number or negative
  // (factor below 1 or not a number) lands in tier 1, one that is infinite
  // or too large for a tier number (floor 0, factor 1) in the last tier.
  if (!(x >= 0)) return 1;
  if (x >= 0x1p64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(std::floor(x)) + 1;
}

}  // namespace

std::string TieredMergePolicy::debug_text() const {
  return "TieredMergePolicy { segments_per_tier: " + std::to_string(segments_per_tier) +
         ", max_merge_at_once: " + std::to_string(max_merge_at_once) +
         ", tier_factor: " + format_factor(tier_factor) +
         ", tier_floor: " + std::to_string(tier_floor) +
         ", max_merged_docs: " + std::to_string(max_merged_docs) + " }";
}

uint64_t TieredMergePolicy::tier_of(uint32_t num_docs) const {
  return tier(num_docs, tier_floor, std::log(tier_factor));
}

std::vector<MergeCandidate> TieredMergePolicy::find_merges(
    std::span<const SegmentInfo> segments) const {
  std::vector<MergeCandidate> candidates;
  if (segments.size() < 2) return candidates;

  double log_factor = std::log(tier_factor);
  // Each tier's segments in input order.
  std::map<uint64_t, std::vector<const SegmentInfo*>> tiers;
  for (const SegmentInfo& segment : segments) {
    tiers[tier(segment.num_docs, tier_floor, log_factor)].push_back(&segment);
  }

  for (auto& [level, group] : tiers) {
    if (group.size() < segments_per_tier) continue;
    std::stable_sort(group.begin(), group.end(), [](const SegmentInfo* a, const SegmentInfo* b) {
      return a->num_docs < b->num_docs;
    });
    size_t take = std::min(max_merge_at_once, group.size());
    if (take < 2) continue;
    uint64_t total = 0;
    for (size_t i = 0; i < take; ++i) total += group[i]->num_docs;
    // Only the smallest selection is weighed; a tier whose smallest segments
    // are already too big together gives nothing.
    if (total > max_merged_docs) continue;
    MergeCandidate candidate;
    candidate.segment_ids.reserve(take);
    for (size_t i = 0; i < take; ++i) candidate.segment_ids.push_back(group[i]->id);
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

}  // namespace zelvar
