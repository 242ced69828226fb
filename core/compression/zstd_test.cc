#include "core/compression/zstd.h"

#include <zdict.h>
#include <zstd.h>

#include <iterator>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zelvar {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes compress(const Bytes& input, const Bytes* dict = nullptr) {
  Bytes out(ZSTD_compressBound(input.size()));
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  size_t n = dict ? ZSTD_compress_usingDict(cctx, out.data(), out.size(), input.data(), input.size(),
                                            dict->data(), dict->size(), 3)
                  : ZSTD_compressCCtx(cctx, out.data(), out.size(), input.data(), input.size(), 3);
  ZSTD_freeCCtx(cctx);
  EXPECT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
  out.resize(n);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A skippable frame: magic 0x184D2A50, 4-byte length, payload.
Bytes skippable_frame(const std::string& payload) {
  Bytes f = {0x50, 0x2A, 0x4D, 0x18};
  uint32_t n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(n >> (8 * i)));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

// A trained dictionary, so that a frame records its dictionary id.
CompressionDict make_dictionary(uint32_t seed) {
  std::string samples;
  std::vector<size_t> sizes;
  for (int i = 0; i < 400; ++i) {
    std::string s = "{\"title\":\"document number " + std::to_string(i * seed) +
                    "\",\"body\":\"the quick brown fox jumps over the lazy dog " +
                    std::to_string(i % 17) + "\",\"rank\":" + std::to_string(i) + "}";
    samples += s;
    sizes.push_back(s.size());
  }
  Bytes dict(4096);
  ZDICT_params_t params{};
  params.dictID = seed;
  size_t n = ZDICT_finalizeDictionary(dict.data(), dict.size(), samples.data(), 2048,
                                      samples.data(), sizes.data(), static_cast<unsigned>(sizes.size()),
                                      params);
  EXPECT_FALSE(ZDICT_isError(n)) << ZDICT_getErrorName(n);
  dict.resize(n);
  return CompressionDict{dict};
}

struct Expectation {
  std::string name;
  Bytes input;
  bool with_dict;
  // Either the output or the error.
  std::string output;
  std::string error;
  IoErrorKind kind = IoErrorKind::Other;
};

TEST(ZstdTest, DecompressesFramesAndReportsFaults) {
  CompressionDict dict = make_dictionary(7);
  CompressionDict other = make_dictionary(9);
  const Bytes hello = compress(to_bytes("hello "));
  const Bytes world = compress(to_bytes("world"));
  const Bytes hello_d = compress(to_bytes("{\"title\":\"document number 1\"}"), &dict.bytes);
  const Bytes world_d = compress(to_bytes("{\"rank\":2}"), &dict.bytes);
  Bytes cut = hello;
  cut.pop_back();
  Bytes cut_d = hello_d;
  cut_d.resize(cut_d.size() - 2);

  const Expectation cases[] = {
      {"one frame", hello, false, "hello ", "", {}},
      {"two frames", concat(hello, world), false, "hello world", "", {}},
      {"skippable frame between", concat(concat(hello, skippable_frame("xyz")), world), false,
       "hello world", "", {}},
      {"only a skippable frame", skippable_frame("abc"), false, "", "", {}},
      {"two frames with dictionary", concat(hello_d, world_d), true,
       "{\"title\":\"document number 1\"}{\"rank\":2}", "", {}},
      {"plain frame with dictionary loaded", hello, true, "hello ", "", {}},
      {"empty", {}, false, "", "incomplete frame", IoErrorKind::Other},
      {"empty with dictionary", {}, true, "", "incomplete frame", IoErrorKind::UnexpectedEof},
      {"cut frame", cut, false, "", "incomplete frame", IoErrorKind::Other},
      {"cut frame with dictionary", cut_d, true, "", "incomplete frame", IoErrorKind::UnexpectedEof},
      {"complete frame then a cut one", concat(hello, cut), false, "", "incomplete frame",
       IoErrorKind::Other},
      {"not a frame", to_bytes("not zstd at all"), false, "", "Unknown frame descriptor",
       IoErrorKind::Other},
      {"not a frame with dictionary", to_bytes("not zstd at all"), true, "", "Unknown frame descriptor",
       IoErrorKind::Other},
      {"dictionary frame without dictionary", hello_d, false, "", "Dictionary mismatch",
       IoErrorKind::Other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = c.with_dict ? zstd::decompress_with_dict(c.input, dict) : zstd::decompress(c.input);
    if (c.error.empty()) {
      ASSERT_TRUE(result.has_value()) << result.error().to_string();
      EXPECT_EQ(std::string(result->begin(), result->end()), c.output);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().to_string(), c.error);
      EXPECT_EQ(result.error().kind(), c.kind);
    }
  }
  auto mismatch = zstd::decompress_with_dict(hello_d, other);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().to_string(), "Dictionary mismatch");
}

TEST(ZstdTest, LargeOutputSpansManyChunks) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "term" + std::to_string(i % 1000) + ' ';
  Bytes input = to_bytes(big);
  auto result = zstd::decompress(concat(compress(input), compress(input)));
  ASSERT_TRUE(result.has_value()) << result.error().to_string();
  EXPECT_EQ(result->size(), 2 * input.size());
  EXPECT_TRUE(std::equal(input.begin(), input.end(), result->begin()));
  EXPECT_TRUE(std::equal(input.begin(), input.end(), result->begin() + input.size()));
}

TEST(ZstdTest, OutputIsBounded) {
  CompressionDict dict = make_dictionary(7);
  const Bytes zeros(100000, 0);
  const Bytes plain = compress(zeros);
  const Bytes with_dict = compress(zeros, &dict.bytes);
  struct Case {
    const Bytes* input;
    const CompressionDict* dict;
    size_t limit;
    bool fits;
  };
  const Case cases[] = {
      {&plain, nullptr, 100000, true},
      {&plain, nullptr, 99999, false},
      {&with_dict, &dict, 100000, true},
      {&with_dict, &dict, 99999, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    auto result = c.dict ? zstd::decompress_with_dict(*c.input, zstd::DecoderDict(*c.dict), c.limit)
                         : zstd::decompress(*c.input, c.limit);
    if (c.fits) {
      ASSERT_TRUE(result.has_value()) << result.error().to_string();
      EXPECT_EQ(*result, zeros);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), IoErrorKind::Other);
      EXPECT_EQ(result.error().to_string(), "Decompressed block exceeds 99999 bytes");
    }
  }
  EXPECT_EQ(zstd::kMaxDecompressedSize, 268435456u);
}

// A frame that fills the decoder's output chunk exactly still ends cleanly.
TEST(ZstdTest, FramesOfWholeOutputChunks) {
  CompressionDict dict = make_dictionary(7);
  for (size_t size : {ZSTD_DStreamOutSize() - 1, ZSTD_DStreamOutSize(), 2 * ZSTD_DStreamOutSize()}) {
    SCOPED_TRACE(size);
    Bytes input(size);
    for (size_t i = 0; i < size; ++i) input[i] = static_cast<uint8_t>(i * 7 % 251);
    auto plain = zstd::decompress(compress(input));
    ASSERT_TRUE(plain.has_value()) << plain.error().to_string();
    EXPECT_EQ(*plain, input);
    auto with_dict = zstd::decompress_with_dict(compress(input, &dict.bytes), dict);
    ASSERT_TRUE(with_dict.has_value()) << with_dict.error().to_string();
    EXPECT_EQ(*with_dict, input);
  }
}

// A decoder kept by the thread must not carry a dictionary, a session or
// parameters from one block to the next.
TEST(ZstdTest, ReusedDecoderStartsAfreshForEveryBlock) {
  CompressionDict dict = make_dictionary(7);
  zstd::DecoderDict digested(dict);
  const Bytes hello_d = compress(to_bytes("{\"title\":\"document number 1\"}"), &dict.bytes);
  Bytes cut = compress(to_bytes("hello there, hello there"));
  cut.resize(cut.size() - 3);
  for (int round = 0; round < 3; ++round) {
    auto with = zstd::decompress_with_dict(hello_d, digested);
    ASSERT_TRUE(with.has_value()) << with.error().to_string();
    auto without = zstd::decompress(hello_d);
    ASSERT_FALSE(without.has_value());
    EXPECT_EQ(without.error().to_string(), "Dictionary mismatch");
    auto partial = zstd::decompress(cut);  // leaves a frame open in the context
    ASSERT_FALSE(partial.has_value());
    EXPECT_EQ(partial.error().to_string(), "incomplete frame");
    auto plain = zstd::decompress(compress(to_bytes("again")));
    ASSERT_TRUE(plain.has_value()) << plain.error().to_string();
    EXPECT_EQ(std::string(plain->begin(), plain->end()), "again");
  }
}

TEST(ZstdTest, DigestedDictionaryMatchesLoadingItEachTime) {
  CompressionDict dict = make_dictionary(7);
  // The dictionary magic followed by tables that do not parse.
  CompressionDict broken{dict.bytes};
  for (size_t i = 8; i < 64 && i < broken.bytes.size(); ++i) broken.bytes[i] = 0xFF;
  const Bytes frame = compress(to_bytes("{\"rank\":2}"), &dict.bytes);
  for (const CompressionDict* d : {&dict, &broken}) {
    ZSTD_DCtx* ctx = ZSTD_createDCtx();
    const size_t loaded = ZSTD_DCtx_loadDictionary(ctx, d->bytes.data(), d->bytes.size());
    ZSTD_freeDCtx(ctx);
    auto result = zstd::decompress_with_dict(frame, zstd::DecoderDict(*d));
    if (ZSTD_isError(loaded)) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().to_string(), ZSTD_getErrorName(loaded));
      EXPECT_EQ(result.error().kind(), IoErrorKind::Other);
    } else {
      ASSERT_TRUE(result.has_value()) << result.error().to_string();
    }
  }
  // The broken one is refused, as loading it would be.
  EXPECT_TRUE(zstd::DecoderDict(broken).refused().has_value());
  EXPECT_FALSE(zstd::DecoderDict(dict).refused().has_value());
  // An empty dictionary decodes like none.
  auto plain = zstd::decompress_with_dict(compress(to_bytes("x")), zstd::DecoderDict(CompressionDict{}));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(std::string(plain->begin(), plain->end()), "x");
}

// The straightforward decoder: a fresh context for every call, output grown in
// zero-filled steps of ZSTD_DStreamOutSize(). The shared decoder must answer
// exactly as it does, errors included.
IoResult<Bytes> reference_decode(std::span<const uint8_t> input, const CompressionDict* dict, size_t limit) {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  struct Free {
    ZSTD_DCtx* ctx;
    ~Free() { ZSTD_freeDCtx(ctx); }
  } free_ctx{ctx};
  const IoErrorKind incomplete = dict ? IoErrorKind::UnexpectedEof : IoErrorKind::Other;
  if (dict) {
    const size_t ret = ZSTD_DCtx_loadDictionary(ctx, dict->bytes.data(), dict->bytes.size());
    if (ZSTD_isError(ret)) return std::unexpected(IoError(IoErrorKind::Other, ZSTD_getErrorName(ret)));
  }
  Bytes output;
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  const size_t chunk = ZSTD_DStreamOutSize();
  bool frame_open = false;
  bool output_full = false;
  while (in.pos < in.size || output_full) {
    const size_t old_size = output.size();
    output.resize(old_size + chunk);
    ZSTD_outBuffer out{output.data() + old_size, chunk, 0};
    const size_t ret = ZSTD_decompressStream(ctx, &out, &in);
    output.resize(old_size + out.pos);
    if (ZSTD_isError(ret)) return std::unexpected(IoError(IoErrorKind::Other, ZSTD_getErrorName(ret)));
    if (output.size() > limit) {
      return std::unexpected(
          IoError(IoErrorKind::Other, "Decompressed block exceeds " + std::to_string(limit) + " bytes"));
    }
    output_full = out.pos == out.size;
    if (ret == 0) {
      output_full = false;
      frame_open = false;
      ZSTD_DCtx_reset(ctx, ZSTD_reset_session_only);
    } else {
      frame_open = true;
    }
  }
  if (frame_open || input.empty()) return std::unexpected(IoError(incomplete, "incomplete frame"));
  return output;
}

// Mutated frames (lying sizes, flipped bits, cuts, concatenations), decoded
// by both, with and without a dictionary.
TEST(ZstdTest, AnswersLikeAFreshDecoderOnDamagedFrames) {
  CompressionDict dict = make_dictionary(7);
  zstd::DecoderDict digested(dict);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "{\"title\":\"document number " + std::to_string(i) + "\"} ";
  const Bytes long_text = to_bytes(text);
  const Bytes sources[] = {
      compress(to_bytes("hello hello hello")),
      compress(long_text),
      compress(to_bytes("{\"title\":\"document number 1\"}"), &dict.bytes),
      compress(long_text, &dict.bytes),
      concat(compress(to_bytes("a")), compress(to_bytes("bb"))),
  };
  uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state >> 33);
  };
  size_t compared = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes input = sources[next() % std::size(sources)];
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int e = 0; e < edits && !input.empty(); ++e) {
      const size_t at = next() % input.size();
      switch (next() % 4) {
        case 0: input[at] = static_cast<uint8_t>(next()); break;
        case 1: input[at] ^= static_cast<uint8_t>(1u << (next() % 8)); break;
        case 2: input.resize(at); break;
        case 3: input = concat(input, sources[next() % std::size(sources)]); break;
      }
    }
    // Runs of blocks with and without the dictionary, in random order.
    for (int k = 0; k < 2; ++k) {
      const bool with_dict = next() % 2 == 0;
      const size_t limit = next() % 3 == 0 ? 4096 : zstd::kMaxDecompressedSize;
      auto expected = reference_decode(input, with_dict ? &dict : nullptr, limit);
      auto actual = with_dict ? zstd::decompress_with_dict(input, digested, limit) : zstd::decompress(input, limit);
      ASSERT_EQ(actual.has_value(), expected.has_value()) << "round " << round;
      if (expected) {
        EXPECT_EQ(*actual, *expected) << "round " << round;
      } else {
        EXPECT_EQ(actual.error().to_string(), expected.error().to_string()) << "round " << round << " dict " << with_dict;
        EXPECT_EQ(actual.error().kind(), expected.error().kind()) << "round " << round;
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, 40000u);
}

// Outputs large enough to leave the thread's buffer, with and without a
// declared size, come out whole, and beyond a limit fail as a fresh decoder
// fails.
TEST(ZstdTest, LargeOutputsWithAndWithoutADeclaredSize) {
  Bytes input(5 << 20);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>((i * 31) % 253 + (i >> 16));
  auto compress_undeclared = [](const Bytes& raw) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
    Bytes out(ZSTD_compressBound(raw.size()));
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    ZSTD_inBuffer i{raw.data(), raw.size(), 0};
    const size_t rest = ZSTD_compressStream2(cctx, &o, &i, ZSTD_e_end);
    ZSTD_freeCCtx(cctx);
    EXPECT_EQ(rest, 0u);
    out.resize(o.pos);
    return out;
  };
  const Bytes declared = compress(input);
  const Bytes undeclared = compress_undeclared(input);
  ASSERT_NE(ZSTD_getFrameContentSize(undeclared.data(), undeclared.size()), input.size());
  for (const Bytes* frame : {&declared, &undeclared}) {
    for (size_t limit : {zstd::kMaxDecompressedSize, input.size(), input.size() - 1, size_t{3} << 20}) {
      SCOPED_TRACE(limit);
      auto actual = zstd::decompress(*frame, limit);
      auto expected = reference_decode(*frame, nullptr, limit);
      ASSERT_EQ(actual.has_value(), expected.has_value());
      if (expected) {
        EXPECT_TRUE(*actual == input);
        EXPECT_LE(actual->capacity() - actual->size(), actual->size() / 8);
      } else {
        EXPECT_EQ(actual.error(), expected.error());
      }
    }
  }
}

}  // namespace
}  // namespace zelvar
