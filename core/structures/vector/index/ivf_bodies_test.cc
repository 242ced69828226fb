// The two IVF body kinds are read by the same rules; the shared tables run
// against both, with the record names of each kind put into the messages.
#include <gtest/gtest.h>

#include <expected>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/structures/vector/index/ivf_pq.h"
#include "core/structures/vector/index/ivf_rabitq.h"

namespace zelvar {
namespace {

std::span<const uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// What the shared tables need from a body kind.
struct PqKind {
  using Index = IVFPQIndex;
  static constexpr std::string_view kIndex = "IVFPQIndex";
  static constexpr std::string_view kConfig = "IVFPQConfig";
  // The body, or the whole error text.
  static std::expected<Index, std::string> read(std::string_view text) {
    auto got = IVFPQIndex::from_bytes(bytes(text));
    if (got) return std::move(*got);
    // Every failure of this entry point is invalid data carrying the reader's text.
    if (got.error().kind() != IoErrorKind::InvalidData) return std::unexpected("wrong kind");
    return std::unexpected(got.error().to_string());
  }
};

struct RaBitQKind {
  using Index = IVFRaBitQIndex;
  static constexpr std::string_view kIndex = "IVFRaBitQIndex";
  static constexpr std::string_view kConfig = "IVFRaBitQConfig";
  static std::expected<Index, std::string> read(std::string_view text) {
    auto got = IVFRaBitQIndex::from_json(bytes(text));
    if (got) return std::move(*got);
    return std::unexpected(got.error().to_string());
  }
};

// A configuration and a one-cluster storage whose cluster has no codes, so
// that the body reads as either kind.
constexpr std::string_view kConfig = R"({"dim":8,"default_nprobe":4,"store_raw":true,"rerank_factor":2})";
constexpr std::string_view kStorage =
    R"({"clusters":{"5":{"doc_ids":[1],"codes":[]}},"total_vectors":1})";

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += p;
  return out;
}

const std::string kBody = cat({R"({"config":)", kConfig, R"(,"centroids_version":11,"codebook_version":12,"clusters":)",
                               kStorage, "}"});

std::string substitute(std::string text, std::string_view index, std::string_view config) {
  for (auto [from, to] : {std::pair<std::string_view, std::string_view>{"{I}", index}, {"{C}", config}}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  }
  return text;
}

template <class Kind>
class IvfBodyTest : public testing::Test {
 protected:
  static typename Kind::Index expected_body() {
    typename Kind::Index body;
    body.config = {8, 4, true, 2};
    body.centroids_version = 11;
    body.codebook_version = 12;
    body.clusters.clusters[5].doc_ids = {1};
    body.clusters.total_vectors = 1;
    return body;
  }
};

using Kinds = testing::Types<PqKind, RaBitQKind>;
TYPED_TEST_SUITE(IvfBodyTest, Kinds);

TYPED_TEST(IvfBodyTest, FormsReadAlike) {
  const std::vector<std::string> forms = {
      kBody,
      // members in another order, unknown members skipped (also one that
      // differs from a declared key only in case)
      cat({R"({"clusters":)", kStorage, R"(,"Config":1,"codebook_version":12,"x":[{}],"centroids_version":11,"config":)",
           kConfig, "}"}),
      // array form of the body and of the configuration
      cat({R"([[8,4,true,2],11,12,[{"5":[[1],[],null]},1]])"}),
      cat({R"({"config":[8,4,true,2],"centroids_version":11,"codebook_version":12,"clusters":)", kStorage, "}"}),
      // whitespace after the body
      kBody + "\n  \t\r\n",
  };
  for (const std::string& text : forms) {
    auto got = TypeParam::read(text);
    ASSERT_TRUE(got.has_value()) << text << "\n" << got.error();
    EXPECT_EQ(*got, this->expected_body()) << text;
  }
}

TYPED_TEST(IvfBodyTest, ExtremeNumbersTakenAsWritten) {
  auto got = TypeParam::read(
      R"({"config":{"dim":0,"default_nprobe":18446744073709551615,"store_raw":false,"rerank_factor":0},)"
      R"("centroids_version":18446744073709551615,"codebook_version":0,"clusters":{"clusters":{},"total_vectors":0}})");
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(got->config.dim, 0u);
  EXPECT_EQ(got->config.default_nprobe, 18446744073709551615ull);
  EXPECT_FALSE(got->config.store_raw);
  EXPECT_EQ(got->centroids_version, 18446744073709551615ull);
}

TYPED_TEST(IvfBodyTest, Errors) {
  struct Case {
    std::string input;
    std::string message;  // {I}, {C}: the kind's record names
  };
  const std::vector<Case> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {R"({"config":{"dim":8,"default_nprobe":4,"store_raw":1,"rerank_factor":2}})",
       "invalid type: integer `1`, expected a boolean at line 1 column 51"},
      {R"({"config":{"dim":8,"store_raw":true,"rerank_factor":2}})",
       "missing field `default_nprobe` at line 1 column 54"},
      {cat({R"({"config":)", kConfig, R"(,"centroids_version":1})"}),
       "missing field `codebook_version` at line 1 column 96"},
      {cat({R"({"Config":)", kConfig, R"(,"centroids_version":1,"codebook_version":2,"clusters":)", kStorage, "}"}),
       "missing field `config` at line 1 column 192"},
      {cat({R"({"config":)", kConfig, R"(,"config":)", kConfig, "}"}),
       "duplicate field `config` at line 1 column 82"},
      {cat({"[", kConfig, ",1,2]"}), "invalid length 3, expected struct {I} with 4 elements at line 1 column 69"},
      {R"({"config":[8,4,true]})", "invalid length 3, expected struct {C} with 4 elements at line 1 column 20"},
      {"5", "invalid type: integer `5`, expected struct {I} at line 1 column 1"},
      {"null", "invalid type: null, expected struct {I} at line 1 column 4"},
      {R"({"config":"x"})", "invalid type: string \"x\", expected struct {C} at line 1 column 13"},
      {cat({R"({"config":)", kConfig, R"(,"centroids_version":-1})"}),
       "invalid value: integer `-1`, expected u64 at line 1 column 96"},
      {R"({"config":{"dim":1.0}})", "invalid type: floating point `1.0`, expected usize at line 1 column 20"},
      {kBody + " {}", "trailing characters at line 1 column 196"},
      {cat({"[", kConfig, ",1,2,", kStorage, ",0]"}), "trailing characters at line 1 column 134"},
      {cat({"[", kConfig, ",1,2,", kStorage, ",]"}), "trailing comma at line 1 column 134"},
      // errors inside the clusters pass through unchanged
      {cat({"[", kConfig, R"(,1,2,{"clusters":{"01":[]}}])"}), "invalid number at line 1 column 85"},
  };
  for (const Case& c : cases) {
    auto got = TypeParam::read(c.input);
    ASSERT_FALSE(got.has_value()) << c.input;
    EXPECT_EQ(got.error(), substitute(c.message, TypeParam::kIndex, TypeParam::kConfig)) << c.input;
  }
}

// --- IVF-PQ codes -------------------------------------------------------------

// A body like kBody whose one cluster's codes replaced by `codes` (a JSON list),
// which starts at byte 169.
std::string body_with_codes(std::string_view codes) {
  return cat({R"({"config":)", kConfig, R"(,"centroids_version":1,"codebook_version":2,"clusters":{"clusters":{"5":{"doc_ids":[1],"codes":)",
              codes, R"(}},"total_vectors":1}})"});
}

TEST(PQVectorTest, Reads) {
  struct Case {
    std::string codes;
    std::vector<PQVector> expected;
  };
  const std::vector<Case> cases = {
      {"[]", {}},
      {R"([{"codes":[0,255],"norm":2}])", {PQVector{{0, 255}, 2.0f}}},
      {R"([{"norm":-0.5,"codes":[],"other":1},[[7],1e39]])",
       {PQVector{{}, -0.5f}, PQVector{{7}, std::numeric_limits<float>::infinity()}}},
  };
  for (const Case& c : cases) {
    std::string text = body_with_codes(c.codes);
    auto got = IVFPQIndex::from_bytes(bytes(text));
    ASSERT_TRUE(got.has_value()) << c.codes << "\n" << got.error().to_string();
    EXPECT_EQ(got->clusters.clusters.at(5).codes, c.expected) << c.codes;
  }
}

TEST(PQVectorTest, Errors) {
  struct Case {
    std::string codes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"[[[256],1]]", "invalid value: integer `256`, expected u8 at line 1 column 174"},
      {R"([{"codes":[1]}])", "missing field `norm` at line 1 column 182"},
      {"[{}]", "missing field `codes` at line 1 column 171"},
      {"[[[1]]]", "invalid length 1, expected struct PQVector with 2 elements at line 1 column 174"},
      {"[3]", "invalid type: integer `3`, expected struct PQVector at line 1 column 170"},
      {R"([{"codes":7}])", "invalid type: integer `7`, expected a sequence at line 1 column 179"},
      {R"([{"codes":[],"norm":"x"}])", "invalid type: string \"x\", expected f32 at line 1 column 191"},
      {R"([{"codes":[],"codes":[]}])", "duplicate field `codes` at line 1 column 188"},
  };
  for (const Case& c : cases) {
    std::string text = body_with_codes(c.codes);
    auto got = IVFPQIndex::from_bytes(bytes(text));
    ASSERT_FALSE(got.has_value()) << c.codes;
    EXPECT_EQ(got.error().kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(got.error().to_string(), c.message) << c.codes;
  }
}

// --- IVF-RaBitQ codes ---------------------------------------------------------

TEST(IVFRaBitQCodesTest, CodesAreQuantizedVectors) {
  std::string text = body_with_codes(
      R"([{"bits":[1,255],"dist_to_centroid":0.5,"self_dot":1,"popcount":9},[[],0,0,0]])");
  auto got = IVFRaBitQIndex::from_json(bytes(text));
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(got->clusters.clusters.at(5).codes,
            (std::vector<QuantizedVector>{{{1, 255}, 0.5f, 1.0f, 9}, {{}, 0.0f, 0.0f, 0}}));

  // A PQ code is no QuantizedVector; the reader's error comes back unchanged.
  text = body_with_codes(R"([{"codes":[1],"norm":2}])");
  got = IVFRaBitQIndex::from_json(bytes(text));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(), "missing field `bits` at line 1 column 191");
}

}  // namespace
}  // namespace zelvar
