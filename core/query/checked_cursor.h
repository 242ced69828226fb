// A cursor over one block posting list that checks every block it decodes.
//
// A block is sound when it decodes in full (every declared posting, each
// varint well formed) to at least one posting, its documents ascend strictly
// below TERMINATED, its last document is its skip entry's last document, and
// its first is above the previous entry's last document. A sound block decodes
// to exactly the postings BlockPostingIterator::load_block gives, and a list
// of sound blocks is a plain ascending set of documents, on which a
// TermScorer behaves as the ideal cursor it models.
//
// The cursor decodes blocks in order and checks each, also those a seek
// passes over, so every block up to the current one is known sound;
// check_rest() checks the others. Once a check fails the cursor is damaged
// and answers TERMINATED for good. Anything not sound counts as damaged,
// including blocks that load_block would decode to a valid list by dropping
// postings: only the verdict "sound" has to be exact.
//
// Thread safety: a cursor belongs to one thread. It borrows its list, which
// must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/query/traits.h"
#include "core/structures/postings/posting.h"

namespace zelvar {

class CheckedCursor {
 public:
  // Positioned on the list's first posting (TERMINATED for a list without
  // blocks, or when block 0 or the order of the skip entries is damaged).
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

  // Checks every block not checked yet; whether the whole list is sound.
  // The position does not change, unless damage is found.
  bool check_rest();
  bool damaged() const { return damaged_; }

 private:
  // seek() to a target beyond the current block.
  uint32_t seek_forward(uint32_t target);
  // Decodes and checks block b, which becomes current with the cursor on its
  // first posting; false, with the cursor at its end, when b is past the last
  // block or not sound.
  bool load(size_t b);

  const BlockPostingList* list_;
  std::vector<uint32_t> docs_;        // the current block: the first len_ entries
  std::vector<uint32_t> term_freqs_;
  size_t len_ = 0;
  size_t pos_ = 0;
  size_t block_ = 0;    // the current block; every block up to it is sound
  uint32_t block_last_ = 0;  // its last document
  size_t checked_ = 0;  // blocks [0, checked_) are known sound
  uint32_t doc_ = TERMINATED;
  bool damaged_ = false;
};

// The number of postings of block b of `list` when the block is sound, else
// 0. When it is sound and `docs` and `term_freqs` are given, they receive its
// postings (grown to hold them, never beyond what the list's bytes can hold).
// Requires b < list.skip_list.size().
size_t decode_sound_block(const BlockPostingList& list, size_t b, std::vector<uint32_t>* docs,
                          std::vector<uint32_t>* term_freqs);

}  // namespace zelvar
