// The image matching as it was computed before it used FFTW: the same reading, filtering
// and confidence tests with a radix-2 transform of complex grids and the inverse transform
// evaluated on a 1/20-pixel grid over ±1.5 pixel, then a 1/400-pixel grid over ±0.1 around
// the integer peak; reduced frames are matched again at full resolution on the window that
// their whole-pixel shift lays on each other, as the matching does. Kept as the reference the
// faster matching is compared with (same refusals, scores equal to rounding, shifts within a step
// of the fine grid) and as the baseline of the matching benchmark.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <new>
#include <vector>

#include "engine/imgmatching.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"

namespace plain_matching {

using Cx = std::complex<double>;

constexpr double kBandSigma = 0.15;  // cycles per pixel

struct Frame {
  int w = 0, h = 0;
  std::vector<double> v;  // as read; then what goes into the transform
};

// Plane means of the w × h pixels at (x0, y0) (the whole image when w is 0), block-averaged
// by bin; a block with no finite pixel is NaN.
inline bool ReadFrame(const CImage& image, int bin, Frame* f, int x0 = 0, int y0 = 0, int w = 0,
                      int h = 0) {
  if (w == 0) {
    w = image.GetWidth();
    h = image.GetHeight();
  }
  f->w = w / bin;
  f->h = h / bin;
  if (f->w < 8 || f->h < 8) return false;
  const int iw = w;
  f->v.assign(static_cast<std::size_t>(f->w) * f->h, 0.0);
  std::vector<double> row(static_cast<std::size_t>(iw)), sum(static_cast<std::size_t>(f->w)),
      count(sum.size());
  for (int by = 0; by < f->h; ++by) {
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(count.begin(), count.end(), 0.0);
    for (int p = 0; p < image.GetPlanes(); ++p)
      for (int k = 0; k < bin; ++k) {
        if (!imgsample::ReadSpan(image, x0, iw, y0 + by * bin + k, p, row.data())) return false;
        for (int x = 0; x < f->w * bin; ++x)
          if (std::isfinite(row[x])) {
            sum[x / bin] += row[x];
            count[x / bin] += 1;
          }
      }
    for (int x = 0; x < f->w; ++x)
      f->v[static_cast<std::size_t>(by) * f->w + x] =
          count[x] > 0 ? sum[x] / count[x] : std::numeric_limits<double>::quiet_NaN();
  }
  return true;
}

inline double MedianOf(std::vector<double> v) {
  v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Fills gaps with the median, filters 3 × 3 by the median, subtracts the median,
// compresses and tapers.
inline void Prepare(Frame* f) {
  const int w = f->w, h = f->h;
  const double fill = MedianOf(f->v);
  for (double& x : f->v)
    if (std::isnan(x)) x = fill;
  std::vector<double> out(f->v.size());
  double win[9];
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int n = 0;
      for (int j = -1; j <= 1; ++j)
        for (int i = -1; i <= 1; ++i) {
          const int yy = std::clamp(y + j, 0, h - 1), xx = std::clamp(x + i, 0, w - 1);
          win[n++] = f->v[static_cast<std::size_t>(yy) * w + xx];
        }
      std::nth_element(win, win + 4, win + 9);
      out[static_cast<std::size_t>(y) * w + x] = win[4];
    }
  const double level = MedianOf(out);
  for (double& x : out) x -= level;
  // The pixel noise, from the median absolute difference of neighbours, which the sky's
  // slope does not touch. Values beyond a few noise levels are compressed (asinh), so that
  // every star takes part and no single bright star decides.
  std::vector<double> dev;
  dev.reserve(out.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x + 1 < w; ++x)
      dev.push_back(std::abs(f->v[static_cast<std::size_t>(y) * w + x + 1] -
                             f->v[static_cast<std::size_t>(y) * w + x]));
  const double noise = 1.4826 * MedianOf(std::move(dev)) / std::sqrt(2.0);
  const double scale = std::max(1e-12, 3 * noise);
  auto taper = [](int i, int n) {
    const int m = std::max(1, n / 8);
    const int d = std::min(i, n - 1 - i);
    return d >= m ? 1.0 : 0.5 * (1 - std::cos(M_PI * (d + 0.5) / m));
  };
  for (int y = 0; y < h; ++y) {
    const double ty = taper(y, h);
    for (int x = 0; x < w; ++x) {
      double& v = out[static_cast<std::size_t>(y) * w + x];
      v = std::asinh(v / scale) * ty * taper(x, w);
    }
  }
  f->v.swap(out);
}

// In-place radix-2 transform of n (a power of two) values; inverse uses e^{+2πi}.
inline void Fft(Cx* a, int n, const std::vector<Cx>& roots, bool inverse) {
  for (int i = 1, j = 0; i < n; ++i) {
    int bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (int len = 2; len <= n; len <<= 1) {
    const int step = n / len;
    for (int i = 0; i < n; i += len)
      for (int k = 0; k < len / 2; ++k) {
        const Cx r = roots[static_cast<std::size_t>(k) * step];
        const Cx wk = inverse ? std::conj(r) : r;
        const Cx u = a[i + k], t = a[i + k + len / 2] * wk;
        a[i + k] = u + t;
        a[i + k + len / 2] = u - t;
      }
  }
}

inline std::vector<Cx> Roots(int n) {
  std::vector<Cx> r(static_cast<std::size_t>(n / 2 + 1));
  for (int k = 0; k <= n / 2; ++k) r[k] = std::polar(1.0, -2 * M_PI * k / n);
  return r;
}

// 2-D transform of a gw × gh grid stored by rows.
inline void Fft2(std::vector<Cx>& g, int gw, int gh, bool inverse) {
  const std::vector<Cx> rw = Roots(gw), rh = Roots(gh);
  for (int y = 0; y < gh; ++y) Fft(&g[static_cast<std::size_t>(y) * gw], gw, rw, inverse);
  std::vector<Cx> col(static_cast<std::size_t>(gh));
  for (int x = 0; x < gw; ++x) {
    for (int y = 0; y < gh; ++y) col[y] = g[static_cast<std::size_t>(y) * gw + x];
    Fft(col.data(), gh, rh, inverse);
    for (int y = 0; y < gh; ++y) g[static_cast<std::size_t>(y) * gw + x] = col[y];
  }
}

inline int Pow2AtLeast(int n) {
  int p = 1;
  while (p < n) p <<= 1;
  return p;
}

inline int Signed(int k, int n) {
  return k > n / 2 ? k - n : k;
}

// Re Σ R(ky, kx) e^{2πi (kx x / gw + ky y / gh)} on an n × n grid of positions
// (x0 + i step, y0 + j step); returns the best position.
inline void Refine(const std::vector<Cx>& spec, int gw, int gh, double* px, double* py, double half,
                   double step) {
  const int n = static_cast<int>(std::lround(2 * half / step)) + 1;
  const double x0 = *px - half, y0 = *py - half;
  std::vector<Cx> ex(static_cast<std::size_t>(n) * gw), t(static_cast<std::size_t>(gh) * n);
  for (int i = 0; i < n; ++i)
    for (int kx = 0; kx < gw; ++kx)
      ex[static_cast<std::size_t>(i) * gw + kx] =
          std::polar(1.0, 2 * M_PI * Signed(kx, gw) * (x0 + i * step) / gw);
  for (int ky = 0; ky < gh; ++ky)
    for (int i = 0; i < n; ++i) {
      Cx s = 0;
      const Cx* e = &ex[static_cast<std::size_t>(i) * gw];
      const Cx* r = &spec[static_cast<std::size_t>(ky) * gw];
      for (int kx = 0; kx < gw; ++kx) s += r[kx] * e[kx];
      t[static_cast<std::size_t>(ky) * n + i] = s;
    }
  double best = -std::numeric_limits<double>::infinity();
  for (int j = 0; j < n; ++j) {
    const double y = y0 + j * step;
    std::vector<double> acc(static_cast<std::size_t>(n), 0.0);
    for (int ky = 0; ky < gh; ++ky) {
      const Cx e = std::polar(1.0, 2 * M_PI * Signed(ky, gh) * y / gh);
      for (int i = 0; i < n; ++i) acc[i] += (t[static_cast<std::size_t>(ky) * n + i] * e).real();
    }
    for (int i = 0; i < n; ++i)
      if (acc[i] > best) {
        best = acc[i];
        *px = x0 + i * step;
        *py = y;
      }
  }
}

// The correlation of two prepared frames: the weighted phase of their cross-power
// spectrum on the grid, its inverse's peak and the surface's statistics outside the peak.
struct Correlation {
  int gw = 0, gh = 0, px = 0, py = 0;
  std::vector<Cx> spec;         // the weighted phase, for the refinement
  std::vector<double> surface;  // its inverse
  double score = 0, ratio = 0;
};

inline Correlation Correlate(const Frame& ref, const Frame& tgt) {
  Correlation out;
  const int gw = Pow2AtLeast(std::max(ref.w, tgt.w)), gh = Pow2AtLeast(std::max(ref.h, tgt.h));
  out.gw = gw;
  out.gh = gh;
  std::vector<Cx> a(static_cast<std::size_t>(gw) * gh), b(a.size());
  for (int y = 0; y < ref.h; ++y)
    for (int x = 0; x < ref.w; ++x)
      a[static_cast<std::size_t>(y) * gw + x] = ref.v[static_cast<std::size_t>(y) * ref.w + x];
  for (int y = 0; y < tgt.h; ++y)
    for (int x = 0; x < tgt.w; ++x)
      b[static_cast<std::size_t>(y) * gw + x] = tgt.v[static_cast<std::size_t>(y) * tgt.w + x];
  Fft2(a, gw, gh, false);
  Fft2(b, gw, gh, false);
  for (int ky = 0; ky < gh; ++ky)
    for (int kx = 0; kx < gw; ++kx) {
      const std::size_t i = static_cast<std::size_t>(ky) * gw + kx;
      const Cx r = a[i] * std::conj(b[i]);
      const double mag = std::abs(r);
      const double fx = static_cast<double>(Signed(kx, gw)) / gw;
      const double fy = static_cast<double>(Signed(ky, gh)) / gh;
      const double weight = std::exp(-(fx * fx + fy * fy) / (2 * kBandSigma * kBandSigma));
      a[i] = mag > 1e-300 ? r * (weight / mag) : Cx(0);
    }
  b = a;
  Fft2(b, gw, gh, true);
  std::size_t peak = 0;
  for (std::size_t i = 1; i < b.size(); ++i)
    if (b[i].real() > b[peak].real()) peak = i;
  out.px = static_cast<int>(peak % gw);
  out.py = static_cast<int>(peak / gw);
  // Surface statistics outside the peak's 5 × 5 neighbourhood.
  double sum = 0, sum2 = 0, count = 0, second = -std::numeric_limits<double>::infinity();
  for (int y = 0; y < gh; ++y)
    for (int x = 0; x < gw; ++x) {
      const int ddx = std::abs(Signed((x - out.px + gw) % gw, gw));
      const int ddy = std::abs(Signed((y - out.py + gh) % gh, gh));
      if (ddx <= 2 && ddy <= 2) continue;
      const double v = b[static_cast<std::size_t>(y) * gw + x].real();
      sum += v;
      sum2 += v * v;
      second = std::max(second, v);
      count += 1;
    }
  const double mean = sum / count;
  const double sd = std::sqrt(std::max(0.0, sum2 / count - mean * mean));
  out.score = sd > 0 ? (b[peak].real() - mean) / sd : 0.0;
  out.ratio = second > mean ? (b[peak].real() - mean) / (second - mean) : 0.0;
  out.spec = std::move(a);
  out.surface.resize(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) out.surface[i] = b[i].real();
  return out;
}

// The offset from the peak along (ax, ay) of the vertex of the Gaussian (the parabola
// through the logarithms; through the values when one is not positive) through the peak
// and its two neighbours, within half a pixel, to the nearest hundredth.
inline double Vertex(const Correlation& c, int ax, int ay) {
  auto at = [&c](int x, int y) {
    x = (x + c.gw) % c.gw;
    y = (y + c.gh) % c.gh;
    return c.surface[static_cast<std::size_t>(y) * c.gw + x];
  };
  double before = at(c.px + ax, c.py + ay), top = at(c.px, c.py), after = at(c.px - ax, c.py - ay);
  if (before > 0 && after > 0 && top > 0) {
    before = std::log(before);
    after = std::log(after);
    top = std::log(top);
  }
  const double curve = before - 2 * top + after;
  const double t = curve < 0 ? 0.5 * (before - after) / curve : 0.0;
  return std::round(std::clamp(t, -0.5, 0.5) / 0.01) * 0.01;
}

// The peak of a correlation refined: a 1/20-pixel grid over ±1.5 pixel round the integer
// peak, then a 1/400-pixel grid over ±0.1.
inline void RefinePeak(const Correlation& c, double* sx, double* sy) {
  *sx = Signed(c.px, c.gw);
  *sy = Signed(c.py, c.gh);
  Refine(c.spec, c.gw, c.gh, sx, sy, 1.5, 0.05);
  Refine(c.spec, c.gw, c.gh, sx, sy, 0.1, 0.0025);
}

inline int Match(const CRalImage& image, const CRalImage* target, double* dx, double* dy,
                 double* score, const MatchingParams* params = nullptr) {
  double found = 0;
  if (dx) *dx = 0;
  if (dy) *dy = 0;
  if (score) *score = 0;
  if (!target || target->IsEmpty() || image.IsEmpty() || target->GetPlanes() < 1 ||
      image.GetPlanes() < 1)
    return 0;
  const MatchingParams prm = params ? *params : MatchingParams{};
  const double minScore = prm.minScore > 0 ? prm.minScore : CImgMatching::kMinScore;
  int ok = 0;
  try {
    const int side =
        std::max({image.GetWidth(), image.GetHeight(), target->GetWidth(), target->GetHeight()});
    int bin = 1;
    while (side / bin > CImgMatching::kMaxSide) bin *= 2;
    Frame ref, tgt;
    if (ReadFrame(image, bin, &ref) && ReadFrame(*target, bin, &tgt)) {
      Prepare(&ref);
      Prepare(&tgt);
      const Correlation c = Correlate(ref, tgt);
      found = c.score;
      const bool confident = (found >= minScore && c.ratio >= CImgMatching::kMinPeakRatio) ||
                             (found >= std::max(minScore, CImgMatching::kStrongScore) &&
                              c.ratio >= CImgMatching::kStrongPeakRatio);
      double sx = 0, sy = 0;
      bool fine = false;
      if (confident && bin > 1) {
        // Reduced frames: the whole-pixel shift lays a window of the two frames on each
        // other (the reference's centre, at most kFineSide a side, cut to what the target
        // covers), and the window is matched again at full resolution.
        // The whole-pixel shift: the Gaussian vertex through the coarse peak and its
        // neighbours (to the hundredth), times the reduction, rounded.
        const double vx = Vertex(c, -1, 0), vy = Vertex(c, 0, -1);
        const int wx = static_cast<int>(std::lround(bin * (Signed(c.px, c.gw) + vx)));
        const int wy = static_cast<int>(std::lround(bin * (Signed(c.py, c.gh) + vy)));
        const int fw = std::min(image.GetWidth(), CImgMatching::kFineSide);
        const int fh = std::min(image.GetHeight(), CImgMatching::kFineSide);
        const int cx = (image.GetWidth() - fw) / 2, cy = (image.GetHeight() - fh) / 2;
        const int x0 = std::max(cx, wx), x1 = std::min(cx + fw, wx + target->GetWidth());
        const int y0 = std::max(cy, wy), y1 = std::min(cy + fh, wy + target->GetHeight());
        Frame rw, tw;
        if (x1 - x0 >= 64 && y1 - y0 >= 64 && ReadFrame(image, 1, &rw, x0, y0, x1 - x0, y1 - y0) &&
            ReadFrame(*target, 1, &tw, x0 - wx, y0 - wy, x1 - x0, y1 - y0)) {
          Prepare(&rw);
          Prepare(&tw);
          const Correlation f = Correlate(rw, tw);
          if (std::abs(Signed(f.px, f.gw)) <= 2 && std::abs(Signed(f.py, f.gh)) <= 2) {
            RefinePeak(f, &sx, &sy);
            sx += wx;
            sy += wy;
            fine = true;
          }
        }
      }
      if (confident && !fine) {
        RefinePeak(c, &sx, &sy);
        sx *= bin;
        sy *= bin;
      }
      if (confident &&
          (prm.maxShift <= 0 || (std::abs(sx) <= prm.maxShift && std::abs(sy) <= prm.maxShift))) {
        if (dx) *dx = sx;
        if (dy) *dy = sy;
        ok = 1;
      }
    }
  } catch (const std::bad_alloc&) {
    ok = 0;
  }
  if (score) *score = found;
  return ok;
}

}  // namespace plain_matching
