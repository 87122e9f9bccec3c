// The matching beside the plain radix-2 computation it replaced (tests/support/
// plain_matching.h) on generated star fields of several sizes, densities and shifts, some
// with gaps and hot pixels, some of whole numbers, some showing other stars: the same pairs are
// refused, the scores agree to rounding, the shifts agree within a step of the fine grid and lie
// near the true shifts. A matching that keeps its reference's spectrum (and its full-resolution
// window, for reduced frames) gives exactly what a fresh one gives, with one thread or two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "engine/imgmatching.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmmanager.h"
#include "tests/support/pager_budget.h"
#include "tests/support/plain_matching.h"
#include "tests/support/temp_dir.h"

namespace {

struct Stars {
  std::vector<double> x, y, a;
};

Stars MakeStars(unsigned seed, int count, int w, int h) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(-20, w + 20), uy(-20, h + 20), u(0, 1);
  Stars s;
  for (int i = 0; i < count; ++i) {
    s.x.push_back(ux(rng));
    s.y.push_back(uy(rng));
    s.a.push_back(150 / std::pow(1 - 0.98 * u(rng), 0.7));  // many faint, a few bright
  }
  return s;
}

// The stars seen so that pixel (u, v) shows the sky at (u + dx, v + dy), Gaussian of σ
// sigma, over a sky of 500 with noise of 10; gaps: a few NaN pixels and hot pixels;
// integral: rounded to whole numbers, as a 16-bit frame's pixels are.
CRalImage Render(const Stars& s, int w, int h, double dx, double dy, double sigma,
                 unsigned noiseSeed, bool gaps, bool integral = false) {
  std::vector<double> v(static_cast<std::size_t>(w) * h, 500.0);
  const int r = static_cast<int>(std::ceil(5 * sigma));
  for (std::size_t i = 0; i < s.x.size(); ++i) {
    const double cx = s.x[i] - dx, cy = s.y[i] - dy;
    const int x0 = static_cast<int>(std::lround(cx)), y0 = static_cast<int>(std::lround(cy));
    for (int y = std::max(0, y0 - r); y <= std::min(h - 1, y0 + r); ++y)
      for (int x = std::max(0, x0 - r); x <= std::min(w - 1, x0 + r); ++x)
        v[static_cast<std::size_t>(y) * w + x] +=
            s.a[i] * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * sigma * sigma));
  }
  std::mt19937 rng(noiseSeed);
  std::normal_distribution<double> noise(0, 10);
  for (double& p : v) p = integral ? std::round(p + noise(rng)) : p + noise(rng);
  if (gaps) {
    std::uniform_int_distribution<std::size_t> at(0, v.size() - 1);
    for (int i = 0; i < 40; ++i) v[at(rng)] = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < 40; ++i) v[at(rng)] = 60000;
  }
  CRalImage image(w, h, -64, 1, 1.0, 0.0, 1);
  for (int y = 0; y < h; ++y)
    EXPECT_TRUE(imgsample::WriteSpan(image, 0, w, y, 0, &v[static_cast<std::size_t>(y) * w]));
  return image;
}

struct Case {
  int w, h, stars;
  double dx, dy;
  bool related, gaps, integral;
};

std::vector<Case> Cases() {
  // Small and odd sizes, a long strip that is block-averaged by 2, and a frame taller than
  // wide; sparse, ordinary and dense fields.
  const int sizes[][2] = {{300, 260}, {200, 180}, {333, 121}, {2100, 100}, {150, 290}};
  const int counts[] = {8, 60, 250};
  std::mt19937 rng(41);
  std::uniform_real_distribution<double> u(-0.2, 0.2);
  std::vector<Case> cases;
  for (int i = 0; i < 15; ++i) {
    const int w = sizes[i % 5][0], h = sizes[i % 5][1];
    const double density = static_cast<double>(w) * h / (300.0 * 260.0);
    const int stars = std::max(4, static_cast<int>(counts[i % 3] * std::min(density, 3.0)));
    cases.push_back({w, h, stars, u(rng) * w, u(rng) * h, i % 4 != 3, i % 7 == 2, i % 3 == 1});
  }
  return cases;
}

TEST(ImageMatchingPlain, SameRefusalsScoresAndShiftsAsThePlainComputation) {
  int matched = 0, refused = 0;
  double moved = 0;
  const std::vector<Case> cases = Cases();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Stars stars = MakeStars(100 + static_cast<unsigned>(i), c.stars, c.w, c.h);
    CRalImage ref = Render(stars, c.w, c.h, 0, 0, 1.3, 1, false, c.integral);
    const Stars other = MakeStars(900 + static_cast<unsigned>(i), c.stars, c.w, c.h);
    CRalImage tgt = Render(c.related ? stars : other, c.w, c.h, c.related ? c.dx : 0,
                           c.related ? c.dy : 0, 1.3, 2, c.gaps, c.integral);
    double dx = 0, dy = 0, px = 0, py = 0, plainScore = 0;
    CImgMatching matching(ref);
    const int rc = matching.Do(&tgt, &dx, &dy);
    const int plain = plain_matching::Match(ref, &tgt, &px, &py, &plainScore);
    ASSERT_EQ(rc, plain) << "case " << i << " score " << matching.GetScore() << " plain "
                         << plainScore;
    EXPECT_NEAR(matching.GetScore(), plainScore, 1e-9 * std::max(1.0, plainScore)) << "case " << i;
    if (!c.related) {
      EXPECT_EQ(rc, 0) << "case " << i << " matched other stars at " << dx << ", " << dy;
      refused += rc == 0;
      continue;
    }
    if (!rc) continue;
    ++matched;
    EXPECT_NEAR(dx, px, 0.01) << "case " << i;
    EXPECT_NEAR(dy, py, 0.01) << "case " << i;
    moved = std::max({moved, std::abs(dx - px), std::abs(dy - py)});
    // Fields of a handful of stars, and strips of 50 to 121 rows once reduced, give a
    // noisier sub-pixel peak than the bundled field of the other test (0.05).
    const bool strip = std::min(c.w, c.h) < 150;
    const double tolerance = c.stars < 40 ? 0.5 : strip ? 0.2 : 0.05;
    EXPECT_NEAR(dx, c.dx, tolerance) << "case " << i << " with " << c.stars << " stars";
    EXPECT_NEAR(dy, c.dy, tolerance) << "case " << i << " with " << c.stars << " stars";
  }
  std::printf("%d pairs matched, %d refused; largest move from the plain computation %.4f\n",
              matched, refused, moved);
  EXPECT_GE(matched, 9);
  EXPECT_GE(refused, 3);
}

TEST(ImageMatchingPlain, KeptReferenceGivesWhatAFreshMatchingGives) {
  const int threads = rowpool::GetThreads();
  const Stars stars = MakeStars(7, 90, 400, 300);
  CRalImage ref = Render(stars, 400, 300, 0, 0, 1.4, 1, false);
  // Shifted views, another field, a wider frame (another grid), and back to the first size.
  std::vector<CRalImage> targets;
  targets.push_back(Render(stars, 400, 300, 13.25, -7.5, 1.4, 2, false));
  targets.push_back(Render(stars, 400, 300, -40.4, 21.7, 1.4, 3, true));
  targets.push_back(Render(MakeStars(8, 90, 400, 300), 400, 300, 0, 0, 1.4, 4, false));
  targets.push_back(Render(stars, 700, 200, 3.3, 30.1, 1.4, 5, false));
  targets.push_back(Render(stars, 400, 300, 0.37, 0.81, 1.4, 6, false));
  targets.push_back(ref);
  // The kept reference on one thread, each fresh matching on two.
  CImgMatching kept(ref);
  kept.KeepReference(true);
  int matched = 0;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    double kx = 0, ky = 0, fx = 0, fy = 0;
    rowpool::SetThreads(1);
    const int krc = kept.Do(&targets[i], &kx, &ky);
    const double keptScore = kept.GetScore();
    rowpool::SetThreads(2);
    CImgMatching fresh(ref);
    const int frc = fresh.Do(&targets[i], &fx, &fy);
    EXPECT_EQ(krc, frc) << "target " << i;
    EXPECT_EQ(kx, fx) << "target " << i;
    EXPECT_EQ(ky, fy) << "target " << i;
    EXPECT_EQ(keptScore, fresh.GetScore()) << "target " << i;
    EXPECT_GT(keptScore, 0.0) << "target " << i;
    matched += krc;
  }
  EXPECT_EQ(matched, 5) << "the other field alone is refused";

  // Frames reduced by 2 × 2 blocks, whose shifts come from a window matched again at full
  // resolution: the window of the reference is kept while it stays the same, and is made
  // again when a large shift cuts it (the second target) and when it is whole again.
  const Stars wide = MakeStars(9, 300, 1300, 300);
  CRalImage big = Render(wide, 1300, 300, 0, 0, 1.4, 11, false);
  const double shifts[][2] = {{5.63, -2.41}, {310.27, 11.9}, {-7.08, 3.55}, {0.0, 0.0}};
  CImgMatching keptBig(big);
  keptBig.KeepReference(true);
  for (const auto& s : shifts) {
    CRalImage tgt = Render(wide, 1300, 300, s[0], s[1], 1.4, 12, true);
    double kx = 0, ky = 0, fx = 0, fy = 0;
    rowpool::SetThreads(1);
    ASSERT_EQ(keptBig.Do(&tgt, &kx, &ky), 1) << s[0];
    rowpool::SetThreads(2);
    CImgMatching fresh(big);
    ASSERT_EQ(fresh.Do(&tgt, &fx, &fy), 1) << s[0];
    EXPECT_EQ(kx, fx) << s[0];
    EXPECT_EQ(ky, fy) << s[0];
    // As near the true shift as frames matched at full size are.
    EXPECT_NEAR(kx, s[0], 0.05);
    EXPECT_NEAR(ky, s[1], 0.05);
  }
  rowpool::SetThreads(threads);
}

// A one-plane frame is read by a shortcut; the same frame on two equal planes goes through
// the general reading, whose plane means equal the one plane's values. Both give the same
// score and shifts bit for bit, with gaps, hot pixels, −0, infinite pixels and 16-bit
// whole numbers among the frames, and refuse the same pairs.
TEST(ImageMatchingPlain, OnePlaneReadingEqualsTheGeneralReading) {
  const auto put = [](CRalImage& image, int x, int y, double v) {
    EXPECT_TRUE(imgsample::WriteSpan(image, x, 1, y, 0, &v));
  };
  const auto twoPlanes = [](const CRalImage& one) {
    const int w = one.GetWidth(), h = one.GetHeight();
    CRalImage two(w, h, -64, 2, 1.0, 0.0, 1);
    std::vector<double> row(static_cast<std::size_t>(w));
    for (int y = 0; y < h; ++y) {
      EXPECT_TRUE(imgsample::ReadSpan(one, 0, w, y, 0, row.data()));
      for (int p = 0; p < 2; ++p) EXPECT_TRUE(imgsample::WriteSpan(two, 0, w, y, p, row.data()));
    }
    return two;
  };
  const Stars stars = MakeStars(11, 120, 320, 240);
  const Stars other = MakeStars(12, 120, 320, 240);
  CRalImage ref = Render(stars, 320, 240, 0, 0, 1.4, 1, true);
  const double specials[] = {-0.0, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
  for (int i = 0; i < 3; ++i) put(ref, 17 + 40 * i, 31 + 50 * i, specials[i]);
  std::vector<CRalImage> targets;
  targets.push_back(Render(stars, 320, 240, 7.37, -3.81, 1.4, 2, true));
  targets.push_back(Render(stars, 320, 240, -21.5, 9.25, 1.4, 3, false, true));
  targets.push_back(Render(other, 320, 240, 0, 0, 1.4, 4, false));
  targets.push_back(Render(stars, 333, 250, 0.43, 0.17, 1.4, 5, true));
  for (int i = 0; i < 3; ++i) put(targets[0], 100 + 9 * i, 60 + 7 * i, specials[i]);
  const CRalImage ref2 = twoPlanes(ref);
  int matched = 0;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const CRalImage target2 = twoPlanes(targets[i]);
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    CImgMatching one(ref), two(const_cast<CRalImage&>(ref2));
    const int rc1 = one.Do(&targets[i], &x1, &y1);
    const int rc2 = two.Do(&target2, &x2, &y2);
    EXPECT_EQ(rc1, rc2) << "target " << i;
    EXPECT_EQ(x1, x2) << "target " << i;
    EXPECT_EQ(y1, y2) << "target " << i;
    EXPECT_EQ(one.GetScore(), two.GetScore()) << "target " << i;
    EXPECT_GT(one.GetScore(), 0.0) << "target " << i;
    matched += rc1;
  }
  EXPECT_EQ(matched, 3) << "the other field alone is refused";
}

}  // namespace

// With a pager budget of 1 MB the frames (3 MB each) page out while they are read, a few
// rows pinned at a time; the shifts and scores are those found with room to spare, for
// frames matched whole and for frames reduced by 2 × 2 blocks.
TEST(ImageMatchingPlain, SmallPagerBudgetGivesTheSameShifts) {
  ScopedConfigHome home;
  const Stars stars = MakeStars(21, 200, 1300, 300);
  const Stars small = MakeStars(22, 120, 700, 500);
  std::vector<double> found[2];
  for (int run = 0; run < 2; ++run) {
    SetPagerBudget(run == 0 ? 256 : 1);
    CRalImage big = Render(stars, 1300, 300, 0, 0, 1.4, 1, false);
    CRalImage bigTarget = Render(stars, 1300, 300, 9.61, -4.27, 1.4, 2, true);
    CRalImage ref = Render(small, 700, 500, 0, 0, 1.4, 3, false);
    CRalImage target = Render(small, 700, 500, -12.3, 6.85, 1.4, 4, true);
    for (auto [r, t] : {std::pair{&big, &bigTarget}, std::pair{&ref, &target}}) {
      double dx = 0, dy = 0;
      CImgMatching matching(*r);
      ASSERT_EQ(matching.Do(t, &dx, &dy), 1);
      found[run].insert(found[run].end(), {dx, dy, matching.GetScore()});
    }
    if (run == 1) {
      EXPECT_GT(CVmManager::GetCurrentSwapSize(), 0);
    }
  }
  EXPECT_EQ(found[0], found[1]);
  EXPECT_NEAR(found[0][0], 9.61, 0.05);
  EXPECT_NEAR(found[0][3], -12.3, 0.05);
  CVmManager::Restart();
}
