// Query-router rules carried by a schema.
//
// A rule names a pattern, its substitution, a target field and a routing mode.
// The engine reads and keeps the rules but applies none of them: no pattern is
// compiled or matched, and `target_field` is not checked against the schema.
// JSON form, either
//   {"pattern": s, "substitution": s, "target_field": s,
//    "mode": "exclusive"|"additional" = "additional"}
// or the array of the same values in this order, `mode` optional at the end.
//
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "core/dsl/json_record.h"

namespace zelvar {

enum class RoutingMode : uint8_t {
  Exclusive,
  Additional,
};

// The JSON spellings, indexed by the enumerators' values.
inline constexpr std::array<std::string_view, 2> kRoutingModeNames = {"exclusive", "additional"};

std::string_view routing_mode_name(RoutingMode v);

struct QueryRouterRule {
  std::string pattern;
  std::string substitution;
  std::string target_field;
  RoutingMode mode = RoutingMode::Additional;

  friend bool operator==(const QueryRouterRule&, const QueryRouterRule&) = default;
};

}  // namespace zelvar

template <>
struct zelvar::dsl::JsonEnum<zelvar::RoutingMode> {
  static constexpr auto names = zelvar::kRoutingModeNames;
};

template <>
struct zelvar::dsl::JsonRecord<zelvar::QueryRouterRule> {
  using R = zelvar::QueryRouterRule;
  static constexpr std::string_view name = "QueryRouterRule";
  static constexpr auto members = std::tuple{
      json_required("pattern", &R::pattern),
      json_required("substitution", &R::substitution),
      json_required("target_field", &R::target_field),
      json_defaulted("mode", &R::mode),
  };
};
