#include "core/tokenizer/registry.h"

#include <array>
#include <cstdlib>

namespace zelvar {
namespace {

// Each stemmer is registered under its short name and under its language's
// name as `language_name` spells it ("english").
struct StemmerName {
  std::string_view short_name;
  Language language;
};

// English first, then the others in language order.
constexpr std::array<StemmerName, kNumLanguages> kStemmers = {{
    {"en_stem", Language::kEnglish},
    {"ar_stem", Language::kArabic},
    {"da_stem", Language::kDanish},
    {"nl_stem", Language::kDutch},
    {"fi_stem", Language::kFinnish},
    {"fr_stem", Language::kFrench},
    {"de_stem", Language::kGerman},
    {"el_stem", Language::kGreek},
    {"hu_stem", Language::kHungarian},
    {"it_stem", Language::kItalian},
    {"no_stem", Language::kNorwegian},
    {"pt_stem", Language::kPortuguese},
    {"ro_stem", Language::kRomanian},
    {"ru_stem", Language::kRussian},
    {"es_stem", Language::kSpanish},
    {"sv_stem", Language::kSwedish},
    {"ta_stem", Language::kTamil},
    {"tr_stem", Language::kTurkish},
}};

struct StopName {
  std::string_view stop_name;       // over the lower-casing tokenizer
  std::string_view stem_stop_name;  // over the stemmer of the same language
  Language language;
};

constexpr std::array<StopName, 5> kStopPipelines = {{
    {"en_stop", "en_stem_stop", Language::kEnglish},
    {"de_stop", "de_stem_stop", Language::kGerman},
    {"fr_stop", "fr_stem_stop", Language::kFrench},
    {"ru_stop", "ru_stem_stop", Language::kRussian},
    {"es_stop", "es_stem_stop", Language::kSpanish},
}};

// The five stop languages always have a list: the generator of the compiled-in
// lists refuses to build without them, so this never fails.
template <class T>
T must_have(std::optional<T> tokenizer) {
  if (!tokenizer) std::abort();
  return std::move(*tokenizer);
}

}  // namespace

TokenizerRegistry::TokenizerRegistry() : state_(std::make_shared<State>()) {
  register_tokenizer("default", LowercaseTokenizer());
  register_tokenizer("simple", SimpleTokenizer());
  register_tokenizer("lowercase", LowercaseTokenizer());
  register_tokenizer("raw", SimpleTokenizer());
  for (const StemmerName& stemmer : kStemmers) {
    register_tokenizer(stemmer.short_name, StemmerTokenizer(stemmer.language));
    register_tokenizer(language_name(stemmer.language), StemmerTokenizer(stemmer.language));
  }
  for (const StopName& stop : kStopPipelines) {
    register_tokenizer(stop.stop_name,
                       must_have(StopWordTokenizer<LowercaseTokenizer>::create(stop.language)));
  }
  for (const StopName& stop : kStopPipelines) {
    register_tokenizer(stop.stem_stop_name, must_have(StopWordTokenizer<StemmerTokenizer>::create(
                                                stop.language, stop.language)));
  }
}

}  // namespace zelvar
