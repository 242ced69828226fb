#include "core/segment/store.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/directories/directory.h"
#include "tests/writer/memory_file.h"
#include "tests/writer/store_writer.h"

namespace zelvar {
namespace {

using test_writer::Bytes;
using test_writer::RawBlock;
using test_writer::StoreEntry;
using test_writer::StoreFile;
using test_writer::StoreFooter;

const IoError kEof(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
const IoError kNotFound(IoErrorKind::InvalidData, "Doc not found in index");
const IoError kBadLength(IoErrorKind::InvalidData, "Invalid doc length");

IoError invalid_data(std::string text) { return IoError(IoErrorKind::InvalidData, std::move(text)); }

test_writer::StoreOptions per_block(uint32_t docs_per_block) {
  test_writer::StoreOptions options;
  options.docs_per_block = docs_per_block;
  return options;
}

// The stored JSON of document `i`: one text field naming it.
std::string doc_json(size_t i) {
  return R"({"field_values":[[0,{"text":"doc )" + std::to_string(i) + R"("}],[1,{"u64":)" + std::to_string(i) +
         "}]]}";
}

std::vector<std::string> doc_jsons(size_t first, size_t count) {
  std::vector<std::string> out;
  for (size_t i = first; i < first + count; ++i) out.push_back(doc_json(i));
  return out;
}

Document parsed(const std::string& json) { return *Document::from_json(std::string_view(json)); }

RawBlock block_of(uint32_t first_doc, const std::vector<std::string>& docs) {
  const Bytes raw = test_writer::encode_records(docs);
  return RawBlock{first_doc, static_cast<uint32_t>(docs.size()), test_writer::compress_block(raw)};
}


using test_writer::MemoryFile;

std::shared_ptr<const AsyncStoreReader> open_ok(const MemoryFile& file, size_t cache_blocks = 256) {
  IoResult<std::shared_ptr<const AsyncStoreReader>> store = AsyncStoreReader::open(file.handle(), cache_blocks);
  EXPECT_TRUE(store.has_value()) << store.error().to_string();
  return store.has_value() ? *store : nullptr;
}

// --- main paths --------------------------------------------------------------

class StoreRoundTripTest : public ::testing::TestWithParam<bool> {};

TEST_P(StoreRoundTripTest, EveryDocumentComesBackFromItsBlock) {
  const bool with_dictionary = GetParam();
  const std::vector<std::string> docs = doc_jsons(0, 40);
  test_writer::StoreOptions options;
  options.docs_per_block = 16;
  if (with_dictionary) options.dictionary = test_writer::train_dictionary(docs);
  const StoreFile written = test_writer::write_store(docs, options);

  MemoryFile file(written.bytes);
  auto store = open_ok(file);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->num_docs(), 40u);
  ASSERT_EQ(store->index().size(), 3u);
  EXPECT_EQ(store->index()[2], (StoreBlockIndex{32, written.index[2].offset, written.index[2].length, 8}));
  EXPECT_EQ(store->dictionary().has_value(), with_dictionary);
  if (with_dictionary) {
    EXPECT_EQ(store->dictionary()->bytes, *options.dictionary);
  }
  EXPECT_EQ(store->data().len(), written.footer.data_end_offset);
  // The open reads the file's end once; footer, dictionary and index lie in it.
  ASSERT_EQ(file.reads().size(), 1u);
  EXPECT_EQ(file.reads()[0], (ByteRange{0, written.bytes.size()}));

  for (uint32_t i = 0; i < 40; ++i) {
    IoResult<std::optional<Document>> doc = store->get(i);
    ASSERT_TRUE(doc.has_value()) << i << ": " << doc.error().to_string();
    ASSERT_TRUE(doc->has_value()) << i;
    EXPECT_EQ(**doc, parsed(docs[i])) << i;
  }
  EXPECT_EQ(store->cache().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Dictionary, StoreRoundTripTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithDictionary" : "WithoutDictionary"; });

// Blocks whose decompressed size is a whole number of the decoder's 128 KiB
// output chunks, and sizes around them, come back whole.
TEST(StoreTest, BlocksOfWholeDecoderChunksDecompress) {
  const std::string head = R"({"field_values":[[0,{"text":")";
  const std::string tail = R"("}]]})";
  for (const bool with_dictionary : {false, true}) {
    for (const size_t block_size : {131071u, 131072u, 131073u, 262144u}) {
      SCOPED_TRACE(std::to_string(block_size) + (with_dictionary ? " with dictionary" : ""));
      // One record: u32 length, then the JSON text.
      std::string json = head;
      for (size_t i = 0; json.size() + tail.size() + 4 < block_size; ++i) json.push_back(static_cast<char>('a' + i * 7 % 26));
      json += tail;
      ASSERT_EQ(test_writer::encode_records(std::vector<std::string>{json}).size(), block_size);
      test_writer::StoreOptions options;
      if (with_dictionary) options.dictionary = test_writer::train_dictionary(doc_jsons(0, 64));
      MemoryFile file(test_writer::write_store(std::vector<std::string>{json}, options).bytes);
      auto store = open_ok(file);
      ASSERT_TRUE(store);
      IoResult<std::optional<Document>> doc = store->get(0);
      ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
      ASSERT_TRUE(doc->has_value());
      EXPECT_EQ(**doc, parsed(json));
    }
  }
}

TEST(StoreTest, NumberAtOrBeyondTheCountIsAbsentWithoutARead) {
  // The block covers six documents but the footer counts five.
  MemoryFile file(test_writer::assemble_store({block_of(0, doc_jsons(0, 6))}, std::nullopt, 5).bytes);
  auto store = open_ok(file);
  ASSERT_TRUE(store);
  const size_t reads_after_open = file.reads().size();
  for (uint32_t local : {5u, 6u, 0xFFFFFFFFu}) {
    IoResult<std::optional<Document>> doc = store->get(local);
    ASSERT_TRUE(doc.has_value());
    EXPECT_FALSE(doc->has_value()) << local;
  }
  EXPECT_EQ(file.reads().size(), reads_after_open);
  IoResult<std::optional<Document>> last = store->get(4);
  ASSERT_TRUE(last.has_value() && last->has_value());
  EXPECT_EQ(**last, parsed(doc_json(4)));
}

TEST(StoreTest, ThroughTheFileSystem) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("store_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const Bytes bytes = test_writer::write_store(doc_jsons(0, 20), per_block(4)).bytes;
  {
    std::ofstream out(dir / "docs.store", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  FsDirectory directory(dir);
  IoResult<LazyFileHandle> handle = directory.open_lazy("docs.store");
  ASSERT_TRUE(handle.has_value()) << handle.error().to_string();
  auto store = AsyncStoreReader::open(*handle, 8);
  ASSERT_TRUE(store.has_value()) << store.error().to_string();
  IoResult<std::optional<Document>> doc = (*store)->get(13);
  ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
  ASSERT_TRUE(doc->has_value());
  EXPECT_EQ(**doc, parsed(doc_json(13)));
  std::filesystem::remove_all(dir);
}

// --- block choice: gaps and coverage -------------------------------------------

struct LookupCase {
  std::string name;
  uint32_t local;
  std::optional<size_t> doc;  // the document expected; nullopt: "Doc not found in index"
};

class StoreLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(StoreLookupTest, FindsTheCoveringBlockOrFails) {
  // Blocks of three documents starting at 2, 10 and 20; the numbers stored
  // in each document tell which one came back.
  MemoryFile file(test_writer::assemble_store(
                      {block_of(2, doc_jsons(2, 3)), block_of(10, doc_jsons(10, 3)), block_of(20, doc_jsons(20, 3))},
                      std::nullopt, 30)
                      .bytes);
  auto store = open_ok(file);
  ASSERT_TRUE(store);
  const LookupCase& c = GetParam();
  const StoreBlockIndex* const entry = store->entry_of(c.local);
  IoResult<std::optional<Document>> doc = store->get(c.local);
  if (c.doc) {
    ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
    ASSERT_TRUE(doc->has_value());
    EXPECT_EQ(**doc, parsed(doc_json(*c.doc)));
    ASSERT_NE(entry, nullptr);
    // The blocks are disjoint: the one that covers the document.
    EXPECT_LE(entry->first_doc, *c.doc);
    EXPECT_LT(*c.doc, entry->first_doc + entry->num_docs);
  } else {
    EXPECT_EQ(entry, nullptr);
    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(doc.error(), kNotFound);
    // A number no block covers is refused before any block is read.
    EXPECT_EQ(file.reads().size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Locals, StoreLookupTest,
    ::testing::Values(LookupCase{"BelowFirstBlock", 0, std::nullopt}, LookupCase{"FirstOfFirst", 2, 2},
                      LookupCase{"SkipOne", 3, 3}, LookupCase{"LastOfFirst", 4, 4},
                      LookupCase{"GapAfterFirst", 5, std::nullopt}, LookupCase{"GapEnd", 9, std::nullopt},
                      LookupCase{"FirstOfSecond", 10, 10}, LookupCase{"LastOfSecond", 12, 12},
                      LookupCase{"FirstOfLast", 20, 20}, LookupCase{"LastOfLast", 22, 22},
                      LookupCase{"PastLastBlock", 23, std::nullopt}),
    [](const auto& info) { return info.param.name; });

// What the open keeps (block index, dictionary) is its own: no buffer read
// at open outlives it.
TEST(StoreTest, OpenKeepsNoBufferItRead) {
  test_writer::StoreOptions options = per_block(2);
  options.dictionary = test_writer::train_dictionary(doc_jsons(0, 8));
  MemoryFile file(test_writer::write_store(doc_jsons(0, 8), options).bytes);
  file.keep_buffers();
  auto store = open_ok(file);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->dictionary().has_value());
  EXPECT_EQ(file.other_holders(), std::vector<long>{0});
}

TEST(StoreTest, EmptyIndexFailsEveryCountedNumber) {
  MemoryFile file(test_writer::assemble_store({}, std::nullopt, 3).bytes);
  auto store = open_ok(file);
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->index().empty());
  for (uint32_t local : {0u, 2u}) {
    IoResult<std::optional<Document>> doc = store->get(local);
    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(doc.error(), kNotFound);
  }
  IoResult<std::optional<Document>> beyond = store->get(3);
  ASSERT_TRUE(beyond.has_value());
  EXPECT_FALSE(beyond->has_value());
}

// --- open: footer, dictionary section and index region ---------------------------

// A valid two-block store without dictionary.
StoreFile plain_store() {
  return test_writer::assemble_store({block_of(0, doc_jsons(0, 2)), block_of(2, doc_jsons(2, 2))}, std::nullopt, 4);
}

struct OpenCase {
  std::string name;
  Bytes bytes;
  IoError error;
};

class StoreOpenFailureTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(StoreOpenFailureTest, FailsWithItsText) {
  const OpenCase& c = GetParam();
  MemoryFile file(c.bytes);
  IoResult<std::shared_ptr<const AsyncStoreReader>> store = AsyncStoreReader::open(file.handle(), 4);
  ASSERT_FALSE(store.has_value());
  EXPECT_EQ(store.error(), c.error);
}

template <class F>
Bytes with_footer(StoreFile file, F change) {
  StoreFooter footer = file.footer;
  change(footer);
  test_writer::patch_footer(file.bytes, footer);
  return file.bytes;
}

Bytes footer_only(StoreFooter footer) {
  Bytes bytes(32);
  test_writer::patch_footer(bytes, footer);
  return bytes;
}

std::vector<OpenCase> open_cases() {
  const StoreFile plain = plain_store();
  const uint64_t size = plain.bytes.size();
  const uint64_t footer_at = size - 32;
  std::vector<OpenCase> cases;
  cases.push_back({"Empty", {}, invalid_data("Store too small")});
  cases.push_back({"ThirtyOneBytes", Bytes(31, 0), invalid_data("Store too small")});
  cases.push_back({"WrongMagic", with_footer(plain, [](StoreFooter& f) { f.magic = 0x524F5453; }),
                   invalid_data("Invalid store magic")});
  cases.push_back({"WrongMagicAndVersion", with_footer(plain, [](StoreFooter& f) { f.magic = 0; f.version = 1; }),
                   invalid_data("Invalid store magic")});
  cases.push_back({"VersionOne", with_footer(plain, [](StoreFooter& f) { f.version = 1; }),
                   invalid_data("Unsupported store version: 1")});
  cases.push_back({"VersionMax", with_footer(plain, [](StoreFooter& f) { f.version = 0xFFFFFFFF; }),
                   invalid_data("Unsupported store version: 4294967295")});
  // A bare footer: the index region [0, 0) is empty.
  cases.push_back({"BareFooter", footer_only(StoreFooter{}), kEof});
  cases.push_back({"IndexRegionThreeBytes",
                   with_footer(plain, [footer_at](StoreFooter& f) { f.data_end_offset = footer_at - 3; }), kEof});
  {
    // Three entries counted, two present.
    StoreFile cut = plain;
    test_writer::patch_index(cut.bytes, cut.index_offset, 3, cut.index);
    cases.push_back({"EntryCountBeyondRegion", cut.bytes, kEof});
    // An entry cut short: the last byte before the footer removed.
    Bytes short_entry = plain.bytes;
    short_entry.erase(short_entry.end() - 33);
    cases.push_back({"LastEntryCutShort", short_entry, kEof});
    StoreFile huge = plain;
    test_writer::patch_index(huge.bytes, huge.index_offset, 0xFFFFFFFF, huge.index);
    cases.push_back({"HugeEntryCount", huge.bytes, kEof});
  }
  // Reversed regions are refused without a read.
  cases.push_back({"DataEndAfterFooterStart",
                   with_footer(plain, [footer_at](StoreFooter& f) { f.data_end_offset = footer_at + 1; }),
                   invalid_data("Store index region out of bounds: starts at " + std::to_string(footer_at + 1) +
                                ", footer at " + std::to_string(footer_at))});
  cases.push_back({"DataEndHuge", with_footer(plain, [](StoreFooter& f) { f.data_end_offset = ~0ULL; }),
                   invalid_data("Store index region out of bounds: starts at 18446744073709551615, footer at " +
                                std::to_string(footer_at))});
  // The dictionary section read beyond the file, or wrapping around 2^64.
  cases.push_back({"DictOffsetBeyondFile",
                   with_footer(plain, [size](StoreFooter& f) { f.has_dict = 1; f.dict_offset = size; }),
                   IoError(IoErrorKind::InvalidInput, "Range " + std::to_string(size) + ".." +
                                                          std::to_string(size + 4) + " out of bounds (file size: " +
                                                          std::to_string(size) + ")")});
  cases.push_back({"DictOffsetWraps",
                   with_footer(plain, [](StoreFooter& f) { f.has_dict = 1; f.dict_offset = ~0ULL - 1; }),
                   invalid_data("Store dictionary out of bounds: offset 18446744073709551614")});
  {
    // The dictionary's length field says more than the file holds.
    StoreFile dict = test_writer::assemble_store({block_of(0, doc_jsons(0, 2))}, Bytes{1, 2, 3}, 2);
    Bytes bytes = dict.bytes;
    bytes[dict.footer.dict_offset + 3] = 0x10;  // L = 0x10000003
    const uint64_t start = dict.footer.dict_offset + 4;
    cases.push_back({"DictLengthBeyondFile", bytes,
                     IoError(IoErrorKind::InvalidInput,
                             "Range " + std::to_string(start) + ".." + std::to_string(start + 0x10000003) +
                                 " out of bounds (file size: " + std::to_string(bytes.size()) + ")")});
    // A dictionary reaching into the footer leaves an index region that
    // would end before it starts.
    Bytes overlap = dict.bytes;
    const uint64_t overlap_len = overlap.size() - start - 16;
    for (int i = 0; i < 4; ++i) overlap[dict.footer.dict_offset + i] = static_cast<uint8_t>(overlap_len >> (8 * i));
    cases.push_back({"DictReachesIntoFooter", overlap,
                     invalid_data("Store index region out of bounds: starts at " +
                                  std::to_string(start + overlap_len) + ", footer at " +
                                  std::to_string(overlap.size() - 32))});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, StoreOpenFailureTest, ::testing::ValuesIn(open_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(StoreTest, DictionaryNeedsBothFlagAndOffset) {
  // Either footer field alone means no dictionary; the index region then
  // starts at data_end_offset, and the plain blocks decompress without one.
  const StoreFile plain = plain_store();
  for (auto change : {+[](StoreFooter& f) { f.has_dict = 1; f.dict_offset = 0; },
                      +[](StoreFooter& f) { f.has_dict = 0; f.dict_offset = 7; }}) {
    MemoryFile file(with_footer(plain, change));
    auto store = open_ok(file);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->dictionary().has_value());
    EXPECT_EQ(store->index().size(), 2u);
    IoResult<std::optional<Document>> doc = store->get(3);
    ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
    EXPECT_EQ(**doc, parsed(doc_json(3)));
  }
}

TEST(StoreTest, IndexCountBelowEntriesIgnoresTheRest) {
  StoreFile file = plain_store();
  test_writer::patch_index(file.bytes, file.index_offset, 1, file.index);
  MemoryFile memory(file.bytes);
  auto store = open_ok(memory);
  ASSERT_TRUE(store);
  ASSERT_EQ(store->index().size(), 1u);
  IoResult<std::optional<Document>> doc = store->get(2);
  ASSERT_FALSE(doc.has_value());
  EXPECT_EQ(doc.error(), kNotFound);
}

// --- get: block reads and record faults ------------------------------------------

struct GetCase {
  std::string name;
  std::vector<RawBlock> blocks;
  uint32_t num_docs;
  std::vector<StoreEntry> extra_entries;
  uint32_t local;
  IoError error;
};

class StoreGetFailureTest : public ::testing::TestWithParam<GetCase> {};

TEST_P(StoreGetFailureTest, FailsWithItsText) {
  const GetCase& c = GetParam();
  MemoryFile file(test_writer::assemble_store(c.blocks, std::nullopt, c.num_docs, c.extra_entries).bytes);
  auto store = open_ok(file);
  ASSERT_TRUE(store);
  IoResult<std::optional<Document>> doc = store->get(c.local);
  ASSERT_FALSE(doc.has_value());
  EXPECT_EQ(doc.error(), c.error);
}

// A block whose decompressed bytes are `raw`, recorded as holding `num_docs`.
RawBlock raw_block(uint32_t first_doc, uint32_t num_docs, Bytes raw) {
  return RawBlock{first_doc, num_docs, test_writer::compress_block(raw)};
}

Bytes records(std::vector<std::string> texts, Bytes tail = {}) {
  Bytes out = test_writer::encode_records(texts);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

std::vector<GetCase> get_cases() {
  const std::string doc = doc_json(0);
  const Bytes long_length = {0xFF, 0xFF, 0x00, 0x00, '{', '}'};  // says 65535, holds 2
  std::vector<GetCase> cases;
  cases.push_back({"EmptyRecord", {raw_block(0, 1, records({""}))}, 1, {}, 0,
                   invalid_data("EOF while parsing a value at line 1 column 0")});
  cases.push_back({"RejectedJson", {raw_block(0, 1, records({"{}"}))}, 1, {}, 0,
                   invalid_data("missing field `field_values` at line 1 column 2")});
  cases.push_back({"WantedLengthPastEnd", {raw_block(0, 1, long_length)}, 1, {}, 0, kBadLength});
  cases.push_back({"SkippedLengthPastEnd", {raw_block(0, 2, long_length)}, 2, {}, 1, kBadLength});
  cases.push_back({"LengthFieldCutShort", {raw_block(0, 2, records({doc}, {1, 0}))}, 2, {}, 1, kEof});
  cases.push_back({"FewerRecordsThanCounted", {raw_block(0, 3, records({doc, doc}))}, 3, {}, 2, kEof});
  cases.push_back({"EmptyBlock", {raw_block(0, 1, {})}, 1, {}, 0, kEof});
  cases.push_back({"NotZstd", {RawBlock{0, 1, Bytes{1, 2, 3, 4, 5, 6, 7, 8}}}, 1, {}, 0,
                   IoError(IoErrorKind::Other, "Unknown frame descriptor")});
  cases.push_back({"EmptyCompressedBlock", {RawBlock{0, 1, {}}}, 1, {}, 0,
                   IoError(IoErrorKind::Other, "incomplete frame")});
  // Entries that point outside the block area; the data area is the 8 bytes
  // of one undecodable block, the index follows it.
  const std::vector<RawBlock> one = {RawBlock{0, 1, Bytes(8, 0)}};
  cases.push_back({"BlockBeyondDataArea", one, 20, {StoreEntry{10, 4, 5, 1}}, 10,
                   IoError(IoErrorKind::InvalidInput, "Range 4..9 out of bounds (slice len: 8)")});
  cases.push_back({"BlockRangeWraps", one, 20, {StoreEntry{10, ~0ULL - 2, 5, 1}}, 10,
                   invalid_data("Store block out of bounds: offset 18446744073709551613 length 5")});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, StoreGetFailureTest, ::testing::ValuesIn(get_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(StoreTest, BlockBeyondTheFileFailsWithTheFileRange) {
  // With a dictionary section the index no longer starts at data_end_offset,
  // so the block area may claim more than the file holds.
  StoreFile file = test_writer::assemble_store({block_of(0, doc_jsons(0, 1))}, Bytes{1, 2, 3}, 2);
  const uint64_t size = file.bytes.size();
  StoreFooter footer = file.footer;
  footer.data_end_offset = 1ULL << 40;
  test_writer::patch_footer(file.bytes, footer);
  test_writer::patch_index(file.bytes, file.index_offset, 1, {StoreEntry{0, size, 10, 2}});
  MemoryFile memory(file.bytes);
  auto store = open_ok(memory);
  ASSERT_TRUE(store);
  IoResult<std::optional<Document>> doc = store->get(1);
  ASSERT_FALSE(doc.has_value());
  EXPECT_EQ(doc.error(), IoError(IoErrorKind::InvalidInput, "Range " + std::to_string(size) + ".." +
                                                                std::to_string(size + 10) +
                                                                " out of bounds (file size: " + std::to_string(size) +
                                                                ")"));
}

TEST(StoreTest, DictionaryMismatchFailsTheFetch) {
  // Blocks compressed with one dictionary, the store carrying another.
  const std::vector<std::string> docs = doc_jsons(0, 6);
  const Bytes used = test_writer::train_dictionary(docs, 4096, 1);
  const Bytes other = test_writer::train_dictionary(docs, 4096, 2);
  const Bytes raw = test_writer::encode_records(docs);
  StoreFile file =
      test_writer::assemble_store({RawBlock{0, 4, test_writer::compress_block(raw, &used)}}, other, 4);
  MemoryFile memory(file.bytes);
  auto store = open_ok(memory);
  ASSERT_TRUE(store);
  IoResult<std::optional<Document>> doc = store->get(0);
  ASSERT_FALSE(doc.has_value());
  EXPECT_EQ(doc.error().kind(), IoErrorKind::Other);
  EXPECT_EQ(doc.error().to_string(), "Dictionary mismatch");
  EXPECT_EQ(store->cache().size(), 0u);
}

// --- cache ------------------------------------------------------------------------

class StoreCacheTest : public ::testing::Test {
 protected:
  // Four blocks of two documents each.
  StoreCacheTest()
      : file_(test_writer::write_store(doc_jsons(0, 8), per_block(2)).bytes), store_(open_ok(file_, 2)) {}

  size_t block_reads() const { return file_.reads().size() - 1; }  // less the open's one read

  void fetch(uint32_t local) {
    IoResult<std::optional<Document>> doc = store_->get(local);
    ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
    ASSERT_TRUE(doc->has_value());
    EXPECT_EQ(**doc, parsed(doc_json(local)));
  }

  MemoryFile file_;
  std::shared_ptr<const AsyncStoreReader> store_;
};

TEST_F(StoreCacheTest, ABlockIsReadOnceWhileCached) {
  fetch(0);
  fetch(1);
  fetch(0);
  EXPECT_EQ(block_reads(), 1u);
  // Reads are exactly the block's compressed bytes.
  const StoreBlockIndex& first = store_->index()[0];
  EXPECT_EQ(file_.reads().back(), (ByteRange{first.offset, first.offset + first.length}));
}

TEST_F(StoreCacheTest, EvictedAfterCapacityOtherBlocks) {
  fetch(0);  // block 0
  fetch(2);  // block 2
  fetch(4);  // block 4 evicts block 0
  EXPECT_EQ(block_reads(), 3u);
  fetch(3);  // block 2 still cached
  EXPECT_EQ(block_reads(), 3u);
  fetch(1);  // block 0 read again, evicting block 4
  EXPECT_EQ(block_reads(), 4u);
  EXPECT_EQ(store_->cache().order(), (std::vector<uint32_t>{2, 0}));
}

TEST_F(StoreCacheTest, HeldBlockOutlivesEviction) {
  IoResult<StoreBlock> held = store_->load_block(store_->index()[0]);
  ASSERT_TRUE(held.has_value());
  fetch(2);
  fetch(4);
  fetch(6);
  EXPECT_FALSE(store_->cache().contains(0));
  EXPECT_EQ(**held, test_writer::encode_records(doc_jsons(0, 2)));
}

TEST(StoreCacheFaultTest, FailedDecompressionIsNotCachedButARejectedRecordIs) {
  StoreFile file = test_writer::assemble_store(
      {RawBlock{0, 1, Bytes{9, 9, 9, 9}}, raw_block(1, 1, records({"{}"}))}, std::nullopt, 2);
  MemoryFile memory(file.bytes);
  auto store = open_ok(memory);
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->get(0).has_value());
  EXPECT_FALSE(store->get(0).has_value());
  EXPECT_EQ(memory.reads().size(), 1u + 2u);  // read again: nothing was cached
  EXPECT_FALSE(store->cache().contains(0));
  EXPECT_FALSE(store->get(1).has_value());
  EXPECT_FALSE(store->get(1).has_value());
  EXPECT_EQ(memory.reads().size(), 1u + 3u);  // the decompressed block stayed cached
  EXPECT_TRUE(store->cache().contains(1));
}

// A small file whose index points entries 0 to 3 at one frame that
// decompresses to more than the cache's byte budget (64 MiB and a little
// more, in 513 frames of 128 KiB of zeros).
Bytes oversized_block_store() {
  const Bytes piece = test_writer::compress_block(Bytes(128 << 10, 0));
  Bytes frame;
  for (int i = 0; i < 513; ++i) frame.insert(frame.end(), piece.begin(), piece.end());
  std::vector<RawBlock> blocks = {RawBlock{0, 1, frame}};
  std::vector<StoreEntry> extra;
  for (uint32_t first = 1; first < 4; ++first) extra.push_back(StoreEntry{first, 0, static_cast<uint32_t>(frame.size()), 1});
  return test_writer::assemble_store(blocks, std::nullopt, 4, extra).bytes;
}

// Without a holder, every fetch pays the decompression, and none keeps the
// block.
TEST(StoreCacheFaultTest, BlockBeyondTheCacheBudgetIsNeverKept) {
  MemoryFile memory(oversized_block_store());
  auto store = open_ok(memory);
  ASSERT_TRUE(store);
  for (uint32_t local = 0; local < 4; ++local) {
    IoResult<std::optional<Document>> doc = store->get(local);
    ASSERT_FALSE(doc.has_value());  // its record has length 0: no JSON
    EXPECT_EQ(store->cache().size(), 0u);
    EXPECT_EQ(store->cache().bytes(), 0u);
  }
  EXPECT_EQ(memory.reads().size(), 1u + 4u);
}

// While a caller holds such a block, every load of its bytes, under any
// entry, gets that block without a read; once the last holder lets go, the
// next load reads and decompresses it again.
TEST(StoreCacheFaultTest, HeldBlockBeyondTheBudgetServesLoadsOfItsBytes) {
  MemoryFile memory(oversized_block_store());
  auto store = open_ok(memory);
  ASSERT_TRUE(store);
  IoResult<StoreBlock> held = store->load_block(store->index()[0]);
  ASSERT_TRUE(held.has_value()) << held.error().to_string();
  for (uint32_t local = 0; local < 4; ++local) {
    EXPECT_FALSE(store->get(local).has_value());
    IoResult<StoreBlock> again = store->load_block(store->index()[local]);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->get(), held->get());
  }
  EXPECT_EQ(memory.reads().size(), 1u + 1u);
  EXPECT_EQ(store->cache().size(), 0u);

  const size_t size = (*held)->size();
  held->reset();
  IoResult<StoreBlock> reloaded = store->load_block(store->index()[2]);
  ASSERT_TRUE(reloaded.has_value());
  EXPECT_EQ(memory.reads().size(), 1u + 2u);
  EXPECT_EQ((*reloaded)->size(), size);
  EXPECT_EQ(store->cache().size(), 0u);
}

// Four threads fetch every document of `file` twenty times over, through one
// store whose cache is small enough that they evict each other's blocks.
void threads_share_one_store(MemoryFile& file, size_t docs) {
  auto store = open_ok(file, 3);
  ASSERT_TRUE(store);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < docs; ++i) {
          const uint32_t local = static_cast<uint32_t>((i * 7 + static_cast<size_t>(t) * 13) % docs);
          IoResult<std::optional<Document>> doc = store->get(local);
          if (!doc.has_value() || !doc->has_value() || **doc != parsed(doc_json(local))) ++failures;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(store->cache().size(), 3u);
}

TEST(StoreConcurrencyTest, ThreadsShareOneStoreAndItsCache) {
  // With a dictionary, the threads' first loads also race to digest it.
  for (const bool with_dictionary : {false, true}) {
    SCOPED_TRACE(with_dictionary ? "with dictionary" : "without dictionary");
    const size_t kDocs = 64;
    test_writer::StoreOptions options = per_block(4);
    if (with_dictionary) options.dictionary = test_writer::train_dictionary(doc_jsons(0, kDocs));
    MemoryFile file(test_writer::write_store(doc_jsons(0, kDocs), options).bytes);
    threads_share_one_store(file, kDocs);
  }
}

// --- hostile files ------------------------------------------------------------------

// Every truncation of a small store with a dictionary and every byte of it
// overwritten: the open and each fetch must end in a value or an error and
// never read outside the file or a reversed range.
TEST(StoreHostileTest, DamagedFilesFailCleanly) {
  const std::vector<std::string> docs = doc_jsons(0, 6);
  test_writer::StoreOptions options;
  options.docs_per_block = 2;
  options.dictionary = test_writer::train_dictionary(docs, 256);
  const Bytes bytes = test_writer::write_store(docs, options).bytes;

  auto exercise = [&](const Bytes& damaged) {
    MemoryFile file(damaged);
    auto store = AsyncStoreReader::open(file.handle(), 2);
    if (store.has_value()) {
      for (uint32_t local = 0; local <= docs.size(); ++local) (void)(*store)->get(local);
    }
    for (const ByteRange& range : file.reads()) {
      ASSERT_LE(range.start, range.end);
      ASSERT_LE(range.end, damaged.size());
    }
  };
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    exercise(Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)));
    exercise(Bytes(bytes.begin() + static_cast<ptrdiff_t>(cut), bytes.end()));
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(bytes[i] ^ 0x80)}) {
      Bytes damaged = bytes;
      damaged[i] = v;
      exercise(damaged);
    }
  }
}

// --- deserialize_document -----------------------------------------------------------

TEST(DeserializeDocumentTest, CarriesTheReaderMessageAsInvalidData) {
  const std::string good = doc_json(5);
  IoResult<Document> doc = store::deserialize_document(
      std::span(reinterpret_cast<const uint8_t*>(good.data()), good.size()));
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(*doc, parsed(good));

  const std::string bad = R"({"field_values":[[0,"text"]]})";
  IoResult<Document> refused =
      store::deserialize_document(std::span(reinterpret_cast<const uint8_t*>(bad.data()), bad.size()));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(),
            invalid_data("invalid type: unit variant, expected newtype variant at line 1 column 27"));
}

}  // namespace
}  // namespace zelvar
