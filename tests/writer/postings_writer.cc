#include "tests/writer/postings_writer.h"

#include <algorithm>
#include <stdexcept>

#include "tests/writer/sstable_writer.h"

namespace zelvar::test_writer {

std::vector<uint8_t> encode_posting_list(std::span<const DocTf> postings, size_t block_size) {
  if (block_size == 0) throw std::runtime_error("block_size must be at least 1");
  Bytes skips;
  Bytes data;
  uint32_t blocks = 0;
  for (size_t start = 0; start < postings.size(); start += block_size) {
    const auto run = postings.subspan(start, std::min(block_size, postings.size() - start));
    put_u32(skips, run.front().first);
    put_u32(skips, run.back().first);
    put_u32(skips, static_cast<uint32_t>(data.size()));
    put_vint(data, run.size());
    uint32_t prev = 0;
    for (const auto& [doc, tf] : run) {
      put_vint(data, static_cast<uint32_t>(doc - prev));
      put_vint(data, tf);
      prev = doc;
    }
    ++blocks;
  }
  Bytes out;
  put_u32(out, static_cast<uint32_t>(postings.size()));
  put_u32(out, blocks);
  put_bytes(out, skips);
  put_u32(out, static_cast<uint32_t>(data.size()));
  put_bytes(out, data);
  return out;
}

TermInfo append_posting_list(std::vector<uint8_t>& post_file, std::span<const DocTf> postings,
                             size_t block_size) {
  const Bytes list = encode_posting_list(postings, block_size);
  TermInfo::External e;
  e.doc_freq = static_cast<uint32_t>(postings.size());
  e.posting_offset = post_file.size();
  e.posting_len = static_cast<uint32_t>(list.size());
  put_bytes(post_file, list);
  return TermInfo(e);
}

std::optional<TermInfo> inline_term_info(std::span<const DocTf> postings) {
  if (postings.size() > 255) return std::nullopt;
  Bytes data;
  uint32_t prev = 0;
  for (const auto& [doc, tf] : postings) {
    put_vint(data, static_cast<uint32_t>(doc - prev));
    put_vint(data, tf);
    prev = doc;
  }
  if (data.size() > TermInfo::kMaxInlineLen) return std::nullopt;
  TermInfo::Inline in;
  in.doc_count = static_cast<uint8_t>(postings.size());
  in.data_len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), in.data.begin());
  return TermInfo(in);
}

}  // namespace zelvar::test_writer
