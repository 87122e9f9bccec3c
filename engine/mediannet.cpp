// Batcher's network generated for any count, pruned backwards from the middle, and run
// eight columns at a time; and the bitwise selection on 16-bit keys. Both use SSE2 (min/max
// on pairs of doubles, comparisons of eight keys at once) where available, unless
// MEDIANNET_PLAIN asks for the plain code, which the tests also run.
#include "engine/mediannet.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) && !defined(MEDIANNET_PLAIN)
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
#if defined(__SSE2__) && !defined(MEDIANNET_PLAIN)
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
  if (n >= kZeroSignFrom) {
    // The sign bit of a value equal to zero is that of a −0.
    __m128d negZero = zero;
    for (int f = 0; f < n; ++f)
      for (int r = 0; r < kRegs; ++r)
        negZero = _mm_or_pd(negZero, _mm_and_pd(_mm_cmpeq_pd(v[f][r], zero), v[f][r]));
    if (_mm_movemask_pd(negZero) != 0) return false;
  }
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
      if (!std::isfinite(x) || (n >= kZeroSignFrom && x == 0 && std::signbit(x))) return false;
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

namespace {

// The number of bits a span of keys needs: 0 for 0, 16 for 65535.
int BitsFor(int span) {
  int bits = 0;
  while (span >> bits) ++bits;
  return bits;
}

}  // namespace

bool KeyedBlock(const double* in, std::size_t stride, int n, std::int16_t* keys, double* out) {
  if (n < 1 || n > kMaxKeyed) return false;
  const int half = n / 2;
  double base[kColumns];
  int span[kColumns];
  std::int16_t upper[kColumns], lower[kColumns];
#if defined(__SSE2__) && !defined(MEDIANNET_PLAIN)
  constexpr int kRegs = kColumns / 2;
  // First pass: every value whole (a round trip through int32 gives it back, which NaN,
  // ±∞ and values past the int32 range fail), none −0, and each column's least and
  // greatest.
  const __m128d zero = _mm_setzero_pd();
  __m128d whole = _mm_castsi128_pd(_mm_set1_epi32(-1));
  __m128d negZero = zero;
  __m128d lo[kRegs], hi[kRegs];
  for (int r = 0; r < kRegs; ++r) lo[r] = hi[r] = _mm_loadu_pd(in + 2 * r);
  for (int f = 0; f < n; ++f)
    for (int r = 0; r < kRegs; ++r) {
      const __m128d x = _mm_loadu_pd(in + f * stride + 2 * r);
      whole = _mm_and_pd(whole, _mm_cmpeq_pd(_mm_cvtepi32_pd(_mm_cvttpd_epi32(x)), x));
      negZero = _mm_or_pd(negZero, _mm_and_pd(_mm_cmpeq_pd(x, zero), x));
      lo[r] = _mm_min_pd(lo[r], x);
      hi[r] = _mm_max_pd(hi[r], x);
    }
  if (_mm_movemask_pd(whole) != 3 || _mm_movemask_pd(negZero) != 0) return false;
  __m128d narrow = _mm_castsi128_pd(_mm_set1_epi32(-1));
  for (int r = 0; r < kRegs; ++r) {
    const __m128d width = _mm_sub_pd(hi[r], lo[r]);
    narrow = _mm_and_pd(narrow, _mm_cmple_pd(width, _mm_set1_pd(65535.0)));
    _mm_storeu_pd(base + 2 * r, lo[r]);
    double w[2];
    _mm_storeu_pd(w, width);
    span[2 * r] = static_cast<int>(w[0]);
    span[2 * r + 1] = static_cast<int>(w[1]);
  }
  if (_mm_movemask_pd(narrow) != 3) return false;
  // Second pass: key = value − least − 32768, so that signed 16-bit comparisons order the
  // keys as the values.
  const __m128i offset = _mm_set1_epi32(32768);
  for (int f = 0; f < n; ++f) {
    const double* row = in + f * stride;
    __m128i k[kRegs];
    for (int r = 0; r < kRegs; ++r)
      k[r] = _mm_cvttpd_epi32(_mm_sub_pd(_mm_loadu_pd(row + 2 * r), lo[r]));
    const __m128i a = _mm_sub_epi32(_mm_unpacklo_epi64(k[0], k[1]), offset);
    const __m128i b = _mm_sub_epi32(_mm_unpacklo_epi64(k[2], k[3]), offset);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + f * kColumns), _mm_packs_epi32(a, b));
  }
  const int bits = BitsFor(*std::max_element(span, span + kColumns));
  const __m128i* key = reinterpret_cast<const __m128i*>(keys);
  // The rank-th least key of each column (rank from 0): the greatest t with fewer than
  // rank + 1 keys below t, built from the top bit down.
  const auto select = [&](int rank) {
    __m128i a = _mm_set1_epi16(-32768);
    const __m128i limit = _mm_set1_epi16(static_cast<std::int16_t>(rank));
    for (int b = bits - 1; b >= 0; --b) {
      const __m128i bit = _mm_set1_epi16(static_cast<std::int16_t>(1 << b));
      const __m128i t = _mm_add_epi16(a, bit);
      __m128i c0 = _mm_setzero_si128(), c1 = _mm_setzero_si128();
      int f = 0;
      for (; f + 1 < n; f += 2) {
        c0 = _mm_sub_epi16(c0, _mm_cmplt_epi16(_mm_loadu_si128(key + f), t));
        c1 = _mm_sub_epi16(c1, _mm_cmplt_epi16(_mm_loadu_si128(key + f + 1), t));
      }
      if (f < n) c0 = _mm_sub_epi16(c0, _mm_cmplt_epi16(_mm_loadu_si128(key + f), t));
      const __m128i over = _mm_cmpgt_epi16(_mm_add_epi16(c0, c1), limit);
      a = _mm_add_epi16(a, _mm_andnot_si128(over, bit));
    }
    return a;
  };
  const __m128i up = select(half);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(upper), up);
  if (n % 2 == 0) {
    // The lower middle: the upper one again when fewer than half the keys lie below it,
    // else the greatest key below it.
    const __m128i least = _mm_set1_epi16(-32768);
    __m128i below = _mm_setzero_si128(), most = least;
    for (int f = 0; f < n; ++f) {
      const __m128i x = _mm_loadu_si128(key + f);
      const __m128i lt = _mm_cmplt_epi16(x, up);
      below = _mm_sub_epi16(below, lt);
      most = _mm_max_epi16(most, _mm_or_si128(_mm_and_si128(lt, x), _mm_andnot_si128(lt, least)));
    }
    const __m128i all = _mm_cmpeq_epi16(below, _mm_set1_epi16(static_cast<std::int16_t>(half)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lower),
                     _mm_or_si128(_mm_and_si128(all, most), _mm_andnot_si128(all, up)));
  }
#else
  for (int c = 0; c < kColumns; ++c) {
    double lo = in[c], hi = in[c];
    for (int f = 0; f < n; ++f) {
      const double x = in[f * stride + c];
      if (!(x >= -2147483648.0 && x <= 2147483647.0) || std::trunc(x) != x ||
          (x == 0 && std::signbit(x)))
        return false;
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
    if (hi - lo > 65535) return false;
    base[c] = lo;
    span[c] = static_cast<int>(hi - lo);
  }
  for (int f = 0; f < n; ++f)
    for (int c = 0; c < kColumns; ++c)
      keys[f * kColumns + c] =
          static_cast<std::int16_t>(static_cast<int>(in[f * stride + c] - base[c]) - 32768);
  for (int c = 0; c < kColumns; ++c) {
    const int bits = BitsFor(span[c]);
    int a = -32768;
    for (int b = bits - 1; b >= 0; --b) {
      const int t = a + (1 << b);
      int count = 0;
      for (int f = 0; f < n; ++f) count += keys[f * kColumns + c] < t;
      if (count <= half) a = t;
    }
    upper[c] = static_cast<std::int16_t>(a);
    if (n % 2 == 0) {
      int below = 0, most = -32768;
      for (int f = 0; f < n; ++f) {
        const int x = keys[f * kColumns + c];
        if (x < a) {
          ++below;
          most = std::max(most, x);
        }
      }
      lower[c] = static_cast<std::int16_t>(below == half ? most : a);
    }
  }
#endif
  for (int c = 0; c < kColumns; ++c) {
    const double up = base[c] + (upper[c] + 32768);
    out[c] = n % 2 ? up : (base[c] + (lower[c] + 32768) + up) / 2;
  }
  return true;
}

}  // namespace mediannet
