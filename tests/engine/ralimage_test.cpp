#include "engine/ralimage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

void SetRow(CImage& img, int y, int plane, std::vector<double> values) {
  ASSERT_EQ(img.SetPhysicalRow(y, plane, values.data()), 1);
}

std::vector<double> Row(const CImage& img, int y, int plane) {
  std::vector<double> v(static_cast<size_t>(img.GetWidth()));
  EXPECT_EQ(img.GetPhysicalRow(y, plane, v.data()), 1);
  return v;
}

class RalImageTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

}  // namespace

TEST_F(RalImageTest, PhysicalRowsRoundAndClampIntegerTypes) {
  CRalImage img(4, 1, 16, 1, 2.0, 100.0, 1);  // width first
  EXPECT_EQ(img.GetWidth(), 4);
  EXPECT_EQ(img.GetBitsPixel(), 16);
  SetRow(img, 0, 0, {100.0, 103.1, -1e9, 1e9});
  EXPECT_EQ(Row(img, 0, 0),
            (std::vector<double>{100.0, 104.0, -32768 * 2.0 + 100, 32767 * 2.0 + 100}));
  std::vector<double> out(4);
  EXPECT_EQ(img.GetPhysicalRow(1, 0, out.data()), 0);  // no such row
}

TEST_F(RalImageTest, DarkSubtractsPlaneByPlaneAndReportsProgress) {
  CRalImage img(3, 2, -32, 3, 1, 0, 1);
  CRalImage dark(3, 2, -32, 1, 1, 0, 1);
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < 2; ++y) SetRow(img, y, p, {10.0 * (p + 1), 20, 30});
  for (int y = 0; y < 2; ++y) SetRow(dark, y, 0, {1, 2, 3});
  RecordingProgress progress;
  img.SetProgressSink(&progress);
  ASSERT_EQ(img.DarkClbrtn(dark, 1), 1);
  // A one-plane dark serves every plane.
  EXPECT_EQ(Row(img, 1, 0), (std::vector<double>{9, 18, 27}));
  EXPECT_EQ(Row(img, 0, 2), (std::vector<double>{29, 18, 27}));
  ASSERT_FALSE(progress.events.empty());
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);

  progress.events.clear();
  ASSERT_EQ(img.DarkClbrtn(dark, 0), 1);
  EXPECT_TRUE(progress.events.empty());  // no progress asked for

  CRalImage wrong(4, 2, -32, 1, 1, 0, 1);
  EXPECT_EQ(img.DarkClbrtn(wrong, 0), 0);
  EXPECT_EQ(Row(img, 1, 0), (std::vector<double>{8, 16, 24}));  // unchanged by the refusal
  CRalImage empty;
  EXPECT_EQ(img.DarkClbrtn(empty, 0), 0);
}

TEST_F(RalImageTest, FlatDividesByTheNormalisedFlatAndSkipsDeadPixels) {
  CRalImage img(4, 1, -32, 1, 1, 0, 1);
  CRalImage flat(4, 1, -32, 1, 1, 0, 1);
  SetRow(img, 0, 0, {100, 100, 100, 100});
  SetRow(flat, 0, 0, {2, 1, 1, 0});  // mean 1.0
  ASSERT_EQ(img.FlatClbrtn(flat, 0), 1);
  EXPECT_EQ(Row(img, 0, 0), (std::vector<double>{50, 100, 100, 100}));
}

TEST_F(RalImageTest, AveragesRangesAndAxisValues) {
  CRalImage img(3, 1, 16, 2, 1, 0, 1);
  SetRow(img, 0, 0, {1, 2, -999});
  SetRow(img, 0, 1, {5, 5, 5});
  EXPECT_DOUBLE_EQ(img.GetAvrGrayRaw(0), -332.0);
  img.SetBlankUsed(1);
  img.SetBlank(-999);
  EXPECT_DOUBLE_EQ(img.GetAvrGrayRaw(0), 1.5);
  EXPECT_EQ(img.GetAvrGrayRaw(5), 0.0);
  ASSERT_EQ(img.CalcMinMax(), 1);
  EXPECT_EQ(img.GetDataMin(0), 1.0);
  EXPECT_EQ(img.GetDataMax(0), 2.0);
  EXPECT_EQ(img.GetDataMax(1), 5.0);

  EXPECT_EQ(img.GetPhysicalValue(4, 7), 5.0);  // no display axis: the 1-based position
  img.SetDispAxis(1);
  img.SetCRPix(0, 1.0);
  img.SetCRVal(0, 4000.0);
  img.SetCDelt(0, 2.0);
  EXPECT_EQ(img.GetPhysicalValue(0, 3), 4000.0);
  EXPECT_EQ(img.GetPhysicalValue(9, 3), 4018.0);
  img.SetDispAxis(2);
  img.SetCRVal(1, 10.0);
  EXPECT_EQ(img.GetPhysicalValue(9, 3), 13.0);  // CDELT and CRPIX default to 1
}

TEST_F(RalImageTest, InitForgetsEverything) {
  CRalImage img(3, 3, 16, 1, 2, 5, 1);
  img.SetAuthor("me");
  img.SetCRVal(0, 1);
  img.SetLatPole(3);
  img.SetSITypeRGB(1);
  img.m_FitsHeader.Add("OBJECT  = 'X'");
  CFitsExtension ext;
  ext.SetData({1});
  img.m_FitsExtensions.push_back(ext);
  img.Init();
  EXPECT_TRUE(img.IsEmpty());
  EXPECT_EQ(img.GetWidth(), 0);
  EXPECT_EQ(img.GetBscale(), 1.0);
  EXPECT_EQ(img.GetAuthor(nullptr), 0);
  EXPECT_FALSE(img.GetCRVal(0, nullptr));
  EXPECT_FALSE(img.IsLatPole());
  EXPECT_EQ(img.IsSITypeRGB(), 0);
  EXPECT_EQ(img.m_FitsHeader.GetCount(), 0);
  EXPECT_TRUE(img.m_FitsExtensions.empty());
  EXPECT_EQ(img.GetDimension(), -1);
}

TEST_F(RalImageTest, CopiesReportSuccessAndSwapExchangesRanges) {
  CRalImage a(2, 2, -32, 1, 1, 0, 1);
  SetRow(a, 0, 0, {1, 2});
  SetRow(a, 1, 0, {3, 4});
  ASSERT_EQ(a.CalcMinMax(), 1);
  CRalImage b;
  EXPECT_EQ(b.CopyImage(a), 1);
  EXPECT_EQ(Row(b, 1, 0), (std::vector<double>{3, 4}));
  CRalImage c;
  EXPECT_EQ(c.Create(a), 1);
  EXPECT_EQ(c.GetWidth(), 2);
  CRalImage d;
  d.Swap(a);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(d.GetDataMax(0), 4.0);
  CRalImage e = d;
  EXPECT_EQ(Row(e, 0, 0), (std::vector<double>{1, 2}));
}

// The plane means of a frame (its level and a flat's norm), shared among threads, against
// the sum of a loop over the rows in order: whole-number frames (summed in parts) and
// frames of fractions, huge values, blanks and infinities (summed in order), of several
// planes and more rows than one run of pinned rows.
TEST_F(RalImageTest, PlaneMeansEqualTheSumOfTheRowsInOrder) {
  auto loopMean = [](const CImage& img, int plane, bool finiteOnly) {
    double sum = 0;
    std::int64_t count = 0;
    for (int y = 0; y < img.GetHeight(); ++y)
      for (double v : Row(img, y, plane))
        if (finiteOnly ? std::isfinite(v) : v == v) {
          sum += v;
          ++count;
        }
    return count ? sum / static_cast<double>(count) : 0.0;
  };
  struct Case {
    const char* what;
    int bits;
    double (*value)(int x, int y, int p);
  };
  const Case cases[] = {
      {"whole numbers", 16,
       [](int x, int y, int p) { return (x * 7919.0 + y * 104729.0 + p) - 30000.0; }},
      {"fractions", -64, [](int x, int y, int p) { return 0.1 * x + 1e-3 * y + p / 3.0; }},
      {"whole numbers beyond 2^53 together", -64,
       [](int x, int y, int p) { return 9.0e14 + x + y + p; }},
      {"blanks and infinities", -32,
       [](int x, int y, int p) {
         return (x + y) % 97 == 0 ? NAN : (x * y + p) % 131 == 0 ? INFINITY : double(x - y);
       }},
  };
  for (const Case& c : cases) {
    CRalImage img(301, 203, c.bits, 2, 1, 0, 1);
    std::vector<double> row(301);
    for (int p = 0; p < 2; ++p)
      for (int y = 0; y < 203; ++y) {
        for (int x = 0; x < 301; ++x) row[static_cast<std::size_t>(x)] = c.value(x, y, p);
        SetRow(img, y, p, row);
      }
    std::vector<double> flat;
    ASSERT_EQ(CRalImage::GetFlatMeans(img, &flat), 1) << c.what;
    for (int p = 0; p < 2; ++p) {
      EXPECT_EQ(img.GetAvrGrayRaw(p), loopMean(img, p, false)) << c.what << ", plane " << p;
      EXPECT_EQ(flat[static_cast<std::size_t>(p)], loopMean(img, p, true))
          << c.what << ", plane " << p;
    }
  }
}
