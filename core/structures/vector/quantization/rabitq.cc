#include "core/structures/vector/quantization/rabitq.h"

#include <chrono>
#include <cstddef>
#include <utility>

#include "core/structures/vector/quantization/seeded_rng.h"

namespace zelvar {
namespace {

// Whole milliseconds since the UNIX epoch, or 0 before it.
uint64_t wall_clock_millis() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return 0;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
  return static_cast<uint64_t>(seconds.count()) * 1000 +
         static_cast<uint64_t>(nanos.count()) / 1000000;
}

}  // namespace

IoResult<RaBitQCodebook> RaBitQCodebook::create(const RaBitQConfig& config) {
  if (config.dim > kMaxRaBitQCodebookDim) {
    return std::unexpected(IoError(IoErrorKind::InvalidData, std::string(kRaBitQDimTooLarge)));
  }
  const auto dim = static_cast<size_t>(config.dim);
  SeededRng rng(config.seed);

  RaBitQCodebook codebook;
  codebook.config = config;

  // Signs first, then the shuffle, from one continuous word sequence.
  codebook.random_signs.reserve(dim);
  for (size_t i = 0; i < dim; ++i) {
    const uint32_t w = rng.next_u32();
    codebook.random_signs.push_back(w >= 0x80000000u ? int8_t{1} : int8_t{-1});
  }

  codebook.random_perm.reserve(dim);
  for (size_t i = 0; i < dim; ++i) codebook.random_perm.push_back(static_cast<uint32_t>(i));
  for (size_t i = dim; i-- > 1;) {
    const uint32_t j = rng.uniform_inclusive(static_cast<uint32_t>(i));
    std::swap(codebook.random_perm[i], codebook.random_perm[j]);
  }

  codebook.version = wall_clock_millis();
  return codebook;
}

dsl::JsonResult<RaBitQIndex> RaBitQIndex::from_json(std::span<const uint8_t> body) {
  return dsl::read_json<RaBitQIndex>(body);
}

}  // namespace zelvar
