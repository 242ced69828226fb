#include "core/structures/postings/posting.h"

#include <algorithm>

#include "core/directories/byte_cursor.h"
#include "core/error/result.h"

namespace zelvar {
namespace {

void write_vint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v) | 0x80);
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

// One list from the front of `bytes`; running out leaves `bytes` empty.
IoResult<BlockPostingList> read_list(ByteCursor& bytes) {
  BlockPostingList list;
  ZELVAR_TRY(list.doc_count, bytes.u32());
  ZELVAR_TRY(const uint32_t block_count, bytes.u32());
  // The count comes from the file: reserve only what the bytes can hold.
  list.skip_list.reserve(std::min<size_t>(block_count, bytes.remaining() / SkipEntry::kEncodedLen));
  for (uint32_t i = 0; i < block_count; ++i) {
    SkipEntry e;
    ZELVAR_TRY(e.first_doc, bytes.u32());
    ZELVAR_TRY(e.last_doc, bytes.u32());
    ZELVAR_TRY(e.offset, bytes.u32());
    list.skip_list.push_back(e);
  }
  ZELVAR_TRY(const uint32_t data_len, bytes.u32());
  ZELVAR_TRY(const std::span<const uint8_t> data, bytes.take(data_len));
  list.data.assign(data.begin(), data.end());
  return list;
}

}  // namespace

IoResult<BlockPostingList> BlockPostingList::deserialize(std::span<const uint8_t>& cursor) {
  ByteCursor bytes(cursor);
  auto list = read_list(bytes);
  cursor = bytes.rest();
  return list;
}

BlockPostingList BlockPostingList::from_posting_list(std::span<const Posting> postings) {
  BlockPostingList list;
  list.skip_list.reserve((postings.size() + kBlockSize - 1) / kBlockSize);
  for (size_t start = 0; start < postings.size(); start += kBlockSize) {
    const size_t len = std::min(kBlockSize, postings.size() - start);
    const auto run = postings.subspan(start, len);
    list.skip_list.push_back(SkipEntry{run.front().doc_id, run.back().doc_id,
                                       static_cast<uint32_t>(list.data.size())});
    write_vint(list.data, len);
    uint32_t prev = 0;
    for (const Posting& p : run) {
      write_vint(list.data, p.doc_id - prev);  // the first of a run: prev is 0
      write_vint(list.data, p.term_freq);
      prev = p.doc_id;
    }
  }
  list.doc_count = static_cast<uint32_t>(postings.size());
  return list;
}

BlockPostingIterator::BlockPostingIterator(BlockPostingList list)
    : BlockPostingIterator(std::make_shared<const BlockPostingList>(std::move(list))) {}

BlockPostingIterator::BlockPostingIterator(const BlockPostingList* list)
    : BlockPostingIterator(std::shared_ptr<const BlockPostingList>(std::shared_ptr<void>(), list)) {}

BlockPostingIterator::BlockPostingIterator(std::shared_ptr<const BlockPostingList> list)
    : list_(std::move(list)) {
  if (list_->skip_list.empty()) {
    exhausted_ = true;
  } else {
    load_block(0);
  }
}

void BlockPostingIterator::load_block(size_t b) {
  const auto& skips = list_->skip_list;
  if (b >= skips.size()) {
    exhausted_ = true;
    return;
  }
  current_block_ = b;
  cursor_ = 0;
  len_ = 0;

  const auto& data = list_->data;
  const size_t offset = skips[b].offset;
  // An offset past the data belongs to a corrupt list: the block stays empty.
  if (offset >= data.size()) return;
  const uint8_t* p = data.data() + offset;
  const uint8_t* const end = data.data() + data.size();

  uint64_t count = 0;
  if (decode_vint(p, end, count) != VintStatus::kOk) return;
  // Every posting takes at least two bytes, which bounds both the room the
  // count may claim and the postings the block can yield.
  const size_t room = std::min<uint64_t>(count, static_cast<size_t>(end - p) / 2);
  if (docs_.size() < room) {
    docs_.resize(room);
    term_freqs_.resize(room);
  }
  uint32_t* const docs = docs_.data();
  uint32_t* const tfs = term_freqs_.data();
  size_t n = 0;
  uint32_t doc = 0;
  for (uint64_t i = 0; i < count; ++i) {
    // With the bytes used up every later read fails too, so the remaining
    // pairs would all be skipped.
    if (p == end) break;
    uint64_t delta = 0;
    uint64_t tf = 0;
    // Fast path: both varints take one byte, the common case by far.
    if (end - p >= 2 && (p[0] | p[1]) < 0x80) {
      delta = p[0];
      tf = p[1];
      p += 2;
    } else if (end - p >= 20) {
      // Two varints of at most ten bytes each cannot run past the end.
      const VintStatus s1 = decode_vint_unchecked(p, delta);
      const VintStatus s2 = decode_vint_unchecked(p, tf);
      if (s1 != VintStatus::kOk || s2 != VintStatus::kOk) continue;
    } else {
      const VintStatus s1 = decode_vint(p, end, delta);
      const VintStatus s2 = decode_vint(p, end, tf);
      // A pair that does not decode is dropped and the document stays.
      if (s1 != VintStatus::kOk || s2 != VintStatus::kOk) continue;
    }
    doc += static_cast<uint32_t>(delta);
    docs[n] = doc;
    tfs[n] = static_cast<uint32_t>(tf);
    ++n;
  }
  len_ = n;
}

}  // namespace zelvar
