// Helpers shared by the readers of the vector files: the whole-file read by
// path of the side files (coarse centroids and product-quantization
// codebooks), and a bounded little-endian cursor over bytes in memory, which
// the segment's vector-file directory is decoded with too.
//
// Thread safety: free functions and a cursor owned by one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/directories/whole_file.h"
#include "core/error/io_error.h"

namespace zelvar::side_file {

// Reads the file at `path` (used as written: absolute, or relative to the
// working directory) whole, on the calling thread; see read_whole_file for
// the errors.
IoResult<std::vector<uint8_t>> read_whole(std::string_view path);

using ::zelvar::kNotARegularFile;
using ::zelvar::kPathWithNul;

// UnexpectedEof "failed to fill whole buffer".
IoError ran_out();

// Reads fixed-width little-endian values; every read is checked against the
// bytes left. Views `bytes`, which must outlive it.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t remaining() const { return bytes_.size() - pos_; }

  IoResult<uint8_t> u8();
  IoResult<bool> boolean();  // one byte, non-zero is true
  IoResult<uint32_t> u32();
  IoResult<uint64_t> u64();
  IoResult<float> f32();

  // `count` f32 values. The count is checked against the bytes left before
  // anything is reserved, so a header count cannot allocate beyond the file.
  IoResult<std::vector<float>> f32_array(uint64_t count);

 private:
  IoResult<std::span<const uint8_t>> take(size_t n);

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// Stores `a` * `b` in `out`; false when the product does not fit in 64 bits.
bool checked_mul(uint64_t a, uint64_t b, uint64_t& out);

}  // namespace zelvar::side_file
