// The spectral-axis questions of the engine image and its unit conversions: axis choice,
// parsing of stored (quoted) types and units, SI prefixes, and which axes can drive the
// spectral false colour.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"

namespace {

class SpectralTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
  CRalImage img_;
};

}  // namespace

TEST_F(SpectralTest, UnitConversionsToMetres) {
  const double c = 299792458.0, h = 6.6260755e-34;
  EXPECT_DOUBLE_EQ(CRalImage::CalcFreq2WL(5e14), c / 5e14);
  EXPECT_NEAR(CRalImage::CalcFreq2WL(1.4204057517667e9), 0.21106114, 1e-8);  // the 21 cm line
  EXPECT_DOUBLE_EQ(CRalImage::CalcAngstrom2m(6562.8), 6.5628e-7);
  EXPECT_DOUBLE_EQ(CRalImage::CalcErg2J(1.0), 1e-7);
  EXPECT_DOUBLE_EQ(CRalImage::CalcEV2J(1.0), 1.60217733e-19);
  EXPECT_DOUBLE_EQ(CRalImage::CalcEner2WL(2.0), h * c / 2.0);
  // 1 eV is 1239.84 nm with these constants.
  EXPECT_NEAR(CRalImage::CalcEner2WL(CRalImage::CalcEV2J(1.0)), 1.2398424e-6, 1e-12);
  EXPECT_DOUBLE_EQ(CRalImage::CalcWavn2WL(2e6), 5e-7);
  EXPECT_TRUE(std::isinf(CRalImage::CalcFreq2WL(0.0)));
}

TEST_F(SpectralTest, UnitPrefixes) {
  struct Case {
    const char* unit;
    double factor;
    const char* base;
  } cases[] = {
      {"m", 1, "m"},
      {"nm", 1e-9, "m"},
      {"'um'", 1e-6, "m"},
      {"mm", 1e-3, "m"},
      {"cm", 1e-2, "m"},
      {"\xCE\xBCm", 1e-6, "m"},
      {"Hz", 1, "Hz"},
      {"MHz", 1e6, "Hz"},
      {"GHz", 1e9, "Hz"},
      {"THz", 1e12, "Hz"},
      {"eV", 1, "eV"},
      {"keV", 1e3, "eV"},
      {"J", 1, "J"},
      {"erg", 1, "erg"},
      {"Angstrom", 1, "Angstrom"},
      {"angstrom", 1, "Angstrom"},
      {"/cm", 100, "m-1"},
      {"cm-1", 100, "m-1"},
      {"/um", 1e6, "m-1"},
      {"m-1", 1, "m-1"},
      {"/mm", 1e3, "m-1"},
      {"log(m)", 1, "m"},
      {"log(Hz)", 1, "Hz"},
      {" 'log(nm)' ", 1e-9, "m"},
      {"", 1, ""},
      {"km/s", 0, ""},
      {"furlong", 0, ""},
      {"/", 0, ""},
      {"log()", 1, ""},
      {"xm", 0, ""},
  };
  for (const Case& c : cases) {
    std::string base = "unchanged";
    EXPECT_DOUBLE_EQ(CRalImage::AnalyzeUnitPrefix(c.unit, &base), c.factor) << c.unit;
    EXPECT_EQ(base, c.base) << c.unit;
  }
  EXPECT_DOUBLE_EQ(CRalImage::AnalyzeUnitPrefix("GHz", nullptr), 1e9);
}

TEST_F(SpectralTest, AxisInfoReadsQuotedTypesCodesAndLogUnits) {
  img_.SetCType(0, "'WAVE-LOG'");
  img_.SetCUnit(0, "'m       '");
  img_.SetCType(1, "FREQ");
  img_.SetCUnit(1, "log(Hz)");
  std::string type, unit;
  int isLog = -1;
  ASSERT_TRUE(img_.GetAxisInfo(0, &type, &unit, &isLog));
  EXPECT_EQ(type, "WAVE");
  EXPECT_EQ(unit, "m");
  EXPECT_EQ(isLog, 1);
  ASSERT_TRUE(img_.GetAxisInfo(1, &type, &unit, &isLog));
  EXPECT_EQ(type, "FREQ");
  EXPECT_EQ(unit, "log(Hz)");
  EXPECT_EQ(isLog, 1);
  img_.SetCType(1, "'WAVE-F2W'");
  img_.SetCUnit(1, "'nm'");
  ASSERT_TRUE(img_.GetAxisInfo(1, &type, nullptr, &isLog));
  EXPECT_EQ(isLog, 0);  // non-linear, not logarithmic
  EXPECT_FALSE(img_.GetAxisInfo(2, &type, &unit, &isLog));
  EXPECT_TRUE(type.empty());
  EXPECT_FALSE(img_.GetAxisInfo(-1, nullptr, nullptr, nullptr));
  CRalImage none;
  EXPECT_FALSE(none.GetAxisInfo(0, &type, &unit, &isLog));
}

TEST_F(SpectralTest, SpectralAxisChoice) {
  int axis = -1;
  EXPECT_FALSE(img_.IsSpectrum(&axis));
  img_.SetCType(0, "'RA---TAN'");
  img_.SetCType(1, "'DEC--TAN'");
  EXPECT_FALSE(img_.IsSpectrum(&axis));
  img_.SetCType(1, "'VRAD'");
  ASSERT_TRUE(img_.IsSpectrum(&axis));
  EXPECT_EQ(axis, 1);
  img_.SetCType(0, "'WAVE'");
  ASSERT_TRUE(img_.IsSpectrum(&axis));
  EXPECT_EQ(axis, 0);  // the first, without a display axis
  img_.SetDispAxis(2);
  ASSERT_TRUE(img_.IsSpectrum(&axis));
  EXPECT_EQ(axis, 1);  // the display axis wins
  img_.SetCType(0, "'LINEAR'");
  img_.SetDispAxis(1);
  ASSERT_TRUE(img_.IsSpectrum(&axis));
  EXPECT_EQ(axis, 1);  // a display axis that is not spectral does not count
  EXPECT_TRUE(img_.IsSpectrum(nullptr));
}

TEST_F(SpectralTest, FalseColourNeedsATypeThatBecomesAWavelength) {
  struct Case {
    const char* type;
    const char* unit;
    bool supported;
  } cases[] = {
      {"'WAVE'", "'Angstrom'", true}, {"'WAVE-LOG'", "'log(m)'", true},
      {"'AWAV'", "'nm'", true},       {"'WAVE'", "", true},
      {"'FREQ'", "'GHz'", true},      {"'FREQ'", "'m'", false},
      {"'ENER'", "'keV'", true},      {"'ENER'", "'erg'", true},
      {"'ENER'", "'J'", true},        {"'ENER'", "'Hz'", false},
      {"'WAVN'", "'/cm'", true},      {"'WAVN'", "'m'", false},
      {"'VRAD'", "'m/s'", false},     {"'VELO'", "'m/s'", false},
      {"'ZOPT'", "", false},          {"'BETA'", "", false},
      {"'WAVE'", "'parsec'", false},  {"'RA---TAN'", "'deg'", false},
  };
  for (const Case& c : cases) {
    CRalImage img;
    img.SetCType(0, c.type);
    if (*c.unit) img.SetCUnit(0, c.unit);
    EXPECT_EQ(img.IsSpectrumFalseColorSupported(), c.supported) << c.type << " " << c.unit;
  }
}

TEST_F(SpectralTest, LinearDisplayByteLimits) {
  // Levels 10 .. 20 with scale 255 / 10.
  const float low = 10, high = 20, scale = 25.5f;
  struct Case {
    float v;
    int byte;
  } cases[] = {{10, 0},
               {9, 0},
               {20, 255},
               {21, 255},
               {19.9999f, 254},
               {15, 127},
               {10.04f, 1},
               {10.03f, 0},
               {-1e30f, 0},
               {1e30f, 255},
               {std::numeric_limits<float>::quiet_NaN(), 0},
               {std::numeric_limits<float>::infinity(), 255},
               {-std::numeric_limits<float>::infinity(), 0}};
  for (const Case& c : cases)
    EXPECT_EQ(CRalImage::GetPixelGray256(&c.v, low, high, scale), c.byte) << c.v;
  // A scale that would reach 255 below the maximum still leaves 255 to the maximum.
  const float v = 0.99999994f;
  EXPECT_EQ(CRalImage::GetPixelGray256(&v, 0.0f, 1.0f, 256.0f), 254);
  // Levels whose range vanished in float: the minimum wins.
  const float big = 1e30f;
  EXPECT_EQ(CRalImage::GetPixelGray256(&big, big, big, 255.0f), 0);
}
