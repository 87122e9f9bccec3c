// Numbers at the precision a step size implies: the decimals of a step, values cut to
// them, and their text. Levels and pixel values of any magnitude go through here, counts
// in the tens of thousands as well as flux densities of 1e-18 or sums of 1e+20, so none
// of these rules caps the decimals or adds a fixed amount.
#pragma once

#include <string>

class CValueStep {
 public:
  // floor(log10(1 / step)); 0 when that is negative or the step is not a positive finite
  // number. No upper cap: a step of 1e-21 gives 21.
  static int Decimals(double step);

  // floor(value × 10^d) / 10^d with d = Decimals(step): cut, not rounded. A value within
  // rounding error of a step boundary (12.34 held as 12.3399…) stays on it, and a value
  // too large for the cut to change comes back as it is.
  static double Cut(double value, double step);

  // The value at the precision of the step:
  // - fixed notation with Decimals(step) decimals ("%.<d>f") when that shows the value
  //   sensibly: 1e-4 ≤ |value| < 1e15 and no more than 17 significant digits (what a
  //   double holds); zero likewise while its decimals stay within 17 digits, else "0";
  // - otherwise e-notation with the significant digits the step implies, at least 6 and
  //   at most 17 ("%.<p−1>e", trailing zeros kept as the fixed form keeps them):
  //   1.23456789e-18 with the step value / 1000 reads "1.23457e-18".
  // A value that the decimals of the step would round to zero takes the decimals of the
  // step's size instead (a negative value has a negative step and so no decimals: −0.3
  // would read "-0"; it reads "-0.300", and −3.2e-19 "-3.20000e-19"). With the step
  // value / 1000 a non-zero value therefore never reads as 0 or −0.
  static std::string Text(double value, double step);

  // The value in e-notation within width characters, with as many significant digits as
  // fit: exponent without "+" or leading zeros, trailing zeros of the fraction dropped
  // ("1.2346e-18" needs 10, "1.235e-18" 9, "1e20" 4). Never empty; may exceed width only
  // when even one digit does not fit.
  static std::string Exponent(double value, int width);
};
