#include "display/viewinfo.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace {

int ClampInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
  return -FloorDiv(-a, b);
}

// (n + 1) / 2 without overflow at the top of the int range.
int Half(int n) {
  return static_cast<int>((std::int64_t{n} + 1) / 2);
}

bool IsEmptyRect(const RECT& r) {
  return r.right <= r.left || r.bottom <= r.top;
}

RECT Intersect(const RECT& a, const RECT& b) {
  RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
         std::min(a.bottom, b.bottom)};
  if (IsEmptyRect(r)) r = RECT{};
  return r;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

void CViewInfo::SetMetrics(const ViewMetrics& metrics) {
  m_Metrics = metrics;
  Layout(-1, -1);
}

double CViewInfo::nMagTofMag(int m) {
  return m >= 1 ? m : 1.0 / (2 - m);
}

int CViewInfo::fMagTonMag(double f) {
  if (!(f > 0)) return kMinMag;  // no factor at all (0, negative, NaN): the smallest code
  if (f >= 1) return f >= kMaxMag ? kMaxMag : static_cast<int>(f);
  const double k = 1.0 / f + 0.5;
  if (k >= 2 - kMinMag) return kMinMag;
  return 2 - static_cast<int>(k);
}

// Below code 1 the factor is 1 / (2 − m); integer division gives the truncated product
// exactly, where multiplying by a rounded reciprocal can land just below a whole number.
int CViewInfo::FitMag(int width, int height) const {
  const std::int64_t w = m_rcImage.right, h = m_rcImage.bottom;
  if (w <= 0 || h <= 0) return m_nMag;
  for (int m = kMaxMag; m > kMinMag; --m) {
    const auto scaled = [m](std::int64_t n) { return m >= 1 ? n * m : n / (2 - m); };
    if (scaled(w) <= width && scaled(h) <= height) return FloorMag(m);
  }
  return FloorMag(kMinMag);
}

int CViewInfo::EnMag(int n) const {
  if (m_nMag >= 1) return ClampInt(std::int64_t{n} * m_nMag);
  return n / (2 - m_nMag);
}

int CViewInfo::DeMag(int n) const {
  if (m_nMag >= 1) return n / m_nMag;
  return ClampInt(std::int64_t{n} * (2 - m_nMag));
}

void CViewInfo::SetWindowSize(int width, int height) {
  m_rcWindow = {0, 0, std::max(width, 0), std::max(height, 0)};
  Layout(-1, -1);
}

void CViewInfo::SetImageSize(int width, int height) {
  m_rcImage = {0, 0, std::max(width, 0), std::max(height, 0)};
  m_nMag = FloorMag(m_nMag);
  Layout(-1, -1);
}

void CViewInfo::SetScrollPos(int bar, int position) {
  // The centre that puts position first, also where the visible part is cut short at the
  // image's end (a centre taken from the visible length would creep back there).
  if (IsEmptyRect(m_rcImage)) return;
  if (bar == 0)
    m_nCenterX = CentreForFirst(0, position);
  else
    m_nCenterY = CentreForFirst(1, position);
  Layout(-1, -1);
}

void CViewInfo::SetViewCenter() {
  m_nCenterX = Half(m_rcImage.right);
  m_nCenterY = Half(m_rcImage.bottom);
  Layout(-1, -1);
}

bool CViewInfo::IsViewCenter() const {
  return m_nCenterX == Half(m_rcImage.right) && m_nCenterY == Half(m_rcImage.bottom);
}

CViewInfo::Axis CViewInfo::LayoutAxis(bool bar, int length, int available, int scaled, int center,
                                      int arg) const {
  Axis a;
  available = std::max(available, 0);
  if (!bar) {
    // The whole image fits: centred.
    a.first = 0;
    a.last = length;
    a.center = Half(length);
    a.viewLo = (available - scaled) / 2;
    a.viewHi = a.viewLo + scaled;
    return a;
  }
  if (center < 0)
    center = Half(length);
  else if (arg >= 0)
    center = arg;
  a.center = std::clamp(center, 0, length - 1);
  const int m = m_nMag;
  a.viewLo = 0;
  // From code 2 up the view ends on a whole block, which may stick out past the client
  // area by less than a block (the painter clips it).
  a.viewHi = m > 1 ? ClampInt(CeilDiv(available, m) * m) : available;
  a.scrollMax = std::max(length - DeMag(available), 0);
  a.first = std::clamp(a.center - Half(DeMag(a.viewHi)), 0, a.scrollMax);
  a.last = ClampInt(std::int64_t{a.first} + DeMag(a.viewHi));
  if (m > 1 && a.last >= length && available % m != 0) {
    a.viewHi = available / m * m;
    a.last = a.first + DeMag(a.viewHi);
  }
  a.last = std::min(a.last, length);
  return a;
}

void CViewInfo::Layout(int cx, int cy) {
  const int w = m_rcImage.right, h = m_rcImage.bottom;
  if (w <= 0 || h <= 0) return;
  const int W = m_rcWindow.right, H = m_rcWindow.bottom;
  const int sw = EnMag(w), sh = EnMag(h);
  bool hbar, vbar;
  if (sw <= W) {
    vbar = sh > H;
    hbar = vbar && sw > W - m_Metrics.cxVScroll;
  } else {
    hbar = true;
    vbar = sh > H - m_Metrics.cyHScroll;
  }
  const int aw = W - (vbar ? m_Metrics.cxVScroll : 0);
  const int ah = H - (hbar ? m_Metrics.cyHScroll : 0);
  const Axis x = LayoutAxis(hbar, w, aw, sw, m_nCenterX, cx);
  const Axis y = LayoutAxis(vbar, h, ah, sh, m_nCenterY, cy);
  m_bHBar = hbar ? 1 : 0;
  m_bVBar = vbar ? 1 : 0;
  m_nCenterX = x.center;
  m_nCenterY = y.center;
  m_nScrollMaxX = x.scrollMax;
  m_nScrollMaxY = y.scrollMax;
  m_rcView = {x.viewLo, y.viewLo, x.viewHi, y.viewHi};
  m_rcVisible = {x.first, y.first, x.last, y.last};
}

bool CViewInfo::FitsFloor(int m, int w, int h) const {
  auto fits = [m](int n) { return m >= 1 ? std::int64_t{n} * m > 1 : n > 2 - m; };
  return fits(w) && fits(h);
}

int CViewInfo::FloorMag(int m) const {
  const int w = m_rcImage.right, h = m_rcImage.bottom;
  if (w <= 0 || h <= 0 || FitsFloor(m, w, h)) return m;
  return fMagTonMag(1.0 / std::min(w, h));
}

int CViewInfo::Zoom(int m, int x, int y) {
  if (m == m_nMag) return 0;
  // Where the mouse is in the image, to a fraction of a pixel: the middle of the screen
  // pixel (x, y) at the old code. Only a point over the image holds the zoom.
  POINT P;
  const bool about = x >= 0 && y >= 0 && PtViewToImage(POINT{x, y}, &P);
  const double f0 = nMagTofMag(m_nMag);
  const double ux = m_rcVisible.left + (static_cast<double>(x) - m_rcView.left + 0.5) / f0;
  const double uy = m_rcVisible.top + (static_cast<double>(y) - m_rcView.top + 0.5) / f0;
  m_nMag = m;
  m_bFitPending = 1;
  // The new code decides the scroll bars and where the view starts; then, on each axis
  // that scrolls, the first visible column or row is chosen so that the pixel under the
  // mouse stays the pixel under the mouse (below code 1, so that the group of pixels
  // under it holds the same place, as near its middle as can be).
  Layout(-1, -1);
  if (!about) return 1;
  auto first = [m](double u, int screen, int viewLo) -> std::int64_t {
    const std::int64_t d = std::int64_t{screen} - viewLo;
    if (m >= 1) return static_cast<std::int64_t>(std::floor(u)) - FloorDiv(d, m);
    const int k = 2 - m;
    return std::llround(u - k / 2.0) - d * k;
  };
  const int cx = m_bHBar ? CentreForFirst(0, first(ux, x, m_rcView.left)) : -1;
  const int cy = m_bVBar ? CentreForFirst(1, first(uy, y, m_rcView.top)) : -1;
  Layout(cx, cy);
  return 1;
}

int CViewInfo::CentreForFirst(int bar, std::int64_t first) const {
  const int length = bar == 0 ? m_rcImage.right : m_rcImage.bottom;
  const int available = bar == 0 ? m_rcWindow.right - (m_bVBar ? m_Metrics.cxVScroll : 0)
                                 : m_rcWindow.bottom - (m_bHBar ? m_Metrics.cyHScroll : 0);
  const int scrollMax = bar == 0 ? m_nScrollMaxX : m_nScrollMaxY;
  // The layout puts the first visible position half the view's image length before the
  // centre, the view reaching to a whole block from code 2 up.
  const int m = m_nMag;
  const int viewHi =
      m > 1 ? ClampInt(CeilDiv(std::max(available, 0), m) * m) : std::max(available, 0);
  const std::int64_t wanted = std::clamp<std::int64_t>(first, 0, scrollMax);
  return ClampInt(std::min<std::int64_t>(wanted + Half(DeMag(viewHi)), std::max(length - 1, 0)));
}

int CViewInfo::IncMag(int x, int y) {
  if (m_nMag >= kMaxMag) return 0;
  return Zoom(m_nMag + 1, x, y);
}

int CViewInfo::DecMag(int x, int y) {
  if (m_nMag <= kMinMag) return 0;
  return Zoom(FloorMag(m_nMag - 1), x, y);
}

int CViewInfo::SetMag(int m, int x, int y) {
  if (m < kMinMag || m > kMaxMag) return 0;
  return Zoom(FloorMag(m), x, y);
}

SCROLLBARSTATE CViewInfo::GetScrollBar(int bar) const {
  SCROLLBARSTATE s;
  s.shown = (bar == 0 ? m_bHBar : m_bVBar) != 0;
  s.max = bar == 0 ? m_nScrollMaxX : m_nScrollMaxY;
  s.pos = bar == 0 ? m_rcVisible.left : m_rcVisible.top;
  return s;
}

// ---- margins

int CViewInfo::GetLeftMarginRect(RECT* r) const {
  if (m_bHBar) return 0;
  *r = {0, 0, m_rcView.left, m_rcWindow.bottom};
  return IsEmptyRect(*r) ? 0 : 1;
}

int CViewInfo::GetRightMarginRect(RECT* r) const {
  const int aw = m_rcWindow.right - (m_bVBar ? m_Metrics.cxVScroll : 0);
  const int ah = m_rcWindow.bottom - (m_bHBar ? m_Metrics.cyHScroll : 0);
  if (!m_bHBar) {
    *r = {m_rcView.right, 0, aw, m_rcWindow.bottom};
  } else {
    // With a bar the view ends on a whole block; a strip narrower than a block may stay.
    const int m = m_nMag;
    if (m < 1 || aw % m == 0 || m_rcView.right >= aw) return 0;
    *r = {aw - aw % m, 0, aw, ah};
  }
  return IsEmptyRect(*r) ? 0 : 1;
}

int CViewInfo::GetTopMarginRect(RECT* r) const {
  if (m_bVBar) return 0;
  *r = {m_rcView.left, 0, m_rcView.right, m_rcView.top};
  return IsEmptyRect(*r) ? 0 : 1;
}

int CViewInfo::GetBottomMarginRect(RECT* r) const {
  const int aw = m_rcWindow.right - (m_bVBar ? m_Metrics.cxVScroll : 0);
  const int ah = m_rcWindow.bottom - (m_bHBar ? m_Metrics.cyHScroll : 0);
  if (!m_bVBar) {
    *r = {m_rcView.left, m_rcView.bottom, m_rcView.right, ah};
  } else {
    const int m = m_nMag;
    if (m < 1 || ah % m == 0 || m_rcView.bottom >= ah) return 0;
    *r = {0, ah - ah % m, aw, ah};
  }
  return IsEmptyRect(*r) ? 0 : 1;
}

// ---- points

bool CViewInfo::PtInView(POINT p) const {
  return m_rcView.Contains(p.x, p.y);
}

int CViewInfo::PtViewToImage(POINT p, RECT* r) const {
  *r = RECT{};
  if (IsEmptyRect(m_rcImage)) return 0;
  const int m = m_nMag;
  const int s = m < 1 ? 2 - m : 1;
  // Floor, so that a point left of or above the view never lands on the first pixel.
  auto axis = [&](int screen, int viewLo, int first) {
    const std::int64_t d = std::int64_t{screen} - viewLo;
    return ClampInt((m >= 1 ? FloorDiv(d, m) : d * s) + first);
  };
  const int x = axis(p.x, m_rcView.left, m_rcVisible.left);
  const int y = axis(p.y, m_rcView.top, m_rcVisible.top);
  const RECT block{x, y, ClampInt(std::int64_t{x} + s), ClampInt(std::int64_t{y} + s)};
  const RECT bounds{0, 0, ClampInt(std::int64_t{m_rcImage.right} + 1),
                    ClampInt(std::int64_t{m_rcImage.bottom} + 1)};
  *r = Intersect(block, bounds);
  return IsEmptyRect(*r) ? 0 : 1;
}

int CViewInfo::PtViewToImage(POINT p, POINT* out) const {
  RECT r;
  const int ok = PtViewToImage(p, &r);
  *out = {static_cast<int>((std::int64_t{r.left} + r.right) / 2),
          static_cast<int>((std::int64_t{r.top} + r.bottom) / 2)};
  return ok;
}

int CViewInfo::PtImageToView(POINT p, RECT* r) const {
  *r = RECT{};
  if (IsEmptyRect(m_rcImage)) return 0;
  const int m = m_nMag;
  const int s = m >= 1 ? m : 1;
  auto axis = [&](int image, int first, int viewLo) {
    const std::int64_t d = std::int64_t{image} - first;
    return ClampInt((m >= 1 ? d * m : FloorDiv(d, 2 - m)) + viewLo);
  };
  const int x = axis(p.x, m_rcVisible.left, m_rcView.left);
  const int y = axis(p.y, m_rcVisible.top, m_rcView.top);
  const RECT block{x, y, ClampInt(std::int64_t{x} + s), ClampInt(std::int64_t{y} + s)};
  RECT bounds = m_rcWindow;
  if (m < 1) {
    bounds.right = ClampInt(std::int64_t{bounds.right} + 1);
    bounds.bottom = ClampInt(std::int64_t{bounds.bottom} + 1);
  }
  *r = Intersect(block, bounds);
  return IsEmptyRect(*r) ? 0 : 1;
}

int CViewInfo::PtImageToView(POINT p, POINT* out) const {
  RECT r;
  const int ok = PtImageToView(p, &r);
  // The middle of the unclipped block: its first pixel plus (block − 1) / 2.
  const int m = m_nMag;
  const int s = m >= 1 ? m : 1;
  auto axis = [&](int image, int first, int viewLo) {
    const std::int64_t d = std::int64_t{image} - first;
    return ClampInt((m >= 1 ? d * m : FloorDiv(d, 2 - m)) + viewLo + (s - 1) / 2);
  };
  *out = {axis(p.x, m_rcVisible.left, m_rcView.left), axis(p.y, m_rcVisible.top, m_rcView.top)};
  return ok;
}

int CViewInfo::PtImageToView(double x, double y, POINT* out) const {
  // Positions beyond the int range are far outside any image.
  auto inRange = [](double v) { return v >= double{INT_MIN} && v < double{INT_MAX}; };
  if (!inRange(x) || !inRange(y)) return 0;  // also NaN
  const double fx = std::floor(x), fy = std::floor(y);
  const POINT whole{static_cast<int>(fx), static_cast<int>(fy)};
  const int m = m_nMag;
  if (m < 2) return PtImageToView(whole, out);
  RECT r;
  const int ok = PtImageToView(whole, &r);
  const std::int64_t left = (std::int64_t{whole.x} - m_rcVisible.left) * m + m_rcView.left;
  const std::int64_t top = (std::int64_t{whole.y} - m_rcVisible.top) * m + m_rcView.top;
  *out = {ClampInt(left + static_cast<std::int64_t>(std::floor((x - fx) * m + m * 0.5))),
          ClampInt(top + static_cast<std::int64_t>(std::floor((y - fy) * m + m * 0.5)))};
  return ok;
}

int CViewInfo::RectImageToView(RECT r, RECT* out) const {
  POINT a, b;
  const int okA = PtImageToView(POINT{r.left, r.top}, &a);
  const int okB = PtImageToView(POINT{r.right, r.bottom}, &b);
  *out = {a.x, a.y, b.x, b.y};
  return okA && okB ? 1 : 0;
}

// ---- frame fitting

int CViewInfo::FitOnWindow(bool normalShown, int areaWidth, int areaHeight, FRAMEFIT* fit) {
  FRAMEFIT none;
  if (fit) *fit = none;
  if (!normalShown) {
    m_bFitPending = 0;
    return 0;
  }
  if (!m_bFitPending || IsEmptyRect(m_rcImage)) return 0;
  m_bFitPending = 0;
  const ViewMetrics& s = m_Metrics;
  const std::int64_t width =
      std::int64_t{EnMag(m_rcImage.right)} + 2 * (std::int64_t{s.cxEdge} + s.cxFrame);
  const std::int64_t height = std::int64_t{EnMag(m_rcImage.bottom)} +
                              2 * (std::int64_t{s.cyEdge} + s.cyFrame) + s.cyCaption;
  const bool widthFits = width <= areaWidth, heightFits = height <= areaHeight;
  FRAMEFIT want;
  int result = 0;
  if (widthFits && heightFits) {
    want = {true, static_cast<int>(width), static_cast<int>(height)};
    result = 1;
  } else if (widthFits) {
    // Taller than the room: full height, and room for the vertical bar.
    if (width + s.cxVScroll <= areaWidth)
      want = {true, static_cast<int>(width + s.cxVScroll), areaHeight};
  } else if (heightFits) {
    // Wider than the room: full width, and room for the horizontal bar.
    if (height + s.cyHScroll <= areaHeight)
      want = {true, areaWidth, static_cast<int>(height + s.cyHScroll)};
  }
  if (fit) *fit = want;
  return result;
}

// ---- drawing

int CViewInfo::ShowImage(CBaseDIB& dib, const RECT* area, const DIBBandSink& sink, int dx, int dy,
                         const PALETTEENTRY* palette) const {
  dib.SetColorPalette(palette);
  const RECT& view = m_rcView;
  const int viewW = view.Width(), viewH = view.Height();
  // Below code 1 the view is the truncated length, so a last group of fewer than 2 − m
  // pixels has no screen pixel. Drawing from the whole groups only keeps the scale at
  // exactly 1 / (2 − m): each screen pixel shows the first pixel of the group that the
  // point conversions give it, and the bands of whole groups end on screen rows.
  RECT vis = m_rcVisible;
  if (m_nMag < 1) {
    vis.right = std::min(vis.right, ClampInt(std::int64_t{vis.left} + DeMag(viewW)));
    vis.bottom = std::min(vis.bottom, ClampInt(std::int64_t{vis.top} + DeMag(viewH)));
  }
  const int visW = vis.Width(), visH = vis.Height();
  if (visW <= 0 || visH <= 0 || viewW <= 0 || viewH <= 0) return 1;
  if (!area || IsEmptyRect(*area) || SameRect(*area, m_rcVisible) || SameRect(*area, vis))
    return dib.StretchBlt(view.left + dx, view.top + dy, viewW, viewH, vis.left, vis.top, visW,
                          visH, sink);
  const RECT a = Intersect(*area, vis);
  if (IsEmptyRect(a)) return 1;
  // The area's screen rectangle by the same scale as the whole view, widened to whole
  // screen pixels, and the source widened to what those screen pixels show, so partial
  // updates meet the rest of the picture without gaps.
  auto toScreen = [](int v, int first, int lo, int viewLen, int visLen, bool up) {
    const std::int64_t n = (std::int64_t{v} - first) * viewLen;
    return static_cast<int>(lo + (up ? CeilDiv(n, visLen) : FloorDiv(n, visLen)));
  };
  auto toSource = [](int s, int first, int lo, int viewLen, int visLen, bool up) {
    const std::int64_t n = (std::int64_t{s} - lo) * visLen;
    return static_cast<int>(first + (up ? CeilDiv(n, viewLen) : FloorDiv(n, viewLen)));
  };
  const int l = toScreen(a.left, vis.left, view.left, viewW, visW, false);
  const int r = toScreen(a.right, vis.left, view.left, viewW, visW, true);
  const int t = toScreen(a.top, vis.top, view.top, viewH, visH, false);
  const int b = toScreen(a.bottom, vis.top, view.top, viewH, visH, true);
  const int sl = std::max(toSource(l, vis.left, view.left, viewW, visW, false), vis.left);
  const int sr = std::min(toSource(r, vis.left, view.left, viewW, visW, true), vis.right);
  const int st = std::max(toSource(t, vis.top, view.top, viewH, visH, false), vis.top);
  const int sb = std::min(toSource(b, vis.top, view.top, viewH, visH, true), vis.bottom);
  if (r <= l || b <= t || sr <= sl || sb <= st) return 1;
  return dib.StretchBlt(l + dx, t + dy, r - l, b - t, sl, st, sr - sl, sb - st, sink);
}

int CViewInfo::ShowReducedImage(CBaseDIB& reduced, int k, const RECT* area, const DIBBandSink& sink,
                                int dx, int dy, const PALETTEENTRY* palette) const {
  reduced.SetColorPalette(palette);
  if (k < 1) return 1;
  const RECT& view = m_rcView;
  const int viewW = view.Width(), viewH = view.Height();
  if (viewW <= 0 || viewH <= 0 || IsEmptyRect(m_rcVisible)) return 1;
  // The reduced pixels the view shows: from the group of the first visible pixel, as
  // many as the view has screen pixels.
  const int sx = m_rcVisible.left / k, sy = m_rcVisible.top / k;
  const int sw = std::min(viewW, reduced.GetWidth() - sx);
  const int sh = std::min(viewH, reduced.GetHeight() - sy);
  if (sw <= 0 || sh <= 0) return 1;
  RECT src{sx, sy, sx + sw, sy + sh};
  if (area && !IsEmptyRect(*area) && !SameRect(*area, m_rcVisible)) {
    // The groups the area touches.
    const RECT groups{
        static_cast<int>(FloorDiv(area->left, k)), static_cast<int>(FloorDiv(area->top, k)),
        static_cast<int>(CeilDiv(area->right, k)), static_cast<int>(CeilDiv(area->bottom, k))};
    src = Intersect(src, groups);
    if (IsEmptyRect(src)) return 1;
  }
  return reduced.BitBlt(view.left + dx + (src.left - sx), view.top + dy + (src.top - sy),
                        src.Width(), src.Height(), src.left, src.top, sink);
}
