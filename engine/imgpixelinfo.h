// Pixel statistics of a rectangle (plane means and the luminance mean), and the span
// reader the measurement tools use to read a few pixels of a row without converting the
// whole row.
#pragma once

#include "platform/wintypes.h"

class CImage;

// Physical values of pixels x0 … x0 + n − 1 of row y of a plane into out; blank pixels
// read as NaN. The span must lie inside the image. 0 when the row cannot be reached.
int ReadPhysicalSpan(const CImage& image, int x0, int y, int n, int plane, double* out);

class CImgPixelInfo {
 public:
  explicit CImgPixelInfo(const CImage& image) : m_Image(image) {}
  // Means of planes 0, 1 and 2 over the rectangle (right and bottom exclusive, clipped
  // to the image) and the mean luminance 0.299 R + 0.587 G + 0.114 B. An image of fewer
  // than three planes gives its plane 0 for all three and for the luminance. Blank and
  // NaN pixels are left out (of the luminance when any plane is blank). Any output may be
  // null. Returns the number of pixels taken into the luminance mean; 0 for an empty
  // rectangle, when nothing could be read or no pixel was valid (outputs then 0.0).
  long long Calc(const RECT& rect, double* mean0, double* mean1, double* mean2,
                 double* meanLum) const;

 private:
  const CImage& m_Image;
};
