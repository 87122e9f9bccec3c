// Bands of rows: CImgMedianComposit and imgsample::ResampleRows given only some rows of
// the frames and of the destination write, in those rows, exactly the values (as bits)
// that the whole frames and destination give, for whole and sub-pixel shifts, turns,
// frames of other sizes and bands at either edge; and they refuse, rather than guess,
// when a band lacks a row it needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/imgmedian.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

CRalImage Noise(int w, int h, std::mt19937& rng) {
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  std::normal_distribution<double> sky(1000, 30);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (double& v : row) v = std::round(sky(rng));
    if (y % 7 == 3) row[static_cast<std::size_t>(y % w)] = kNaN;
    EXPECT_TRUE(imgsample::WriteSpan(image, 0, w, y, 0, row.data()));
  }
  return image;
}

CRalImage Rows(const CRalImage& frame, int first, int count) {
  CRalImage band(frame.GetWidth(), count, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(static_cast<std::size_t>(frame.GetWidth()));
  for (int r = 0; r < count; ++r) {
    EXPECT_TRUE(imgsample::ReadSpan(frame, 0, frame.GetWidth(), first + r, 0, row.data()));
    EXPECT_TRUE(imgsample::WriteSpan(band, 0, frame.GetWidth(), r, 0, row.data()));
  }
  return band;
}

// Bits of row y of image (so that NaN equals NaN and -0 differs from 0).
std::vector<std::uint64_t> Bits(const CImage& image, int y) {
  std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
  EXPECT_TRUE(imgsample::ReadSpan(image, 0, image.GetWidth(), y, 0, row.data()));
  std::vector<std::uint64_t> bits(row.size());
  std::memcpy(bits.data(), row.data(), row.size() * sizeof(double));
  return bits;
}

struct Placement {
  double dx, dy, rotation;
};

// The rows a band y0 … y1 draws on, as the band stack reads them, with two rows to spare.
void Window(const Placement& p, int fw, int fh, int w, int y0, int y1, int* lo, int* hi) {
  const double t = p.rotation * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
  const double ox = (fw - 1) / 2.0, oy = (fh - 1) / 2.0;
  const double by = oy + s * (p.dx + ox) - c * (p.dy + oy);
  double vmin = 1e300, vmax = -1e300;
  for (double x : {0.0, w - 1.0})
    for (double y : {double(y0), double(y1)}) {
      vmin = std::min(vmin, by + c * y - s * x);
      vmax = std::max(vmax, by + c * y - s * x);
    }
  *lo = static_cast<int>(std::clamp(std::floor(vmin) - 2, 0.0, fh - 1.0));
  *hi = static_cast<int>(std::clamp(std::ceil(vmax) + 2, 0.0, fh - 1.0));
}

const Placement kPlacements[] = {
    {0, 0, 0},          {3, -2, 0},        {0.37, -1.61, 0}, {-2.5, 0.5, 0},
    {1.25, 2.75, 0.8},  {-0.4, 0.9, -1.7}, {0, 0, 90},       {2.2, -3.3, 180},
    {0.1, 0.2, 12.5},   {-40, 0, 0},       {0, 70, 0},
};

TEST(ImgBandTest, MedianOfBandsEqualsTheWholeStack) {
  std::mt19937 rng(21);
  const int w = 37, h = 41;
  std::vector<CRalImage> frames;
  for (int i = 0; i < 6; ++i) frames.push_back(Noise(w + (i == 4 ? 3 : 0), h + (i == 2 ? 5 : 0), rng));
  for (const Placement& base : kPlacements) {
    std::vector<Placement> place;
    for (int i = 0; i < 6; ++i)
      place.push_back({base.dx + 0.31 * i, base.dy - 0.17 * i, base.rotation ? base.rotation + i : 0});
    for (int mode = 0; mode < 2; ++mode) {
      CRalImage whole(w, h, -64, 1, 1.0, 0.0, 1);
      CImgMedianComposit all(whole);
      for (int y = 0; y < h; ++y) {
        for (int i = 0; i < 6; ++i)
          ASSERT_TRUE(all.Store(&frames[i], y, place[i].dx, place[i].dy, place[i].rotation));
        ASSERT_TRUE(mode ? all.AddAvrCalcClipping() : all.Calc());
      }
      for (const auto& [y0, y1] : {std::pair{0, 9}, std::pair{10, 10}, std::pair{11, 40}}) {
        CRalImage band(w, y1 - y0 + 1, -64, 1, 1.0, 0.0, 1);
        CImgMedianComposit part(band);
        part.SetDestRows(y0, h);
        std::vector<CRalImage> held;
        std::vector<int> first;
        for (int i = 0; i < 6; ++i) {
          int lo = 0, hi = 0;
          Window(place[i], frames[i].GetWidth(), frames[i].GetHeight(), w, y0, y1, &lo, &hi);
          held.push_back(Rows(frames[i], lo, hi - lo + 1));
          first.push_back(lo);
        }
        for (int y = y0; y <= y1; ++y) {
          for (int i = 0; i < 6; ++i)
            ASSERT_TRUE(part.Store({&held[i], first[i], frames[i].GetHeight()}, y, place[i].dx,
                                   place[i].dy, place[i].rotation))
                << "frame " << i << " row " << y;
          ASSERT_TRUE(mode ? part.AddAvrCalcClipping() : part.Calc());
          EXPECT_EQ(Bits(band, y - y0), Bits(whole, y))
              << "row " << y << " placed " << base.dx << "," << base.dy << "," << base.rotation;
        }
      }
    }
  }
}

TEST(ImgBandTest, ResampledBandsEqualTheWholeResample) {
  std::mt19937 rng(5);
  const int w = 150, h = 140;  // wider and taller than a tile of the resampling
  const CRalImage src = Noise(w - 7, h + 9, rng);
  for (const Placement& p : kPlacements) {
    const double t = p.rotation * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
    const double ox = (src.GetWidth() - 1) / 2.0, oy = (src.GetHeight() - 1) / 2.0;
    imgsample::Affine map{c, s, -s, c, 0, 0};
    map.bx = ox - c * (p.dx + ox) - s * (p.dy + oy);
    map.by = oy + s * (p.dx + ox) - c * (p.dy + oy);
    CRalImage whole(w, h, -64, 1, 1.0, 0.0, 1);
    ASSERT_TRUE(imgsample::Resample(src, whole, map, kNaN, nullptr));
    for (const auto& [y0, y1] : {std::pair{0, 0}, std::pair{1, 130}, std::pair{131, 139}}) {
      int lo = 0, hi = 0;
      Window(p, src.GetWidth(), src.GetHeight(), w, y0, y1, &lo, &hi);
      const CRalImage held = Rows(src, lo, hi - lo + 1);
      CRalImage band(w, y1 - y0 + 1, -64, 1, 1.0, 0.0, 1);
      ASSERT_TRUE(imgsample::ResampleRows(held, {y0, lo, src.GetHeight()}, band, map, kNaN));
      for (int y = y0; y <= y1; ++y)
        EXPECT_EQ(Bits(band, y - y0), Bits(whole, y))
            << "row " << y << " placed " << p.dx << "," << p.dy << "," << p.rotation;
    }
  }
}

TEST(ImgBandTest, ABandWithoutTheRowsItNeedsIsRefused) {
  std::mt19937 rng(9);
  const CRalImage frame = Noise(20, 30, rng);
  // Destination row 10 shifted down by 2.5 reads frame rows 7 and 8.
  const CRalImage held = Rows(frame, 8, 10);  // rows 8 … 17: row 7 missing
  CRalImage band(20, 5, -64, 1, 1.0, 0.0, 1);
  CImgMedianComposit part(band);
  part.SetDestRows(10, 30);
  EXPECT_FALSE(part.Store({&held, 8, 30}, 10, 0, 2.5, 0));
  EXPECT_FALSE(part.Store({&held, 8, 30}, 10, 0, 3, 0));  // whole-pixel: row 7
  EXPECT_TRUE(part.Store({&held, 8, 30}, 10, 0, 2, 0));   // row 8 alone
  // Rows outside the destination's band, and a band that claims more rows than the frame.
  CImgMedianComposit other(band);
  other.SetDestRows(10, 30);
  EXPECT_FALSE(other.Store({&held, 8, 30}, 9, 0, 0, 0));
  EXPECT_FALSE(other.Store({&held, 8, 30}, 15, 0, 0, 0));
  EXPECT_FALSE(other.Store({&held, 25, 30}, 10, 0, 0, 0));

  imgsample::Affine map{1, 0, 0, 1, 0.5, -2.5};
  CRalImage out(20, 5, -64, 1, 1.0, 0.0, 1);
  EXPECT_FALSE(imgsample::ResampleRows(held, {10, 8, 30}, out, map, kNaN));
  EXPECT_TRUE(imgsample::ResampleRows(Rows(frame, 5, 12), {10, 5, 30}, out, map, kNaN));
}

}  // namespace
