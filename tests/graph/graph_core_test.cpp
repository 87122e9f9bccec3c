// The profile graph's core: bilinear values at real positions, the sampling of lines and
// bands, the vertical ranges, the text output, and the lines' mouse rules.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "graph/drawline.h"
#include "graph/graph2ddata.h"
#include "tests/support/temp_dir.h"

namespace {

// A float image whose pixel (x, y) holds f(x, y).
template <typename F>
CRalImage Image(int w, int h, F f) {
  CRalImage img(w, h, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) row[static_cast<std::size_t>(x)] = f(x, y);
    img.SetPhysicalRow(y, 0, row.data());
  }
  img.AllocLevel();
  img.SetLevel(0, 0.0, 1000.0);
  return img;
}

class GraphCore : public ::testing::Test {
  ScopedConfigHome home_;
};

struct InterpCase {
  double x, y, want;
};

void PrintTo(const InterpCase& c, std::ostream* os) {
  *os << c.x << "," << c.y;
}

class Bilinear : public GraphCore, public ::testing::WithParamInterface<InterpCase> {};

// Pixel (x, y) holds x + 10 y² (not linear in y, so a wrong weight shows); the edge cases
// clamp and use the last two columns or rows with the fraction 1.
TEST_P(Bilinear, ValueAtRealPosition) {
  const CRalImage img = Image(4, 3, [](int x, int y) { return x + 10.0 * y * y; });
  const InterpCase c = GetParam();
  EXPECT_NEAR(img.GetPixelGrayRaw(c.x, c.y, 0), c.want, 1e-5) << c.x << "," << c.y;
}

INSTANTIATE_TEST_SUITE_P(Cases, Bilinear,
                         ::testing::Values(InterpCase{1.0, 1.0, 11.0},   // whole pixel
                                           InterpCase{1.25, 0.0, 1.25},  // along a row
                                           InterpCase{0.0, 1.5, 25.0},   // (10 + 40) / 2
                                           InterpCase{2.5, 1.5, 27.5},   // four neighbours
                                           InterpCase{3.0, 2.0, 43.0},   // last pixel
                                           InterpCase{3.7, 2.9, 43.0},   // past the end
                                           InterpCase{-2.0, -1.0, 0.0},  // before the start
                                           InterpCase{2.999, 0.0, 2.999}));

TEST_F(GraphCore, BlankNeighbourDoesNotSpoilAWholePixel) {
  const CRalImage img = Image(3, 1, [](int x, int) { return x == 2 ? NAN : 7.0; });
  EXPECT_EQ(img.GetPixelGrayRaw(1.0, 0.0, 0), 7.0f);
  EXPECT_TRUE(std::isnan(img.GetPixelGrayRaw(1.5, 0.0, 0)));
}

// A horizontal line of 10 pixels: 41 samples, and the text has 41 rows with x advancing
// by 0.25 (1-based).
TEST_F(GraphCore, TenPixelLineGivesFortyOneRows) {
  const CRalImage img = Image(20, 5, [](int x, int) { return 3.0 * x; });
  CCtrlGraph2DCore g;
  g.CalcLine(&img, 2.0, 1.0, 12.0, 1.0, 1.0);
  ASSERT_EQ(g.GetGraphData(0)->m_nCount, 41);
  TempDir dir;
  ASSERT_TRUE(g.OutputText(dir.File("p.txt")));
  std::ifstream in(dir.File("p.txt"));
  std::string line;
  std::vector<std::string> rows;
  while (std::getline(in, line)) rows.push_back(line);
  ASSERT_EQ(rows.size(), 43u);  // heading, rule, 41 rows
  EXPECT_EQ(rows[0], " X座標  Y座標      カウント値     ");
  for (int i = 0; i < 41; ++i) {
    double x, y, v;
    ASSERT_EQ(std::sscanf(rows[static_cast<std::size_t>(i) + 2].c_str(), "%lf %lf %lf", &x, &y, &v),
              3);
    EXPECT_NEAR(x, 3.0 + 0.25 * i, 0.051);  // "%6.1f" rounds the quarters
    EXPECT_EQ(y, 2.0);
    EXPECT_NEAR(v, 3.0 * (2.0 + 0.25 * i), 1e-5);
  }
  // A name ending ".CSV" writes the CSV form.
  ASSERT_TRUE(g.OutputText(dir.File("p.CSV")));
  std::ifstream csv(dir.File("p.CSV"));
  std::getline(csv, line);
  EXPECT_EQ(line, "\"X座標\",\"Y座標\",\"カウント値\"");
  std::getline(csv, line);
  EXPECT_EQ(line, "   3.0,    2.0,           6.00000000");
  EXPECT_FALSE(g.OutputText(dir.File("no/such/folder.txt")));
}

// Widths 2 and 3 sample across the line at ±0.5, and at 0 and ±1; the normal of a
// horizontal line is vertical, and values 10 y² make each offset count differently.
TEST_F(GraphCore, BandWidthsSampleAcrossTheLine) {
  const CRalImage img = Image(12, 12, [](int, int y) { return 10.0 * y * y; });
  struct {
    double width, want;
  } cases[] = {{1, 250.0},
               {2, (205.0 + 305.0) / 2},  // bilinear at y 4.5 and 5.5
               {3, (160.0 + 250.0 + 360.0) / 3},
               {4, (125.0 + 205.0 + 305.0 + 425.0) / 4}};
  for (const auto& c : cases) {
    const CCtrlGraph2DData d = SampleProfile(img, 1.0, 5.0, 9.0, 5.0, c.width);
    EXPECT_NEAR(d.m_Value[0][3], c.want, 1e-4) << "width " << c.width;
  }
}

TEST_F(GraphCore, ZeroLengthLineIsOneSample) {
  const CRalImage img = Image(5, 5, [](int x, int y) { return x + y; });
  const CCtrlGraph2DData d = SampleProfile(img, 2.0, 3.0, 2.0, 3.0, 1.0);
  EXPECT_EQ(d.m_nCount, 1);
  EXPECT_EQ(d.m_Value[0][0], 5.0f);
}

struct RangeCase {
  const char* name;
  double value;  // every pixel
  int mode;
  bool log;
  double wantMin, wantMax;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << c.name;
}

class VerticalRange : public GraphCore, public ::testing::WithParamInterface<RangeCase> {};

// Levels 0 … 1000 throughout.
TEST_P(VerticalRange, OfAFlatProfile) {
  const RangeCase c = GetParam();
  const CRalImage img = Image(16, 4, [&](int, int) { return c.value; });
  CCtrlGraph2DCore g;
  g.VrtScale(c.mode);
  g.VrtScaleRange(10.0, 500.0, 0);
  g.SetLog(c.log);
  g.CalcLine(&img, 0.0, 1.0, 10.0, 1.0, 1.0);
  double lo, hi;
  g.GetMinMax(&lo, &hi, 0, 0);
  EXPECT_NEAR(lo, c.wantMin, 1e-9) << c.name;
  EXPECT_NEAR(hi, c.wantMax, 1e-9) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerticalRange,
    ::testing::Values(RangeCase{"automatic flat", 100.0, 1, false, 75.0, 125.0},
                      RangeCase{"levels", 100.0, 0, false, 0.0, 1000.0},
                      RangeCase{"fixed", 100.0, 2, false, 10.0, 500.0},
                      RangeCase{"log, max below 0", -100.0, 1, true, 0.0, 2.0},
                      RangeCase{"log, min 0", 0.0, 0, true, 1.0, 3.0},
                      RangeCase{"log fixed", 100.0, 2, true, 1.0, std::log10(500.0)}),
    [](const auto& info) {
      std::string s = info.param.name;
      for (char& ch : s)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return s;
    });

// A sloped profile is widened by 2.5 % of its own span in automatic mode.
TEST_F(GraphCore, AutomaticRangeOfASlope) {
  const CRalImage img = Image(16, 4, [](int x, int) { return 100.0 + 10.0 * x; });
  CCtrlGraph2DCore g;
  g.VrtScale(1);
  g.CalcLine(&img, 0.0, 0.0, 10.0, 0.0, 1.0);
  double lo, hi;
  g.GetMinMax(&lo, &hi, 0, 0);
  EXPECT_NEAR(lo, 100.0 - 2.5, 1e-4);
  EXPECT_NEAR(hi, 200.0 + 2.5, 1e-4);
}

// ---- the lines' mouse rules

TEST(Graph2DLines, ShortDragAddsNothingAndKeepsTheCurrentLine) {
  CGraph2D g;
  g.OnLButtonDown(10, 10, false, false);
  g.OnMouseMove(30, 10);
  ASSERT_EQ(g.OnLButtonUp(30, 10), 1);
  ASSERT_EQ(g.GetSize(), 1);
  // 3 pixels exactly is too short; a little more is kept.
  g.OnLButtonDown(50, 50, false, false);
  EXPECT_EQ(g.OnLButtonUp(53, 50), 0);
  EXPECT_EQ(g.GetSize(), 1);
  EXPECT_EQ(g.GetCurrent(), 0);
  g.OnLButtonDown(50, 50, false, false);
  EXPECT_EQ(g.OnLButtonUp(53, 51), 1);
  EXPECT_EQ(g.GetSize(), 2);
  EXPECT_EQ(g.GetCurrent(), 1);
}

TEST(Graph2DLines, CtrlClicksAlternateWhereTwoLinesCross) {
  CGraph2D g;
  g.OnLButtonDown(0, 20, false, false);
  g.OnLButtonUp(40, 20);
  g.OnLButtonDown(20, 0, false, false);
  g.OnLButtonUp(20, 40);
  ASSERT_EQ(g.GetCurrent(), 1);
  std::vector<int> seen;
  for (int i = 0; i < 4; ++i) {
    g.OnLButtonDown(21, 19, false, true);
    seen.push_back(g.GetCurrent());
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 0, 1}));
  EXPECT_EQ(g.GetSize(), 2);  // Ctrl-clicks add nothing
  // A click far from both changes nothing; one on the first line alone picks it.
  g.OnLButtonDown(39, 39, false, true);
  EXPECT_EQ(g.GetCurrent(), 1);
  g.OnLButtonDown(35, 24, false, true);
  EXPECT_EQ(g.GetCurrent(), 0);
}

TEST(Graph2DLines, ShiftDragIsABandThroughTheMiddle) {
  CGraph2D g;
  g.OnLButtonDown(10, 10, true, false);
  ASSERT_EQ(g.OnLButtonUp(50, 20), 1);
  double x1, y1, x2, y2, w;
  g.GetLine(0).GetProfile(&x1, &y1, &x2, &y2, &w);
  EXPECT_EQ(x1, 10.0);
  EXPECT_EQ(y1, 15.0);
  EXPECT_EQ(x2, 50.0);
  EXPECT_EQ(y2, 15.0);
  EXPECT_EQ(w, 11.0);
  // The band is hit across its width and a little past its ends, not beyond.
  EXPECT_TRUE(g.GetLine(0).HitTest(30, 20.5));
  EXPECT_TRUE(g.GetLine(0).HitTest(52.5, 15));
  EXPECT_FALSE(g.GetLine(0).HitTest(30, 22));
  EXPECT_FALSE(g.GetLine(0).HitTest(54, 15));
  // With the dispersion direction turned the band runs down the rectangle's middle.
  g.SwapAxis();
  g.GetLine(0).GetProfile(&x1, &y1, &x2, &y2, &w);
  EXPECT_EQ(x1, 30.0);
  EXPECT_EQ(y1, 10.0);
  EXPECT_EQ(x2, 30.0);
  EXPECT_EQ(y2, 20.0);
  EXPECT_EQ(w, 41.0);
}

}  // namespace

// ---- point series (a light curve's magnitudes with their errors against time)

TEST(GraphPoints, RangeTakesTheErrorBarsAndWidensByFivePercent) {
  CCtrlGraph2DCore g;
  g.SetPoints({{60010.5, 1.0, 0.1}, {60010.0, 2.0, 0.5}, {60011.0, 1.5, 0.0}}, "MJD", "dmag", true);
  double x0, x1, y0, y1;
  ASSERT_TRUE(g.GetPointRange(&x0, &x1, &y0, &y1));
  // x 60010 … 60011 widened by 0.05; y from 0.9 (1.0 − 0.1) to 2.5 (2.0 + 0.5), by 0.08.
  EXPECT_DOUBLE_EQ(x0, 60009.95);
  EXPECT_DOUBLE_EQ(x1, 60011.05);
  EXPECT_NEAR(y0, 0.82, 1e-12);
  EXPECT_NEAR(y1, 2.58, 1e-12);
  EXPECT_NEAR(g.GetLength(), 1.1, 1e-9);
  double lo, hi;
  g.GetMinMax(&lo, &hi, 0, 0);
  EXPECT_NEAR(lo, 0.82, 1e-12);
  EXPECT_NEAR(hi, 2.58, 1e-12);
  EXPECT_TRUE(g.IsYDown());
  // Sorted by x for drawing and output.
  ASSERT_EQ(g.GetPoints().size(), 3u);
  EXPECT_EQ(g.GetPoints()[0].x, 60010.0);
  EXPECT_EQ(g.GetPoints()[2].x, 60011.0);
}

TEST(GraphPoints, NonFinitePointsAreDroppedAndBadErrorsBecomeZero) {
  CCtrlGraph2DCore g;
  g.SetPoints({{1.0, NAN, 0.1}, {INFINITY, 1.0, 0.1}, {2.0, 3.0, -1.0}, {3.0, 4.0, NAN}}, "t", "m",
              false);
  ASSERT_EQ(g.GetPoints().size(), 2u);
  EXPECT_EQ(g.GetPoints()[0].error, 0.0);
  EXPECT_EQ(g.GetPoints()[1].error, 0.0);
}

TEST(GraphPoints, SinglePointHasARangeAndClearingEndsThePointMode) {
  CCtrlGraph2DCore g;
  double x0, x1, y0, y1;
  EXPECT_FALSE(g.GetPointRange(&x0, &x1, &y0, &y1));
  g.SetPoints({{5.0, 7.0, 0.0}}, "t", "m", true);
  ASSERT_TRUE(g.GetPointRange(&x0, &x1, &y0, &y1));
  EXPECT_LT(x0, 5.0);
  EXPECT_GT(x1, 5.0);
  EXPECT_LT(y0, 7.0);
  EXPECT_GT(y1, 7.0);
  g.ClearPoints();
  EXPECT_FALSE(g.HasPoints());
  EXPECT_FALSE(g.IsYDown());
  EXPECT_EQ(g.GetLength(), 0.0);
}

TEST(GraphPoints, TextAndCsvHoldOneRowPerPoint) {
  TempDir dir;
  CCtrlGraph2DCore g;
  g.SetPoints({{60010.25, -0.0125, 0.002}, {60010.5, 0.01, 0.003}}, "MJD", "dmag", true);
  const std::string csv = dir.File("curve.CSV");
  ASSERT_TRUE(g.OutputText(csv));
  std::ifstream in(csv);
  std::string head, r1, r2, extra;
  std::getline(in, head);
  std::getline(in, r1);
  std::getline(in, r2);
  EXPECT_FALSE(static_cast<bool>(std::getline(in, extra)));
  EXPECT_EQ(head, "\"MJD\",\"dmag\",\"error\"");
  EXPECT_EQ(r1, "60010.25000000,-0.012500,0.002000");
  EXPECT_EQ(r2, "60010.50000000,0.010000,0.003000");
  const std::string text = g.FormatText(false);
  EXPECT_EQ(text.rfind("# MJD  dmag  error\n", 0), 0u);
  EXPECT_NE(text.find("    60010.25000000    -0.012500   0.002000\n"), std::string::npos);
  // No points, no line: nothing to write.
  CCtrlGraph2DCore empty;
  EXPECT_FALSE(empty.OutputText(dir.File("none.csv")));
}
