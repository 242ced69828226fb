// Block posting lists: a term's (document, term frequency) postings cut into
// blocks of at most 128, each summarised by a SkipEntry.
//
// A posting list in ".post" (little-endian):
//
//   u32 doc_count | u32 block_count b | b x SkipEntry (12 bytes each)
//   | u32 data_len d | d bytes of encoded blocks | (ignored)
//
// An encoded block, at its SkipEntry::offset within the block data:
//
//   varint count c | c x (varint doc, varint term_freq)
//
// The first doc of a block is the document number itself, every later one the
// difference from the previous posting's document (modulo 2^32).
//
// A BlockPostingIterator decodes one block at a time into two flat arrays,
// reused from block to block; the term scorer moves its cursor.
//
// Thread safety: plain values; an iterator belongs to one scorer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/directories/byte_cursor.h"
#include "core/error/io_error.h"
#include "core/structures/postings/posting_common.h"

namespace zelvar {

struct Posting {
  uint32_t doc_id = 0;     // segment-local document number
  uint32_t term_freq = 0;  // occurrences of the term in that document
  friend bool operator==(const Posting&, const Posting&) = default;
};

// Postings in ascending document order.
using PostingList = std::vector<Posting>;

struct BlockPostingList {
  static constexpr size_t kBlockSize = 128;

  std::vector<SkipEntry> skip_list;  // one per block, in order
  std::vector<uint8_t> data;         // the encoded blocks
  uint32_t doc_count = 0;            // number of postings (the term's document frequency)

  // Reads one list from the front of `cursor`, leaving the cursor after the
  // block data (trailing bytes stay unread). Any field that runs past the end
  // fails with UnexpectedEof "failed to fill whole buffer".
  static IoResult<BlockPostingList> deserialize(std::span<const uint8_t>& cursor);

  // The block form of `postings`: runs of 128 (the last may be shorter),
  // varints in their shortest form. Cannot fail.
  static BlockPostingList from_posting_list(std::span<const Posting> postings);

  friend bool operator==(const BlockPostingList&, const BlockPostingList&) = default;
};

class BlockPostingIterator {
 public:
  // Positioned like a fresh term scorer: a list without blocks starts
  // exhausted, any other with block 0 loaded and the cursor on its first
  // posting.
  explicit BlockPostingIterator(BlockPostingList list);
  // Borrows `list` (not null), which must outlive the iterator.
  explicit BlockPostingIterator(const BlockPostingList* list);
  // Shares ownership of `list`.
  explicit BlockPostingIterator(std::shared_ptr<const BlockPostingList> list);

  // Makes block b current (cursor 0) and decodes it; when b is not below the
  // number of blocks, only marks the iterator exhausted. Never fails: postings
  // that do not decode are dropped, so a damaged block yields fewer postings
  // or none. Nothing outside the list's data is read.
  void load_block(size_t b);

  const BlockPostingList& list() const { return *list_; }
  std::span<const SkipEntry> skip_list() const { return list_->skip_list; }

  // The decoded postings of the current block, as parallel arrays. The
  // accessors by position require i < block_len(). The term scorer moves the
  // cursor itself; nothing here reads it.
  std::span<const uint32_t> block_docs() const { return {docs_.data(), len_}; }
  std::span<const uint32_t> block_term_freqs() const { return {term_freqs_.data(), len_}; }
  size_t block_len() const { return len_; }
  uint32_t doc_at(size_t i) const { return docs_[i]; }
  uint32_t term_freq_at(size_t i) const { return term_freqs_[i]; }

  size_t current_block() const { return current_block_; }
  size_t cursor() const { return cursor_; }
  void set_cursor(size_t cursor) { cursor_ = cursor; }
  bool exhausted() const { return exhausted_; }

 private:
  std::shared_ptr<const BlockPostingList> list_;
  // The current block's postings are the first len_ entries of these two
  // arrays; they only grow, so decoding a block allocates nothing once they
  // have room for a full block.
  std::vector<uint32_t> docs_;
  std::vector<uint32_t> term_freqs_;
  size_t len_ = 0;
  size_t current_block_ = 0;
  size_t cursor_ = 0;
  bool exhausted_ = false;
};

namespace posting {

// The posting reader's varint reader (see zelvar::read_vint).
using ::zelvar::read_vint;

}  // namespace posting
}  // namespace zelvar
