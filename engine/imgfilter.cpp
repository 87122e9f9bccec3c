// The contour filter. Lines need the rows above and below, which come from their own
// reads of the source: no row address is held while another is asked for.
#include "engine/imgfilter.h"

#include <cmath>
#include <vector>

#include "engine/imgrowop.h"
#include "engine/ralimage.h"

int CImgFilter::ContourFilter(double step, int mode, const CRalImage* source, const RECT* rect,
                              int showProgress) {
  if (!(step > 0) || !std::isfinite(step) || (mode != 0 && mode != 1)) return 0;
  const CImage& src = source ? *source : m_Image;
  if (!imgsample::SameGeometry(m_Image, src)) return 0;
  const RECT r = imgsample::ClampedRect(m_Image, rect);
  const int w = src.GetWidth(), h = src.GetHeight();
  std::vector<double> lowest(static_cast<std::size_t>(src.GetPlanes()));
  for (int p = 0; p < src.GetPlanes(); ++p) {
    double hi;
    if (!src.GetMinMax(p, &lowest[p], &hi)) return 0;
  }
  std::vector<double> above(static_cast<std::size_t>(w)), below(above.size()), row(above.size());
  const auto band = [&](double v, double m) { return std::floor((v - m) / step); };
  return imgsample::ForEachRow(
      m_Image, src, r, showProgress, "コンタ作成中...", [&](int p, int y, double* v) {
        const double m = lowest[static_cast<std::size_t>(p)];
        if (mode == 0) {
          for (int x = r.left; x < r.right; ++x)
            if (!std::isnan(v[x])) v[x] = m + band(v[x], m) * step;
          return true;
        }
        if (!imgsample::ReadSpan(src, 0, w, y, p, row.data())) return false;
        const bool up = y + 1 < h, down = y > 0;
        if (up && !imgsample::ReadSpan(src, 0, w, y + 1, p, above.data())) return false;
        if (down && !imgsample::ReadSpan(src, 0, w, y - 1, p, below.data())) return false;
        for (int x = r.left; x < r.right; ++x) {
          if (std::isnan(row[x])) continue;
          const double k = band(row[x], m);
          // NaN neighbours compare false and never make a line.
          const bool line = (x > 0 && band(row[x - 1], m) > k) ||
                            (x + 1 < w && band(row[x + 1], m) > k) ||
                            (up && band(above[x], m) > k) || (down && band(below[x], m) > k);
          v[x] = line ? m + (k + 1) * step : m;
        }
        return true;
      });
}
