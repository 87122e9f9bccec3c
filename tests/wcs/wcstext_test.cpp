// The texts of world coordinates where rounding goes wrong: carries from the shown tenth
// of a second into minutes, hours and the wrap at 24 hours, the sign of a declination
// that rounds to zero, the other longitude pairs in degrees, and the logarithmic form.
#include <gtest/gtest.h>

#include <string>

#include "imagemodel/image.h"
#include "wcs/wcstext.h"

namespace {

struct TextCase {
  const char* name;
  const char* ctype1;
  const char* ctype2;
  double a, d;
  const char* text;
};

class CelestialTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(CelestialTextTest, ShowsTheRoundedAngles) {
  const TextCase& c = GetParam();
  CImage image;
  image.SetCType(0, c.ctype1);
  image.SetCType(1, c.ctype2);
  EXPECT_EQ(WcsCelestialText(image, tagAD{c.a, c.d}), c.text);
}

// 1 s of time is 1/240 degree; 1 arc second 1/3600 degree.
INSTANTIATE_TEST_SUITE_P(
    Rounding, CelestialTextTest,
    ::testing::Values(TextCase{"plain", "'RA---TAN'", "'DEC--TAN'", 83.8221, -5.3911,
                               "赤道座標 赤経:05h35m17s.3 赤緯:-05ﾟ23'28\".0"},
                      TextCase{"secondsCarryIntoMinutes", "'RA---TAN'", "'DEC--TAN'", 59.96 / 240.0,
                               (59 * 60 + 59.96) / 3600.0,
                               "赤道座標 赤経:00h01m00s.0 赤緯:+01ﾟ00'00\".0"},
                      TextCase{"wrapsAt24Hours", "'RA---TAN'", "'DEC--TAN'", 360.0 - 0.01 / 240.0,
                               0.0, "赤道座標 赤経:00h00m00s.0 赤緯:+00ﾟ00'00\".0"},
                      TextCase{"smallNegativeDeclinationKeepsItsSign", "'RA---TAN'", "'DEC--TAN'",
                               0.0, -0.2 / 3600.0, "赤道座標 赤経:00h00m00s.0 赤緯:-00ﾟ00'00\".2"},
                      TextCase{"galactic", "'GLON-ARC'", "'GLAT-ARC'", 359.99, -0.5,
                               "銀河座標 銀経:   359.9900[degree]  銀緯:    -0.5000[degree]"},
                      TextCase{"ecliptic", "'ELON-TAN'", "'ELAT-TAN'", 12.25, 3.0,
                               "黄道座標 黄経:    12.2500[degree]  黄緯:    +3.0000[degree]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpectralTextTest, NamesTheAxisAndShowsTheLogarithmOfALogAxis) {
  CImage image;
  image.SetCType(0, "'WAVE-LOG'");
  image.SetCUnit(0, "'m'");
  image.SetCType(1, "'FREQ'");
  image.SetCUnit(1, "'Hz'");
  EXPECT_EQ(WcsSpectralText(image, tagAD{1e-6, 0.0}, WCS_KIND_SPECTRAL_LOG, 1, 0),
            "波長:    -6.0000[m](log)");
  EXPECT_EQ(WcsSpectralText(image, tagAD{0.0, 1.4e9}, WCS_KIND_SPECTRAL_LINEAR, 0, 1),
            "周波数:1400000000.0000[Hz]");
  EXPECT_EQ(WcsSpectralText(image, tagAD{5e-7, 2.5}, WCS_KIND_SPECTRAL_LINEAR, 1, 1),
            "波長:     0.0000[m]  周波数:     2.5000[Hz]");
}

}  // namespace
