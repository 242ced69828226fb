#include "core/compression/block_loader.h"

#include "core/error/result.h"

namespace zelvar {

IoResult<SharedBlock> read_block(const LazyFileSlice& data, ByteRange range, const zstd::DecoderDict* dict,
                                 size_t max_size) {
  ZELVAR_TRY(const OwnedBytes compressed, data.read_bytes_range(range));
  ZELVAR_TRY(std::vector<uint8_t> raw, dict ? zstd::decompress_with_dict(compressed.as_slice(), *dict, max_size)
                                           : zstd::decompress(compressed.as_slice(), max_size));
  return std::make_shared<const std::vector<uint8_t>>(std::move(raw));
}

}  // namespace zelvar
