#include "core/structures/postings/term_info.h"

#include <algorithm>
#include <span>

#include "core/structures/postings/posting.h"

namespace zelvar {

std::optional<std::pair<std::vector<uint32_t>, std::vector<uint32_t>>> TermInfo::decode_inline(
    const TermInfo& info) {
  const Inline* in = info.as_inline();
  if (in == nullptr) return std::nullopt;
  // data_len never exceeds the array for infos read from a dictionary; the
  // clamp keeps a hand-built info from reading past it.
  const size_t len = std::min<size_t>(in->data_len, kMaxInlineLen);
  std::span<const uint8_t> cursor(in->data.data(), len);
  std::vector<uint32_t> docs;
  std::vector<uint32_t> term_freqs;
  // Each pair takes at least two bytes: reserve no more than the data holds.
  const size_t room = std::min<size_t>(in->doc_count, len / 2);
  docs.reserve(room);
  term_freqs.reserve(room);
  uint32_t doc = 0;
  for (unsigned i = 0; i < in->doc_count; ++i) {
    auto delta = posting::read_vint(cursor);
    if (!delta) return std::nullopt;
    auto tf = posting::read_vint(cursor);
    if (!tf) return std::nullopt;
    doc += static_cast<uint32_t>(*delta);
    docs.push_back(doc);
    term_freqs.push_back(static_cast<uint32_t>(*tf));
  }
  return std::pair{std::move(docs), std::move(term_freqs)};
}

}  // namespace zelvar
