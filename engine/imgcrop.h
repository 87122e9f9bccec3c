// Cutting an image down to a rectangle. The operation is built on the stack, used once.
#pragma once

#include "platform/wintypes.h"

class CRalImage;

// Replaces an image in place by the part inside a rectangle: every plane, the stored values
// as they are (pixel type, scaling and blanks kept), levels, header and extensions kept. The
// world coordinates move with the pixels, so each remaining pixel keeps its sky position.
// The original width and height stay recorded, which the FITS writer keeps as commented
// cards.
class CImgCrop {
 public:
  // rect: 0-based, right and bottom exclusive, clamped to the image. showProgress non-zero
  // reports through the image's progress display. Returns 1; 0 for an empty image or an
  // empty rectangle (image unchanged), or when memory runs out or rows cannot be reached
  // (image unchanged).
  int Do(const RECT& rect, CRalImage& image, int showProgress);
};
