// Real FITS files (the test data of Debian's python3-astropy) read by the FITS reader and
// rendered with known levels give exactly the bytes of the mapping rules, computed here
// from the file's own bytes: header parsed on its own, big-endian pixels, physical value
// raw × BSCALE + BZERO. Both the stored bitmap and the bands a painter receives are
// checked, linear and logarithmic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "display/imagebuffer.h"
#include "display/viewinfo.h"
#include "engine/ralimage.h"
#include "fits/fits.h"
#include "settings/registry.h"
#include "tests/display/display_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kAstropy = "/usr/lib/python3/dist-packages/astropy";

// What the test needs of a FITS file, read without the reader under test.
struct RawFits {
  int bits = 0, width = 0, height = 0;
  double bscale = 1, bzero = 0;
  std::vector<double> physical;  // file order: first file row first
};

double CardNumber(const std::string& card) {
  return std::strtod(card.c_str() + 10, nullptr);
}

RawFits ParseFits(const std::string& bytes) {
  RawFits f;
  std::size_t pos = 0;
  for (;; pos += 80) {
    if (pos + 80 > bytes.size()) return RawFits{};
    const std::string card = bytes.substr(pos, 80);
    const std::string key = card.substr(0, 8);
    if (key == "END     ") break;
    if (key == "BITPIX  ") f.bits = static_cast<int>(CardNumber(card));
    if (key == "NAXIS1  ") f.width = static_cast<int>(CardNumber(card));
    if (key == "NAXIS2  ") f.height = static_cast<int>(CardNumber(card));
    if (key == "BSCALE  ") f.bscale = CardNumber(card);
    if (key == "BZERO   ") f.bzero = CardNumber(card);
  }
  const std::size_t data = (pos / 2880 + 1) * 2880;
  const std::size_t bytesPerPixel = static_cast<std::size_t>(std::abs(f.bits) / 8);
  const std::size_t count = static_cast<std::size_t>(f.width) * f.height;
  if (data + count * bytesPerPixel > bytes.size()) return RawFits{};
  for (std::size_t i = 0; i < count; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + data + i * bytesPerPixel);
    std::uint64_t u = 0;
    for (std::size_t k = 0; k < bytesPerPixel; ++k) u = (u << 8) | p[k];
    double raw = 0;
    switch (f.bits) {
      case 8:
        raw = static_cast<double>(u);
        break;
      case 16:
        raw = static_cast<std::int16_t>(u);
        break;
      case 32:
        raw = static_cast<std::int32_t>(u);
        break;
      case -32: {
        const auto w = static_cast<std::uint32_t>(u);
        float v;
        std::memcpy(&v, &w, 4);
        raw = v;
        break;
      }
      case -64: {
        double v;
        std::memcpy(&v, &u, 8);
        raw = v;
        break;
      }
    }
    f.physical.push_back(raw * f.bscale + f.bzero);
  }
  return f;
}

// The display byte rules, from their statement.
int LinearByte(float v, double lo, double hi) {
  const float low = static_cast<float>(lo), high = static_cast<float>(hi);
  const float scale = static_cast<float>(255.0 / (hi - lo));
  if (v <= low) return 0;
  if (v >= high) return 255;
  const float t = (v - low) * scale;
  if (!(t >= 0)) return 0;
  return t >= 254 ? 254 : static_cast<int>(t);
}

int LogByte(float v, double lo, double hi) {
  float low = static_cast<float>(lo), high = static_cast<float>(hi);
  if (high > 0 && low <= 0) low = high * 0.01f;
  if (high <= 0) low = 1, high = 100;
  if (v <= low) return 0;
  if (v >= high) return 255;
  if (!(v > 0)) return 0;
  const float logLow = static_cast<float>(std::log10(double(low)));
  const float scale = static_cast<float>(255.0 / (std::log10(double(high)) - logLow));
  const double t = (std::log10(double(v)) - logLow) * scale;
  if (!(t >= 0)) return 0;
  return t >= 254 ? 254 : static_cast<int>(t);
}

class FitsRenderTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    path_ = std::string(kAstropy) + GetParam();
    if (!std::filesystem::exists(path_)) GTEST_SKIP() << "not installed: " << path_;
    raw_ = ParseFits(ReadFileOrEmpty(path_));
    ASSERT_GT(raw_.width, 0) << path_;
    // First file row at the bottom of the image, the reader's convention for FITS.
    ASSERT_EQ(CRegistry::Write("IO", "FitsBottomUp", 1, CRegistry::TYPE_INT), 1);
    ASSERT_EQ(CFits::Read(img_, path_, 1, 0, 0, 0, 0, nullptr, "", 1), FITS_OK);
    ASSERT_EQ(img_.GetWidth(), raw_.width);
    ASSERT_EQ(img_.GetHeight(), raw_.height);
    // Levels at the 10th and 90th percentile of the finite values: some pixels below,
    // some above, most between, whatever the distribution.
    std::vector<double> sorted;
    for (double v : raw_.physical)
      if (std::isfinite(v)) sorted.push_back(v);
    ASSERT_FALSE(sorted.empty());
    std::sort(sorted.begin(), sorted.end());
    lo_ = sorted[sorted.size() / 10];
    hi_ = sorted[sorted.size() * 9 / 10];
    ASSERT_LT(lo_, hi_);
    img_.SetLevel(0, lo_, hi_);
  }
  // The file value shown at image pixel (x, y).
  float Value(int x, int y) const {
    const int fileRow = raw_.height - 1 - y;
    return static_cast<float>(raw_.physical[std::size_t(fileRow) * raw_.width + x]);
  }

  ScopedConfigHome home_;
  std::string path_;
  RawFits raw_;
  CRalImage img_;
  double lo_ = 0, hi_ = 0;
};

TEST_P(FitsRenderTest, StoredBytesAreTheMappingOfTheFileValues) {
  for (int log = 0; log <= 1; ++log) {
    CImageBuffer buf(1);
    ASSERT_EQ(buf.Create(32, &img_, nullptr, nullptr, nullptr), 1);
    buf.SetLogScale(log);
    buf.Update(&img_, nullptr, 0);
    int below = 0, above = 0, between = 0;
    for (int y = 0; y < raw_.height; ++y)
      for (int x = 0; x < raw_.width; ++x) {
        const float v = Value(x, y);
        const int want = log ? LogByte(v, lo_, hi_) : LinearByte(v, lo_, hi_);
        ASSERT_EQ(StoredPixel(buf.GetDIB(), x, y), Grey(want))
            << path_ << (log ? " log" : " linear") << " at " << x << "," << y << " value " << v;
        (want == 0 ? below : want == 255 ? above : between)++;
      }
    EXPECT_GT(below, 0);
    EXPECT_GT(above, 0);
    EXPECT_GT(between, raw_.width);
  }
}

TEST_P(FitsRenderTest, PainterBandsCarryTheSameBytes) {
  CImageBuffer buf(1);
  ASSERT_EQ(buf.Create(32, &img_, nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(buf.SetColorMode(CImageBuffer::CM_NEGATIVE, CImageBuffer::CT_VERMILION), 1);
  buf.Update(&img_, nullptr, 0);
  CViewInfo view;
  view.SetWindowSize(1000, 1000);
  view.SetImageSize(raw_.width, raw_.height);
  int rows = 0;
  ASSERT_EQ(view.ShowImage(
                *buf.GetDIB(), nullptr,
                [&](const DIBBand& b) {
                  ASSERT_EQ(b.bitsPerPixel, 32);
                  for (int r = 0; r < b.height; ++r, ++rows)
                    for (int x = 0; x < b.width; ++x) {
                      const std::uint8_t* p = b.bits + r * b.stride + 4 * x;
                      const int want =
                          255 - LinearByte(Value(b.source.left + x, b.source.top + r), lo_, hi_);
                      ASSERT_EQ(p[0], want) << b.source.left + x << "," << b.source.top + r;
                      ASSERT_EQ(p[1], want);
                      ASSERT_EQ(p[2], want);
                      ASSERT_EQ(p[3], 255);
                    }
                }),
            1);
  EXPECT_EQ(rows, raw_.height);
}

INSTANTIATE_TEST_SUITE_P(AstropyFiles, FitsRenderTest,
                         ::testing::Values("/io/fits/tests/data/scale.fits",
                                           "/modeling/tests/data/1904-66_AZP.fits"),
                         [](const auto& info) {
                           return std::string(info.index == 0 ? "ScaledShorts" : "Floats");
                         });

}  // namespace
