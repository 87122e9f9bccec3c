// The cyclic shift row by row: output row y is source row y − dy, rotated by dx.
#include "engine/imgscroll.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "engine/imgsample.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"

int CImgScroll::Do(int dx, int dy, const CRalImage* source, int showProgress) {
  const CRalImage& src = source ? *source : m_Image;
  if (src.IsEmpty() || src.GetWidth() <= 0 || src.GetHeight() <= 0) return 0;
  const int w = src.GetWidth(), h = src.GetHeight();
  const int sx = ((dx % w) + w) % w, sy = ((dy % h) + h) % h;
  const std::size_t bytes = static_cast<std::size_t>(src.GetBytesPixel());
  bool ok = true;
  try {
    CRalImage result;
    imgsample::MakeLike(&result, src, w, h);
    std::vector<std::uint8_t> row(bytes * w);
    m_Image.ShowProgressInit(showProgress, "スクロール中...",
                             static_cast<std::int64_t>(src.GetPlanes()) * h);
    for (int p = 0; p < src.GetPlanes() && ok; ++p)
      for (int y = 0; y < h && ok; ++y) {
        const void* in = src.GetImageAdr(0, (y - sy + h) % h, p);
        if (!in) {
          ok = false;
          break;
        }
        // Column x of the source goes to (x + sx) mod w.
        std::memcpy(row.data() + bytes * sx, in, bytes * (w - sx));
        std::memcpy(row.data(), static_cast<const std::uint8_t*>(in) + bytes * (w - sx),
                    bytes * sx);
        void* out = result.GetImageAdr(0, y, p);
        if (!out) {
          ok = false;
          break;
        }
        std::memcpy(out, row.data(), row.size());
        m_Image.ShowProgress(1);
      }
    if (ok) {
      FollowPixelMove(result, CPixelMove::Scroll(w, h, dx, dy));
      imgsample::Replace(m_Image, result);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  m_Image.ShowProgressEnd();
  return ok ? 1 : 0;
}
