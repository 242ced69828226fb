#include "core/compression/zstd.h"

#include <zstd.h>

#include <memory>
#include <string>

namespace zelvar::zstd {
namespace {

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }
};
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxDeleter>;

IoError library_error(size_t code) { return IoError(IoErrorKind::Other, ZSTD_getErrorName(code)); }

// Decodes every frame of `input` with `ctx`, resetting the session (but not a
// loaded dictionary) between frames, and stops once the output would exceed
// `limit` bytes.
IoResult<std::vector<uint8_t>> decode_frames(ZSTD_DCtx* ctx, std::span<const uint8_t> input,
                                             IoErrorKind incomplete_kind, size_t limit) {
  std::vector<uint8_t> output;
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  const size_t chunk = ZSTD_DStreamOutSize();
  bool frame_open = false;
  bool output_full = false;
  while (in.pos < in.size || output_full) {
    size_t old_size = output.size();
    output.resize(old_size + chunk);
    ZSTD_outBuffer out{output.data() + old_size, chunk, 0};
    size_t ret = ZSTD_decompressStream(ctx, &out, &in);
    output.resize(old_size + out.pos);
    if (ZSTD_isError(ret)) return std::unexpected(library_error(ret));
    if (output.size() > limit) {
      return std::unexpected(IoError(IoErrorKind::Other, "Decompressed block exceeds " +
                                                             std::to_string(limit) + " bytes"));
    }
    output_full = out.pos == out.size;
    if (ret == 0) {
      // A finished frame has been flushed whole, even when it filled the
      // chunk exactly: go on only if input remains.
      output_full = false;
      frame_open = false;
      ZSTD_DCtx_reset(ctx, ZSTD_reset_session_only);
    } else {
      frame_open = true;
    }
  }
  if (frame_open || input.empty()) {
    return std::unexpected(IoError(incomplete_kind, "incomplete frame"));
  }
  return output;
}

}  // namespace

namespace detail {

IoResult<std::vector<uint8_t>> decompress_limited(std::span<const uint8_t> input,
                                                  const CompressionDict* dict, size_t limit) {
  DCtxPtr ctx(ZSTD_createDCtx());
  if (!ctx) return std::unexpected(IoError(IoErrorKind::Other, "Allocation error : not enough memory"));
  if (dict == nullptr) {
    auto result = decode_frames(ctx.get(), input, IoErrorKind::Other, limit);
    if (!result) return std::unexpected(std::move(result).error().with_kind(IoErrorKind::Other));
    return result;
  }
  size_t ret = ZSTD_DCtx_loadDictionary(ctx.get(), dict->bytes.data(), dict->bytes.size());
  if (ZSTD_isError(ret)) return std::unexpected(library_error(ret));
  return decode_frames(ctx.get(), input, IoErrorKind::UnexpectedEof, limit);
}

}  // namespace detail

IoResult<std::vector<uint8_t>> decompress(std::span<const uint8_t> input) {
  return detail::decompress_limited(input, nullptr, kMaxDecompressedSize);
}

IoResult<std::vector<uint8_t>> decompress_with_dict(std::span<const uint8_t> input,
                                                    const CompressionDict& dict) {
  return detail::decompress_limited(input, &dict, kMaxDecompressedSize);
}

}  // namespace zelvar::zstd
