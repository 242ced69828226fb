// Block decompression.
//
// The data blocks of the term dictionary and of the document store are
// zstd-compressed, optionally against a dictionary the file itself carries.
// An input may hold several concatenated frames (skippable frames yield
// nothing); the output is the concatenation of their contents. Each call
// builds and drops its own decoding context.
//
// Thread safety: free functions without shared state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error/io_error.h"

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

// Every failure is kind Other with the library's error name, with
// "incomplete frame" for an input that ends inside a frame (empty included),
// or with "Decompressed block exceeds 268435456 bytes" for an output beyond
// kMaxDecompressedSize.
IoResult<std::vector<uint8_t>> decompress(std::span<const uint8_t> input);

// As `decompress`, with the dictionary applying to every frame; here an input
// that ends inside a frame is kind UnexpectedEof "incomplete frame".
IoResult<std::vector<uint8_t>> decompress_with_dict(std::span<const uint8_t> input,
                                                    const CompressionDict& dict);

namespace detail {
// Both of the above with an output limit of the caller's (for tests).
IoResult<std::vector<uint8_t>> decompress_limited(std::span<const uint8_t> input,
                                                  const CompressionDict* dict, size_t limit);
}  // namespace detail

}  // namespace zstd
}  // namespace zelvar
