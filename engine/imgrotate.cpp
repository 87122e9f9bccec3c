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
#include "engine/pixelmove.h"
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

// Runs fill(result) on a result of the move's size made like src, then lets what stands on
// the pixels follow the move and puts the result in place.
template <typename F>
int Build(CRalImage& image, const CImage& src, const CPixelMove& move, int showProgress, F fill) {
  const int width = move.NewWidth(), height = move.NewHeight();
  const bool resampled = !move.KeepsPositions();
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
      FollowPixelMove(result, move);
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
  const CPixelMove move = CPixelMove::QuarterTurn(src.GetWidth(), src.GetHeight(), clockwise != 0);
  return Build(m_Image, src, move, showProgress, [&](CRalImage& result) {
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
  const CPixelMove move = CPixelMove::HalfTurn(src.GetWidth(), src.GetHeight());
  return Build(m_Image, src, move, showProgress, [&](CRalImage& result) {
    bool ok = false;
    pixeltype::WithPixelType(src.GetBitsPixel(), src.IsSigned(),
                             [&](auto z) { ok = HalfTurn<decltype(z)>(src, result, m_Image); });
    return ok;
  });
}

int CImgRotate::Do(double angle, int sizeFixed, const CRalImage* source, int showProgress) {
  const CImage& src = source ? *source : m_Image;
  if (!Usable(src) || !std::isfinite(angle)) return 0;
  const CPixelMove move = CPixelMove::Turn(src.GetWidth(), src.GetHeight(), angle, sizeFixed != 0);
  return Build(m_Image, src, move, showProgress, [&](CRalImage& result) {
    return imgsample::Resample(src, result, move.ToOld(), 0.0, &m_Image);
  });
}

int CImgRotate::QuarterTurnsOf(double angle) {
  double a = std::fmod(angle, 360.0);
  if (a <= -180.0) a += 360.0;
  if (a > 180.0) a -= 360.0;
  if (a == 0.0) return 0;
  if (a == 90.0) return 1;
  if (a == 180.0) return 2;
  if (a == -90.0) return 3;
  return -1;
}

int CImgRotate::DoShown(double angle, int sizeFixed, const CRalImage* source, int showProgress) {
  // Rows are shown first row at the top, where the engine's positive angle turns the
  // picture clockwise.
  switch (QuarterTurnsOf(angle)) {
    case 0:
      return !source || m_Image.CopyImage(*source) ? 1 : 0;
    case 1:
      return Do90(1, source, showProgress);
    case 2:
      return Do180(source, showProgress);
    case 3:
      return Do90(0, source, showProgress);
    default:
      return Do(-angle, sizeFixed, source, showProgress);
  }
}

CPixelMove CImgRotate::MoveShown(double angle, int sizeFixed, int width, int height) {
  switch (QuarterTurnsOf(angle)) {
    case 0:
      return CPixelMove::Crop(width, height, RECT{0, 0, width, height});
    case 1:
      return CPixelMove::QuarterTurn(width, height, true);
    case 2:
      return CPixelMove::HalfTurn(width, height);
    case 3:
      return CPixelMove::QuarterTurn(width, height, false);
    default:
      return CPixelMove::Turn(width, height, -angle, sizeFixed != 0);
  }
}
