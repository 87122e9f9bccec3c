// A row-by-row frame for operations that write an image of the same geometry as the one
// they read: the result is built in a new image and put in place only when every row
// was written, so a failure leaves the image as it was; pixels outside the rectangle
// keep the image's own values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "platform/wintypes.h"

namespace imgsample {

// The pixels an operation computes: rect clamped to the image, or the whole image.
inline RECT ClampedRect(const CImage& image, const RECT* rect) {
  RECT r{0, 0, image.GetWidth(), image.GetHeight()};
  if (rect) IntersectRect(&r, r, *rect);
  return r;
}

inline bool SameGeometry(const CImage& a, const CImage& b) {
  return !a.IsEmpty() && !b.IsEmpty() && a.GetWidth() == b.GetWidth() &&
         a.GetHeight() == b.GetHeight() && a.GetPlanes() == b.GetPlanes();
}

// Runs row(plane, y, values) over every row of every plane; values holds the source's
// physical row and is changed in place between columns r.left and r.right. Returns 1, or
// 0 (image unchanged) when a row cannot be reached or memory runs out.
template <typename F>
int ForEachRow(CRalImage& image, const CImage& source, const RECT& r, int showProgress,
               const std::string& caption, F row) {
  bool ok = true;
  try {
    CRalImage result;
    MakeLike(&result, image, image.GetWidth(), image.GetHeight());
    const int w = image.GetWidth();
    std::vector<double> values(static_cast<std::size_t>(w)), keep(values.size());
    image.ShowProgressInit(showProgress, caption,
                           static_cast<std::int64_t>(image.GetPlanes()) * image.GetHeight());
    for (int p = 0; p < image.GetPlanes() && ok; ++p)
      for (int y = 0; y < image.GetHeight() && ok; ++y) {
        const bool inside = y >= r.top && y < r.bottom && r.left < r.right;
        if (inside) {
          ok = ReadSpan(source, 0, w, y, p, values.data());
          if (ok && &source != &image && (r.left > 0 || r.right < w)) {
            ok = ReadSpan(image, 0, w, y, p, keep.data());
            std::copy(keep.begin(), keep.begin() + r.left, values.begin());
            std::copy(keep.begin() + r.right, keep.end(), values.begin() + r.right);
          }
          if (ok) ok = row(p, y, values.data());
        } else {
          ok = ReadSpan(image, 0, w, y, p, values.data());
        }
        ok = ok && WriteSpan(result, 0, w, y, p, values.data());
        image.ShowProgress(1);
      }
    if (ok) Replace(image, result);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  image.ShowProgressEnd();
  return ok ? 1 : 0;
}

}  // namespace imgsample
