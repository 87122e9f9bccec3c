// Batcher's network generated for any count, pruned backwards from the middle, and run
// eight columns at a time (SSE2 min/max on pairs of doubles where available).
#include "engine/mediannet.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mediannet {

Network::Network(int n) {
  if (n < 1 || n > kMaxValues) return;
  m_nCount = n;
  // Batcher's odd-even merge sort over the next power of two with the positions past n
  // holding +∞: a compare-exchange that reaches such a position never moves anything,
  // so only those within [0, n) are listed.
  std::vector<std::uint16_t> all;
  for (int p = 1; p < n; p *= 2)
    for (int k = p; k >= 1; k /= 2)
      for (int j = k % p; j + k < n; j += 2 * k)
        for (int i = 0; i < std::min(k, n - j - k); ++i)
          if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) {
            all.push_back(static_cast<std::uint16_t>(i + j));
            all.push_back(static_cast<std::uint16_t>(i + j + k));
          }
  // Backwards from the outputs: a compare-exchange is kept when it writes a position
  // still needed, and then both its inputs are needed.
  bool needed[kMaxValues] = {};
  needed[n / 2] = true;
  if (n % 2 == 0) needed[n / 2 - 1] = true;
  std::vector<std::uint16_t> kept;
  for (std::size_t c = all.size(); c >= 2; c -= 2) {
    const int i = all[c - 2], j = all[c - 1];
    if (!needed[i] && !needed[j]) continue;
    needed[i] = needed[j] = true;
    kept.push_back(static_cast<std::uint16_t>(j));
    kept.push_back(static_cast<std::uint16_t>(i));
  }
  m_Pairs.assign(kept.rbegin(), kept.rend());
}

bool Network::Block(const double* in, std::size_t stride, double* out) const {
  const int n = m_nCount;
  if (n < 1) return false;
  const int half = n / 2;
#if defined(__SSE2__)
  constexpr int kRegs = kColumns / 2;
  __m128d v[kMaxValues][kRegs];
  // x − x is 0 for a finite x and NaN otherwise; the comparison with 0 keeps the finite.
  __m128d finite = _mm_castsi128_pd(_mm_set1_epi32(-1));
  const __m128d zero = _mm_setzero_pd();
  for (int f = 0; f < n; ++f)
    for (int r = 0; r < kRegs; ++r) {
      const __m128d x = _mm_loadu_pd(in + f * stride + 2 * r);
      finite = _mm_and_pd(finite, _mm_cmpeq_pd(_mm_sub_pd(x, x), zero));
      v[f][r] = x;
    }
  if (_mm_movemask_pd(finite) != 3) return false;
  for (std::size_t c = 0; c < m_Pairs.size(); c += 2) {
    __m128d* a = v[m_Pairs[c]];
    __m128d* b = v[m_Pairs[c + 1]];
    for (int r = 0; r < kRegs; ++r) {
      const __m128d lo = _mm_min_pd(a[r], b[r]);
      b[r] = _mm_max_pd(a[r], b[r]);
      a[r] = lo;
    }
  }
  for (int r = 0; r < kRegs; ++r) {
    const __m128d upper = v[half][r];
    _mm_storeu_pd(out + 2 * r,
                  n % 2 ? upper : _mm_div_pd(_mm_add_pd(v[half - 1][r], upper), _mm_set1_pd(2.0)));
  }
#else
  double v[kMaxValues][kColumns];
  for (int f = 0; f < n; ++f)
    for (int r = 0; r < kColumns; ++r) {
      const double x = in[f * stride + r];
      if (!std::isfinite(x)) return false;
      v[f][r] = x;
    }
  for (std::size_t c = 0; c < m_Pairs.size(); c += 2) {
    double* a = v[m_Pairs[c]];
    double* b = v[m_Pairs[c + 1]];
    for (int r = 0; r < kColumns; ++r) {
      const double lo = std::min(a[r], b[r]);
      b[r] = std::max(a[r], b[r]);
      a[r] = lo;
    }
  }
  for (int r = 0; r < kColumns; ++r)
    out[r] = n % 2 ? v[half][r] : (v[half - 1][r] + v[half][r]) / 2;
#endif
  return true;
}

}  // namespace mediannet
