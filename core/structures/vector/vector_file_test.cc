// Loading a segment's vector file: which faults leave the segment without
// some or all indexes, which fail it, and what each entry becomes.
#include "core/structures/vector/vector_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tests/writer/memory_file.h"

namespace zelvar {
namespace {

namespace fs = std::filesystem;

// --- Bytes of a vector file ---------------------------------------------------

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_u64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Entry {
  uint32_t field_id;
  uint8_t index_type;
  std::string body;
};

// The count, the directory, then the bodies one after another.
std::vector<uint8_t> vector_file(const std::vector<Entry>& entries) {
  std::vector<uint8_t> out;
  put_u32(out, static_cast<uint32_t>(entries.size()));
  uint64_t offset = 4 + kVectorDirectoryEntrySize * entries.size();
  for (const Entry& e : entries) {
    put_u32(out, e.field_id);
    out.push_back(e.index_type);
    put_u64(out, offset);
    put_u64(out, e.body.size());
    offset += e.body.size();
  }
  for (const Entry& e : entries) out.insert(out.end(), e.body.begin(), e.body.end());
  return out;
}

// A directory entry written by hand, for ranges the builder above cannot make.
void put_entry(std::vector<uint8_t>& out, uint32_t field_id, uint8_t type, uint64_t offset,
               uint64_t length) {
  put_u32(out, field_id);
  out.push_back(type);
  put_u64(out, offset);
  put_u64(out, length);
}

const std::string kRaBitQBody =
    R"({"codebook":{"config":{"dim":2,"query_bits":1,"seed":3},"random_signs":[1,-1],)"
    R"("random_perm":[1,0],"version":5},"centroid":[0.5],"vectors":[]})";

// Reads as an IVF-RaBitQ body and as an IVF-PQ body alike.
std::string ivf_body(uint64_t dim) {
  return R"({"config":{"dim":)" + std::to_string(dim) +
         R"(,"default_nprobe":1,"store_raw":false,"rerank_factor":1},"centroids_version":0,)"
         R"("codebook_version":0,"clusters":{"clusters":{"0":[[7],[],null]},"total_vectors":1}})";
}

using test_writer::MemoryFile;

// --- Side files and schemas ---------------------------------------------------

// A version-1 centroid file without values; `stamp` tells files apart.
std::vector<uint8_t> centroid_file(uint64_t stamp) {
  std::vector<uint8_t> out;
  put_u32(out, kCoarseCentroidsMagic);
  put_u32(out, 1);
  put_u64(out, stamp);
  put_u32(out, 0);
  put_u32(out, 0);
  return out;
}

// A version-1 codebook file of dim 2, one subspace, no centroids, no norms.
std::vector<uint8_t> codebook_file(uint64_t stamp) {
  std::vector<uint8_t> out;
  put_u32(out, kPQCodebookMagic);
  put_u32(out, 1);
  put_u64(out, stamp);
  put_u32(out, 2);  // dim
  put_u32(out, 1);  // num_subspaces
  put_u32(out, 0);  // num_centroids
  out.push_back(0);  // flag_p
  put_u32(out, 0);  // param_y
  out.push_back(0);  // no norms
  return out;
}

struct DenseField {
  std::optional<std::string> centroids = std::nullopt;
  std::optional<std::string> codebook = std::nullopt;
};

// Fields 0, 1, ...: a plain text field for nullopt, else a dense-vector field
// with the given side-file paths.
Schema schema_of(const std::vector<std::optional<DenseField>>& fields) {
  std::vector<FieldEntry> entries;
  NameToField names;
  for (size_t i = 0; i < fields.size(); ++i) {
    FieldEntry e;
    e.name = "f" + std::to_string(i);
    if (fields[i]) {
      e.field_type = FieldType::DenseVector;
      DenseVectorConfig config;
      config.dim = 2;
      config.coarse_centroids_path = fields[i]->centroids;
      config.pq_codebook_path = fields[i]->codebook;
      e.dense_vector_config = config;
    }
    names.emplace(e.name, static_cast<Field>(i));
    entries.push_back(std::move(e));
  }
  return Schema(std::move(entries), std::move(names));
}

const Schema kOneDenseField = schema_of({DenseField{}});

class VectorFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zelvar_vector_file_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  std::string missing(const std::string& name) const { return (dir_ / name).string(); }

  // Reads `bytes` as a vector file, with a budget of its own or `budget`.
  IoResult<LoadedVectors> read(const std::vector<uint8_t>& bytes, const Schema& schema) {
    VectorBudget budget;
    return read(bytes, schema, budget);
  }
  IoResult<LoadedVectors> read(const std::vector<uint8_t>& bytes, const Schema& schema,
                               VectorBudget& budget) {
    file_.assign(bytes);
    return read_vectors_file(file_.handle(), schema, budget);
  }

  fs::path dir_;
  MemoryFile file_;
};

template <class Kind>
const Kind& kind_of(const LoadedVectors& loaded, uint32_t field) {
  return std::get<Kind>(loaded.vector_indexes.at(field).kind);
}

// --- No vector file to speak of -----------------------------------------------

TEST_F(VectorFileTest, SchemaWithoutDenseFieldsReadsNothing) {
  // A text field's dense configuration counts; no configuration at all does not.
  std::vector<uint8_t> corrupt = {3, 0, 0, 0, 1, 2};  // a directory far beyond the file
  write("seg.vectors", corrupt);
  FsDirectory directory(dir_);

  VectorBudget budget;
  auto none = load_vectors_file(directory, "seg.vectors", schema_of({std::nullopt, std::nullopt}),
                                budget);
  ASSERT_TRUE(none.has_value()) << none.error().to_string();
  EXPECT_TRUE(none->vector_indexes.empty());

  auto dense = load_vectors_file(directory, "seg.vectors", schema_of({std::nullopt, DenseField{}}),
                                 budget);
  ASSERT_FALSE(dense.has_value());
  EXPECT_EQ(dense.error().kind(), IoErrorKind::InvalidInput);
}

TEST_F(VectorFileTest, MissingFileGivesNoIndexes) {
  FsDirectory directory(dir_);
  VectorBudget budget;
  auto got = load_vectors_file(directory, "absent.vectors", kOneDenseField, budget);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_TRUE(got->vector_indexes.empty());
  EXPECT_EQ(got->coarse_centroids, nullptr);
}

TEST_F(VectorFileTest, ShortFileOrZeroCountGivesNoIndexes) {
  const std::vector<std::vector<uint8_t>> files = {
      {}, {1}, {1, 0}, {1, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0, 0xff, '{', 0x01}};
  for (const auto& bytes : files) {
    file_.clear_reads();
    auto got = read(bytes, kOneDenseField);
    ASSERT_TRUE(got.has_value()) << bytes.size() << ": " << got.error().to_string();
    EXPECT_TRUE(got->vector_indexes.empty());
    // Nothing beyond the count is read (a file under 4 bytes fails the range
    // check before any read).
    EXPECT_LE(file_.reads().size(), 1u);
  }
}

TEST_F(VectorFileTest, CountReadFaults) {
  // A failing count read is no error; a short one is.
  std::vector<uint8_t> bytes = vector_file({{0, 0, kRaBitQBody}});
  file_.set_fault([](ByteRange) -> std::optional<IoResult<OwnedBytes>> {
    return std::unexpected(IoError(IoErrorKind::PermissionDenied, "denied"));
  });
  auto denied = read(bytes, kOneDenseField);
  ASSERT_TRUE(denied.has_value());
  EXPECT_TRUE(denied->vector_indexes.empty());

  file_.set_fault([](ByteRange) -> std::optional<IoResult<OwnedBytes>> {
    return OwnedBytes(std::vector<uint8_t>{1, 0});
  });
  auto short_count = read(bytes, kOneDenseField);
  ASSERT_FALSE(short_count.has_value());
  EXPECT_EQ(short_count.error(), IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));

  file_.set_fault([](ByteRange) -> std::optional<IoResult<OwnedBytes>> { return OwnedBytes(); });
  auto empty_count = read(bytes, kOneDenseField);
  ASSERT_TRUE(empty_count.has_value());
  EXPECT_TRUE(empty_count->vector_indexes.empty());
}

// --- Reads that fail the segment ----------------------------------------------

TEST_F(VectorFileTest, UnreadableRangesFailTheLoad) {
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    IoError error;
  };
  std::vector<uint8_t> inside_third = vector_file({{0, 0, "x"}, {0, 0, "y"}, {0, 0, "z"}});
  inside_third.resize(4 + 2 * 21 + 10);  // ends inside the third entry
  std::vector<uint8_t> one_beyond;
  put_u32(one_beyond, 2);
  put_entry(one_beyond, 0, 0, 46, 3);  // a valid, if unparsable, body first
  put_entry(one_beyond, 0, 0, 46, 5);  // ends one byte beyond the file
  one_beyond.insert(one_beyond.end(), {'{', '}', ' ', ' '});
  // A terabyte body behind a 25-byte file: beyond the file, and also beyond
  // the read budget, which must not turn the range error into a skip.
  std::vector<uint8_t> beyond_budget;
  put_u32(beyond_budget, 1);
  put_entry(beyond_budget, 0, 0, 0, uint64_t{1} << 40);
  std::vector<uint8_t> overflowing;
  put_u32(overflowing, 1);
  put_entry(overflowing, 0, 0, 2, std::numeric_limits<uint64_t>::max() - 1);
  const std::vector<Case> cases = {
      {"DirectoryBeyondFile", inside_third,
       IoError(IoErrorKind::InvalidInput, "Range 4..67 out of bounds (file size: 56)")},
      {"BodyOneByteBeyondFile", one_beyond,
       IoError(IoErrorKind::InvalidInput, "Range 46..51 out of bounds (file size: 50)")},
      {"BodyBeyondFileAndBudget", beyond_budget,
       IoError(IoErrorKind::InvalidInput, "Range 0..1099511627776 out of bounds (file size: 25)")},
      {"BodyRangeOverflows", overflowing,
       IoError(IoErrorKind::InvalidInput,
               "Range of 18446744073709551614 bytes at offset 2 overflows a 64-bit file offset")},
  };
  for (const Case& c : cases) {
    auto got = read(c.bytes, kOneDenseField);
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error(), c.error) << c.name << ": " << got.error().to_string();
  }
}

TEST_F(VectorFileTest, BodyReadErrorPassesUnchanged) {
  std::vector<uint8_t> bytes = vector_file({{0, 0, kRaBitQBody}, {1, 0, kRaBitQBody}});
  const IoError broken(IoErrorKind::Other, "disk on fire");
  file_.set_fault([&](ByteRange range) -> std::optional<IoResult<OwnedBytes>> {
    if (range.start == 4 + 2 * 21 + kRaBitQBody.size()) return std::unexpected(broken);
    return std::nullopt;
  });
  auto got = read(bytes, kOneDenseField);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), broken);
}

// --- What each entry becomes ---------------------------------------------------

TEST_F(VectorFileTest, ReadsCountDirectoryAndEachBodyOnceInFileOrder) {
  // Bodies need not follow the entries' order, and may overlap.
  std::vector<uint8_t> bytes;
  put_u32(bytes, 3);
  const uint64_t base = 4 + 3 * 21;
  put_entry(bytes, 2, 0, base + 10, kRaBitQBody.size());
  put_entry(bytes, 0, 0, base, 2);
  put_entry(bytes, 1, 0, base + 10, kRaBitQBody.size());
  bytes.insert(bytes.end(), 10, ' ');
  bytes.insert(bytes.end(), kRaBitQBody.begin(), kRaBitQBody.end());

  auto got = read(bytes, kOneDenseField);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(file_.reads(), (std::vector<ByteRange>{{0, 4},
                                                 {4, base},
                                                 {base + 10, base + 10 + kRaBitQBody.size()},
                                                 {base, base + 2},
                                                 {base + 10, base + 10 + kRaBitQBody.size()}}));
  // Field 0's two blanks do not parse; fields 1 and 2 share the body.
  EXPECT_EQ(got->vector_indexes.count(0), 0u);
  EXPECT_EQ(kind_of<VectorIndex::RaBitQ>(*got, 1).index->codebook.version, 5u);
  EXPECT_EQ(kind_of<VectorIndex::RaBitQ>(*got, 2).index->centroid, std::vector<float>{0.5f});
}

TEST_F(VectorFileTest, BodiesNamedOverAndOverStopAtTheBudget) {
  // One body named by as many entries as the budget allows, and one more: the
  // last entry (for another field) is skipped without a read.
  const uint64_t body_len = 4096;
  std::vector<uint8_t> body(body_len, ' ');
  std::copy(kRaBitQBody.begin(), kRaBitQBody.end(), body.begin());
  const uint64_t count = 20000;
  const uint64_t base = 4 + count * 21;
  const uint64_t size = base + body_len;
  const uint64_t allowed = (kVectorBodyBudgetFactor * size + kVectorBodyBudgetSlack) / body_len;
  ASSERT_LT(allowed, count);
  std::vector<uint8_t> bytes;
  put_u32(bytes, static_cast<uint32_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    put_entry(bytes, i < allowed ? 1 : 2, 0, base, body_len);
  }
  bytes.insert(bytes.end(), body.begin(), body.end());
  auto got = read(bytes, kOneDenseField);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(file_.reads().size(), 2 + allowed);
  EXPECT_EQ(got->vector_indexes.count(1), 1u);
  EXPECT_EQ(got->vector_indexes.count(2), 0u);
}

TEST_F(VectorFileTest, EntryKinds) {
  struct Case {
    std::string name;
    Entry entry;
    std::optional<VectorIndexType> loaded;  // nullopt: the entry is skipped
  };
  const std::vector<Case> cases = {
      {"RaBitQ", {0, 0, kRaBitQBody}, VectorIndexType::RaBitQ},
      {"IvfRaBitQ", {0, 1, ivf_body(3)}, VectorIndexType::IvfRaBitQ},
      {"RaBitQBodyAsIvf", {0, 1, kRaBitQBody}, std::nullopt},
      {"IvfBodyAsRaBitQ", {0, 0, ivf_body(3)}, std::nullopt},
      {"MalformedJson", {0, 0, kRaBitQBody.substr(0, 40)}, std::nullopt},
      {"EmptyBody", {0, 1, ""}, std::nullopt},
      {"TrailingValue", {0, 1, ivf_body(3) + " {}"}, std::nullopt},
      {"OtherCodeIvfBody", {0, 9, ivf_body(3)}, VectorIndexType::IvfRaBitQ},
      {"OtherCodeRaBitQBody", {0, 255, kRaBitQBody}, VectorIndexType::RaBitQ},
      {"OtherCodeNeither", {0, 3, "[]"}, std::nullopt},
      // An IVF-PQ body needs its field's codebook file; this schema has none.
      {"IvfPqWithoutCodebookPath", {0, 2, ivf_body(3)}, std::nullopt},
      // RaBitQ kinds are loaded whatever the schema says about the field.
      {"RaBitQBeyondSchema", {7, 0, kRaBitQBody}, VectorIndexType::RaBitQ},
      {"IvfRaBitQBeyondSchema", {7, 1, ivf_body(3)}, VectorIndexType::IvfRaBitQ},
      {"IvfPqBeyondSchema", {7, 2, ivf_body(3)}, std::nullopt},
      {"IvfRaBitQOnTextField", {1, 1, ivf_body(3)}, VectorIndexType::IvfRaBitQ},
      // A dimension the rotation codebook cannot take loses the index.
      {"IvfRaBitQDimTooLarge", {0, 1, ivf_body(kMaxRaBitQCodebookDim + 1)}, std::nullopt},
      {"IvfRaBitQDimBeyond32Bits", {0, 1, ivf_body(uint64_t{1} << 32)}, std::nullopt},
  };
  const Schema schema = schema_of({DenseField{}, std::nullopt});
  for (const Case& c : cases) {
    auto got = read(vector_file({c.entry}), schema);
    ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error().to_string();
    if (!c.loaded) {
      EXPECT_TRUE(got->vector_indexes.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(got->vector_indexes.size(), 1u) << c.name;
    EXPECT_EQ(got->vector_indexes.at(c.entry.field_id).type(), *c.loaded) << c.name;
  }
}

TEST_F(VectorFileTest, LaterEntryForAFieldWins) {
  auto got = read(vector_file({{4, 0, kRaBitQBody}, {4, 1, ivf_body(3)}, {5, 1, ivf_body(3)},
                               {5, 0, kRaBitQBody}, {6, 0, kRaBitQBody}, {6, 0, "bad"}}),
                  kOneDenseField);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(got->vector_indexes.at(4).type(), VectorIndexType::IvfRaBitQ);
  EXPECT_EQ(got->vector_indexes.at(5).type(), VectorIndexType::RaBitQ);
  // An unparsable later entry is skipped and leaves the earlier index.
  EXPECT_EQ(got->vector_indexes.at(6).type(), VectorIndexType::RaBitQ);
}

TEST_F(VectorFileTest, IvfRaBitQCodebooksAreRebuiltFromTheBodyDim) {
  auto got = read(vector_file({{0, 1, ivf_body(5)}, {1, 1, ivf_body(0)}, {2, 9, ivf_body(5)}}),
                  kOneDenseField);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  const auto& five = kind_of<VectorIndex::IvfRaBitQ>(*got, 0);
  EXPECT_EQ(five.index->config.dim, 5u);
  EXPECT_EQ(five.index->clusters.clusters.at(0).doc_ids, std::vector<uint32_t>{7});
  auto expected = RaBitQCodebook::create(RaBitQConfig{5, 4, 42});
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(five.codebook->config, (RaBitQConfig{5, 4, 42}));
  EXPECT_EQ(five.codebook->random_signs, expected->random_signs);
  EXPECT_EQ(five.codebook->random_perm, expected->random_perm);
  EXPECT_GT(five.codebook->version, 0u);

  const auto& zero = kind_of<VectorIndex::IvfRaBitQ>(*got, 1);
  EXPECT_EQ(zero.codebook->config, (RaBitQConfig{0, 4, 42}));
  EXPECT_TRUE(zero.codebook->random_perm.empty());
  // Equal dimensions share one codebook.
  EXPECT_EQ(kind_of<VectorIndex::IvfRaBitQ>(*got, 2).codebook, five.codebook);
}

TEST_F(VectorFileTest, CodebooksStopAtTheBudget) {
  // Tiny bodies asking for distinct dimensions near the cap: codebooks are
  // built, in file order, only while their bytes fit in the budget; a body
  // beyond it loses its index, and only that one. A dimension already built
  // costs nothing more, and other kinds of index do not count.
  std::vector<Entry> entries;
  for (uint32_t i = 0; i < 6; ++i) entries.push_back({i, 1, ivf_body(kMaxRaBitQCodebookDim - i)});
  entries.push_back({10, 1, ivf_body(kMaxRaBitQCodebookDim)});  // the dimension of field 0
  entries.push_back({11, 0, kRaBitQBody});
  const std::vector<uint8_t> bytes = vector_file(entries);

  const uint64_t budget = kVectorCodebookBudgetFactor * bytes.size() + kVectorCodebookBudgetSlack;
  std::vector<uint32_t> expected;
  uint64_t spent = 0;
  for (uint32_t i = 0; i < 6; ++i) {
    const uint64_t cost = (kMaxRaBitQCodebookDim - i) * kRaBitQCodebookBytesPerDim;
    if (spent + cost > budget) break;
    spent += cost;
    expected.push_back(i);
  }
  // The constants leave room for a few such codebooks, not all six.
  ASSERT_GE(expected.size(), 2u);
  ASSERT_LT(expected.size(), 6u);
  expected.push_back(10);
  expected.push_back(11);

  auto got = read(bytes, kOneDenseField);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  std::vector<uint32_t> loaded;
  for (const auto& [field, index] : got->vector_indexes) loaded.push_back(field);
  EXPECT_EQ(loaded, expected);
  EXPECT_EQ(kind_of<VectorIndex::IvfRaBitQ>(*got, 10).codebook,
            kind_of<VectorIndex::IvfRaBitQ>(*got, 0).codebook);
  EXPECT_EQ(got->vector_indexes.at(11).type(), VectorIndexType::RaBitQ);
}

TEST_F(VectorFileTest, LoadsSharingABudgetShareItsConstants) {
  // Two files drawing on one budget: the first spends the codebook constant
  // on three of the largest codebooks, so the second keeps only what fits in
  // the rest and its own size earns. Alone, it would keep both indexes.
  const uint64_t max = kMaxRaBitQCodebookDim;
  VectorBudget budget;
  auto first = read(vector_file({{0, 1, ivf_body(max)}, {1, 1, ivf_body(max - 1)}, {2, 1, ivf_body(max - 2)}}),
                    kOneDenseField, budget);
  ASSERT_TRUE(first.has_value()) << first.error().to_string();
  EXPECT_EQ(first->vector_indexes.size(), 3u);

  const std::vector<uint8_t> second = vector_file({{0, 1, ivf_body(max - 3)}, {1, 1, ivf_body(40)}});
  auto shared = read(second, kOneDenseField, budget);
  ASSERT_TRUE(shared.has_value()) << shared.error().to_string();
  EXPECT_EQ(shared->vector_indexes.count(0), 0u);
  EXPECT_EQ(shared->vector_indexes.count(1), 1u);

  auto alone = read(second, kOneDenseField);
  ASSERT_TRUE(alone.has_value()) << alone.error().to_string();
  EXPECT_EQ(alone->vector_indexes.size(), 2u);

  // Bodies the same way: with the body pool spent, a file that names one
  // body for twenty fields reads it only as often as its own size earns.
  std::string padded = kRaBitQBody;
  padded.resize(4096, ' ');
  std::vector<uint8_t> third;
  const uint64_t count = 20;
  put_u32(third, count);
  for (uint32_t field = 0; field < count; ++field) put_entry(third, field, 0, 4 + count * 21, padded.size());
  third.insert(third.end(), padded.begin(), padded.end());
  const uint64_t earned = kVectorBodyBudgetFactor * third.size() / padded.size();
  ASSERT_LT(earned, count);
  ASSERT_TRUE(budget.take_body(budget.body_bytes()));
  auto spent = read(third, kOneDenseField, budget);
  ASSERT_TRUE(spent.has_value()) << spent.error().to_string();
  EXPECT_EQ(spent->vector_indexes.size(), earned);
  auto fresh = read(third, kOneDenseField);
  ASSERT_TRUE(fresh.has_value()) << fresh.error().to_string();
  EXPECT_EQ(fresh->vector_indexes.size(), count);

  // A body beyond its file fails the load, spent budget or not.
  std::vector<uint8_t> beyond;
  put_u32(beyond, 1);
  put_entry(beyond, 0, 0, 0, uint64_t{1} << 40);
  ASSERT_TRUE(budget.take_body(budget.body_bytes()));
  auto refused = read(beyond, kOneDenseField, budget);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(),
            IoError(IoErrorKind::InvalidInput, "Range 0..1099511627776 out of bounds (file size: 25)"));
}

TEST(VectorBudgetTest, EarnsPerFileAndTakesOnlyWhatIsLeft) {
  VectorBudget budget;
  EXPECT_EQ(budget.body_bytes(), kVectorBodyBudgetSlack);
  EXPECT_EQ(budget.codebook_bytes(), kVectorCodebookBudgetSlack);
  budget.earn(100);
  EXPECT_EQ(budget.body_bytes(), kVectorBodyBudgetSlack + kVectorBodyBudgetFactor * 100);
  EXPECT_EQ(budget.codebook_bytes(), kVectorCodebookBudgetSlack + kVectorCodebookBudgetFactor * 100);

  // The pools are separate; a take that does not fit takes nothing.
  EXPECT_FALSE(budget.take_codebook(budget.codebook_bytes() + 1));
  EXPECT_TRUE(budget.take_codebook(kVectorCodebookBudgetSlack));
  EXPECT_EQ(budget.codebook_bytes(), kVectorCodebookBudgetFactor * 100);
  EXPECT_TRUE(budget.take_codebook(kVectorCodebookBudgetFactor * 100));
  EXPECT_FALSE(budget.take_codebook(1));
  EXPECT_TRUE(budget.take_codebook(0));
  EXPECT_EQ(budget.body_bytes(), kVectorBodyBudgetSlack + kVectorBodyBudgetFactor * 100);
  EXPECT_TRUE(budget.take_body(kVectorBodyBudgetSlack));
  EXPECT_EQ(budget.body_bytes(), kVectorBodyBudgetFactor * 100);

  // File sizes whose multiples do not fit saturate rather than wrap.
  budget.earn(std::numeric_limits<uint64_t>::max() / 2);
  budget.earn(std::numeric_limits<uint64_t>::max() / 2);
  EXPECT_EQ(budget.body_bytes(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(budget.codebook_bytes(), std::numeric_limits<uint64_t>::max());
}

TEST_F(VectorFileTest, IvfPqLoadsItsFieldsCodebook) {
  const std::string codebook = write("pq.kbcs", codebook_file(77));
  const Schema schema = schema_of({DenseField{std::nullopt, codebook},
                                   DenseField{std::nullopt, missing("absent.kbcs")},
                                   DenseField{std::nullopt, write("wrong.kbcs", centroid_file(1))}});
  auto got = read(vector_file({{0, 2, ivf_body(3)}, {1, 2, ivf_body(3)}, {2, 2, ivf_body(3)}}), schema);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  ASSERT_EQ(got->vector_indexes.size(), 1u);
  const auto& scann = kind_of<VectorIndex::ScaNN>(*got, 0);
  EXPECT_EQ(scann.codebook->stamp, 77u);
  EXPECT_EQ(scann.index->config.dim, 3u);
}

TEST_F(VectorFileTest, OneCentroidFilePerSegment) {
  const std::string first = write("first.cvch", centroid_file(1));
  const std::string second = write("second.cvch", centroid_file(2));
  const std::string absent = missing("absent.cvch");
  const std::string bad = write("bad.cvch", codebook_file(9));
  struct Case {
    std::string name;
    std::vector<std::optional<DenseField>> fields;
    std::vector<Entry> entries;
    std::optional<uint64_t> stamp;  // of the segment's centroids
  };
  const std::vector<Case> cases = {
      {"FirstThatLoadsIsKept", {DenseField{first}, DenseField{second}},
       {{0, 1, ivf_body(2)}, {1, 1, ivf_body(2)}}, 1},
      {"MissingFileTriesTheNextEntry", {DenseField{absent}, DenseField{second}},
       {{0, 1, ivf_body(2)}, {1, 1, ivf_body(2)}}, 2},
      {"BadFileTriesTheNextEntry", {DenseField{bad}, DenseField{second}},
       {{0, 1, ivf_body(2)}, {1, 9, ivf_body(2)}}, 2},
      {"OnlyIvfEntriesLoadCentroids", {DenseField{first}}, {{0, 0, kRaBitQBody}}, std::nullopt},
      {"UnparsedEntryLoadsNone", {DenseField{first}}, {{0, 1, "{}"}}, std::nullopt},
      {"IvfBeyondSchemaLoadsNone", {DenseField{first}}, {{3, 1, ivf_body(2)}}, std::nullopt},
      // The centroids come before the codebook: kept although the IVF-PQ
      // entry is then lost, and kept although the dimension is refused.
      {"KeptWhenPqCodebookMissing", {DenseField{first, absent}}, {{0, 2, ivf_body(2)}}, 1},
      {"KeptWhenPqCodebookUnset", {DenseField{first}}, {{0, 2, ivf_body(2)}}, 1},
      {"KeptWhenDimRefused", {DenseField{first}}, {{0, 1, ivf_body(kMaxRaBitQCodebookDim + 1)}}, 1},
  };
  for (const Case& c : cases) {
    auto got = read(vector_file(c.entries), schema_of(c.fields));
    ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error().to_string();
    if (!c.stamp) {
      EXPECT_EQ(got->coarse_centroids, nullptr) << c.name;
      continue;
    }
    ASSERT_NE(got->coarse_centroids, nullptr) << c.name;
    EXPECT_EQ(got->coarse_centroids->stamp, *c.stamp) << c.name;
  }
}

TEST_F(VectorFileTest, LoadsThroughTheDirectory) {
  const std::string centroids = write("c.cvch", centroid_file(5));
  write("seg.vectors", vector_file({{0, 0, kRaBitQBody}, {0, 1, ivf_body(4)}}));
  VectorBudget budget;
  auto got = load_vectors_file(FsDirectory(dir_), "seg.vectors", schema_of({DenseField{centroids}}),
                               budget);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  ASSERT_EQ(got->vector_indexes.size(), 1u);
  EXPECT_EQ(kind_of<VectorIndex::IvfRaBitQ>(*got, 0).codebook->config.dim, 4u);
  ASSERT_NE(got->coarse_centroids, nullptr);
  EXPECT_EQ(got->coarse_centroids->stamp, 5u);
}

TEST(VectorDirectoryTest, DecodesPackedLittleEndianEntries) {
  std::vector<uint8_t> bytes;
  put_entry(bytes, 0x04030201, 0xfe, 0x0807060504030201, 0x1112131415161718);
  put_entry(bytes, 9, 2, 100, 0);
  auto got = read_vector_directory(bytes, 2);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (std::vector<VectorDirectoryEntry>{{0x04030201, 0xfe, 0x0807060504030201, 0x1112131415161718},
                                                     {9, 2, 100, 0}}));

  bytes.pop_back();
  auto short_bytes = read_vector_directory(bytes, 2);
  ASSERT_FALSE(short_bytes.has_value());
  EXPECT_EQ(short_bytes.error(), IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
  // A count the bytes cannot back is refused before anything is reserved.
  EXPECT_FALSE(read_vector_directory(bytes, std::numeric_limits<uint32_t>::max()).has_value());
}

}  // namespace
}  // namespace zelvar
