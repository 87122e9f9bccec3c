// Rectangle statistics and span reads for the measurement tools.
#include "engine/imgpixelinfo.h"

#include <cmath>
#include <limits>
#include <vector>

#include "imagemodel/image.h"
#include "imagemodel/pixeltype.h"

int ReadPhysicalSpan(const CImage& image, int x0, int y, int n, int plane, double* out) {
  if (n <= 0) return 1;
  const void* adr = image.GetImageAdr(x0, y, plane);
  if (!adr) return 0;
  const bool blankUsed = image.IsBlankUsed() != 0;
  const int blank = image.GetBlank();
  const double scale = image.GetBscale(), zero = image.GetBzero();
  const bool scaled = scale != 1.0 || zero != 0.0;
  return pixeltype::WithPixelType(image.GetBitsPixel(), image.IsSigned(),
                                  [&](auto z) {
                                    using T = decltype(z);
                                    const T* p = static_cast<const T*>(adr);
                                    for (int i = 0; i < n; ++i) {
                                      const T v = p[i];
                                      if (pixeltype::IsBlankStored(v, blankUsed, blank))
                                        out[i] = std::numeric_limits<double>::quiet_NaN();
                                      else
                                        out[i] = scaled ? static_cast<double>(v) * scale + zero
                                                        : static_cast<double>(v);
                                    }
                                  })
             ? 1
             : 0;
}

long long CImgPixelInfo::Calc(const RECT& rect, double* mean0, double* mean1, double* mean2,
                              double* meanLum) const {
  double sums[3] = {0.0, 0.0, 0.0};
  long long counts[3] = {0, 0, 0};
  double lumSum = 0.0;
  long long lumCount = 0;
  RECT r;
  const RECT whole{0, 0, m_Image.GetWidth(), m_Image.GetHeight()};
  const bool any = !m_Image.IsEmpty() && IntersectRect(&r, rect, whole);
  const int planes = m_Image.GetPlanes() >= 3 ? 3 : 1;
  bool readOk = any;
  if (any) {
    std::vector<double> row[3];
    for (int p = 0; p < planes; ++p) row[p].resize(static_cast<std::size_t>(r.Width()));
    for (int y = r.top; y < r.bottom && readOk; ++y) {
      for (int p = 0; p < planes; ++p)
        if (!ReadPhysicalSpan(m_Image, r.left, y, r.Width(), p, row[p].data())) readOk = false;
      if (!readOk) break;
      for (int i = 0; i < r.Width(); ++i) {
        bool valid = true;
        for (int p = 0; p < planes; ++p) {
          const double v = row[p][static_cast<std::size_t>(i)];
          if (std::isnan(v)) {
            valid = false;
            continue;
          }
          sums[p] += v;
          ++counts[p];
        }
        if (!valid) continue;
        lumSum += planes == 3 ? 0.299 * row[0][static_cast<std::size_t>(i)] +
                                    0.587 * row[1][static_cast<std::size_t>(i)] +
                                    0.114 * row[2][static_cast<std::size_t>(i)]
                              : row[0][static_cast<std::size_t>(i)];
        ++lumCount;
      }
    }
  }
  if (!readOk) lumCount = 0;
  auto mean = [&](int p) {
    return readOk && counts[p] > 0 ? sums[p] / static_cast<double>(counts[p]) : 0.0;
  };
  const double m0 = mean(0);
  if (mean0) *mean0 = m0;
  if (mean1) *mean1 = planes == 3 ? mean(1) : m0;
  if (mean2) *mean2 = planes == 3 ? mean(2) : m0;
  if (meanLum) *meanLum = lumCount > 0 ? lumSum / static_cast<double>(lumCount) : 0.0;
  return lumCount;
}
