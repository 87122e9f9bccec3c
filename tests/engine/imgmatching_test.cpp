// Image matching on the bundled star field: pairs cut from it with known whole and
// fractional shifts (up to a quarter of the frame), fresh noise and hot pixels, made by
// stack_check.py; the shift found is within 0.05 pixel of the truth and is reported beside
// scikit-image's phase_cross_correlation on the same pairs. A pair whose target shows
// other stars is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/samplefits.h"
#include "engine/imgmatching.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"

namespace {

bool HaveOracle() {
  return std::system(
             "/usr/bin/python3 -c 'import skimage.registration, scipy.ndimage, astropy.io.fits' "
             "2>/dev/null") == 0;
}

std::string RunOracle(const std::string& args, const std::string& log) {
  const int rc =
      std::system(("/usr/bin/python3 " STACK_SCRIPT " " + args + " > " + log + " 2>&1").c_str());
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(rc, 0) << text.str();
  return text.str();
}

CRalImage Load(const std::string& path, int w, int h) {
  CRalImage image(w, h, -64, 1, 1.0, 0.0, 1);
  std::ifstream in(path, std::ios::binary);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(w * sizeof(double)));
    EXPECT_TRUE(in && imgsample::WriteSpan(image, 0, w, y, 0, row.data()));
  }
  return image;
}

TEST(ImageMatching, RecoversKnownShiftsBesideSkimageAndRefusesOtherStars) {
  if (!HaveOracle()) GTEST_SKIP() << "/usr/bin/python3 lacks skimage, scipy or astropy";
  ScopedConfigHome home;
  TempDir dir;
  ASSERT_EQ(WriteSampleStarField(dir.File("field.fits")), 0);
  ASSERT_EQ(WriteSampleStarField(dir.File("other.fits"), 512, 512, 777u), 0);
  std::istringstream pairs(
      RunOracle("pairs " + dir.File("field.fits") + " " + dir.File("other.fits") + " " + dir.path(),
                dir.File("pairs.log")));
  struct Pair {
    int w, h;
    double dx, dy;
  };
  std::vector<Pair> cases;
  for (int i; pairs >> i;) {
    Pair p{};
    pairs >> p.h >> p.w >> p.dx >> p.dy;
    cases.push_back(p);
  }
  ASSERT_GE(cases.size(), 2u);
  const int n = static_cast<int>(cases.size());
  std::istringstream peer(RunOracle("skimage " + dir.path() + " " + std::to_string(n - 1) + " " +
                                        std::to_string(cases[0].h) + " " +
                                        std::to_string(cases[0].w),
                                    dir.File("skimage.log")));
  for (int i = 0; i < n; ++i) {
    const Pair& p = cases[i];
    CRalImage ref = Load(dir.File("pair" + std::to_string(i) + "_a.f64"), p.w, p.h);
    CRalImage tgt = Load(dir.File("pair" + std::to_string(i) + "_b.f64"), p.w, p.h);
    double dx = 0, dy = 0;
    CImgMatching matching(ref);
    const int rc = matching.Do(&tgt, &dx, &dy);
    if (i == n - 1) {  // the target shows another field
      EXPECT_EQ(rc, 0) << "matched other stars at " << dx << ", " << dy << " score "
                       << matching.GetScore();
      EXPECT_EQ(dx, 0.0);
      EXPECT_EQ(dy, 0.0);
      continue;
    }
    int j = -1;
    double sx = 0, sy = 0;
    peer >> j >> sx >> sy;
    ASSERT_EQ(j, i);
    ASSERT_EQ(rc, 1) << "pair " << i << " score " << matching.GetScore();
    EXPECT_NEAR(dx, p.dx, 0.05) << "pair " << i;
    EXPECT_NEAR(dy, p.dy, 0.05) << "pair " << i;
    std::printf(
        "pair %d shift (%g, %g): ours (%.4f, %.4f) error %.4f, skimage (%.4f, %.4f) "
        "error %.4f, score %.1f\n",
        i, p.dx, p.dy, dx, dy, std::hypot(dx - p.dx, dy - p.dy), sx, sy,
        std::hypot(sx - p.dx, sy - p.dy), matching.GetScore());
  }
}

// A few bright stars on a 500 × 400 frame with noise, moved by (dx, dy): target pixel
// (u, v) shows the sky of reference pixel (u + dx, v + dy).
CRalImage SparseField(unsigned seed, int stars, double dx, double dy, unsigned noiseSeed) {
  const int w = 500, h = 400;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(30, w - 30), uy(30, h - 30), amp(2000, 8000);
  std::vector<double> x(stars), y(stars), a(stars);
  for (int i = 0; i < stars; ++i) x[i] = ux(rng), y[i] = uy(rng), a[i] = amp(rng);
  std::mt19937 noise(noiseSeed);
  std::normal_distribution<double> n(0, 8);
  CRalImage image(w, h, -64, 1, 1.0, 0.0, 1);
  std::vector<double> row(w);
  for (int v = 0; v < h; ++v) {
    for (int u = 0; u < w; ++u) {
      double s = 800 + n(noise);
      for (int i = 0; i < stars; ++i) {
        const double ex = u + dx - x[i], ey = v + dy - y[i];
        s += a[i] * std::exp(-(ex * ex + ey * ey) / 8.0);
      }
      row[u] = s;
    }
    EXPECT_TRUE(imgsample::WriteSpan(image, 0, w, v, 0, row.data()));
  }
  return image;
}

// Sparse fields: the pair terms of a few stars stand high on the correlation surface, yet
// the shift is found (to a third of a pixel: the sub-pixel peak of so few stars is noisier
// than on a field); two unrelated sparse fields are still refused.
TEST(ImageMatching, SparseFieldsMatchAndUnrelatedOnesAreRefused) {
  for (int stars : {3, 6, 10}) {
    CRalImage ref = SparseField(100 + stars, stars, 0, 0, 1);
    CRalImage tgt = SparseField(100 + stars, stars, -7, 4, 2);
    double dx = 0, dy = 0;
    CImgMatching matching(ref);
    ASSERT_EQ(matching.Do(&tgt, &dx, &dy), 1) << stars << " stars, score " << matching.GetScore();
    EXPECT_NEAR(dx, -7, 0.3) << stars << " stars";
    EXPECT_NEAR(dy, 4, 0.3) << stars << " stars";
    for (unsigned other = 0; other < 3; ++other) {
      CRalImage unrelated = SparseField(500 + 10 * stars + other, stars, 0, 0, 3 + other);
      EXPECT_EQ(matching.Do(&unrelated, &dx, &dy), 0)
          << stars << " stars matched another field at " << dx << ", " << dy << " score "
          << matching.GetScore();
    }
  }
}

TEST(ImageMatching, RefusesCleanly) {
  CRalImage ref(64, 64, -32, 1, 1.0, 0.0, 1), tiny(4, 4, -32, 1, 1.0, 0.0, 1);
  double dx = 3, dy = 3;
  CImgMatching matching(ref);
  EXPECT_EQ(matching.Do(nullptr, &dx, &dy), 0);
  EXPECT_EQ(matching.Do(&tiny, &dx, &dy), 0);
  EXPECT_EQ(dx + dy, 0.0);
  // A flat frame has nothing to match.
  EXPECT_EQ(matching.Do(&ref, &dx, &dy), 0);
}

}  // namespace
