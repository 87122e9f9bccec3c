// The marks of the photometry and positioning tools through the moves that keep
// positions. The image is moved by the engine's own operation and the marks by the same
// move; each mark that stays must equal a fresh measurement made on the moved image at
// the place a hand-written formula gives, those that leave must be gone, and the list
// state (selection, current rows) must point at the same marks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "engine/imgcrop.h"
#include "engine/imgflip.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/positioning.h"

namespace {

constexpr int kW = 64, kH = 48;

// Gaussian stars on a sloping sky, every pixel different.
CRalImage StarField() {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  const double stars[][3] = {{14, 12, 900}, {45, 30, 700}, {6, 40, 500}, {58, 5, 800}};
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      double v = 100.0 + 0.37 * x + 0.11 * y;
      for (const auto& s : stars)
        v += s[2] * std::exp(-((x - s[0]) * (x - s[0]) + (y - s[1]) * (y - s[1])) / 4.5);
      row[static_cast<std::size_t>(x)] = v;
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

struct Move {
  const char* name;
  CPixelMove move;
  std::function<int(CRalImage&, const CRalImage&)> run;
  std::function<POINT(POINT)> where;  // old pixel to new, by hand
};

std::vector<Move> Moves() {
  const RECT cut{10, 6, 50, 36};
  return {
      {"mirror", CPixelMove::Mirror(kW, kH, true),
       [](CRalImage& im, const CRalImage& src) { return CImgFlip(im).Do(1, &src, 0); },
       [](POINT p) {
         return POINT{kW - 1 - p.x, p.y};
       }},
      {"quarter turn", CPixelMove::QuarterTurn(kW, kH, true),
       [](CRalImage& im, const CRalImage& src) { return CImgRotate(im).Do90(1, &src, 0); },
       [](POINT p) {
         return POINT{p.y, kW - 1 - p.x};
       }},
      {"crop", CPixelMove::Crop(kW, kH, cut),
       [cut](CRalImage& im, const CRalImage&) { return CImgCrop().Do(cut, im, 0); },
       [cut](POINT p) {
         return POINT{p.x - cut.left, p.y - cut.top};
       }},
      {"scroll", CPixelMove::Scroll(kW, kH, 20, -9),
       [](CRalImage& im, const CRalImage& src) { return CImgScroll(im).Do(20, -9, &src, 0); },
       [](POINT p) {
         return POINT{(p.x + 20) % kW, (p.y - 9 + kH) % kH};
       }},
  };
}

bool InImage(POINT p, const CImage& image) {
  return p.x >= 0 && p.y >= 0 && p.x < image.GetWidth() && p.y < image.GetHeight();
}

class MarksFollowTest : public ::testing::TestWithParam<int> {};

// The pixels a mark's box covers (inclusive), unclipped.
RECT BoxOf(const CApertureMark& mk) {
  const int ix = static_cast<int>(mk.m_dCx + 0.5), iy = static_cast<int>(mk.m_dCy + 0.5);
  const int rx = static_cast<int>(mk.m_dOuterX + 0.5), ry = static_cast<int>(mk.m_dOuterY + 0.5);
  return RECT{ix - rx, iy - ry, ix + rx, iy + ry};
}

bool BoxInside(const RECT& b, const CImage& image) {
  return b.left >= 0 && b.top >= 0 && b.right < image.GetWidth() && b.bottom < image.GetHeight();
}

TEST_P(MarksFollowTest, ApertureMarksAreMeasuredAnewWhereTheirStarsWent) {
  const Move m = Moves()[static_cast<std::size_t>(GetParam())];
  const bool crop = m.name == std::string("crop"), turn = m.name == std::string("quarter turn");
  SCOPED_TRACE(m.name);
  CRalImage image = StarField();
  const std::vector<POINT> clicks = {{14, 12}, {45, 30}, {6, 40}, {58, 5}, {30, 20}};
  CAperture a;
  a.SetParams(0, 0, 3, 6, 2, 0, 3);
  for (const POINT& p : clicks) ASSERT_EQ(a.AddStar(p.x, p.y, &image), 1);
  // One star drawn as an ellipse: a quarter turn trades its radii.
  CApertureMark& e = a.GetMark(8);
  e.m_nShape = CApertureMark::ELLIPSE;
  e.SetGeometry(e.m_dCx, e.m_dCy, 5, 2, -1, -1, &image);
  a.SetSelected(7);  // the sky of the fourth star
  std::vector<CApertureMark> was;
  for (int i = 0; i < a.GetMarkCount(); ++i) was.push_back(a.GetMark(i));

  CRalImage before;
  ASSERT_TRUE(before.CopyImage(image));
  ASSERT_EQ(m.run(image, before), 1);
  std::vector<POINT> expected;
  std::vector<int> kept;
  for (std::size_t i = 0; i < clicks.size(); ++i) {
    const POINT q = m.where(clicks[i]);
    if (!InImage(q, image)) continue;
    expected.push_back(q);
    kept.push_back(static_cast<int>(i));
  }
  if (crop)
    ASSERT_LT(expected.size(), clicks.size()) << "some stars leave in the crop";
  else
    ASSERT_EQ(expected.size(), clicks.size());
  EXPECT_EQ(a.FollowPixelMove(m.move, &image), static_cast<int>(clicks.size() - expected.size()));
  ASSERT_EQ(a.GetMarkCount(), 2 * static_cast<int>(expected.size()));
  EXPECT_EQ(a.GetImage(), &image);

  // The same clicks on the moved image, measured from scratch; and where the whole mark
  // stood on the image before and stands whole on it after, the counts of before.
  CAperture fresh;
  fresh.SetParams(0, 0, 3, 6, 2, 0, 3);
  for (const POINT& p : expected) ASSERT_EQ(fresh.AddStar(p.x, p.y, &image), 1);
  int whole = 0;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    for (int s = 0; s < 2; ++s) {
      const CApertureMark& got = a.GetMark(static_cast<int>(2 * k) + s);
      CApertureMark want = fresh.GetMark(static_cast<int>(2 * k) + s);
      if (kept[k] == 4 && s == 0) {
        want.m_nShape = CApertureMark::ELLIPSE;
        want.SetGeometry(want.m_dCx, want.m_dCy, turn ? 2 : 5, turn ? 5 : 2, -1, -1, &image);
      }
      EXPECT_EQ(got.m_nNumber, kept[k] + 1) << "numbers stay as in the moved table";
      EXPECT_EQ(got.m_dCx, want.m_dCx);
      EXPECT_EQ(got.m_dCy, want.m_dCy);
      EXPECT_EQ(got.m_dOuterX, want.m_dOuterX);
      EXPECT_EQ(got.m_dOuterY, want.m_dOuterY);
      EXPECT_EQ(got.m_nPixels, want.m_nPixels) << k << " " << s;
      EXPECT_EQ(got.m_dTotal, want.m_dTotal) << k << " " << s;
      EXPECT_NEAR(got.m_dVariance, want.m_dVariance, 1e-9 * (1 + want.m_dVariance));
      const CApertureMark& old = was[static_cast<std::size_t>(2 * kept[k] + s)];
      const RECT ob = BoxOf(old), nb = BoxOf(got);
      const POINT c1 = m.where(POINT{ob.left, ob.top}), c2 = m.where(POINT{ob.right, ob.bottom});
      const bool torn = std::min(c1.x, c2.x) != nb.left || std::min(c1.y, c2.y) != nb.top;
      if (!BoxInside(ob, before) || !BoxInside(nb, image) || torn) continue;
      ++whole;
      EXPECT_EQ(got.m_nPixels, old.m_nPixels) << k << " " << s;
      EXPECT_NEAR(got.m_dTotal, old.m_dTotal, 1e-9 * std::fabs(old.m_dTotal)) << k << " " << s;
    }
  }
  EXPECT_GE(whole, 2);
  // The selection still points at the fourth star's sky, or at nothing once it left.
  const auto at = std::find(kept.begin(), kept.end(), 3);
  EXPECT_EQ(a.GetSelected(), at == kept.end() ? -1 : 2 * static_cast<int>(at - kept.begin()) + 1);
  EXPECT_EQ(a.GetLiveCount(), static_cast<int>(expected.size()));
}

TEST_P(MarksFollowTest, RectanglesAndPositionsGoWithTheirPixels) {
  const Move m = Moves()[static_cast<std::size_t>(GetParam())];
  SCOPED_TRACE(m.name);
  CRalImage image = StarField();
  CApertureRect r;
  r.SetImage(&image);
  const std::vector<RECT> rects = {
      {12, 10, 17, 14}, {2, 2, 9, 7}, {40, 25, 52, 33}, {55, 40, 63, 47}};
  for (const RECT& q : rects) ASSERT_EQ(r.Measure(q.left, q.top, q.right, q.bottom), 1);
  r.SetCurrent(2);
  CPositioning p;
  ASSERT_EQ(p.Measure(&image, 4, 2, 24, 22), 1);    // the star at (14, 12)
  ASSERT_EQ(p.Measure(&image, 48, -5, 68, 15), 1);  // the star at (58, 5), area past the edge
  const double x0 = p.GetItem(0).m_dX, y0 = p.GetItem(0).m_dY;
  const double x1 = p.GetItem(1).m_dX, y1 = p.GetItem(1).m_dY;

  CRalImage before;
  ASSERT_TRUE(before.CopyImage(image));
  ASSERT_EQ(m.run(image, before), 1);
  r.FollowPixelMove(m.move, &image);
  p.FollowPixelMove(m.move, &image);

  // Rectangles: whole on the new image, statistics those of a fresh measurement there.
  CApertureRect again;
  again.SetImage(&image);
  int k = 0, current = -1;
  for (std::size_t i = 0; i < rects.size(); ++i) {
    const POINT a = m.where(POINT{rects[i].left, rects[i].top});
    const POINT b = m.where(POINT{rects[i].right, rects[i].bottom});
    const RECT e{std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
    const bool whole = InImage(a, image) && InImage(b, image) &&
                       (e.right - e.left) * (e.bottom - e.top) ==
                           (rects[i].right - rects[i].left) * (rects[i].bottom - rects[i].top);
    if (!whole) continue;
    if (i == 2) current = k;
    ASSERT_LT(k, r.GetItemCount());
    const CApertureRectItem& it = r.GetItem(k);
    EXPECT_EQ(it.m_nLeft, e.left);
    EXPECT_EQ(it.m_nTop, e.top);
    EXPECT_EQ(it.m_nRight, e.right);
    EXPECT_EQ(it.m_nBottom, e.bottom);
    ASSERT_EQ(again.Measure(e.left, e.top, e.right, e.bottom), 1);
    EXPECT_EQ(again.GetItem(k).m_nPixels, it.m_nPixels);
    EXPECT_NEAR(again.GetItem(k).m_dTotal, it.m_dTotal, 1e-6 * std::fabs(it.m_dTotal));
    ++k;
  }
  EXPECT_EQ(r.GetItemCount(), k);
  EXPECT_EQ(r.GetCurrent(), current);

  // Positions: where a hand-written formula puts them, on the same pixel (every pixel of
  // the field differs), their areas round them.
  int kept = 0;
  for (const auto& [x, y] : {std::pair{x0, y0}, std::pair{x1, y1}}) {
    const POINT old{static_cast<int>(x + 0.5), static_cast<int>(y + 0.5)};
    const POINT q = m.where(old);
    if (!InImage(q, image)) continue;
    ASSERT_LT(kept, p.GetItemCount());
    const CPositioningItem& it = p.GetItem(kept++);
    // The fraction past the pixel's centre, moved by hand.
    const double fx = x - old.x, fy = y - old.y;
    const double ex = q.x + (m.name == std::string("mirror")         ? -fx
                             : m.name == std::string("quarter turn") ? fy
                                                                     : fx);
    const double ey = q.y + (m.name == std::string("quarter turn") ? -fx : fy);
    EXPECT_NEAR(it.m_dX, ex, 1e-9);
    EXPECT_NEAR(it.m_dY, ey, 1e-9);
    EXPECT_EQ(image.GetPixel(q.x, q.y), before.GetPixel(old.x, old.y));
    EXPECT_EQ((it.m_nRight - it.m_nLeft) * (it.m_nBottom - it.m_nTop), 400) << "area kept";
    EXPECT_LE(it.m_nLeft, it.m_dX);
    EXPECT_GE(it.m_nRight, it.m_dX);
    EXPECT_LE(it.m_nTop, it.m_dY);
    EXPECT_GE(it.m_nBottom, it.m_dY);
  }
  EXPECT_EQ(p.GetItemCount(), kept);
  EXPECT_EQ(p.GetCurrentRow(), kept == 2 ? 1 : -1);
}

INSTANTIATE_TEST_SUITE_P(Moves, MarksFollowTest, ::testing::Range(0, 4));

// Undo trades the marks: twice gives back the same, the settings stay where they are.
TEST(MarksFollowTest, SwapMarksTradesMarksNotSettings) {
  CRalImage image = StarField();
  CAperture a, b;
  a.SetParams(0, 0, 3, 6, 2, 0, 3);
  b.SetParams(0, 0, 4, 9, 1, 0, 3);
  ASSERT_EQ(a.AddStar(14, 12, &image), 1);
  ASSERT_EQ(a.AddStar(45, 30, &image), 1);
  a.SwapMarks(b);
  EXPECT_EQ(a.GetMarkCount(), 0);
  EXPECT_EQ(a.GetNextNumber(), 1);
  ASSERT_EQ(b.GetMarkCount(), 4);
  EXPECT_EQ(b.GetNextNumber(), 3);
  int shape, method, starR, skyIR, skyDR, searchG, searchR;
  a.GetParams(&shape, &method, &starR, &skyIR, &skyDR, &searchG, &searchR);
  EXPECT_EQ(starR, 3);
  b.GetParams(&shape, &method, &starR, &skyIR, &skyDR, &searchG, &searchR);
  EXPECT_EQ(starR, 4);
  b.SwapMarks(a);
  EXPECT_EQ(a.GetMarkCount(), 4);
  EXPECT_EQ(a.GetMark(2).m_dCx, 45);

  CPositioning p, q;
  p.SetRadius(12);
  ASSERT_EQ(p.Measure(&image, 4, 2, 24, 22), 1);
  p.SwapMarks(q);
  EXPECT_EQ(p.GetItemCount(), 0);
  EXPECT_EQ(p.GetRadius(), 12);
  ASSERT_EQ(q.GetItemCount(), 1);
  // The rounding rule sees the rows that came in: the same star is not added twice.
  CPositioningItem same = q.GetItem(0);
  EXPECT_EQ(q.AddItem(same), 0);
  EXPECT_EQ(p.AddItem(same), 1);
}

}  // namespace
