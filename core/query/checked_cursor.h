// Sound block posting lists, and a cursor over them.
//
// A block is sound when it decodes in full (every declared posting, each
// varint well formed) to at least one posting, its documents ascend strictly
// below TERMINATED, its last document is its skip entry's last document, and
// its first is above the previous entry's last document. A list is sound when
// every block is. A sound block decodes to exactly the postings
// BlockPostingIterator::load_block gives, and a sound list is a plain
// ascending set of documents, on which a TermScorer behaves as the ideal
// cursor it models.
//
// Anything else counts as unsound, including blocks that load_block would
// decode to a valid list by dropping postings: only the verdict "sound" has
// to be exact.
//
// Thread safety: functions over values the caller owns; a cursor belongs to
// one thread and borrows its list, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/query/traits.h"
#include "core/structures/postings/posting.h"

namespace zelvar {

// The largest term frequency of `list` when the list is sound (0 for a list
// without blocks), else nullopt. Reads every block once; runs of one-byte
// postings are checked four at a time.
std::optional<uint32_t> check_postings(const BlockPostingList& list);

// The number of postings of block b of `list` when the block is sound, else
// 0. When it is sound and `docs` and `term_freqs` are given, they receive its
// postings (grown to hold them, never beyond what the list's bytes can hold).
// Requires b < list.skip_list.size().
size_t decode_sound_block(const BlockPostingList& list, size_t b, std::vector<uint32_t>* docs,
                          std::vector<uint32_t>* term_freqs);

// A cursor over a list that check_postings() found sound, decoding one block
// at a time. Over any other list it stays within the list's bytes and comes
// to its end (at the latest at the first unsound block it decodes), but the
// documents it gives mean nothing.
class CheckedCursor {
 public:
  // Positioned on the list's first posting (TERMINATED for a list without
  // blocks).
  explicit CheckedCursor(const BlockPostingList& list);

  CheckedCursor(const CheckedCursor&) = delete;
  CheckedCursor& operator=(const CheckedCursor&) = delete;
  CheckedCursor(CheckedCursor&&) = default;
  CheckedCursor& operator=(CheckedCursor&&) = default;

  uint32_t doc() const { return doc_; }
  // The current posting's term frequency; requires doc() != TERMINATED.
  uint32_t term_freq() const { return term_freqs_[pos_]; }

  // The next document; requires doc() != TERMINATED.
  uint32_t advance() {
    if (++pos_ < len_) return doc_ = docs_[pos_];
    return next_block();
  }

  // The first document at or after `target`. A target at or before doc()
  // leaves the cursor where it is.
  uint32_t seek(uint32_t target) {
    if (doc_ >= target) return doc_;
    if (target > block_last_) return seek_forward(target);
    // The block's last document is at or above `target`, so the scan ends
    // inside the block.
    const uint32_t* docs = docs_.data();
    size_t pos = pos_;
    while (docs[pos] < target) ++pos;
    pos_ = pos;
    return doc_ = docs[pos];
  }

  // The current block's postings from the current one on: documents and
  // term frequencies. Empty once the cursor is at its end.
  std::span<const uint32_t> rest_of_block_docs() const;
  std::span<const uint32_t> rest_of_block_term_freqs() const;
  // Moves `n` postings on within the current block; requires n < the
  // length of rest_of_block_docs().
  void skip_in_block(size_t n) { doc_ = docs_[pos_ += n]; }
  // Moves to the next block's first posting and returns it, or TERMINATED.
  uint32_t next_block();

 private:
  // seek() to a target beyond the current block.
  uint32_t seek_forward(uint32_t target);
  // Decodes block b, which becomes current with the cursor on its first
  // posting; false, with the cursor at its end for good, when b is past the
  // last block or not sound.
  bool load(size_t b);

  const BlockPostingList* list_;
  std::vector<uint32_t> docs_;  // the current block: the first len_ entries
  std::vector<uint32_t> term_freqs_;
  size_t len_ = 0;
  size_t pos_ = 0;
  size_t block_ = 0;
  uint32_t block_last_ = 0;  // the current block's last document
  uint32_t doc_ = TERMINATED;
  bool ended_ = false;
};

}  // namespace zelvar
