#include "core/index/index_config.h"

#include "core/runtime/runtime.h"

namespace zelvar {

IndexConfig IndexConfig::default_config() {
  // available_cpus() already honours the affinity mask and any control-group
  // quota; the guard keeps a pool of at least one thread whatever it reports.
  size_t cpus = runtime::available_cpus();
  if (cpus == 0) cpus = 1;
  IndexConfig config;
  config.merge_policy = std::make_unique<TieredMergePolicy>();
  config.num_threads = cpus;
  config.cache_blocks = 256;
  config.num_indexing_threads = 1;
  config.num_compression_threads = cpus;
  config.max_pending_segments = 32;
  config.max_docs_per_flush = 100000;
  config.force_merge_on_commit = false;
  return config;
}

IndexConfig::IndexConfig(const IndexConfig& other)
    : merge_policy(other.merge_policy ? other.merge_policy->clone_box() : nullptr),
      num_threads(other.num_threads),
      cache_blocks(other.cache_blocks),
      num_indexing_threads(other.num_indexing_threads),
      num_compression_threads(other.num_compression_threads),
      max_pending_segments(other.max_pending_segments),
      max_docs_per_flush(other.max_docs_per_flush),
      force_merge_on_commit(other.force_merge_on_commit) {}

IndexConfig& IndexConfig::operator=(const IndexConfig& other) {
  if (this != &other) *this = IndexConfig(other);
  return *this;
}

}  // namespace zelvar
