// Spans, bilinear resampling and the affine coordinate update shared by the engine's
// operations. Rows are reached one at a time: an address is used at once and never held
// while another is asked for, since asking the pager may page the first one out.
#include "engine/imgsample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/imgwcs.h"
#include "engine/ralimage.h"
#include "imagemodel/image.h"
#include "imagemodel/pixeltype.h"

namespace imgsample {

bool ReadSpan(const CImage& image, int x0, int n, int y, int plane, double* out) {
  if (n <= 0) return true;
  const void* adr = image.GetImageAdr(x0, y, plane);
  if (!adr) return false;
  const double scale = image.GetBscale(), zero = image.GetBzero();
  const bool blankUsed = image.IsBlankUsed() != 0;
  const int blank = image.GetBlank();
  return pixeltype::WithPixelType(image.GetBitsPixel(), image.IsSigned(), [&](auto z) {
    using T = decltype(z);
    const T* in = static_cast<const T*>(adr);
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (scale == 1.0 && zero == 0.0 && !blankUsed) {
      for (int i = 0; i < n; ++i) out[i] = static_cast<double>(in[i]);
      return;
    }
    for (int i = 0; i < n; ++i)
      out[i] = pixeltype::IsBlankStored(in[i], blankUsed, blank)
                   ? kNaN
                   : static_cast<double>(in[i]) * scale + zero;
  });
}

bool WriteSpan(CImage& image, int x0, int n, int y, int plane, const double* in) {
  if (n <= 0) return true;
  void* adr = image.GetImageAdr(x0, y, plane);
  if (!adr) return false;
  const double scale = image.GetBscale() != 0.0 ? image.GetBscale() : 1.0;
  const double zero = image.GetBzero();
  const bool identity = scale == 1.0 && zero == 0.0;
  return pixeltype::WithPixelType(image.GetBitsPixel(), image.IsSigned(), [&](auto z) {
    using T = decltype(z);
    T* out = static_cast<T*>(adr);
    if constexpr (std::is_floating_point_v<T>) {
      for (int i = 0; i < n; ++i)
        out[i] = static_cast<T>(identity ? in[i] : (in[i] - zero) / scale);
    } else {
      constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
      constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
      const double blank = image.GetBlank();
      const bool blankFits = image.IsBlankUsed() && blank >= lo && blank <= hi;
      for (int i = 0; i < n; ++i) {
        const double raw = std::nearbyint((in[i] - zero) / scale);
        if (raw != raw)
          out[i] = blankFits ? static_cast<T>(blank) : T{0};
        else
          out[i] = static_cast<T>(std::clamp(raw, lo, hi));
      }
    }
  });
}

namespace {

constexpr int kTile = 128;

// The bilinear sample at (u, v) of a region of the source held in `reg` (rows of width
// rw, the region's first pixel at source (rx, ry)); w, h the source's size.
inline double Bilinear(const double* reg, int rw, int rx, int ry, int w, int h, double u, double v,
                       double outside) {
  constexpr double kEps = 1e-9;
  if (!(u >= -kEps && u <= w - 1 + kEps && v >= -kEps && v <= h - 1 + kEps)) return outside;
  u = std::clamp(u, 0.0, static_cast<double>(w - 1));
  v = std::clamp(v, 0.0, static_cast<double>(h - 1));
  int ix = static_cast<int>(u), iy = static_cast<int>(v);
  double fx = u - ix, fy = v - iy;
  // Positions within 1e-9 of a pixel are on it: a turn by a multiple of 90° through the
  // general formula copies values instead of blending in rounding dust (or a NaN).
  if (fx > 1 - kEps) {
    fx = 0;
    ++ix;
  } else if (fx < kEps) {
    fx = 0;
  }
  if (fy > 1 - kEps) {
    fy = 0;
    ++iy;
  } else if (fy < kEps) {
    fy = 0;
  }
  if (ix >= w - 1) {
    ix = w - 1;
    fx = 0;
  }
  if (iy >= h - 1) {
    iy = h - 1;
    fy = 0;
  }
  const double* p = reg + static_cast<std::ptrdiff_t>(iy - ry) * rw + (ix - rx);
  if (fy == 0) return fx == 0 ? p[0] : p[0] * (1 - fx) + p[1] * fx;
  if (fx == 0) return p[0] * (1 - fy) + p[rw] * fy;
  return (p[0] * (1 - fx) + p[1] * fx) * (1 - fy) + (p[rw] * (1 - fx) + p[rw + 1] * fx) * fy;
}

}  // namespace

namespace {

// Resample over target rows dstFirst … dstFirst + dst height − 1 of a target, from a source
// that holds rows srcFirst … of a frame sh rows tall. Each value depends on its target
// position alone (rows are not stepped, columns step from the same tile edges), so a part
// of the target computes the values the whole one does.
bool ResampleWindow(const CImage& src, CImage& dst, const Affine& m, double outside,
                    CRalImage* progress, int dstFirst, int srcFirst, int sh) {
  const int sw = src.GetWidth(), held = src.GetHeight();
  const int dw = dst.GetWidth(), dh = dst.GetHeight();
  std::vector<double> region, out(static_cast<std::size_t>(std::min(dw, kTile)));
  for (int p = 0; p < dst.GetPlanes(); ++p) {
    const int sp = std::min(p, src.GetPlanes() - 1);
    for (int ty = dstFirst; ty < dstFirst + dh; ty += kTile) {
      const int th = std::min(kTile, dstFirst + dh - ty);
      for (int tx = 0; tx < dw; tx += kTile) {
        const int tw = std::min(kTile, dw - tx);
        // The source rectangle under the tile: its corners' images, widened by a pixel.
        double umin = 1e300, umax = -1e300, vmin = 1e300, vmax = -1e300;
        for (const double cx : {static_cast<double>(tx), static_cast<double>(tx + tw - 1)})
          for (const double cy : {static_cast<double>(ty), static_cast<double>(ty + th - 1)}) {
            const double u = m.a11 * cx + m.a12 * cy + m.bx, v = m.a21 * cx + m.a22 * cy + m.by;
            umin = std::min(umin, u);
            umax = std::max(umax, u);
            vmin = std::min(vmin, v);
            vmax = std::max(vmax, v);
          }
        const int rx0 = static_cast<int>(std::clamp(std::floor(umin) - 1, 0.0, sw - 1.0));
        const int rx1 = static_cast<int>(std::clamp(std::ceil(umax) + 1, 0.0, sw - 1.0));
        const int ry0 = static_cast<int>(std::clamp(std::floor(vmin) - 1, 0.0, sh - 1.0));
        const int ry1 = static_cast<int>(std::clamp(std::ceil(vmax) + 1, 0.0, sh - 1.0));
        const bool overlaps = umax >= -1 && umin <= sw && vmax >= -1 && vmin <= sh;
        const int rw = rx1 - rx0 + 1;
        if (overlaps) {
          if (ry0 < srcFirst || ry1 >= srcFirst + held) return false;
          region.resize(static_cast<std::size_t>(rw) * (ry1 - ry0 + 1));
          for (int y = ry0; y <= ry1; ++y)
            if (!ReadSpan(src, rx0, rw, y - srcFirst, sp,
                          region.data() + static_cast<std::size_t>(y - ry0) * rw))
              return false;
        }
        for (int y = ty; y < ty + th; ++y) {
          double u = m.a11 * tx + m.a12 * y + m.bx, v = m.a21 * tx + m.a22 * y + m.by;
          for (int i = 0; i < tw; ++i, u += m.a11, v += m.a21)
            out[i] =
                overlaps ? Bilinear(region.data(), rw, rx0, ry0, sw, sh, u, v, outside) : outside;
          if (!WriteSpan(dst, tx, tw, y - dstFirst, p, out.data())) return false;
        }
      }
      if (progress) progress->ShowProgress(th);
    }
  }
  return true;
}

}  // namespace

bool Resample(const CImage& src, CImage& dst, const Affine& m, double outside,
              CRalImage* progress) {
  return ResampleWindow(src, dst, m, outside, progress, 0, 0, src.GetHeight());
}

bool ResampleRows(const CImage& src, const RowWindow& window, CImage& dst, const Affine& map,
                  double outside) {
  if (window.srcFirst < 0 || window.srcFirst + src.GetHeight() > window.srcHeight ||
      window.dstFirst < 0)
    return false;
  return ResampleWindow(src, dst, map, outside, nullptr, window.dstFirst, window.srcFirst,
                        window.srcHeight);
}

void MakeLike(CRalImage* result, const CImage& like, int width, int height) {
  if (!result->Create(like)) throw std::bad_alloc();
  if ((width != like.GetWidth() || height != like.GetHeight()) &&
      !result->ChangeSize(width, height))
    throw std::bad_alloc();
}

void Replace(CRalImage& image, CRalImage& result) {
  result.SetOverwriteAllowed(image.IsOverwriteAllowed());
  image.Swap(result);
}

namespace {

std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

double Binomial(int n, int k) {
  double c = 1;
  for (int i = 1; i <= k; ++i) c = c * (n - k + i) / i;
  return c;
}

using Poly = std::map<std::pair<int, int>, double>;  // (p, q) → coefficient of u^p v^q

// f(A u') as a polynomial in u' = (u', v').
Poly Compose(const Poly& f, const double a[2][2]) {
  Poly out;
  for (const auto& [pq, c] : f) {
    const auto [p, q] = pq;
    for (int i = 0; i <= p; ++i)
      for (int j = 0; j <= q; ++j) {
        const double k = c * Binomial(p, i) * std::pow(a[0][0], i) * std::pow(a[0][1], p - i) *
                         Binomial(q, j) * std::pow(a[1][0], j) * std::pow(a[1][1], q - j);
        out[{i + j, p + q - i - j}] += k;
      }
  }
  return out;
}

// Rewrites one pair of SIP polynomials (the forward A, B or the inverse AP, BP) as
// f'(u') = A⁻¹ f(A u').
void MoveSip(CFitsHeader& header, bool inverse, const double a[2][2], const double inv[2][2]) {
  Poly f[2];
  int at = -1;
  for (int i = header.GetCount() - 1; i >= 0; --i) {
    const std::string card = header.GetAt(i);
    const std::string_view key =
        Trim(std::string_view(card).substr(0, std::min<std::size_t>(8, card.size())));
    int corrects = 0, p = 0, q = 0;
    if (!FitsSipTerm(key, &corrects, &p, &q) || (key.size() > 2 && key[1] == 'P') != inverse ||
        corrects < 1 || corrects > 2)
      continue;
    double v = 0;
    if (!FitsCardReal(card, &v)) continue;
    f[corrects - 1][{p, q}] += v;
    header.DeleteAt(i);
    at = i;
  }
  if (at < 0) return;
  const Poly g[2] = {Compose(f[0], a), Compose(f[1], a)};
  std::set<std::pair<int, int>> keys;
  for (const Poly& poly : g)
    for (const auto& term : poly) keys.insert(term.first);
  const char* names[2] = {inverse ? "AP" : "A", inverse ? "BP" : "B"};
  for (int k = 0; k < 2; ++k)
    for (const auto& pq : keys) {
      const auto get = [&](int n) {
        const auto it = g[n].find(pq);
        return it == g[n].end() ? 0.0 : it->second;
      };
      const double c = inv[k][0] * get(0) + inv[k][1] * get(1);
      if (c == 0.0) continue;
      const std::string key =
          std::string(names[k]) + "_" + std::to_string(pq.first) + "_" + std::to_string(pq.second);
      std::string card = FitsValueCard(key, FitsRealText(c));
      card.resize(80, ' ');
      header.InsertAt(at++, card);
    }
}

}  // namespace

void MoveCoordinates(CImage& image, const Affine& m) {
  // A plate solution follows a move of the grid (1-based p = p' + b when A is the
  // identity) and nothing else.
  if (m.a11 == 1 && m.a12 == 0 && m.a21 == 0 && m.a22 == 1)
    CImgWcs::ShiftPlateSolution(image, m.bx, m.by);
  else
    CImgWcs::DropPlateSolution(image);
  tagMATRIX2_2 lt;
  const int kind = image.GetLTMtx(&lt);
  std::string type;
  double v;
  bool any = kind != 0;
  for (int ax = 0; ax < 2; ++ax)
    any = any || image.GetCType(ax, &type) || image.GetCRPix(ax, &v) || image.GetCRVal(ax, &v) ||
          image.GetCDelt(ax, &v);
  if (!any) return;
  const double a[2][2] = {{m.a11, m.a12}, {m.a21, m.a22}};
  const double det = m.a11 * m.a22 - m.a12 * m.a21;
  const double inv[2][2] = {{m.a22 / det, -m.a12 / det}, {-m.a21 / det, m.a11 / det}};
  // 1-based: p = A p' + b1 with b1 = b + 1 − A·1.
  const double b1[2] = {m.bx + 1 - m.a11 - m.a12, m.by + 1 - m.a21 - m.a22};
  double crpix[2] = {0, 0};  // a reference pixel not given stands at 0
  for (int ax = 0; ax < 2; ++ax)
    if (!image.GetCRPix(ax, &crpix[ax])) crpix[ax] = 0;
  const double d0 = crpix[0] - b1[0], d1 = crpix[1] - b1[1];
  image.SetCRPix(0, inv[0][0] * d0 + inv[0][1] * d1);
  image.SetCRPix(1, inv[1][0] * d0 + inv[1][1] * d1);

  const auto times = [&](const tagMATRIX2_2& x) {
    return tagMATRIX2_2{x.m11 * a[0][0] + x.m12 * a[1][0], x.m11 * a[0][1] + x.m12 * a[1][1],
                        x.m21 * a[0][0] + x.m22 * a[1][0], x.m21 * a[0][1] + x.m22 * a[1][1]};
  };
  if (kind == 1 || kind == 2) {
    image.SetLTMtx(times(lt), kind);
  } else if (m.a12 == 0 && m.a21 == 0) {
    for (int ax = 0; ax < 2; ++ax) {
      double cdelt = 1.0;
      image.GetCDelt(ax, &cdelt);
      image.SetCDelt(ax, cdelt * a[ax][ax]);
    }
  } else {
    for (int ax = 0; ax < 2; ++ax) {
      double cdelt = 1.0;
      if (!image.GetCDelt(ax, &cdelt)) image.SetCDelt(ax, 1.0);
    }
    image.SetLTMtx(tagMATRIX2_2{a[0][0], a[0][1], a[1][0], a[1][1]}, 2);
  }
  // The matrices as the header gave them follow, so that they still agree.
  tagMATRIX2_2 x;
  if (image.UsedCD()) {
    image.GetCDMtx(&x);
    image.SetCDMtx(times(x));
  }
  if (image.UsedPC()) {
    image.GetPCMtx(&x);
    image.SetPCMtx(times(x));
  }
  if (image.UsedTolvenaPC()) {
    image.GetTolvenaPCMtx(&x);
    image.SetTolvenaPCMtx(times(x));
  }
  MoveSip(image.m_FitsHeader, false, a, inv);
  MoveSip(image.m_FitsHeader, true, a, inv);
}

}  // namespace imgsample
