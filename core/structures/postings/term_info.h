// TermInfo: what the term dictionary stores for one term.
//
// A term with few postings carries them inline (at most 16 bytes of varint
// pairs, decoded by `decode_inline`); any other term points at its posting list
// in the segment's ".post" file. The dictionary's entry encoding of a TermInfo
// is read by the term dictionary reader (core/structures/sstable/sstable.h).
//
// Thread safety: a plain value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace zelvar {

struct TermInfo {
  static constexpr size_t kMaxInlineLen = 16;

  struct Inline {
    uint8_t doc_count = 0;  // postings held inline
    uint8_t data_len = 0;   // bytes used in `data`, at most kMaxInlineLen
    std::array<uint8_t, kMaxInlineLen> data{};  // zero past data_len
    friend bool operator==(const Inline&, const Inline&) = default;
  };

  struct External {
    uint32_t doc_freq = 0;        // documents of the term
    uint64_t posting_offset = 0;  // byte offset of the list in ".post"
    uint32_t posting_len = 0;     // byte length of the list
    friend bool operator==(const External&, const External&) = default;
  };

  std::variant<Inline, External> value;

  TermInfo() : value(Inline{}) {}
  TermInfo(Inline v) : value(v) {}
  TermInfo(External v) : value(v) {}

  bool is_inline() const { return std::holds_alternative<Inline>(value); }
  // Null when the info is of the other kind.
  const Inline* as_inline() const { return std::get_if<Inline>(&value); }
  const External* as_external() const { return std::get_if<External>(&value); }

  // The inline postings as (documents, term frequencies), both of length
  // doc_count: doc_count pairs (document difference, frequency) read from the
  // first data_len bytes, documents accumulating from 0 modulo 2^32. Absent
  // for an External info or when a varint of the pairs does not decode.
  static std::optional<std::pair<std::vector<uint32_t>, std::vector<uint32_t>>> decode_inline(
      const TermInfo& info);

  friend bool operator==(const TermInfo&, const TermInfo&) = default;
};

}  // namespace zelvar
