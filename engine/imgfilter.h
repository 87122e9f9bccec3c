// The contour filter: an image becomes a map of its contour levels.
#pragma once

#include "platform/wintypes.h"

class CRalImage;

// Levels are spaced `step` apart from the plane's smallest value m (blanks and NaN left
// out): a pixel of value v lies in band k = floor((v − m) / step).
// - mode 0 (bands): each pixel takes its band's lower level, m + k × step, so the image
//   shows flat terraces;
// - mode 1 (lines): a pixel with a 4-neighbour (left, right, above, below; inside the
//   image) in a higher band lies on the contour it crosses and takes that level,
//   m + (k + 1) × step; every other pixel takes m, so the lines stand on a dark ground.
// Blank and NaN pixels stay blank (NaN) and never make a line. The bands are those of the
// whole plane whatever rectangle is computed. Integer images round the levels to nearest.
class CImgFilter {
 public:
  explicit CImgFilter(CRalImage& image) : m_Image(image) {}
  // source: the image read, or null to work in place; it must match the image in width,
  // height and planes. rect (right and bottom exclusive, clamped) limits the pixels
  // written, null the whole image; the others keep the image's values. Returns 1, or 0
  // for a step that is not a positive finite number, another mode, a mismatch, a row that
  // cannot be reached or memory that runs out (the image is then as it was).
  int ContourFilter(double step, int mode, const CRalImage* source, const RECT* rect,
                    int showProgress);

 private:
  CRalImage& m_Image;
};
