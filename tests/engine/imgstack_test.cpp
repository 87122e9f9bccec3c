// Stacking and overscan against numpy and astropy: the median of a stack and its 3-σ
// clipped median, mean and sum, computed row by row through CImgMedianComposit, equal
// nanmedian and sigma_clip on the same values; the overscan level equals numpy's mean of
// the region. Reference points and the pager budget are checked here as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/imgcomposit.h"
#include "engine/imgmedian.h"
#include "engine/imgoverscan.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"
#include "tests/support/pager_budget.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool HaveOracle() {
  return std::system("/usr/bin/python3 -c 'import astropy.stats' 2>/dev/null") == 0;
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

void WritePlane(const CImage& image, std::ofstream& out) {
  std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
  for (int y = 0; y < image.GetHeight(); ++y) {
    ASSERT_TRUE(imgsample::ReadSpan(image, 0, image.GetWidth(), y, 0, row.data()));
    out.write(reinterpret_cast<const char*>(row.data()),
              static_cast<std::streamsize>(row.size() * sizeof(double)));
  }
}

// A frame of sky noise with outliers (cosmic-ray hits, dark pixels) and, with gaps, blank
// pixels: NaN in a floating frame, the BLANK value in an integer one, and one column blank
// in every frame.
CRalImage Frame(int w, int h, int bits, std::mt19937& rng, bool gaps = true) {
  const bool integer = bits > 0;
  CRalImage image(w, h, bits, 1, 1.0, integer ? 32768.0 : 0.0, 1);
  if (integer) {
    image.SetBlankUsed(1);
    image.SetBlank(-32768);
  }
  std::normal_distribution<double> sky(1000.0, 25.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double v = sky(rng);
      const double u = unit(rng);
      if (u < 0.06)
        v += 3000.0 * unit(rng);
      else if (u < 0.08)
        v -= 600.0;
      else if (u < 0.1 && gaps)
        v = kNaN;
      if (x == 3 && gaps) v = kNaN;
      row[x] = integer && !std::isnan(v) ? std::round(v) : v;
    }
    imgsample::WriteSpan(image, 0, w, y, 0, row.data());
  }
  return image;
}

struct StackCase {
  int frames;
  int bits;  // of the destination
  bool gaps = true;
  int frameBits = 0;  // of every frame; 0 for float, 16-bit and double in turn
};

class StackOracle : public ::testing::TestWithParam<StackCase> {};

TEST_P(StackOracle, RowByRowEqualsNanmedianAndSigmaClip) {
  if (!HaveOracle()) GTEST_SKIP() << "/usr/bin/python3 lacks astropy";
  const auto [frames, bits, gaps, frameBits] = GetParam();
  const int w = 41, h = 9;
  std::mt19937 rng(1000u + frames);
  std::vector<CRalImage> stack;
  // Mixed pixel types: float with NaN, 16-bit with BLANK, double.
  const int types[] = {-32, 16, -64};
  for (int f = 0; f < frames; ++f)
    stack.push_back(Frame(w, h, frameBits ? frameBits : types[f % 3], rng, gaps));
  TempDir dir;
  {
    std::ofstream out(dir.File("stack.f64"), std::ios::binary);
    for (const auto& frame : stack) WritePlane(frame, out);
  }
  const char* names[] = {"median", "clipmed", "clipmean", "clipsum"};
  for (int mode = 0; mode < 4; ++mode) {
    CRalImage dest(w, h, bits, 1, 1.0, 0.0, 1);
    CImgMedianComposit median(dest);
    for (int y = 0; y < h; ++y) {
      for (const auto& frame : stack) ASSERT_EQ(median.Store(&frame, y, 0, 0, 0), 1);
      EXPECT_EQ(median.GetCount(), frames);
      const int rc = mode == 0   ? median.Calc()
                     : mode == 1 ? median.CalcClipping()
                                 : median.AddAvrCalcClipping(mode == 3);
      ASSERT_EQ(rc, 1);
    }
    std::ofstream out(dir.File(std::string(names[mode]) + ".f64"), std::ios::binary);
    WritePlane(dest, out);
  }
  const std::string log =
      RunOracle("stack " + dir.path() + " " + std::to_string(frames) + " " + std::to_string(h) +
                    " " + std::to_string(w) + " " + std::to_string(bits),
                dir.File("log"));
  for (const char* name : names)
    EXPECT_NE(log.find(std::string("ok ") + name), std::string::npos) << log;
  EXPECT_EQ(log.find("fail"), std::string::npos) << log;
  // Below about ten values no value can lie 3 σ from the median, so only deeper stacks
  // show the clip at work.
  if (frames >= 10) {
    EXPECT_EQ(log.find("rejected 0 "), std::string::npos) << "nothing clipped: " << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Depths, StackOracle,
    ::testing::Values(StackCase{3, -64}, StackCase{4, -64}, StackCase{7, -32}, StackCase{10, -64},
                      StackCase{24, -32}, StackCase{50, -64}, StackCase{50, -32},
                      // Without gaps whole blocks of columns take the median network, up
                      // to its largest count (1024), and the selection past it.
                      StackCase{1, -64, false}, StackCase{2, -64, false}, StackCase{5, -32, false},
                      StackCase{20, -64, false}, StackCase{33, -64, false},
                      StackCase{64, -32, false}, StackCase{65, -64, false},
                      StackCase{128, -64, false}, StackCase{129, -32, false},
                      StackCase{300, -64, false}, StackCase{1030, -32, false},
                      // 16-bit frames, whole numbers: the keyed selection, beside the
                      // network and past it, and with gaps that send blocks elsewhere.
                      StackCase{2, -64, false, 16}, StackCase{20, -64, false, 16},
                      StackCase{65, -64, false, 16}, StackCase{100, -32, false, 16},
                      StackCase{100, -64, true, 16}, StackCase{200, -64, false, 16}),
    [](const auto& info) {
      return std::to_string(info.param.frames) + "frames" +
             (info.param.bits == -32 ? "Float" : "Double") + (info.param.gaps ? "" : "NoGaps") +
             (info.param.frameBits ? "From16Bit" : "");
    });

// A placed frame takes the same values as CImgComposit's placement of the same frame, and
// a whole-pixel shift copies exactly; pixels the frame does not cover become blank.
TEST(MedianComposit, PlacesFramesAsCompositDoes) {
  std::mt19937 rng(5);
  const CRalImage frame = Frame(30, 20, -64, rng);
  struct Place {
    double dx, dy, rotation;
  } places[] = {{2, -3, 0}, {0.3, -1.7, 0}, {1.25, 0.5, 12}, {-4, 2, 90}};
  for (const auto& pl : places) {
    SCOPED_TRACE(testing::Message() << pl.dx << ", " << pl.dy << ", " << pl.rotation);
    CRalImage stacked(30, 20, -64, 1, 1.0, 0.0, 1);
    {
      CImgMedianComposit median(stacked);
      for (int y = 0; y < 20; ++y) {
        ASSERT_EQ(median.Store(&frame, y, pl.dx, pl.dy, pl.rotation), 1);
        ASSERT_EQ(median.Calc(), 1);
      }
    }
    // Composit with weight 1 writes the placed frame wherever it has a value; 0 elsewhere.
    CRalImage placed(30, 20, -64, 1, 1.0, 0.0, 1);
    ASSERT_EQ(CImgComposit(placed).Do(nullptr, &frame, pl.dx, pl.dy, pl.rotation,
                                      CImgComposit::kWeighted, 1.0, 0, 0, 0, 0, nullptr, 0, -1),
              1);
    int covered = 0, gaps = 0;
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 30; ++x) {
        const double got = stacked.GetPixel(x, y, 0);
        if (std::isnan(got)) {
          ++gaps;
          continue;
        }
        ++covered;
        ASSERT_NEAR(got, placed.GetPixel(x, y, 0), 1e-9) << x << ", " << y;
        if (pl.rotation == 0 && pl.dx == std::round(pl.dx) && pl.dy == std::round(pl.dy)) {
          ASSERT_EQ(got,
                    frame.GetPixel(x - static_cast<int>(pl.dx), y - static_cast<int>(pl.dy), 0));
        }
      }
    EXPECT_GT(covered, 200);
    EXPECT_GT(gaps, 20);  // the blank column and the uncovered border
  }
}

// Frames shifted without a turn take a shortcut through Store; its values are those of
// the general loop bit for bit: sub-pixel shifts of both signs, shifts within the snap of
// whole pixels (on one axis or both), frames smaller and larger than the destination,
// NaN pixels and blanks, one and three planes, every destination row. The median of
// three frames at each pixel is compared, and each frame alone.
TEST(MedianComposit, ShiftShortcutEqualsTheGeneralLoop) {
  std::mt19937 rng(41);
  std::uniform_real_distribution<double> any(-9.0, 9.0);
  std::vector<std::pair<double, double>> shifts = {{0.5, 0.5},
                                                   {-0.5, -0.5},
                                                   {0.25, -3.75},
                                                   {-7.3, 2.6},
                                                   {3 + 4e-10, -2.3},
                                                   {1.7, -5 - 6e-10},
                                                   {2 - 3e-10, 4e-10},
                                                   {-1e-10, 0.4},
                                                   {1e-9, -1e-9},
                                                   {6 + 2e-9, 0.999999999},
                                                   {-0.9999999995, 12.5},
                                                   {40.2, 0.1},
                                                   {0.1, -40.2},
                                                   {-19.5, 13.5},
                                                   {1e-300, -1e-300},
                                                   {0.75, 0}};
  for (int i = 0; i < 24; ++i) shifts.emplace_back(any(rng), any(rng));
  const int sizes[][2] = {{31, 17}, {12, 9}, {45, 33}};
  for (const int planes : {1, 3})
    for (const auto& size : sizes) {
      std::vector<CRalImage> frames;
      for (const int bits : {-64, 16, -32}) {
        CRalImage plane0 = Frame(size[0], size[1], bits, rng);
        if (planes == 1) {
          frames.push_back(std::move(plane0));
          continue;
        }
        CRalImage f(size[0], size[1], bits, planes, 1.0, bits > 0 ? 32768.0 : 0.0, 1);
        f.SetBlankUsed(plane0.IsBlankUsed());
        f.SetBlank(plane0.GetBlank());
        std::vector<double> row(static_cast<std::size_t>(size[0]));
        for (int p = 0; p < planes; ++p) {
          const CRalImage other = Frame(size[0], size[1], bits, rng);
          for (int y = 0; y < size[1]; ++y) {
            ASSERT_TRUE(imgsample::ReadSpan(other, 0, size[0], y, 0, row.data()));
            ASSERT_TRUE(imgsample::WriteSpan(f, 0, size[0], y, p, row.data()));
          }
        }
        frames.push_back(std::move(f));
      }
      for (const auto& [dx, dy] : shifts) {
        SCOPED_TRACE(testing::Message() << planes << " planes, frames " << size[0] << "x" << size[1]
                                        << ", shift " << dx << ", " << dy);
        // Each frame alone, then the three together with shifts apart.
        for (int set = 0; set < 4; ++set) {
          std::vector<double> results[2];
          int values = 0;
          for (const bool shortcut : {true, false}) {
            CRalImage dest(31, 17, -64, planes, 1.0, 0.0, 1);
            {
              CImgMedianComposit median(dest);
              median.SetShiftShortcut(shortcut);
              for (int y = 0; y < 17; ++y) {
                for (int f = 0; f < 3; ++f) {
                  if (set < 3 && f != set) continue;
                  const double ddx = set < 3 ? dx : dx + 0.37 * f,
                               ddy = set < 3 ? dy : dy - 0.61 * f;
                  ASSERT_EQ(median.Store(&frames[f], y, ddx, ddy, 0.0), 1);
                }
                ASSERT_EQ(median.Calc(), 1);
              }
            }
            std::vector<double>& out = results[shortcut ? 0 : 1];
            std::vector<double> row(31);
            for (int p = 0; p < planes; ++p)
              for (int y = 0; y < 17; ++y) {
                ASSERT_TRUE(imgsample::ReadSpan(dest, 0, 31, y, p, row.data()));
                out.insert(out.end(), row.begin(), row.end());
              }
          }
          for (std::size_t k = 0; k < results[0].size(); ++k) {
            const double a = results[0][k], b = results[1][k];
            ASSERT_EQ(std::isnan(a), std::isnan(b)) << "value " << k << " of set " << set;
            if (std::isnan(a)) continue;
            ++values;
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0)
                << "value " << k << " of set " << set << ": " << a << " against " << b;
          }
          // A frame that overlaps the destination gives values there; one that does not
          // still has its blanks compared.
          if (dx > 2 - size[0] && dx < 29 && dy > 2 - size[1] && dy < 15) {
            EXPECT_GT(values, 0) << "set " << set;
          }
        }
      }
    }
}

TEST(MedianComposit, RefusesCleanly) {
  CRalImage dest(8, 4, 16, 1, 1.0, 32768.0, 1), frame(8, 4, -32, 1, 1.0, 0.0, 1);
  CImgMedianComposit median(dest);
  EXPECT_EQ(median.Calc(), 0);  // nothing stored
  EXPECT_EQ(median.Store(nullptr, 0, 0, 0, 0), 0);
  EXPECT_EQ(median.Store(&frame, 4, 0, 0, 0), 0);  // below the destination
  EXPECT_EQ(median.Store(&frame, 1, kNaN, 0, 0), 0);
  ASSERT_EQ(median.Store(&frame, 1, 0, 0, 0), 1);
  EXPECT_EQ(median.Store(&frame, 2, 0, 0, 0), 0);  // another row while row 1 is gathered
  EXPECT_EQ(median.GetCount(), 1);
}

// An integer destination gets the result rounded and clamped; the clipped sum keeps the
// scale of the plain sum with the outlier replaced by the mean of the others.
TEST(MedianComposit, IntegerDestinationAndClippedSum) {
  CRalImage dest(1, 1, 16, 1, 1.0, 32768.0, 1);
  std::vector<CRalImage> frames;
  const double values[] = {10, 11, 12, 13, 10, 11, 12, 13, 10, 11, 12, 13, 5000};
  for (double v : values) {
    frames.emplace_back(1, 1, -64, 1, 1.0, 0.0, 1);
    imgsample::WriteSpan(frames.back(), 0, 1, 0, 0, &v);
  }
  CImgMedianComposit median(dest);
  auto run = [&](int mode) {
    for (const auto& f : frames) median.Store(&f, 0, 0, 0, 0);
    EXPECT_EQ(mode == 0 ? median.Calc() : median.AddAvrCalcClipping(mode == 2), 1);
    return dest.GetPixel(0, 0, 0);
  };
  EXPECT_EQ(run(0), 12);
  EXPECT_EQ(run(1), 12);                     // mean 11.5 of the twelve kept, rounded
  EXPECT_EQ(run(2), std::round(11.5 * 13));  // 149.5 → 150
}

// With a budget of 1 MB the frames (2 MB) page out; the result is the same as with room to
// spare. Rows this long are reduced on two threads.
TEST(MedianComposit, SmallPagerBudgetGivesTheSameResult) {
  ScopedConfigHome home;
  std::vector<double> result[2];
  for (int run = 0; run < 2; ++run) {
    SetPagerBudget(run == 0 ? 256 : 1);
    std::mt19937 rng(9);
    std::vector<CRalImage> stack;
    for (int f = 0; f < 8; ++f) stack.push_back(Frame(2048, 32, -32, rng));  // 2 MB of frames
    CRalImage dest(2048, 32, -32, 1, 1.0, 0.0, 1);
    CImgMedianComposit median(dest);
    for (int y = 0; y < 32; ++y) {
      for (const auto& frame : stack) ASSERT_EQ(median.Store(&frame, y, 0.5, -1, 0), 1);
      ASSERT_EQ(median.CalcClipping(), 1);
    }
    std::vector<double> row(2048);
    for (int y = 0; y < 32; ++y) {
      ASSERT_TRUE(imgsample::ReadSpan(dest, 0, 2048, y, 0, row.data()));
      result[run].insert(result[run].end(), row.begin(), row.end());
    }
    if (run == 1) {
      EXPECT_GT(CVmManager::GetCurrentSwapSize(), 0);
    }
  }
  ASSERT_EQ(result[0].size(), result[1].size());
  for (std::size_t i = 0; i < result[0].size(); ++i)
    ASSERT_TRUE(result[0][i] == result[1][i] ||
                (std::isnan(result[0][i]) && std::isnan(result[1][i])));
  CVmManager::Restart();
}

// The planes of a stack of three-plane frames are the stacks of each plane alone (which
// StackOracle holds to numpy), on rows long enough for two threads and not a whole number
// of blocks: whole numbers past the network and fractions within it, each frame shifted
// by whole pixels so that blocks at either end lack a frame.
TEST(MedianComposit, PlanesStackAsSingleOnes) {
  const int w = 2051, h = 3;
  for (const auto& [frames, bits] : {std::pair{70, 16}, std::pair{40, -32}}) {
    SCOPED_TRACE(testing::Message() << frames << " frames of " << bits << " bits");
    std::mt19937 rng(frames);
    std::normal_distribution<double> sky(1000.0, 40.0);
    std::vector<CRalImage> colour, single[3];
    std::vector<double> row(w);
    for (int f = 0; f < frames; ++f) {
      colour.emplace_back(w, h, bits, 3, 1.0, bits > 0 ? 32768.0 : 0.0, 1);
      for (auto& s : single) s.emplace_back(w, h, bits, 1, 1.0, bits > 0 ? 32768.0 : 0.0, 1);
      for (int p = 0; p < 3; ++p)
        for (int y = 0; y < h; ++y) {
          for (double& v : row) v = bits > 0 ? std::round(sky(rng) * (p + 1)) : sky(rng) * (p + 1);
          ASSERT_TRUE(imgsample::WriteSpan(colour.back(), 0, w, y, p, row.data()));
          ASSERT_TRUE(imgsample::WriteSpan(single[p].back(), 0, w, y, 0, row.data()));
        }
    }
    auto stackOf = [&](const std::vector<CRalImage>& stack, int planes) {
      CRalImage dest(w, h, -64, planes, 1.0, 0.0, 1);
      CImgMedianComposit median(dest);
      for (int y = 0; y < h; ++y) {
        for (int f = 0; f < frames; ++f)
          EXPECT_EQ(median.Store(&stack[f], y, f % 5 == 0 ? 3 - f % 7 : 0, 0, 0), 1);
        EXPECT_EQ(median.Calc(), 1);
      }
      return dest;
    };
    const CRalImage all = stackOf(colour, 3);
    for (int p = 0; p < 3; ++p) {
      const CRalImage one = stackOf(single[p], 1);
      std::vector<double> got(w), want(w);
      for (int y = 0; y < h; ++y) {
        ASSERT_TRUE(imgsample::ReadSpan(all, 0, w, y, p, got.data()));
        ASSERT_TRUE(imgsample::ReadSpan(one, 0, w, y, 0, want.data()));
        for (int x = 0; x < w; ++x)
          ASSERT_TRUE(got[x] == want[x] || (std::isnan(got[x]) && std::isnan(want[x])))
              << "plane " << p << " at (" << x << ", " << y << "): " << got[x] << " for "
              << want[x];
      }
    }
  }
}

// Overscan: a frame with a bias gradient along both axes and hot pixels in the strip.
struct OverscanCase {
  int bits, x1, x2, y1, y2, clipping;
};

class OverscanOracle : public ::testing::TestWithParam<OverscanCase> {};

TEST_P(OverscanOracle, LevelEqualsNumpyAndIsSubtracted) {
  if (!HaveOracle()) GTEST_SKIP() << "/usr/bin/python3 lacks astropy";
  const OverscanCase c = GetParam();
  const int w = 120, h = 50;
  CRalImage image(w, h, c.bits, 1, 1.0, c.bits > 0 ? 32768.0 : 0.0, 1);
  std::mt19937 rng(c.x1 * 31 + c.y2);
  std::normal_distribution<double> noise(0.0, 4.0);
  std::vector<double> row(w);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      row[x] = 480.0 + 0.2 * x + 0.35 * y + noise(rng) + (x < 100 ? 2000.0 : 0.0);
      if ((x * 7 + y * 3) % 53 == 0) row[x] += 30000.0;  // hot pixels
      if (c.bits > 0) row[x] = std::round(row[x]);
    }
    imgsample::WriteSpan(image, 0, w, y, 0, row.data());
  }
  TempDir dir;
  {
    std::ofstream out(dir.File("image.f64"), std::ios::binary);
    WritePlane(image, out);
  }
  CRalImage before(image);
  CImgOverScan overscan(image);
  ASSERT_EQ(overscan.Do(c.x1, c.x2, c.y1, c.y2, c.clipping), 1);
  const std::string log = RunOracle(
      "level " + dir.File("image.f64") + " " + std::to_string(h) + " " + std::to_string(w) + " " +
          std::to_string(std::min(c.x1, c.x2)) + " " + std::to_string(std::max(c.x1, c.x2)) + " " +
          std::to_string(std::min(c.y1, c.y2)) + " " + std::to_string(std::max(c.y1, c.y2)) + " " +
          std::to_string(c.clipping),
      dir.File("log"));
  const double want = std::stod(log);
  ASSERT_EQ(overscan.GetLevels().size(), 1u);
  EXPECT_NEAR(overscan.GetLevels()[0], want, 1e-9 * std::abs(want));
  for (int y = 0; y < h; y += 7)
    for (int x = 0; x < w; x += 11) {
      const double expect = before.GetPixel(x, y, 0) - overscan.GetLevels()[0];
      EXPECT_DOUBLE_EQ(image.GetPixel(x, y, 0), c.bits > 0
                                                    ? std::clamp(std::round(expect), 0.0, 65535.0)
                                                : c.bits == -32 ? static_cast<float>(expect)
                                                                : expect);
    }
}

INSTANTIATE_TEST_SUITE_P(Regions, OverscanOracle,
                         ::testing::Values(OverscanCase{-32, 104, 119, 0, 49, 0},
                                           OverscanCase{-32, 119, 104, 49, 0, 1},
                                           OverscanCase{16, 100, 110, 5, 40, 1},
                                           OverscanCase{-64, 0, 0, 0, 0, 1},
                                           OverscanCase{16, 105, 105, 10, 30, 0}));

TEST(Overscan, RefusesARegionOutsideTheImage) {
  CRalImage image(10, 10, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(10, 5.0);
  for (int y = 0; y < 10; ++y) imgsample::WriteSpan(image, 0, 10, y, 0, row.data());
  CImgOverScan overscan(image);
  EXPECT_EQ(overscan.Do(10, 12, 0, 3, 0), 0);
  EXPECT_EQ(overscan.Do(0, 3, -5, -1, 1), 0);
  EXPECT_EQ(image.GetPixel(2, 2, 0), 5.0);
}

// Reference points: the placement GetFitPrm gives puts the target's points on this
// image's, through the same formula CImgComposit uses to place the other image.
TEST(ReferencePoints, FitPlacesTargetPointsOnReference) {
  struct FitCase {
    CfPoint ref0, ref1, tgt0, tgt1;
    bool two;
  } cases[] = {
      {{100.5, 40.25}, {}, {90, 52}, {}, false},
      {{10, 10}, {60, 10}, {30, 5}, {30, 55}, true},        // a quarter turn
      {{200, 80}, {150, 120}, {40, 60}, {95, 25.5}, true},  // a turn past 180°
  };
  for (const auto& fc : cases) {
    CRalImage ref(256, 200, -32, 1, 1.0, 0.0, 1), tgt(120, 90, -32, 1, 1.0, 0.0, 1);
    ref.SetStdPt(0, fc.ref0);
    tgt.SetStdPt(0, fc.tgt0);
    if (fc.two) {
      ref.SetStdPt(1, fc.ref1);
      tgt.SetStdPt(1, fc.tgt1);
    }
    double dx = 0, dy = 0, rot = 0;
    ASSERT_EQ(ref.GetFitPrm(tgt, &dx, &dy, &rot), 1);
    const double t = rot * M_PI / 180, c = std::cos(t), s = std::sin(t);
    const double cx = 59.5, cy = 44.5;
    auto place = [&](const CfPoint& p) {
      return CfPoint(cx + c * (p.x - cx) - s * (p.y - cy) + dx,
                     cy + s * (p.x - cx) + c * (p.y - cy) + dy);
    };
    const CfPoint m0 = place(fc.tgt0);
    if (!fc.two) {
      EXPECT_EQ(rot, 0.0);
      EXPECT_NEAR(m0.x, fc.ref0.x, 1e-9);
      EXPECT_NEAR(m0.y, fc.ref0.y, 1e-9);
      continue;
    }
    // The vectors between the points are turned onto each other; the midpoints meet.
    const CfPoint m1 = place(fc.tgt1);
    EXPECT_NEAR((m0.x + m1.x) / 2, (fc.ref0.x + fc.ref1.x) / 2, 1e-9);
    EXPECT_NEAR((m0.y + m1.y) / 2, (fc.ref0.y + fc.ref1.y) / 2, 1e-9);
    EXPECT_NEAR(std::atan2(m1.y - m0.y, m1.x - m0.x),
                std::atan2(fc.ref1.y - fc.ref0.y, fc.ref1.x - fc.ref0.x), 1e-12);
    EXPECT_GT(rot, -180.0);
    EXPECT_LE(rot, 180.0);
  }
  CRalImage a(10, 10, -32, 1, 1.0, 0.0, 1), b(10, 10, -32, 1, 1.0, 0.0, 1);
  a.SetStdPt(0, CfPoint(1, 2));
  b.SetStdPt(0, CfPoint(kNaN, 2));  // ignored
  b.SetStdPt(5, CfPoint(1, 2));     // ignored
  double dx = 7, dy = 7, rot = 7;
  EXPECT_EQ(a.GetFitPrm(b, &dx, &dy, &rot), 0);
  EXPECT_EQ(dx + dy + rot, 0.0);
  b.SetStdPt(0, CfPoint(3, 3));
  EXPECT_EQ(a.GetFitPrm(b, &dx, &dy, &rot), 1);
  a.InitStdPt();
  EXPECT_EQ(a.IsValidStdPt(0), 0);
}

}  // namespace
