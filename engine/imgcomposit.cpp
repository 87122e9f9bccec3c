// Compositing. A shifted or turned other image is first resampled onto the source's grid
// into a paged image of doubles (NaN where it has no value); the saturation repair's
// distances go into another. The combination then runs row by row.
#include "engine/imgcomposit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/imgrowop.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Horizontal chessboard distance of each pixel of a row to the nearest saturated pixel
// of the row, capped at cap.
void RowDistance(const double* a, int w, double level, double cap, double* out) {
  double d = cap;
  for (int x = 0; x < w; ++x) {
    d = a[x] >= level ? 0 : std::min(cap, d + 1);
    out[x] = d;
  }
  d = cap;
  for (int x = w - 1; x >= 0; --x) {
    d = a[x] >= level ? 0 : std::min(cap, d + 1);
    out[x] = std::min(out[x], d);
  }
}

}  // namespace

int CImgComposit::Do(const CRalImage* source, const CRalImage* other, double dx, double dy,
                     double rotation, int method, double rate, int useLevel, int cutMinus,
                     double saturation, int darkBand, const RECT* rect, int final, int captionId) {
  if (!other || other->IsEmpty() || other->GetWidth() < 1 || other->GetHeight() < 1 ||
      other->GetPlanes() < 1 || method < kAdd || method > kNbr)
    return 0;
  if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(rotation) ||
      !std::isfinite(rate) || (method == kNbr && !std::isfinite(saturation)))
    return 0;
  const CImage& src = source ? *source : m_Image;
  if (!imgsample::SameGeometry(m_Image, src)) return 0;
  const RECT r = imgsample::ClampedRect(m_Image, rect);
  const int w = src.GetWidth(), h = src.GetHeight(), planes = src.GetPlanes();
  const int band = std::max(0, darkBand);
  try {
    // b on the source's grid.
    const CImage* b = other;
    std::unique_ptr<CRalImage> placed;
    if (dx != 0 || dy != 0 || rotation != 0 || other->GetWidth() != w || other->GetHeight() != h) {
      placed = std::make_unique<CRalImage>(w, h, -64, other->GetPlanes(), 1.0, 0.0, 1);
      const double t = rotation * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
      const double ox = (other->GetWidth() - 1) / 2.0, oy = (other->GetHeight() - 1) / 2.0;
      // (u, v) = c_o + R(−θ) ((x, y) − d − c_o)
      imgsample::Affine map{c, s, -s, c, 0, 0};
      map.bx = ox - c * (dx + ox) - s * (dy + oy);
      map.by = oy + s * (dx + ox) - c * (dy + oy);
      if (!imgsample::Resample(*other, *placed, map, kNaN, nullptr)) return 0;
      b = placed.get();
    }
    // The saturation repair's distances: per row first, then the window of rows.
    std::unique_ptr<CRalImage> across;
    std::vector<double> level(static_cast<std::size_t>(planes), 0.0);
    if (method == kNbr) {
      across = std::make_unique<CRalImage>(w, h, -32, planes, 1.0, 0.0, 1);
      std::vector<double> a(static_cast<std::size_t>(w)), d(a.size());
      for (int p = 0; p < planes; ++p) {
        double lo = 0, hi = 0;
        if (!src.GetMinMax(p, &lo, &hi)) return 0;
        level[p] = lo + saturation * (hi - lo);
        for (int y = 0; y < h; ++y)
          if (!imgsample::ReadSpan(src, 0, w, y, p, a.data()))
            return 0;
          else {
            RowDistance(a.data(), w, level[p], band + 1.0, d.data());
            if (!imgsample::WriteSpan(*across, 0, w, y, p, d.data())) return 0;
          }
      }
    }
    std::vector<double> bv(static_cast<std::size_t>(w)), dist(bv.size()), d(bv.size());
    const std::string caption = captionId == 2343 ? "ブリンクコンパレータ準備中..." : "合成中...";
    return imgsample::ForEachRow(m_Image, src, r, final, caption, [&](int p, int y, double* a) {
      const int bp = std::min(p, b->GetPlanes() - 1);
      if (!imgsample::ReadSpan(*b, 0, w, y, bp, bv.data())) return false;
      if (useLevel && other->HasLevel() && m_Image.HasLevel()) {
        const double omin = other->GetLevelMin(bp), omax = other->GetLevelMax(bp);
        const double tmin = m_Image.GetLevelMin(p), tmax = m_Image.GetLevelMax(p);
        if (omax != omin && std::isfinite(omin) && std::isfinite(omax)) {
          const double k = (tmax - tmin) / (omax - omin);
          for (int x = r.left; x < r.right; ++x) bv[x] = tmin + (bv[x] - omin) * k;
        }
      }
      if (method == kNbr) {
        std::fill(dist.begin(), dist.end(), band + 1.0);
        for (int k = -band; k <= band; ++k) {
          if (y + k < 0 || y + k >= h) continue;
          if (!imgsample::ReadSpan(*across, 0, w, y + k, p, d.data())) return false;
          for (int x = r.left; x < r.right; ++x)
            dist[x] = std::min(dist[x], std::max<double>(std::abs(k), d[x]));
        }
      }
      for (int x = r.left; x < r.right; ++x) {
        const double av = a[x], bx = bv[x];
        if (std::isnan(bx)) continue;
        double out;
        switch (method) {
          case kAdd:
            out = av + bx;
            break;
          case kAverage:
            out = (av + bx) / 2;
            break;
          case kWeighted:
            out = (1 - rate) * av + rate * bx;
            break;
          case kSubtract:
            out = av - bx;
            break;
          case kMultiply:
            out = av * bx;
            break;
          case kDivide:
            out = bx == 0 ? (std::isnan(av) ? av : 0.0) : av / bx;
            break;
          case kDifference:
            out = std::abs(av - bx);
            break;
          case kLighter:
            out = std::isnan(av) ? av : std::max(av, bx);
            break;
          case kDarker:
            out = std::isnan(av) ? av : std::min(av, bx);
            break;
          default: {
            const double t = dist[x] > band ? 0.0 : 1.0 - dist[x] / (band + 1.0);
            out = t == 0 ? av : t * rate * bx + (1 - t) * av;
          }
        }
        if (cutMinus && out < 0) out = 0;
        a[x] = out;
      }
      return true;
    });
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
