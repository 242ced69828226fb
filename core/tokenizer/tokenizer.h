// Tokenizers: turn a text into words with their byte spans and positions.
//
// Words are the pieces of a text between runs of Unicode white space (the
// White_Space property); empty pieces are dropped. Each token keeps the byte
// span of its whole word in the input, whatever its text became.
//
//   SimpleTokenizer     every word, unchanged; position = index of the word.
//   LowercaseTokenizer  the word's alphanumeric characters (Alphabetic, or
//                       general category Nd, Nl, No), each given its full
//                       lower-case mapping on its own (so no final-sigma rule:
//                       U+03A3 always becomes U+03C3). A word left empty gives
//                       no token and uses up no position.
//   StemmerTokenizer    as LowercaseTokenizer, then the Snowball stem of the
//                       text in the tokenizer's language.
//   StopWordTokenizer   the tokens of an inner tokenizer, less those whose text
//                       is in its stop set; kept tokens are unchanged, so the
//                       positions of dropped ones stay unused.
//
// Input is expected to be UTF-8. An ill-formed byte sequence counts as one
// character that is neither white space nor alphanumeric: it never splits a
// word, SimpleTokenizer keeps its bytes, the others drop it.
//
// `Tokenizer` is bound at compile time; `TokenizerClone` is the run-time
// interface of a boxed tokenizer (see `BoxedTokenizer`).
//
// Thread safety: tokenizers are immutable values; any number of threads may
// tokenize with one tokenizer at once.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zelvar {

struct Token {
  std::string text;         // after filtering, lower-casing or stemming
  size_t offset_from = 0;   // byte offset where the word starts
  size_t offset_to = 0;     // byte offset just past the word
  uint32_t position = 0;    // ordinal from 0, as the underlying tokenizer counted

  friend bool operator==(const Token&, const Token&) = default;
};

// Stemmer languages, numbered in the order of the Snowball stemmer library.
enum class Language : uint8_t {
  kArabic = 0,
  kDanish = 1,
  kDutch = 2,
  kEnglish = 3,
  kFinnish = 4,
  kFrench = 5,
  kGerman = 6,
  kGreek = 7,
  kHungarian = 8,
  kItalian = 9,
  kNorwegian = 10,
  kPortuguese = 11,
  kRomanian = 12,
  kRussian = 13,
  kSpanish = 14,
  kSwedish = 15,
  kTamil = 16,
  kTurkish = 17,
};
inline constexpr size_t kNumLanguages = 18;

// The Snowball algorithm name of `language` ("english", ...); empty for a
// number outside the eighteen languages.
std::string_view language_name(Language language);

template <class T>
concept Tokenizer = std::copy_constructible<T> && requires(const T& t, std::string_view text) {
  { t.tokenize(text) } -> std::same_as<std::vector<Token>>;
};

class SimpleTokenizer {
 public:
  std::vector<Token> tokenize(std::string_view text) const;
};

class LowercaseTokenizer {
 public:
  std::vector<Token> tokenize(std::string_view text) const;
};

// Thrown by StemmerTokenizer::tokenize when the stemmer library lacks the
// tokenizer's language (it was built without it); the text names the
// language. Memory running out while making a stemmer is std::bad_alloc.
class StemmerUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StemmerTokenizer {
 public:
  explicit StemmerTokenizer(Language language) : language_(language) {}

  // A `language` outside the eighteen leaves the lower-cased words unstemmed.
  // Throws StemmerUnavailable or std::bad_alloc if the language's stemmer
  // cannot be made (each thread makes its own on first use).
  std::vector<Token> tokenize(std::string_view text) const;

  Language language() const { return language_; }

 private:
  Language language_;
};

// The stop list that the stop-word library gives for `language`, word by word
// as the library spells them; absent for the languages it has no list for
// (Arabic, Danish, Dutch, Swedish, Tamil, Turkish). The lists are compiled in.
std::optional<std::span<const std::string_view>> stop_word_list(Language language);

// `stop_word_list(language)` as a set; absent where there is no list.
std::optional<std::unordered_set<std::string>> stop_word_set(Language language);

// The same set, built once per process on first use and shared by every
// stop-word tokenizer of that language; null where there is no list.
std::shared_ptr<const std::unordered_set<std::string>> shared_stop_word_set(Language language);

namespace detail {

// What a failure of the stemmer library to make the stemmer `algorithm`
// ("english") means: StemmerUnavailable if the library does not offer that
// algorithm, otherwise std::bad_alloc.
[[noreturn]] void throw_stemmer_failure(std::string_view algorithm);

}  // namespace detail

template <Tokenizer Inner>
class StopWordTokenizer {
 public:
  // Over a LowercaseTokenizer, with the stop list of `language`. Absent for a
  // language without a stop list.
  static std::optional<StopWordTokenizer> create(Language language)
    requires std::same_as<Inner, LowercaseTokenizer>
  {
    std::shared_ptr<const std::unordered_set<std::string>> words = shared_stop_word_set(language);
    if (!words) return std::nullopt;
    return StopWordTokenizer(std::move(words), LowercaseTokenizer());
  }

  // Over a StemmerTokenizer of `stem_language`, with the stop list of
  // `stop_language`. The list is neither lower-cased nor stemmed: a stop word
  // whose stem differs from itself is not removed. Absent for a stop language
  // without a stop list.
  static std::optional<StopWordTokenizer> create(Language stem_language, Language stop_language)
    requires std::same_as<Inner, StemmerTokenizer>
  {
    std::shared_ptr<const std::unordered_set<std::string>> words =
        shared_stop_word_set(stop_language);
    if (!words) return std::nullopt;
    return StopWordTokenizer(std::move(words), StemmerTokenizer(stem_language));
  }

  std::vector<Token> tokenize(std::string_view text) const {
    std::vector<Token> tokens = inner_.tokenize(text);
    std::erase_if(tokens, [this](const Token& token) { return stop_words_->contains(token.text); });
    return tokens;
  }

  const std::unordered_set<std::string>& stop_words() const { return *stop_words_; }
  const Inner& inner() const { return inner_; }

 private:
  StopWordTokenizer(std::shared_ptr<const std::unordered_set<std::string>> stop_words, Inner inner)
      : stop_words_(std::move(stop_words)), inner_(std::move(inner)) {}

  // Never null. Immutable and shared: a copy shares it rather than copying
  // the words, which is the same to every reader.
  std::shared_ptr<const std::unordered_set<std::string>> stop_words_;
  Inner inner_;
};

// The run-time interface of a boxed tokenizer.
class TokenizerClone {
 public:
  virtual ~TokenizerClone() = default;

  // What the boxed tokenizer's own `tokenize` gives.
  virtual std::vector<Token> tokenize(std::string_view text) const = 0;

  // An independent boxed copy (a stop-word tokenizer shares its immutable
  // set).
  virtual std::unique_ptr<TokenizerClone> clone_box() const = 0;
};

// A tokenizer of any compile-time kind behind the run-time interface.
template <Tokenizer T>
class BoxedTokenizer final : public TokenizerClone {
 public:
  explicit BoxedTokenizer(T tokenizer) : tokenizer_(std::move(tokenizer)) {}

  std::vector<Token> tokenize(std::string_view text) const override {
    return tokenizer_.tokenize(text);
  }
  std::unique_ptr<TokenizerClone> clone_box() const override {
    return std::make_unique<BoxedTokenizer>(tokenizer_);
  }

  const T& tokenizer() const { return tokenizer_; }

 private:
  T tokenizer_;
};

}  // namespace zelvar
