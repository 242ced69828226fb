// TokenizerRegistry: named tokenizers, boxed behind `TokenizerClone`.
//
// A new registry holds fifty built-in names: "default" and "lowercase"
// (LowercaseTokenizer), "simple" and "raw" (SimpleTokenizer), a stemmer for
// each of the eighteen languages under its short name and its language name
// ("en_stem" and "english", ...), and stop-word pipelines for English,
// German, French, Russian and Spanish, over the lower-casing tokenizer
// ("en_stop", ...) and over the stemmer of the same language
// ("en_stem_stop", ...).
//
// Names are unique: registering under a name already present replaces the
// tokenizer there and drops the old one. Copies of a registry share one map.
//
// Thread safety: the map sits behind a reader-writer lock shared by all
// copies; `register_tokenizer` holds it exclusively for the insertion only.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/tokenizer/tokenizer.h"

namespace zelvar {

class TokenizerRegistry {
 public:
  // A registry holding the fifty built-in names.
  TokenizerRegistry();

  // Copies share the map. There is no separate move: a moved-from registry
  // would have no map, so moving copies instead.
  TokenizerRegistry(const TokenizerRegistry&) = default;
  TokenizerRegistry& operator=(const TokenizerRegistry&) = default;

  // The same as a new registry; what an index builds at open.
  static TokenizerRegistry default_registry() { return TokenizerRegistry(); }

  // Boxes `tokenizer` and stores it under `name`, replacing and dropping any
  // tokenizer registered under that name before.
  template <Tokenizer T>
  void register_tokenizer(std::string_view name, T tokenizer) {
    auto boxed = std::make_unique<BoxedTokenizer<T>>(std::move(tokenizer));
    std::unique_lock lock(state_->mutex);
    state_->tokenizers.insert_or_assign(std::string(name), std::move(boxed));
  }

 private:
  friend class TokenizerRegistryTestPeer;

  struct State {
    std::shared_mutex mutex;
    // guarded by mutex
    std::unordered_map<std::string, std::unique_ptr<TokenizerClone>> tokenizers;
  };

  std::shared_ptr<State> state_;
};

}  // namespace zelvar
