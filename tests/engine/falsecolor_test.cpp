// The rainbow scale: its ends and middle, that the hue runs one way only, and that odd
// values (out of range, NaN) land on the ends instead of producing garbage.
#include "engine/falsecolor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/temp_dir.h"

namespace {

struct Rgb {
  float r, g, b;
};

Rgb At(double value, double s = 1.0, double v = 1.0) {
  Rgb c{-1, -1, -1};
  EXPECT_EQ(CImgFalseColor().GetFalseColor(value, s, v, &c.r, &c.g, &c.b), 1);
  return c;
}

// Hue in degrees of a colour, from its components.
double Hue(const Rgb& c) {
  return std::fmod(
      std::atan2(std::sqrt(3.0) * (c.g - c.b), 2.0 * c.r - c.g - c.b) * 180.0 / M_PI + 360.0,
      360.0);
}

class FalseColorTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

}  // namespace

TEST_F(FalseColorTest, KeyValuesOfTheScale) {
  struct Case {
    double value;
    float r, g, b;
  } cases[] = {
      {0, 0, 0, 255},         // blue
      {63.75, 0, 255, 255},   // cyan
      {127.5, 0, 255, 0},     // green
      {191.25, 255, 255, 0},  // yellow
      {255, 255, 0, 0},       // red
      {-10, 0, 0, 255},       // below the scale: its first colour
      {1e9, 255, 0, 0},       // above: its last
      {std::numeric_limits<double>::quiet_NaN(), 0, 0, 255},
      {std::numeric_limits<double>::infinity(), 255, 0, 0},
  };
  for (const Case& c : cases) {
    Rgb got = At(c.value);
    EXPECT_NEAR(got.r, c.r, 1e-3) << c.value;
    EXPECT_NEAR(got.g, c.g, 1e-3) << c.value;
    EXPECT_NEAR(got.b, c.b, 1e-3) << c.value;
  }
}

TEST_F(FalseColorTest, HueFallsSteadilyFromBlueToRed) {
  double previous = 241.0;
  for (int v = 0; v <= 255; ++v) {
    Rgb c = At(v);
    EXPECT_NEAR(std::max({c.r, c.g, c.b}), 255.0f, 1e-3) << v;  // full brightness
    EXPECT_NEAR(std::min({c.r, c.g, c.b}), 0.0f, 1e-3) << v;    // full saturation
    const double h = Hue(c);
    EXPECT_LT(h, previous + 1e-9) << v;
    previous = h;
  }
}

TEST_F(FalseColorTest, SaturationAndBrightnessScaleTheColour) {
  Rgb half = At(127.5, 1.0, 0.5);  // green at half brightness
  EXPECT_NEAR(half.g, 127.5f, 1e-3);
  EXPECT_NEAR(half.r, 0.0f, 1e-3);
  Rgb grey = At(127.5, 0.0, 1.0);  // no saturation: white
  EXPECT_NEAR(grey.r, 255.0f, 1e-3);
  EXPECT_NEAR(grey.g, 255.0f, 1e-3);
  EXPECT_NEAR(grey.b, 255.0f, 1e-3);
  Rgb clamped = At(0, 7.0, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(clamped.r, 0.0f);
  EXPECT_EQ(clamped.g, 0.0f);
  EXPECT_EQ(clamped.b, 0.0f);
}
