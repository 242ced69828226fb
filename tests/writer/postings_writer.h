// Test-only writer of posting lists (".post") and inline postings: the exact
// bytes the engine's posting readers read. Never linked into the engine.
// Pure functions on the caller's buffers; safe from any thread.
//
// A ".post" file is the concatenation of lists; `append_posting_list` adds
// one and returns the TermInfo::External that points at it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/structures/postings/term_info.h"

namespace zelvar::test_writer {

// (local document, term frequency), ascending by document.
using DocTf = std::pair<uint32_t, uint32_t>;

// One encoded list: u32 doc count, u32 block count, 12-byte skip entries,
// u32 data length, block data. Blocks hold `block_size` postings (the last
// fewer).
std::vector<uint8_t> encode_posting_list(std::span<const DocTf> postings, size_t block_size = 128);

// Appends the list of `postings` to `post_file` and returns its TermInfo.
TermInfo append_posting_list(std::vector<uint8_t>& post_file, std::span<const DocTf> postings,
                             size_t block_size = 128);

// The TermInfo::Inline of `postings` (document deltas from 0), or absent when
// they take more than 16 bytes or number more than 255.
std::optional<TermInfo> inline_term_info(std::span<const DocTf> postings);

}  // namespace zelvar::test_writer
