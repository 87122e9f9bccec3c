// Mirroring and value inversion of whole images. Each operation is built on the stack on
// the image it changes and used once.
#pragma once

#include "platform/wintypes.h"

class CRalImage;

// Mirrors an image left-right or top-bottom, plane by plane, moving stored values as
// they are (every pixel type, blanks and NaN included). The world coordinates move with
// the pixels (CImgWcs::Mirror).
class CImgFlip {
 public:
  explicit CImgFlip(CRalImage& image) : m_Image(image) {}
  // horizontal 1 mirrors left-right (column x goes to width − 1 − x), 0 top-bottom (row y
  // goes to height − 1 − y). source is the image read, or null (or the image itself) to
  // flip in place; it must match the image in width, height, planes, pixel type, BSCALE
  // and BZERO; the image then takes the source's world coordinates, mirrored.
  // showProgress non-zero reports through the image's progress display. Returns 1, or 0
  // on a mismatch, an empty image, or when rows cannot be reached (the image may then be
  // partly written, its coordinates unchanged).
  int Do(int horizontal, const CRalImage* source, int showProgress);

 private:
  CRalImage& m_Image;
};

// Inverts values plane by plane: value' = plane minimum + plane maximum − value, the
// minimum and maximum being the data range of the source plane over the whole image.
// The stored values are inverted (raw' = raw minimum + raw maximum − raw), which keeps
// integer images exact and inside their type and inverts the physical values for either
// sign of BSCALE. Blank and NaN pixels are left as they are; infinities take no part in
// the range and turn into the opposite infinity.
class CImgInvert {
 public:
  explicit CImgInvert(CRalImage& image) : m_Image(image) {}
  // source: as for CImgFlip. rect (right and bottom exclusive, clamped to the image) is the
  // part inverted, null the whole image; the other pixels are copied from the source
  // unchanged. Returns 1, or 0 as CImgFlip.
  int Do(const CRalImage* source, const RECT* rect, int showProgress);

 private:
  CRalImage& m_Image;
};
