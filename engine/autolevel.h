// Automatic display levels from robust statistics of the image.
#pragma once

#include <vector>

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

namespace autolevel {

// The median of v, which must not be empty and is reordered: the middle value, or for an
// even count the mean of the two middle ones. Samples that are all whole (or all half)
// numbers of a modest range, as those of integer frames and their deviations are, are
// counted rather than partly sorted; the answer is the same.
double SampleMedian(std::vector<double>& v);

}  // namespace autolevel
