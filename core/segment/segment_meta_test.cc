#include "core/segment/segment_meta.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/writer/meta_writer.h"

namespace zelvar {
namespace {

using test_writer::MetaEntry;
using test_writer::MetaFile;
using Bytes = std::vector<uint8_t>;

const IoError kEof(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");

// A file of `num_docs` with `entries`, adjusted by `adjust`.
template <class F = void (*)(MetaFile&)>
Bytes meta_bytes(uint32_t num_docs, std::vector<MetaEntry> entries, F adjust = [](MetaFile&) {}) {
  MetaFile file;
  file.num_docs = num_docs;
  file.entries = std::move(entries);
  adjust(file);
  return test_writer::write_meta(file);
}

TEST(SegmentMetaTest, ReadsIdCountAndEntries) {
  const SegmentIdValue id = (SegmentIdValue{0x0102030405060708ULL} << 64) | 0x090a0b0c0d0e0f10ULL;
  const Bytes bytes = meta_bytes(1234, {{0, 5000000000ULL, 1200}, {7, 12, 3}, {0xFFFFFFFF, ~0ULL, 0xFFFFFFFF}},
                                 [&](MetaFile& f) { f.id = id; });
  // The u128 is stored least significant byte first.
  ASSERT_EQ(bytes[0], 0x10);
  ASSERT_EQ(bytes[15], 0x01);

  IoResult<SegmentMeta> meta = SegmentMeta::deserialize(bytes);
  ASSERT_TRUE(meta.has_value()) << meta.error().to_string();
  EXPECT_TRUE(meta->id == SegmentId(id));
  EXPECT_EQ(meta->num_docs, 1234u);
  const std::map<uint32_t, FieldStats> want = {
      {0, {5000000000ULL, 1200}}, {7, {12, 3}}, {0xFFFFFFFF, {~0ULL, 0xFFFFFFFF}}};
  EXPECT_EQ(meta->field_stats, want);
}

TEST(SegmentMetaTest, LaterEntryOfAFieldWins) {
  IoResult<SegmentMeta> meta = SegmentMeta::deserialize(meta_bytes(3, {{3, 10, 1}, {4, 1, 1}, {3, 20, 2}}));
  ASSERT_TRUE(meta.has_value());
  const std::map<uint32_t, FieldStats> want = {{3, {20, 2}}, {4, {1, 1}}};
  EXPECT_EQ(meta->field_stats, want);
}

Bytes truncated(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

// Layouts other than the writer's default one.
struct ShapeCase {
  std::string name;
  Bytes bytes;
  bool ok;
  size_t stats;  // entries expected when ok
};

class SegmentMetaShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(SegmentMetaShapeTest, AcceptsOrFailsWithEof) {
  const ShapeCase& c = GetParam();
  IoResult<SegmentMeta> meta = SegmentMeta::deserialize(c.bytes);
  if (c.ok) {
    ASSERT_TRUE(meta.has_value()) << meta.error().to_string();
    EXPECT_EQ(meta->num_docs, 9u);
    EXPECT_EQ(meta->field_stats.size(), c.stats);
  } else {
    ASSERT_FALSE(meta.has_value());
    EXPECT_EQ(meta.error(), kEof);
  }
}

const Bytes kTwoEntries = meta_bytes(9, {{1, 2, 3}, {4, 5, 6}});

INSTANTIATE_TEST_SUITE_P(
    Shapes, SegmentMetaShapeTest,
    ::testing::Values(
        ShapeCase{"Empty", {}, false, 0},
        ShapeCase{"Nineteen", truncated(kTwoEntries, 19), false, 0},
        ShapeCase{"HeaderOnly", meta_bytes(9, {}, [](MetaFile& f) { f.omit_count = true; }), true, 0},
        ShapeCase{"CountCutShort21", truncated(kTwoEntries, 21), false, 0},
        ShapeCase{"CountCutShort23", truncated(kTwoEntries, 23), false, 0},
        ShapeCase{"CountZero", meta_bytes(9, {}), true, 0},
        ShapeCase{"CountOneNoEntry", meta_bytes(9, {}, [](MetaFile& f) { f.count_override = 1; }), false, 0},
        ShapeCase{"LastEntryCutShort", truncated(kTwoEntries, 24 + 16 + 15), false, 0},
        ShapeCase{"HugeCountShortFile",
                  meta_bytes(9, {{1, 2, 3}}, [](MetaFile& f) { f.count_override = 0xFFFFFFFF; }), false, 0},
        ShapeCase{"TrailingBytesIgnored",
                  meta_bytes(9, {{1, 2, 3}}, [](MetaFile& f) { f.trailing = {1, 2, 3, 4, 5, 6, 7}; }), true, 1},
        ShapeCase{"FewerCountedThanWritten",
                  meta_bytes(9, {{1, 2, 3}, {4, 5, 6}}, [](MetaFile& f) { f.count_override = 1; }), true, 1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zelvar
