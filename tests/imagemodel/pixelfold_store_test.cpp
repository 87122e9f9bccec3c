// The store of physical values into integer types (what saving a 16-bit file does) against
// a plain reference written from its contract: raw = (physical − bzero) / bscale rounded
// to nearest with halves to even, NaN written as the blank value, values beyond the type
// clamped and flagged. The float-to-16-bit store with an offset has a vector path of its
// own (two, one for offsets that are even whole numbers); rows of every length up to a few vector
// steps, and at odd offsets, must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "imagemodel/pixelfold.h"

namespace {

template <typename T>
void Reference(const float* src, int n, double srcScale, double srcZero, double bscale,
               double bzero, int blank, T* out, pixelfold::StoreFlags& flags) {
  const double lo = static_cast<double>(std::numeric_limits<T>::lowest());
  const double hi = static_cast<double>(std::numeric_limits<T>::max());
  for (int x = 0; x < n; ++x) {
    const bool plain = srcScale == 1.0 && srcZero == 0.0 && bscale == 1.0;
    const double v = plain ? static_cast<double>(src[x]) - bzero
                           : (static_cast<double>(src[x]) * srcScale + srcZero - bzero) / bscale;
    if (std::isnan(v)) {
      flags.nan = true;
      out[x] = static_cast<T>(blank);
      continue;
    }
    const double r = std::nearbyint(v);  // the default mode: halves to even
    if (r < lo || r > hi) flags.outside = true;
    if (r == static_cast<double>(blank)) flags.taken = true;
    out[x] = static_cast<T>(std::clamp(r, lo, hi));
  }
}

std::vector<float> AwkwardValues() {
  const float special[] = {0.0f,     -0.0f,    0.5f,      1.5f,       2.5f,      -0.5f,
                           -1.5f,    32767.5f, 32768.5f,  65535.0f,   65535.5f,  65536.0f,
                           -1.0f,    1e30f,    -1e30f,    INFINITY,   -INFINITY, NAN,
                           32768.0f, 98303.5f, -32768.5f, 0.49999997f};
  std::mt19937 gen(5);
  std::vector<float> v;
  for (int i = 0; i < 30000; ++i) {
    if (i % 3 == 0) {
      v.push_back(special[gen() % (sizeof special / sizeof *special)]);
    } else if (i % 3 == 1) {
      const std::uint32_t bits = static_cast<std::uint32_t>(gen());
      float f;
      std::memcpy(&f, &bits, sizeof f);
      v.push_back(f);  // any float, NaN payloads and denormals among them
    } else {
      v.push_back(static_cast<float>(gen() % 140000) / 2.0f - 2000.0f);  // halves in range
    }
  }
  return v;
}

template <typename T>
void ExpectAgrees(const std::vector<float>& src, double srcScale, double srcZero, double bscale,
                  double bzero, int blank) {
  // A blank value is always one the type holds (the writer picks it so).
  if (blank < std::numeric_limits<T>::lowest() || blank > std::numeric_limits<T>::max()) return;
  for (int offset = 0; offset < 9; ++offset)
    for (int n : {0, 1, 7, 8, 9, 15, 16, 17, 1000, static_cast<int>(src.size()) - offset}) {
      std::vector<T> got(static_cast<std::size_t>(n)), want(got.size());
      pixelfold::StoreFlags g, w;
      pixelfold::StoreRow(src.data() + offset, n, srcScale, srcZero, bscale, bzero, blank,
                          got.data(), g);
      Reference(src.data() + offset, n, srcScale, srcZero, bscale, bzero, blank, want.data(), w);
      ASSERT_EQ(got, want) << "offset " << offset << ", " << n << " values, bzero " << bzero;
      ASSERT_EQ(g.outside, w.outside) << "offset " << offset << ", " << n << " values";
      ASSERT_EQ(g.nan, w.nan) << "offset " << offset << ", " << n << " values";
      ASSERT_EQ(g.taken, w.taken) << "offset " << offset << ", " << n << " values";
    }
}

TEST(PixelFoldStoreTest, IntegerStoresAgreeWithThePlainReference) {
  ASSERT_EQ(std::fegetround(), FE_TONEAREST);
  const std::vector<float> src = AwkwardValues();
  for (double bzero : {32768.0, 0.0, -32768.0, 0.5, 1e9, 1.0, -2.0, 16777216.0, 16777218.0})
    for (int blank : {-32768, 0, 5}) {
      ExpectAgrees<std::int16_t>(src, 1.0, 0.0, 1.0, bzero, blank);
      ExpectAgrees<std::int16_t>(src, 2.0, 1.0, 0.5, bzero, blank);
      ExpectAgrees<std::uint16_t>(src, 1.0, 0.0, 1.0, bzero, blank);
      ExpectAgrees<std::int32_t>(src, 1.0, 0.0, 1.0, bzero, blank);
      ExpectAgrees<std::uint8_t>(src, 1.0, 0.0, 1.0, bzero, blank);
    }
  // Rows of nothing but clean values in range set no flag.
  std::vector<float> clean(100);
  for (int i = 0; i < 100; ++i) clean[static_cast<std::size_t>(i)] = 32768.0f + i * 7.5f;
  std::vector<std::int16_t> out(100);
  pixelfold::StoreFlags flags;
  pixelfold::StoreRow(clean.data(), 100, 1.0, 0.0, 1.0, 32768.0, -32768, out.data(), flags);
  EXPECT_FALSE(flags.outside || flags.nan || flags.taken);
  EXPECT_EQ(out[3], 22);  // 22.5 rounds to the even 22
}

}  // namespace
