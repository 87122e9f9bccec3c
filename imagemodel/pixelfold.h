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
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::lowest());
    constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
    const double blankValue = blank;
    const bool plain = srcScale == 1.0 && srcZero == 0.0 && bscale == 1.0;
    bool outside = false, nan = false, taken = false;
    for (int x = 0; x < n; ++x) {
      const double v = plain ? static_cast<double>(src[x]) - bzero
                             : (static_cast<double>(src[x]) * srcScale + srcZero - bzero) / bscale;
      const bool isNan = v != v;
      const double r = RoundHalfEven(v);
      const bool in = r >= lo && r <= hi;
      outside |= !in && !isNan;
      nan |= isNan;
      taken |= r == blankValue;
      const double c = isNan ? blankValue : (r < lo ? lo : (r > hi ? hi : r));
      out[x] = static_cast<T>(c);
    }
    flags.outside = flags.outside || outside;
    flags.nan = flags.nan || nan;
    flags.taken = flags.taken || taken;
  }
}

}  // namespace pixelfold
