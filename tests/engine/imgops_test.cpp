// Mirroring, inversion and the histogram, over every pixel type. Values are written and
// read back as physical values whose scaling is exact, so equal physical values mean
// equal stored values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/imgflip.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

struct Type {
  int bits, isSigned;
  double bscale, bzero;
  double lo, hi;  // stored range the values are drawn from
};

const Type kTypes[] = {
    {8, 0, 1, 0, 0, 255},
    {16, 1, 1, 0, -32768, 32767},
    {16, 0, 1, 0, 0, 65535},
    {16, 1, -2, 100, -32768, 32767},  // a negative scale
    {32, 1, 1, 0, -2147483648.0, 2147483647.0},
    {32, 0, 1, 0, 0, 4294967295.0},
    {-32, 1, 1, 0, -1e6, 1e6},
    {-64, 1, 1, 0, -1e12, 1e12},
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A scattered physical value of pixel i: the ends of the range now and then, NaN in
// real images, else exact halves or whole numbers.
double Value(const Type& t, std::uint64_t i) {
  std::uint64_t h = (i + 1) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  double raw;
  if (i % 13 == 5)
    raw = t.lo;
  else if (i % 13 == 9)
    raw = t.hi;
  else if (t.bits < 0)
    raw = i % 13 == 2 ? kNaN : t.lo + static_cast<double>(h % 4000001) * 0.5;
  else
    raw = t.lo + static_cast<double>(h % static_cast<std::uint64_t>(t.hi - t.lo + 1));
  return raw * t.bscale + t.bzero;
}

CRalImage Filled(const Type& t, int w, int h, int planes, std::uint64_t salt = 0) {
  CRalImage img(w, h, t.bits, planes, t.bscale, t.bzero, t.isSigned);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) row[x] = Value(t, salt + x + w * (y + std::uint64_t{1} * h * p));
      EXPECT_EQ(img.SetPhysicalRow(y, p, row.data()), 1);
    }
  return img;
}

// Checks every pixel of img against want(x, y, p); NaN matches NaN.
template <typename F>
void ExpectPixels(const CImage& img, F want) {
  for (int p = 0; p < img.GetPlanes(); ++p)
    for (int y = 0; y < img.GetHeight(); ++y)
      for (int x = 0; x < img.GetWidth(); ++x) {
        const double got = img.GetPixel(x, y, p), expected = want(x, y, p);
        ASSERT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected)))
            << x << "," << y << "," << p << ": " << got << " vs " << expected;
      }
}

auto ValuesOf(const CImage& ref) {
  return [&ref](int x, int y, int p) { return ref.GetPixel(x, y, p); };
}

class ImgOpsTest : public ::testing::TestWithParam<Type> {
 protected:
  ScopedConfigHome home_;
};

}  // namespace

TEST_P(ImgOpsTest, FlipMirrorsInPlaceOrFromASourceAndTwiceRestores) {
  const Type t = GetParam();
  const int shapes[][2] = {{1, 1}, {1, 6}, {7, 1}, {5, 4}, {6, 5}};
  for (const auto& s : shapes)
    for (int planes : {1, 3})
      for (int horizontal : {0, 1})
        for (bool inPlace : {true, false}) {
          SCOPED_TRACE(::testing::Message() << s[0] << "x" << s[1] << "x" << planes
                                            << " h=" << horizontal << " inPlace=" << inPlace);
          const CRalImage orig = Filled(t, s[0], s[1], planes);
          CRalImage img = inPlace ? orig : Filled(t, s[0], s[1], planes, 77);
          ASSERT_EQ(CImgFlip(img).Do(horizontal, inPlace ? nullptr : &orig, 0), 1);
          ExpectPixels(img, [&](int x, int y, int p) {
            return horizontal ? orig.GetPixel(s[0] - 1 - x, y, p)
                              : orig.GetPixel(x, s[1] - 1 - y, p);
          });
          ASSERT_EQ(CImgFlip(img).Do(horizontal, nullptr, 0), 1);
          ExpectPixels(img, ValuesOf(orig));
        }
}

TEST_P(ImgOpsTest, InvertMirrorsValuesInTheirPlaneRangeInsideTheRectangle) {
  const Type t = GetParam();
  const int w = 7, h = 5;
  const RECT inner{1, 1, 4, 3}, overhanging{-5, 2, 100, 3};
  for (int planes : {1, 3})
    for (const RECT* rect : {static_cast<const RECT*>(nullptr), &inner, &overhanging})
      for (bool inPlace : {true, false}) {
        SCOPED_TRACE(::testing::Message()
                     << planes << " rect=" << (rect ? rect->left : 99) << " inPlace=" << inPlace);
        CRalImage orig = Filled(t, w, h, planes);
        ASSERT_EQ(orig.CalcMinMax(), 1);  // the physical range, by the image's own scan
        CRalImage img = inPlace ? orig : Filled(t, w, h, planes, 77);
        ASSERT_EQ(CImgInvert(img).Do(inPlace ? nullptr : &orig, rect, 0), 1);
        const RECT r = rect ? *rect : RECT{0, 0, w, h};
        ExpectPixels(img, [&](int x, int y, int p) {
          const double v = orig.GetPixel(x, y, p);
          if (!r.Contains(x, y)) return v;
          return orig.GetDataMin(p) + orig.GetDataMax(p) - v;
        });
        if (!rect) {
          ASSERT_EQ(CImgInvert(img).Do(nullptr, nullptr, 0), 1);
          ExpectPixels(img, ValuesOf(orig));
        }
      }
}

// The straightforward count GetHistGram must agree with, pixel by pixel.
std::vector<std::uint32_t> CountByHand(const CImage& img, int mode, int plane, double low,
                                       double high, int bins, RECT r) {
  std::vector<std::uint32_t> c(static_cast<std::size_t>(bins));
  auto blank = [&](double v) { return std::isnan(v); };  // blank pixels read as NaN
  for (int y = std::max(r.top, 0); y < std::min(r.bottom, img.GetHeight()); ++y)
    for (int x = std::max(r.left, 0); x < std::min(r.right, img.GetWidth()); ++x) {
      double v = img.GetPixel(x, y, plane);
      bool skip = blank(v);
      if (mode == 1 && img.GetPlanes() >= 3) {
        const double R = img.GetPixel(x, y, 0), G = img.GetPixel(x, y, 1),
                     B = img.GetPixel(x, y, 2);
        v = 0.299 * R + 0.587 * G + 0.114 * B;
        skip = blank(R) || blank(G) || blank(B);
      }
      if (skip || !(v >= low && v <= high)) continue;
      const int b = static_cast<int>(std::floor((v - low) / (high - low) * bins));
      ++c[static_cast<std::size_t>(std::min(b, bins - 1))];
    }
  return c;
}

TEST_P(ImgOpsTest, HistogramAgreesWithACountByHand) {
  const Type t = GetParam();
  CRalImage img = Filled(t, 37, 23, 3);
  if (t.bits > 0) {  // the lowest stored value is blank
    img.SetBlankUsed(1);
    img.SetBlank(static_cast<int>(t.lo));
  }
  const double a = t.lo * t.bscale + t.bzero, b = t.hi * t.bscale + t.bzero;
  const double lo = std::min(a, b), span = std::fabs(b - a);
  struct Case {
    int mode, plane;
    double low, high;  // as fractions of the data span
    int bins;
    RECT rect;
  } const cases[] = {
      {0, 0, 0, 1, 256, {0, 0, 37, 23}},   {0, 2, 0.2, 0.7, 7, {0, 0, 37, 23}},
      {0, 1, 0, 1, 1, {-3, 5, 20, 99}},    {1, 9, 0.1, 0.9, 64, {0, 0, 37, 23}},
      {1, 0, 0, 1, 1000, {10, 3, 30, 13}}, {0, 0, 0.5, 0.5001, 3, {0, 0, 37, 23}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " bins " << c.bins);
    const double low = lo + c.low * span, high = lo + c.high * span;
    std::vector<std::uint32_t> counts{42};
    ASSERT_EQ(img.GetHistGram(c.mode, c.plane, low, high, c.bins, &counts, &c.rect), 1);
    EXPECT_EQ(counts, CountByHand(img, c.mode, c.plane, low, high, c.bins, c.rect));
  }
}

INSTANTIATE_TEST_SUITE_P(PixelTypes, ImgOpsTest, ::testing::ValuesIn(kTypes));

namespace {

class ImgOpsEdgeTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

}  // namespace

TEST_F(ImgOpsEdgeTest, InvertLeavesBlanksAndTurnsInfinitiesOver) {
  CRalImage ints(4, 1, 16, 1, 1, 0, 1);
  const std::vector<double> iv{-32768, 10, 20, 25};
  ASSERT_EQ(ints.SetPhysicalRow(0, 0, iv.data()), 1);
  ints.SetBlankUsed(1);
  ints.SetBlank(-32768);  // not part of the range, which is 10..25
  ASSERT_EQ(CImgInvert(ints).Do(nullptr, nullptr, 0), 1);
  EXPECT_EQ(*static_cast<const std::int16_t*>(ints.GetImageAdr(0, 0, 0)), -32768);
  EXPECT_TRUE(std::isnan(ints.GetPixel(0, 0)));  // blank pixels read as NaN
  EXPECT_EQ(ints.GetPixel(1, 0), 25);
  EXPECT_EQ(ints.GetPixel(3, 0), 10);

  const double inf = std::numeric_limits<double>::infinity();
  CRalImage reals(5, 1, -32, 1, 1, 0, 1);
  const std::vector<double> rv{inf, 1, 3, kNaN, -inf};
  ASSERT_EQ(reals.SetPhysicalRow(0, 0, rv.data()), 1);
  ASSERT_EQ(CImgInvert(reals).Do(nullptr, nullptr, 0), 1);
  EXPECT_EQ(reals.GetPixel(0, 0), -inf);
  EXPECT_EQ(reals.GetPixel(1, 0), 3);
  EXPECT_TRUE(std::isnan(reals.GetPixel(3, 0)));
  EXPECT_EQ(reals.GetPixel(4, 0), inf);
}

TEST_F(ImgOpsEdgeTest, MismatchesAreRefusedAndLeaveTheImage) {
  const Type t = kTypes[1];
  CRalImage img = Filled(t, 4, 3, 1);
  const CRalImage before = img;
  const CRalImage others[] = {Filled(t, 3, 3, 1),
                              Filled(t, 4, 2, 1),
                              Filled(t, 4, 3, 3),
                              CRalImage(4, 3, 32, 1, 1, 0, 1),
                              CRalImage(4, 3, 16, 1, 1, 0, 0),
                              CRalImage(4, 3, 16, 1, 2, 0, 1),
                              CRalImage()};
  for (const CRalImage& o : others) {
    EXPECT_EQ(CImgFlip(img).Do(1, &o, 0), 0);
    EXPECT_EQ(CImgInvert(img).Do(&o, nullptr, 0), 0);
  }
  ExpectPixels(img, ValuesOf(before));
  CRalImage empty;
  EXPECT_EQ(CImgFlip(empty).Do(0, nullptr, 0), 0);
  EXPECT_EQ(CImgInvert(empty).Do(nullptr, nullptr, 0), 0);
}

TEST_F(ImgOpsEdgeTest, ProgressIsReportedOnlyWhenAsked) {
  CRalImage img = Filled(kTypes[0], 5, 7, 3);
  RecordingProgress progress;
  img.SetProgressSink(&progress);
  for (int op = 0; op < 4; ++op) {  // flip, invert, each with progress and without
    progress.events.clear();
    const int show = op < 2;
    ASSERT_EQ(
        op % 2 ? CImgInvert(img).Do(nullptr, nullptr, show) : CImgFlip(img).Do(0, nullptr, show),
        1);
    if (!show) {
      EXPECT_TRUE(progress.events.empty());
      continue;
    }
    ASSERT_GE(progress.events.size(), 3u);
    EXPECT_EQ(progress.events.front().caption, "反転中...");
    EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);
    EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  }
}

TEST_F(ImgOpsEdgeTest, HistogramBinEdgesAndRefusals) {
  CRalImage img(9, 1, -64, 1, 1, 0, 1);
  const std::vector<double> v{0, 0.5, 5, 9.999999, 10, 10.0001, -0.0001, kNaN, 1e300};
  ASSERT_EQ(img.SetPhysicalRow(0, 0, v.data()), 1);
  std::vector<std::uint32_t> counts;
  ASSERT_EQ(img.GetHistGram(0, 0, 0, 10, 10, &counts), 1);
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{2, 0, 0, 0, 0, 1, 0, 0, 0, 2}));
  ASSERT_EQ(img.GetHistGram(1, 5, 0, 10, 10, &counts), 1);  // one plane: mode 1 counts it
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{2, 0, 0, 0, 0, 1, 0, 0, 0, 2}));
  EXPECT_EQ(img.GetHistGram(0, 0, 0, 10, 0, &counts), 0);
  EXPECT_EQ(img.GetHistGram(0, 0, 10, 10, 4, &counts), 0);
  EXPECT_EQ(img.GetHistGram(0, 0, kNaN, 10, 4, &counts), 0);
  EXPECT_EQ(img.GetHistGram(0, 1, 0, 10, 4, &counts), 0);
  EXPECT_EQ(img.GetHistGram(2, 0, 0, 10, 4, &counts), 0);
  EXPECT_EQ(CRalImage().GetHistGram(0, 0, 0, 10, 4, &counts), 0);
}

// Blocks of 64 KB and a budget of 1 MB: each image is twice the budget, so rows come back
// from the swap file while they are flipped and inverted.
TEST_F(ImgOpsEdgeTest, ImagesLargerThanThePagerBudget) {
  struct RestartAfter {
    ~RestartAfter() { CVmManager::Restart(); }  // under the fixture's settings again
  } restart;
  ScopedConfigHome small;
  CRegistry::Write("VMManager", "BlockSize", 64, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MinMemorySize", 1, CRegistry::TYPE_INT);
  CVmManager::Restart();
  const Type t = kTypes[3];
  const int w = 601, h = 599;
  const CRalImage orig = Filled(t, w, h, 3);
  CRalImage img = orig;
  EXPECT_FALSE(img.IsOnMemory());
  ASSERT_EQ(CImgFlip(img).Do(0, nullptr, 0), 1);
  ASSERT_EQ(CImgFlip(img).Do(1, nullptr, 0), 1);
  ExpectPixels(img, [&](int x, int y, int p) { return orig.GetPixel(w - 1 - x, h - 1 - y, p); });
  ASSERT_EQ(CImgFlip(img).Do(0, &orig, 0), 1);
  ASSERT_EQ(CImgInvert(img).Do(&img, nullptr, 0), 1);
  const double sum = (t.lo + t.hi) * t.bscale + 2 * t.bzero;  // both ends occur in every plane
  ExpectPixels(img, [&](int x, int y, int p) { return sum - orig.GetPixel(x, h - 1 - y, p); });
}
