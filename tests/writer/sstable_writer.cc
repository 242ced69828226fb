#include "tests/writer/sstable_writer.h"

#include <zdict.h>
#include <zstd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace zelvar::test_writer {

Bytes term_key(uint32_t field, std::string_view term) {
  Bytes key;
  put_u32(key, field);
  put_bytes(key, to_bytes(term));
  return key;
}

namespace {

size_t common_prefix(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

void put_prefixed_key(Bytes& out, std::span<const uint8_t> prev, std::span<const uint8_t> key) {
  const size_t shared = common_prefix(prev, key);
  put_vint(out, shared);
  put_vint(out, key.size() - shared);
  put_bytes(out, key.subspan(shared));
}

}  // namespace

uint64_t fnv1a_64(std::span<const uint8_t> key) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (uint8_t b : key) h = (h ^ b) * 0x100000001b3ULL;
  return h;
}

uint64_t fnv1_64_swapped_basis(std::span<const uint8_t> key) {
  uint64_t h = 0x84222325cbf29ce4ULL;
  for (uint8_t b : key) h = (h * 0x100000001b3ULL) ^ b;
  return h;
}

void encode_term_info(Bytes& out, const TermInfo& info) {
  if (const auto* in = info.as_inline()) {
    put_u8(out, 0xFF);
    put_u8(out, in->doc_count);
    put_u8(out, in->data_len);
    out.insert(out.end(), in->data.begin(), in->data.begin() + std::min<size_t>(in->data_len, 16));
  } else {
    const auto& e = *info.as_external();
    put_u8(out, 0x00);
    put_vint(out, e.doc_freq);
    put_vint(out, e.posting_offset);
    put_vint(out, e.posting_len);
  }
}

Bytes encode_block(std::span<const TermEntry> entries) {
  Bytes out;
  std::span<const uint8_t> prev;
  for (const TermEntry& e : entries) {
    put_prefixed_key(out, prev, e.key);
    encode_term_info(out, e.info);
    prev = e.key;
  }
  return out;
}

Bytes compress(std::span<const uint8_t> raw, const Bytes* dictionary, int level) {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  if (ctx == nullptr) throw std::runtime_error("ZSTD_createCCtx failed");
  Bytes out(ZSTD_compressBound(raw.size()));
  size_t n = dictionary
                 ? ZSTD_compress_usingDict(ctx, out.data(), out.size(), raw.data(), raw.size(),
                                           dictionary->data(), dictionary->size(), level)
                 : ZSTD_compressCCtx(ctx, out.data(), out.size(), raw.data(), raw.size(), level);
  ZSTD_freeCCtx(ctx);
  if (ZSTD_isError(n)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(n));
  out.resize(n);
  return out;
}

Bytes sample_dictionary() {
  // Raw content: zstd uses any bytes that lack the dictionary magic as a
  // prefix to match against.
  Bytes dict;
  for (int round = 0; round < 8; ++round) {
    for (std::string_view word : {"search", "engine", "term", "posting", "dictionary", "block",
                                  "segment", "document", "query", "index"}) {
      put_u32(dict, static_cast<uint32_t>(round));
      put_bytes(dict, to_bytes(word));
      put_u8(dict, 0x00);
      put_vint(dict, 1000 + round);
    }
  }
  return dict;
}

Bytes train_zstd_dictionary(std::span<const Bytes> samples, size_t max_size) {
  Bytes joined;
  std::vector<size_t> sizes;
  sizes.reserve(samples.size());
  for (const Bytes& sample : samples) {
    put_bytes(joined, sample);
    sizes.push_back(sample.size());
  }
  Bytes dict(max_size);
  const size_t n = ZDICT_trainFromBuffer(dict.data(), dict.size(), joined.data(), sizes.data(),
                                         static_cast<unsigned>(sizes.size()));
  if (ZDICT_isError(n)) throw std::runtime_error(std::string("zstd training: ") + ZDICT_getErrorName(n));
  dict.resize(n);
  return dict;
}

std::vector<Bytes> encode_blocks(std::span<const TermEntry> entries, size_t block_entries) {
  if (block_entries == 0) throw std::runtime_error("block_entries must be at least 1");
  std::vector<Bytes> blocks;
  for (size_t start = 0; start < entries.size(); start += block_entries) {
    blocks.push_back(encode_block(entries.subspan(start, std::min(block_entries, entries.size() - start))));
  }
  return blocks;
}

Bytes encode_index_region(std::span<const IndexEntrySpec> blocks, std::span<const SparseEntrySpec> sparse) {
  Bytes out;
  put_u32(out, static_cast<uint32_t>(blocks.size()));
  std::span<const uint8_t> prev;
  for (const auto& b : blocks) {
    put_prefixed_key(out, prev, b.first_key);
    put_vint(out, b.offset);
    put_vint(out, b.length);
    prev = b.first_key;
  }
  put_u32(out, static_cast<uint32_t>(sparse.size()));
  for (const auto& s : sparse) {
    put_u16(out, static_cast<uint16_t>(s.key.size()));
    put_bytes(out, s.key);
    put_u32(out, s.block_idx);
  }
  return out;
}

Bytes encode_bloom_raw(uint32_t num_bits, uint32_t num_hashes, std::span<const uint64_t> words,
                       std::optional<uint32_t> word_count) {
  Bytes out;
  put_u32(out, num_bits);
  put_u32(out, num_hashes);
  put_u32(out, word_count.value_or(static_cast<uint32_t>(words.size())));
  for (uint64_t w : words) put_u64(out, w);
  return out;
}

Bytes encode_bloom_section(std::span<const Bytes> keys, uint32_t num_bits, uint32_t num_hashes) {
  if (num_bits == 0) throw std::runtime_error("bloom filter needs bits");
  std::vector<uint64_t> words((num_bits + 63) / 64, 0);
  for (const Bytes& key : keys) {
    uint64_t h = fnv1a_64(key);
    const uint64_t step = fnv1_64_swapped_basis(key);
    for (uint32_t i = 0; i < num_hashes; ++i) {
      const uint64_t bit = h % num_bits;
      words[bit / 64] |= uint64_t{1} << (bit % 64);
      h += step;
    }
  }
  return encode_bloom_raw(num_bits, num_hashes, words);
}

Bytes encode_footer(const Footer& f) {
  Bytes out;
  put_u64(out, f.index_offset);
  put_u64(out, f.footer_u64);
  put_u64(out, f.bloom_offset);
  put_u64(out, f.dict_offset);
  put_u8(out, f.footer_u8);
  put_u32(out, f.magic);
  return out;
}

Bytes write_sstable(std::span<const TermEntry> entries, const SSTableOptions& options) {
  if (options.block_entries == 0) throw std::runtime_error("block_entries must be at least 1");
  for (size_t i = 1; i < entries.size(); ++i) {
    if (!std::lexicographical_compare(entries[i - 1].key.begin(), entries[i - 1].key.end(),
                                      entries[i].key.begin(), entries[i].key.end())) {
      throw std::runtime_error("sstable keys must ascend strictly");
    }
  }
  const Bytes* dict = options.dictionary ? &*options.dictionary : nullptr;

  Bytes file;
  if (entries.empty()) put_u8(file, 0);  // keeps the sections off offset 0
  std::vector<IndexEntrySpec> blocks;
  std::vector<SparseEntrySpec> sparse;
  for (size_t start = 0; start < entries.size(); start += options.block_entries) {
    const size_t len = std::min(options.block_entries, entries.size() - start);
    const auto run = entries.subspan(start, len);
    const Bytes compressed = compress(encode_block(run), dict, options.level);
    if (options.sparse_every != 0 && blocks.size() % options.sparse_every == 0) {
      sparse.push_back({run.front().key, static_cast<uint32_t>(blocks.size())});
    }
    blocks.push_back({run.front().key, file.size(), compressed.size()});
    put_bytes(file, compressed);
  }

  Footer footer;
  footer.footer_u64 = options.footer_u64;
  footer.footer_u8 = options.footer_u8;
  if (options.bloom) {
    std::vector<Bytes> keys;
    for (const auto& e : entries) keys.push_back(e.key);
    const uint32_t num_bits =
        static_cast<uint32_t>(std::max<size_t>(64, entries.size() * options.bloom_bits_per_key));
    footer.bloom_offset = file.size();
    put_bytes(file, encode_bloom_section(keys, num_bits, static_cast<uint32_t>(options.bloom_hashes)));
  }
  if (dict) {
    footer.dict_offset = file.size();
    put_u32(file, static_cast<uint32_t>(dict->size()));
    put_bytes(file, *dict);
  }
  footer.index_offset = file.size();
  put_bytes(file, encode_index_region(blocks, sparse));
  put_bytes(file, encode_footer(footer));
  return file;
}

}  // namespace zelvar::test_writer
