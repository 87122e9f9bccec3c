// Automatic display levels from robust statistics of the image.
#pragma once

#include "platform/wintypes.h"

class CImage;

class CImgAutoLevel {
 public:
  // Sets the display levels of image from a background and noise estimate:
  // low = background − minSigma × sigma, high = background + maxSigma × sigma, kept
  // inside the data range. perPlane non-zero treats each plane of a colour image alone;
  // 0 measures the luminance and gives every plane the same levels. rect (0-based,
  // right and bottom exclusive) limits the measured area; null means the whole image.
  // Returns 1, or 0 when the image has no pixels to measure.
  static int Do(CImage& image, double minSigma, double maxSigma, int perPlane,
                const RECT* rect = nullptr);
};
