#include "core/tokenizer/tokenizer.h"

#include <libstemmer.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>

#include <array>
#include <climits>
#include <mutex>
#include <new>
#include <string>

#include "core/dsl/utf8.h"

namespace zelvar {
namespace {

constexpr std::array<const char*, kNumLanguages> kSnowballNames = {
    "arabic",  "danish",    "dutch",      "english",  "finnish", "french",
    "german",  "greek",     "hungarian",  "italian",  "norwegian", "portuguese",
    "romanian", "russian",  "spanish",    "swedish",  "tamil",   "turkish",
};

bool is_white_space(int32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

bool is_alphanumeric(int32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

// Calls on_word(from, to) for the byte span of every word, in text order.
template <class F>
void for_each_word(std::string_view text, F&& on_word) {
  bool in_word = false;
  size_t start = 0;
  size_t at = 0;
  while (at < text.size()) {
    const Utf8Char c = decode_utf8(text, at);
    if (c.code_point >= 0 && is_white_space(c.code_point)) {
      if (in_word) on_word(start, at);
      in_word = false;
    } else if (!in_word) {
      in_word = true;
      start = at;
    }
    at += c.length;
  }
  if (in_word) on_word(start, text.size());
}

// The word's alphanumeric characters, each replaced by its full lower-case
// mapping. Characters are mapped one at a time, so no mapping depends on its
// neighbours (capital sigma always becomes U+03C3).
std::string lowercase_alphanumerics(std::string_view word) {
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  size_t at = 0;
  while (at < word.size()) {
    const Utf8Char c = decode_utf8(word, at);
    if (c.code_point >= 0 && is_alphanumeric(c.code_point)) {
      if (c.code_point < 0x80) {
        char ascii = static_cast<char>(c.code_point);
        out.push_back(ascii >= 'A' && ascii <= 'Z' ? static_cast<char>(ascii - 'A' + 'a') : ascii);
      } else {
        // The root locale: no Turkish or Lithuanian special cases.
        UErrorCode status = U_ZERO_ERROR;
        icu::CaseMap::utf8ToLower("", 0,
                                  icu::StringPiece(word.data() + at, static_cast<int32_t>(c.length)),
                                  sink, nullptr, status);
        // A single well-formed character always maps; keep it as it stands
        // should the library ever refuse.
        if (U_FAILURE(status)) out.append(word.substr(at, c.length));
      }
    }
    at += c.length;
  }
  return out;
}

std::vector<Token> lowercase_tokens(std::string_view text) {
  std::vector<Token> tokens;
  for_each_word(text, [&](size_t from, size_t to) {
    std::string lowered = lowercase_alphanumerics(text.substr(from, to - from));
    if (lowered.empty()) return;
    auto position = static_cast<uint32_t>(tokens.size());
    tokens.push_back(Token{std::move(lowered), from, to, position});
  });
  return tokens;
}

struct StemmerDeleter {
  void operator()(sb_stemmer* stemmer) const { sb_stemmer_delete(stemmer); }
};

// A Snowball stemmer keeps its working state inside the stemmer object, so
// each thread gets its own, made on first use and freed when the thread ends.
// Null for a number outside the eighteen languages.
sb_stemmer* thread_stemmer(Language language) {
  thread_local std::array<std::unique_ptr<sb_stemmer, StemmerDeleter>, kNumLanguages> stemmers;
  auto index = static_cast<size_t>(language);
  if (index >= kNumLanguages) return nullptr;
  std::unique_ptr<sb_stemmer, StemmerDeleter>& slot = stemmers[index];
  if (!slot) {
    slot.reset(sb_stemmer_new(kSnowballNames[index], "UTF_8"));
    if (!slot) detail::throw_stemmer_failure(kSnowballNames[index]);
  }
  return slot.get();
}

}  // namespace

namespace detail {

void throw_stemmer_failure(std::string_view algorithm) {
  // The library answers null both for an algorithm it lacks and for memory
  // running out; its list of algorithms tells the two apart.
  for (const char** name = sb_stemmer_list(); *name != nullptr; ++name) {
    if (algorithm == *name) throw std::bad_alloc();
  }
  throw StemmerUnavailable("the stemmer library has no Snowball stemmer for " +
                           std::string(algorithm));
}

}  // namespace detail

std::string_view language_name(Language language) {
  auto index = static_cast<size_t>(language);
  return index < kNumLanguages ? kSnowballNames[index] : "";
}

std::vector<Token> SimpleTokenizer::tokenize(std::string_view text) const {
  std::vector<Token> tokens;
  for_each_word(text, [&](size_t from, size_t to) {
    auto position = static_cast<uint32_t>(tokens.size());
    tokens.push_back(Token{std::string(text.substr(from, to - from)), from, to, position});
  });
  return tokens;
}

std::vector<Token> LowercaseTokenizer::tokenize(std::string_view text) const {
  return lowercase_tokens(text);
}

std::vector<Token> StemmerTokenizer::tokenize(std::string_view text) const {
  std::vector<Token> tokens = lowercase_tokens(text);
  sb_stemmer* stemmer = thread_stemmer(language_);
  if (stemmer == nullptr) return tokens;
  for (Token& token : tokens) {
    // The library measures words in int; a longer one is left as it is.
    if (token.text.size() > static_cast<size_t>(INT_MAX)) continue;
    const sb_symbol* stem = sb_stemmer_stem(
        stemmer, reinterpret_cast<const sb_symbol*>(token.text.data()),
        static_cast<int>(token.text.size()));
    if (stem == nullptr) throw std::bad_alloc();
    token.text.assign(reinterpret_cast<const char*>(stem),
                      static_cast<size_t>(sb_stemmer_length(stemmer)));
  }
  return tokens;
}

std::optional<std::unordered_set<std::string>> stop_word_set(Language language) {
  std::optional<std::span<const std::string_view>> list = stop_word_list(language);
  if (!list) return std::nullopt;
  std::unordered_set<std::string> words;
  words.reserve(list->size());
  for (std::string_view word : *list) words.emplace(word);
  return words;
}

std::shared_ptr<const std::unordered_set<std::string>> shared_stop_word_set(Language language) {
  static std::array<std::once_flag, kNumLanguages> once;
  static std::array<std::shared_ptr<const std::unordered_set<std::string>>, kNumLanguages> sets;
  auto index = static_cast<size_t>(language);
  if (index >= kNumLanguages) return nullptr;
  // A build that throws (memory ran out) leaves the flag unset for a retry.
  std::call_once(once[index], [&] {
    std::optional<std::unordered_set<std::string>> words = stop_word_set(language);
    if (words) {
      sets[index] = std::make_shared<const std::unordered_set<std::string>>(std::move(*words));
    }
  });
  return sets[index];
}

}  // namespace zelvar
