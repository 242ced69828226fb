// Helpers shared by the readers of the side files of the vector indexes
// (coarse centroids and product-quantization codebooks): the whole-file read
// by path, the head both formats start with, and the reads of a ByteCursor
// they add (flags and runs of f32).
//
//   u32 magic | u32 version | u64 stamp | (the format's own fields)
//
// Thread safety: free functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/directories/byte_cursor.h"
#include "core/directories/whole_file.h"
#include "core/error/io_error.h"

namespace zelvar::side_file {

// Reads the file at `path` (used as written: absolute, or relative to the
// working directory) whole, on the calling thread; see read_whole_file for
// the errors.
IoResult<std::vector<uint8_t>> read_whole(std::string_view path);

using ::zelvar::kNotARegularFile;
using ::zelvar::kPathWithNul;

// The head of a side file. A magic other than `magic` fails with
// InvalidData `wrong_magic`; a file too short for its magic is short,
// whatever its bytes say.
struct SideFileHead {
  uint32_t version = 0;
  uint64_t stamp = 0;
};
IoResult<SideFileHead> read_head(ByteCursor& cursor, uint32_t magic, std::string_view wrong_magic);

// One byte, non-zero meaning true.
ReadResult<bool> read_flag(ByteCursor& cursor);

// `count` f32 values. The count is checked against the bytes left before
// anything is reserved, so a header count cannot allocate beyond the file.
ReadResult<std::vector<float>> read_f32_array(ByteCursor& cursor, uint64_t count);

// Stores `a` * `b` in `out`; false when the product does not fit in 64 bits.
bool checked_mul(uint64_t a, uint64_t b, uint64_t& out);

}  // namespace zelvar::side_file
