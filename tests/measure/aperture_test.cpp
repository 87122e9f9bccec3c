// Circular and rectangle photometry: the stated edge cases, an independent numpy count
// of random marks, and the table extensions written, saved, read back and restored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

CRalImage Filled(int w, int h, double value) {
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(static_cast<std::size_t>(w), value);
  for (int y = 0; y < h; ++y) image.SetPhysicalRow(y, 0, row.data());
  return image;
}

void SetPixel(CRalImage& image, int x, int y, double v) {
  std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
  image.GetPhysicalRow(y, 0, row.data());
  row[static_cast<std::size_t>(x)] = v;
  image.SetPhysicalRow(y, 0, row.data());
}

CAperture Semi(int star, int sky, int width) {
  CAperture a;
  a.SetParams(0, 0, star, sky, width, 0, 3);
  return a;
}

// The RESULT row of measurement n (1-based), after the rows were rebuilt.
double ResultOf(CAperture& a, int n) {
  a.UpdateItems();
  for (int r = 0; r < a.GetItemCount(); ++r)
    if (a.GetItem(r).m_nKind == CApertureItem::RESULT && a.GetItem(r).m_nNumber == n)
      return a.GetItem(r).m_dResult;
  ADD_FAILURE() << "no result row " << n;
  return NAN;
}

TEST(ApertureTest, FlatImageGivesZeroAndEdgesClip) {
  CRalImage image = Filled(60, 50, 100.0);
  CAperture a = Semi(5, 10, 2);
  ASSERT_EQ(a.AddStar(30, 25, &image), 1);
  ASSERT_EQ(a.AddStar(0, 49, &image), 1);
  EXPECT_EQ(ResultOf(a, 1), 0.0);
  EXPECT_EQ(ResultOf(a, 2), 0.0);
  const CApertureMark& inner = a.GetMark(0);
  const CApertureMark& corner = a.GetMark(2);
  EXPECT_DOUBLE_EQ(inner.m_dTotal, 100.0 * inner.m_nPixels);
  // A corner keeps about a quarter of the disc: its own row and column plus the quadrant.
  EXPECT_LT(corner.m_nPixels, inner.m_nPixels / 2);
  EXPECT_EQ(corner.m_nPixels, (inner.m_nPixels - 1) / 4 + 5 + 1);
  EXPECT_LT(a.GetMark(3).m_nPixels, a.GetMark(1).m_nPixels / 2);
}

TEST(ApertureTest, SkyUnderTheStarLeftOutOfTheResultOnly) {
  // A bright 5 × 5 block inside the star disc; the annulus from radius 1 (which leaves
  // out the middle 3 × 3) to 7 takes its outer 16 pixels.
  CRalImage image = Filled(40, 40, 10.0);
  for (int y = 18; y <= 22; ++y)
    for (int x = 18; x <= 22; ++x) SetPixel(image, x, y, 1000.0);
  CAperture a = Semi(5, 1, 6);
  ASSERT_EQ(a.AddStar(20, 20, &image), 1);
  EXPECT_DOUBLE_EQ(ResultOf(a, 1), 25 * 990.0);
  int count;
  double total, mean, sd;
  a.GetRowStats(1, &count, &total, &mean, &sd);  // the SKY row: the whole annulus
  EXPECT_EQ(a.GetItem(1).m_nKind, CApertureItem::SKY);
  EXPECT_DOUBLE_EQ(total, 16 * 1000.0 + (count - 16) * 10.0);
  // The text file shows the SKY mark's own statistics too.
  const std::string text = a.FormatText(false);
  EXPECT_NE(text.find(PhotNumber(total, 20, 8)), std::string::npos) << text;
}

// Automatic radii follow the star's width linearly: 1.5 and 3 full widths at half maximum
// for the star and the sky ring, whatever the seeing.
TEST(ApertureTest, AutomaticRadiiScaleWithTheStarsWidth) {
  for (double sigma : {1.0, 2.0, 3.0}) {
    CRalImage image = Filled(121, 121, 100.0);
    for (int y = 40; y <= 80; ++y)
      for (int x = 40; x <= 80; ++x) {
        const double r2 = (x - 60.0) * (x - 60.0) + (y - 60.0) * (y - 60.0);
        SetPixel(image, x, y, 100.0 + 5000.0 * std::exp(-r2 / (2 * sigma * sigma)));
      }
    CAperture a;
    a.SetParams(0, 1, 5, 10, 2, 0, 3);
    ASSERT_EQ(a.AddStar(60, 60, &image), 1) << sigma;
    ASSERT_EQ(a.GetMarkCount(), 2);
    const double fwhm = 2.354820045829508 * sigma;
    EXPECT_NEAR(a.GetMark(0).m_dOuterX, 1.5 * fwhm + 0.5, 0.05 * fwhm) << sigma;
    EXPECT_NEAR(a.GetMark(1).m_dInnerX, 3.0 * fwhm - 0.5, 0.1 * fwhm) << sigma;
    EXPECT_NEAR(a.GetMark(1).m_dOuterX - a.GetMark(1).m_dInnerX, 2.0, 1e-9) << sigma;
  }
}

// An image whose every pixel differs from its neighbours, so that a measurement made one
// pixel off gives other numbers.
CRalImage Varied(int w, int h) {
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  std::mt19937 rng(8128);
  std::uniform_real_distribution<double> value(-200.0, 5000.0);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (double& v : row) v = value(rng);
    image.SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

// What a measurement's list shows: the three rows of each measurement, their numbers, the
// statistics of their marks and the result, as text.
std::string Rows(CAperture& a) {
  a.UpdateItems();
  std::string text;
  for (int r = 0; r < a.GetItemCount(); ++r) text += a.FormatListLine(r) + "\n";
  return text;
}

void ExpectSameMark(const CApertureMark& got, const CApertureMark& want, const char* what) {
  EXPECT_DOUBLE_EQ(got.m_dCx, want.m_dCx) << what;
  EXPECT_DOUBLE_EQ(got.m_dCy, want.m_dCy) << what;
  EXPECT_DOUBLE_EQ(got.m_dOuterX, want.m_dOuterX) << what;
  EXPECT_DOUBLE_EQ(got.m_dInnerX, want.m_dInnerX) << what;
  EXPECT_EQ(got.m_nPixels, want.m_nPixels) << what;
  EXPECT_DOUBLE_EQ(got.m_dTotal, want.m_dTotal) << what;
  EXPECT_DOUBLE_EQ(got.m_dStdDev, want.m_dStdDev) << what;
}

// A measurement dragged with the mouse (in steps, each relative to the press) ends where
// a click at the new place would have put it, measured as that click would measure it;
// the other measurements and the numbers stay.
TEST(ApertureEditTest, MovedMeasurementIsMeasuredAgainAtItsNewPlace) {
  CRalImage image = Varied(90, 70);
  CAperture a = Semi(4, 8, 3);
  ASSERT_EQ(a.AddStar(20, 20, &image), 1);
  ASSERT_EQ(a.AddStar(60, 40, &image), 1);
  const std::string before = Rows(a);
  // Pressed inside the first measurement's sky ring, off its centre.
  const int star = a.PickMeasurement(26, 23, 1.0);
  ASSERT_EQ(star, 0);
  ASSERT_EQ(a.BeginMove(star, POINT{26, 23}), 1);
  EXPECT_TRUE(a.IsEditing());
  EXPECT_EQ(a.GetSelected(), 0);
  for (POINT p : {POINT{27, 23}, POINT{35, 30}, POINT{33, 35}}) EXPECT_EQ(a.TrackEdit(p), 1);
  ASSERT_EQ(a.EndEdit(), 1);
  EXPECT_FALSE(a.IsEditing());
  EXPECT_EQ(a.TrackEdit(POINT{50, 50}), 0);  // released: the pointer no longer drags
  EXPECT_EQ(a.GetMark(0).m_nEditState, CApertureMark::FINISHED);

  CAperture fresh = Semi(4, 8, 3);
  ASSERT_EQ(fresh.AddStar(20 + 7, 20 + 12, &image), 1);
  ExpectSameMark(a.GetMark(0), fresh.GetMark(0), "star");
  ExpectSameMark(a.GetMark(1), fresh.GetMark(1), "sky");
  EXPECT_DOUBLE_EQ(ResultOf(a, 1), ResultOf(fresh, 1));
  const std::string after = Rows(a);
  EXPECT_NE(after, before);
  // The second measurement's rows are untouched, the numbers as they were.
  EXPECT_EQ(after.substr(after.find("\n", after.find("\n", after.find("\n") + 1) + 1)),
            before.substr(before.find("\n", before.find("\n", before.find("\n") + 1) + 1)));
  EXPECT_EQ(a.GetMark(0).m_nNumber, 1);
  EXPECT_EQ(a.GetMark(3).m_nNumber, 2);
}

// Resizing takes the edge nearest the press: the star disc's or the sky ring's. Dragged
// outwards on either side of the centre it grows; the ring keeps its width. The numbers
// are those of a measurement made with the new radii.
TEST(ApertureEditTest, ResizedEdgeIsMeasuredAgainWithItsNewRadius) {
  CRalImage image = Varied(90, 70);
  struct Case {
    POINT press, release;
    int starR, skyR;  // the radii expected after the drag
    int mark;         // the mark taken: 0 star, 1 sky
  } cases[] = {
      {{45, 35}, {48, 35}, 8, 8, 0},   // the star's right edge three pixels out
      {{35, 35}, {32, 35}, 8, 8, 0},   // its left edge, dragged left: out as well
      {{40, 30}, {40, 32}, 3, 8, 0},   // the top edge dragged down: in
      {{48, 35}, {50, 35}, 5, 10, 1},  // the ring's inner edge, two pixels out
      {{40, 46}, {40, 43}, 5, 5, 1},   // its outer edge from below, three pixels in
  };
  for (const Case& c : cases) {
    CAperture a = Semi(5, 8, 3);
    ASSERT_EQ(a.AddStar(40, 35, &image), 1);
    const int star = a.PickMeasurement(c.press.x, c.press.y, 1.0);
    ASSERT_EQ(star, 0);
    ASSERT_EQ(a.BeginResize(star, c.press), 1);
    EXPECT_EQ(a.GetSelected(), c.mark) << c.press.x << "," << c.press.y;
    EXPECT_EQ(a.GetMark(c.mark).m_nEditState, CApertureMark::RESIZING);
    EXPECT_EQ(a.GetMark(1 - c.mark).m_nEditState, CApertureMark::IDLE);
    // In one-pixel steps, each from where the last one left off.
    POINT p = c.press;
    while (p.x != c.release.x || p.y != c.release.y) {
      p.x += (c.release.x > p.x) - (c.release.x < p.x);
      p.y += (c.release.y > p.y) - (c.release.y < p.y);
      ASSERT_EQ(a.TrackEdit(p), 1);
    }
    ASSERT_EQ(a.EndEdit(), 1);
    CAperture fresh = Semi(c.starR, c.skyR, 3);
    ASSERT_EQ(fresh.AddStar(40, 35, &image), 1);
    ExpectSameMark(a.GetMark(0), fresh.GetMark(0), "star");
    ExpectSameMark(a.GetMark(1), fresh.GetMark(1), "sky");
    EXPECT_DOUBLE_EQ(ResultOf(a, 1), ResultOf(fresh, 1)) << c.press.x << "," << c.press.y;
  }
}

// Only a drawn measurement is taken, the one whose centre is nearest; a press far from
// every ring takes none, and no edit starts while another runs.
TEST(ApertureEditTest, PickingTakesTheNearestDrawnMeasurement) {
  CRalImage image = Varied(90, 70);
  CAperture a = Semi(4, 8, 3);
  ASSERT_EQ(a.AddStar(30, 30, &image), 1);
  ASSERT_EQ(a.AddStar(44, 30, &image), 1);
  EXPECT_EQ(a.PickMeasurement(36, 30, 1.0), 0);
  EXPECT_EQ(a.PickMeasurement(38, 30, 1.0), 2);
  EXPECT_EQ(a.PickMeasurement(30, 41, 0.5), 0);  // sky outer radius 11, reach 11.5
  EXPECT_EQ(a.PickMeasurement(30, 42, 0.5), -1);
  EXPECT_EQ(a.PickMeasurement(30, 42, 1.0), 0);
  EXPECT_EQ(a.PickMeasurement(80, 60, 2.0), -1);
  ASSERT_EQ(a.BeginMove(0, POINT{30, 30}), 1);
  EXPECT_EQ(a.BeginResize(2, POINT{44, 34}), 0);
  EXPECT_EQ(a.EndEdit(), 1);
  EXPECT_EQ(a.EndEdit(), 0);
  // Hidden by the dialog: the first no longer takes a press; one made later does.
  a.HideMarks();
  EXPECT_EQ(a.PickMeasurement(30, 30, 1.0), -1);
  a.ShowAllMarksAfterClick();
  ASSERT_EQ(a.AddStar(60, 50, &image), 1);
  EXPECT_EQ(a.PickMeasurement(30, 30, 1.0), -1);
  EXPECT_EQ(a.PickMeasurement(60, 50, 1.0), 4);
  a.ShowAllMarks();
  EXPECT_EQ(a.PickMeasurement(30, 30, 1.0), 0);
}

TEST(ApertureTest, RadiiLimitedTo1002KeepingTheWidth) {
  CRalImage image = Filled(10, 10, 1.0);
  CApertureMark disc, annulus;
  disc.SetGeometry(5, 5, 2000, 2000, -1, -1, &image);
  annulus.SetGeometry(5, 5, 2000, 2000, 1990, 1990, &image);
  EXPECT_EQ(disc.m_dOuterX, 1002.0);
  EXPECT_EQ(disc.m_dOuterY, 1002.0);
  EXPECT_EQ(annulus.m_dOuterX, 1002.0);
  EXPECT_EQ(annulus.m_dInnerX, 992.0);
  EXPECT_EQ(annulus.m_dInnerY, 992.0);
  EXPECT_EQ(disc.m_nPixels, 100);
}

TEST(ApertureTest, DeletingTheSecondOfThreeRenumbers) {
  CRalImage image = Filled(100, 40, 5.0);
  CAperture a = Semi(3, 5, 1);
  for (int x : {15, 45, 75}) ASSERT_EQ(a.AddStar(x, 20, &image), 1);
  a.UpdateItems();
  ASSERT_EQ(a.GetItemCount(), 9);
  ASSERT_EQ(a.GetItem(3).m_nNumber, 2);
  ASSERT_EQ(a.DeleteMeasurement(3), 1);
  ASSERT_EQ(a.GetMarkCount(), 4);
  EXPECT_EQ(a.GetMark(2).m_nNumber, 2);
  EXPECT_EQ(a.GetMark(3).m_nNumber, 2);
  EXPECT_EQ(a.GetMark(2).m_dCx, 75.0);
  EXPECT_EQ(a.GetLiveCount(), 2);
  ASSERT_EQ(a.AddStar(30, 20, &image), 1);
  EXPECT_EQ(a.GetMark(4).m_nNumber, 3);
}

// With "FitsBottomUp", y of an image read from FITS counts from the bottom.
class BottomUpTest : public ::testing::TestWithParam<int> {};

TEST_P(BottomUpTest, StarOnRowZero) {
  ScopedConfigHome config;
  CRegistry::Write("IO", "FitsBottomUp", GetParam(), CRegistry::TYPE_BOOL);
  CRalImage image = Filled(20, 100, 3.0);
  image.SetOrgFileFormat("FITS");
  CAperture a = Semi(2, 4, 1);
  ASSERT_EQ(a.AddStar(7, 0, &image), 1);
  ASSERT_EQ(a.WriteExtension(image), 1);
  const CFitsExtension* ext = PhotFindTable(image, kExtNamePhot);
  ASSERT_NE(ext, nullptr);
  const std::string_view row(reinterpret_cast<const char*>(ext->GetData()), 193);
  EXPECT_EQ(PhotField(row, 6, 7), "   8.00");
  EXPECT_EQ(PhotField(row, 14, 7), GetParam() ? " 100.00" : "   1.00");
}

INSTANTIATE_TEST_SUITE_P(Setting, BottomUpTest, ::testing::Values(0, 1));

TEST(ApertureTest, FractionsTruncatedInCirclesKeptInRectangles) {
  for (double v : {10.9, -10.9}) {
    CRalImage image = Filled(30, 30, v);
    CAperture a = Semi(3, 6, 2);
    ASSERT_EQ(a.AddStar(15, 15, &image), 1);
    const CApertureMark& star = a.GetMark(0);
    EXPECT_EQ(star.m_dTotal, std::trunc(v) * star.m_nPixels) << v;
    CApertureRect rect;
    rect.SetImage(&image);
    ASSERT_EQ(rect.Measure(2, 3, 5, 7), 1);
    EXPECT_NEAR(rect.GetItem(0).m_dTotal, v * 20, 1e-4) << v;
    EXPECT_NEAR(rect.GetItem(0).m_dMin, v, 1e-6);
  }
}

TEST(ApertureRectTest, SecondIdenticalRectangleNotAddedAndClipped) {
  CRalImage image = Filled(30, 20, 2.0);
  CApertureRect rect;
  rect.SetImage(&image);
  ASSERT_TRUE(rect.StartDrag(POINT{25, 15}));
  EXPECT_EQ(rect.FinishDrag(POINT{40, 3}), 1);
  ASSERT_TRUE(rect.StartDrag(POINT{29, 3}));
  EXPECT_EQ(rect.FinishDrag(POINT{25, 15}), 0);  // the same rectangle after clipping
  ASSERT_TRUE(rect.StartDrag(POINT{5, 5}));
  EXPECT_EQ(rect.FinishDrag(POINT{5, 9}), 0);  // no width
  ASSERT_EQ(rect.GetLiveCount(), 1);
  const CApertureRectItem& it = rect.GetItem(0);
  EXPECT_EQ(it.m_nRight, 29);
  EXPECT_EQ(it.m_nPixels, 5u * 13u);
  EXPECT_EQ(rect.FormatClipboard().substr(0, 7), "番号\t");
}

// A rectangle with no pixel on the image is not added, whichever side it lies off (the
// clipping would turn its bounds over); one that reaches the image keeps the part on it,
// its count that of the part.
TEST(ApertureRectTest, RectangleOffTheImageNotAddedPartlyOffClipped) {
  CRalImage image = Filled(30, 20, 3.0);
  CApertureRect rect;
  rect.SetImage(&image);
  const RECT off[] = {{-9, 2, -1, 8}, {30, 2, 40, 8},   {2, -9, 8, -1},
                      {2, 20, 8, 25}, {35, 25, 31, 21}, {-5, -5, -2, -2}};
  for (const RECT& r : off) {
    EXPECT_EQ(rect.Measure(r.left, r.top, r.right, r.bottom), 0)
        << r.left << "," << r.top << "," << r.right << "," << r.bottom;
  }
  EXPECT_EQ(rect.GetLiveCount(), 0);
  EXPECT_EQ(rect.FormatText(false).find("   1 "), std::string::npos);
  struct Part {
    RECT drag, kept;
  };
  const Part parts[] = {{{-4, -3, 2, 1}, {0, 0, 2, 1}},
                        {{25, 15, 44, 33}, {25, 15, 29, 19}},
                        {{29, 0, 30, 19}, {29, 0, 29, 19}}};
  for (const Part& p : parts) {
    ASSERT_EQ(rect.Measure(p.drag.left, p.drag.top, p.drag.right, p.drag.bottom), 1);
    const CApertureRectItem& it = rect.GetItem(rect.GetLiveCount() - 1);
    EXPECT_EQ(it.m_nLeft, p.kept.left);
    EXPECT_EQ(it.m_nTop, p.kept.top);
    EXPECT_EQ(it.m_nRight, p.kept.right);
    EXPECT_EQ(it.m_nBottom, p.kept.bottom);
    const unsigned n =
        static_cast<unsigned>((p.kept.right - p.kept.left + 1) * (p.kept.bottom - p.kept.top + 1));
    EXPECT_EQ(it.m_nPixels, n);
    EXPECT_DOUBLE_EQ(it.m_dTotal, 3.0 * n);
  }
}

// A rectangle on a 64-bit image reads each pixel as a 32-bit float sample, as on a 32-bit
// image: 0.1 is taken as 0.100000001490116…, so twenty such pixels total 2.0000000298…
// where the doubles would give 2.0000000000000004. The expected figures are summed here
// from the float-rounded values in the order of the rows; in each case the two readings
// give different totals.
TEST(ApertureRectTest, SixtyFourBitPixelsAreReadAsFloatSamples) {
  const double bases[] = {0.1, 1.0 / 3.0, -2.7, 123456.789, 1e-7};
  for (const double base : bases) {
    CRalImage image(9, 7, -64, 1, 1.0, 0.0, 1);
    std::vector<double> row(9);
    for (int y = 0; y < 7; ++y) {
      for (int x = 0; x < 9; ++x) row[x] = base * (1 + (x + 2 * y) % 3);
      image.SetPhysicalRow(y, 0, row.data());
    }
    // Columns 2 … 6 of rows 1 … 4: twenty pixels.
    double total = 0.0, totalDouble = 0.0, lo = 0.0, hi = 0.0;
    bool first = true;
    for (int y = 1; y <= 4; ++y)
      for (int x = 2; x <= 6; ++x) {
        const double exact = base * (1 + (x + 2 * y) % 3);
        const double sample = static_cast<float>(exact);
        total += sample;
        totalDouble += exact;
        lo = first ? sample : std::min(lo, sample);
        hi = first ? sample : std::max(hi, sample);
        first = false;
      }
    ASSERT_NE(total, totalDouble) << base;
    CApertureRect rect;
    rect.SetImage(&image);
    ASSERT_EQ(rect.Measure(2, 1, 6, 4), 1) << base;
    const CApertureRectItem& it = rect.GetItem(0);
    EXPECT_EQ(it.m_nPixels, 20u) << base;
    EXPECT_EQ(it.m_dTotal, total) << base;
    EXPECT_EQ(it.m_dMin, lo) << base;
    EXPECT_EQ(it.m_dMax, hi) << base;
    EXPECT_EQ(it.m_dMean, total / 20) << base;
  }
}

// Counts, totals and standard deviations of 1,000 random circles, annuli and squares on a
// random image, edges and beyond included, against numpy. The deviation is compared to
// 1e-9 of itself: dividing by count − 1 instead of the count moves it by more than 1e-4
// of itself even for the largest marks here.
TEST(ApertureOracleTest, RandomMarksMatchNumpy) {
  TempDir dir;
  const int w = 160, h = 120;
  std::mt19937 rng(20261207);
  std::uniform_real_distribution<double> value(-500.0, 3000.0);
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  std::vector<float> raw;
  std::vector<double> row(w);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float v = (x * 7 + y * 13) % 97 == 0 ? NAN : static_cast<float>(value(rng));
      row[static_cast<std::size_t>(x)] = v;
      raw.push_back(v);
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  {
    std::ofstream f(dir.File("image.raw"), std::ios::binary);
    f.write(reinterpret_cast<const char*>(raw.data()),
            static_cast<std::streamsize>(raw.size() * sizeof(float)));
  }
  std::uniform_real_distribution<double> cx(-15.0, w + 15.0), cy(-15.0, h + 15.0);
  std::uniform_real_distribution<double> radius(0.0, 25.0), width(0.0, 8.0);
  std::ofstream cases(dir.File("cases.txt"));
  std::vector<CApertureMark> marks;
  for (int i = 0; i < 1000; ++i) {
    CApertureMark m;
    m.m_nShape = i % 5 == 4 ? CApertureMark::SQUARE : CApertureMark::CIRCLE;
    const double x = cx(rng), y = cy(rng), r = radius(rng);
    const double inner = i % 2 ? r : -1.0, outer = i % 2 ? r + width(rng) : r;
    m.SetGeometry(x, y, outer, outer, inner, inner, &image);
    char line[200];
    std::snprintf(line, sizeof line, "%d %.17g %.17g %.17g %.17g %.17g %.17g\n", m.m_nShape,
                  m.m_dCx, m.m_dCy, m.m_dOuterX, m.m_dOuterY, m.m_dInnerX, m.m_dInnerY);
    cases << line;
    marks.push_back(m);
  }
  cases.close();
  const std::string command = "/usr/bin/python3 " APERTURE_ORACLE " " + dir.File("image.raw") +
                              " " + std::to_string(w) + " " + std::to_string(h) + " " +
                              dir.File("cases.txt") + " > " + dir.File("out.txt") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFileOrEmpty(dir.File("out.txt"));
  std::istringstream out(ReadFileOrEmpty(dir.File("out.txt")));
  std::size_t i = 0;
  int count;
  double total, stddev;
  int empty = 0;
  while (out >> count >> total >> stddev) {
    ASSERT_LT(i, marks.size());
    EXPECT_EQ(marks[i].m_nPixels, count) << "case " << i;
    EXPECT_EQ(marks[i].m_dTotal, total) << "case " << i;
    EXPECT_NEAR(marks[i].m_dStdDev, stddev, 1e-9 * stddev) << "case " << i;
    EXPECT_NEAR(marks[i].m_dVariance, stddev * stddev, 1e-9 * stddev * stddev) << "case " << i;
    empty += count == 0;
    ++i;
  }
  EXPECT_EQ(i, marks.size());
  EXPECT_GT(empty, 0);  // some marks lie wholly outside the image
}

// Written into the image, saved as FITS, read back and restored after the question.
TEST(ApertureExtensionTest, SavedReadAndRestored) {
  ScopedConfigHome config;
  TempDir dir;
  CRalImage image = Filled(80, 60, 50.0);
  image.SetOrgFileFormat("FITS");  // as if it had been opened from a FITS file
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x)
      if ((x + y) % 3 == 0) SetPixel(image, x, y, 50.0 + x);
  CAperture a = Semi(4, 7, 3);
  ASSERT_EQ(a.AddStar(10, 12, &image), 1);
  a.SetParams(0, 0, 6, 9, 2, 1, 3);
  ASSERT_EQ(a.AddStar(40, 30, &image), 1);
  // The table keeps two decimals: a centroid within 0.005 of a half pixel would be
  // measured round another pixel after the restoring, so the corner one takes none.
  a.SetParams(0, 0, 6, 9, 2, 0, 3);
  ASSERT_EQ(a.AddStar(79, 59, &image), 1);
  CApertureRect rect;
  rect.SetImage(&image);
  ASSERT_EQ(rect.Measure(3, 4, 20, 30), 1);
  ASSERT_EQ(rect.Measure(60, 50, 70, 59), 1);
  ASSERT_EQ(a.WriteExtension(image), 1);
  ASSERT_EQ(a.WriteExtension(image), 1);  // replaces, never duplicates
  ASSERT_EQ(rect.WriteExtension(image), 1);
  EXPECT_EQ(image.m_FitsExtensions.size(), 2u);
  const std::string path = dir.File("marks.fits");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 1);

  CRalImage back;
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  int autoLevel = 0;
  ASSERT_EQ(CRalImageIO::ReadFile(back, path, &param, -32, &autoLevel), 1);
  RecordingMessageBox box;
  ScopedMessageBox scoped(&box);
  box.Answer(IDNO);
  CAperture refused;
  EXPECT_EQ(refused.RestoreExtension(&back), 0);
  EXPECT_EQ(refused.GetMarkCount(), 0);
  box.Answer(IDYES);
  box.Answer(IDYES);
  CAperture restored;
  CApertureRect rectBack;
  ASSERT_EQ(restored.RestoreExtension(&back), 3);
  ASSERT_EQ(rectBack.RestoreExtension(&back), 2);
  ASSERT_EQ(box.shown.size(), 3u);
  EXPECT_EQ(box.shown[1].text, kPhotRestoreQuestion);
  EXPECT_EQ(box.shown[2].text, kPhotRectRestoreQuestion);
  ASSERT_EQ(restored.GetMarkCount(), a.GetMarkCount());
  for (int i = 0; i < a.GetMarkCount(); ++i) {
    const CApertureMark& m = a.GetMark(i);
    const CApertureMark& r = restored.GetMark(i);
    EXPECT_EQ(r.m_nNumber, m.m_nNumber);
    EXPECT_EQ(r.m_nMethod, m.m_nMethod);
    EXPECT_NEAR(r.m_dCx, m.m_dCx, 0.005);
    EXPECT_NEAR(r.m_dCy, m.m_dCy, 0.005);
    EXPECT_EQ(r.m_dOuterX, m.m_dOuterX);
    EXPECT_EQ(r.m_dInnerX, m.m_dInnerX);
    EXPECT_EQ(r.m_nPixels, m.m_nPixels);
    EXPECT_EQ(r.m_dTotal, m.m_dTotal);
  }
  EXPECT_EQ(restored.GetNextNumber(), 4);
  EXPECT_EQ(restored.FormatText(true), a.FormatText(true));
  ASSERT_EQ(rectBack.GetLiveCount(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(rectBack.GetItem(i).m_nTop, rect.GetItem(i).m_nTop);
    EXPECT_EQ(rectBack.GetItem(i).m_nBottom, rect.GetItem(i).m_nBottom);
    EXPECT_EQ(rectBack.GetItem(i).m_nPixels, rect.GetItem(i).m_nPixels);
    EXPECT_DOUBLE_EQ(rectBack.GetItem(i).m_dTotal, rect.GetItem(i).m_dTotal);
  }
  EXPECT_EQ(rectBack.FormatText(false), rect.FormatText(false));
}

TEST(ApertureExtensionTest, UnknownMethodStopsTheRestoring) {
  CRalImage image = Filled(50, 50, 1.0);
  CAperture a = Semi(2, 4, 1);
  for (int x : {10, 20, 30}) ASSERT_EQ(a.AddStar(x, 10, &image), 1);
  ASSERT_EQ(a.WriteExtension(image), 1);
  CFitsExtension& ext = image.m_FitsExtensions.front();
  std::copy_n("FOO     ", 8, ext.GetData() + 193 + 185);
  RecordingMessageBox box;
  ScopedMessageBox scoped(&box);
  CAperture back;
  EXPECT_EQ(back.RestoreExtension(&image), 1);
  EXPECT_EQ(back.GetMarkCount(), 2);
  // No measurements: the table is removed, none added.
  CAperture none;
  EXPECT_EQ(none.WriteExtension(image), 0);
  EXPECT_EQ(PhotFindTable(image, kExtNamePhot), nullptr);
}

}  // namespace
