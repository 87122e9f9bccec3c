#include "engine/autolevel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"
#include "tests/support/pager_budget.h"
#include "tests/support/temp_dir.h"

namespace {

class AutoLevelTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

// Sky of mean `sky` with Gaussian noise `sigma`, plus a few saturated stars; every value
// times `scale`.
void StarField(CImage& img, int plane, double sky, double sigma, unsigned seed,
               double scale = 1.0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(sky, sigma);
  std::vector<double> row(static_cast<size_t>(img.GetWidth()));
  for (int y = 0; y < img.GetHeight(); ++y) {
    for (int x = 0; x < img.GetWidth(); ++x) {
      row[x] = noise(rng);
      if ((x % 97 == 3 && y % 89 == 5)) row[x] = 60000;  // stars and hot pixels
      row[x] *= scale;
    }
    ASSERT_EQ(img.SetPhysicalRow(y, plane, row.data()), 1);
  }
}

}  // namespace

TEST_F(AutoLevelTest, LevelsFollowBackgroundAndNoiseNotTheStars) {
  CRalImage img(600, 500, -32, 1, 1, 0, 1);
  StarField(img, 0, 1000.0, 10.0, 1);
  // 3 sigma below: inside the data, whose lowest sample lies about 4.5 sigma down.
  ASSERT_EQ(CImgAutoLevel::Do(img, 3.0, 30.0, 0), 1);
  // Expected from the field's own parameters: 1000 − 3 × 10 and 1000 + 30 × 10.
  EXPECT_NEAR(img.GetLevelMin(0), 970.0, 3.0);
  EXPECT_NEAR(img.GetLevelMax(0), 1300.0, 12.0);
}

// Flux-calibrated frames (1e-18 and below) and huge sums get the levels of the same
// frame in counts, scaled: nothing in the estimate depends on the unit of the pixels.
TEST_F(AutoLevelTest, LevelsScaleWithTheData) {
  CRalImage counts(300, 200, -64, 1, 1, 0, 1);
  StarField(counts, 0, 1000.0, 10.0, 8);
  ASSERT_EQ(CImgAutoLevel::Do(counts, 6.0, 30.0, 0), 1);
  const double low = counts.GetLevelMin(0), high = counts.GetLevelMax(0);
  ASSERT_GT(high - low, 100.0);
  for (double scale : {1e-18, 1e-19 / 3, 1e-30, 1e18, 1e20, 1e30}) {
    CRalImage img(300, 200, -64, 1, 1, 0, 1);
    StarField(img, 0, 1000.0, 10.0, 8, scale);
    ASSERT_EQ(CImgAutoLevel::Do(img, 6.0, 30.0, 0), 1);
    EXPECT_NEAR(img.GetLevelMin(0) / scale, low, 1e-9 * (high - low)) << scale;
    EXPECT_NEAR(img.GetLevelMax(0) / scale, high, 1e-9 * (high - low)) << scale;
  }
}

TEST_F(AutoLevelTest, LargeFramesAreSampledToTheSameAnswer) {
  CRalImage img(2000, 1500, -32, 1, 1, 0, 1);  // 3 million pixels, sampled
  StarField(img, 0, 500.0, 4.0, 2);
  ASSERT_EQ(CImgAutoLevel::Do(img, 3.0, 30.0, 0), 1);
  EXPECT_NEAR(img.GetLevelMin(0), 488.0, 1.0);
  EXPECT_NEAR(img.GetLevelMax(0), 620.0, 6.0);
}

TEST_F(AutoLevelTest, LevelsStayInsideTheDataRange) {
  CRalImage img(100, 100, -32, 1, 1, 0, 1);
  StarField(img, 0, 1000.0, 10.0, 3);
  double lo, hi;
  ASSERT_EQ(img.GetMinMax(0, &lo, &hi), 1);
  ASSERT_EQ(CImgAutoLevel::Do(img, 1e6, 1e6, 0), 1);
  EXPECT_EQ(img.GetLevelMin(0), lo);
  EXPECT_EQ(img.GetLevelMax(0), hi);
}

TEST_F(AutoLevelTest, FlatAndQuantisedFrames) {
  CRalImage flat(50, 50, 16, 1, 1, 0, 1);
  std::vector<double> fives(50, 5.0);
  for (int y = 0; y < 50; ++y) flat.SetPhysicalRow(y, 0, fives.data());
  ASSERT_EQ(CImgAutoLevel::Do(flat, 6.0, 30.0, 0), 1);
  EXPECT_EQ(flat.GetLevelMin(0), 5.0);
  EXPECT_EQ(flat.GetLevelMax(0), 6.0);

  // More than half the pixels equal: the MAD is 0, clipping gives the spread.
  CRalImage quant(100, 100, 16, 1, 1, 0, 1);
  std::vector<double> row(100);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 100; ++x) row[x] = (x + y) % 3 == 0 ? 10.0 : 0.0;
    quant.SetPhysicalRow(y, 0, row.data());
  }
  ASSERT_EQ(CImgAutoLevel::Do(quant, 1.0, 1.0, 0), 1);
  EXPECT_EQ(quant.GetLevelMin(0), 0.0);
  EXPECT_GT(quant.GetLevelMax(0), 0.0);
  EXPECT_LE(quant.GetLevelMax(0), 10.0);
}

TEST_F(AutoLevelTest, ColourByLuminanceOrPlaneByPlane) {
  CRalImage img(300, 300, -32, 3, 1, 0, 1);
  StarField(img, 0, 100.0, 2.0, 4);
  StarField(img, 1, 200.0, 2.0, 5);
  StarField(img, 2, 300.0, 2.0, 6);
  ASSERT_EQ(CImgAutoLevel::Do(img, 3.0, 30.0, 1), 1);
  EXPECT_NEAR(img.GetLevelMin(0), 94.0, 0.5);
  EXPECT_NEAR(img.GetLevelMin(2), 294.0, 0.5);
  EXPECT_NEAR(img.GetLevelMax(1), 260.0, 2.0);

  ASSERT_EQ(CImgAutoLevel::Do(img, 3.0, 30.0, 0), 1);
  const double lum = 0.299 * 100 + 0.587 * 200 + 0.114 * 300;
  for (int p = 0; p < 3; ++p) {
    EXPECT_EQ(img.GetLevelMin(p), img.GetLevelMin(0));
    EXPECT_EQ(img.GetLevelMax(p), img.GetLevelMax(0));
  }
  // The planes' noise is independent, so the luminance noise adds in quadrature.
  const double lumSigma = 2.0 * std::sqrt(0.299 * 0.299 + 0.587 * 0.587 + 0.114 * 0.114);
  EXPECT_NEAR(img.GetLevelMin(0), lum - 3 * lumSigma, 0.5);
}

TEST_F(AutoLevelTest, RectangleLimitsTheMeasuredAreaAndBlanksAreIgnored) {
  CRalImage img(200, 100, -32, 1, 1, 0, 1);
  std::vector<double> row(200);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) row[x] = x < 100 ? 100.0 + (x + y) % 7 : 5000.0 + (x * y) % 11;
    img.SetPhysicalRow(y, 0, row.data());
  }
  RECT left{0, 0, 100, 100};
  ASSERT_EQ(CImgAutoLevel::Do(img, 1.0, 1.0, 0, &left), 1);
  EXPECT_LT(img.GetLevelMax(0), 200.0);
  RECT outside{300, 0, 400, 100};
  EXPECT_EQ(CImgAutoLevel::Do(img, 1.0, 1.0, 0, &outside), 0);

  CRalImage blanks(10, 10, 16, 1, 1, 0, 1);
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 10; ++x) row[x] = x < 8 ? -32768 : 50 + x;
    blanks.SetPhysicalRow(y, 0, row.data());
  }
  blanks.SetBlankUsed(1);
  blanks.SetBlank(-32768);
  ASSERT_EQ(CImgAutoLevel::Do(blanks, 100.0, 100.0, 0), 1);
  EXPECT_EQ(blanks.GetLevelMin(0), 58.0);
  EXPECT_EQ(blanks.GetLevelMax(0), 59.0);

  CRalImage empty;
  EXPECT_EQ(CImgAutoLevel::Do(empty, 6, 30, 0), 0);
}

// Planes sampled from pinned rows on two threads give the levels of one thread's pass
// along the rows, bit for bit: float and 16-bit planes with blanks, a frame sampled every
// few rows and columns, a rectangle, each plane by itself, and the frame paged out.
TEST(AutoLevelThreads, TwoThreadsGiveTheLevelsOfOne) {
  ScopedConfigHome home;
  const int threads = rowpool::GetThreads();
  for (const int budgetMB : {256, 1}) {
    SetPagerBudget(budgetMB);
    CRalImage floats(1300, 1100, -32, 2, 1, 0, 1), shorts(900, 700, 16, 1, 1, 32768, 1);
    StarField(floats, 0, 1000.5, 20.0, 7);
    StarField(floats, 1, 300.25, 4.0, 8);
    StarField(shorts, 0, 1200.0, 15.0, 9);
    std::vector<double> row(1300);
    for (int y = 0; y < 1100; y += 3) {  // gaps
      floats.GetPhysicalRow(y, 0, row.data());
      for (int x = y % 5; x < 1300; x += 11) row[x] = std::nan("");
      floats.SetPhysicalRow(y, 0, row.data());
    }
    shorts.SetBlankUsed(1);
    shorts.SetBlank(-32768);
    const RECT part{37, 120, 1001, 977};
    for (const RECT* rect : {static_cast<const RECT*>(nullptr), &part})
      for (CRalImage* image : {&floats, &shorts}) {
        std::vector<double> levels[2];
        for (int t : {1, 2}) {
          rowpool::SetThreads(t);
          ASSERT_EQ(CImgAutoLevel::Do(*image, 3.0, 30.0, 1, rect), 1);
          for (int p = 0; p < image->GetPlanes(); ++p) {
            levels[t - 1].push_back(image->GetLevelMin(p));
            levels[t - 1].push_back(image->GetLevelMax(p));
          }
        }
        EXPECT_EQ(levels[0], levels[1]) << image->GetWidth() << " budget " << budgetMB;
      }
  }
  rowpool::SetThreads(threads);
}

// The median the levels come from, against a full sort: sample sets of whole numbers
// (counted), of halves (the deviations from a median between two samples), of other
// values and of spans too wide to count (sorted), odd and even in size.
TEST(AutoLevelMedian, EqualsTheMiddleOfTheSortedSamples) {
  std::mt19937 gen(41);
  auto check = [](std::vector<double> v, const char* what) {
    std::vector<double> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double want = n % 2 ? sorted[n / 2] : (sorted[n / 2] + sorted[n / 2 - 1]) / 2.0;
    const double got = autolevel::SampleMedian(v);
    EXPECT_EQ(got, want) << what << ", " << n << " samples";
  };
  for (std::size_t n : {1u, 2u, 4095u, 4096u, 4097u, 168000u, 168001u}) {
    std::uniform_int_distribution<int> adu(0, 65535), small(-3, 3), wide(-(1 << 23), 1 << 23);
    std::normal_distribution<double> noise(1000.0, 30.0);
    std::vector<double> whole(n), halves(n), real(n), few(n), spread(n), zeros(n);
    for (std::size_t i = 0; i < n; ++i) {
      whole[i] = adu(gen) - 32768.0;
      halves[i] = std::fabs(whole[i] - 0.5);
      real[i] = noise(gen);
      few[i] = small(gen);
      spread[i] = wide(gen);
      zeros[i] = i % 3 ? 0.0 : -0.0;
    }
    check(whole, "whole numbers");
    check(halves, "halves");
    check(real, "real values");
    check(few, "a few values repeated");
    check(spread, "a span too wide to count");
    check(zeros, "zeros of both signs");
  }
}
