#include "core/structures/vector/index/ivf_rabitq.h"

namespace zelvar {

dsl::JsonResult<IVFRaBitQIndex> IVFRaBitQIndex::from_json(std::span<const uint8_t> bytes) {
  return dsl::read_json<IVFRaBitQIndex>(bytes);
}

}  // namespace zelvar
