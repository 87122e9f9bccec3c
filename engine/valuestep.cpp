// The decimals of a step, the cut to them and the texts of values. Fixed notation is the
// form for counts and ordinary physical values; e-notation takes over where fixed
// notation would need more digits than a double holds or would hide the value behind
// leading zeros (fluxes of 1e-18, noise around zero) or trailing ones (1e+20).
#include "engine/valuestep.h"

#include <algorithm>
#include <cmath>

#include "platform/clocale.h"

namespace {

// Significant digits a double holds; fixed texts longer than this show noise.
constexpr int kMaxDigits = 17;
// At least this many significant digits in e-notation.
constexpr int kMinExpDigits = 6;

// floor(log10(1 / step)) without a floor at 0; NaN for a step that is not positive.
double SignedDecimals(double step) {
  if (!(step > 0) || !std::isfinite(step)) return NAN;
  const double inverse = 1.0 / step;
  // Below about 1e-308 the inverse overflows; floor(-x) = -ceil(x) gives the same.
  return std::isfinite(inverse) ? std::floor(std::log10(inverse)) : -std::ceil(std::log10(step));
}

// value × 10^e, as a division by 10^-e for negative e (powers of ten up to 1e22 are
// exact), in factors that stay finite for exponents beyond ±300.
double TimesPow10(double value, int e) {
  while (e > 300) {
    value *= 1e300;
    e -= 300;
  }
  while (e < -300) {
    value /= 1e300;
    e += 300;
  }
  return e >= 0 ? value * std::pow(10.0, e) : value / std::pow(10.0, -e);
}

// Exponent without "+" or leading zeros, fraction without trailing zeros.
std::string Compact(const std::string& e) {
  const std::size_t at = e.find('e');
  if (at == std::string::npos) return e;
  std::string mantissa = e.substr(0, at);
  if (mantissa.find('.') != std::string::npos) {
    while (mantissa.back() == '0') mantissa.pop_back();
    if (mantissa.back() == '.') mantissa.pop_back();
  }
  std::string exponent = e.substr(at + 1);
  std::string sign;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    if (exponent[0] == '-') sign = "-";
    exponent.erase(0, 1);
  }
  const std::size_t first = exponent.find_first_not_of('0');
  exponent = first == std::string::npos ? "0" : exponent.substr(first);
  return mantissa + "e" + sign + exponent;
}

// floor(value × 10^d) / 10^d, d of either sign.
double CutToDecimals(double value, int d) {
  const double scaled = TimesPow10(value, d);
  // Beyond 2^52 steps every double is already whole: nothing to cut.
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 0x1p52) return value;
  const double nearest = std::round(scaled);
  const double cut = std::fabs(scaled - nearest) < 1e-9 * std::max(1.0, std::fabs(scaled))
                         ? nearest
                         : std::floor(scaled);
  return TimesPow10(cut, -d);
}

}  // namespace

int CValueStep::Decimals(double step) {
  const double d = SignedDecimals(step);
  if (!(d > 0)) return 0;
  // 10^-400 is below the smallest double: no step asks for more.
  return static_cast<int>(std::min(d, 400.0));
}

double CValueStep::Cut(double value, double step) {
  if (!std::isfinite(value)) return value;
  return CutToDecimals(value, Decimals(step));
}

std::string CValueStep::Text(double value, double step) {
  if (!std::isfinite(value)) return FormatC("%f", value);
  if (value == 0) {
    const int d = Decimals(step);
    return d + 1 <= kMaxDigits ? FormatC("%.*f", d, 0.0) : std::string("0");
  }
  const double size = std::fabs(value);
  const double precision = std::fabs(step);
  int d = Decimals(step);
  // A value the decimals round to zero takes the decimals of the step's size.
  if (size < 0.5 * std::pow(10.0, -d)) d = Decimals(precision);
  const int lead = static_cast<int>(std::floor(std::log10(size)));
  if (size >= 1e-4 && size < 1e15 && lead + 1 + d <= kMaxDigits) return FormatC("%.*f", d, value);
  int digits = kMinExpDigits;
  const double stepDecimals = SignedDecimals(precision);
  if (std::isfinite(stepDecimals))
    digits =
        static_cast<int>(std::clamp<double>(lead + 1 + stepDecimals, kMinExpDigits, kMaxDigits));
  return FormatC("%.*e", digits - 1, value);
}

std::string CValueStep::Exponent(double value, int width) {
  if (!std::isfinite(value)) return FormatC("%g", value);
  for (int digits = kMaxDigits; digits > 1; --digits) {
    std::string text = Compact(FormatC("%.*e", digits - 1, value));
    if (static_cast<int>(text.size()) <= width) return text;
  }
  return Compact(FormatC("%.0e", value));
}
