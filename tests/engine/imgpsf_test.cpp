// The stellar profile fit, the centres of gravity and the rectangle statistics. The
// profile width is checked against the truth of synthetic stars and against astropy's
// Gaussian fit of the same cutouts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "engine/imgpixelinfo.h"
#include "engine/imgpsf.h"
#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSize = 64;

// A 64 × 64 float image: sky 100 with Gaussian noise of the given deviation and one
// Gaussian star sampled at pixel centres.
CRalImage StarImage(double sigma, double cx, double cy, double amp, double noise, unsigned seed) {
  CRalImage image(kSize, kSize, -32, 1, 1.0, 0.0, 1);
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<double> row(kSize);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      row[static_cast<std::size_t>(x)] =
          100.0 + amp * std::exp(-r2 / (2 * sigma * sigma)) + noise * gauss(rng);
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

TEST(PsfTest, GaussianWidthMatchesTruthAndAstropy) {
  TempDir dir;
  std::ofstream list(dir.File("cases.txt"));
  std::map<std::string, double> ours;
  int n = 0;
  for (double sigma = 1.0; sigma <= 4.0 + 1e-9; sigma += 0.5, ++n) {
    const double cx = 31.3 + 0.1 * n, cy = 32.6 - 0.07 * n;
    CRalImage image = StarImage(sigma, cx, cy, 1500.0, 4.0, 11u + static_cast<unsigned>(n));
    PSF psf(&image);
    ASSERT_TRUE(psf.Add(POINT{32, 32})) << sigma;
    double got = 0.0;
    ASSERT_TRUE(psf.GetMeanPSF(&got));
    EXPECT_NEAR(got, sigma, 0.03 * sigma) << "sigma " << sigma;
    EXPECT_NEAR(psf.GetLastX(), cx, 0.1);
    EXPECT_NEAR(psf.GetLastY(), cy, 0.1);
    const std::string name = "s" + std::to_string(n);
    ours[name] = got;
    // The cutout astropy fits: 41 × 41 pixels round the star.
    std::ofstream raw(dir.File(name + ".raw"), std::ios::binary);
    for (int y = 12; y < 53; ++y)
      for (int x = 11; x < 52; ++x) {
        const double v = image.GetPixel(x, y);
        raw.write(reinterpret_cast<const char*>(&v), sizeof v);
      }
    list << name << " 41 41 " << dir.File(name + ".raw") << "\n";
  }
  list.close();
  const std::string command = "/usr/bin/python3 " PSF_FIT_SCRIPT " " + dir.File("cases.txt") +
                              " > " + dir.File("out.txt") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFileOrEmpty(dir.File("out.txt"));
  std::istringstream out(ReadFileOrEmpty(dir.File("out.txt")));
  int compared = 0;
  std::string name;
  double theirs = 0.0;
  while (out >> name >> theirs) {
    ASSERT_TRUE(ours.count(name)) << name;
    EXPECT_NEAR(ours[name], theirs, 0.03 * theirs) << name;
    ++compared;
  }
  EXPECT_EQ(compared, static_cast<int>(ours.size()));
}

TEST(PsfTest, MedianAndMeanOverStars) {
  CRalImage image(kSize, kSize, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kSize);
  const double stars[3][3] = {{12, 12, 1.5}, {50, 14, 2.0}, {30, 48, 3.5}};
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      double v = 10.0;
      for (const auto& s : stars)
        v += 800.0 *
             std::exp(-((x - s[0]) * (x - s[0]) + (y - s[1]) * (y - s[1])) / (2 * s[2] * s[2]));
      row[static_cast<std::size_t>(x)] = v;
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  PSF psf(&image);
  for (const auto& s : stars)
    ASSERT_TRUE(psf.Add(POINT{static_cast<int>(s[0]) + 1, static_cast<int>(s[1])}));
  double mean = 0.0, median = 0.0;
  ASSERT_TRUE(psf.GetMeanPSF(&mean));
  ASSERT_TRUE(psf.GetMedianPSF(&median));
  EXPECT_NEAR(median, 2.0, 0.02);
  EXPECT_NEAR(mean, (1.5 + 2.0 + 3.5) / 3, 0.03);
}

// What is not a star is refused, and a PSF without stars has no width.
struct Refusal {
  const char* name;
  double cx, cy, amp;
  bool saturate;
  POINT click;
};

class PsfRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(PsfRefusalTest, GivesZero) {
  const Refusal& c = GetParam();
  CRalImage image = StarImage(2.0, c.cx, c.cy, c.amp, 2.0, 5u);
  if (c.saturate) {
    std::vector<double> row(kSize);
    for (int y = 0; y < kSize; ++y) {
      image.GetPhysicalRow(y, 0, row.data());
      for (double& v : row) v = std::min(v, 900.0);
      image.SetPhysicalRow(y, 0, row.data());
    }
  }
  PSF psf(&image);
  EXPECT_EQ(psf.Add(c.click), 0);
  double sigma = -1.0;
  EXPECT_EQ(psf.GetMeanPSF(&sigma), 0);
  EXPECT_EQ(psf.GetMedianPSF(&sigma), 0);
  EXPECT_EQ(sigma, -1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PsfRefusalTest,
    ::testing::Values(Refusal{"flat", 30, 30, 0.0, false, POINT{30, 30}},
                      Refusal{"saturated", 30.2, 30.4, 5000.0, true, POINT{30, 30}},
                      Refusal{"edge", 1.0, 30.0, 1500.0, false, POINT{1, 30}},
                      Refusal{"outside", 30, 30, 1500.0, false, POINT{-3, 30}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CentroidTest, StarAndFlatAndCircle) {
  CRalImage image = StarImage(1.5, 20.3, 40.7, 1000.0, 0.0, 1u);
  double x = 0, y = 0;
  const RECT box{14, 34, 27, 47};
  ASSERT_EQ(image.GetCenterOfGravity(x, y, &box), 1);
  EXPECT_NEAR(x, 20.3, 0.05);
  EXPECT_NEAR(y, 40.7, 0.05);
  // A circular mask of half widths round the area's middle pixel (20, 40).
  const std::vector<int> table{4, 4, 3, 3, 1};
  ASSERT_EQ(image.GetCenterOfGravityCircle(x, y, &box, &table), 1);
  EXPECT_NEAR(x, 20.3, 0.1);
  EXPECT_NEAR(y, 40.7, 0.1);
  CRalImage flat = StarImage(1.0, 0, 0, 0.0, 0.0, 1u);
  const RECT part{3, 5, 9, 8};
  ASSERT_EQ(flat.GetCenterOfGravity(x, y, &part), 1);
  EXPECT_DOUBLE_EQ(x, 5.5);
  EXPECT_DOUBLE_EQ(y, 6.0);
  const RECT off{100, 100, 110, 110};
  x = y = -7;
  EXPECT_EQ(flat.GetCenterOfGravity(x, y, &off), 0);
  EXPECT_EQ(x, -7);
}

TEST(PixelInfoTest, PlaneMeansAndLuminanceSkipBlanks) {
  CRalImage rgb(3, 2, -32, 3, 1.0, 0.0, 1);
  const double planes[3][6] = {{1, 2, 3, 4, 5, NAN}, {10, 20, 30, 40, 50, 60}, {0, 0, 0, 0, 0, 6}};
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < 2; ++y) rgb.SetPhysicalRow(y, p, &planes[p][y * 3]);
  double m0, m1, m2, lum;
  EXPECT_EQ(CImgPixelInfo(rgb).Calc(RECT{0, 0, 3, 2}, &m0, &m1, &m2, &lum), 5);
  EXPECT_DOUBLE_EQ(m0, 3.0);
  EXPECT_DOUBLE_EQ(m1, 35.0);
  EXPECT_DOUBLE_EQ(m2, 1.0);
  EXPECT_NEAR(lum, 0.299 * 3.0 + 0.587 * 30.0, 1e-12);
  EXPECT_EQ(CImgPixelInfo(rgb).Calc(RECT{5, 5, 9, 9}, &m0, nullptr, nullptr, &lum), 0);
  EXPECT_EQ(m0, 0.0);
}

}  // namespace
