// The term scorer's arithmetic modelled independently, for the query tests:
// the expected idf and score of a posting, computed without the scorer's code.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace zelvar::term_score_test {

// Rounds a double to f32 once. Every +, -, * and / below is carried out in
// double and rounded, which gives exactly the f32 result of the operation
// (double holds more than twice the f32 precision), so this reference shares
// no code path with the scorer's f32 arithmetic.
inline float r(double x) { return static_cast<float>(x); }

inline float reference_idf(uint32_t n, uint32_t df) {
  const float nf = r(double(n));
  const float dff = r(double(df));
  const float a = r(double(nf) - double(dff));
  const float b = r(double(a) + 0.5);
  const float c = r(double(dff) + 0.5);
  const float ratio = r(double(b) / double(c));
  return logf(r(double(ratio) + 1.0));
}

inline float reference_score(uint32_t term_freq, float avg_field_len, float idf) {
  const double k1 = double(1.2f);
  const double b = double(0.75f);
  const float tf = r(double(term_freq));
  const float m = std::isnan(avg_field_len) ? 1.0f : std::max(avg_field_len, 1.0f);
  const float ratio = r(double(tf) / double(m));
  const float norm = r(double(r(double(ratio) * b)) + double(r(1.0 - b)));
  const float tfw = r(double(tf) * 1.0);
  const float numerator = r(double(r(1.0 + k1)) * double(tfw));
  const float denominator = r(double(r(double(norm) * k1)) + double(tfw));
  return r(double(r(double(numerator) / double(denominator))) * double(idf));
}

}  // namespace zelvar::term_score_test
