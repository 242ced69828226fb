#include "core/merge/merge_policy.h"

#include <charconv>
#include <cmath>
#include <string>

namespace zelvar {

std::string TieredMergePolicy::debug_text() const {
  // Shortest round-trip form of the factor, always with a fractional part
  // ("10.0", not "10") so that it reads as the floating-point setting it is.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, tier_factor);
  std::string factor(buf, ec == std::errc() ? end : buf);
  if (std::isfinite(tier_factor) && factor.find_first_of(".e") == std::string::npos) factor += ".0";
  return "TieredMergePolicy { segments_per_tier: " + std::to_string(segments_per_tier) +
         ", max_merge_at_once: " + std::to_string(max_merge_at_once) + ", tier_factor: " + factor +
         ", tier_floor: " + std::to_string(tier_floor) +
         ", max_merged_docs: " + std::to_string(max_merged_docs) + " }";
}

}  // namespace zelvar
