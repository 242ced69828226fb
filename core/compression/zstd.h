// Block decompression.
//
// The data blocks of the term dictionary and of the document store are
// zstd-compressed, optionally against a dictionary the file itself carries.
// An input may hold several concatenated frames (skippable frames yield
// nothing); the output is the concatenation of their contents.
//
// What a block costs is only its decompression: a file's dictionary is
// digested once (DecoderDict, made when its reader first loads a block), and
// each thread reuses one decoding context and one output buffer, which grows
// without being zero-filled. The result is copied out at its exact size, so a cached
// block holds its content and nothing more. Reuse changes nothing a caller
// sees: every block decodes from a freshly reset context, fed in the same
// steps as a new one, with the same results and errors.
//
// Thread safety: the functions may run on any number of threads at once (the
// reused context is per thread); a DecoderDict is immutable and shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error/io_error.h"

struct ZSTD_DDict_s;

namespace zelvar {

// The raw bytes of a zstd dictionary, exactly as stored in a file. The engine
// never looks inside; the library decides how to interpret them.
struct CompressionDict {
  std::vector<uint8_t> bytes;
};

namespace zstd {

// The most bytes one stored block may decompress to. A block's output is not
// declared anywhere, and a few kilobytes of crafted frames could otherwise
// ask for gigabytes; real blocks are far below this.
inline constexpr size_t kMaxDecompressedSize = size_t{256} << 20;

// A dictionary digested once for decoding. The library parses it here, as it
// would when loading it into a context; a dictionary it refuses is kept as
// its error, which every decode with it then returns.
class DecoderDict {
 public:
  explicit DecoderDict(const CompressionDict& dict);

  // The digested form, or null for an empty dictionary (which decodes like
  // none) and for a refused one.
  const ZSTD_DDict_s* digested() const { return digested_.get(); }
  // The library's error for a dictionary it refused.
  const std::optional<IoError>& refused() const { return refused_; }

 private:
  std::shared_ptr<const ZSTD_DDict_s> digested_;
  std::optional<IoError> refused_;
};

// Every failure is kind Other with the library's error name, with
// "incomplete frame" for an input that ends inside a frame (empty included),
// or with "Decompressed block exceeds <limit> bytes" for an output beyond
// `limit`.
IoResult<std::vector<uint8_t>> decompress(std::span<const uint8_t> input, size_t limit = kMaxDecompressedSize);

// As `decompress`, with the dictionary applying to every frame; here an input
// that ends inside a frame is kind UnexpectedEof "incomplete frame", and a
// refused dictionary fails with the library's error (kind Other).
IoResult<std::vector<uint8_t>> decompress_with_dict(std::span<const uint8_t> input, const DecoderDict& dict,
                                          size_t limit = kMaxDecompressedSize);
IoResult<std::vector<uint8_t>> decompress_with_dict(std::span<const uint8_t> input, const CompressionDict& dict);

}  // namespace zstd
}  // namespace zelvar
