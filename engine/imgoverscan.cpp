// Overscan: the region's values are gathered per plane, reduced to one level, and the
// subtraction runs through the row frame of imgrowop.h.
#include "engine/imgoverscan.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "engine/imgclip.h"
#include "engine/imgrowop.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"

int CImgOverScan::Do(int x1, int x2, int y1, int y2, int clipping, int final) {
  if (m_Image.IsEmpty()) return 0;
  const int w = m_Image.GetWidth(), h = m_Image.GetHeight(), planes = m_Image.GetPlanes();
  const int left = std::max(0, std::min(x1, x2)), right = std::min(w - 1, std::max(x1, x2));
  const int top = std::max(0, std::min(y1, y2)), bottom = std::min(h - 1, std::max(y1, y2));
  if (left > right || top > bottom) return 0;
  std::vector<double> levels(static_cast<std::size_t>(planes));
  try {
    const int rw = right - left + 1;
    std::vector<double> row(static_cast<std::size_t>(rw)), values;
    values.reserve(static_cast<std::size_t>(rw) * (bottom - top + 1));
    for (int p = 0; p < planes; ++p) {
      values.clear();
      for (int y = top; y <= bottom; ++y) {
        if (!imgsample::ReadSpan(m_Image, left, rw, y, p, row.data())) return 0;
        for (double v : row)
          if (std::isfinite(v)) values.push_back(v);
      }
      if (values.empty()) return 0;
      int n = static_cast<int>(values.size());
      if (clipping) n = imgclip::SigmaClip(values.data(), n);
      levels[p] = imgclip::Mean(values.data(), n);
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const RECT all{0, 0, w, h};
  const int ok = imgsample::ForEachRow(m_Image, m_Image, all, final,
                                       "オーバースキャン領域減算中...", [&](int p, int, double* v) {
                                         for (int x = 0; x < w; ++x) v[x] -= levels[p];
                                         return true;
                                       });
  if (ok) m_Levels = std::move(levels);
  return ok;
}
