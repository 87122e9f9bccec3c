// Decimals, cuts and texts of values at every magnitude: the classic results for counts,
// texts that keep six significant digits from 1e-38 to 1e+38 and never read 0 or -0 for
// a value that is not, cuts that scale with the value, and the tool bar's short
// e-notation.
#include "engine/valuestep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>

namespace {

double Parse(const std::string& text) {
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace

TEST(ValueStepTest, ClassicDecimalsCutsAndTexts) {
  struct Case {
    double value;
    const char* text;
  };
  // With the step value / 1000; values not above 0 have no decimals.
  for (const Case& c : {Case{123.456, "123"}, Case{1.5, "1.50"}, Case{0.5, "0.500"},
                        Case{0.012345, "0.0123"}, Case{1234.4, "1234"}, Case{-2.75, "-3"},
                        Case{-1234.4, "-1234"}, Case{0.0, "0"}, Case{65535.0, "65535"}})
    EXPECT_EQ(CValueStep::Text(c.value, c.value / 1000.0), c.text) << c.value;
  EXPECT_EQ(CValueStep::Text(3.14159, 0.001), "3.142");
  EXPECT_EQ(CValueStep::Text(3.9, 2), "4");
  EXPECT_EQ(CValueStep::Text(0.0, 0.01), "0.00");

  EXPECT_DOUBLE_EQ(CValueStep::Cut(12.3456, 0.01), 12.34);
  EXPECT_DOUBLE_EQ(CValueStep::Cut(12.3456, 5), 12.0);
  EXPECT_DOUBLE_EQ(CValueStep::Cut(-1.239, 0.1), -1.3);   // downwards, as floor does
  EXPECT_DOUBLE_EQ(CValueStep::Cut(12.34, 0.01), 12.34);  // a value on a step stays

  // No cap on the decimals, and no overflow for steps far below 1e-308.
  EXPECT_EQ(CValueStep::Decimals(0.01), 2);
  EXPECT_EQ(CValueStep::Decimals(5), 0);
  EXPECT_EQ(CValueStep::Decimals(1.2e-21), 20);
  EXPECT_EQ(CValueStep::Decimals(1e-300), 300);
  EXPECT_EQ(CValueStep::Decimals(4.9e-324), 323);
  for (double bad : {0.0, -1.0, HUGE_VAL, double(NAN)})
    EXPECT_EQ(CValueStep::Decimals(bad), 0) << bad;
}

TEST(ValueStepTest, FluxesAndHugeValuesKeepSixSignificantDigits) {
  EXPECT_EQ(CValueStep::Text(1.23456789e-18, 1.23456789e-21), "1.23457e-18");
  EXPECT_EQ(CValueStep::Text(-3.2e-19, -3.2e-22), "-3.20000e-19");
  EXPECT_EQ(CValueStep::Text(1e20, 1e17), "1.00000e+20");
  // A negative value that its missing decimals would show as "-0" takes the decimals of
  // its step's size.
  EXPECT_EQ(CValueStep::Text(-0.3, -0.0003), "-0.300");
  // The level dialog's end labels: the step of one histogram column.
  EXPECT_EQ(CValueStep::Text(8e-19, 1.4e-18 / 300), "8.00000e-19");
  // A narrow range far from zero asks for more digits than six.
  EXPECT_EQ(CValueStep::Text(1.000001e-18, 1e-26), "1.00000100e-18");
  EXPECT_EQ(CValueStep::Text(0.0, 1e-21), "0");

  // Every magnitude and both signs, as the information bar formats a pixel value: the
  // text reads back within half a unit of its last digit, never as 0, and switches to
  // e-notation exactly outside 1e-4 … 1e15.
  const std::regex exponent(R"(^-?\d\.\d{5}e[+-]\d{2,3}$)");
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  for (int e = -38; e <= 38; ++e) {
    for (int trial = 0; trial < 20; ++trial) {
      const double size = mantissa(rng) * std::pow(10.0, e);
      for (double value : {size, -size}) {
        const std::string text = CValueStep::Text(value, value / 1000.0);
        const double back = Parse(text);
        ASSERT_NE(back, 0.0) << value << " shown as " << text;
        ASSERT_EQ(std::signbit(back), std::signbit(value)) << value << " shown as " << text;
        const bool small = size < 1e-4, huge = size >= 1e15;
        if (small || huge) {
          ASSERT_TRUE(std::regex_match(text, exponent)) << value << " shown as " << text;
          ASSERT_LE(std::fabs(back - value), 5.0000001e-6 * size) << text;
        } else if (value > 0) {
          // Three or four significant digits, as the step value / 1000 implies.
          const int d = CValueStep::Decimals(value / 1000.0);
          ASSERT_EQ(text.find('e'), std::string::npos) << text;
          ASSERT_LE(std::fabs(back - value), 0.5000001 * std::pow(10.0, -d)) << text;
          ASSERT_LE(std::fabs(back - value), 5e-3 * size) << text;
        } else {
          // Negative values have no decimals while they are at least one half.
          ASSERT_LE(std::fabs(back - value), size >= 0.5 ? 0.5 : 5e-3 * size) << text;
        }
      }
    }
  }
}

TEST(ValueStepTest, CutsScaleWithTheValue) {
  // The same value and step at every scale: the cut is the same digits (up to steps of
  // 1, where the decimals stop at none).
  for (int k = -40; k <= 2; ++k) {
    const double f = std::pow(10.0, k);
    EXPECT_NEAR(CValueStep::Cut(1234.56789 * f, 0.01 * f), 1234.56 * f, 1e-12 * 1234.56 * f) << k;
    EXPECT_NEAR(CValueStep::Cut(-0.0123456 * f, 1e-5 * f), -0.01235 * f, 1e-12 * 0.01235 * f) << k;
  }
  // Steps above 1 cut to whole units, at any magnitude.
  EXPECT_EQ(CValueStep::Cut(4721.1378, 4.9), 4721.0);
  EXPECT_EQ(CValueStep::Cut(-187.2, 4.9), -188.0);
  EXPECT_EQ(CValueStep::Cut(1e300, 1e305), 1e300);

  // A cut never rises and loses less than one unit of its last decimal.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> unit(-1.0, 1.0), exponent(-300, 300);
  for (int trial = 0; trial < 2000; ++trial) {
    const double scale = std::pow(10.0, exponent(rng));
    const double value = unit(rng) * scale, step = std::fabs(unit(rng)) * scale / 1024.0;
    const double cut = CValueStep::Cut(value, step);
    const double last = std::pow(10.0, -CValueStep::Decimals(step));
    const double rounding = 1e-9 * std::max(last, std::fabs(value));
    ASSERT_LE(cut, value + rounding) << value << " step " << step;
    ASSERT_LT(value - cut, last + rounding) << value << " step " << step;
  }
  EXPECT_EQ(CValueStep::Cut(1e20, 1e-20), 1e20);  // no digits left to cut
  EXPECT_EQ(CValueStep::Cut(1e-300, 1e-320), 1e-300);
  EXPECT_TRUE(std::isnan(CValueStep::Cut(NAN, 1)));
}

TEST(ValueStepTest, ExponentFitsItsWidth) {
  EXPECT_EQ(CValueStep::Exponent(1.23456789e-18, 8), "1.23e-18");
  EXPECT_EQ(CValueStep::Exponent(-3.2e-19, 8), "-3.2e-19");
  EXPECT_EQ(CValueStep::Exponent(1e20, 8), "1e20");
  EXPECT_EQ(CValueStep::Exponent(123456789.0, 8), "1.2346e8");
  EXPECT_EQ(CValueStep::Exponent(-1.23456e-300, 8), "-1e-300");
  EXPECT_EQ(CValueStep::Exponent(-1.23456e-300, 9), "-1.2e-300");
  // Within the width, as close as that many characters can come.
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0), exponent(-300, 300);
  for (int trial = 0; trial < 2000; ++trial) {
    const double value = mantissa(rng) * std::pow(10.0, exponent(rng));
    for (int width : {8, 12}) {
      const std::string text = CValueStep::Exponent(value, width);
      ASSERT_LE(static_cast<int>(text.size()), width) << text;
      const std::size_t e = text.find('e');
      ASSERT_NE(e, std::string::npos) << text;
      // Digits of the mantissa: the precision it promises.
      int digits = 0;
      for (std::size_t i = 0; i < e; ++i) digits += text[i] >= '0' && text[i] <= '9';
      const int spare = width - static_cast<int>(text.size());
      const double lead = std::pow(10.0, std::floor(std::log10(std::fabs(value))));
      ASSERT_LE(std::fabs(Parse(text) - value), 0.5000001 * lead * std::pow(10.0, 1 - digits))
          << value << " as " << text;
      // No digit left out that would have fitted (trailing zeros are dropped).
      if (spare > 0 && digits > 1) {
        ASSERT_LE(std::fabs(Parse(text) - value), 0.5000001 * lead * std::pow(10.0, -digits))
            << value << " as " << text << " leaves room";
      }
    }
  }
}
