#include "display/colortables.h"

#include <cmath>
#include <vector>

namespace {

// Every 32nd entry of the false-colour tables, and the last.
constexpr ColorKnot kVermilion[] = {
    {0, {0, 0, 0}},         {32, {44, 0, 0}},       {64, {104, 1, 0}},
    {96, {163, 13, 0}},     {128, {202, 46, 23}},   {160, {225, 103, 76}},
    {192, {239, 162, 143}}, {224, {248, 215, 205}}, {255, {253, 249, 248}}};
constexpr ColorKnot kCyan[] = {
    {0, {0, 0, 0}},         {32, {0, 23, 33}},      {64, {0, 59, 78}},
    {96, {0, 100, 124}},    {128, {21, 143, 168}},  {160, {74, 182, 199}},
    {192, {140, 213, 224}}, {224, {201, 236, 241}}, {255, {246, 252, 252}}};
constexpr ColorKnot kBlackBody[] = {
    {0, {0, 0, 0}},        {32, {63, 0, 0}},       {64, {153, 0, 0}},
    {96, {255, 6, 0}},     {128, {255, 124, 0}},   {160, {255, 241, 0}},
    {192, {255, 255, 93}}, {224, {255, 255, 185}}, {255, {255, 255, 246}}};
// Spectral reference colours, indexed by nanometres above 360: a near-grey violet through
// blue, green, yellow and red back to neutral grey in the infrared.
constexpr ColorKnot kSpectrum[] = {
    {0, {126, 124, 128}}, {50, {64, 1, 147}},     {100, {0, 8, 255}},     {150, {0, 243, 84}},
    {200, {112, 248, 0}}, {250, {255, 53, 0}},    {300, {236, 0, 8}},     {350, {200, 0, 21}},
    {400, {128, 0, 48}},  {450, {128, 105, 114}}, {468, {128, 127, 127}}, {469, {128, 128, 128}}};

template <std::size_t N, std::size_t K>
std::array<RGBCOLOR, N> Build(const ColorKnot (&knots)[K]) {
  std::array<RGBCOLOR, N> table{};
  InterpolateColorTable(knots, static_cast<int>(K), table.data());
  return table;
}

int Sign(double v) {
  return (v > 0) - (v < 0);
}

// One channel: slopes at the knots by the Fritsch-Butland weighted harmonic mean, with
// the shape-preserving three-point end slopes, then cubic Hermite evaluation.
void Channel(const std::vector<double>& x, const std::vector<double>& y, int first, int last,
             std::vector<double>& out) {
  const std::size_t n = x.size();
  std::vector<double> h(n - 1), delta(n - 1), d(n, 0.0);
  for (std::size_t k = 0; k + 1 < n; ++k) {
    h[k] = x[k + 1] - x[k];
    delta[k] = (y[k + 1] - y[k]) / h[k];
  }
  if (n == 2) {
    d[0] = d[1] = delta[0];
  } else {
    for (std::size_t k = 1; k + 1 < n; ++k) {
      if (Sign(delta[k - 1]) * Sign(delta[k]) <= 0) continue;  // extremum or flat: slope 0
      const double w1 = 2 * h[k] + h[k - 1], w2 = h[k] + 2 * h[k - 1];
      d[k] = (w1 + w2) / (w1 / delta[k - 1] + w2 / delta[k]);
    }
    auto end = [](double h0, double h1, double d0, double d1) {
      double s = ((2 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
      if (Sign(s) != Sign(d0)) return 0.0;
      if (Sign(d0) != Sign(d1) && std::fabs(s) > 3 * std::fabs(d0)) return 3 * d0;
      return s;
    };
    d[0] = end(h[0], h[1], delta[0], delta[1]);
    d[n - 1] = end(h[n - 2], h[n - 3], delta[n - 2], delta[n - 3]);
  }
  std::size_t k = 0;
  for (int i = first; i <= last; ++i) {
    while (k + 2 < n && i > x[k + 1]) ++k;
    const double t = (i - x[k]) / h[k], t2 = t * t, t3 = t2 * t;
    const double v = (2 * t3 - 3 * t2 + 1) * y[k] + (t3 - 2 * t2 + t) * h[k] * d[k] +
                     (-2 * t3 + 3 * t2) * y[k + 1] + (t3 - t2) * h[k] * d[k + 1];
    out[static_cast<std::size_t>(i - first)] = v;
  }
}

std::uint8_t ToByte(double v) {
  v = std::nearbyint(v);
  return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

void InterpolateColorTable(const ColorKnot* knots, int knotCount, RGBCOLOR* out) {
  if (knotCount <= 0) return;
  const int first = knots[0].index, last = knots[knotCount - 1].index;
  if (knotCount == 1) {
    out[0] = knots[0].color;
    return;
  }
  std::vector<double> x(static_cast<std::size_t>(knotCount)), r(x.size()), g(x.size()), b(x.size());
  for (int k = 0; k < knotCount; ++k) {
    x[k] = knots[k].index;
    r[k] = knots[k].color.r;
    g[k] = knots[k].color.g;
    b[k] = knots[k].color.b;
  }
  std::vector<double> cr(static_cast<std::size_t>(last - first + 1)), cg(cr.size()), cb(cr.size());
  Channel(x, r, first, last, cr);
  Channel(x, g, first, last, cg);
  Channel(x, b, first, last, cb);
  for (std::size_t i = 0; i < cr.size(); ++i)
    out[i] = {ToByte(cr[i]), ToByte(cg[i]), ToByte(cb[i])};
}

const std::array<RGBCOLOR, kFalseColorTableSize>& FalseColorTable(int colorType) {
  static const auto vermilion = Build<kFalseColorTableSize>(kVermilion);
  static const auto cyan = Build<kFalseColorTableSize>(kCyan);
  static const auto blackBody = Build<kFalseColorTableSize>(kBlackBody);
  switch (colorType) {
    case 1:
      return cyan;
    case 2:
      return blackBody;
    default:
      return vermilion;
  }
}

const std::array<RGBCOLOR, kSpectrumTableSize>& SpectrumColorTable() {
  static const auto table = Build<kSpectrumTableSize>(kSpectrum);
  return table;
}
