#include "core/query/term.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/dsl/utf8.h"
#include "core/error/result.h"
#include "core/segment/reader.h"

namespace zelvar {
namespace {

// Lower-cases `text` as one string with the root locale: language-neutral
// full mappings plus the Final_Sigma context of capital sigma. Ill-formed
// UTF-8 passes through unchanged.
void append_lower(std::string_view text, std::string& out) {
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    throw std::runtime_error(std::string("lower-casing failed: ") + u_errorName(status));
  }
}

std::string lower_case(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // The case mapper takes at most INT32_MAX bytes at a time. Longer texts are
  // cut at a character boundary; only the sigma context can differ across a
  // cut, a gigabyte into a query text.
  constexpr size_t kMaxPiece = size_t{1} << 30;
  while (text.size() > kMaxPiece) {
    size_t cut = kMaxPiece;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) cut = kMaxPiece;
    append_lower(text.substr(0, cut), out);
    text.remove_prefix(cut);
  }
  append_lower(text, out);
  return out;
}

}  // namespace

// ---- TermQuery ------------------------------------------------------------

TermQuery TermQuery::text(Field field, std::string_view text) {
  return TermQuery(field, lower_case(text));
}

TermQuery::TermQuery(Field field, std::string term, std::optional<std::string> field_name,
                     std::shared_ptr<const WandData> wand)
    : term_(std::move(term)),
      field_name_(std::move(field_name)),
      wand_(std::move(wand)),
      field_(field) {}

Result<std::unique_ptr<Scorer>> TermQuery::scorer(const AsyncSegmentReader& reader) const {
  ZELVAR_TRY(std::optional<BlockPostingList> list,
             reader.get_postings(field_, std::string_view(term_)));
  if (!list.has_value()) return std::make_unique<EmptyScorer>();
  return scorer_for(std::move(*list), reader.meta());
}

Result<uint32_t> TermQuery::count_estimate(const AsyncSegmentReader& reader) const {
  ZELVAR_TRY(std::optional<BlockPostingList> list,
             reader.get_postings(field_, std::string_view(term_)));
  return list.has_value() ? list->doc_count : 0u;
}

std::unique_ptr<Scorer> TermQuery::scorer_for(BlockPostingList list,
                                              const SegmentMeta& meta) const {
  const TermWeight term_weight = weight(list.doc_count, meta);
  return std::make_unique<TermScorer>(std::move(list), term_weight);
}

TermWeight TermQuery::weight(uint32_t doc_freq, const SegmentMeta& meta) const {
  std::optional<float> idf;
  if (wand_ != nullptr && field_name_.has_value()) {
    idf = wand_->get_idf(*field_name_, utf8_lossy(term_));
  }
  if (!idf.has_value()) idf = TermScorer::compute_idf(meta.num_docs, doc_freq);
  const float avg_field_len =
      wand_ != nullptr ? wand_->avg_field_len : TermScorer::compute_avg_field_len(meta, field_);
  return TermWeight(*idf, avg_field_len);
}

// ---- TermWeight -------------------------------------------------------------

TermWeight::TermWeight(float idf, float avg_field_len)
    : idf_(idf),
      avg_field_len_(avg_field_len),
      length_divisor_(std::isnan(avg_field_len) ? 1.0f : std::max(avg_field_len, 1.0f)) {
  for (uint32_t tf = 0; tf < kCachedScores; ++tf) {
    cached_scores_[tf] = score_tf(static_cast<float>(tf));
  }
}

// In real arithmetic the ratio ((1 + k1) * tf) / (norm * k1 + tf) grows with
// tf towards G = (1 + k1) / (k1 * b / m + 1). Its f32 evaluation rounds seven
// times, each by a relative 2^-24 at most (every intermediate is a normal
// number while m < 1e30), so it stays below G * (1 + 1e-6); the final product
// with a non-negative idf is monotone in the ratio. For m at or above 1e30,
// tf / m may be subnormal; there the denominator is still at least tf, which
// bounds the ratio by 1 + k1 alone.
std::optional<float> TermWeight::max_score() const {
  if (!(idf_ >= 0.0f) || !std::isfinite(idf_)) return std::nullopt;
  const double one_plus_k1 = kOnePlusK1;
  const double ratio = length_divisor_ < 1e30f
                           ? one_plus_k1 / (double{kK1} * double{kB} / length_divisor_ + 1.0)
                           : one_plus_k1;
  const float ratio_bound =
      std::nextafter(static_cast<float>(ratio * (1.0 + 1e-6)), std::numeric_limits<float>::infinity());
  return ratio_bound * idf_;
}

std::optional<float> TermWeight::max_score(uint32_t max_tf) const {
  if (max_tf >= kCachedScores) return max_score();
  if (!(idf_ >= 0.0f) || !std::isfinite(idf_)) return std::nullopt;
  return *std::max_element(cached_scores_.begin(), cached_scores_.begin() + max_tf + 1);
}

// ---- TermScorer -------------------------------------------------------------

TermScorer::TermScorer(BlockPostingList list, float idf, float avg_field_len)
    : TermScorer(std::move(list), TermWeight(idf, avg_field_len)) {}

TermScorer::TermScorer(BlockPostingList list, const TermWeight& weight)
    : iterator_(std::move(list)), weight_(weight) {
  const auto skips = iterator_.skip_list();
  skip_sorted_ = std::is_sorted(skips.begin(), skips.end(),
                                [](const SkipEntry& a, const SkipEntry& b) {
                                  return a.last_doc < b.last_doc;
                                });
}

float TermScorer::compute_idf(uint32_t num_docs, uint32_t doc_freq) {
  const float n = static_cast<float>(num_docs);
  const float df = static_cast<float>(doc_freq);
  const float ratio = ((n - df) + 0.5f) / (df + 0.5f);
  return std::log(ratio + 1.0f);
}

float TermScorer::compute_avg_field_len(const SegmentMeta& meta, Field field) {
  const auto it = meta.field_stats.find(field);
  if (it == meta.field_stats.end() || it->second.doc_count == 0) return 0.0f;
  return static_cast<float>(it->second.total_tokens) / static_cast<float>(it->second.doc_count);
}

uint32_t TermScorer::next_block() {
  iterator_.load_block(iterator_.current_block() + 1);
  if (iterator_.exhausted() || iterator_.block_len() == 0) return TERMINATED;
  return iterator_.doc_at(0);
}

size_t TermScorer::find_block(size_t from, uint32_t target) const {
  const auto skips = iterator_.skip_list();
  if (from >= skips.size()) return skips.size();
  if (skip_sorted_) {
    // Most seeks of an intersection land in the current block; spare them
    // the binary search when the answer is plainly that block.
    const size_t current = iterator_.current_block();
    if (current >= from && current < skips.size() && skips[current].last_doc >= target &&
        (current == from || skips[current - 1].last_doc < target)) {
      return current;
    }
    const auto it = std::partition_point(skips.begin() + static_cast<ptrdiff_t>(from), skips.end(),
                                         [target](const SkipEntry& e) { return e.last_doc < target; });
    return static_cast<size_t>(it - skips.begin());
  }
  for (size_t i = from; i < skips.size(); ++i) {
    if (skips[i].last_doc >= target) return i;
  }
  return skips.size();
}

// The skip entries are searched from the current block on, never from the
// first: a seek never moves the scorer back. On sound data this finds the same
// block as a search from the first entry whenever `target` is at or after
// doc(), since every earlier block ends below the current document. On data
// whose skip entries disagree with their blocks, a search from the first entry
// could send the scorer back to a block it has left, and an intersection that
// advances and seeks in turn would then revisit the same documents for ever.
uint32_t TermScorer::seek(uint32_t target) {
  if (iterator_.exhausted()) return TERMINATED;
  const size_t blocks = iterator_.skip_list().size();
  size_t block = find_block(iterator_.current_block(), target);
  for (;;) {
    if (block >= blocks) {
      iterator_.load_block(blocks);  // marks the iterator exhausted
      return TERMINATED;
    }
    if (block != iterator_.current_block()) iterator_.load_block(block);
    const size_t len = iterator_.block_len();
    size_t cursor = iterator_.cursor();
    while (cursor < len && iterator_.doc_at(cursor) < target) ++cursor;
    iterator_.set_cursor(cursor);
    if (cursor < len) return iterator_.doc_at(cursor);
    // The block's postings end below `target` although its skip entry said
    // otherwise, which only corrupt data does. Go on from the next block:
    // searching the skip entries from the first again would find this same
    // block every time and never end.
    iterator_.load_block(iterator_.current_block() + 1);
    if (iterator_.exhausted()) return TERMINATED;
    block = find_block(iterator_.current_block(), target);
  }
}

}  // namespace zelvar
