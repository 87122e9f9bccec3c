// The one-pass calibration against the separate steps it replaces: on random float
// images (odd widths, runs of rows longer than one pin, NaN and infinite pixels, flats
// with zero and negative pixels, frames with fewer planes than the image) every pixel
// must be the same float, bit for bit, on one thread and on two, for each choice of
// frames. It must also refuse, untouched, what it does not handle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"

namespace {

// Values of a wide spread with fractions, so that rounding each step to float changes
// the last bits: a level near `level`, noise, and now and then a value far off.
CRalImage RandomFloats(int width, int height, int planes, double level, double spread,
                       std::uint32_t seed, bool specials) {
  CRalImage image(width, height, -32, planes, 1.0, 0.0, 1);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> row(static_cast<std::size_t>(width));
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < height; ++y) {
      for (double& v : row) {
        v = level + spread * u(rng);
        const std::uint32_t pick = rng() % 200;
        if (specials && pick == 0) v = std::numeric_limits<double>::quiet_NaN();
        if (specials && pick == 1) v = std::numeric_limits<double>::infinity();
        if (pick == 2) v *= 1e6;
        if (pick == 3) v = 1e-3 * u(rng);
      }
      EXPECT_TRUE(image.SetPhysicalRow(y, p, row.data()));
    }
  return image;
}

// A flat: positive around its level, with zero and negative pixels here and there.
CRalImage RandomFlat(int width, int height, int planes, std::uint32_t seed) {
  CRalImage flat = RandomFloats(width, height, planes, 20000.0, 9000.0, seed, true);
  std::vector<double> row(static_cast<std::size_t>(width));
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < height; y += 7) {
      EXPECT_TRUE(flat.GetPhysicalRow(y, p, row.data()));
      row[static_cast<std::size_t>(y) % row.size()] = 0.0;
      row[static_cast<std::size_t>(y * 3) % row.size()] = -5.5;
      EXPECT_TRUE(flat.SetPhysicalRow(y, p, row.data()));
    }
  return flat;
}

std::vector<float> Pixels(const CRalImage& image) {
  std::vector<float> out;
  std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < image.GetHeight(); ++y) {
      EXPECT_TRUE(image.GetPhysicalRow(y, p, row.data()));
      for (double v : row) out.push_back(static_cast<float>(v));
    }
  return out;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class CalibrateOnePassTest : public ::testing::Test {
 protected:
  void SetUp() override { threads_ = rowpool::GetThreads(); }
  void TearDown() override { rowpool::SetThreads(threads_); }
  int threads_ = 1;
};

TEST_F(CalibrateOnePassTest, EqualsTheSeparateStepsBitForBit) {
  struct Shape {
    int width, height, planes, framePlanes;
  };
  // Heights past 256 rows take several pinned runs; 1 × 1 and one row are the edges.
  const Shape shapes[] = {
      {257, 531, 1, 1}, {33, 300, 3, 3}, {61, 270, 3, 1}, {1, 1, 1, 1}, {999, 1, 2, 2}};
  std::uint32_t seed = 1;
  int roundingMattered = 0;
  for (const Shape& s : shapes) {
    const CRalImage bias =
        RandomFloats(s.width, s.height, s.framePlanes, 300.0, 20.0, seed++, true);
    const CRalImage dark = RandomFloats(s.width, s.height, s.framePlanes, 55.3, 30.0, seed++, true);
    const CRalImage flat = RandomFlat(s.width, s.height, s.framePlanes, seed++);
    std::vector<double> means;
    ASSERT_EQ(CRalImage::GetFlatMeans(flat, &means), 1);
    for (int pick = 1; pick < 8; ++pick) {
      const bool useBias = pick & 4, useDark = pick & 2, useFlat = pick & 1;
      const CRalImage target =
          RandomFloats(s.width, s.height, s.planes, 12345.678, 9000.0, seed++, true);
      // The separate steps, one thread.
      rowpool::SetThreads(1);
      CRalImage want(target);
      if (useBias) {
        ASSERT_EQ(want.DarkClbrtn(bias, 0), 1);
      }
      if (useDark) {
        ASSERT_EQ(want.DarkClbrtn(dark, 0), 1);
      }
      if (useFlat) {
        ASSERT_EQ(want.FlatClbrtn(flat, means, 0), 1);
      }
      const std::vector<float> wanted = Pixels(want);
      for (int threads : {1, 2}) {
        rowpool::SetThreads(threads);
        CRalImage got(target);
        ASSERT_EQ(got.CalibrateInOnePass(useBias ? &bias : nullptr, useDark ? &dark : nullptr,
                                         useFlat ? &flat : nullptr, useFlat ? &means : nullptr, 0),
                  1);
        EXPECT_TRUE(SameBits(Pixels(got), wanted))
            << s.width << " x " << s.height << " x " << s.planes << ", frames " << pick
            << ", threads " << threads;
      }
      // The data must be such that leaving out the rounding between steps shows: the
      // same arithmetic all in doubles differs somewhere when two steps are chained.
      if (useBias && useDark) {
        std::vector<double> t(static_cast<std::size_t>(s.width)), b(t.size()), d(t.size()),
            f(t.size());
        for (int y = 0; y < s.height; ++y) {
          ASSERT_TRUE(target.GetPhysicalRow(y, 0, t.data()));
          ASSERT_TRUE(bias.GetPhysicalRow(y, 0, b.data()));
          ASSERT_TRUE(dark.GetPhysicalRow(y, 0, d.data()));
          ASSERT_TRUE(flat.GetPhysicalRow(y, 0, f.data()));
          for (std::size_t x = 0; x < t.size(); ++x) {
            double v = t[x] - b[x] - d[x];
            if (useFlat && f[x] > 0) v = v * means[0] / f[x];
            const float plain = static_cast<float>(v);
            const float rounded = wanted[static_cast<std::size_t>(y) * t.size() + x];
            if (plain == plain && std::memcmp(&plain, &rounded, sizeof(float)) != 0)
              ++roundingMattered;
          }
        }
      }
    }
  }
  EXPECT_GT(roundingMattered, 0) << "the data never needed the rounding between steps";
}

TEST_F(CalibrateOnePassTest, RefusesWhatItDoesNotHandleAndLeavesTheImageAsItWas) {
  const CRalImage bias = RandomFloats(40, 30, 1, 300.0, 20.0, 7, false);
  const CRalImage dark = RandomFloats(40, 30, 1, 50.0, 20.0, 8, false);
  std::vector<double> means;
  ASSERT_EQ(CRalImage::GetFlatMeans(bias, &means), 1);
  CRalImage target = RandomFloats(40, 30, 1, 1000.0, 500.0, 9, false);
  const std::vector<float> before = Pixels(target);

  // Another size, a scaled float frame, an integer target, the image itself as a frame,
  // a flat without one mean per plane.
  const CRalImage small = RandomFloats(40, 29, 1, 300.0, 20.0, 10, false);
  EXPECT_EQ(target.CalibrateInOnePass(&bias, &small, nullptr, nullptr, 0), -1);
  CRalImage scaled(40, 30, -32, 1, 2.0, 0.0, 1);
  EXPECT_EQ(target.CalibrateInOnePass(&bias, &scaled, nullptr, nullptr, 0), -1);
  EXPECT_EQ(target.CalibrateInOnePass(&bias, &target, nullptr, nullptr, 0), -1);
  EXPECT_EQ(target.CalibrateInOnePass(&bias, &dark, &bias, nullptr, 0), -1);
  std::vector<double> twoMeans = {1.0, 2.0};
  EXPECT_EQ(target.CalibrateInOnePass(&bias, &dark, &bias, &twoMeans, 0), -1);
  EXPECT_TRUE(SameBits(Pixels(target), before));

  CRalImage integer(40, 30, 16, 1, 1.0, 32768.0, 1);
  EXPECT_EQ(integer.CalibrateInOnePass(&bias, &dark, nullptr, nullptr, 0), -1);
  CRalImage empty;
  EXPECT_EQ(empty.CalibrateInOnePass(&bias, &dark, nullptr, nullptr, 0), -1);
}

}  // namespace
