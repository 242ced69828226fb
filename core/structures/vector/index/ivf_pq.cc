#include "core/structures/vector/index/ivf_pq.h"

namespace zelvar {

IoResult<IVFPQIndex> IVFPQIndex::from_bytes(std::span<const uint8_t> bytes) {
  dsl::JsonResult<IVFPQIndex> index = dsl::read_json<IVFPQIndex>(bytes);
  if (!index) return std::unexpected(IoError(IoErrorKind::InvalidData, index.error().to_string()));
  return std::move(*index);
}

}  // namespace zelvar
