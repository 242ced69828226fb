#include "tests/writer/index_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <span>
#include <stdexcept>

#include "tests/writer/meta_writer.h"
#include "tests/writer/postings_writer.h"
#include "tests/writer/sstable_writer.h"
#include "tests/writer/store_writer.h"

namespace zelvar::test_writer {
namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

unsigned __int128 parse_segment_id(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  if (digits.empty()) fail("not a segment identifier: \"" + std::string(text) + "\"");
  unsigned __int128 value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else fail("not a segment identifier: \"" + std::string(text) + "\"");
    if (value >> 124) fail("segment identifier beyond 128 bits: \"" + std::string(text) + "\"");
    value = (value << 4) | static_cast<unsigned>(d);
  }
  return value;
}

namespace {

void write_bytes(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fail("cannot write " + path.string());
}

bool omitted(const SegmentSpec& spec, std::string_view ext) {
  return std::find(spec.omit.begin(), spec.omit.end(), ext) != spec.omit.end();
}

}  // namespace

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_ascii_space(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !is_ascii_space(text[i])) ++i;
    if (i > start) {
      std::string token(text.substr(start, i - start));
      for (char& c : token) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      tokens.push_back(std::move(token));
    }
  }
  return tokens;
}

std::string segment_base(std::string_view id) {
  unsigned __int128 value = parse_segment_id(id);
  std::string hex(32, '0');
  for (int i = 31; i >= 0; --i) {
    hex[static_cast<size_t>(i)] = "0123456789abcdef"[static_cast<unsigned>(value & 0xF)];
    value >>= 4;
  }
  return "seg_" + hex;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_number(double value) {
  if (!std::isfinite(value)) fail("JSON has no form for a non-finite number");
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, end);
  // A bare integer form would read back as an integer; keep it a float.
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string segments_json(const std::vector<std::string>& ids) {
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) out += ",";
    out += json_string(ids[i]);
  }
  return out + "]";
}

std::string stored_document(const std::vector<std::pair<uint32_t, std::string>>& values) {
  std::string out = R"({"field_values":[)";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ",";
    out += "[" + std::to_string(values[i].first) + "," + values[i].second + "]";
  }
  return out + "]}";
}

std::string text_value(std::string_view text) { return R"({"text":)" + json_string(text) + "}"; }
std::string u64_value(uint64_t value) { return R"({"u64":)" + std::to_string(value) + "}"; }
std::string i64_value(int64_t value) { return R"({"i64":)" + std::to_string(value) + "}"; }
std::string f64_value(double value) { return R"({"f64":)" + json_number(value) + "}"; }

DocumentSpec text_document(const std::vector<std::pair<uint32_t, std::string>>& fields) {
  DocumentSpec doc;
  std::vector<std::pair<uint32_t, std::string>> stored;
  for (const auto& [field, text] : fields) stored.emplace_back(field, text_value(text));
  doc.stored_json = stored_document(stored);
  doc.indexed = fields;
  return doc;
}

void write_file(const std::filesystem::path& dir, std::string_view name, std::string_view text) {
  write_bytes(dir / name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

SegmentSizes write_segment(const std::filesystem::path& dir, const SegmentSpec& spec) {
  const std::string base = segment_base(spec.id);
  const auto num_docs = static_cast<uint32_t>(spec.docs.size());

  // Postings per (field, term) key, in key order, and per-field statistics.
  std::map<Bytes, std::vector<DocTf>> postings;
  std::map<uint32_t, MetaEntry> stats;
  for (uint32_t local = 0; local < num_docs; ++local) {
    std::map<Bytes, uint32_t> freqs;
    std::map<uint32_t, bool> has_field;
    for (const auto& [field, text] : spec.docs[local].indexed) {
      std::vector<std::string> tokens = tokenize(text);
      MetaEntry& entry = stats[field];
      entry.field = field;
      entry.total_tokens += tokens.size();
      has_field[field] = true;
      for (const std::string& token : tokens) ++freqs[term_key(field, token)];
    }
    for (const auto& [field, _] : has_field) ++stats[field].doc_count;
    for (const auto& [key, tf] : freqs) postings[key].emplace_back(local, tf);
  }

  Bytes post_file;
  std::vector<TermEntry> terms;
  terms.reserve(postings.size());
  for (const auto& [key, list] : postings) {
    std::optional<TermInfo> info;
    if (spec.terms.inline_postings) info = inline_term_info(list);
    if (!info) info = append_posting_list(post_file, list, std::clamp<size_t>(spec.terms.posting_block, 1, 128));
    terms.push_back({key, *info});
  }

  SSTableOptions sst;
  sst.block_entries = spec.terms.block_entries;
  sst.bloom = spec.terms.bloom;
  sst.bloom_bits_per_key = spec.terms.bloom_bits_per_key;
  sst.bloom_hashes = spec.terms.bloom_hashes;
  sst.sparse_every = spec.terms.sparse_every;
  if (spec.terms.dictionary) {
    sst.dictionary = spec.terms.dictionary_size == 0
                         ? sample_dictionary()
                         : train_zstd_dictionary(encode_blocks(terms, sst.block_entries), spec.terms.dictionary_size);
  }

  std::vector<std::string> stored;
  stored.reserve(spec.docs.size());
  for (const DocumentSpec& doc : spec.docs) stored.push_back(doc.stored_json);
  StoreOptions store;
  store.docs_per_block = static_cast<uint32_t>(std::max<size_t>(spec.store.block_docs, 1));
  // A dictionary cannot be trained on nothing; an empty store still gets one.
  if (spec.store.dictionary) {
    if (stored.empty()) {
      store.dictionary = sample_dictionary();
    } else if (spec.store.dictionary_size == 0) {
      store.dictionary = train_dictionary(stored);
    } else {
      std::vector<Bytes> samples;
      samples.reserve(stored.size());
      for (const std::string& doc : stored) samples.push_back(to_bytes(doc));
      store.dictionary = train_zstd_dictionary(samples, spec.store.dictionary_size);
    }
  }

  MetaFile meta;
  meta.id = spec.meta_id.value_or(parse_segment_id(spec.id));
  meta.num_docs = spec.meta_num_docs.value_or(num_docs);
  for (const auto& [field, entry] : stats) meta.entries.push_back(entry);

  std::filesystem::create_directories(dir);
  if (!omitted(spec, ".meta")) write_bytes(dir / (base + ".meta"), write_meta(meta));
  if (!omitted(spec, ".terms")) write_bytes(dir / (base + ".terms"), write_sstable(terms, sst));
  if (!omitted(spec, ".post")) write_bytes(dir / (base + ".post"), post_file);
  if (!omitted(spec, ".store")) write_bytes(dir / (base + ".store"), write_store(stored, store).bytes);

  SegmentSizes sizes;
  if (!terms.empty() && sst.block_entries != 0) {
    sizes.term_blocks = (terms.size() + sst.block_entries - 1) / sst.block_entries;
    for (const Bytes& block : encode_blocks(terms, sst.block_entries)) sizes.term_block_bytes += block.size();
  }
  sizes.store_blocks = (stored.size() + store.docs_per_block - 1) / store.docs_per_block;
  for (const std::string& doc : stored) sizes.store_block_bytes += 4 + doc.size();  // u32 length + text
  return sizes;
}

void write_index(const std::filesystem::path& dir, const IndexSpec& spec) {
  std::filesystem::create_directories(dir);
  if (spec.schema_json) write_file(dir, "schema.json", *spec.schema_json);
  std::vector<std::string> listed;
  for (const SegmentSpec& segment : spec.segments) {
    write_segment(dir, segment);
    if (segment.listed) listed.push_back(segment.id);
  }
  if (spec.write_segments_json) write_file(dir, "segments.json", spec.segments_json.value_or(segments_json(listed)));
}

}  // namespace zelvar::test_writer
