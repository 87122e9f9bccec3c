// Gaussian profile fits of single stars; the method is described in imgpsf.h.
#include "engine/imgpsf.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "engine/imgpixelinfo.h"
#include "imagemodel/image.h"

namespace {

constexpr int kEdge = 2;
constexpr int kSkyInner = 16, kSkyOuter = 20;
constexpr double kSigmaPerHalfRadius = 1.0 / 1.1774100225154747;  // √(2 ln 2)

struct Box {
  int x0, y0, w, h;
  std::vector<double> v;
  double At(int x, int y) const {
    return v[static_cast<std::size_t>(y - y0) * static_cast<std::size_t>(w) +
             static_cast<std::size_t>(x - x0)];
  }
};

bool ReadBox(const CImage& image, int cx, int cy, int half, Box* box) {
  box->x0 = std::max(0, cx - half);
  box->y0 = std::max(0, cy - half);
  const int x1 = std::min(image.GetWidth(), cx + half + 1);
  const int y1 = std::min(image.GetHeight(), cy + half + 1);
  box->w = x1 - box->x0;
  box->h = y1 - box->y0;
  if (box->w <= 0 || box->h <= 0) return false;
  box->v.assign(static_cast<std::size_t>(box->w) * static_cast<std::size_t>(box->h), 0.0);
  for (int y = box->y0; y < y1; ++y)
    if (!ReadPhysicalSpan(image, box->x0, y, box->w, 0,
                          box->v.data() + static_cast<std::size_t>(y - box->y0) *
                                              static_cast<std::size_t>(box->w)))
      return false;
  return true;
}

double Median(std::vector<double> v) {
  const std::size_t m = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m), v.end());
  double hi = v[m];
  if (v.size() % 2 == 1) return hi;
  const double lo = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m));
  return 0.5 * (lo + hi);
}

// Solves the 5 × 5 system a x = b by Gaussian elimination with partial pivoting.
bool Solve5(std::array<std::array<double, 5>, 5> a, std::array<double, 5> b,
            std::array<double, 5>* x) {
  for (int c = 0; c < 5; ++c) {
    int p = c;
    for (int r = c + 1; r < 5; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
    if (!(std::fabs(a[p][c]) > 0.0)) return false;
    std::swap(a[p], a[c]);
    std::swap(b[p], b[c]);
    for (int r = c + 1; r < 5; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < 5; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (int r = 4; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < 5; ++k) s -= a[r][k] * (*x)[k];
    (*x)[r] = s / a[r][r];
  }
  return true;
}

// Parameters: A, x0, y0, σ, B.
using Params = std::array<double, 5>;

double Chi2(const Box& box, const Params& p) {
  double chi2 = 0.0;
  const double k = 1.0 / (2.0 * p[3] * p[3]);
  for (int y = box.y0; y < box.y0 + box.h; ++y)
    for (int x = box.x0; x < box.x0 + box.w; ++x) {
      const double v = box.At(x, y);
      if (std::isnan(v)) continue;
      const double dx = x - p[1], dy = y - p[2];
      const double r = v - (p[4] + p[0] * std::exp(-(dx * dx + dy * dy) * k));
      chi2 += r * r;
    }
  return chi2;
}

bool FitGaussian(const Box& box, Params* params) {
  Params p = *params;
  double chi2 = Chi2(box, p);
  double lambda = 1e-3;
  for (int iter = 0; iter < 100; ++iter) {
    std::array<std::array<double, 5>, 5> a{};
    std::array<double, 5> g{};
    const double s = p[3];
    const double k = 1.0 / (2.0 * s * s);
    for (int y = box.y0; y < box.y0 + box.h; ++y)
      for (int x = box.x0; x < box.x0 + box.w; ++x) {
        const double v = box.At(x, y);
        if (std::isnan(v)) continue;
        const double dx = x - p[1], dy = y - p[2];
        const double r2 = dx * dx + dy * dy;
        const double e = std::exp(-r2 * k);
        const double model = p[4] + p[0] * e;
        const double j[5] = {e, p[0] * e * dx / (s * s), p[0] * e * dy / (s * s),
                             p[0] * e * r2 / (s * s * s), 1.0};
        const double res = v - model;
        for (int m = 0; m < 5; ++m) {
          g[m] += j[m] * res;
          for (int n = 0; n <= m; ++n) a[m][n] += j[m] * j[n];
        }
      }
    for (int m = 0; m < 5; ++m)
      for (int n = m + 1; n < 5; ++n) a[m][n] = a[n][m];
    bool improved = false;
    while (lambda < 1e10) {
      auto damped = a;
      for (int m = 0; m < 5; ++m) damped[m][m] *= 1.0 + lambda;
      Params step{};
      if (!Solve5(damped, g, &step)) {
        lambda *= 10.0;
        continue;
      }
      Params trial;
      for (int m = 0; m < 5; ++m) trial[m] = p[m] + step[m];
      trial[3] = std::fabs(trial[3]);
      const double c = trial[3] > 1e-3 ? Chi2(box, trial) : INFINITY;
      if (c <= chi2) {
        const double change = chi2 - c;
        p = trial;
        chi2 = c;
        lambda = std::max(lambda * 0.1, 1e-12);
        improved = true;
        if (change <= 1e-10 * std::max(chi2, 1e-300)) {
          *params = p;
          return true;
        }
        break;
      }
      lambda *= 10.0;
    }
    if (!improved) {
      // No step lowers χ² any more: a minimum at working precision.
      *params = p;
      return true;
    }
  }
  *params = p;
  return false;
}

}  // namespace

int PSF::Add(POINT point) {
  if (!m_pImage || m_pImage->IsEmpty()) return 0;
  const CImage& image = *m_pImage;
  const int width = image.GetWidth(), height = image.GetHeight();
  if (point.x < 0 || point.y < 0 || point.x >= width || point.y >= height) return 0;

  Box near;
  if (!ReadBox(image, point.x, point.y, 2, &near)) return 0;
  int px = -1, py = -1;
  double peak = -INFINITY;
  for (int y = near.y0; y < near.y0 + near.h; ++y)
    for (int x = near.x0; x < near.x0 + near.w; ++x) {
      const double v = near.At(x, y);
      if (!std::isnan(v) && v > peak) {
        peak = v;
        px = x;
        py = y;
      }
    }
  if (px < kEdge || py < kEdge || px >= width - kEdge || py >= height - kEdge) return 0;

  Box wide;
  if (!ReadBox(image, px, py, kSkyOuter, &wide)) return 0;
  for (int y = py - 1; y <= py + 1; ++y)
    for (int x = px - 1; x <= px + 1; ++x)
      if (wide.At(x, y) > peak) return 0;  // on the flank of something brighter
  int atPeak = 0;
  for (int y = py - 2; y <= py + 2; ++y)
    for (int x = px - 2; x <= px + 2; ++x)
      if (x >= 0 && y >= 0 && x < width && y < height && wide.At(x, y) == peak) ++atPeak;
  if (atPeak >= 5) return 0;

  std::vector<double> ring;
  for (int y = wide.y0; y < wide.y0 + wide.h; ++y)
    for (int x = wide.x0; x < wide.x0 + wide.w; ++x) {
      const double r2 = static_cast<double>((x - px) * (x - px) + (y - py) * (y - py));
      const double v = wide.At(x, y);
      if (!std::isnan(v) && r2 >= kSkyInner * kSkyInner && r2 <= kSkyOuter * kSkyOuter)
        ring.push_back(v);
    }
  if (ring.size() < 8) return 0;
  const double sky = Median(ring);
  for (double& v : ring) v = std::fabs(v - sky);
  const double noise = 1.4826 * Median(ring);
  const double amp = peak - sky;
  if (!(amp > 0.0) || amp <= 5.0 * noise) return 0;

  int above = 0;
  for (int y = wide.y0; y < wide.y0 + wide.h; ++y)
    for (int x = wide.x0; x < wide.x0 + wide.w; ++x) {
      const int r2 = (x - px) * (x - px) + (y - py) * (y - py);
      if (r2 < kSkyInner * kSkyInner && wide.At(x, y) - sky >= 0.5 * amp) ++above;
    }
  const double sigma0 = std::max(0.5, std::sqrt(above / M_PI) * kSigmaPerHalfRadius);
  const int half = std::clamp(static_cast<int>(std::ceil(4.0 * sigma0)) + 2, 4, 20);

  Box fit;
  if (!ReadBox(image, px, py, half, &fit)) return 0;
  int valid = 0;
  for (double v : fit.v) valid += std::isnan(v) ? 0 : 1;
  if (valid < 12) return 0;
  Params p{amp, static_cast<double>(px), static_cast<double>(py), sigma0, sky};
  if (!FitGaussian(fit, &p)) return 0;
  if (!(p[0] > 0.0) || !(p[3] >= 0.3 && p[3] <= half) || std::fabs(p[1] - px) > 2.0 ||
      std::fabs(p[2] - py) > 2.0)
    return 0;
  m_Sigma.push_back(p[3]);
  m_dLastX = p[1];
  m_dLastY = p[2];
  m_dLastAmp = p[0];
  m_dLastSky = p[4];
  return 1;
}

int PSF::GetMeanPSF(double* sigma) const {
  if (m_Sigma.empty() || !sigma) return 0;
  *sigma =
      std::accumulate(m_Sigma.begin(), m_Sigma.end(), 0.0) / static_cast<double>(m_Sigma.size());
  return 1;
}

int PSF::GetMedianPSF(double* sigma) const {
  if (m_Sigma.empty() || !sigma) return 0;
  *sigma = Median(m_Sigma);
  return 1;
}
