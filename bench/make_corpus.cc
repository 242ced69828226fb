// zelvar_bench_corpus --docs N --segments S [--seed X] [--jobs J] OUT_DIR
//
// Writes the benchmark corpus of bench/cold_paths.py: N short documents
// (a title of 4 to 10 words and a body of 20 to 60) drawn from a Zipfian
// vocabulary of 200,000 made-up words, as
//   OUT_DIR/index/      an index folder of S segments of about N/S documents,
//                       written with the test-only index writer in the layout
//                       of a production index: term blocks of 64 entries with
//                       a 2 KiB trained zstd dictionary and a bloom filter of
//                       10 bits per key, store blocks of 16 documents with a
//                       16 KiB trained dictionary;
//   OUT_DIR/docs.tsv    the same documents for other engines: line i is
//                       "title<TAB>body" of global document i;
//   OUT_DIR/terms.tsv   "field<TAB>term<TAB>document frequency" of every
//                       indexed term over the whole corpus;
//   OUT_DIR/corpus.json the parameters and the block sizes (decompressed) the
//                       readers' caches hold; written last, so a folder
//                       without it is an unfinished run.
//
// Document i depends only on the seed and i, so the first documents of a large
// corpus are those of a small one with the same seed. Words are lower-case
// ASCII letters; the first letter of every title word and of the body is upper
// case, which every engine folds away. Exit status 0 on success, 2 for a wrong
// command line, 1 with a message for a failure.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "tests/writer/index_writer.h"

namespace zelvar::bench {
namespace {

namespace tw = zelvar::test_writer;

constexpr size_t kVocabulary = 200'000;
// Zipf-Mandelbrot weights 1 / (rank + kShift)^kExponent: about English's
// shape, with a tail long enough that a 1M corpus has terms in 2 to 10
// documents and a 64k corpus has terms in one.
constexpr double kExponent = 1.1;
constexpr double kShift = 2.7;
constexpr size_t kTitleMin = 4, kTitleMax = 10, kBodyMin = 20, kBodyMax = 60;
constexpr size_t kCacheBlocks = 256;  // the engine's default cache capacity, per cache and segment
constexpr int kFormatVersion = 1;     // bump when the documents or the layout change

// splitmix64: a seedable, splittable generator, so that document i needs no
// state from documents before it.
struct Rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  size_t between(size_t lo, size_t hi) { return lo + next() % (hi - lo + 1); }
};

// Words built from consonant-vowel syllables: every one-syllable word first,
// then the two-syllable ones in a shuffled order, then random three-syllable
// ones, so that frequent words are short, as in real text.
std::vector<std::string> make_vocabulary(uint64_t seed) {
  static constexpr std::string_view kOnsets[] = {"b", "c", "d", "f", "g", "h", "j", "k", "l", "m",
                                                 "n", "p", "r", "s", "t", "v", "w", "z", "br", "cr",
                                                 "dr", "fr", "gr", "pr", "st", "tr", "ch", "sh", "th"};
  static constexpr std::string_view kVowels[] = {"a", "e", "i", "o", "u", "ai", "ea", "ou"};
  std::vector<std::string> syllables;
  for (std::string_view onset : kOnsets) {
    for (std::string_view vowel : kVowels) syllables.push_back(std::string(onset) + std::string(vowel));
  }
  Rng rng{seed ^ 0x766F636162ULL};
  std::vector<std::string> words;
  std::unordered_set<std::string> seen;
  auto add = [&](std::string word) {
    if (words.size() < kVocabulary && seen.insert(word).second) words.push_back(std::move(word));
  };
  for (const std::string& s : syllables) add(s);
  std::vector<std::string> pairs;
  for (const std::string& a : syllables) {
    for (const std::string& b : syllables) pairs.push_back(a + b);
  }
  for (size_t i = pairs.size(); i > 1; --i) std::swap(pairs[i - 1], pairs[rng.next() % i]);
  for (std::string& w : pairs) add(std::move(w));
  while (words.size() < kVocabulary) {
    std::string w;
    for (int i = 0; i < 3; ++i) w += syllables[rng.next() % syllables.size()];
    add(std::move(w));
  }
  return words;
}

struct Zipf {
  std::vector<double> cdf;
  Zipf() {
    cdf.resize(kVocabulary);
    double sum = 0;
    for (size_t r = 0; r < kVocabulary; ++r) cdf[r] = (sum += std::pow(static_cast<double>(r) + kShift, -kExponent));
    for (double& c : cdf) c /= sum;
  }
  uint32_t draw(Rng& rng) const {
    const auto it = std::upper_bound(cdf.begin(), cdf.end(), rng.uniform());
    return static_cast<uint32_t>(std::min<size_t>(it - cdf.begin(), kVocabulary - 1));
  }
};

struct Text {
  std::string title, body;
};

// Document `doc`'s text; counts its distinct words into `title_df` and
// `body_df` (one count per document), using `last` (per field and word: the
// last document counted, plus one) to see repeats.
Text make_document(uint64_t seed, uint64_t doc, const std::vector<std::string>& vocab, const Zipf& zipf,
                   std::vector<uint32_t>& title_df, std::vector<uint32_t>& body_df,
                   std::vector<uint64_t>& last_title, std::vector<uint64_t>& last_body) {
  // Hashing the document number keeps the streams of neighbours apart (a
  // splitmix stream started one step later is the same stream).
  Rng rng{Rng{doc ^ Rng{seed}.next()}.next()};
  Text text;
  auto fill = [&](std::string& out, size_t count, bool title_case, std::vector<uint32_t>& df,
                  std::vector<uint64_t>& last) {
    for (size_t i = 0; i < count; ++i) {
      const uint32_t w = zipf.draw(rng);
      if (last[w] != doc + 1) {
        last[w] = doc + 1;
        ++df[w];
      }
      if (i) out += ' ';
      const size_t start = out.size();
      out += vocab[w];
      if (title_case || i == 0) out[start] = static_cast<char>(out[start] - 'a' + 'A');
    }
  };
  fill(text.title, rng.between(kTitleMin, kTitleMax), true, title_df, last_title);
  fill(text.body, rng.between(kBodyMin, kBodyMax), false, body_df, last_body);
  return text;
}

std::string segment_id(size_t s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%zx", s + 1);
  return buf;
}

struct Options {
  uint64_t docs = 0;
  size_t segments = 1;
  uint64_t seed = 1;
  size_t jobs = 4;
  std::filesystem::path out;
};

uint64_t parse_count(std::string_view text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    throw std::invalid_argument("not a count: " + std::string(text));
  }
  return std::stoull(std::string(text));
}

struct SegmentResult {
  tw::SegmentSizes sizes;
  std::string tsv;
  std::vector<uint32_t> title_df, body_df;
};

void write_corpus(const Options& o) {
  const std::filesystem::path index_dir = o.out / "index";
  std::filesystem::remove(o.out / "corpus.json");
  std::filesystem::remove_all(index_dir);
  std::filesystem::create_directories(index_dir);

  const std::vector<std::string> vocab = make_vocabulary(o.seed);
  const Zipf zipf;
  std::vector<std::string> ids;
  for (size_t s = 0; s < o.segments; ++s) ids.push_back(segment_id(s));
  tw::write_file(index_dir, "schema.json",
                 R"({"fields":[)"
                 R"({"name":"title","field_type":"text","indexed":true,"stored":true,"tokenizer":null},)"
                 R"({"name":"body","field_type":"text","indexed":true,"stored":true,"tokenizer":null}],)"
                 R"("name_to_field":{"title":0,"body":1}})");

  // Segment s holds documents [first(s), first(s + 1)).
  auto first = [&](size_t s) { return o.docs * s / o.segments; };
  auto build = [&](size_t s, SegmentResult& result) {
    result.title_df.assign(kVocabulary, 0);
    result.body_df.assign(kVocabulary, 0);
    std::vector<uint64_t> last_title(kVocabulary, 0), last_body(kVocabulary, 0);
    tw::SegmentSpec spec;
    spec.id = ids[s];
    spec.terms.block_entries = 64;
    spec.terms.bloom = true;
    spec.terms.bloom_bits_per_key = 10;
    spec.terms.dictionary = true;
    spec.terms.dictionary_size = 2048;
    spec.store.block_docs = 16;
    spec.store.dictionary = true;
    spec.store.dictionary_size = 16384;
    for (uint64_t d = first(s); d < first(s + 1); ++d) {
      Text t = make_document(o.seed, d, vocab, zipf, result.title_df, result.body_df, last_title, last_body);
      result.tsv += t.title + '\t' + t.body + '\n';
      spec.docs.push_back(tw::text_document({{0, std::move(t.title)}, {1, std::move(t.body)}}));
    }
    result.sizes = tw::write_segment(index_dir, spec);
  };

  std::ofstream tsv(o.out / "docs.tsv", std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> title_df(kVocabulary, 0), body_df(kVocabulary, 0);
  tw::SegmentSizes total;
  uint64_t cache_bytes = 0;
  // Segments are written `jobs` at a time; their texts go out in order.
  for (size_t wave = 0; wave < o.segments; wave += o.jobs) {
    const size_t count = std::min(o.jobs, o.segments - wave);
    std::vector<SegmentResult> results(count);
    std::vector<std::jthread> threads;
    std::vector<std::string> errors(count);
    for (size_t j = 0; j < count; ++j) {
      threads.emplace_back([&, j] {
        try {
          build(wave + j, results[j]);
        } catch (const std::exception& e) {
          errors[j] = e.what();
        }
      });
    }
    threads.clear();  // joins
    for (size_t j = 0; j < count; ++j) {
      if (!errors[j].empty()) throw std::runtime_error("segment " + ids[wave + j] + ": " + errors[j]);
      const SegmentResult& r = results[j];
      tsv << r.tsv;
      for (size_t w = 0; w < kVocabulary; ++w) {
        title_df[w] += r.title_df[w];
        body_df[w] += r.body_df[w];
      }
      const tw::SegmentSizes& z = r.sizes;
      total.term_blocks += z.term_blocks;
      total.term_block_bytes += z.term_block_bytes;
      total.store_blocks += z.store_blocks;
      total.store_block_bytes += z.store_block_bytes;
      // A cache holds at most its capacity, and never more blocks than exist.
      auto held = [](size_t blocks, size_t bytes) {
        return blocks == 0 ? 0 : static_cast<uint64_t>(std::min(blocks, kCacheBlocks) * (static_cast<double>(bytes) / blocks));
      };
      cache_bytes += held(z.term_blocks, z.term_block_bytes) + held(z.store_blocks, z.store_block_bytes);
    }
    std::fprintf(stderr, "zelvar_bench_corpus: %zu of %zu segments written\n", wave + count, o.segments);
  }
  tsv.close();
  if (!tsv) throw std::runtime_error("cannot write docs.tsv");
  tw::write_file(index_dir, "segments.json", tw::segments_json(ids));

  std::ofstream terms(o.out / "terms.tsv", std::ios::binary | std::ios::trunc);
  for (size_t w = 0; w < kVocabulary; ++w) {
    if (title_df[w]) terms << "title\t" << vocab[w] << '\t' << title_df[w] << '\n';
    if (body_df[w]) terms << "body\t" << vocab[w] << '\t' << body_df[w] << '\n';
  }
  terms.close();
  if (!terms) throw std::runtime_error("cannot write terms.tsv");

  auto mean = [](size_t bytes, size_t blocks) { return blocks ? static_cast<double>(bytes) / blocks : 0.0; };
  char json[1024];
  std::snprintf(json, sizeof json,
                "{\"version\": %d, \"docs\": %llu, \"segments\": %zu, \"seed\": %llu,\n"
                " \"vocabulary\": %zu, \"zipf_exponent\": %g, \"zipf_shift\": %g,\n"
                " \"store_blocks\": %zu, \"store_block_bytes_mean\": %.1f,\n"
                " \"term_blocks\": %zu, \"term_block_bytes_mean\": %.1f,\n"
                " \"cache_blocks\": %zu, \"cache_bytes\": %llu}\n",
                kFormatVersion, static_cast<unsigned long long>(o.docs), o.segments,
                static_cast<unsigned long long>(o.seed), kVocabulary, kExponent, kShift, total.store_blocks,
                mean(total.store_block_bytes, total.store_blocks), total.term_blocks,
                mean(total.term_block_bytes, total.term_blocks), kCacheBlocks,
                static_cast<unsigned long long>(cache_bytes));
  tw::write_file(o.out, "corpus.json", json);
}

}  // namespace
}  // namespace zelvar::bench

int main(int argc, char** argv) {
  using namespace zelvar::bench;
  Options o;
  try {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
      auto value = [&]() -> std::string_view {
        if (i + 1 >= args.size()) throw std::invalid_argument(std::string(args[i]) + " needs a value");
        return args[++i];
      };
      if (args[i] == "--docs") o.docs = parse_count(value());
      else if (args[i] == "--segments") o.segments = parse_count(value());
      else if (args[i] == "--seed") o.seed = parse_count(value());
      else if (args[i] == "--jobs") o.jobs = std::max<uint64_t>(1, parse_count(value()));
      else if (o.out.empty() && !args[i].starts_with("--")) o.out = args[i];
      else throw std::invalid_argument("unexpected argument: " + std::string(args[i]));
    }
    if (o.out.empty() || o.docs == 0 || o.segments == 0 || o.segments > o.docs || o.docs > UINT32_MAX) {
      throw std::invalid_argument("need --docs N (1 to 2^32-1), --segments S (1 to N) and OUT_DIR");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelvar_bench_corpus: %s\nusage: %s --docs N --segments S [--seed X] [--jobs J] OUT_DIR\n",
                 e.what(), argv[0]);
    return 2;
  }
  try {
    write_corpus(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelvar_bench_corpus: %s\n", e.what());
    return 1;
  }
  return 0;
}
