// Term queries and their BM25-style scorer.
//
// A TermQuery finds the documents of a segment that hold one term in one
// field. Its term is the query text lower-cased as a whole by the Unicode
// default case conversion; no tokenizer is consulted, so spaces and
// punctuation stay in the term.
//
// TermScorer walks the term's block posting list and scores each posting, as
// its TermWeight does, with
//
//   m     = max(avg_field_len, 1)          (a NaN average counts as 1)
//   norm  = (tf / m) * b + (1 - b)
//   tfw   = tf * boost
//   score = ((1 + k1) * tfw) / (norm * k1 + tfw) * idf
//
// every step one f32 operation in exactly this order, so that scores are
// reproducible bit for bit. The length ratio uses the term frequency over the
// average field length, because no index file holds per-document lengths.
// Without precomputed statistics
//
//   idf           = ln(((N - df) + 0.5) / (df + 0.5) + 1)   (f32, in this order)
//   avg_field_len = total_tokens / doc_count of the field's statistics, or 0
//
// with N the segment's document count and df the list's document count.
//
// Thread safety: a TermQuery is immutable. A TermScorer belongs to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/dsl/schema.h"
#include "core/query/traits.h"
#include "core/segment/segment_meta.h"
#include "core/structures/postings/posting.h"
#include "core/wand/wand.h"

namespace zelvar {

// The weight of one term's postings in one segment: the score of a posting as
// a function of its term frequency, from the term's idf and the field's
// average length. A plain value, cheap to copy.
class TermWeight {
 public:
  static constexpr float kK1 = 1.2f;
  static constexpr float kB = 0.75f;
  static constexpr float kBoost = 1.0f;

  TermWeight(float idf, float avg_field_len);

  // The score of a posting with term frequency `tf`.
  float score(uint32_t tf) const {
    return tf < kCachedScores ? cached_scores_[tf] : score_tf(static_cast<float>(tf));
  }

  // The score of a posting with term frequency `tf`, computed afresh.
  float score_tf(float tf) const {
    const float norm = (tf / length_divisor_) * kB + kOneMinusB;
    const float tfw = tf * kBoost;
    return ((kOnePlusK1 * tfw) / ((norm * kK1) + tfw)) * idf_;
  }

  // A float at or above score(tf) for every tf, when every score is a number
  // at or above zero, that is when idf is finite and not negative (precomputed
  // statistics may give any idf, and a list claiming more documents than its
  // segment holds a negative one); nullopt otherwise.
  std::optional<float> max_score() const;
  // As max_score(), for the term frequencies up to `max_tf` only: exact, the
  // largest of their scores, when they are all among the cached ones.
  std::optional<float> max_score(uint32_t max_tf) const;

  float idf() const { return idf_; }
  float avg_field_len() const { return avg_field_len_; }

 private:
  // Both are single f32 operations on the constants: 0.25 and the f32 sum of
  // 1.0 and 1.2.
  static constexpr float kOneMinusB = 1.0f - kB;
  static constexpr float kOnePlusK1 = 1.0f + kK1;

  // The score depends on nothing but the term frequency, and most term
  // frequencies are small: their scores are computed once, by score_tf.
  static constexpr uint32_t kCachedScores = 64;

  float idf_;
  float avg_field_len_;
  float length_divisor_;  // max(avg_field_len, 1), NaN counting as 1
  std::array<float, kCachedScores> cached_scores_;
};

class TermQuery final : public Query {
 public:
  // The query for `text` lower-cased as one string: full case mappings (one
  // character may become several) and the final form of capital sigma where
  // it ends a word. Byte sequences that are not UTF-8 are kept as they are.
  static TermQuery text(Field field, std::string_view text);

  // A query for the exact term bytes, with optional precomputed statistics:
  // the idf is looked up in `wand` under `field_name` when both are given, and
  // the average field length comes from `wand` whenever it is given.
  TermQuery(Field field, std::string term, std::optional<std::string> field_name = std::nullopt,
            std::shared_ptr<const WandData> wand = nullptr);

  // A positioned TermScorer, or EmptyScorer when the segment lacks the term;
  // fails with the posting lookup's error.
  Result<std::unique_ptr<Scorer>> scorer(const AsyncSegmentReader& reader) const override;
  // The term's document count in the segment, 0 when absent.
  Result<uint32_t> count_estimate(const AsyncSegmentReader& reader) const override;

  Field field() const { return field_; }
  const std::string& term() const { return term_; }  // UTF-8 bytes
  const std::optional<std::string>& field_name() const { return field_name_; }
  const std::shared_ptr<const WandData>& wand() const { return wand_; }

  // The scorer over `list` (already looked up) with the statistics of
  // `meta`; the step of `scorer` after the lookup.
  std::unique_ptr<Scorer> scorer_for(BlockPostingList list, const SegmentMeta& meta) const;
  // The weight that scorer gives a list of `doc_freq` postings: idf and
  // average field length from the precomputed statistics where the query
  // carries them, else from `meta`.
  TermWeight weight(uint32_t doc_freq, const SegmentMeta& meta) const;

 private:
  std::string term_;
  std::optional<std::string> field_name_;
  std::shared_ptr<const WandData> wand_;
  Field field_;
};

class TermScorer final : public Scorer {
 public:
  static constexpr float kK1 = TermWeight::kK1;
  static constexpr float kB = TermWeight::kB;
  static constexpr float kBoost = TermWeight::kBoost;

  // Positioned on the first posting of `list` (TERMINATED for a list
  // without blocks).
  TermScorer(BlockPostingList list, float idf, float avg_field_len);
  TermScorer(BlockPostingList list, const TermWeight& weight);

  // idf from the segment's document count and the term's document count.
  static float compute_idf(uint32_t num_docs, uint32_t doc_freq);
  // The average length of `field` from the segment's statistics; 0 when the
  // field has no entry or no documents.
  static float compute_avg_field_len(const SegmentMeta& meta, Field field);

  uint32_t doc() const override {
    const size_t cursor = iterator_.cursor();
    if (iterator_.exhausted() || cursor >= iterator_.block_len()) return TERMINATED;
    return iterator_.doc_at(cursor);
  }

  float score() const override {
    const size_t cursor = iterator_.cursor();
    uint32_t tf = 0;
    if (!iterator_.exhausted() && cursor < iterator_.block_len()) {
      tf = iterator_.term_freq_at(cursor);
    }
    return weight_.score(tf);
  }

  uint32_t advance() override {
    if (iterator_.exhausted()) return TERMINATED;
    const size_t cursor = iterator_.cursor() + 1;
    iterator_.set_cursor(cursor);
    if (cursor >= iterator_.block_len()) return next_block();
    return iterator_.doc_at(cursor);
  }

  // Never moves back: the skip entries are searched from the current block.
  uint32_t seek(uint32_t target) override;
  uint32_t size_hint() const override { return 0; }

  // The score of a posting with term frequency `tf`.
  float score_tf(float tf) const { return weight_.score_tf(tf); }

  const TermWeight& weight() const { return weight_; }
  float idf() const { return weight_.idf(); }
  float avg_field_len() const { return weight_.avg_field_len(); }

 private:
  uint32_t next_block();
  // The first block at or after `from` whose last document is at or above
  // `target`, or the block count.
  size_t find_block(size_t from, uint32_t target) const;

  BlockPostingIterator iterator_;
  TermWeight weight_;
  // Whether the skip entries' last documents ascend, so that a seek may
  // binary-search them.
  bool skip_sorted_;
};

}  // namespace zelvar
