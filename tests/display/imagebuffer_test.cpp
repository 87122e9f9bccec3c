// The display buffer: display bytes at the level limits (linear and logarithmic), every
// colour mode on one-plane and colour images in every storage depth, refused modes,
// 16-bit dithering, the spectral colours of several axis types, levels of colour images,
// progress, partial rebuilds, odd input, and the screen geometry of marks.
#include "display/imagebuffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "display/colortables.h"
#include "display/viewinfo.h"
#include "engine/falsecolor.h"
#include "platform/progress.h"
#include "tests/display/display_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The linear display byte as the mapping rule states it, computed here on its own.
int RefLinear(float v, double levelLow, double levelHigh) {
  const float low = static_cast<float>(levelLow), high = static_cast<float>(levelHigh);
  const float scale = static_cast<float>(255.0 / (levelHigh - levelLow));
  if (v <= low) return 0;
  if (v >= high) return 255;
  const float t = (v - low) * scale;
  if (!(t >= 0)) return 0;
  return t >= 254 ? 254 : static_cast<int>(t);
}

std::uint16_t Pack555(int r, int g, int b) {
  return static_cast<std::uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
}

// What a grey display value v looks like in storage at pixel (x, y).
Bgr StoredGrey(int bits, bool paged, int v, int x, int y) {
  switch (bits) {
    case 8:
      return {v, -1, -1};
    case 16: {
      const int d = paged && (x + y) % 2 == 0 ? std::min(v + 4, 255) : v;
      return {Pack555(d, d, d), -1, -1};
    }
    default:
      return Grey(v);
  }
}

class ImageBufferTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

// ---- linear bytes in every storage ---------------------------------------------------

struct Storage {
  int screenBits;
  bool paged;
};

class LinearBytesTest : public ::testing::TestWithParam<Storage> {
 protected:
  ScopedConfigHome home_;
};

TEST_P(LinearBytesTest, BytesAtTheLevelLimits) {
  const Storage s = GetParam();
  const std::vector<float> values = {
      -kInf, 9.0f,  10.0f, 10.0001f, 12.5f, 15.0f, 19.9999f, std::nextafter(20.0f, 0.0f),
      20.0f, 20.5f, 1e30f, kInf,     kNaN};
  const std::vector<int> expect = {0, 0, 0, 0, 63, 127, 254, 254, 255, 255, 255, 255, 0};
  auto img = MakeImage(
      static_cast<int>(values.size()), 2, 1, [&](int x, int, int) { return values[x]; }, 10, 20);
  CImageBuffer buf(s.paged ? 1 : 0);
  ASSERT_EQ(buf.Create(s.screenBits, img.get(), nullptr, nullptr, nullptr), 1);
  buf.Update(img.get(), nullptr, 0);
  for (int y = 0; y < 2; ++y)
    for (std::size_t x = 0; x < values.size(); ++x)
      EXPECT_EQ(StoredPixel(buf.GetDIB(), int(x), y),
                StoredGrey(s.screenBits, s.paged, expect[x], int(x), y))
          << "value " << values[x] << " at " << x << "," << y;
}

TEST_P(LinearBytesTest, MaximumGivesTheOnly255ForAnyLevels) {
  const Storage s = GetParam();
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> centre(-1e6, 1e6), width(-8, 6);
  for (int trial = 0; trial < 60; ++trial) {
    const double lo = centre(rng);
    const double hi = lo + std::pow(10.0, width(rng));
    const float flo = static_cast<float>(lo), fhi = static_cast<float>(hi);
    const std::vector<float> values = {flo, std::nextafter(flo, kInf),
                                       static_cast<float>((lo + hi) / 2),
                                       std::nextafter(fhi, -kInf), fhi};
    auto img = MakeImage(
        5, 1, 1, [&](int x, int, int) { return values[x]; }, lo, hi);
    CImageBuffer buf(s.paged ? 1 : 0);
    ASSERT_EQ(buf.Create(s.screenBits, img.get(), nullptr, nullptr, nullptr), 1);
    buf.Update(img.get(), nullptr, 0);
    for (int x = 0; x < 5; ++x) {
      // The image stores the levels in double; the buffer works with their float forms.
      const int want = RefLinear(values[x], img->GetLevelMin(0), img->GetLevelMax(0));
      EXPECT_EQ(StoredPixel(buf.GetDIB(), x, 0), StoredGrey(s.screenBits, s.paged, want, x, 0))
          << "levels " << lo << " .. " << hi << " value " << values[x];
      if (x == 0) {
        EXPECT_EQ(want, 0);
      }
      if (x == 3) {
        EXPECT_LT(want, 255);
      }
      if (x == 4 && fhi > flo) {
        EXPECT_EQ(want, 255);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, LinearBytesTest,
                         ::testing::Values(Storage{32, true}, Storage{24, true}, Storage{16, true},
                                           Storage{8, true}, Storage{32, false}, Storage{24, false},
                                           Storage{16, false}, Storage{8, false}),
                         [](const auto& info) {
                           return std::string(info.param.paged ? "Paged" : "Memory") +
                                  std::to_string(info.param.screenBits);
                         });

// ---- logarithmic bytes ---------------------------------------------------------------

int RenderLog(double low, double high, float value) {
  auto img = MakeImage(
      1, 1, 1, [&](int, int, int) { return value; }, low, high);
  CImageBuffer buf(1);
  EXPECT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  buf.SetLogScale(1);
  buf.Update(img.get(), nullptr, 0);
  return StoredPixel(buf.GetDIB(), 0, 0).b;
}

// The same picture at every scale: values half-way between the steps of levels
// [1000 u, 1255 u] give the bytes 0 … 254 and 255 above, linear and logarithmic, for
// counts (u = 1), fluxes (1e-18 … 1e-30) and huge sums (1e+18 … 1e+30); the slider's span
// follows the levels.
TEST_F(ImageBufferTest, LevelsAtEveryScaleGiveTheSamePicture) {
  for (double unit : {1.0, 1e-18, 1e-21, 1e-30, 1e18, 1e20, 1e30}) {
    const double low = 1000 * unit, high = 1255 * unit;
    auto img = MakeImage(
        256, 2, 1,
        [&](int x, int y, int) {
          const double t = x + 0.5;
          return static_cast<float>(y == 0 ? low + t * unit : low * std::pow(1.255, t / 255));
        },
        low, high);
    for (int log = 0; log < 2; ++log) {
      CImageBuffer buf(1);
      ASSERT_EQ(buf.Create(24, img.get(), nullptr, nullptr, nullptr), 1);
      buf.SetLogScale(log);
      buf.Update(img.get(), nullptr, 0);
      for (int x = 0; x < 256; ++x)
        ASSERT_EQ(StoredPixel(buf.GetDIB(), x, log), Grey(std::min(x, 255)))
            << "unit " << unit << (log ? " log" : " linear") << " at " << x;
    }
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(24, img.get(), nullptr, nullptr, nullptr), 1);
    float l, h, sliderLow, sliderHigh;
    buf.GetLevel(&l, &h);
    EXPECT_EQ(l, static_cast<float>(low));
    EXPECT_EQ(h, static_cast<float>(high));
    buf.UpdateLevelSliderRange();
    buf.GetLevelSliderRange(&sliderLow, &sliderHigh);
    EXPECT_NEAR(sliderLow, low - 255 * unit * 2 / 11, 1e-5 * low) << unit;
    EXPECT_NEAR(sliderHigh, high + 255 * unit * 2 / 11, 1e-5 * high) << unit;
  }
  // Levels beyond the float range read as infinite, not as garbage.
  auto wide = MakeImage(
      4, 1, 1, [](int x, int, int) { return static_cast<float>(x); }, -1e300, 1e300);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(24, wide.get(), nullptr, nullptr, nullptr), 1);
  float l, h;
  buf.GetLevel(&l, &h);
  EXPECT_EQ(l, -kInf);
  EXPECT_EQ(h, kInf);
}

TEST_F(ImageBufferTest, LogarithmicLimits) {
  struct Case {
    double low, high;
    float value;
    int byte;
  } cases[] = {
      {10, 1000, 100, 127},
      {10, 1000, 10, 0},
      {10, 1000, 1000, 255},
      {10, 1000, 9, 0},
      {10, 1000, 2000, 255},
      {10, 1000, 31.6227766f, 63},
      // A minimum of 0 or below becomes 1 % of the maximum.
      {0, 1000, 10, 0},
      {0, 1000, 100, 127},
      {-50, 1000, 100, 127},
      {0, 1000, 5, 0},
      {-50, 1000, -7, 0},
      // A maximum of 0 or below shows as if the levels were 1 and 100.
      {-5, 0, 10, 127},
      {-5, 0, 1, 0},
      {-5, 0, 100, 255},
      {-5, -1, 10, 127},
      {-5, -1, 0.5f, 0},
      {-1e30, -1e29, 50, 216},
      // Levels 5 .. 5 are stored as 5 .. 6.
      {5, 5, 5.5f, 133},
      // Odd values.
      {10, 1000, kNaN, 0},
      {10, 1000, kInf, 255},
      {10, 1000, -kInf, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RenderLog(c.low, c.high, c.value), c.byte)
        << c.low << " .. " << c.high << " value " << c.value;
}

TEST_F(ImageBufferTest, LogarithmicRowsAgreeWithLogPixelEverywhere) {
  // Many values, dense near every step of the byte, for levels wide and narrow.
  struct Levels {
    double low, high;
  } levels[] = {
      {10, 1000},  {0, 65535}, {1000, 1000.5}, {1e-30, 1e30},
      {-1, 3e-38}, {7, 8},     {1, 1.000001}};  // the last: a few floats, several bytes apart
  for (const Levels& l : levels) {
    float low, high, scale, logLow;
    CImageBuffer::LogLevels(static_cast<float>(l.low), static_cast<float>(l.high), &low, &high,
                            &scale, &logLow);
    std::vector<float> values;
    for (int i = 0; i <= 4000; ++i) {
      const float v = static_cast<float>(low * std::pow(double(high) / low, (i - 200) / 3600.0));
      values.push_back(v);
      values.push_back(std::nextafter(v, kInf));
      values.push_back(std::nextafter(v, -kInf));
    }
    values.push_back(low);
    values.push_back(high);
    values.push_back(std::nextafter(low, kInf));
    values.push_back(std::nextafter(high, -kInf));
    const int width = 1000;
    const int height = static_cast<int>((values.size() + width - 1) / width);
    auto at = [&](int x, int y) {
      const std::size_t i = std::size_t(y) * width + x;
      return i < values.size() ? values[i] : 0.0f;
    };
    auto img = MakeImage(
        width, height, 1, [&](int x, int y, int) { return at(x, y); }, l.low, l.high);
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(24, img.get(), nullptr, nullptr, nullptr), 1);
    buf.SetLogScale(1);
    buf.Update(img.get(), nullptr, 0);
    // The reference works from the float levels the buffer caches.
    CImageBuffer::LogLevels(static_cast<float>(img->GetLevelMin(0)),
                            static_cast<float>(img->GetLevelMax(0)), &low, &high, &scale, &logLow);
    int mismatches = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const int want = CImageBuffer::LogPixel(low, high, scale, logLow, at(x, y));
        if (StoredPixel(buf.GetDIB(), x, y).b != want && ++mismatches < 5)
          ADD_FAILURE() << "levels " << l.low << " .. " << l.high << " value " << at(x, y)
                        << " gives " << StoredPixel(buf.GetDIB(), x, y).b << " not " << want;
      }
    EXPECT_EQ(mismatches, 0);
  }
}

// ---- colour modes ----------------------------------------------------------------------

TEST_F(ImageBufferTest, RefusedColourModes) {
  auto colour = MakeImage(2, 2, 3, [](int, int, int) { return 1.0f; });
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, colour.get(), nullptr, nullptr, nullptr), 1);
  using B = CImageBuffer;
  struct Step {
    int mode, type, result, modeAfter;
  } colourSteps[] = {{4, 0, 0, 0}, {5, 1, 0, 0}, {6, 0, 0, 0}, {2, 0, 1, 2},
                     {2, 0, 0, 2}, {3, 0, 1, 3}, {1, 0, 1, 1}, {0, 0, 1, 0},
                     {0, 9, 0, 0}, {7, 0, 0, 0}, {-1, 0, 0, 0}};
  for (const Step& s : colourSteps) {
    EXPECT_EQ(buf.SetColorMode(B::COLOR_MODE(s.mode), B::COLOR_TYPE(s.type)), s.result)
        << s.mode << "/" << s.type;
    EXPECT_EQ(buf.GetColorMode(), s.modeAfter);
  }

  auto grey = MakeImage(2, 2, 1, [](int, int, int) { return 1.0f; });
  CImageBuffer one(1);
  ASSERT_EQ(one.Create(32, grey.get(), nullptr, nullptr, nullptr), 1);
  Step greySteps[] = {{6, 0, 0, 0}, {2, 0, 0, 0}, {3, 0, 0, 0}, {4, 2, 1, 4}, {4, 2, 0, 4},
                      {4, 3, 1, 4}, {5, 3, 1, 5}, {1, 3, 1, 1}, {0, 0, 1, 0}};
  for (const Step& s : greySteps) {
    EXPECT_EQ(one.SetColorMode(B::COLOR_MODE(s.mode), B::COLOR_TYPE(s.type)), s.result)
        << s.mode << "/" << s.type;
    EXPECT_EQ(one.GetColorMode(), s.modeAfter);
  }
  // With a spectral axis that converts to a wavelength the spectral mode is allowed.
  grey->SetCType(0, "'WAVE'");
  grey->SetCUnit(0, "'nm'");
  EXPECT_EQ(one.SetColorMode(B::CM_SPECTRUM, B::CT_VERMILION), 1);
  EXPECT_EQ(one.GetColorMode(), B::CM_SPECTRUM);

  CImageBuffer none(1);  // no image: the modes every image takes
  EXPECT_EQ(none.SetColorMode(B::CM_FALSE_COLOR, B::CT_CYAN), 0);
  EXPECT_EQ(none.SetColorMode(B::CM_NEGATIVE, B::CT_CYAN), 1);
}

TEST_F(ImageBufferTest, OnePlaneColourModesInTwentyFourBits) {
  // Pixel x shows display byte x (levels 0 .. 255).
  auto img = MakeImage(256, 1, 1, [](int x, int, int) { return float(x); });
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  using B = CImageBuffer;
  struct Mode {
    B::COLOR_MODE mode;
    B::COLOR_TYPE type;
  } modes[] = {{B::CM_NEGATIVE, B::CT_VERMILION},
               {B::CM_FALSE_COLOR, B::CT_VERMILION},
               {B::CM_FALSE_COLOR, B::CT_CYAN},
               {B::CM_FALSE_COLOR, B::CT_BLACKBODY},
               {B::CM_FALSE_COLOR, B::CT_RAINBOW},
               {B::CM_FALSE_COLOR_NEGATIVE, B::CT_CYAN},
               {B::CM_FALSE_COLOR_NEGATIVE, B::CT_RAINBOW},
               {B::CM_POSITIVE, B::CT_VERMILION}};
  for (const Mode& m : modes) {
    ASSERT_EQ(buf.SetColorMode(m.mode, m.type), 1);
    buf.Update(img.get(), nullptr, 0);
    for (int x = 0; x < 256; ++x) {
      Bgr want;
      const bool negative = m.mode == B::CM_FALSE_COLOR_NEGATIVE || m.mode == B::CM_NEGATIVE;
      const int v = negative ? 255 - x : x;
      if (m.mode == B::CM_NEGATIVE || m.mode == B::CM_POSITIVE) {
        want = Grey(v);
      } else if (m.type == B::CT_RAINBOW) {
        float r, g, b;
        CImgFalseColor().GetFalseColor(v, 1, 1, &r, &g, &b);
        want = {int(b), int(g), int(r)};
      } else {
        const RGBCOLOR c = FalseColorTable(m.type)[v];
        want = {c.b, c.g, c.r};
      }
      ASSERT_EQ(StoredPixel(buf.GetDIB(), x, 0), want)
          << "mode " << m.mode << " type " << m.type << " byte " << x;
    }
  }
}

TEST_F(ImageBufferTest, ColourImageModesAndLuminance) {
  // (r, g, b) display bytes per pixel, levels 0 .. 255 on every plane.
  const int pix[][3] = {{255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {10, 20, 30}};
  auto img = MakeImage(5, 1, 3, [&](int x, int, int p) { return float(pix[x][p]); });
  for (int screen : {32, 24, 16, 8}) {
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(screen, img.get(), nullptr, nullptr, nullptr), 1);
    for (int mode = 0; mode <= 3; ++mode) {
      buf.SetColorMode(CImageBuffer::COLOR_MODE(mode), CImageBuffer::CT_VERMILION);
      buf.Update(img.get(), nullptr, 0);
      for (int x = 0; x < 5; ++x) {
        int r = pix[x][0], g = pix[x][1], b = pix[x][2];
        const int y = (306 * r + 601 * g + 117 * b) / 1024;
        if (mode == 1) r = 255 - r, g = 255 - g, b = 255 - b;
        if (mode == 2) r = g = b = y;
        if (mode == 3) r = g = b = 255 - y;
        Bgr want;
        if (screen >= 24) want = {b, g, r};
        if (screen == 8) want = {(b & 0xC0) | ((g >> 2) & 0x38) | (r >> 5), -1, -1};
        if (screen == 16) {
          const int d = x % 2 == 0 ? 4 : 0;  // row 0: even columns dither
          want = {Pack555(std::min(r + d, 255), std::min(g + d, 255), std::min(b + d, 255)), -1,
                  -1};
        }
        EXPECT_EQ(StoredPixel(buf.GetDIB(), x, 0), want)
            << "screen " << screen << " mode " << mode << " pixel " << x;
      }
    }
  }
  // The luminance weights add up to 1024: white stays white, black black.
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  int r = 255, g = 255, b = 255;
  buf.SetColorMode(CImageBuffer::CM_GRAY, CImageBuffer::CT_VERMILION);
  buf.ChangeColorTo(&r, &g, &b);
  EXPECT_EQ(r, 255);
  EXPECT_EQ(b, 255);
  r = 300, g = 300, b = 300;  // values above 255 are clamped by the mode step
  buf.SetColorMode(CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION);
  buf.ChangeColorTo(&r, &g, &b);
  EXPECT_EQ(g, 255);
}

TEST_F(ImageBufferTest, SixteenBitNeighboursAlternateVAndVPlusFour) {
  // Every pixel maps to display byte 100; x + y even gets 104 before packing.
  auto img = MakeImage(6, 5, 1, [](int, int, int) { return 100.0f; });
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(16, img.get(), nullptr, nullptr, nullptr), 1);
  buf.Update(img.get(), nullptr, 0);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) {
      const int v = (x + y) % 2 == 0 ? 104 : 100;
      EXPECT_EQ(StoredPixel(buf.GetDIB(), x, y).b, Pack555(v, v, v)) << x << "," << y;
    }
  // 104 and 100 land in different 5-bit steps, so the two really differ.
  EXPECT_NE(Pack555(104, 104, 104), Pack555(100, 100, 100));
  // Near white the added 4 stops at 255.
  auto white = MakeImage(2, 1, 1, [](int, int, int) { return 254.0f; });
  ASSERT_EQ(buf.Create(16, white.get(), nullptr, nullptr, nullptr), 1);
  buf.Update(white.get(), nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 0, 0).b, 0x7FFF);
}

TEST_F(ImageBufferTest, EightBitScreensGetThePaletteThatFits) {
  auto grey = MakeImage(3, 1, 1, [](int x, int, int) { return float(100 * x); });
  PALETTEENTRY entries[256];
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(8, grey.get(), nullptr, nullptr, entries), 1);
  EXPECT_EQ(entries[77].peRed, 77);  // a grey ramp
  EXPECT_EQ(entries[77].peBlue, 77);
  buf.Update(grey.get(), nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 1, 0).b, 100);
  EXPECT_EQ(buf.GetDIB()->GetColorTableEntry(200).rgbGreen, 200);

  auto colour = MakeImage(1, 1, 3, [](int, int, int p) { return p == 0 ? 255.0f : 0.0f; });
  ASSERT_EQ(buf.ChangePalette(colour.get(), entries), 1);
  // The 3-3-2 cube: index 7 is full red, 7 << 3 full green, 3 << 6 full blue.
  EXPECT_EQ(entries[7].peRed, 255);
  EXPECT_EQ(entries[7].peGreen, 0);
  EXPECT_EQ(entries[7 << 3].peGreen, 255);
  EXPECT_EQ(entries[3 << 6].peBlue, 255);
  buf.Update(colour.get(), nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 0, 0).b, 7);

  PALETTEENTRY mine[256] = {};
  mine[9] = {1, 2, 3, 0};
  ASSERT_EQ(buf.Create(8, grey.get(), nullptr, mine, entries), 1);
  EXPECT_EQ(entries[9].peGreen, 2);  // a given palette is copied as it is
  CImageBuffer wide(1);
  ASSERT_EQ(wide.Create(32, grey.get(), nullptr, nullptr, entries), 1);
  EXPECT_EQ(wide.ChangePalette(grey.get(), entries), 1);  // nothing to do off 8 bits
}

// ---- the spectral false colour -------------------------------------------------------

// Colour of a spectral pixel at brightness v, from a table row.
Bgr Dimmed(int r, int g, int b, int v) {
  return {(b * v) >> 8, (g * v) >> 8, (r * v) >> 8};
}

TEST_F(ImageBufferTest, SpectralColoursFollowTheWavelengthAxis) {
  // 470 pixels, 360 + x nm, full brightness except the last row at half.
  auto img = MakeImage(470, 2, 1, [](int, int y, int) { return y == 0 ? 255.0f : 127.0f; });
  img->SetCType(0, "'WAVE'");
  img->SetCUnit(0, "'nm'");
  img->SetCRPix(0, 1);
  img->SetCRVal(0, 360);
  img->SetCDelt(0, 1);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(buf.SetColorMode(CImageBuffer::CM_SPECTRUM, CImageBuffer::CT_VERMILION), 1);
  buf.Update(img.get(), nullptr, 0);
  struct Case {
    int x, r, g, b;
  } rows[] = {{0, 126, 124, 128}, {100, 0, 8, 255},     {150, 0, 243, 84},
              {250, 255, 53, 0},  {450, 128, 105, 114}, {469, 128, 128, 128}};
  for (const Case& c : rows) {
    EXPECT_EQ(StoredPixel(buf.GetDIB(), c.x, 0), Dimmed(c.r, c.g, c.b, 255)) << c.x;
    EXPECT_EQ(StoredPixel(buf.GetDIB(), c.x, 1), Dimmed(c.r, c.g, c.b, 127)) << c.x;
  }
  EXPECT_NEAR(buf.GetSpectrumWavelength(100, 0), 460e-9, 1e-18);
  // The same in 16 bits, dithered.
  CImageBuffer b16(1);
  ASSERT_EQ(b16.Create(16, img.get(), nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(b16.SetColorMode(CImageBuffer::CM_SPECTRUM, CImageBuffer::CT_VERMILION), 1);
  b16.Update(img.get(), nullptr, 0);
  const Bgr c = Dimmed(0, 8, 255, 255);
  EXPECT_EQ(StoredPixel(b16.GetDIB(), 100, 0).b,
            Pack555(std::min(c.r + 4, 255), std::min(c.g + 4, 255), std::min(c.b + 4, 255)));
}

TEST_F(ImageBufferTest, EveryConvertibleAxisTypeGivesTheSameColourForTheSameWavelength) {
  const double c = 299792458.0, h = 6.6260755e-34, eV = 1.60217733e-19;
  const double lambda = 600e-9;
  struct Axis {
    const char* type;
    const char* unit;
    double crval;
  } axes[] = {
      {"'WAVE'", "'m'", lambda},
      {"'WAVE'", "", lambda},
      {"'AWAV'", "'nm'", 600},
      {"'WAVE'", "'Angstrom'", 6000},
      {"'WAVE-LOG'", "'m'", std::log10(lambda)},
      {"'WAVE'", "'log(nm)'", std::log10(600.0)},
      {"'FREQ'", "'Hz'", c / lambda},
      {"'FREQ'", "'GHz'", c / lambda / 1e9},
      {"'ENER'", "'J'", h * c / lambda},
      {"'ENER'", "'eV'", h * c / lambda / eV},
      {"'ENER'", "'keV'", h * c / lambda / eV / 1e3},
      {"'ENER'", "'erg'", h * c / lambda * 1e7},
      {"'WAVN'", "'/cm'", 1 / lambda / 100},
      {"'WAVN'", "'m-1'", 1 / lambda},
  };
  const auto& t = SpectrumColorTable();
  const Bgr want = Dimmed(t[240].r, t[240].g, t[240].b, 255);
  for (const Axis& a : axes) {
    auto img = MakeImage(3, 1, 1, [](int, int, int) { return 255.0f; });
    img->SetCType(0, a.type);
    if (*a.unit) img->SetCUnit(0, a.unit);
    img->SetCRPix(0, 2);  // the reference is pixel 1 (0-based); increment 0 keeps it
    img->SetCRVal(0, a.crval);
    img->SetCDelt(0, 0.0);
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(buf.SetColorMode(CImageBuffer::CM_SPECTRUM, CImageBuffer::CT_VERMILION), 1)
        << a.type << " " << a.unit;
    buf.Update(img.get(), nullptr, 0);
    EXPECT_NEAR(buf.GetSpectrumWavelength(1, 0), lambda, 1e-15) << a.type << " " << a.unit;
    EXPECT_EQ(StoredPixel(buf.GetDIB(), 1, 0), want) << a.type << " " << a.unit;
  }
}

TEST_F(ImageBufferTest, SpectralAxisGeometry) {
  auto img = MakeImage(4, 5, 1, [](int, int, int) { return 255.0f; });
  img->SetCType(1, "'WAVE'");
  img->SetCUnit(1, "'nm'");
  img->SetCRPix(0, 1);
  img->SetCRPix(1, 3);
  img->SetCRVal(1, 500);
  img->SetCDelt(1, 2);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  buf.Update(img.get(), nullptr, 0);
  // Dispersion along y: FITS row 3 (0-based 2) is 500 nm, 2 nm per row.
  EXPECT_NEAR(buf.GetSpectrumWavelength(3, 2), 500e-9, 1e-18);
  EXPECT_NEAR(buf.GetSpectrumWavelength(0, 4), 504e-9, 1e-18);
  // A tilted PC matrix: the row of the spectral axis (axis 2) times CDELT2.
  img->SetLTMtx(tagMATRIX2_2{1, 0, 0.5, 1}, 2);
  EXPECT_NEAR(buf.GetSpectrumWavelength(2, 2), (500 + 2 * 0.5 * 2) * 1e-9, 1e-18);
  // A CD matrix carries the scale itself: CDELT no longer applies.
  img->SetLTMtx(tagMATRIX2_2{1, 0, 0, 3}, 1);
  EXPECT_NEAR(buf.GetSpectrumWavelength(0, 3), 503e-9, 1e-18);
  // No convertible axis: no wavelength, and the spectral step shows grey.
  img->SetCType(1, "'VRAD'");
  EXPECT_TRUE(std::isnan(buf.GetSpectrumWavelength(0, 0)));
  int r = 90, g = 0, b = 0;
  buf.ChangeSpectrumTo(&r, &g, &b, 0, 0);
  EXPECT_EQ(g, 90);
}

// ---- levels --------------------------------------------------------------------------

TEST_F(ImageBufferTest, ColourLevelsMoveTogether) {
  auto img = MakeImage(2, 2, 3, [](int, int, int) { return 0.0f; });
  img->SetLevel(0, 0, 100);
  img->SetLevel(1, 10, 30);
  img->SetLevel(2, -50, 50);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  float lo, hi;
  buf.GetLevel(&lo, &hi);
  EXPECT_NEAR(lo, 0.299 * 0 + 0.587 * 10 + 0.114 * -50, 1e-5);
  EXPECT_NEAR(hi, 0.299 * 100 + 0.587 * 30 + 0.114 * 50, 1e-5);
  // Widen the weighted range to twice its size about its lower end: each plane's range
  // doubles about its own minimum.
  buf.SetLevel(lo, lo + 2 * (hi - lo));
  EXPECT_NEAR(img->GetLevelMin(0), 0, 1e-4);
  EXPECT_NEAR(img->GetLevelMax(0), 200, 1e-3);
  EXPECT_NEAR(img->GetLevelMax(1), 50, 1e-3);
  EXPECT_NEAR(img->GetLevelMax(2), 150, 1e-3);
  float lo2, hi2;
  buf.GetLevel(&lo2, &hi2);
  EXPECT_NEAR(lo2, lo, 1e-3);
  EXPECT_NEAR(hi2, lo + 2 * (hi - lo), 1e-3);

  buf.UpdateLevelSliderRange();
  float smin, smax;
  buf.GetLevelSliderRange(&smin, &smax);
  const float d = (hi2 - lo2) * 0.1818181872f;
  EXPECT_FLOAT_EQ(smin, lo2 - d);
  EXPECT_FLOAT_EQ(smax, hi2 + d);

  // One plane: plane 0 alone; a zero range becomes one unit, as the image stores it.
  auto grey = MakeImage(2, 2, 1, [](int, int, int) { return 0.0f; });
  CImageBuffer one(1);
  ASSERT_EQ(one.Create(32, grey.get(), nullptr, nullptr, nullptr), 1);
  one.SetLevel(5, 5);
  one.GetLevel(&lo, &hi);
  EXPECT_EQ(lo, 5);
  EXPECT_EQ(hi, 6);
  CImageBuffer fresh(1);
  fresh.GetLevelSliderRange(&smin, &smax);
  EXPECT_EQ(smin, 0);
  EXPECT_EQ(smax, 255);
}

// ---- rebuilds --------------------------------------------------------------------------

TEST_F(ImageBufferTest, ProgressReportsRowsUnderTheDisplayCaption) {
  auto img = MakeImage(3, 200, 1, [](int, int, int) { return 1.0f; });
  RecordingProgress progress;
  img->SetProgressSink(&progress);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  buf.Update(img.get(), nullptr, 1);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
  EXPECT_EQ(progress.events.front().caption, "表示処理中...");
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  int last = -1;
  for (std::size_t i = 1; i + 1 < progress.events.size(); ++i) {
    EXPECT_EQ(progress.events[i].kind, RecordingProgress::Kind::kPercent);
    EXPECT_GT(progress.events[i].percent, last);
    last = progress.events[i].percent;
  }
  EXPECT_EQ(last, 100);
  progress.events.clear();
  buf.Update(img.get(), nullptr, 0);
  EXPECT_TRUE(progress.events.empty());
}

TEST_F(ImageBufferTest, PartialRebuildTouchesOnlyItsClampedArea) {
  auto img = MakeImage(8, 6, 1, [](int, int, int) { return 10.0f; });
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  buf.Update(img.get(), nullptr, 0);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) static_cast<float*>(img->GetImageAdr(x, y))[0] = 200.0f;
  const RECT area{2, 1, 5, 3};
  buf.Update(img.get(), &area, 0);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(StoredPixel(buf.GetDIB(), x, y), Grey(area.Contains(x, y) ? 200 : 10))
          << x << "," << y;
  // Areas partly or wholly outside, and empty ones, are clamped, not trusted.
  const RECT outside[] = {{-5, -5, 1, 1},
                          {6, 4, 100, 100},
                          {100, 100, 200, 200},
                          {4, 4, 2, 2},
                          {INT_MIN, INT_MIN, INT_MAX, INT_MAX}};
  for (const RECT& r : outside) buf.Update(img.get(), &r, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 0, 0), Grey(200));
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 7, 5), Grey(200));
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 6, 0), Grey(200));
}

TEST_F(ImageBufferTest, LargeRebuildsGiveTheSameBytesAsSmallOnes) {
  // Rebuilds of a million pixels or more write their rows another way (streamed past the
  // cache in aligned runs); whole rows and an area starting at an odd column must agree
  // with the rule pixel for pixel, in one plane and in three.
  const int w = 1100, h = 1000;
  auto value = [](int x, int y, int p) { return float((x * 7 + y * 3 + p * 50) % 300) - 20; };
  for (int planes : {1, 3}) {
    auto img = MakeImage(w, h, planes, value, 0, 255);
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
    buf.Update(img.get(), nullptr, 0);
    auto expect = [&](int x, int y) {
      if (planes == 1) return Grey(RefLinear(value(x, y, 0), 0, 255));
      return Bgr{RefLinear(value(x, y, 2), 0, 255), RefLinear(value(x, y, 1), 0, 255),
                 RefLinear(value(x, y, 0), 0, 255)};
    };
    int wrong = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (!(StoredPixel(buf.GetDIB(), x, y) == expect(x, y)) && ++wrong < 5)
          ADD_FAILURE() << planes << " planes, pixel " << x << "," << y;
    // Overwrite the bitmap with a negative, then rebuild an area from column 5: the
    // columns before it keep the negative, the rest is positive again.
    ASSERT_EQ(buf.SetColorMode(CImageBuffer::CM_NEGATIVE, CImageBuffer::CT_VERMILION), 1);
    buf.Update(img.get(), nullptr, 0);
    ASSERT_EQ(buf.SetColorMode(CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION), 1);
    const RECT area{5, 0, w, h};
    buf.Update(img.get(), &area, 0);
    for (int y = 0; y < h; y += 7)
      for (int x = 0; x < w; ++x) {
        Bgr want = expect(x, y);
        if (x < 5) want = {255 - want.b, 255 - want.g, 255 - want.r};
        if (!(StoredPixel(buf.GetDIB(), x, y) == want) && ++wrong < 10)
          ADD_FAILURE() << planes << " planes, area, pixel " << x << "," << y;
      }
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(ImageBufferTest, IntegerAndDoublePixelsShowTheirPhysicalValues) {
  struct Type {
    int bits, isSigned;
    double bscale, bzero;
  } types[] = {{8, 0, 1, 0},  {16, 1, 2, 100}, {16, 0, 1, 0}, {32, 1, 0.5, -3},
               {32, 0, 1, 0}, {-64, 1, 1, 0},  {-32, 1, 3, 1}};
  for (const Type& t : types) {
    CRalImage img(5, 1, t.bits, 1, t.bscale, t.bzero, t.isSigned);
    const std::vector<double> phys = {100, 150, 170, 180, 250};
    ASSERT_EQ(img.SetPhysicalRow(0, 0, phys.data()), 1);
    img.SetLevel(0, 120, 220);
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(24, &img, nullptr, nullptr, nullptr), 1);
    buf.Update(&img, nullptr, 0);
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(StoredPixel(buf.GetDIB(), x, 0),
                Grey(RefLinear(static_cast<float>(img.GetPixel(x, 0, 0)), 120, 220)))
          << "bits " << t.bits << " pixel " << x;
  }
  // Doubles beyond the float range saturate instead of overflowing the conversion.
  CRalImage big(2, 1, -64, 1, 1.0, 0.0, 1);
  const std::vector<double> huge = {1e300, -1e300};
  ASSERT_EQ(big.SetPhysicalRow(0, 0, huge.data()), 1);
  big.SetLevel(0, 0, 1);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(24, &big, nullptr, nullptr, nullptr), 1);
  buf.Update(&big, nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 0, 0), Grey(255));
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 1, 0), Grey(0));
}

TEST_F(ImageBufferTest, MemoryBitmapIgnoresLogScaleAndColourModes) {
  auto img = MakeImage(3, 1, 1, [](int x, int, int) { return float(x * 100); });
  CImageBuffer buf(0);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  buf.SetLogScale(1);
  buf.SetColorMode(CImageBuffer::CM_NEGATIVE, CImageBuffer::CT_VERMILION);
  buf.Update(img.get(), nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 1, 0), Grey(100));
  auto* mem = dynamic_cast<CMemoryDIB*>(buf.GetDIB());
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(mem->GetImageAdr32(2, 0)[3], 0);  // the fourth byte is not written
}

TEST_F(ImageBufferTest, OddImagesNeverBreakTheBuffer) {
  CImageBuffer buf(1);
  EXPECT_EQ(buf.Create(32, nullptr, nullptr, nullptr, nullptr), 0);
  buf.Update(nullptr, nullptr, 1);
  CRalImage empty;
  EXPECT_EQ(buf.Create(32, &empty, nullptr, nullptr, nullptr), 0);
  buf.Update(&empty, nullptr, 1);
  auto img = MakeImage(4, 4, 1, [](int x, int, int) { return x == 1 ? kNaN : float(x); });
  EXPECT_EQ(buf.Create(12, img.get(), nullptr, nullptr, nullptr), 0);  // no such screen
  EXPECT_EQ(buf.GetWidth(), 0);
  buf.Update(img.get(), nullptr, 0);  // no bitmap: nothing to do
  // A row wider than a pager block (a long spectrum) is stored in wider blocks.
  CRalImage wide(100000, 1, 8, 1, 1, 0, 1);
  EXPECT_EQ(buf.Create(32, &wide, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(buf.GetWidth(), 100000);
  // NaN levels and NaN pixels map to 0; the image replaced by a smaller one is clamped.
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  img->SetLevel(0, std::numeric_limits<double>::quiet_NaN(), 3);
  buf.SetLogScale(1);
  buf.Update(img.get(), nullptr, 0);
  buf.SetLogScale(0);
  buf.Update(img.get(), nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 1, 0), Grey(0));
  auto small = MakeImage(2, 2, 1, [](int, int, int) { return 255.0f; });
  buf.Update(small.get(), nullptr, 0);
  EXPECT_EQ(StoredPixel(buf.GetDIB(), 1, 1), Grey(255));
}

// ---- screen geometry -------------------------------------------------------------------

TEST_F(ImageBufferTest, ScreenGeometryOfMarks) {
  auto img = MakeImage(10, 7, 1, [](int, int, int) { return 0.0f; });
  CViewInfo view;
  view.SetImageSize(10, 7);
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, img.get(), nullptr, nullptr, nullptr), 1);
  buf.SetViewInfo(&view);
  buf.UpdateClientSize(100, 40);
  struct Case {
    int mag;
    SIZE reduced, render;
  } sizes[] = {{1, {10, 7}, {10, 7}},
               {3, {10, 7}, {30, 21}},
               {0, {5, 4}, {5, 4}},
               {-1, {4, 3}, {4, 3}},
               {16, {10, 7}, {160, 112}}};
  for (const Case& c : sizes) {
    ASSERT_TRUE(view.SetMag(c.mag, -1, -1) || view.GetMag() == c.mag);
    EXPECT_EQ(buf.GetReducedSize(), c.reduced) << c.mag;
    EXPECT_EQ(buf.GetRenderSize(), c.render) << c.mag;
  }
  // Code 3, client 100 × 40: centring offsets (100 − 30) / 2 and (40 − 21) / 2.
  view.SetMag(3, -1, -1);
  buf.SetScrollOffset(5, 2);
  EXPECT_EQ(buf.CalcScreenPt(POINT{2, 1}).x, 2 * 3 + 1 + 35 - 5);
  EXPECT_EQ(buf.CalcScreenPt(POINT{2, 1}).y, 1 * 3 + 1 + 9 - 2);
  EXPECT_EQ(buf.CalcScreenPtLeft(2, 1), 6 + 35 - 5);
  EXPECT_EQ(buf.CalcScreenPtRight(2, 1), 8 + 35 - 5);
  EXPECT_EQ(buf.CalcScreenPtTop(POINT{2, 1}), 3 + 9 - 2);
  EXPECT_EQ(buf.CalcScreenPtBottom(POINT{2, 1}), 5 + 9 - 2);
  EXPECT_EQ(buf.CalcScreenPt(2.4, 1.0).x, 7 + 1 + 35 - 5);  // trunc(2.4 × 3) + 1
  // Code −1: three image pixels per screen pixel; the double form rounds first.
  view.SetMag(-1, -1, -1);
  buf.SetScrollOffset(0, 0);
  const int off = (100 - 4) / 2;
  EXPECT_EQ(buf.CalcScreenPt(POINT{7, 0}).x, 7 / 3 + off);
  EXPECT_EQ(buf.CalcScreenPt(8.6, 0.0).x, 9 / 3 + off);
  EXPECT_EQ(buf.CalcScreenPtLeft(7, 0), 2 + off);
  EXPECT_EQ(buf.CalcScreenPtRight(7, 0), 2 + off);
  EXPECT_EQ(buf.CalcScreenPt(kNaN, 0.0).x, off);  // no crash on NaN
  // Centring scroll: only along an axis where the image is larger than the client area.
  view.SetMag(16, -1, -1);
  const POINT s = buf.CalcCenteringScrollPos(POINT{5, 3});
  EXPECT_EQ(s.x, 5 * 16 - 50);
  EXPECT_EQ(s.y, 3 * 16 - 20);
  view.SetMag(1, -1, -1);
  EXPECT_EQ(buf.CalcCenteringScrollPos(POINT{5, 3}).x, 0);
  RECT r;
  EXPECT_EQ(buf.OnGetSelectedRect(&r), -1);
  EXPECT_EQ(r.right, 10);
  EXPECT_EQ(r.bottom, 7);
}

}  // namespace
