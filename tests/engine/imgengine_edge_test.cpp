// The engine's arithmetic, compositing and geometry beyond the oracles: images larger
// than the pager budget, integer results (rounding, clamping, division by zero, blanks),
// refused arguments that leave the image as it was, and the progress display.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/imgcalc.h"
#include "engine/imgcomposit.h"
#include "engine/imgfilter.h"
#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "platform/progress.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

CRalImage Noise(int w, int h, int planes, std::uint32_t seed) {
  CRalImage img(w, h, -32, planes, 1.0, 0.0, 1);
  std::uint32_t s = seed * 2654435761u + 7;
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        s = s * 1664525u + 1013904223u;
        row[x] = (s >> 8) % 5000 / 8.0 + (x % 97 == 0 ? 4000.0 : 0.0);
      }
      EXPECT_EQ(img.SetPhysicalRow(y, p, row.data()), 1);
    }
  return img;
}

std::vector<double> Values(const CImage& img) {
  std::vector<double> all, row(static_cast<std::size_t>(img.GetWidth()));
  for (int p = 0; p < img.GetPlanes(); ++p)
    for (int y = 0; y < img.GetHeight(); ++y) {
      EXPECT_EQ(img.GetPhysicalRow(y, p, row.data()), 1);
      all.insert(all.end(), row.begin(), row.end());
    }
  all.push_back(img.GetWidth());
  all.push_back(img.GetHeight());
  return all;
}

using Operation = std::function<int(CRalImage& image, const CRalImage& other)>;

const std::vector<std::pair<std::string, Operation>>& Operations() {
  static const std::vector<std::pair<std::string, Operation>> ops = {
      {"turn", [](CRalImage& i, const CRalImage&) { return CImgRotate(i).Do(17, 0, nullptr, 0); }},
      {"quarter", [](CRalImage& i, const CRalImage&) { return CImgRotate(i).Do90(0, nullptr, 0); }},
      {"half", [](CRalImage& i, const CRalImage&) { return CImgRotate(i).Do180(nullptr, 0); }},
      {"shrink",
       [](CRalImage& i, const CRalImage&) { return CImgResolution(i).Do(nullptr, 365, 251, 0); }},
      {"enlarge",
       [](CRalImage& i, const CRalImage&) { return CImgResolution(i).Do(nullptr, 801, 900, 0); }},
      {"scroll",
       [](CRalImage& i, const CRalImage&) { return CImgScroll(i).Do(-300, 77, nullptr, 0); }},
      {"divide",
       [](CRalImage& i, const CRalImage&) {
         return CImgCalculation(i).Do(3.0, CImgCalculation::kDivide, 0, nullptr, nullptr, 0);
       }},
      {"composite turned",
       [](CRalImage& i, const CRalImage& o) {
         return CImgComposit(i).Do(nullptr, &o, 3.5, -2.25, 11, CImgComposit::kAverage, 0, 0, 0, 0,
                                   0, nullptr, 0, -1);
       }},
      {"saturation repair",
       [](CRalImage& i, const CRalImage& o) {
         return CImgComposit(i).Do(nullptr, &o, 0, 0, 0, CImgComposit::kNbr, 2.0, 0, 0, 0.7, 3,
                                   nullptr, 0, -1);
       }},
      {"contour lines",
       [](CRalImage& i, const CRalImage&) {
         return CImgFilter(i).ContourFilter(300, 1, nullptr, nullptr, 0);
       }},
  };
  return ops;
}

// Every operation's result, and whether the images lived outside memory.
std::vector<std::vector<double>> RunAll(bool* paged) {
  const CRalImage image = Noise(730, 720, 1, 1), other = Noise(730, 720, 1, 2);
  *paged = !image.IsOnMemory() && !other.IsOnMemory();
  std::vector<std::vector<double>> results;
  for (const auto& [name, op] : Operations()) {
    CRalImage img = image;
    EXPECT_EQ(op(img, other), 1) << name;
    results.push_back(Values(img));
  }
  return results;
}

class EngineEdgeTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

// Blocks of 64 KB and a budget of 1 MB: every image is twice the budget, so rows come and
// go through the swap file while each operation runs.
TEST_F(EngineEdgeTest, ImagesTwiceThePagerBudgetGiveTheSameResults) {
  bool paged = true;
  const auto want = RunAll(&paged);
  EXPECT_FALSE(paged);
  struct RestartAfter {
    ~RestartAfter() { CVmManager::Restart(); }
  } restart;
  ScopedConfigHome small;
  CRegistry::Write("VMManager", "BlockSize", 64, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MinMemorySize", 1, CRegistry::TYPE_INT);
  CVmManager::Restart();
  const auto got = RunAll(&paged);
  EXPECT_TRUE(paged);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].size(), want[i].size()) << Operations()[i].first;
    std::size_t differ = 0;
    for (std::size_t k = 0; k < got[i].size(); ++k)
      differ += !(got[i][k] == want[i][k] || (std::isnan(got[i][k]) && std::isnan(want[i][k])));
    EXPECT_EQ(differ, 0u) << Operations()[i].first;
  }
}

TEST_F(EngineEdgeTest, IntegerResultsRoundClampAndNeverDivideByZero) {
  CRalImage ints(5, 1, 16, 1, 1.0, 0.0, 1);
  const std::vector<double> v{-32768, -7, 0, 9, 30000};
  ASSERT_EQ(ints.SetPhysicalRow(0, 0, v.data()), 1);
  ints.SetBlankUsed(1);
  ints.SetBlank(-32768);
  struct Case {
    int op;
    double value;
    int cut;
    std::vector<double> want;  // NaN: still blank
  };
  constexpr double kBlank = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {CImgCalculation::kDivide, 0.0, 0, {kBlank, 0, 0, 0, 0}},
      {CImgCalculation::kDivide, 2.0, 0, {kBlank, -4, 0, 4, 15000}},  // halves to even
      {CImgCalculation::kMultiply, 2.0, 0, {kBlank, -14, 0, 18, 32767}},
      {CImgCalculation::kSubtract, 10.0, 1, {kBlank, 0, 0, 0, 29990}},
      {CImgCalculation::kAdd, 0.4, 0, {kBlank, -7, 0, 9, 30000}},
  };
  for (const Case& c : cases) {
    CRalImage img = ints;
    ASSERT_EQ(CImgCalculation(img).Do(c.value, c.op, c.cut, nullptr, nullptr, 0), 1);
    for (int x = 0; x < 5; ++x) {
      const double got = img.GetPixel(x, 0);
      EXPECT_TRUE(got == c.want[x] || (std::isnan(got) && std::isnan(c.want[x])))
          << c.op << " " << c.value << " at " << x << ": " << got;
    }
  }
  // Division by a zero pixel of another image, into bytes.
  CRalImage bytes(3, 1, 8, 1, 1.0, 0.0, 0), divisor(3, 1, 8, 1, 1.0, 0.0, 0);
  const std::vector<double> a{200, 7, 255}, b{0, 2, 1};
  bytes.SetPhysicalRow(0, 0, a.data());
  divisor.SetPhysicalRow(0, 0, b.data());
  ASSERT_EQ(CImgComposit(bytes).Do(nullptr, &divisor, 0, 0, 0, CImgComposit::kDivide, 0, 0, 0, 0, 0,
                                   nullptr, 0, -1),
            1);
  EXPECT_EQ(bytes.GetPixel(0, 0), 0);
  EXPECT_EQ(bytes.GetPixel(1, 0), 4);  // 3.5 to even
  EXPECT_EQ(bytes.GetPixel(2, 0), 255);
}

TEST_F(EngineEdgeTest, RefusedArgumentsLeaveTheImageAsItWas) {
  const CRalImage image = Noise(9, 7, 2, 3), small = Noise(4, 7, 2, 4);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<std::string, std::function<int(CRalImage&)>>> refused = {
      {"operation code",
       [&](CRalImage& i) { return CImgCalculation(i).Do(1, 4, 0, nullptr, nullptr, 0); }},
      {"calc source size",
       [&](CRalImage& i) { return CImgCalculation(i).Do(1, 0, 0, &small, nullptr, 0); }},
      {"no other",
       [&](CRalImage& i) {
         return CImgComposit(i).Do(nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, -1);
       }},
      {"method",
       [&](CRalImage& i) {
         return CImgComposit(i).Do(nullptr, &small, 0, 0, 0, 10, 0, 0, 0, 0, 0, nullptr, 0, -1);
       }},
      {"shift",
       [&](CRalImage& i) {
         return CImgComposit(i).Do(nullptr, &small, nan, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, -1);
       }},
      {"composite source size",
       [&](CRalImage& i) {
         return CImgComposit(i).Do(&small, &small, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, -1);
       }},
      {"angle", [&](CRalImage& i) { return CImgRotate(i).Do(nan, 0, nullptr, 0); }},
      {"width", [&](CRalImage& i) { return CImgResolution(i).Do(nullptr, 0, 5, 0); }},
      {"height", [&](CRalImage& i) { return CImgResolution(i).Do(nullptr, 5, -1, 0); }},
      {"step",
       [&](CRalImage& i) { return CImgFilter(i).ContourFilter(0, 0, nullptr, nullptr, 0); }},
      {"mode",
       [&](CRalImage& i) { return CImgFilter(i).ContourFilter(1, 2, nullptr, nullptr, 0); }},
      {"empty",
       [&](CRalImage&) {
         CRalImage empty;
         return CImgRotate(empty).Do90(0, nullptr, 0) + CImgScroll(empty).Do(1, 1, nullptr, 0);
       }},
  };
  const auto before = Values(image);
  for (const auto& [name, run] : refused) {
    CRalImage img = image;
    EXPECT_EQ(run(img), 0) << name;
    EXPECT_EQ(Values(img), before) << name;
  }
}

TEST_F(EngineEdgeTest, ARectangleLimitsThePixelsWritten) {
  const CRalImage a = Noise(12, 10, 1, 5), b = Noise(12, 10, 1, 6);
  CRalImage img = b;  // the target holds other values than the source
  const RECT r{3, 2, 8, 6};
  ASSERT_EQ(CImgCalculation(img).Do(100, CImgCalculation::kAdd, 0, &a, &r, 0), 1);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 12; ++x) {
      const bool inside = x >= 3 && x < 8 && y >= 2 && y < 6;
      EXPECT_EQ(img.GetPixel(x, y), inside ? a.GetPixel(x, y) + 100 : b.GetPixel(x, y))
          << x << "," << y;
    }
}

TEST_F(EngineEdgeTest, ProgressOpensReachesTheEndAndCloses) {
  const CRalImage other = Noise(40, 30, 2, 8);
  const std::vector<std::pair<std::string, std::function<int(CRalImage&)>>> ops = {
      {"回転中...", [](CRalImage& i) { return CImgRotate(i).Do(30, 0, nullptr, 1); }},
      {"回転中...", [](CRalImage& i) { return CImgRotate(i).Do90(1, nullptr, 1); }},
      {"解像度変更中...", [](CRalImage& i) { return CImgResolution(i).Do(nullptr, 7, 9, 1); }},
      {"スクロール中...", [](CRalImage& i) { return CImgScroll(i).Do(3, 3, nullptr, 1); }},
      {"演算中...",
       [](CRalImage& i) { return CImgCalculation(i).Do(2, 2, 0, nullptr, nullptr, 1); }},
      {"ブリンクコンパレータ準備中...",
       [&](CRalImage& i) {
         return CImgComposit(i).Do(nullptr, &other, 1, 1, 0, 2, 1.0, 1, 1, 0, 0, nullptr, 1, 2343);
       }},
      {"コンタ作成中...",
       [](CRalImage& i) { return CImgFilter(i).ContourFilter(50, 0, nullptr, nullptr, 1); }},
  };
  for (const auto& [caption, run] : ops) {
    CRalImage img = Noise(40, 30, 2, 9);
    RecordingProgress progress;
    img.SetProgressSink(&progress);
    ASSERT_EQ(run(img), 1) << caption;
    ASSERT_GE(progress.events.size(), 3u) << caption;
    EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
    EXPECT_EQ(progress.events.front().caption, caption);
    EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100) << caption;
    EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
    EXPECT_EQ(img.GetProgressSink(), &progress);
  }
}

}  // namespace
