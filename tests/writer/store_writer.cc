#include "tests/writer/store_writer.h"

#include <zdict.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tests/writer/sstable_writer.h"

namespace zelvar::test_writer {
namespace {

void write_entry(Bytes& out, const StoreEntry& e) {
  put_u32(out, e.first_doc);
  put_u64(out, e.offset);
  put_u32(out, e.length);
  put_u32(out, e.num_docs);
}

void write_footer(Bytes& out, const StoreFooter& f) {
  put_u64(out, f.data_end_offset);
  put_u64(out, f.dict_offset);
  put_u32(out, f.num_docs);
  put_u32(out, f.has_dict);
  put_u32(out, f.version);
  put_u32(out, f.magic);
}

}  // namespace

Bytes encode_records(std::span<const std::string> documents) {
  Bytes out;
  for (const std::string& doc : documents) {
    put_u32(out, static_cast<uint32_t>(doc.size()));
    out.insert(out.end(), doc.begin(), doc.end());
  }
  return out;
}

Bytes compress_block(std::span<const uint8_t> raw, const Bytes* dictionary, int level) {
  return compress(raw, dictionary, level);
}

Bytes train_dictionary(std::span<const std::string> samples, size_t max_size, uint32_t dict_id) {
  std::string joined;
  std::vector<size_t> sizes;
  for (const std::string& s : samples) {
    joined += s;
    sizes.push_back(s.size());
  }
  Bytes dict(max_size);
  // Finalizing a raw-content dictionary works even for few samples, where
  // training proper would refuse.
  ZDICT_params_t params{};
  params.dictID = dict_id;
  const size_t content = std::min(joined.size(), max_size / 2);
  const size_t n = ZDICT_finalizeDictionary(dict.data(), dict.size(), joined.data(), content, joined.data(),
                                            sizes.data(), static_cast<unsigned>(sizes.size()), params);
  if (ZDICT_isError(n)) throw std::runtime_error(ZDICT_getErrorName(n));
  dict.resize(n);
  return dict;
}

StoreFile write_store(std::span<const std::string> documents, const StoreOptions& options) {
  const size_t per_block = std::max<uint32_t>(options.docs_per_block, 1);
  std::vector<RawBlock> blocks;
  for (size_t first = 0; first < documents.size(); first += per_block) {
    const size_t count = std::min(per_block, documents.size() - first);
    const Bytes raw = encode_records(documents.subspan(first, count));
    blocks.push_back(RawBlock{static_cast<uint32_t>(first), static_cast<uint32_t>(count),
                              compress_block(raw, options.dictionary ? &*options.dictionary : nullptr,
                                             options.level)});
  }
  return assemble_store(blocks, options.dictionary, static_cast<uint32_t>(documents.size()));
}

StoreFile assemble_store(const std::vector<RawBlock>& blocks, const std::optional<Bytes>& dictionary,
                         uint32_t num_docs, const std::vector<StoreEntry>& extra_entries) {
  StoreFile file;
  for (const RawBlock& b : blocks) {
    file.index.push_back(StoreEntry{b.first_doc, file.bytes.size(), static_cast<uint32_t>(b.compressed.size()),
                                    b.num_docs});
    file.bytes.insert(file.bytes.end(), b.compressed.begin(), b.compressed.end());
  }
  file.index.insert(file.index.end(), extra_entries.begin(), extra_entries.end());
  file.footer.data_end_offset = file.bytes.size();
  file.footer.num_docs = num_docs;
  if (dictionary) {
    file.footer.dict_offset = file.bytes.size();
    file.footer.has_dict = 1;
    put_u32(file.bytes, static_cast<uint32_t>(dictionary->size()));
    file.bytes.insert(file.bytes.end(), dictionary->begin(), dictionary->end());
  }
  file.index_offset = file.bytes.size();
  put_u32(file.bytes, static_cast<uint32_t>(file.index.size()));
  for (const StoreEntry& e : file.index) write_entry(file.bytes, e);
  write_footer(file.bytes, file.footer);
  return file;
}

void patch_footer(Bytes& file, const StoreFooter& footer) {
  if (file.size() < 32) throw std::invalid_argument("file shorter than a footer");
  Bytes encoded;
  write_footer(encoded, footer);
  std::memcpy(file.data() + file.size() - 32, encoded.data(), 32);
}

void patch_index(Bytes& file, uint64_t index_offset, uint32_t count, const std::vector<StoreEntry>& entries) {
  Bytes encoded;
  put_u32(encoded, count);
  for (const StoreEntry& e : entries) write_entry(encoded, e);
  if (index_offset + encoded.size() + 32 > file.size()) throw std::invalid_argument("index does not fit");
  std::memcpy(file.data() + index_offset, encoded.data(), encoded.size());
}

}  // namespace zelvar::test_writer
