// The measurement tables through the engine's operations. The tools write their tables on
// an image with a marker pixel under every position; after a mirror, a quarter or half
// turn, a crop or a scroll the tables are read back by the tools themselves: each row
// must stand where a hand-written formula of the move puts it and on its own marker, each
// rectangle's stored statistics must be what its pixels on the new image give, and rows
// that left the image must be gone. Resampling removes the tables; the byte-level rules
// (other bytes kept, NAXIS2 rewritten, foreign layouts and emptied tables removed) are
// checked on CImgTables::Follow directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/imgcrop.h"
#include "engine/imgflip.h"
#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/imgtables.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"
#include "measure/positioning.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 41, kH = 29;
constexpr RECT kCrop{6, 4, 36, 25};  // 30 × 21
constexpr int kScrollX = 9, kScrollY = -5;

struct Pt {
  double x, y;
};

// Stored pixel positions of the marks, chosen so that the crop and the scroll each drop
// or tear some of them.
const std::vector<POINT> kStars = {{10, 8}, {33, 22}, {1, 27}, {40, 0}};
const std::vector<RECT> kRects = {{3, 5, 8, 9}, {15, 10, 20, 14}, {35, 2, 40, 6}, {20, 15, 26, 25}};
const std::vector<Pt> kPositions = {{12.25, 9.75}, {28.6, 20.25}, {2.4, 3.6}, {39.75, 27.4}};
constexpr int kAreaHalf = 2;

// One operation: what it does to an image, and the same move written out by hand (old
// stored pixel to new; false when it leaves the new image).
struct Case {
  const char* name;
  int newW, newH;
  std::function<int(CRalImage&, const CRalImage&)> run;
  std::function<bool(double, double, double*, double*)> where;
  bool wraps = false;
};

bool Inside(double x, double y, int w, int h) {
  return x >= -0.5 && y >= -0.5 && x < w - 0.5 && y < h - 0.5;
}

double Wrap(double v, int n) {
  double r = std::fmod(v + 0.5, n);
  if (r < 0) r += n;
  return r - 0.5;
}

std::vector<Case> Cases() {
  return {
      {"mirror left-right", kW, kH,
       [](CRalImage& im, const CRalImage& src) { return CImgFlip(im).Do(1, &src, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = kW - 1 - x;
         *ny = y;
         return true;
       }},
      {"mirror top-bottom", kW, kH,
       [](CRalImage& im, const CRalImage& src) { return CImgFlip(im).Do(0, &src, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = x;
         *ny = kH - 1 - y;
         return true;
       }},
      {"quarter turn clockwise", kH, kW,
       [](CRalImage& im, const CRalImage& src) { return CImgRotate(im).Do90(1, &src, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = y;
         *ny = kW - 1 - x;
         return true;
       }},
      {"quarter turn counterclockwise", kH, kW,
       [](CRalImage& im, const CRalImage& src) { return CImgRotate(im).Do90(0, &src, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = kH - 1 - y;
         *ny = x;
         return true;
       }},
      {"half turn", kW, kH,
       [](CRalImage& im, const CRalImage& src) { return CImgRotate(im).Do180(&src, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = kW - 1 - x;
         *ny = kH - 1 - y;
         return true;
       }},
      {"crop", kCrop.right - kCrop.left, kCrop.bottom - kCrop.top,
       [](CRalImage& im, const CRalImage&) { return CImgCrop().Do(kCrop, im, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = x - kCrop.left;
         *ny = y - kCrop.top;
         return Inside(*nx, *ny, kCrop.right - kCrop.left, kCrop.bottom - kCrop.top);
       }},
      {"scroll", kW, kH,
       [](CRalImage& im, const CRalImage& src) {
         return CImgScroll(im).Do(kScrollX, kScrollY, &src, 0);
       },
       [](double x, double y, double* nx, double* ny) {
         *nx = Wrap(x + kScrollX, kW);
         *ny = Wrap(y + kScrollY, kH);
         return true;
       },
       true},
  };
}

double Marker(int i) {
  return 1000.0 + 10.0 * i;
}

// A smooth background, different at every pixel, with a marker under each star and each
// position.
CRalImage MarkedImage() {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) row[static_cast<std::size_t>(x)] = 1.0 + 0.5 * x + 0.03125 * y;
    image.SetPhysicalRow(y, 0, row.data());
  }
  auto mark = [&](int x, int y, double v) {
    image.GetPhysicalRow(y, 0, row.data());
    row[static_cast<std::size_t>(x)] = v;
    image.SetPhysicalRow(y, 0, row.data());
  };
  for (std::size_t i = 0; i < kStars.size(); ++i)
    mark(kStars[i].x, kStars[i].y, Marker(static_cast<int>(i)));
  for (std::size_t i = 0; i < kPositions.size(); ++i)
    mark(static_cast<int>(kPositions[i].x + 0.5), static_cast<int>(kPositions[i].y + 0.5),
         Marker(static_cast<int>(i) + 50));
  image.SetOrgFileFormat("FITS");
  return image;
}

// Writes the three tables with the tools, as a save with Yes does.
void WriteTables(CRalImage& image) {
  CAperture a;
  a.SetParams(0, 0, 2, 4, 1, 0, 3);  // semi-automatic, no centroid: centres on the clicks
  for (const POINT& s : kStars) ASSERT_EQ(a.AddStar(s.x, s.y, &image), 1);
  ASSERT_EQ(a.WriteExtension(image), 1);
  CApertureRect r;
  r.SetImage(&image);
  for (const RECT& q : kRects) ASSERT_EQ(r.Measure(q.left, q.top, q.right, q.bottom), 1);
  ASSERT_EQ(r.WriteExtension(image), 1);
  CPositioning p;
  for (const Pt& q : kPositions) {
    CPositioningItem item;
    item.m_dX = q.x;
    item.m_dY = q.y;
    const int cx = static_cast<int>(q.x), cy = static_cast<int>(q.y);
    item.m_nLeft = cx - kAreaHalf;
    item.m_nTop = cy - kAreaHalf;
    item.m_nRight = cx + kAreaHalf;
    item.m_nBottom = cy + kAreaHalf;
    ASSERT_EQ(p.AddItem(item), 1);
  }
  ASSERT_EQ(p.WriteExtension(image), 1);
}

// Where a stored bound lands once written and read back: shown values below 1 are
// written as 1.
int Written(int v, int height, bool flip, bool vertical) {
  if (!vertical || !flip) return std::max(v, 0);
  return std::min(v, height - 1);
}

class TablesFollowTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(TablesFollowTest, RowsStandOnTheirPixels) {
  const Case c = Cases()[static_cast<std::size_t>(std::get<0>(GetParam()))];
  const bool flip = std::get<1>(GetParam()) != 0;
  SCOPED_TRACE(std::string(c.name) + (flip ? ", rows bottom-up" : ", rows top-down"));
  ScopedConfigHome config;
  CRegistry::Write("IO", "FitsBottomUp", flip ? 1 : 0, CRegistry::TYPE_BOOL);
  RecordingMessageBox box;  // the restore questions answered Yes
  ScopedMessageBox scoped(&box);

  CRalImage image = MarkedImage();
  WriteTables(image);
  CRalImage before;
  ASSERT_TRUE(before.CopyImage(image));
  ASSERT_EQ(c.run(image, before), 1);
  ASSERT_EQ(image.GetWidth(), c.newW);
  ASSERT_EQ(image.GetHeight(), c.newH);

  // Stars: the kept ones, in order, each on its marker.
  CAperture a;
  std::vector<int> keptStars;
  for (std::size_t i = 0; i < kStars.size(); ++i) {
    double nx, ny;
    if (c.where(kStars[i].x, kStars[i].y, &nx, &ny)) keptStars.push_back(static_cast<int>(i));
  }
  EXPECT_EQ(a.RestoreExtension(&image), static_cast<int>(keptStars.size()));
  ASSERT_EQ(a.GetMarkCount(), 2 * static_cast<int>(keptStars.size()));
  for (std::size_t k = 0; k < keptStars.size(); ++k) {
    const int i = keptStars[k];
    double nx, ny;
    c.where(kStars[static_cast<std::size_t>(i)].x, kStars[static_cast<std::size_t>(i)].y, &nx, &ny);
    const CApertureMark& m = a.GetMark(2 * static_cast<int>(k));
    EXPECT_EQ(m.m_nNumber, i + 1) << "numbers are kept";
    EXPECT_NEAR(m.m_dCx, nx, 1e-9);
    EXPECT_NEAR(m.m_dCy, ny, 1e-9);
    EXPECT_EQ(image.GetPixel(static_cast<int>(nx), static_cast<int>(ny)), Marker(i));
  }

  // Rectangles: kept whole or dropped, their statistics those of their new pixels.
  CApertureRect r;
  std::vector<RECT> expected;
  for (const RECT& q : kRects) {
    double x1, y1, x2, y2;
    if (!c.where(q.left, q.top, &x1, &y1) || !c.where(q.right, q.bottom, &x2, &y2)) continue;
    const RECT e{static_cast<int>(std::min(x1, x2)), static_cast<int>(std::min(y1, y2)),
                 static_cast<int>(std::max(x1, x2)), static_cast<int>(std::max(y1, y2))};
    // A scroll that wraps part of a rectangle round an edge tears it.
    if (c.wraps && (e.right - e.left != q.right - q.left || e.bottom - e.top != q.bottom - q.top))
      continue;
    expected.push_back(e);
  }
  EXPECT_EQ(r.RestoreExtension(&image), static_cast<int>(expected.size()));
  ASSERT_EQ(r.GetItemCount(), static_cast<int>(expected.size()));
  CApertureRect again;
  again.SetImage(&image);
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const CApertureRectItem& it = r.GetItem(static_cast<int>(k));
    EXPECT_EQ(it.m_nLeft, expected[k].left);
    EXPECT_EQ(it.m_nTop, expected[k].top);
    EXPECT_EQ(it.m_nRight, expected[k].right);
    EXPECT_EQ(it.m_nBottom, expected[k].bottom);
    ASSERT_EQ(again.Measure(it.m_nLeft, it.m_nTop, it.m_nRight, it.m_nBottom), 1);
    const CApertureRectItem& now = again.GetItem(static_cast<int>(k));
    EXPECT_EQ(now.m_nPixels, it.m_nPixels);
    EXPECT_NEAR(now.m_dTotal, it.m_dTotal, 1e-6);
    EXPECT_EQ(now.m_dMax, it.m_dMax);
  }

  // Positions: where the move puts them, on their markers, the area round them.
  CPositioning p;
  std::vector<int> keptPositions;
  for (std::size_t i = 0; i < kPositions.size(); ++i) {
    double nx, ny;
    if (c.where(kPositions[i].x, kPositions[i].y, &nx, &ny))
      keptPositions.push_back(static_cast<int>(i));
  }
  EXPECT_EQ(p.RestoreExtension(&image), static_cast<int>(keptPositions.size()));
  ASSERT_EQ(p.GetItemCount(), static_cast<int>(keptPositions.size()));
  for (std::size_t k = 0; k < keptPositions.size(); ++k) {
    const Pt& q = kPositions[static_cast<std::size_t>(keptPositions[k])];
    double nx, ny;
    c.where(q.x, q.y, &nx, &ny);
    const CPositioningItem& it = p.GetItem(static_cast<int>(k));
    EXPECT_NEAR(it.m_dX, nx, 0.0051);
    EXPECT_NEAR(it.m_dY, ny, 0.0051);
    EXPECT_EQ(image.GetPixel(static_cast<int>(nx + 0.5), static_cast<int>(ny + 0.5)),
              Marker(keptPositions[k] + 50));
    // The area as first written (bounds that fell off the image's top or bottom edge under
    // bottom-up rows were written as the edge row), moved as the position is: by the
    // formula, or for a scroll by the position's own shift, wrap included.
    const int cx = static_cast<int>(q.x), cy = static_cast<int>(q.y);
    const int l0 = Written(cx - kAreaHalf, kH, flip, false),
              r0 = Written(cx + kAreaHalf, kH, flip, false);
    const int t0 = Written(cy - kAreaHalf, kH, flip, true),
              b0 = Written(cy + kAreaHalf, kH, flip, true);
    double ax, ay, bx, by;
    c.where(l0, t0, &ax, &ay);
    c.where(r0, b0, &bx, &by);
    if (c.wraps) {
      ax = l0 + (nx - q.x);
      bx = r0 + (nx - q.x);
      ay = t0 + (ny - q.y);
      by = b0 + (ny - q.y);
    }
    const double lx = std::min(ax, bx), hx = std::max(ax, bx), ly = std::min(ay, by),
                 hy = std::max(ay, by);
    const int h = image.GetHeight();
    EXPECT_EQ(it.m_nLeft, Written(static_cast<int>(std::lround(lx)), h, flip, false));
    EXPECT_EQ(it.m_nRight, Written(static_cast<int>(std::lround(hx)), h, flip, false));
    const int top = Written(static_cast<int>(std::lround(ly)), h, flip, true);
    const int bottom = Written(static_cast<int>(std::lround(hy)), h, flip, true);
    EXPECT_EQ(it.m_nTop, std::min(top, bottom));
    EXPECT_EQ(it.m_nBottom, std::max(top, bottom));
  }
  EXPECT_EQ(CImgTables::Count(image), (keptStars.empty() ? 0 : 1) + (expected.empty() ? 0 : 1) +
                                          (keptPositions.empty() ? 0 : 1));
}

INSTANTIATE_TEST_SUITE_P(Moves, TablesFollowTest,
                         ::testing::Combine(::testing::Range(0, 7), ::testing::Values(0, 1)));

// Resampling moves no pixel whole: every table goes, the image's other extensions stay.
TEST(TablesFollowTest, ResamplingRemovesTheTables) {
  ScopedConfigHome config;
  for (int op = 0; op < 2; ++op) {
    CRalImage image = MarkedImage();
    WriteTables(image);
    CFitsExtension other;
    other.SetXtension("'TABLE   '");
    other.SetExtName("'OTHER'");
    other.SetData({});
    image.m_FitsExtensions.push_back(other);
    CRalImage before;
    ASSERT_TRUE(before.CopyImage(image));
    ASSERT_EQ(CImgTables::Count(image), 3);
    ASSERT_EQ(op == 0 ? CImgRotate(image).Do(30.0, 0, &before, 0)
                      : CImgResolution(image).Do(&before, 20, 15, 0),
              1);
    EXPECT_EQ(CImgTables::Count(image), 0) << op;
    ASSERT_EQ(image.m_FitsExtensions.size(), 1u) << op;
    EXPECT_EQ(image.m_FitsExtensions[0].GetExtName(), "'OTHER'");
  }
}

std::string RowsOf(const CFitsExtension& ext) {
  return std::string(reinterpret_cast<const char*>(ext.GetData()), ext.GetDataLength());
}

// On the records themselves: only the position fields change, NAXIS2 follows the rows
// kept with its comment, a table emptied or laid out otherwise is removed and counted.
TEST(TablesFollowTest, OnlyPositionFieldsChange) {
  ScopedConfigHome config;
  CRegistry::Write("IO", "FitsBottomUp", 0, CRegistry::TYPE_BOOL);
  CRalImage image = MarkedImage();
  WriteTables(image);
  const CFitsExtension phot = *PhotFindTable(image, kExtNamePhot);
  const CFitsExtension pos = *PhotFindTable(image, kExtNamePos);
  // A table moved elsewhere in its row is not carried.
  CFitsExtension* rect = const_cast<CFitsExtension*>(PhotFindTable(image, kExtNamePhoR));
  rect->SetTBCol(6, 1);
  // Only the first star and the first position stay inside this cut.
  const RECT cut{8, 6, 16, 14};
  const CPixelMove move = CPixelMove::Crop(kW, kH, cut);
  EXPECT_EQ(CImgTables::Follow(image, move), 1);
  ASSERT_EQ(CImgTables::Count(image), 2);

  const CFitsExtension* p = PhotFindTable(image, kExtNamePhot);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetNAxes(1), 1);
  EXPECT_EQ(p->GetDataLength(), static_cast<std::size_t>(imgtables::kPhotRowWidth));
  const int naxis2 = p->m_Header.Find("NAXIS2");
  std::string card = "NAXIS2  =                    1 / # of rows in table";
  card.resize(80, ' ');
  EXPECT_EQ(p->m_Header.GetAt(naxis2), card);
  std::string expected = RowsOf(phot).substr(0, imgtables::kPhotRowWidth);
  expected.replace(5, 7, "   3.00");   // x 10 → 2, shown 3
  expected.replace(13, 7, "   3.00");  // y 8 → 2
  EXPECT_EQ(RowsOf(*p), expected);

  const CFitsExtension* q = PhotFindTable(image, kExtNamePos);
  ASSERT_NE(q, nullptr);
  std::string row = RowsOf(pos).substr(0, imgtables::kPosRowWidth);
  // 12.25, 9.75 → 4.25, 3.75 (shown 5.25, 4.75); the area 10..14, 7..11 → 2..6, 1..5.
  row.replace(5, 7, "   5.25");
  row.replace(13, 7, "   4.75");
  row.replace(30, 19, "   3    2    7    6");
  EXPECT_EQ(RowsOf(*q), row);

  // A cut that leaves nothing: both remaining tables go.
  EXPECT_EQ(CImgTables::Follow(image, CPixelMove::Crop(8, 8, RECT{6, 6, 8, 8})), 2);
  EXPECT_EQ(CImgTables::Count(image), 0);
}

}  // namespace
