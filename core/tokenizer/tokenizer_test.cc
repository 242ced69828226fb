#include "core/tokenizer/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace zelvar {

// Readable tokens in failure messages.
void PrintTo(const Token& token, std::ostream* os) {
  *os << "{\"" << token.text << "\", " << token.offset_from << "-" << token.offset_to << ", #"
      << token.position << "}";
}

namespace {

struct Case {
  const char* name;
  std::string text;
  std::vector<Token> simple;
  std::vector<Token> lowercase;
};

// What SimpleTokenizer and LowercaseTokenizer make of the same texts.
const std::vector<Case>& word_cases() {
  static const std::vector<Case> cases = {
      {"empty", "", {}, {}},
      {"white space only", " \t\r\n\v\f ", {}, {}},
      {"two one-letter words, two blanks", "a  b",
       {{"a", 0, 1, 0}, {"b", 3, 4, 1}},
       {{"a", 0, 1, 0}, {"b", 3, 4, 1}}},
      {"leading and trailing blanks", "  Ab cD  ",
       {{"Ab", 2, 4, 0}, {"cD", 5, 7, 1}},
       {{"ab", 2, 4, 0}, {"cd", 5, 7, 1}}},
      {"punctuation around words", "Hello, World!",
       {{"Hello,", 0, 6, 0}, {"World!", 7, 13, 1}},
       {{"hello", 0, 6, 0}, {"world", 7, 13, 1}}},
      {"punctuation inside a word", "don't e-mail",
       {{"don't", 0, 5, 0}, {"e-mail", 6, 12, 1}},
       {{"dont", 0, 5, 0}, {"email", 6, 12, 1}}},
      {"a word of punctuation only uses no position", "foo --- bar",
       {{"foo", 0, 3, 0}, {"---", 4, 7, 1}, {"bar", 8, 11, 2}},
       {{"foo", 0, 3, 0}, {"bar", 8, 11, 1}}},
      {"non-ASCII white space separates", "a\u00a0b\u3000c\u0085d\u2028e",
       {{"a", 0, 1, 0}, {"b", 3, 4, 1}, {"c", 7, 8, 2}, {"d", 10, 11, 3}, {"e", 14, 15, 4}},
       {{"a", 0, 1, 0}, {"b", 3, 4, 1}, {"c", 7, 8, 2}, {"d", 10, 11, 3}, {"e", 14, 15, 4}}},
      {"zero-width space is not white space", "a\u200bb",
       {{"a\u200bb", 0, 5, 0}},
       {{"ab", 0, 5, 0}}},
      {"offsets count bytes", "Éé x",
       {{"Éé", 0, 4, 0}, {"x", 5, 6, 1}},
       {{"éé", 0, 4, 0}, {"x", 5, 6, 1}}},
      {"dotted capital I lower-cases to two characters", "İstanbul",
       {{"İstanbul", 0, 9, 0}},
       {{"i\u0307stanbul", 0, 9, 0}}},
      {"capital sigma has no final form here", "ΟΔΟΣ",
       {{"ΟΔΟΣ", 0, 8, 0}},
       {{"οδοσ", 0, 8, 0}}},
      {"numbers of every kind are kept", "Ⅻ½3٣",
       {{"Ⅻ½3٣", 0, 8, 0}},
       {{"ⅻ½3٣", 0, 8, 0}}},
      {"a virama is a mark, not a letter, and goes", "மரம்",
       {{"மரம்", 0, 12, 0}},
       {{"மரம", 0, 12, 0}}},
      {"ill-formed UTF-8 neither splits nor survives lower-casing", "ab\xff\xc3(Cd ef\xed\xa0\x80",
       {{"ab\xff\xc3(Cd", 0, 7, 0}, {"ef\xed\xa0\x80", 8, 13, 1}},
       {{"abcd", 0, 7, 0}, {"ef", 8, 13, 1}}},
      {"truncated sequence at the end", "x \xe2\x82",
       {{"x", 0, 1, 0}, {"\xe2\x82", 2, 4, 1}},
       {{"x", 0, 1, 0}}},
  };
  return cases;
}

TEST(TokenizerTest, SimpleTokenizer) {
  for (const Case& c : word_cases()) {
    EXPECT_EQ(SimpleTokenizer().tokenize(c.text), c.simple) << c.name;
  }
}

TEST(TokenizerTest, LowercaseTokenizer) {
  for (const Case& c : word_cases()) {
    EXPECT_EQ(LowercaseTokenizer().tokenize(c.text), c.lowercase) << c.name;
  }
}

// One word per language whose stem under that language's algorithm differs
// from what every other language's algorithm makes of it, so a stemmer bound
// to the wrong algorithm shows.
TEST(StemmerTokenizerTest, EachLanguageHasItsOwnAlgorithm) {
  struct LanguageCase {
    Language language;
    const char* name;
    const char* word;
    const char* stem;
  };
  const LanguageCase cases[] = {
      {Language::kArabic, "arabic", "الكتابات", "كتاب"},
      {Language::kDanish, "danish", "hundene", "hund"},
      {Language::kDutch, "dutch", "lichamelijk", "licham"},
      {Language::kEnglish, "english", "running", "run"},
      {Language::kFinnish, "finnish", "taloissa", "talo"},
      {Language::kFrench, "french", "continuellement", "continuel"},
      {Language::kGerman, "german", "häusern", "haus"},
      {Language::kGreek, "greek", "τραγουδια", "τραγουδ"},
      {Language::kHungarian, "hungarian", "házakat", "ház"},
      {Language::kItalian, "italian", "abitazione", "abit"},
      {Language::kNorwegian, "norwegian", "kjærligheten", "kjær"},
      {Language::kPortuguese, "portuguese", "livrarias", "livr"},
      {Language::kRomanian, "romanian", "cărțile", "cărț"},
      {Language::kRussian, "russian", "книгами", "книг"},
      {Language::kSpanish, "spanish", "corriendo", "corr"},
      {Language::kSwedish, "swedish", "hästarna", "häst"},
      {Language::kTamil, "tamil", "வீடுகளை", "வீடு"},
      {Language::kTurkish, "turkish", "kitaplardan", "kitap"},
  };
  ASSERT_EQ(std::size(cases), kNumLanguages);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const LanguageCase& c = cases[i];
    EXPECT_EQ(static_cast<size_t>(c.language), i);
    EXPECT_EQ(language_name(c.language), c.name);
    std::string word = c.word;
    std::vector<Token> expected = {{c.stem, 0, word.size(), 0}};
    EXPECT_EQ(StemmerTokenizer(c.language).tokenize(word), expected) << c.name;
  }
}

TEST(StemmerTokenizerTest, StemsTheLowerCasedWordsAndKeepsTheirSpans) {
  const std::vector<Token> expected = {{"run", 4, 12, 0}, {"cat", 13, 17, 1}};
  EXPECT_EQ(StemmerTokenizer(Language::kEnglish).tokenize("!!! RUNNING, Cats"), expected);
  EXPECT_TRUE(StemmerTokenizer(Language::kEnglish).tokenize("  ").empty());
  EXPECT_TRUE(StemmerTokenizer(Language::kEnglish).tokenize("").empty());
}

TEST(StemmerTokenizerTest, UnknownLanguageNumberLeavesWordsUnstemmed) {
  auto unknown = static_cast<Language>(kNumLanguages);
  EXPECT_EQ(language_name(unknown), "");
  const std::vector<Token> expected = {{"running", 0, 7, 0}};
  EXPECT_EQ(StemmerTokenizer(unknown).tokenize("Running"), expected);
}

TEST(StemmerTokenizerTest, StemmerFailureSaysWhetherTheLanguageIsMissing) {
  try {
    detail::throw_stemmer_failure("klingon");
  } catch (const StemmerUnavailable& e) {
    EXPECT_STREQ(e.what(), "the stemmer library has no Snowball stemmer for klingon");
  }
  // The library offers all eighteen, so for them a failure can only be memory.
  for (size_t i = 0; i < kNumLanguages; ++i) {
    std::string_view name = language_name(static_cast<Language>(i));
    EXPECT_THROW(detail::throw_stemmer_failure(name), std::bad_alloc) << name;
  }
}

TEST(StemmerTokenizerTest, OneTokenizerServesManyThreads) {
  // Snowball stemmers keep working state; sharing one between threads would
  // garble stems or race (the sanitizer build shows the latter).
  std::string text;
  for (int i = 0; i < 200; ++i) text += "running jumped connections generously ";
  StemmerTokenizer stemmer(Language::kEnglish);
  const std::vector<Token> expected = stemmer.tokenize(text);
  ASSERT_EQ(expected.size(), 800u);
  ASSERT_EQ(expected[3].text, "generous");

  std::vector<std::thread> threads;
  std::vector<int> mismatches(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        if (stemmer.tokenize(text) != expected) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

TEST(StopWordTokenizerTest, OnlyLanguagesWithALibraryListHaveOne) {
  struct ListCase {
    Language language;
    bool has_list;
  };
  const ListCase cases[] = {
      {Language::kArabic, false},    {Language::kDanish, false},   {Language::kDutch, false},
      {Language::kEnglish, true},    {Language::kFinnish, true},   {Language::kFrench, true},
      {Language::kGerman, true},     {Language::kGreek, true},     {Language::kHungarian, true},
      {Language::kItalian, true},    {Language::kNorwegian, true}, {Language::kPortuguese, true},
      {Language::kRomanian, true},   {Language::kRussian, true},   {Language::kSpanish, true},
      {Language::kSwedish, false},   {Language::kTamil, false},    {Language::kTurkish, false},
  };
  for (const ListCase& c : cases) {
    std::string name(language_name(c.language));
    std::optional<std::span<const std::string_view>> list = stop_word_list(c.language);
    EXPECT_EQ(list.has_value(), c.has_list) << name;
    EXPECT_EQ(StopWordTokenizer<LowercaseTokenizer>::create(c.language).has_value(), c.has_list)
        << name;
    EXPECT_EQ(StopWordTokenizer<StemmerTokenizer>::create(Language::kEnglish, c.language)
                  .has_value(),
              c.has_list)
        << name;
    if (list) {
      EXPECT_FALSE(list->empty()) << name;
      // The set holds each word of the list, spelt as the list spells it.
      std::unordered_set<std::string> set = *stop_word_set(c.language);
      EXPECT_LE(set.size(), list->size()) << name;
      for (std::string_view word : *list) EXPECT_TRUE(set.contains(std::string(word))) << name;
    }
  }
}

TEST(StopWordTokenizerTest, ListsAreTheLibrarysOwn) {
  // A few words the library's English list holds, including ones that no
  // lower-casing tokenizer can ever produce.
  std::unordered_set<std::string> english = *stop_word_set(Language::kEnglish);
  for (const char* word : {"the", "and", "having", "themselves", "'ll", "a's"}) {
    EXPECT_TRUE(english.contains(word)) << word;
  }
  EXPECT_FALSE(english.contains("cat"));
  std::unordered_set<std::string> russian = *stop_word_set(Language::kRussian);
  EXPECT_TRUE(russian.contains("может быть"));
}

TEST(StopWordTokenizerTest, OverLowercaseDropsStopWordsAndLeavesTheirPositions) {
  StopWordTokenizer<LowercaseTokenizer> tokenizer =
      *StopWordTokenizer<LowercaseTokenizer>::create(Language::kEnglish);
  const std::vector<Token> expected = {{"cat", 4, 7, 1}, {"hat", 16, 20, 4}};
  EXPECT_EQ(tokenizer.tokenize("The cat and THE hat."), expected);
  EXPECT_TRUE(tokenizer.tokenize("").empty());
  EXPECT_TRUE(tokenizer.tokenize("the and of").empty());
}

TEST(StopWordTokenizerTest, OverStemmerLooksUpTheStem) {
  // "having" stems to "have" and "being" to "be", both stop words, so both
  // go; "themselves" is a stop word but its stem "themselv" is not, so it
  // stays.
  StopWordTokenizer<StemmerTokenizer> tokenizer =
      *StopWordTokenizer<StemmerTokenizer>::create(Language::kEnglish, Language::kEnglish);
  const std::vector<Token> expected = {{"cat", 4, 8, 1}, {"themselv", 9, 19, 2}};
  EXPECT_EQ(tokenizer.tokenize("The cats themselves having being"), expected);
  EXPECT_EQ(tokenizer.inner().language(), Language::kEnglish);
}

TEST(StopWordTokenizerTest, StemAndStopLanguagesAreIndependent) {
  // German stop words over the English stemmer: "die" is dropped, English
  // words are stemmed.
  StopWordTokenizer<StemmerTokenizer> tokenizer =
      *StopWordTokenizer<StemmerTokenizer>::create(Language::kEnglish, Language::kGerman);
  const std::vector<Token> expected = {{"cat", 4, 8, 1}};
  EXPECT_EQ(tokenizer.tokenize("die cats"), expected);
  EXPECT_EQ(tokenizer.inner().language(), Language::kEnglish);
}

TEST(BoxedTokenizerTest, CloneIsIndependentOfTheOriginal) {
  std::unique_ptr<TokenizerClone> original = std::make_unique<BoxedTokenizer<StopWordTokenizer<LowercaseTokenizer>>>(
      *StopWordTokenizer<LowercaseTokenizer>::create(Language::kEnglish));
  const std::vector<Token> expected = original->tokenize("The Cat");
  ASSERT_EQ(expected, (std::vector<Token>{{"cat", 4, 7, 1}}));
  std::unique_ptr<TokenizerClone> copy = original->clone_box();
  original.reset();
  EXPECT_EQ(copy->tokenize("The Cat"), expected);
  std::unique_ptr<TokenizerClone> copy_of_copy = copy->clone_box();
  EXPECT_EQ(copy_of_copy->tokenize("The Cat"), expected);
}

}  // namespace
}  // namespace zelvar
