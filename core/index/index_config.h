// IndexConfig: the settings an index is opened with.
//
// Two settings matter to this read-only engine: `num_threads`, the size of
// the index's idle worker pool, and `cache_blocks`, the capacity (in blocks)
// given to every segment's term-dictionary cache and again to its
// document-store cache. (How many threads an open or a search uses is the
// runtime's choice, not a setting.) The merge policy and the remaining settings belong to
// the writing side; they are carried with the configuration and nothing here
// reads them.
//
// Thread safety: a plain value; an index keeps its copy unchanged after open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/merge/merge_policy.h"

namespace zelvar {

struct IndexConfig {
  // The defaults: a default tiered merge policy, one worker thread per CPU
  // available to the process (at least 1), 256 cache blocks.
  static IndexConfig default_config();

  IndexConfig(const IndexConfig& other);
  IndexConfig& operator=(const IndexConfig& other);
  IndexConfig(IndexConfig&&) noexcept = default;
  IndexConfig& operator=(IndexConfig&&) noexcept = default;

  std::unique_ptr<MergePolicy> merge_policy;  // never null
  size_t num_threads;
  size_t cache_blocks;

  // Writer-side settings, carried unread.
  size_t num_indexing_threads;
  size_t num_compression_threads;  // defaults to the CPU count
  size_t max_pending_segments;
  uint32_t max_docs_per_flush;
  bool force_merge_on_commit;

 private:
  IndexConfig() = default;
};

}  // namespace zelvar
