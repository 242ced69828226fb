#include "core/compression/zstd.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>

#include "core/directories/byte_cursor.h"
#include "core/error/result.h"

namespace zelvar::zstd {
namespace {

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }
};
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxDeleter>;

IoError library_error(size_t code) { return IoError(IoErrorKind::Other, ZSTD_getErrorName(code)); }

IoError allocation_error() { return IoError(IoErrorKind::Other, "Allocation error : not enough memory"); }

// A byte vector whose growth leaves the new bytes uninitialised: the decoder
// writes them.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  explicit DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
};
using Scratch = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

// Whether a frame of `input` uses one of the library's old formats, which it
// decodes through a separate context that it keeps and does not count in
// ZSTD_sizeof_DCtx. Only frames the decoder can reach are looked at: the walk
// stops at the first frame the library cannot delimit.
bool has_legacy_frame(std::span<const uint8_t> input) {
  size_t pos = 0;
  while (input.size() - pos >= 4) {
    const uint32_t magic = decode_le<uint32_t>(input.data() + pos);
    if (magic == 0x1EB52FFDu || (magic >= 0xFD2FB522u && magic <= 0xFD2FB527u)) return true;
    const size_t size = ZSTD_findFrameCompressedSize(input.data() + pos, input.size() - pos);
    if (ZSTD_isError(size) || size == 0) return false;
    pos += size;
  }
  return false;
}

// A frame of no content: one empty raw block.
constexpr std::array<uint8_t, 9> kEmptyFrame = {0x28, 0xB5, 0x2F, 0xFD, 0x20, 0x00, 0x01, 0x00, 0x00};

// A decoding context kept by a thread from one block to the next.
//
// A context must answer every block exactly as a new one would, damaged
// blocks included, so that a block's result never depends on what the thread
// decoded before. A reset clears the session, the parameters and the
// dictionary, but three things outlast it and can change which error a
// damaged frame meets first: stream buffers (allocated when a frame is
// decoded in pieces), the state kept for the old formats, and the end of the
// last dictionary used, from which the library judges whether a dictionary
// is "cold" and picks its sequence decoder. So a context that allocated
// buffers or met an old-format frame is freed after use, and a context used
// with a dictionary decodes an empty frame without one before it is used
// again, which forgets that end. Blocks as written (frames that declare their
// size and arrive whole) decode in one pass and keep their context.
class KeptContext {
 public:
  // The context, reset to a fresh session with default parameters and no
  // dictionary; null if none can be made.
  ZSTD_DCtx* acquire() {
    if (!context_) {
      context_.reset(ZSTD_createDCtx());
      if (!context_) return nullptr;
      fresh_size_ = ZSTD_sizeof_DCtx(context_.get());
    }
    ZSTD_DCtx_reset(context_.get(), ZSTD_reset_session_and_parameters);
    return context_.get();
  }

  // Called after every use, with what was decoded.
  void release(std::span<const uint8_t> input, bool used_dictionary) {
    if (!context_) return;
    if (ZSTD_sizeof_DCtx(context_.get()) != fresh_size_ || has_legacy_frame(input)) {
      context_.reset();
      return;
    }
    if (used_dictionary && !forget_dictionary()) context_.reset();
  }

 private:
  bool forget_dictionary() {
    ZSTD_DCtx_reset(context_.get(), ZSTD_reset_session_and_parameters);
    uint8_t room = 0;
    ZSTD_inBuffer in{kEmptyFrame.data(), kEmptyFrame.size(), 0};
    ZSTD_outBuffer out{&room, 1, 0};
    return ZSTD_decompressStream(context_.get(), &out, &in) == 0 && in.pos == in.size;
  }

  DCtxPtr context_;
  size_t fresh_size_ = 0;
};

// What a thread keeps between blocks: a context for blocks without a
// dictionary, one for blocks with one (so that the first never meets a
// dictionary at all), and a buffer for small outputs (see Output).
struct ThreadDecoder {
  KeptContext plain;
  KeptContext with_dictionary;
  Scratch scratch;
};

ThreadDecoder& thread_decoder() {
  thread_local ThreadDecoder decoder;
  return decoder;
}

// The total size the frames of `input` declare, if every frame declares one
// and the walk over them reaches the end of the input.
std::optional<uint64_t> declared_size(std::span<const uint8_t> input) {
  uint64_t total = 0;
  size_t pos = 0;
  while (pos < input.size()) {
    const unsigned long long size = ZSTD_getFrameContentSize(input.data() + pos, input.size() - pos);
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR) return std::nullopt;
    const size_t frame = ZSTD_findFrameCompressedSize(input.data() + pos, input.size() - pos);
    if (ZSTD_isError(frame) || frame == 0) return std::nullopt;
    if (size > UINT64_MAX - total) return std::nullopt;
    total += size;
    pos += frame;
  }
  return total;
}

// Where a block's decoded bytes go. Small outputs go to the thread's buffer,
// which is reused from block to block and copied out at the output's exact
// size. Large ones go to a buffer of the block's own, which becomes the
// block: from the start when the frames declare a size of at least
// kDirectOutput, else from the moment the output outgrows kScratchSize. The
// thread's buffer thus never holds more than kScratchSize, and a block of
// undeclared size needs at most one and a half times its size while it grows.
class Output {
 public:
  static constexpr size_t kScratchSize = size_t{4} << 20;
  static constexpr size_t kDirectOutput = size_t{1} << 20;

  // The most output one input byte can stand for: a zstd block of at least
  // four bytes (a 3-byte header and one repeated byte) decodes to at most
  // 128 KiB. A declared size beyond this is a lie: no buffer is made for it
  // up front, and the output grows as it is produced instead.
  static constexpr uint64_t kMaxExpansion = (uint64_t{128} << 10) / 4;

  Output(Scratch& scratch, std::span<const uint8_t> input, size_t limit, size_t step)
      : scratch_(scratch), cap_(limit > SIZE_MAX - step ? SIZE_MAX : limit + step) {
    const std::optional<uint64_t> declared = declared_size(input);
    if (declared && *declared >= kDirectOutput && *declared <= limit &&
        *declared / kMaxExpansion <= input.size()) {
      own_.resize(static_cast<size_t>(*declared) + step);
      in_own_ = true;
    }
  }

  // Room for `step` bytes at `produced`; the `produced` bytes before it are
  // kept. Precondition: produced + step <= the limit + step.
  uint8_t* room(size_t produced, size_t step) {
    if (!in_own_ && produced + step > kScratchSize) {
      own_.resize(grown(0, produced, step));
      std::copy(scratch_.begin(), scratch_.begin() + static_cast<ptrdiff_t>(produced), own_.begin());
      in_own_ = true;
    }
    if (in_own_) {
      if (own_.size() - produced < step) own_.resize(grown(own_.size(), produced, step));
      return own_.data() + produced;
    }
    if (scratch_.size() - produced < step) scratch_.resize(std::min(kScratchSize, grown(scratch_.size(), produced, step)));
    return scratch_.data() + produced;
  }

  // The first `produced` bytes, as a block that holds about its size.
  std::vector<uint8_t> take(size_t produced) {
    if (!in_own_) return std::vector<uint8_t>(scratch_.begin(), scratch_.begin() + static_cast<ptrdiff_t>(produced));
    own_.resize(produced);
    if (own_.capacity() - produced > produced / 8) own_.shrink_to_fit();
    return std::move(own_);
  }

 private:
  // Twice `size`, at least enough for `step` more bytes at `produced`, at
  // most the cap.
  size_t grown(size_t size, size_t produced, size_t step) const {
    return std::min(cap_, std::max(produced + step, size > SIZE_MAX / 2 ? SIZE_MAX : 2 * size));
  }

  Scratch& scratch_;
  std::vector<uint8_t> own_;
  bool in_own_ = false;
  const size_t cap_;  // the limit plus one step
};

// Decodes every frame of `input` with `ctx`, resetting the session (but not a
// referenced dictionary) between frames, and stops once the output would
// exceed `limit` bytes. The decoder is fed in steps of ZSTD_DStreamOutSize()
// bytes of room, wherever the room lies, so that what it answers depends only
// on the input.
IoResult<std::vector<uint8_t>> decode_frames(ZSTD_DCtx* ctx, Scratch& scratch, std::span<const uint8_t> input,
                                             IoErrorKind incomplete_kind, size_t limit) {
  const size_t step = ZSTD_DStreamOutSize();
  Output output(scratch, input, limit, step);
  size_t produced = 0;
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  bool frame_open = false;
  bool output_full = false;
  while (in.pos < in.size || output_full) {
    ZSTD_outBuffer out{output.room(produced, step), step, 0};
    const size_t ret = ZSTD_decompressStream(ctx, &out, &in);
    produced += out.pos;
    if (ZSTD_isError(ret)) return std::unexpected(library_error(ret));
    if (produced > limit) {
      return std::unexpected(IoError(IoErrorKind::Other, "Decompressed block exceeds " +
                                                             std::to_string(limit) + " bytes"));
    }
    output_full = out.pos == out.size;
    if (ret == 0) {
      // A finished frame has been flushed whole, even when it filled the
      // step exactly: go on only if input remains.
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
  return output.take(produced);
}

// Decodes `input` with the thread's context, referencing `dict` when given.
IoResult<std::vector<uint8_t>> decode_block(std::span<const uint8_t> input, const ZSTD_DDict* dict,
                                            IoErrorKind incomplete_kind, size_t limit) {
  ThreadDecoder& decoder = thread_decoder();
  KeptContext& kept = dict != nullptr ? decoder.with_dictionary : decoder.plain;
  ZSTD_DCtx* ctx = kept.acquire();
  if (ctx == nullptr) return std::unexpected(allocation_error());
  IoResult<std::vector<uint8_t>> result;
  if (const size_t ret = dict != nullptr ? ZSTD_DCtx_refDDict(ctx, dict) : 0; ZSTD_isError(ret)) {
    result = std::unexpected(library_error(ret));
  } else {
    result = decode_frames(ctx, decoder.scratch, input, incomplete_kind, limit);
  }
  kept.release(input, dict != nullptr);
  return result;
}

}  // namespace

DecoderDict::DecoderDict(const CompressionDict& dict) {
  // An empty dictionary loads as none at all.
  if (dict.bytes.empty()) return;
  ZSTD_DDict* ddict = ZSTD_createDDict(dict.bytes.data(), dict.bytes.size());
  if (ddict != nullptr) {
    digested_ = std::shared_ptr<const ZSTD_DDict>(ddict, [](const ZSTD_DDict* d) {
      ZSTD_freeDDict(const_cast<ZSTD_DDict*>(d));
    });
    return;
  }
  // The library's own error for this dictionary, as loading it into a
  // context reports it.
  DCtxPtr ctx(ZSTD_createDCtx());
  if (!ctx) {
    refused_ = allocation_error();
    return;
  }
  const size_t ret = ZSTD_DCtx_loadDictionary(ctx.get(), dict.bytes.data(), dict.bytes.size());
  refused_ = ZSTD_isError(ret) ? library_error(ret) : allocation_error();
}

IoResult<std::vector<uint8_t>> decompress(std::span<const uint8_t> input, size_t limit) {
  auto result = decode_block(input, nullptr, IoErrorKind::Other, limit);
  if (!result) return std::unexpected(std::move(result).error().with_kind(IoErrorKind::Other));
  return result;
}

IoResult<std::vector<uint8_t>> decompress_with_dict(std::span<const uint8_t> input, const DecoderDict& dict,
                                                    size_t limit) {
  if (dict.refused()) {
    // A refused dictionary fails where loading it would: after a context
    // was made.
    ZSTD_DCtx* ctx = thread_decoder().plain.acquire();
    if (ctx == nullptr) return std::unexpected(allocation_error());
    return std::unexpected(*dict.refused());
  }
  return decode_block(input, dict.digested(), IoErrorKind::UnexpectedEof, limit);
}

IoResult<std::vector<uint8_t>> decompress_with_dict(std::span<const uint8_t> input,
                                                    const CompressionDict& dict) {
  return decompress_with_dict(input, DecoderDict(dict));
}

}  // namespace zelvar::zstd
