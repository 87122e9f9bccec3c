// Row kernels that move pixels between their stored values and the physical values
// (stored × BSCALE + BZERO): the fold into 32- or 64-bit floats that reading does, the
// test of whether floats hold a row exactly, and the way back into a stored type with a
// given scaling that saving does. Each works on one row of plain memory, so callers may
// run rows on several threads; the loops are kept simple enough to be vectorised.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "imagemodel/pixeltype.h"

// A stored pixel type with its scaling and blank value, as a file holds the data.
struct StoredForm {
  int bits = 16;
  int isSigned = 1;
  double bscale = 1.0;
  double bzero = 0.0;
  int blankUsed = 0;
  int blank = 0;
};

namespace pixelfold {

// Whether the fold of stored values of type T with this scaling into 32-bit floats is
// exact without looking at the values: small whole numbers (integers of up to 16 bits,
// no scale, a whole-number offset that keeps them below 2^24), or floats unscaled.
template <typename T>
bool FloatsHoldWithoutLooking(double bscale, double bzero) {
  if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
    return bscale == 1.0 && bzero == std::trunc(bzero) && std::fabs(bzero) <= 16711680.0;
  } else if constexpr (std::is_same_v<T, float>) {
    return bscale == 1.0 && bzero == 0.0;
  } else {
    return false;
  }
}

// Physical values of one row of stored values: raw × bscale + bzero in doubles, then
// rounded once to F; blank pixels become NaN.
template <typename T, typename F>
void FoldRow(const T* raw, int n, double bscale, double bzero, bool blankUsed, int blank, F* out) {
  if constexpr (std::is_integral_v<T>) {
    if (blankUsed) {
      for (int x = 0; x < n; ++x)
        out[x] = pixeltype::IsBlankStored(raw[x], true, blank)
                     ? std::numeric_limits<F>::quiet_NaN()
                     : static_cast<F>(static_cast<double>(raw[x]) * bscale + bzero);
      return;
    }
    if constexpr (sizeof(T) <= 2) {
      // Whole numbers below 2^24 on both sides: the integer sum is the double one.
      if (bscale == 1.0 && bzero == std::trunc(bzero) && std::fabs(bzero) <= 16711680.0) {
        const auto offset = static_cast<std::int32_t>(bzero);
        for (int x = 0; x < n; ++x)
          out[x] = static_cast<F>(static_cast<std::int32_t>(raw[x]) + offset);
        return;
      }
    }
  }
  if constexpr (std::is_integral_v<T>) {
    // Unscaled integers round once, straight to F, as through a double.
    if (bscale == 1.0 && bzero == 0.0) {
      for (int x = 0; x < n; ++x) out[x] = static_cast<F>(raw[x]);
      return;
    }
  }
  for (int x = 0; x < n; ++x) out[x] = static_cast<F>(static_cast<double>(raw[x]) * bscale + bzero);
}

// Whether 32-bit floats hold the physical values of a row of stored values exactly:
// each physical value is a float, or the stored value comes back from the float through
// the inverse scaling (rounded for integer types), which is what a save writes. Blank
// pixels and NaN hold as NaN.
template <typename T>
bool FloatsHoldRow(const T* row, int width, double bscale, double bzero, bool blankUsed,
                   int blank) {
  for (int x = 0; x < width; ++x) {
    const T r = row[x];
    if (pixeltype::IsBlankStored(r, blankUsed, blank)) continue;
    const double v = static_cast<double>(r) * bscale + bzero;
    const double f = static_cast<double>(static_cast<float>(v));
    if (f == v || v != v) continue;
    const double back = (f - bzero) / bscale;
    if constexpr (std::is_integral_v<T>) {
      if (std::nearbyint(back) == static_cast<double>(r)) continue;
    } else {
      if (static_cast<T>(back) == r) continue;
    }
    return false;
  }
  return true;
}

// What a conversion into a stored form met.
struct StoreFlags {
  bool outside = false;  // a value beyond the type's range (or NaN without a blank)
  bool nan = false;      // a NaN, written as the blank value
  bool taken = false;    // a data value equal to the blank value
  void Merge(const StoreFlags& o) {
    outside = outside || o.outside;
    nan = nan || o.nan;
    taken = taken || o.taken;
  }
};

// Rounds to the nearest whole number, halves to even, as nearbyint does in the default
// rounding mode, for |v| < 2^51; larger values come back large, so the range test still
// refuses them. Written with two additions so that the loop around it vectorises.
inline double RoundHalfEven(double v) {
  constexpr double kShift = 6755399441055744.0;  // 1.5 × 2^52
  return (v + kShift) - kShift;
}

#if defined(__SSE2__)
// StoreInteger over a row of floats into 16-bit integers with an offset only (the way
// back of the usual 16-bit file with BZERO), eight values a step in SSE2 registers with
// the same double arithmetic: max and min give the clamp of a number, a mask puts the
// blank value in place of NaN, and the packing saturates nothing since every value is
// already in range. Returns how many values it stored (the rest is left to the caller).
inline int StoreFloatsAsShorts(const float* src, int n, double bzero, double blankValue, short* out,
                               std::uint64_t& outside, std::uint64_t& nan, std::uint64_t& taken) {
  const __m128d lo = _mm_set1_pd(-32768.0), hi = _mm_set1_pd(32767.0);
  const __m128d shift = _mm_set1_pd(6755399441055744.0), zero = _mm_set1_pd(bzero);
  const __m128d blank = _mm_set1_pd(blankValue);
  __m128d anyOutside = _mm_setzero_pd(), anyNan = _mm_setzero_pd(), anyTaken = _mm_setzero_pd();
  auto two = [&](__m128d v) {
    v = _mm_sub_pd(v, zero);
    const __m128d r = _mm_sub_pd(_mm_add_pd(v, shift), shift);
    const __m128d isNan = _mm_cmpunord_pd(v, v);
    anyOutside = _mm_or_pd(anyOutside, _mm_or_pd(_mm_cmplt_pd(r, lo), _mm_cmpgt_pd(r, hi)));
    anyNan = _mm_or_pd(anyNan, isNan);
    anyTaken = _mm_or_pd(anyTaken, _mm_cmpeq_pd(r, blank));
    const __m128d c = _mm_min_pd(_mm_max_pd(r, lo), hi);
    return _mm_cvttpd_epi32(_mm_or_pd(_mm_and_pd(isNan, blank), _mm_andnot_pd(isNan, c)));
  };
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128 a = _mm_loadu_ps(src + x), b = _mm_loadu_ps(src + x + 4);
    const __m128i low =
        _mm_unpacklo_epi64(two(_mm_cvtps_pd(a)), two(_mm_cvtps_pd(_mm_movehl_ps(a, a))));
    const __m128i high =
        _mm_unpacklo_epi64(two(_mm_cvtps_pd(b)), two(_mm_cvtps_pd(_mm_movehl_ps(b, b))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packs_epi32(low, high));
  }
  outside |= _mm_movemask_pd(anyOutside) != 0;
  nan |= _mm_movemask_pd(anyNan) != 0;
  taken |= _mm_movemask_pd(anyTaken) != 0;
  return x;
}

// The same store when bzero is an even whole number of at most 2^24 in magnitude, in
// whole numbers four values a step. Rounding then commutes with the offset: v − bzero is
// exact in double wherever its rounding could be in doubt (a float that small beside
// bzero rounds to −bzero either way), and taking an even number from a half keeps the
// even neighbour even, so round(v − bzero) = round(v) − bzero, and cvtps rounds a float
// to the nearest whole number, halves to even, exactly. Floats of 2^30 and beyond are
// outside any 16-bit result; they are set to ±2^30 before the saturating pack.
inline int StoreFloatsAsShortsEvenZero(const float* src, int n, int bzero, int blankValue,
                                       short* out, std::uint64_t& outside, std::uint64_t& nan,
                                       std::uint64_t& taken) {
  const __m128i zero = _mm_set1_epi32(bzero), blank = _mm_set1_epi32(blankValue);
  const __m128i lo = _mm_set1_epi32(-32768), hi = _mm_set1_epi32(32767);
  const __m128i huge = _mm_set1_epi32(1 << 30);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 bigFrom = _mm_set1_ps(1073741824.0f);
  __m128i anyOutside = _mm_setzero_si128(), anyNan = _mm_setzero_si128();
  __m128i anyTaken = _mm_setzero_si128();
  auto four = [&](__m128 v) {
    const __m128i isNan = _mm_castps_si128(_mm_cmpunord_ps(v, v));
    const __m128i big = _mm_castps_si128(_mm_cmpge_ps(_mm_and_ps(v, magnitude), bigFrom));
    // ±2^30 for big values by their sign (NaN lanes are replaced below).
    const __m128i signed30 =
        _mm_sub_epi32(_mm_xor_si128(huge, _mm_srai_epi32(_mm_castps_si128(v), 31)),
                      _mm_srai_epi32(_mm_castps_si128(v), 31));
    __m128i r = _mm_sub_epi32(_mm_cvtps_epi32(v), zero);
    r = _mm_or_si128(_mm_and_si128(big, signed30), _mm_andnot_si128(big, r));
    const __m128i real = _mm_andnot_si128(isNan, _mm_set1_epi32(-1));
    anyOutside = _mm_or_si128(
        anyOutside,
        _mm_and_si128(real, _mm_or_si128(_mm_cmplt_epi32(r, lo), _mm_cmpgt_epi32(r, hi))));
    anyNan = _mm_or_si128(anyNan, isNan);
    anyTaken = _mm_or_si128(anyTaken, _mm_and_si128(real, _mm_cmpeq_epi32(r, blank)));
    return _mm_or_si128(_mm_and_si128(isNan, blank), _mm_andnot_si128(isNan, r));
  };
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i a = four(_mm_loadu_ps(src + x)), b = four(_mm_loadu_ps(src + x + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packs_epi32(a, b));
  }
  outside |= _mm_movemask_epi8(anyOutside) != 0;
  nan |= _mm_movemask_epi8(anyNan) != 0;
  taken |= _mm_movemask_epi8(anyTaken) != 0;
  return x;
}
#endif

// One value of StoreRow into an integer type T, the flags gathered as 0 or 1. r is NaN
// exactly when v is, and a NaN compares false, so it is neither outside nor the blank
// value.
template <typename T>
inline T StoreInteger(double v, double blankValue, std::uint64_t& outside, std::uint64_t& nan,
                      std::uint64_t& taken) {
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::lowest());
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  const double r = RoundHalfEven(v);
  const bool isNan = v != v;
  outside |= static_cast<std::uint64_t>(r < lo) | static_cast<std::uint64_t>(r > hi);
  nan |= static_cast<std::uint64_t>(isNan);
  taken |= static_cast<std::uint64_t>(r == blankValue);
  const double c = isNan ? blankValue : (r < lo ? lo : (r > hi ? hi : r));
  return static_cast<T>(c);
}

// Stores one row of physical values (src × srcScale + srcZero, src of type S, NaN the
// blank) in type T with the form's scaling: raw = (physical − bzero) / bscale, rounded to
// nearest for integer types. NaN becomes `blank`; values outside the type are flagged
// and written as the nearest end.
template <typename S, typename T>
void StoreRow(const S* src, int n, double srcScale, double srcZero, double bscale, double bzero,
              int blank, T* out, StoreFlags& flags) {
  if constexpr (std::is_floating_point_v<T>) {
    for (int x = 0; x < n; ++x)
      out[x] = static_cast<T>((static_cast<double>(src[x]) * srcScale + srcZero - bzero) / bscale);
  } else {
    const double blankValue = blank;
    std::uint64_t outside = 0, nan = 0, taken = 0;
    // The common case (physical values stored with an offset only) has a loop of its own,
    // with the same arithmetic as the general one for those scalings.
    if (srcScale == 1.0 && srcZero == 0.0 && bscale == 1.0) {
      int x = 0;
#if defined(__SSE2__)
      if constexpr (std::is_same_v<S, float> && std::is_same_v<T, short>) {
        if (std::fabs(bzero) <= 16777216.0 && bzero == std::nearbyint(bzero / 2) * 2 &&
            blank >= -32768 && blank <= 32767)
          x = StoreFloatsAsShortsEvenZero(src, n, static_cast<int>(bzero), blank, out, outside, nan,
                                          taken);
        else
          x = StoreFloatsAsShorts(src, n, bzero, blankValue, out, outside, nan, taken);
      }
#endif
      for (; x < n; ++x)
        out[x] =
            StoreInteger<T>(static_cast<double>(src[x]) - bzero, blankValue, outside, nan, taken);
    } else {
      for (int x = 0; x < n; ++x)
        out[x] =
            StoreInteger<T>((static_cast<double>(src[x]) * srcScale + srcZero - bzero) / bscale,
                            blankValue, outside, nan, taken);
    }
    flags.outside = flags.outside || outside != 0;
    flags.nan = flags.nan || nan != 0;
    flags.taken = flags.taken || taken != 0;
  }
}

}  // namespace pixelfold
