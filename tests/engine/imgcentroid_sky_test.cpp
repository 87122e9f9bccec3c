// The centre of gravity above a frame's sky, by which stacking aligns frames: on a star
// field it is the stars' centre where the plain centre of gravity stays near the middle;
// a frame larger than the sample, read through a pager that swaps, gives the same; a
// frame with nothing above its sky gives none.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine/imgcentroid.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

struct Star {
  double x, y;
};

// A 16-bit frame (BZERO 32768) of sky 1000 with Gaussian noise of 15 and identical
// Gaussian stars (σ 1.8 px); every 97th pixel of the sky is blank (BLANK
// 0, which read as a value would be 32768 and outweigh every star).
CRalImage StarField(int w, int h, const std::vector<Star>& stars, double amplitude, unsigned seed) {
  CRalImage image(w, h, 16, 1, 1.0, 32768.0, 1);
  image.SetBlankUsed(1);
  image.SetBlank(0);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 15.0);
  std::vector<double> row(static_cast<std::size_t>(w));
  long long k = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x, ++k) {
      double v = 1000.0 + noise(rng);
      bool sky = true;
      for (const Star& s : stars) {
        const double r2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
        if (r2 < 400) v += amplitude * std::exp(-r2 / (2 * 1.8 * 1.8));
        sky = sky && r2 >= 100;
      }
      row[static_cast<std::size_t>(x)] = sky && k % 97 == 5 ? NAN : std::round(v);
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

std::vector<Star> Grid(int w, int h) {
  std::vector<Star> stars;
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i)
      stars.push_back({(i + 0.5) * w / 3.0 + 7.3 * j - 5.0, (j + 0.5) * h / 3.0 + 4.6 * i - 8.0});
  return stars;
}

Star Mean(const std::vector<Star>& stars) {
  Star m{0, 0};
  for (const Star& s : stars) {
    m.x += s.x / static_cast<double>(stars.size());
    m.y += s.y / static_cast<double>(stars.size());
  }
  return m;
}

std::vector<Star> Moved(std::vector<Star> stars, double dx, double dy) {
  for (Star& s : stars) s.x += dx, s.y += dy;
  return stars;
}

constexpr double kDx = 3.4, kDy = -2.7;

// Nine identical stars: their light weighs the same, so its centre is the mean of their
// places. They stand in the upper left; a second frame has them drifted by (kDx, kDy).
// The plain centre of gravity keeps its own meaning, every pixel weighed above the
// smallest: the sky holds it near the middle, and it sees a fraction of the drift.
TEST(SkyCentroidTest, StarsDecideWhereTheWholeFrameDoesNot) {
  std::vector<Star> stars = Grid(300, 200);
  for (Star& s : stars) s.x = 30 + s.x / 3, s.y = 20 + s.y / 3;
  const CRalImage a = StarField(300, 200, stars, 5000.0, 1u);
  const CRalImage b = StarField(300, 200, Moved(stars, kDx, kDy), 5000.0, 2u);
  const Star truth = Mean(stars);
  double ax = -1, ay = -1, bx = -1, by = -1;
  ASSERT_EQ(CenterOfGravityAboveSky(a, ax, ay), 1);
  ASSERT_EQ(CenterOfGravityAboveSky(b, bx, by), 1);
  EXPECT_NEAR(ax, truth.x, 0.05);
  EXPECT_NEAR(ay, truth.y, 0.05);
  EXPECT_NEAR(bx - ax, kDx, 0.05);
  EXPECT_NEAR(by - ay, kDy, 0.05);
  double pax = 0, pay = 0, pbx = 0, pby = 0;
  ASSERT_EQ(a.GetCenterOfGravity(pax, pay, nullptr), 1);
  ASSERT_EQ(b.GetCenterOfGravity(pbx, pby, nullptr), 1);
  EXPECT_GT(std::hypot(pax - truth.x, pay - truth.y), 30.0);
  EXPECT_LT(std::hypot(pbx - pax, pby - pay), 0.5 * std::hypot(kDx, kDy));
}

// 1.44 million pixels: the sky is taken from a sample, and with a pager budget of 1 MB
// the 2.9 MB frames are read back from the swap file. The drift between two frames is
// found, and the centres are those found with the frames held in memory. Across a wide
// frame the noise of a star's light moves the centre of all the light by as much as the
// star stands away from it: here about 0.05 px for each axis, hence the bright stars and
// the wider tolerance.
TEST(SkyCentroidTest, LargeFramesSampledAndPagedOut) {
  struct RestartAfter {
    ~RestartAfter() { CVmManager::Restart(); }
  } restart;
  const int w = 1600, h = 900;
  ASSERT_GT(static_cast<long long>(w) * h, kSkySamples);
  std::vector<Star> stars = Grid(w, h);
  for (Star& s : stars) s.x = 40 + s.x / 2, s.y = 400 + s.y / 2;  // left of the middle, low
  double inMemory[4] = {0, 0, 0, 0};
  for (int budget : {256, 1}) {
    ScopedConfigHome home;
    CRegistry::Write("VMManager", "BlockSize", 64, CRegistry::TYPE_INT);
    CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
    CRegistry::Write("VMManager", "MinMemorySize", budget, CRegistry::TYPE_INT);
    CVmManager::Restart();
    const CRalImage a = StarField(w, h, stars, 20000.0, 3u);
    const CRalImage b = StarField(w, h, Moved(stars, kDx, kDy), 20000.0, 4u);
    EXPECT_EQ(a.IsOnMemory(), budget > 1);
    double c[4] = {-1, -1, -1, -1};
    ASSERT_EQ(CenterOfGravityAboveSky(a, c[0], c[1]), 1) << budget;
    ASSERT_EQ(CenterOfGravityAboveSky(b, c[2], c[3]), 1) << budget;
    EXPECT_NEAR(c[2] - c[0], kDx, 0.2) << budget;
    EXPECT_NEAR(c[3] - c[1], kDy, 0.2) << budget;
    if (budget > 1) {
      std::copy(c, c + 4, inMemory);
    } else {
      EXPECT_GT(CVmManager::GetCurrentSwapSize(), 0);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(c[i], inMemory[i]) << i;
    }
  }
}

// Nothing above the sky: no centre, and x and y are left as they were. One pixel above a
// flat sky is the whole centre.
TEST(SkyCentroidTest, FlatBlankAndEmptyFramesHaveNone) {
  auto filled = [](int bits, double value) {
    CRalImage image(40, 30, bits, 1, 1.0, 0.0, 1);
    image.SetBlankUsed(bits > 0);
    image.SetBlank(-7);
    const std::vector<double> row(40, value);
    for (int y = 0; y < 30; ++y) image.SetPhysicalRow(y, 0, row.data());
    return image;
  };
  double x = -3, y = -4;
  EXPECT_EQ(CenterOfGravityAboveSky(filled(-32, 1000.0), x, y), 0);
  EXPECT_EQ(CenterOfGravityAboveSky(filled(-32, NAN), x, y), 0);
  EXPECT_EQ(CenterOfGravityAboveSky(filled(16, NAN), x, y), 0);  // every pixel BLANK
  EXPECT_EQ(CenterOfGravityAboveSky(filled(-64, INFINITY), x, y), 0);
  EXPECT_EQ(CenterOfGravityAboveSky(CRalImage(), x, y), 0);
  EXPECT_EQ(x, -3);
  EXPECT_EQ(y, -4);
  CRalImage spot = filled(-32, 1000.0);
  std::vector<double> row(40, 1000.0);
  row[7] = 1500.0;
  row[8] = NAN;
  spot.SetPhysicalRow(12, 0, row.data());
  ASSERT_EQ(CenterOfGravityAboveSky(spot, x, y), 1);
  EXPECT_EQ(x, 7.0);
  EXPECT_EQ(y, 12.0);
}

}  // namespace
