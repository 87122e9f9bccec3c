#include "engine/falsecolor.h"

#include <cmath>

namespace {

double Clamp(double v, double lo, double hi) {
  if (!(v >= lo)) return lo;  // also NaN
  return v > hi ? hi : v;
}

}  // namespace

int CImgFalseColor::GetFalseColor(double value, double saturation, double brightness, float* r,
                                  float* g, float* b) const {
  const double v = Clamp(value, 0.0, 255.0);
  const double s = Clamp(saturation, 0.0, 1.0);
  const double bright = Clamp(brightness, 0.0, 1.0);
  // Hue in sixths of the circle: 4 (blue) at value 0 down to 0 (red) at 255.
  const double h = (1.0 - v / 255.0) * 4.0;
  // The usual HSV to RGB conversion: chroma c, the second-largest component x, and the
  // offset m that brings the smallest component up to brightness × (1 − saturation).
  const double c = bright * s;
  const double x = c * (1.0 - std::fabs(std::fmod(h, 2.0) - 1.0));
  const double m = bright - c;
  double rr = 0, gg = 0, bb = 0;
  switch (static_cast<int>(h)) {  // h lies in 0..4
    case 0:
      rr = c, gg = x;
      break;
    case 1:
      rr = x, gg = c;
      break;
    case 2:
      gg = c, bb = x;
      break;
    case 3:
      gg = x, bb = c;
      break;
    default:  // exactly 4: pure blue
      bb = c;
      break;
  }
  if (r) *r = static_cast<float>((rr + m) * 255.0);
  if (g) *g = static_cast<float>((gg + m) * 255.0);
  if (b) *b = static_cast<float>((bb + m) * 255.0);
  return 1;
}
