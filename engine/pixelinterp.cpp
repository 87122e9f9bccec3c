// Values between pixel centres: the bilinear interpolation of the four neighbouring pixels,
// as the profile graph samples an image along a line.
#include <cmath>

#include "engine/ralimage.h"

namespace {

// Splits a clamped coordinate into the lower neighbour's index and the fraction towards the
// next one; at or past the last index the last two are used with the fraction 1.
void Split(double v, int n, int* index, double* fraction) {
  if (!(v > 0.0)) v = 0.0;  // NaN counts as the first pixel
  const double last = static_cast<double>(n - 1);
  if (v >= last) {
    *index = n >= 2 ? n - 2 : 0;
    *fraction = n >= 2 ? 1.0 : 0.0;
    return;
  }
  *index = static_cast<int>(v);
  *fraction = v - *index;
}

}  // namespace

double CRalImage::GetPixelInterpolated(double x, double y, int plane) const {
  const int width = GetWidth(), height = GetHeight();
  if (width <= 0 || height <= 0) return 0.0;
  int ix = 0, iy = 0;
  double fx = 0.0, fy = 0.0;
  Split(x, width, &ix, &fx);
  Split(y, height, &iy, &fy);
  if (fx == 0.0 && fy == 0.0) return GetPixel(ix, iy, plane);
  if (fx == 1.0 && fy == 0.0) return GetPixel(ix + 1, iy, plane);
  if (fx == 0.0 && fy == 1.0) return GetPixel(ix, iy + 1, plane);
  if (fx == 1.0 && fy == 1.0) return GetPixel(ix + 1, iy + 1, plane);
  // A neighbour whose weight is zero is not read: it may lie past a one-pixel-wide edge.
  double v = 0.0;
  const double w00 = (1.0 - fy) * (1.0 - fx), w01 = fy * (1.0 - fx), w10 = fx * (1.0 - fy),
               w11 = fx * fy;
  if (w00 != 0.0) v += w00 * GetPixel(ix, iy, plane);
  if (w01 != 0.0) v += w01 * GetPixel(ix, iy + 1, plane);
  if (w10 != 0.0) v += w10 * GetPixel(ix + 1, iy, plane);
  if (w11 != 0.0) v += w11 * GetPixel(ix + 1, iy + 1, plane);
  return v;
}
