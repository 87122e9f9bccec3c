// Mirroring and inversion work on stored values row by row. No two row addresses are held
// at once, since asking the pager for one row may page another's block out: where two rows
// take part, each is copied into a buffer as soon as its address is had, and copied back
// the same way.
#include "engine/imgflip.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/imgtables.h"
#include "engine/imgwcs.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "imagemodel/pixeltype.h"

namespace {

const std::string kCaption = "反転中...";

// The image read from: source, or the image itself when source is null or the image.
// Null when source does not match the image.
const CImage* SourceOf(const CRalImage& image, const CRalImage* source) {
  if (!source || source == &image) return &image;
  if (source->IsEmpty() || source->GetWidth() != image.GetWidth() ||
      source->GetHeight() != image.GetHeight() || source->GetPlanes() != image.GetPlanes() ||
      source->GetBitsPixel() != image.GetBitsPixel() || source->IsSigned() != image.IsSigned() ||
      source->GetBscale() != image.GetBscale() || source->GetBzero() != image.GetBzero())
    return nullptr;
  return source;
}

bool Usable(const CImage& image) {
  return !image.IsEmpty() && image.GetWidth() > 0 && image.GetHeight() > 0 && image.GetPlanes() > 0;
}

template <typename T>
bool ReadRow(const CImage& image, int y, int plane, T* out) {
  const void* adr = image.GetImageAdr(0, y, plane);
  if (!adr) return false;
  std::memcpy(out, adr, sizeof(T) * static_cast<std::size_t>(image.GetWidth()));
  return true;
}

template <typename T>
bool WriteRow(CImage& image, int y, int plane, const T* in) {
  void* adr = image.GetImageAdr(0, y, plane);
  if (!adr) return false;
  std::memcpy(adr, in, sizeof(T) * static_cast<std::size_t>(image.GetWidth()));
  return true;
}

template <typename T>
bool FlipRows(CRalImage& image, const CImage& src, bool horizontal) {
  const int width = image.GetWidth(), height = image.GetHeight();
  std::vector<T> a(static_cast<std::size_t>(width)), b(a.size());
  const bool inPlace = &src == &image;
  for (int p = 0; p < image.GetPlanes(); ++p) {
    if (horizontal) {
      for (int y = 0; y < height; ++y) {
        if (inPlace) {
          // A row reverses where it lies: only one address is needed.
          T* row = static_cast<T*>(image.GetImageAdr(0, y, p));
          if (!row) return false;
          std::reverse(row, row + width);
        } else {
          if (!ReadRow(src, y, p, a.data())) return false;
          std::reverse(a.begin(), a.end());
          if (!WriteRow(image, y, p, a.data())) return false;
        }
        image.ShowProgress(1);
      }
    } else if (inPlace) {
      // Rows exchange in pairs; the middle row of an odd height stays.
      for (int y = 0; y < height / 2; ++y) {
        const int z = height - 1 - y;
        if (!ReadRow(image, y, p, a.data()) || !ReadRow(image, z, p, b.data()) ||
            !WriteRow(image, y, p, b.data()) || !WriteRow(image, z, p, a.data()))
          return false;
        image.ShowProgress(2);
      }
      if (height % 2) image.ShowProgress(1);
    } else {
      for (int y = 0; y < height; ++y) {
        if (!ReadRow(src, height - 1 - y, p, a.data()) || !WriteRow(image, y, p, a.data()))
          return false;
        image.ShowProgress(1);
      }
    }
  }
  return true;
}

// The extremes of a plane's stored values, blanks, NaN and infinities left out.
template <typename T>
struct RawRange {
  T lo{}, hi{};
  bool any = false;
};

template <typename T>
bool IsBlank(T v, const CImage& src) {
  return pixeltype::IsBlankStored(v, src.IsBlankUsed() != 0, src.GetBlank());
}

// Values that take no part in the range: blanks, NaN and infinities.
template <typename T>
bool OutOfRange(T v, const CImage& src) {
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(v)) return true;
  }
  return IsBlank(v, src);
}

template <typename T>
bool ScanRange(CRalImage& image, const CImage& src, int plane, RawRange<T>* range) {
  const int width = src.GetWidth();
  for (int y = 0; y < src.GetHeight(); ++y) {
    const T* row = static_cast<const T*>(src.GetImageAdr(0, y, plane));
    if (!row) return false;
    if (src.IsBlankUsed()) {
      for (int x = 0; x < width; ++x) {
        const T v = row[x];
        if (OutOfRange(v, src)) continue;
        if (!range->any || v < range->lo) range->lo = v;
        if (!range->any || v > range->hi) range->hi = v;
        range->any = true;
      }
    } else if constexpr (std::is_floating_point_v<T>) {
      // Branch-free, so that the loop vectorises; rowLo > rowHi when the row holds no
      // finite value.
      constexpr T kInf = std::numeric_limits<T>::infinity();
      T rowLo = kInf, rowHi = -kInf;
      for (int x = 0; x < width; ++x) {
        const T v = row[x];
        const bool finite = std::fabs(v) < kInf;  // false for NaN as well
        rowLo = finite && v < rowLo ? v : rowLo;
        rowHi = finite && v > rowHi ? v : rowHi;
      }
      if (rowLo <= rowHi) {
        if (!range->any || rowLo < range->lo) range->lo = rowLo;
        if (!range->any || rowHi > range->hi) range->hi = rowHi;
        range->any = true;
      }
    } else {
      const auto [lo, hi] = std::minmax_element(row, row + width);
      if (!range->any || *lo < range->lo) range->lo = *lo;
      if (!range->any || *hi > range->hi) range->hi = *hi;
      range->any = true;
    }
    image.ShowProgress(1);
  }
  return true;
}

template <typename T>
void InvertValues(T* v, int left, int right, const RawRange<T>& range, const CImage& src) {
  const bool blankUsed = src.IsBlankUsed() != 0;
  if constexpr (std::is_floating_point_v<T>) {
    // NaN stays NaN and ±inf becomes ∓inf by the formula itself.
    const double lo = range.lo, hi = range.hi;
    for (int x = left; x < right; ++x) {
      if (blankUsed && IsBlank(v[x], src)) continue;
      v[x] = static_cast<T>(lo + (hi - static_cast<double>(v[x])));
    }
  } else {
    // Every counted value lies in [lo, hi], so its image does too: no overflow in 64 bits
    // and none in T.
    const std::int64_t sum = static_cast<std::int64_t>(range.lo) + range.hi;
    for (int x = left; x < right; ++x) {
      if (blankUsed && IsBlank(v[x], src)) continue;
      v[x] = static_cast<T>(sum - static_cast<std::int64_t>(v[x]));
    }
  }
}

template <typename T>
bool InvertRows(CRalImage& image, const CImage& src, const RECT& r) {
  const int height = image.GetHeight();
  const bool inPlace = &src == &image;
  std::vector<T> row(static_cast<std::size_t>(image.GetWidth()));
  for (int p = 0; p < image.GetPlanes(); ++p) {
    RawRange<T> range;
    if (!ScanRange(image, src, p, &range)) return false;
    for (int y = 0; y < height; ++y) {
      const bool inside = range.any && y >= r.top && y < r.bottom && r.left < r.right;
      if (inside || !inPlace) {
        if (!ReadRow(src, y, p, row.data())) return false;
        if (inside) InvertValues(row.data(), r.left, r.right, range, src);
        if (!WriteRow(image, y, p, row.data())) return false;
      }
      image.ShowProgress(1);
    }
  }
  return true;
}

}  // namespace

int CImgFlip::Do(int horizontal, const CRalImage* source, int showProgress) {
  if (!Usable(m_Image)) return 0;
  const CImage* src = SourceOf(m_Image, source);
  if (!src) return 0;
  bool ok = false;
  try {
    m_Image.ShowProgressInit(showProgress, kCaption,
                             static_cast<std::int64_t>(m_Image.GetPlanes()) * m_Image.GetHeight());
    pixeltype::WithPixelType(m_Image.GetBitsPixel(), m_Image.IsSigned(), [&](auto zero) {
      ok = FlipRows<decltype(zero)>(m_Image, *src, horizontal != 0);
    });
    // The coordinates follow the pixels: those of the image read, mirrored; so do the
    // measurement tables.
    if (ok) {
      CImgWcs::CopyFrom(m_Image, *src);
      CImgWcs::Mirror(m_Image, horizontal ? 1 : 2);
      if (src != &m_Image) m_Image.m_FitsExtensions = src->m_FitsExtensions;
      CImgTables::Follow(
          m_Image, CPixelMove::Mirror(m_Image.GetWidth(), m_Image.GetHeight(), horizontal != 0));
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  m_Image.ShowProgressEnd();
  return ok ? 1 : 0;
}

int CImgInvert::Do(const CRalImage* source, const RECT* rect, int showProgress) {
  if (!Usable(m_Image)) return 0;
  const CImage* src = SourceOf(m_Image, source);
  if (!src) return 0;
  RECT r{0, 0, m_Image.GetWidth(), m_Image.GetHeight()};
  if (rect) IntersectRect(&r, r, *rect);
  bool ok = false;
  try {
    // Each plane is read once for its range and once more to write it.
    m_Image.ShowProgressInit(
        showProgress, kCaption,
        2 * static_cast<std::int64_t>(m_Image.GetPlanes()) * m_Image.GetHeight());
    pixeltype::WithPixelType(m_Image.GetBitsPixel(), m_Image.IsSigned(),
                             [&](auto zero) { ok = InvertRows<decltype(zero)>(m_Image, *src, r); });
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  m_Image.ShowProgressEnd();
  return ok ? 1 : 0;
}
