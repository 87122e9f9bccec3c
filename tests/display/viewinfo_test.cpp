// The view state: magnification codes and their limits, scroll bars and the layout of the
// view, point conversions both ways at every kind of code, zooming about the mouse,
// margins, fitting the frame, and drawing the visible part in bands that tile the view.
#include "display/viewinfo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

class ViewInfoTest : public ::testing::Test {
 protected:
  // An image of w × h in a client area of W × H at code m.
  CViewInfo& Make(int w, int h, int W, int H, int m = 1) {
    view_ = CViewInfo();
    view_.SetWindowSize(W, H);
    view_.SetImageSize(w, h);
    if (m != 1) {
      EXPECT_EQ(view_.SetMag(m, -1, -1), 1);
    }
    return view_;
  }
  static bool Same(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
  }
  ScopedConfigHome home_;
  CViewInfo view_;
};

std::string Str(const RECT& r) {
  return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
}

}  // namespace

TEST_F(ViewInfoTest, CodesFactorsAndLengths) {
  struct F {
    int m;
    double f;
  } factors[] = {{1, 1}, {3, 3}, {16, 16}, {0, 0.5}, {-1, 1.0 / 3}, {-6, 0.125}};
  for (const F& c : factors) EXPECT_DOUBLE_EQ(CViewInfo::nMagTofMag(c.m), c.f) << c.m;
  struct C {
    double f;
    int m;
  } codes[] = {
      {3.7, 3},    {1, 1},     {0.5, 0}, {0.34, -1}, {1.0 / 6, -4},
      {0.125, -6}, {0.01, -6}, {0, -6},  {-2, -6},   {std::numeric_limits<double>::quiet_NaN(), -6},
      {100, 16}};
  for (const C& c : codes) EXPECT_EQ(CViewInfo::fMagTonMag(c.f), c.m) << c.f;
  struct L {
    int m, n, en, de;
  } lengths[] = {{1, 7, 7, 7},
                 {3, 5, 15, 1},
                 {3, 17, 51, 5},
                 {0, 7, 3, 14},
                 {-1, 10, 3, 30},
                 {-4, 6, 1, 36},
                 {16, 2000000000, INT_MAX, 125000000}};
  for (const L& c : lengths) {
    CViewInfo& v = Make(1000, 1000, 100, 100, c.m);
    EXPECT_EQ(v.EnMag(c.n), c.en) << c.m << " " << c.n;
    EXPECT_EQ(v.DeMag(c.n), c.de) << c.m << " " << c.n;
  }
}

TEST_F(ViewInfoTest, MagnificationLimits) {
  CViewInfo& v = Make(6, 6, 100, 100, -3);
  EXPECT_EQ(v.DecMag(-1, -1), 1);  // one third is two pixels; one sixth is the floor
  EXPECT_EQ(v.GetMag(), -4);
  EXPECT_EQ(v.DecMag(-1, -1), 0);
  EXPECT_EQ(v.GetMag(), -4);
  EXPECT_EQ(v.SetMag(-6, -1, -1), 0);  // floored to the code it already has
  EXPECT_EQ(v.SetMag(-7, -1, -1), 0);
  EXPECT_EQ(v.SetMag(17, -1, -1), 0);
  EXPECT_EQ(v.GetMag(), -4);

  CViewInfo& big = Make(1000, 800, 100, 100, 16);
  EXPECT_EQ(big.IncMag(-1, -1), 0);
  EXPECT_EQ(big.GetMag(), 16);
  EXPECT_EQ(big.SetMag(-6, -1, -1), 1);
  EXPECT_EQ(big.DecMag(-1, -1), 0);
  EXPECT_EQ(big.GetMag(), -6);
  // A new image size floors the current code too.
  big.SetImageSize(5, 100);
  EXPECT_EQ(big.GetMag(), -3);
  // A one-pixel image stays at one to one and may still be enlarged.
  CViewInfo& dot = Make(1, 1, 10, 10);
  EXPECT_EQ(dot.GetMag(), 1);
  EXPECT_EQ(dot.DecMag(-1, -1), 0);
  EXPECT_EQ(dot.IncMag(-1, -1), 1);
  EXPECT_EQ(dot.GetMag(), 2);
  // Every change asks for the frame to be fitted again.
  dot.SetPreferFitWidnow(0);
  EXPECT_EQ(dot.IncMag(-1, -1), 1);
  EXPECT_EQ(dot.IsFitPending(), 1);
}

TEST_F(ViewInfoTest, SmallImageIsCentredWithMargins) {
  CViewInfo& v = Make(100, 50, 300, 200);
  EXPECT_FALSE(v.GetScrollBar(0).shown);
  EXPECT_FALSE(v.GetScrollBar(1).shown);
  EXPECT_TRUE(Same(v.GetWindowView(), RECT{100, 75, 200, 125})) << Str(v.GetWindowView());
  EXPECT_TRUE(Same(v.GetVisibleImageRect(), RECT{0, 0, 100, 50}));
  EXPECT_TRUE(Same(v.GetImageView(), v.GetVisibleImageRect()));
  EXPECT_TRUE(Same(v.GetImageRect(), RECT{0, 0, 100, 50}));
  EXPECT_TRUE(v.IsViewCenter());
  RECT r;
  ASSERT_EQ(v.GetLeftMarginRect(&r), 1);
  EXPECT_TRUE(Same(r, RECT{0, 0, 100, 200}));
  ASSERT_EQ(v.GetRightMarginRect(&r), 1);
  EXPECT_TRUE(Same(r, RECT{200, 0, 300, 200}));
  ASSERT_EQ(v.GetTopMarginRect(&r), 1);
  EXPECT_TRUE(Same(r, RECT{100, 0, 200, 75}));
  ASSERT_EQ(v.GetBottomMarginRect(&r), 1);
  EXPECT_TRUE(Same(r, RECT{100, 125, 200, 200}));
  // An image that fills the window exactly leaves no margin.
  CViewInfo& full = Make(300, 200, 300, 200);
  EXPECT_EQ(full.GetLeftMarginRect(&r), 0);
  EXPECT_EQ(full.GetBottomMarginRect(&r), 0);
}

TEST_F(ViewInfoTest, ScrollBarsAndScrolling) {
  // Wider than the window: a horizontal bar whose maximum is w − DeMag(available width).
  CViewInfo& v = Make(400, 50, 300, 200);
  SCROLLBARSTATE h = v.GetScrollBar(0);
  EXPECT_TRUE(h.shown);
  EXPECT_FALSE(v.GetScrollBar(1).shown);
  EXPECT_EQ(h.max, 400 - 300);
  EXPECT_EQ(h.pos, 50);  // centred
  EXPECT_TRUE(Same(v.GetWindowView(), RECT{0, (184 - 50) / 2, 300, (184 - 50) / 2 + 50}));
  struct S {
    int pos, first;
  } scrolls[] = {{80, 80}, {0, 0}, {100, 100}, {500, 100}, {-20, 0}};
  for (const S& s : scrolls) {
    v.SetScrollPos(0, s.pos);
    EXPECT_EQ(v.GetVisibleImageRect().left, s.first) << s.pos;
    EXPECT_EQ(v.GetVisibleImageRect().right, s.first + 300);
    EXPECT_EQ(v.GetScrollBar(0).pos, s.first);
  }
  RECT r;
  EXPECT_EQ(v.GetLeftMarginRect(&r), 0);  // no side margins with a horizontal bar

  // A vertical bar that eats into the width brings the horizontal bar after all.
  CViewInfo& both = Make(290, 400, 300, 200);
  EXPECT_TRUE(both.GetScrollBar(0).shown);
  EXPECT_TRUE(both.GetScrollBar(1).shown);
  EXPECT_EQ(both.GetScrollBar(0).max, 290 - 284);
  EXPECT_EQ(both.GetScrollBar(1).max, 400 - 184);
  CViewInfo& tall = Make(280, 400, 300, 200);
  EXPECT_FALSE(tall.GetScrollBar(0).shown);
  EXPECT_EQ(tall.GetWindowView().left, (284 - 280) / 2);
}

TEST_F(ViewInfoTest, WholeBlocksAtHighCodes) {
  // Code 2 in 301 pixels: the view ends on a whole block just past the client area.
  CViewInfo& v = Make(400, 40, 301, 200, 2);
  EXPECT_EQ(v.GetWindowView().right, 302);
  EXPECT_EQ(v.GetScrollBar(0).max, 400 - 150);
  EXPECT_EQ(v.GetVisibleImageRect().Width(), 151);
  RECT r;
  EXPECT_EQ(v.GetRightMarginRect(&r), 0);
  // At the far end the last block would pass the image: the view is cut to whole blocks
  // inside the client area and the odd pixel left over is a margin.
  v.SetScrollPos(0, 1000);
  EXPECT_EQ(v.GetVisibleImageRect().left, 250);
  EXPECT_EQ(v.GetVisibleImageRect().right, 400);
  EXPECT_EQ(v.GetWindowView().right, 300);
  ASSERT_EQ(v.GetRightMarginRect(&r), 1);
  EXPECT_TRUE(Same(r, RECT{300, 0, 301, 200 - 16})) << Str(r);
}

TEST_F(ViewInfoTest, ScreenToImage) {
  CViewInfo& v = Make(50, 50, 200, 200, 2);  // view (50, 50, 150, 150)
  POINT p;
  struct Case {
    int sx, sy, ok, x, y;
  } code2[] = {{50, 50, 1, 0, 0},   {51, 51, 1, 0, 0},    {52, 50, 1, 1, 0},  {149, 149, 1, 49, 49},
               {150, 60, 1, 50, 5}, {152, 60, 0, -1, -1}, {49, 60, 0, -1, -1}};
  for (const Case& c : code2) {
    EXPECT_EQ(v.PtViewToImage(POINT{c.sx, c.sy}, &p), c.ok) << c.sx;
    if (c.ok) {
      EXPECT_EQ(p.x, c.x) << c.sx;
    }
    if (c.ok) {
      EXPECT_EQ(p.y, c.y) << c.sx;
    }
  }
  // One to one: one past the last column is accepted, two past are not.
  CViewInfo& one = Make(10, 10, 30, 30);  // view (10, 10, 20, 20)
  EXPECT_EQ(one.PtViewToImage(POINT{20, 12}, &p), 1);
  EXPECT_EQ(p.x, 10);
  EXPECT_EQ(one.PtViewToImage(POINT{21, 12}, &p), 0);
  // A third: each screen pixel covers three image pixels; the point form is the middle.
  CViewInfo& third = Make(30, 30, 100, 100, -1);  // view (45, 45, 55, 55)
  RECT r;
  ASSERT_EQ(third.PtViewToImage(POINT{45, 46}, &r), 1);
  EXPECT_TRUE(Same(r, RECT{0, 3, 3, 6})) << Str(r);
  ASSERT_EQ(third.PtViewToImage(POINT{45, 46}, &p), 1);
  EXPECT_EQ(p.x, 1);
  EXPECT_EQ(p.y, 4);
  ASSERT_EQ(third.PtViewToImage(POINT{55, 45}, &r), 1);
  EXPECT_TRUE(Same(r, RECT{30, 0, 31, 3})) << Str(r);
  EXPECT_EQ(third.PtViewToImage(POINT{56, 45}, &r), 0);
}

TEST_F(ViewInfoTest, ImageToScreen) {
  CViewInfo& v = Make(10, 10, 100, 100, 3);  // view (35, 35, 65, 65)
  RECT r;
  POINT p;
  ASSERT_EQ(v.PtImageToView(POINT{2, 1}, &r), 1);
  EXPECT_TRUE(Same(r, RECT{41, 38, 44, 41})) << Str(r);
  ASSERT_EQ(v.PtImageToView(POINT{2, 1}, &p), 1);
  EXPECT_EQ(p.x, 42);
  EXPECT_EQ(p.y, 39);
  RECT out;
  ASSERT_EQ(v.RectImageToView(RECT{0, 0, 2, 1}, &out), 1);
  EXPECT_TRUE(Same(out, RECT{36, 36, 42, 39})) << Str(out);
  CViewInfo& edge = Make(40, 40, 100, 100, 3);  // scaled beyond the window
  EXPECT_EQ(edge.PtImageToView(POINT{39, 0}, &r), 0);
  EXPECT_EQ(edge.RectImageToView(RECT{0, 0, 39, 39}, &out), 0);
  // Fractional positions from code 2: a whole number lands mid-block.
  CViewInfo& four = Make(10, 10, 100, 100, 4);  // view (30, 30, 70, 70)
  struct F {
    double x;
    int sx;
  } fractions[] = {{2.0, 40}, {2.5, 42}, {2.99, 43}, {0.0, 32}, {-0.25, 31}};
  for (const F& f : fractions) {
    ASSERT_EQ(four.PtImageToView(f.x, 3.0, &p), 1) << f.x;
    EXPECT_EQ(p.x, f.sx) << f.x;
    EXPECT_EQ(p.y, 30 + 12 + 2);
  }
  EXPECT_EQ(four.PtImageToView(std::nan(""), 3.0, &p), 0);
  EXPECT_EQ(four.PtImageToView(1e300, 3.0, &p), 0);
  CViewInfo& unit = Make(10, 10, 100, 100);  // below code 2 the point form
  ASSERT_EQ(unit.PtImageToView(2.7, 3.2, &p), 1);
  EXPECT_EQ(p.x, 47);
  EXPECT_EQ(p.y, 48);
}

TEST_F(ViewInfoTest, ScreenAndImagePointsRoundTrip) {
  for (int m : {-6, -3, -1, 0, 1, 2, 3, 7, 16}) {
    CViewInfo& v = Make(317, 251, 400, 300, m);
    const RECT vis = v.GetVisibleImageRect();
    const int k = m < 1 ? 2 - m : 1;
    for (int x = vis.left; x < vis.right; x += 7)
      for (int y = vis.top; y < vis.bottom; y += 11) {
        POINT s, back;
        ASSERT_EQ(v.PtImageToView(POINT{x, y}, &s), 1) << m << " " << x << "," << y;
        if (!v.PtInView(s)) continue;  // the last block may stick out of the client area
        ASSERT_EQ(v.PtViewToImage(s, &back), 1) << m;
        // Same pixel, or below code 1 the same group of 2 − m pixels.
        EXPECT_EQ((back.x - vis.left) / k, (x - vis.left) / k) << m << " " << x;
        EXPECT_EQ((back.y - vis.top) / k, (y - vis.top) / k) << m << " " << y;
      }
  }
}

TEST_F(ViewInfoTest, ZoomKeepsThePointUnderTheMouse) {
  // A window small enough that the image keeps its scroll bars at every code used (an
  // image that fits is centred instead).
  CViewInfo& v = Make(2000, 1500, 150, 120);
  const POINT mouse{61, 37};
  POINT before, after;
  for (int step = 0; step < 6; ++step) {
    ASSERT_EQ(v.PtViewToImage(mouse, &before), 1);
    const int m0 = v.GetMag();
    ASSERT_EQ(step < 3 ? v.IncMag(mouse.x, mouse.y) : v.DecMag(mouse.x, mouse.y), 1);
    ASSERT_EQ(v.PtViewToImage(mouse, &after), 1);
    const int tolerance = std::max(2, 3 - std::min(m0, v.GetMag()));
    EXPECT_NEAR(after.x, before.x, tolerance) << "code " << m0 << " to " << v.GetMag();
    EXPECT_NEAR(after.y, before.y, tolerance) << "code " << m0 << " to " << v.GetMag();
  }
  for (int m : {-2, -5, 0, 1}) {
    ASSERT_EQ(v.PtViewToImage(mouse, &before), 1);
    const int m0 = v.GetMag();
    ASSERT_EQ(v.SetMag(m, mouse.x, mouse.y), 1);
    ASSERT_EQ(v.PtViewToImage(mouse, &after), 1);
    const int tolerance = 2 - std::min(std::min(m0, m), 0) + 1;
    EXPECT_NEAR(after.x, before.x, tolerance) << "code " << m0 << " to " << m;
  }
  // Without a point the centre stays.
  const POINT centre = v.GetViewCenter();
  ASSERT_EQ(v.IncMag(-1, -1), 1);
  EXPECT_EQ(v.GetViewCenter().x, centre.x);
}

// Every step of zoom about the mouse, in and out over the whole range of codes, with
// points all over the view (edges and corners too) and windows in which the scroll bars
// come and go: the pixels under the mouse after a step lie within those under it before
// (zooming in) or hold them (zooming out). Only where the view already stands against an
// edge of the image, or the image is centred without a bar, can it not follow; it then
// stands as near as it can.
TEST_F(ViewInfoTest, ZoomHoldsThePixelsUnderTheMouse) {
  struct Case {
    int w, h, W, H;
  } cases[] = {{2000, 1500, 150, 120},
               {300, 200, 400, 300},
               {640, 480, 500, 400},
               {97, 61, 333, 217},
               {5000, 37, 420, 260}};
  int held = 0, against = 0;
  for (const Case& c : cases) {
    for (int start : {-6, -2, 0, 1, 3}) {
      CViewInfo& v = Make(c.w, c.h, c.W, c.H);
      if (v.GetMag() != start) v.SetMag(start, -1, -1);
      for (int px = 0; px < c.W - 16; px += 37)
        for (int py : {0, c.H / 3, c.H - 17}) {
          const POINT mouse{px, py};
          for (int step = 0; step < 14; ++step) {
            RECT before, after;
            if (!v.PtViewToImage(mouse, &before)) break;
            const int m0 = v.GetMag();
            const int changed = step < 7 ? v.IncMag(px, py) : v.DecMag(px, py);
            if (!changed) continue;
            ASSERT_EQ(v.PtViewToImage(mouse, &after), 1) << m0 << " to " << v.GetMag();
            const RECT vis = v.GetVisibleImageRect();
            const SCROLLBARSTATE bars[2] = {v.GetScrollBar(0), v.GetScrollBar(1)};
            auto axis = [&](int a0, int e0, int a1, int e1, int bar) {
              const std::string where = "image " + std::to_string(c.w) + "x" + std::to_string(c.h) +
                                        " mouse " + std::to_string(px) + "," + std::to_string(py) +
                                        " code " + std::to_string(m0) + " to " +
                                        std::to_string(v.GetMag());
              const bool inside = (a1 >= a0 && e1 <= e0) || (a0 >= a1 && e0 <= e1);
              if (inside) {
                ++held;
                return;
              }
              ++against;
              const int first = bar == 0 ? vis.left : vis.top;
              ASSERT_TRUE(!bars[bar].shown || first == 0 || first == bars[bar].max) << where;
              if (!bars[bar].shown) return;
              // Against the start the view would have gone further back, so what is under
              // the mouse lies further on than before; against the end, the other way.
              if (first == 0)
                EXPECT_GT(a1, a0) << where;
              else
                EXPECT_LT(e1, e0) << where;
            };
            axis(before.left, before.right, after.left, after.right, 0);
            axis(before.top, before.bottom, after.top, after.bottom, 1);
          }
        }
    }
  }
  EXPECT_GT(held, 10 * against);  // the edges are the exception
}

// The scroll position is the first visible column or row, also where the view reaches
// the image's end and shows it cut short.
TEST_F(ViewInfoTest, ScrollPositionIsTheFirstVisiblePixel) {
  for (int m : {0, 1, 2, 3, 7}) {
    CViewInfo& v = Make(1003, 707, 401, 299, m);
    for (int bar : {0, 1}) {
      const SCROLLBARSTATE s = v.GetScrollBar(bar);
      ASSERT_TRUE(s.shown) << m;
      for (int pos = 0; pos <= s.max; pos += std::max(1, s.max / 97)) {
        v.SetScrollPos(bar, pos);
        const RECT vis = v.GetVisibleImageRect();
        EXPECT_EQ(bar == 0 ? vis.left : vis.top, pos) << "code " << m << " bar " << bar;
        EXPECT_EQ(v.GetScrollBar(bar).pos, pos);
      }
      v.SetScrollPos(bar, s.max);
      EXPECT_EQ(v.GetScrollBar(bar).pos, s.max) << m;
    }
  }
}

TEST_F(ViewInfoTest, FittingTheFrame) {
  // Frame = image + 2 × (edge + frame) across, + caption down: 200 × 100 → 212 × 135.
  FRAMEFIT fit;
  CViewInfo& v = Make(200, 100, 50, 50);
  EXPECT_EQ(v.FitOnWindow(true, 800, 600, &fit), 1);
  EXPECT_TRUE(fit.resize);
  EXPECT_EQ(fit.width, 212);
  EXPECT_EQ(fit.height, 135);
  EXPECT_EQ(v.FitOnWindow(true, 800, 600, &fit), 0);  // done until the next zoom
  EXPECT_FALSE(fit.resize);
  ASSERT_EQ(v.IncMag(-1, -1), 1);
  EXPECT_EQ(v.FitOnWindow(false, 800, 600, &fit), 0);  // minimised or maximised: dropped
  EXPECT_EQ(v.IsFitPending(), 0);
  struct Case {
    int w, h, areaW, areaH, result;
    bool resize;
    int width, height;
  } cases[] = {
      {200, 1000, 800, 600, 0, true, 212 + 16, 600},  // too tall: full height, bar room
      {1000, 100, 800, 600, 0, true, 800, 135 + 16},  // too wide
      {1000, 1000, 800, 600, 0, false, 0, 0},         // neither
      {200, 100, 212, 135, 1, true, 212, 135},        // exactly
      {200, 1000, 220, 600, 0, false, 0, 0},          // no room for the bar
  };
  for (const Case& c : cases) {
    CViewInfo& f = Make(c.w, c.h, 50, 50);
    EXPECT_EQ(f.FitOnWindow(true, c.areaW, c.areaH, &fit), c.result) << c.w << "x" << c.h;
    EXPECT_EQ(fit.resize, c.resize) << c.w << "x" << c.h;
    if (c.resize) {
      EXPECT_EQ(fit.width, c.width) << c.w << "x" << c.h;
    }
    if (c.resize) {
      EXPECT_EQ(fit.height, c.height) << c.w << "x" << c.h;
    }
  }
  CViewInfo none;  // no image yet: nothing to fit, and the fit stays pending
  EXPECT_EQ(none.FitOnWindow(true, 800, 600, &fit), 0);
  EXPECT_EQ(none.IsFitPending(), 1);
}

namespace {

// Draws through ShowImage into a record of bands.
struct Drawn {
  std::vector<DIBBand> bands;
  int result = -1;
};
Drawn Show(const CViewInfo& v, CBaseDIB& dib, const RECT* area, int dx = 0, int dy = 0) {
  Drawn d;
  d.result = v.ShowImage(
      dib, area, [&](const DIBBand& b) { d.bands.push_back(b); }, dx, dy);
  return d;
}

}  // namespace

TEST_F(ViewInfoTest, VisiblePartIsDrawnInBandsThatTileTheView) {
  CVmDIB dib;
  ASSERT_EQ(dib.Create(32, 300, 200), 1);
  for (int m : {-3, -1, 0, 1, 2, 3}) {
    CViewInfo& v = Make(300, 200, 250, 180, m);
    const RECT view = v.GetWindowView(), vis = v.GetVisibleImageRect();
    Drawn d = Show(v, dib, nullptr);
    ASSERT_EQ(d.result, 1);
    ASSERT_FALSE(d.bands.empty());
    // Below code 1 a last group of fewer than 2 - m pixels has no screen pixel.
    const int shownW = m < 1 ? v.DeMag(view.Width()) : vis.Width();
    const int shownH = m < 1 ? v.DeMag(view.Height()) : vis.Height();
    int covered = view.top, rows = vis.top;
    for (const DIBBand& b : d.bands) {
      EXPECT_LE(b.height, kDIBBandRows);
      EXPECT_EQ(b.source.left, vis.left);
      EXPECT_EQ(b.source.right, vis.left + shownW);
      EXPECT_EQ(b.source.top, rows);
      rows = b.source.bottom;
      EXPECT_EQ(b.destination.left, view.left) << m;
      EXPECT_EQ(b.destination.right, view.right) << m;
      // Neither gap nor overlap, and each band keeps the scale of the whole view.
      EXPECT_EQ(b.destination.top, covered) << "code " << m;
      EXPECT_EQ(static_cast<long long>(b.destination.Height()) * shownH,
                static_cast<long long>(b.height) * view.Height())
          << "code " << m;
      covered = b.destination.bottom;
    }
    EXPECT_EQ(rows, vis.top + shownH) << m;
    EXPECT_EQ(covered, view.bottom) << m;
    // A shift moves every band.
    Drawn shifted = Show(v, dib, nullptr, 7, -3);
    EXPECT_EQ(shifted.bands.front().destination.left, view.left + 7);
    EXPECT_EQ(shifted.bands.front().destination.top, view.top - 3);
  }
}

TEST_F(ViewInfoTest, UpdateAreasMapToWholeScreenPixels) {
  CVmDIB dib;
  ASSERT_EQ(dib.Create(32, 300, 200), 1);
  struct Case {
    int m;
    RECT area, source, destination;
  } cases[] = {
      // One to one, image centred at (50, 50): the area as it is.
      {1, {10, 20, 15, 30}, {10, 20, 15, 30}, {60, 70, 65, 80}},
      // One half, view from (125, 100): the source widens to whole pairs of pixels.
      {0, {11, 21, 14, 25}, {10, 20, 14, 26}, {130, 110, 132, 113}},
      // One third, view from (150, 117): whole triples both ways (the 66 screen rows show
      // rows 0 to 197; the last two rows make no screen row).
      {-1, {11, 21, 14, 25}, {9, 21, 15, 27}, {153, 124, 155, 126}},
  };
  for (const Case& c : cases) {
    CViewInfo& v = Make(300, 200, 400, 300, c.m);
    Drawn d = Show(v, dib, &c.area);
    ASSERT_EQ(d.bands.size(), 1u) << c.m;
    EXPECT_TRUE(Same(d.bands[0].source, c.source)) << c.m << " " << Str(d.bands[0].source);
    EXPECT_TRUE(Same(d.bands[0].destination, c.destination))
        << c.m << " " << Str(d.bands[0].destination);
  }
  CViewInfo& v = Make(300, 200, 100, 100, 1);
  const RECT away{0, 0, 5, 5};  // scrolled out of view
  Drawn d = Show(v, dib, &away);
  EXPECT_EQ(d.result, 1);
  EXPECT_TRUE(d.bands.empty());
  const RECT vis = v.GetVisibleImageRect();  // the whole visible rectangle: everything
  EXPECT_EQ(Show(v, dib, &vis).bands.size(), Show(v, dib, nullptr).bands.size());
}

TEST_F(ViewInfoTest, EmptyTinyAndHugeInputs) {
  CViewInfo v;
  POINT p;
  RECT r;
  EXPECT_EQ(v.PtViewToImage(POINT{0, 0}, &p), 0);
  EXPECT_EQ(v.PtImageToView(POINT{0, 0}, &r), 0);
  EXPECT_EQ(v.IncMag(5, 5), 1);  // nothing laid out, nothing to break
  v.SetImageSize(0, 0);
  v.SetWindowSize(-5, -5);
  v.SetScrollPos(0, 1000);
  v.SetViewCenter();
  CVmDIB dib;
  EXPECT_EQ(Show(v, dib, nullptr).bands.size(), 0u);
  // A window smaller than the scroll bars themselves.
  CViewInfo& tiny = Make(500, 500, 5, 5);
  EXPECT_GE(tiny.GetVisibleImageRect().left, 0);
  EXPECT_LE(tiny.GetVisibleImageRect().right, 500);
  EXPECT_EQ(Show(tiny, dib, nullptr).result, 1);
  // Points far outside never overflow into the image.
  CViewInfo& big = Make(100, 100, 50, 50, 16);
  EXPECT_EQ(big.PtViewToImage(POINT{INT_MAX, INT_MIN}, &p), 0);
  // Sizes at the top of the int range lay out without overflow.
  for (int m : {16, 1, -6}) {
    CViewInfo& huge = Make(INT_MAX, INT_MAX, INT_MAX, INT_MAX, m);
    EXPECT_GE(huge.GetVisibleImageRect().left, 0);
    EXPECT_LE(huge.GetVisibleImageRect().left, huge.GetVisibleImageRect().right);
    huge.SetScrollPos(0, INT_MAX);
    huge.SetScrollPos(1, INT_MIN);
    EXPECT_EQ(huge.IncMag(INT_MAX - 1, 3), m < 16 ? 1 : 0);
    const RECT view = huge.GetWindowView();
    EXPECT_EQ(huge.PtViewToImage(POINT{view.left + 7, view.top + 7}, &p), 1);
    huge.SetViewCenter();
    EXPECT_TRUE(huge.IsViewCenter());
    FRAMEFIT fit;
    EXPECT_EQ(huge.FitOnWindow(true, 800, 600, &fit), 0);
  }
  CViewInfo& small = Make(100, 100, 50, 50, -6);
  EXPECT_EQ(small.PtViewToImage(POINT{INT_MAX, INT_MAX}, &p), 0);
  EXPECT_EQ(small.PtImageToView(POINT{INT_MIN, 0}, &r), 0);
}
