// Median by selection (nth_element), and the clip loop over it.
#include "engine/imgclip.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace imgclip {

double Median(double* v, int n) {
  if (n <= 0) return std::numeric_limits<double>::quiet_NaN();
  const int half = n / 2;
  std::nth_element(v, v + half, v + n);
  const double upper = v[half];
  if (n % 2) return upper;
  // The lower middle is the largest of the values below the upper one.
  const double lower = *std::max_element(v, v + half);
  return (lower + upper) / 2;
}

double Mean(const double* v, int n) {
  if (n <= 0) return std::numeric_limits<double>::quiet_NaN();
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += v[i];
  return sum / n;
}

int SigmaClip(double* v, int n) {
  const int floorKept = std::min(n, kClipMinKept);
  for (int pass = 0; pass < kClipIterations && n > 0; ++pass) {
    const double mean = Mean(v, n);
    double ss = 0;
    for (int i = 0; i < n; ++i) ss += (v[i] - mean) * (v[i] - mean);
    const double s = std::sqrt(ss / n);
    // Median reorders v; the set kept does not depend on the order.
    const double m = Median(v, n);
    const double lo = m - kClipSigma * s, hi = m + kClipSigma * s;
    const int kept = static_cast<int>(
        std::partition(v, v + n, [&](double x) { return x >= lo && x <= hi; }) - v);
    if (kept == n || kept < floorKept) break;
    n = kept;
  }
  return n;
}

}  // namespace imgclip
