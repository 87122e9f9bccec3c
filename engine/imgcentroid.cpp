// Centres of gravity of a star inside a rectangle, or inside a circular mask of it. The
// weights are the pixel values above the smallest value of the region, so a flat sky
// under the star does not pull the centre toward the middle of the region. For a whole
// frame the sky is its median instead, and only what stands out of its noise weighs.
#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/imgcentroid.h"
#include "engine/imgpixelinfo.h"
#include "engine/ralimage.h"

namespace {

// Sums the weighted positions of the pixels of r that the row test admits, the values
// given row by row (value(xx, yy) for r.left ≤ xx < r.right, r.top ≤ yy < r.bottom).
// Returns 0 (leaving x and y) when r holds no valid pixel; gives r's middle when every
// pixel has the same value. The sums run in one fixed order, so the same values give the
// same centre whatever holds them.
template <typename Value, typename Admit>
int CentroidOf(double& x, double& y, const RECT& r, Value value, Admit admit) {
  double low = INFINITY;
  long long count = 0;
  double sx = 0.0, sy = 0.0;
  for (int yy = r.top; yy < r.bottom; ++yy)
    for (int xx = r.left; xx < r.right; ++xx) {
      const double v = value(xx, yy);
      if (std::isnan(v) || !admit(xx, yy)) continue;
      if (v < low) low = v;
      sx += xx;
      sy += yy;
      ++count;
    }
  if (count == 0) return 0;
  double sw = 0.0, swx = 0.0, swy = 0.0;
  for (int yy = r.top; yy < r.bottom; ++yy)
    for (int xx = r.left; xx < r.right; ++xx) {
      const double v = value(xx, yy);
      if (std::isnan(v) || !admit(xx, yy)) continue;
      const double weight = v - low;
      sw += weight;
      swx += weight * xx;
      swy += weight * yy;
    }
  if (sw > 0.0 && std::isfinite(sw)) {
    x = swx / sw;
    y = swy / sw;
  } else {
    x = sx / static_cast<double>(count);
    y = sy / static_cast<double>(count);
  }
  return 1;
}

// The same over the clipped area of plane 0, read through the pager.
template <typename Admit>
int Centroid(const CRalImage& image, double& x, double& y, const RECT& area, Admit admit) {
  RECT r;
  const RECT whole{0, 0, image.GetWidth(), image.GetHeight()};
  if (image.IsEmpty() || !IntersectRect(&r, area, whole)) return 0;
  const std::size_t w = static_cast<std::size_t>(r.Width());
  std::vector<double> values(w * static_cast<std::size_t>(r.Height()));
  for (int yy = r.top; yy < r.bottom; ++yy)
    if (!ReadPhysicalSpan(image, r.left, yy, r.Width(), 0,
                          values.data() + static_cast<std::size_t>(yy - r.top) * w))
      return 0;
  return CentroidOf(
      x, y, r,
      [&](int xx, int yy) {
        return values[static_cast<std::size_t>(yy - r.top) * w +
                      static_cast<std::size_t>(xx - r.left)];
      },
      admit);
}

}  // namespace

int CRalImage::GetCenterOfGravity(double& x, double& y, const RECT* area) const {
  const RECT whole{0, 0, GetWidth(), GetHeight()};
  return Centroid(*this, x, y, area ? *area : whole, [](int, int) { return true; });
}

int CRalImage::GetCenterOfGravityCircle(double& x, double& y, const RECT* area,
                                        const std::vector<int>* halfWidths) const {
  if (!area || !halfWidths) return GetCenterOfGravity(x, y, area);
  const int cx = area->left + (area->Width() - 1) / 2;
  const int cy = area->top + (area->Height() - 1) / 2;
  return Centroid(*this, x, y, *area, [&](int xx, int yy) {
    const std::size_t dy = static_cast<std::size_t>(std::abs(yy - cy));
    return dy < halfWidths->size() && std::abs(xx - cx) <= (*halfWidths)[dy];
  });
}

int CenterOfGravityOfPlane(double& x, double& y, const RECT& area, const float* plane, int width,
                           int height) {
  RECT r;
  const RECT whole{0, 0, width, height};
  if (!plane || width <= 0 || height <= 0 || !IntersectRect(&r, area, whole)) return 0;
  const std::size_t stride = static_cast<std::size_t>(width);
  return CentroidOf(
      x, y, r,
      [&](int xx, int yy) {
        return static_cast<double>(
            plane[static_cast<std::size_t>(yy) * stride + static_cast<std::size_t>(xx)]);
      },
      [](int, int) { return true; });
}

int CenterOfGravityAboveSky(const CImage& image, double& x, double& y) {
  if (image.IsEmpty()) return 0;
  const int w = image.GetWidth(), h = image.GetHeight();
  // Every s-th row and column, the columns taken shifted by one from one sampled row to
  // the next, so that no column (an overscan strip, a bad column) stands for the sky.
  long long s = 1;
  while ((w / s + 1) * (h / s + 1) > kSkySamples) ++s;
  std::vector<double> row(static_cast<std::size_t>(w));
  std::vector<double> sample;
  sample.reserve(static_cast<std::size_t>((w / s + 1) * (h / s + 1)));
  for (long long yy = 0; yy < h; yy += s) {
    if (!ReadPhysicalSpan(image, 0, static_cast<int>(yy), w, 0, row.data())) return 0;
    for (long long xx = (yy / s) % s; xx < w; xx += s) {
      const double v = row[static_cast<std::size_t>(xx)];
      if (std::isfinite(v)) sample.push_back(v);
    }
  }
  if (sample.empty()) return 0;
  const auto middle = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2);
  std::nth_element(sample.begin(), middle, sample.end());
  const double sky = *middle;
  for (double& v : sample) v = std::fabs(v - sky);
  std::nth_element(sample.begin(), middle, sample.end());
  const double noise = 1.4826 * *middle;
  const double level = sky + kSkyNoiseTimes * noise;

  double sw = 0.0, swx = 0.0, swy = 0.0;
  for (int yy = 0; yy < h; ++yy) {
    if (!ReadPhysicalSpan(image, 0, yy, w, 0, row.data())) return 0;
    double rw = 0.0, rwx = 0.0;
    for (int xx = 0; xx < w; ++xx) {
      const double v = row[static_cast<std::size_t>(xx)];
      if (!(v > level) || !std::isfinite(v)) continue;
      const double weight = v - level;
      rw += weight;
      rwx += weight * xx;
    }
    sw += rw;
    swx += rwx;
    swy += rw * yy;
  }
  if (!(sw > 0.0) || !std::isfinite(sw)) return 0;
  x = swx / sw;
  y = swy / sw;
  return 1;
}
