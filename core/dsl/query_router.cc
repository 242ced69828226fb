#include "core/dsl/query_router.h"

namespace zelvar {

std::string_view routing_mode_name(RoutingMode v) {
  return kRoutingModeNames[static_cast<size_t>(v)];
}

}  // namespace zelvar
