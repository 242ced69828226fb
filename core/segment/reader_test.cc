#include "core/segment/reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/writer/index_writer.h"
#include "tests/writer/postings_writer.h"
#include "tests/writer/sstable_writer.h"
#include "tests/writer/store_writer.h"

namespace zelvar {
namespace {

namespace tw = test_writer;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

constexpr std::string_view kSchema =
    R"({"fields": [{"name": "title", "field_type": "text", "indexed": true, "stored": true},
                   {"name": "body", "field_type": "text", "indexed": true, "stored": false}],
        "name_to_field": {"title": 0, "body": 1}})";

Pairs collect(const BlockPostingList& list) {
  Pairs out;
  BlockPostingIterator it(&list);
  for (size_t b = 0; b < list.skip_list.size(); ++b) {
    it.load_block(b);
    for (size_t i = 0; i < it.block_len(); ++i) out.emplace_back(it.doc_at(i), it.term_freq_at(i));
  }
  return out;
}

template <class Variant>
bool is(const Error& error) {
  return std::holds_alternative<Variant>(error.value());
}

std::string text_of(const Document& doc, Field field) {
  for (const auto& [f, value] : doc.field_values) {
    if (f == field && value.is<FieldValue::Text>()) return value.as<FieldValue::Text>().value;
  }
  return "<none>";
}

// A fresh folder per test holding one segment "a" whose files tests may
// replace before opening it.
class SegmentReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("zelvar_reader_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    schema_ = std::make_shared<const Schema>(*Schema::from_json(kSchema));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Three documents: "Apple banana apple" / "banana" / "cherry", body texts
  // "apple pie" only in document 2.
  tw::SegmentSpec sample(tw::SegmentTermsOptions terms = {}) const {
    tw::SegmentSpec spec;
    spec.id = "a";
    spec.terms = terms;
    spec.docs.push_back(tw::text_document({{0, "Apple banana apple"}}));
    spec.docs.push_back(tw::text_document({{0, "banana"}}));
    spec.docs.push_back(tw::text_document({{0, "cherry"}, {1, "apple pie"}}));
    return spec;
  }

  std::filesystem::path file(std::string_view ext) const { return dir_ / (tw::segment_base("a") + std::string(ext)); }

  void write_bytes(std::string_view ext, const std::vector<uint8_t>& bytes) const {
    std::ofstream out(file(ext), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  Result<std::shared_ptr<const AsyncSegmentReader>> open(uint32_t doc_base = 0, size_t cache = 256) const {
    return AsyncSegmentReader::open(FsDirectory(dir_), *SegmentId::from_hex("a"), schema_, doc_base, cache);
  }

  std::shared_ptr<const AsyncSegmentReader> open_ok() const {
    auto reader = open();
    EXPECT_TRUE(reader.has_value()) << reader.error().to_string();
    return reader.value_or(nullptr);
  }

  std::filesystem::path dir_;
  std::shared_ptr<const Schema> schema_;
};

TEST_F(SegmentReaderTest, OpensWithMetadataBaseAndSharedSchema) {
  tw::write_segment(dir_, sample());
  auto reader = open(/*doc_base=*/7, /*cache=*/5);
  ASSERT_TRUE(reader.has_value()) << reader.error().to_string();
  const AsyncSegmentReader& r = **reader;
  EXPECT_EQ(r.num_docs(), 3u);
  EXPECT_EQ(r.doc_base(), 7u);
  EXPECT_EQ(r.schema(), schema_);
  EXPECT_EQ(r.term_dict().cache().max_blocks(), 5u);
  EXPECT_EQ(r.store().cache().max_blocks(), 5u);
  ASSERT_TRUE(r.meta().field_stats.contains(0));
  EXPECT_EQ(r.meta().field_stats.at(0), (FieldStats{5, 3}));
  EXPECT_EQ(r.meta().field_stats.at(1), (FieldStats{2, 1}));
}

// The same postings must come back whatever shape the writer gave the files.
TEST_F(SegmentReaderTest, PostingsAcrossDictionaryShapes) {
  struct Case {
    const char* name;
    tw::SegmentTermsOptions terms;
  };
  std::vector<Case> cases;
  cases.push_back({"defaults (inline, bloom)", {}});
  {
    tw::SegmentTermsOptions t;
    t.inline_postings = false;
    cases.push_back({"external lists", t});
  }
  {
    tw::SegmentTermsOptions t;
    t.inline_postings = false;
    t.posting_block = 1;
    cases.push_back({"external lists of one posting per block", t});
  }
  {
    tw::SegmentTermsOptions t;
    t.bloom = false;
    t.block_entries = 1;
    t.sparse_every = 2;
    cases.push_back({"one term per block, sparse index, no bloom", t});
  }
  {
    tw::SegmentTermsOptions t;
    t.dictionary = true;
    t.block_entries = 2;
    t.inline_postings = false;
    cases.push_back({"dictionary-compressed blocks", t});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tw::write_segment(dir_, sample(c.terms));
    auto reader = open_ok();
    ASSERT_TRUE(reader);
    struct Lookup {
      Field field;
      std::string term;
      std::optional<Pairs> expected;
    };
    const std::vector<Lookup> lookups = {
        {0, "apple", Pairs{{0, 2}}},
        {0, "banana", Pairs{{0, 1}, {1, 1}}},
        {0, "cherry", Pairs{{2, 1}}},
        {1, "apple", Pairs{{2, 1}}},
        {1, "pie", Pairs{{2, 1}}},
        {0, "pie", std::nullopt},      // only in the other field
        {0, "Apple", std::nullopt},    // terms are stored lower-cased
        {2, "apple", std::nullopt},    // a field with no terms at all
        {0, "", std::nullopt},
    };
    for (const Lookup& l : lookups) {
      SCOPED_TRACE(std::to_string(l.field) + "/" + l.term);
      auto postings = reader->get_postings(l.field, l.term);
      ASSERT_TRUE(postings.has_value()) << postings.error().to_string();
      ASSERT_EQ(postings->has_value(), l.expected.has_value());
      if (l.expected) {
        EXPECT_EQ(collect(**postings), *l.expected);
        EXPECT_EQ((*postings)->doc_count, l.expected->size());
      }
    }
  }
}

TEST_F(SegmentReaderTest, LongExternalListSpansBlocks) {
  tw::SegmentSpec spec;
  spec.id = "a";
  Pairs expected;
  for (uint32_t i = 0; i < 300; ++i) {
    spec.docs.push_back(tw::text_document({{0, i % 3 == 0 ? "common common" : "common rare" + std::to_string(i)}}));
    expected.emplace_back(i, i % 3 == 0 ? 2 : 1);
  }
  tw::write_segment(dir_, spec);
  auto reader = open_ok();
  ASSERT_TRUE(reader);
  auto postings = reader->get_postings(0, "common");
  ASSERT_TRUE(postings.has_value() && postings->has_value());
  EXPECT_EQ((*postings)->skip_list.size(), 3u);
  EXPECT_EQ(collect(**postings), expected);
}

TEST(SegmentTermKey, FieldNumberLittleEndianThenTermBytes) {
  const std::vector<uint8_t> ab = {0x61, 0x62};
  EXPECT_EQ(AsyncSegmentReader::term_key(1, ab), (std::vector<uint8_t>{1, 0, 0, 0, 0x61, 0x62}));
  EXPECT_EQ(AsyncSegmentReader::term_key(0x01020304, {}), (std::vector<uint8_t>{4, 3, 2, 1}));
}

// Dictionaries written by hand: the posting information is whatever the test
// needs, whatever the documents say.
class HandMadeTermsTest : public SegmentReaderTest {
 protected:
  // Writes the sample segment, then replaces ".terms" with `entries` and
  // ".post" with `post`.
  void write_with(std::vector<tw::TermEntry> entries, const std::vector<uint8_t>& post) {
    tw::write_segment(dir_, sample());
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    write_bytes(".terms", tw::write_sstable(entries));
    write_bytes(".post", post);
  }
};

TEST_F(HandMadeTermsTest, EmptyTermLooksUpTheBareFieldKey) {
  std::vector<uint8_t> post;
  TermInfo info = tw::append_posting_list(post, std::vector<tw::DocTf>{{1, 4}});
  write_with({{tw::term_key(1, ""), info}}, post);
  auto reader = open_ok();
  ASSERT_TRUE(reader);
  auto found = reader->get_postings(1, "");
  ASSERT_TRUE(found.has_value() && found->has_value());
  EXPECT_EQ(collect(**found), (Pairs{{1, 4}}));
  auto other = reader->get_postings(0, "");
  ASSERT_TRUE(other.has_value());
  EXPECT_FALSE(other->has_value());
}

TEST_F(HandMadeTermsTest, ExternalBoundsAndInlineFaults) {
  std::vector<uint8_t> post;
  TermInfo good = tw::append_posting_list(post, std::vector<tw::DocTf>{{0, 1}, {2, 3}});
  const auto post_size = static_cast<uint64_t>(post.size());
  const uint32_t len = good.as_external()->posting_len;

  TermInfo::Inline undecodable;  // three pairs announced, two present
  undecodable.doc_count = 3;
  undecodable.data_len = 4;
  undecodable.data = {3, 1, 4, 2};
  TermInfo::Inline two;  // documents 3 and 7
  two.doc_count = 2;
  two.data_len = 4;
  two.data = {3, 1, 4, 2};

  write_with(
      {
          {tw::term_key(0, "exact"), good},
          {tw::term_key(0, "past"), TermInfo::External{2, post_size - len + 1, len}},
          {tw::term_key(0, "wrap"), TermInfo::External{2, ~uint64_t{0} - 1, len}},
          {tw::term_key(0, "empty"), TermInfo::External{0, 0, 0}},
          {tw::term_key(0, "bad"), undecodable},
          {tw::term_key(0, "two"), two},
      },
      post);
  auto reader = open_ok();
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->postings_file_size(), post_size);

  struct Case {
    const char* term;
    std::optional<Pairs> expected;  // absent: fails with `error`
    const char* error;
  };
  const Case cases[] = {
      {"exact", Pairs{{0, 1}, {2, 3}}, ""},  // ends exactly at the end of the file
      {"past", std::nullopt, "Index corruption: Posting offset out of bounds"},
      {"wrap", std::nullopt, "Index corruption: Posting offset out of bounds"},
      {"empty", std::nullopt, "IO error: failed to fill whole buffer"},
      {"bad", std::nullopt, "Index corruption: TermInfo has neither inline nor external data"},
      {"two", Pairs{{3, 1}, {7, 2}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.term);
    auto result = reader->get_postings(0, c.term);
    if (c.expected) {
      ASSERT_TRUE(result.has_value()) << result.error().to_string();
      ASSERT_TRUE(result->has_value());
      EXPECT_EQ(collect(**result), *c.expected);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().to_string(), c.error);
    }
  }
}

// Postings are read from ".post" at every lookup, never kept: once the file
// is gone, external lists fail while inline ones still answer.
TEST_F(SegmentReaderTest, ExternalListsAreReadAtEachLookup) {
  tw::SegmentTermsOptions external;
  external.inline_postings = false;
  tw::write_segment(dir_, sample(external));
  auto reader = open_ok();
  ASSERT_TRUE(reader);
  ASSERT_TRUE(reader->get_postings(0, "banana").has_value());
  std::filesystem::remove(file(".post"));
  auto again = reader->get_postings(0, "banana");
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().to_string(), "IO error: No such file or directory (os error 2)");

  tw::write_segment(dir_, sample());  // inline postings, no ".post" needed
  auto inline_reader = open_ok();
  ASSERT_TRUE(inline_reader);
  std::filesystem::remove(file(".post"));
  auto found = inline_reader->get_postings(0, "banana");
  ASSERT_TRUE(found.has_value() && found->has_value());
  EXPECT_EQ(collect(**found), (Pairs{{0, 1}, {1, 1}}));
}

TEST_F(SegmentReaderTest, OpenFailures) {
  const std::string no_file = "IO error: No such file or directory (os error 2)";
  struct Case {
    const char* name;
    std::vector<std::string> omit;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> replace;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no .meta", {".meta"}, {}, no_file},
      {"short .meta", {}, {{".meta", std::vector<uint8_t>(10)}}, "IO error: failed to fill whole buffer"},
      {"no .terms", {".terms"}, {}, no_file},
      {"short .terms", {}, {{".terms", std::vector<uint8_t>(36)}}, "IO error: SSTable too small"},
      {"no .post", {".post"}, {}, no_file},
      {"no .store", {".store"}, {}, no_file},
      {"short .store", {}, {{".store", std::vector<uint8_t>(31)}}, "IO error: Store too small"},
      {"bad .store magic", {}, {{".store", std::vector<uint8_t>(32)}}, "IO error: Invalid store magic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tw::SegmentSpec spec = sample();
    spec.omit = c.omit;
    for (const auto& ext : {".meta", ".terms", ".post", ".store"}) std::filesystem::remove(file(ext));
    tw::write_segment(dir_, spec);
    for (const auto& [ext, bytes] : c.replace) write_bytes(ext, bytes);
    auto reader = open();
    ASSERT_FALSE(reader.has_value());
    EXPECT_EQ(reader.error().to_string(), c.error);
  }
}

// With every later file broken too, each step's error is the one reported:
// ".meta", then ".terms", then ".post", then ".store".
TEST_F(SegmentReaderTest, OpenTouchesFilesInOrder) {
  tw::write_segment(dir_, sample());
  write_bytes(".meta", std::vector<uint8_t>(3));
  write_bytes(".terms", std::vector<uint8_t>(3));
  std::filesystem::remove(file(".post"));
  write_bytes(".store", std::vector<uint8_t>(3));
  auto expect_error = [&](const std::string& text) {
    auto reader = open();
    ASSERT_FALSE(reader.has_value());
    EXPECT_EQ(reader.error().to_string(), text);
  };
  expect_error("IO error: failed to fill whole buffer");

  tw::SegmentSpec spec = sample();
  spec.omit = {".terms", ".post", ".store"};
  tw::write_segment(dir_, spec);  // a good ".meta"
  expect_error("IO error: SSTable too small");

  spec.omit = {".meta", ".post", ".store"};
  tw::write_segment(dir_, spec);  // a good ".terms"
  expect_error("IO error: No such file or directory (os error 2)");

  spec.omit = {".meta", ".terms", ".store"};
  tw::write_segment(dir_, spec);  // a good ".post"
  expect_error("IO error: Store too small");

  spec.omit = {".meta", ".terms", ".post"};
  tw::write_segment(dir_, spec);  // a good ".store"
  EXPECT_TRUE(open().has_value());
}

TEST_F(SegmentReaderTest, ToleratesForeignMetaIdAndIgnoresVectorFile) {
  tw::SegmentSpec spec = sample();
  spec.meta_id = 0xdeadbeef;
  tw::write_segment(dir_, spec);
  write_bytes(".vectors", {0xff, 0xff, 0xff, 0xff, 1});  // a corrupt vector file
  auto reader = open_ok();
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->meta().id, SegmentId(0xdeadbeef));
  EXPECT_EQ(reader->num_docs(), 3u);
}

TEST_F(SegmentReaderTest, FetchesStoredDocuments) {
  struct Shape {
    const char* name;
    size_t block_docs;
    bool dictionary;
  };
  for (const Shape& shape : {Shape{"one block", 16, false}, Shape{"block per document", 1, false},
                             Shape{"two per block with dictionary", 2, true}}) {
    SCOPED_TRACE(shape.name);
    tw::SegmentSpec spec = sample();
    spec.store.block_docs = shape.block_docs;
    spec.store.dictionary = shape.dictionary;
    tw::write_segment(dir_, spec);
    auto reader = open_ok();
    ASSERT_TRUE(reader);
    const std::vector<std::string> titles = {"Apple banana apple", "banana", "cherry"};
    for (uint32_t local = 0; local < 3; ++local) {
      auto doc = reader->doc(local);
      ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
      ASSERT_TRUE(doc->has_value());
      EXPECT_EQ(text_of(**doc, 0), titles[local]);
    }
    for (uint32_t local : {3u, 4294967295u}) {
      auto doc = reader->doc(local);
      ASSERT_TRUE(doc.has_value());
      EXPECT_FALSE(doc->has_value());
    }
  }
}

// Gaps between store blocks and damaged records surface as I/O errors of
// the fetch; numbers past the footer's count are simply absent.
TEST_F(SegmentReaderTest, StoreGapsAndRecordFaults) {
  tw::write_segment(dir_, sample());
  const std::vector<std::string> first = {R"({"field_values":[[0,{"text":"d0"}]]})",
                                          R"({"field_values":[[0,{"text":"d1"}]]})",
                                          R"({"field_values":[[0,{"text":"d2"}]]})"};
  const std::vector<std::string> second = {R"({"field_values":[[0,{"text":"d10"}]]})",
                                           R"({"field_values": oops})",
                                           R"({"field_values":[[0,{"text":"d12"}]]})"};
  // A block whose second record claims more bytes than the block holds.
  std::vector<uint8_t> overlong = tw::encode_records(std::vector<std::string>{first[0], first[1]});
  const size_t second_len_at = 4 + first[0].size();
  overlong[second_len_at] = 0xff;
  overlong[second_len_at + 1] = 0xff;

  std::vector<tw::RawBlock> blocks = {
      {0, 3, tw::compress_block(tw::encode_records(first))},
      {10, 3, tw::compress_block(tw::encode_records(second))},
      {20, 2, tw::compress_block(overlong)},
  };
  write_bytes(".store", tw::assemble_store(blocks, std::nullopt, /*num_docs=*/25).bytes);
  auto reader = open_ok();
  ASSERT_TRUE(reader);

  struct Case {
    uint32_t local;
    std::string outcome;  // the title, "absent", or the error text
  };
  const Case cases[] = {
      {1, "d1"},
      {5, "IO error: Doc not found in index"},
      {10, "d10"},
      {11, "IO error: expected value at line 1 column 18"},
      {12, "d12"},
      {20, "d0"},
      {21, "IO error: Invalid doc length"},
      {22, "IO error: Doc not found in index"},
      {25, "absent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local);
    auto doc = reader->doc(c.local);
    std::string outcome = !doc.has_value()  ? doc.error().to_string()
                          : !doc->has_value() ? "absent"
                                              : text_of(**doc, 0);
    EXPECT_EQ(outcome, c.outcome);
  }
}

// Damaged segment files may fail the open or a later lookup, but never crash
// or hang the reader (run under the sanitizers). Every file of two segment
// shapes is cut at many lengths and has many bytes inverted in turn: every
// byte of the first and last 16 (headers, footers), a sample in between.
TEST_F(SegmentReaderTest, DamagedFilesFailCleanly) {
  tw::SegmentTermsOptions packed;
  packed.inline_postings = false;
  packed.posting_block = 1;
  packed.dictionary = true;
  packed.block_entries = 2;
  packed.sparse_every = 1;
  struct Shape {
    const char* name;
    tw::SegmentSpec spec;
  };
  std::vector<Shape> shapes = {{"inline postings, bloom", sample()}, {"external, dictionaries", sample(packed)}};
  shapes[1].spec.store.dictionary = true;
  shapes[1].spec.store.block_docs = 1;

  auto read_all = [](const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  // Opens the segment and runs every lookup and fetch; returns false on an
  // error kind these files may not produce.
  auto exercise = [&]() {
    auto reader = open();
    if (!reader.has_value()) return is<Error::Io>(reader.error());
    for (Field field : {0u, 1u}) {
      for (const char* term : {"apple", "banana", "pie", ""}) {
        auto postings = (*reader)->get_postings(field, term);
        if (!postings.has_value() && !is<Error::Io>(postings.error()) &&
            !is<Error::Corruption>(postings.error()))
          return false;
        if (postings.has_value() && postings->has_value()) (void)collect(**postings);
      }
    }
    for (uint32_t local = 0; local < 4; ++local) {
      auto doc = (*reader)->doc(local);
      if (!doc.has_value() && !is<Error::Io>(doc.error())) return false;
    }
    return true;
  };

  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    for (const char* ext : {".meta", ".terms", ".post", ".store"}) {
      SCOPED_TRACE(ext);
      tw::write_segment(dir_, shape.spec);
      const std::vector<uint8_t> good = read_all(file(ext));
      const size_t stride = std::max<size_t>(1, good.size() / 16);
      for (size_t i = 0; i < good.size(); i += (i < 16 || i + 16 >= good.size()) ? 1 : stride) {
        SCOPED_TRACE(i);
        write_bytes(ext, std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(i)));
        EXPECT_TRUE(exercise()) << "cut at " << i;
        std::vector<uint8_t> flipped = good;
        flipped[i] ^= 0xFF;
        write_bytes(ext, flipped);
        EXPECT_TRUE(exercise()) << "byte " << i << " inverted";
      }
      write_bytes(ext, good);
    }
  }
}

}  // namespace
}  // namespace zelvar
