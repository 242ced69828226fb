#include "core/compression/zstd.h"

#include <zdict.h>
#include <zstd.h>

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
    auto result = zstd::detail::decompress_limited(*c.input, c.dict, c.limit);
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

}  // namespace
}  // namespace zelvar
