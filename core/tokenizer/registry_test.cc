#include "core/tokenizer/registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace zelvar {

// Reads the registry's map, which the engine itself never does.
class TokenizerRegistryTestPeer {
 public:
  static size_t size(const TokenizerRegistry& registry) {
    std::shared_lock lock(registry.state_->mutex);
    return registry.state_->tokenizers.size();
  }

  // Null if `name` is not registered. Single-threaded tests only: the
  // pointer outlives the lock.
  static const TokenizerClone* find(const TokenizerRegistry& registry, const std::string& name) {
    std::shared_lock lock(registry.state_->mutex);
    auto it = registry.state_->tokenizers.find(name);
    return it == registry.state_->tokenizers.end() ? nullptr : it->second.get();
  }
};

namespace {

using Peer = TokenizerRegistryTestPeer;

enum class Kind { kSimple, kLowercase, kStemmer, kStop, kStemStop };

struct Entry {
  const char* name;
  Kind kind;
  std::optional<Language> language;
};

// The kind and language of a boxed tokenizer, found by its concrete type.
std::optional<Entry> describe(const TokenizerClone* tokenizer) {
  if (tokenizer == nullptr) return std::nullopt;
  if (dynamic_cast<const BoxedTokenizer<SimpleTokenizer>*>(tokenizer)) {
    return Entry{"", Kind::kSimple, std::nullopt};
  }
  if (dynamic_cast<const BoxedTokenizer<LowercaseTokenizer>*>(tokenizer)) {
    return Entry{"", Kind::kLowercase, std::nullopt};
  }
  if (auto* stem = dynamic_cast<const BoxedTokenizer<StemmerTokenizer>*>(tokenizer)) {
    return Entry{"", Kind::kStemmer, stem->tokenizer().language()};
  }
  if (auto* stop = dynamic_cast<const BoxedTokenizer<StopWordTokenizer<LowercaseTokenizer>>*>(
          tokenizer)) {
    (void)stop;
    return Entry{"", Kind::kStop, std::nullopt};
  }
  if (auto* stop =
          dynamic_cast<const BoxedTokenizer<StopWordTokenizer<StemmerTokenizer>>*>(tokenizer)) {
    return Entry{"", Kind::kStemStop, stop->tokenizer().inner().language()};
  }
  return std::nullopt;
}

// The stop set of a stop-word pipeline registered under `name`.
const std::unordered_set<std::string>* stop_words_of(const TokenizerClone* tokenizer) {
  if (auto* stop = dynamic_cast<const BoxedTokenizer<StopWordTokenizer<LowercaseTokenizer>>*>(
          tokenizer)) {
    return &stop->tokenizer().stop_words();
  }
  if (auto* stop =
          dynamic_cast<const BoxedTokenizer<StopWordTokenizer<StemmerTokenizer>>*>(tokenizer)) {
    return &stop->tokenizer().stop_words();
  }
  return nullptr;
}

TEST(TokenizerRegistryTest, HoldsTheFiftyBuiltInNames) {
  using L = Language;
  const Entry kEntries[] = {
      {"default", Kind::kLowercase, {}},         {"simple", Kind::kSimple, {}},
      {"lowercase", Kind::kLowercase, {}},       {"raw", Kind::kSimple, {}},
      {"en_stem", Kind::kStemmer, L::kEnglish},  {"english", Kind::kStemmer, L::kEnglish},
      {"ar_stem", Kind::kStemmer, L::kArabic},   {"arabic", Kind::kStemmer, L::kArabic},
      {"da_stem", Kind::kStemmer, L::kDanish},   {"danish", Kind::kStemmer, L::kDanish},
      {"nl_stem", Kind::kStemmer, L::kDutch},    {"dutch", Kind::kStemmer, L::kDutch},
      {"fi_stem", Kind::kStemmer, L::kFinnish},  {"finnish", Kind::kStemmer, L::kFinnish},
      {"fr_stem", Kind::kStemmer, L::kFrench},   {"french", Kind::kStemmer, L::kFrench},
      {"de_stem", Kind::kStemmer, L::kGerman},   {"german", Kind::kStemmer, L::kGerman},
      {"el_stem", Kind::kStemmer, L::kGreek},    {"greek", Kind::kStemmer, L::kGreek},
      {"hu_stem", Kind::kStemmer, L::kHungarian}, {"hungarian", Kind::kStemmer, L::kHungarian},
      {"it_stem", Kind::kStemmer, L::kItalian},  {"italian", Kind::kStemmer, L::kItalian},
      {"no_stem", Kind::kStemmer, L::kNorwegian}, {"norwegian", Kind::kStemmer, L::kNorwegian},
      {"pt_stem", Kind::kStemmer, L::kPortuguese}, {"portuguese", Kind::kStemmer, L::kPortuguese},
      {"ro_stem", Kind::kStemmer, L::kRomanian}, {"romanian", Kind::kStemmer, L::kRomanian},
      {"ru_stem", Kind::kStemmer, L::kRussian},  {"russian", Kind::kStemmer, L::kRussian},
      {"es_stem", Kind::kStemmer, L::kSpanish},  {"spanish", Kind::kStemmer, L::kSpanish},
      {"sv_stem", Kind::kStemmer, L::kSwedish},  {"swedish", Kind::kStemmer, L::kSwedish},
      {"ta_stem", Kind::kStemmer, L::kTamil},    {"tamil", Kind::kStemmer, L::kTamil},
      {"tr_stem", Kind::kStemmer, L::kTurkish},  {"turkish", Kind::kStemmer, L::kTurkish},
      {"en_stop", Kind::kStop, {}},              {"de_stop", Kind::kStop, {}},
      {"fr_stop", Kind::kStop, {}},              {"ru_stop", Kind::kStop, {}},
      {"es_stop", Kind::kStop, {}},              {"en_stem_stop", Kind::kStemStop, L::kEnglish},
      {"de_stem_stop", Kind::kStemStop, L::kGerman}, {"fr_stem_stop", Kind::kStemStop, L::kFrench},
      {"ru_stem_stop", Kind::kStemStop, L::kRussian}, {"es_stem_stop", Kind::kStemStop, L::kSpanish},
  };
  TokenizerRegistry registry = TokenizerRegistry::default_registry();
  EXPECT_EQ(Peer::size(registry), std::size(kEntries));
  for (const Entry& expected : kEntries) {
    std::optional<Entry> got = describe(Peer::find(registry, expected.name));
    ASSERT_TRUE(got.has_value()) << expected.name;
    EXPECT_EQ(got->kind, expected.kind) << expected.name;
    EXPECT_EQ(got->language, expected.language) << expected.name;
  }
}

TEST(TokenizerRegistryTest, StopPipelinesUseTheirLanguagesList) {
  struct StopCase {
    const char* stop;
    const char* stem_stop;
    Language language;
  };
  const StopCase cases[] = {
      {"en_stop", "en_stem_stop", Language::kEnglish},
      {"de_stop", "de_stem_stop", Language::kGerman},
      {"fr_stop", "fr_stem_stop", Language::kFrench},
      {"ru_stop", "ru_stem_stop", Language::kRussian},
      {"es_stop", "es_stem_stop", Language::kSpanish},
  };
  TokenizerRegistry registry;
  for (const StopCase& c : cases) {
    std::unordered_set<std::string> expected = *stop_word_set(c.language);
    for (const char* name : {c.stop, c.stem_stop}) {
      const std::unordered_set<std::string>* words = stop_words_of(Peer::find(registry, name));
      ASSERT_NE(words, nullptr) << name;
      EXPECT_EQ(*words, expected) << name;
    }
  }
}

TEST(TokenizerRegistryTest, StopSetsAreBuiltOncePerProcessAndShared) {
  TokenizerRegistry first;
  TokenizerRegistry second;
  for (const char* name : {"en_stop", "de_stop", "fr_stop", "ru_stop", "es_stop"}) {
    const std::unordered_set<std::string>* words = stop_words_of(Peer::find(first, name));
    ASSERT_NE(words, nullptr) << name;
    EXPECT_EQ(stop_words_of(Peer::find(second, name)), words) << name;
    // The pipeline over the stemmer of the same language shares it too.
    const std::string stem_stop = std::string(name, 2) + "_stem_stop";
    EXPECT_EQ(stop_words_of(Peer::find(first, stem_stop)), words) << stem_stop;
  }
}

TEST(TokenizerRegistryTest, StopPipelineDropsAllOfAStopWordText) {
  TokenizerRegistry registry;
  const std::string text = "The and OF, it is";
  EXPECT_TRUE(Peer::find(registry, "en_stop")->tokenize(text).empty());
  EXPECT_EQ(Peer::find(registry, "lowercase")->tokenize(text).size(), 5u);
}

TEST(TokenizerRegistryTest, RegisteringUnderAnExistingNameReplaces) {
  TokenizerRegistry registry;
  registry.register_tokenizer("default", SimpleTokenizer());
  EXPECT_EQ(Peer::size(registry), 50u);
  const std::vector<Token> expected = {{"Hello,", 0, 6, 0}};
  EXPECT_EQ(Peer::find(registry, "default")->tokenize("Hello,"), expected);
  // The other lower-casing name is untouched.
  EXPECT_EQ(Peer::find(registry, "lowercase")->tokenize("Hello,")[0].text, "hello");

  registry.register_tokenizer("my_stem", StemmerTokenizer(Language::kGerman));
  EXPECT_EQ(Peer::size(registry), 51u);
  EXPECT_EQ(Peer::find(registry, "my_stem")->tokenize("häusern")[0].text, "haus");
}

TEST(TokenizerRegistryTest, CopiesShareOneMap) {
  TokenizerRegistry registry;
  TokenizerRegistry copy = registry;
  copy.register_tokenizer("extra", LowercaseTokenizer());
  EXPECT_EQ(Peer::size(registry), 51u);
  EXPECT_NE(Peer::find(registry, "extra"), nullptr);
  // Moving copies, so the source keeps its map.
  TokenizerRegistry moved = std::move(copy);
  copy.register_tokenizer("after_move", SimpleTokenizer());
  EXPECT_EQ(Peer::size(moved), 52u);
  // A registry built anew has its own map.
  EXPECT_EQ(Peer::size(TokenizerRegistry()), 50u);
}

}  // namespace
}  // namespace zelvar
