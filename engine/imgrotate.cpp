// Rotations. Quarter turns go tile by tile: a band of source rows is read into a buffer
// and written out as the matching columns of the target rows, so each row is reached
// once per band and no two row addresses are held at once. Any other angle resamples
// through the tiled bilinear sampler.
#include "engine/imgrotate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "imagemodel/pixeltype.h"

namespace {

const std::string kCaption = "回転中...";
constexpr int kBand = 64;

bool Usable(const CImage& image) {
  return !image.IsEmpty() && image.GetWidth() > 0 && image.GetHeight() > 0 && image.GetPlanes() > 0;
}

// Target (x', y') of a quarter turn reads source (y', h − 1 − x') for +90° and
// (w − 1 − y', x') for −90°.
template <typename T>
bool QuarterTurn(const CImage& src, CRalImage& dst, bool clockwise, CRalImage& progress) {
  const int w = src.GetWidth(), h = src.GetHeight();  // target is h wide, w high
  std::vector<T> band(static_cast<std::size_t>(kBand) * w), out(kBand);
  for (int p = 0; p < src.GetPlanes(); ++p)
    for (int y0 = 0; y0 < h; y0 += kBand) {
      const int n = std::min(kBand, h - y0);
      for (int i = 0; i < n; ++i) {
        const void* in = src.GetImageAdr(0, y0 + i, p);
        if (!in) return false;
        std::memcpy(band.data() + static_cast<std::size_t>(i) * w, in, sizeof(T) * w);
      }
      // Source rows y0 … y0 + n − 1 fill target columns h − 1 − y (+90°) or y (−90°).
      const int x0 = clockwise ? y0 : h - y0 - n;
      for (int yt = 0; yt < w; ++yt) {
        const int sx = clockwise ? w - 1 - yt : yt;
        for (int i = 0; i < n; ++i) {
          const int row = clockwise ? i : n - 1 - i;
          out[i] = band[static_cast<std::size_t>(row) * w + sx];
        }
        void* adr = dst.GetImageAdr(x0, yt, p);
        if (!adr) return false;
        std::memcpy(adr, out.data(), sizeof(T) * n);
      }
      progress.ShowProgress(n);
    }
  return true;
}

template <typename T>
bool HalfTurn(const CImage& src, CRalImage& dst, CRalImage& progress) {
  const int w = src.GetWidth(), h = src.GetHeight();
  std::vector<T> row(static_cast<std::size_t>(w));
  for (int p = 0; p < src.GetPlanes(); ++p)
    for (int y = 0; y < h; ++y) {
      const void* in = src.GetImageAdr(0, h - 1 - y, p);
      if (!in) return false;
      std::memcpy(row.data(), in, sizeof(T) * w);
      std::reverse(row.begin(), row.end());
      void* out = dst.GetImageAdr(0, y, p);
      if (!out) return false;
      std::memcpy(out, row.data(), sizeof(T) * w);
      progress.ShowProgress(1);
    }
  return true;
}

// Runs fill(result) on a result of the given size made like src, then moves the
// coordinates by map and puts the result in place.
template <typename F>
int Build(CRalImage& image, const CImage& src, int width, int height, int showProgress,
          const imgsample::Affine& map, bool resampled, F fill) {
  bool ok = false;
  try {
    CRalImage result;
    imgsample::MakeLike(&result, src, width, height);
    // Quarter and half turns step through the source rows, any other angle through the
    // target rows.
    image.ShowProgressInit(
        showProgress, kCaption,
        static_cast<std::int64_t>(src.GetPlanes()) * (resampled ? height : src.GetHeight()));
    ok = fill(result);
    if (ok) {
      imgsample::MoveCoordinates(result, map);
      imgsample::Replace(image, result);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  image.ShowProgressEnd();
  return ok ? 1 : 0;
}

}  // namespace

int CImgRotate::Do90(int clockwise, const CRalImage* source, int showProgress) {
  const CImage& src = source ? *source : m_Image;
  if (!Usable(src)) return 0;
  const int w = src.GetWidth(), h = src.GetHeight();
  imgsample::Affine map;  // target (x', y') → source
  if (clockwise) {
    map = {0, -1, 1, 0, w - 1.0, 0};  // (w − 1 − y', x')
  } else {
    map = {0, 1, -1, 0, 0, h - 1.0};  // (y', h − 1 − x')
  }
  return Build(m_Image, src, h, w, showProgress, map, false, [&](CRalImage& result) {
    bool ok = false;
    pixeltype::WithPixelType(src.GetBitsPixel(), src.IsSigned(), [&](auto z) {
      ok = QuarterTurn<decltype(z)>(src, result, clockwise != 0, m_Image);
    });
    return ok;
  });
}

int CImgRotate::Do180(const CRalImage* source, int showProgress) {
  const CImage& src = source ? *source : m_Image;
  if (!Usable(src)) return 0;
  const int w = src.GetWidth(), h = src.GetHeight();
  const imgsample::Affine map{-1, 0, 0, -1, w - 1.0, h - 1.0};
  return Build(m_Image, src, w, h, showProgress, map, false, [&](CRalImage& result) {
    bool ok = false;
    pixeltype::WithPixelType(src.GetBitsPixel(), src.IsSigned(),
                             [&](auto z) { ok = HalfTurn<decltype(z)>(src, result, m_Image); });
    return ok;
  });
}

int CImgRotate::Do(double angle, int sizeFixed, const CRalImage* source, int showProgress) {
  const CImage& src = source ? *source : m_Image;
  if (!Usable(src) || !std::isfinite(angle)) return 0;
  const int w = src.GetWidth(), h = src.GetHeight();
  const double t = angle * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
  int tw = w, th = h;
  if (!sizeFixed) {
    // The bounding box of the turned image's outline, rounded to nearest (a tiny
    // allowance keeps 90.0000000001° from growing the image by a pixel).
    tw = std::max(1, static_cast<int>(std::abs(c) * w + std::abs(s) * h + 0.5 - 1e-9));
    th = std::max(1, static_cast<int>(std::abs(s) * w + std::abs(c) * h + 0.5 - 1e-9));
  }
  // Target (x', y') comes from c_src + R(−θ) ((x', y') − c_dst).
  const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0, dx = (tw - 1) / 2.0, dy = (th - 1) / 2.0;
  imgsample::Affine map{c, s, -s, c, 0, 0};
  map.bx = cx - (c * dx + s * dy);
  map.by = cy - (-s * dx + c * dy);
  return Build(m_Image, src, tw, th, showProgress, map, true, [&](CRalImage& result) {
    return imgsample::Resample(src, result, map, 0.0, &m_Image);
  });
}
