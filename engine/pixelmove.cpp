// The maps of the operations that move pixels, and what follows them.
#include "engine/pixelmove.h"

#include <algorithm>
#include <cmath>

#include "engine/imgtables.h"
#include "engine/imgwcs.h"
#include "imagemodel/image.h"
#include "settings/registry.h"

namespace {

using imgsample::Affine;

Affine Inverse(const Affine& m) {
  const double det = m.a11 * m.a22 - m.a12 * m.a21;
  Affine r{m.a22 / det, -m.a12 / det, -m.a21 / det, m.a11 / det, 0, 0};
  r.bx = -(r.a11 * m.bx + r.a12 * m.by);
  r.by = -(r.a21 * m.bx + r.a22 * m.by);
  return r;
}

// first ∘ second: second applied first.
Affine Compose(const Affine& first, const Affine& second) {
  return {first.a11 * second.a11 + first.a12 * second.a21,
          first.a11 * second.a12 + first.a12 * second.a22,
          first.a21 * second.a11 + first.a22 * second.a21,
          first.a21 * second.a12 + first.a22 * second.a22,
          first.a11 * second.bx + first.a12 * second.by + first.bx,
          first.a21 * second.bx + first.a22 * second.by + first.by};
}

// Stored row y of an image h rows high is file row h − 1 − y (0-based), and back.
Affine RowsReversed(int h) {
  return {1, 0, 0, -1, 0, h - 1.0};
}

bool IsIdentityMatrix(const Affine& m) {
  return m.a11 == 1 && m.a12 == 0 && m.a21 == 0 && m.a22 == 1;
}

}  // namespace

CPixelMove CPixelMove::Make(int w, int h, int nw, int nh, const Affine& toOld, bool keeps) {
  CPixelMove m;
  m.m_nOldWidth = w;
  m.m_nOldHeight = h;
  m.m_nNewWidth = nw;
  m.m_nNewHeight = nh;
  m.m_ToOld = toOld;
  m.m_ToNew = Inverse(toOld);
  m.m_bKeepsPositions = keeps;
  return m;
}

CPixelMove CPixelMove::QuarterTurn(int w, int h, bool clockwise) {
  // New (x', y') reads old (w − 1 − y', x') clockwise, else (y', h − 1 − x').
  return clockwise ? Make(w, h, h, w, {0, -1, 1, 0, w - 1.0, 0}, true)
                   : Make(w, h, h, w, {0, 1, -1, 0, 0, h - 1.0}, true);
}

CPixelMove CPixelMove::HalfTurn(int w, int h) {
  return Make(w, h, w, h, {-1, 0, 0, -1, w - 1.0, h - 1.0}, true);
}

CPixelMove CPixelMove::Turn(int w, int h, double angleDegrees, bool sizeFixed) {
  const double t = angleDegrees * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
  int tw = w, th = h;
  if (!sizeFixed) {
    // The bounding box of the turned image's outline, rounded to nearest (a tiny
    // allowance keeps 90.0000000001° from growing the image by a pixel).
    tw = std::max(1, static_cast<int>(std::abs(c) * w + std::abs(s) * h + 0.5 - 1e-9));
    th = std::max(1, static_cast<int>(std::abs(s) * w + std::abs(c) * h + 0.5 - 1e-9));
  }
  // New (x', y') comes from c_old + R(−θ) ((x', y') − c_new).
  const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0, dx = (tw - 1) / 2.0, dy = (th - 1) / 2.0;
  Affine map{c, s, -s, c, 0, 0};
  map.bx = cx - (c * dx + s * dy);
  map.by = cy - (-s * dx + c * dy);
  return Make(w, h, tw, th, map, false);
}

CPixelMove CPixelMove::Mirror(int w, int h, bool horizontal) {
  return horizontal ? Make(w, h, w, h, {-1, 0, 0, 1, w - 1.0, 0}, true)
                    : Make(w, h, w, h, {1, 0, 0, -1, 0, h - 1.0}, true);
}

CPixelMove CPixelMove::Resample(int w, int h, int width, int height) {
  // Pixel edges meet: new pixel i covers old [i s, (i + 1) s), s = old / new size.
  const double sx = static_cast<double>(w) / width, sy = static_cast<double>(h) / height;
  return Make(w, h, width, height, {sx, 0, 0, sy, 0.5 * sx - 0.5, 0.5 * sy - 0.5}, false);
}

CPixelMove CPixelMove::Scroll(int w, int h, int dx, int dy) {
  // The shift as given, less whole turns, so that the pixels that did not wrap keep their
  // sky.
  CPixelMove m = Make(
      w, h, w, h, {1, 0, 0, 1, -static_cast<double>(dx % w), -static_cast<double>(dy % h)}, true);
  m.m_bWraps = true;
  return m;
}

CPixelMove CPixelMove::Crop(int w, int h, const RECT& rect) {
  return Make(w, h, rect.right - rect.left, rect.bottom - rect.top,
              {1, 0, 0, 1, static_cast<double>(rect.left), static_cast<double>(rect.top)}, true);
}

bool CPixelMove::Apply(double x, double y, double* nx, double* ny) const {
  double u = m_ToNew.a11 * x + m_ToNew.a12 * y + m_ToNew.bx;
  double v = m_ToNew.a21 * x + m_ToNew.a22 * y + m_ToNew.by;
  if (m_bWraps) {
    // Whole pixels leaving one edge come back at the other.
    const auto wrap = [](double p, int n) {
      const double r = std::fmod(p + 0.5, static_cast<double>(n));
      return (r < 0 ? r + n : r) - 0.5;
    };
    u = wrap(u, m_nNewWidth);
    v = wrap(v, m_nNewHeight);
  }
  *nx = u;
  *ny = v;
  return std::isfinite(u) && std::isfinite(v) && u >= -0.5 && v >= -0.5 && u < m_nNewWidth - 0.5 &&
         v < m_nNewHeight - 0.5;
}

bool CPixelMove::ApplyRect(int left, int top, int right, int bottom, RECT* out) const {
  double x1, y1, x2, y2;
  if (!Apply(left, top, &x1, &y1) || !Apply(right, bottom, &x2, &y2)) return false;
  const auto whole = [](double v) { return static_cast<int>(std::lround(v)); };
  out->left = whole(std::min(x1, x2));
  out->right = whole(std::max(x1, x2));
  out->top = whole(std::min(y1, y2));
  out->bottom = whole(std::max(y1, y2));
  return true;
}

bool FitsRowsBottomUp(const CImage& image) {
  int bottomUp = 1;
  CRegistry::Read("IO", "FitsBottomUp", 1, bottomUp, CRegistry::TYPE_BOOL);
  return bottomUp != 0 && image.GetOrgFileFormat().starts_with("FITS");
}

void FollowPixelMove(CImage& image, const CPixelMove& move) {
  // The coordinates are written in the file's pixel order: for rows stored bottom-up the
  // map is seen through the reversal of rows on both sides.
  Affine map = move.ToOld();
  if (FitsRowsBottomUp(image))
    map = Compose(RowsReversed(move.OldHeight()), Compose(map, RowsReversed(move.NewHeight())));
  if (IsIdentityMatrix(map))
    CImgWcs::Shift(image, map.bx, map.by);
  else
    imgsample::MoveCoordinates(image, map);
  CImgTables::Follow(image, move);
}
