// Compositing: an image combined pixel by pixel with another, which may be shifted and
// turned to lie on it.
#pragma once

#include "platform/wintypes.h"

class CRalImage;

// The image (the target) is written with f(a, b) where a is the pixel of the source and b
// the value of the other image at the same place, all in physical values.
//
// Placing the other image: it turns by `rotation` degrees (counterclockwise with rows
// growing upward, as CImgRotate) about its own centre and then moves by (dx, dy) pixels:
// its pixel (u, v) lands on c + R(rotation) ((u, v) − c) + (dx, dy), c = ((width − 1) / 2,
// (height − 1) / 2) of the other image. b is the bilinear interpolation there (as for
// CImgRotate; whole-pixel shifts without rotation copy values exactly). Where the other
// image has no value (outside it, or blank or NaN there) the target keeps a, whatever the
// method. Plane p of the other image serves plane p, its last plane the planes beyond.
//
// Use levelled values (useLevel non-zero): b is first mapped linearly so that the other
// image's display levels of its plane fall on the target's display levels of plane p
// (which the caller sets to the levels shown for the source):
// b' = tmin + (b − omin) (tmax − tmin) / (omax − omin). An image whose levels are not set
// or are equal (omax = omin) is taken as it is.
//
// Methods (rate r):
//   0 add a + b               1 average (a + b) / 2       2 weighted (1 − r) a + r b
//   3 subtract a − b          4 multiply a b              5 divide a / b, 0 where b = 0
//   6 |a − b|                 7 the brighter max(a, b)    8 the darker min(a, b)
//   9 "NBR", repairing saturation: pixels of the source at or above the saturation level
//     S = min + saturation (max − min) (the source plane's data range) take r b, the
//     other image scaled by r (a shorter exposure brought to the source's scale); pixels
//     within a band `darkBand` pixels wide around them (chessboard distance d, 1 ≤ d ≤
//     darkBand) blend, t = 1 − d / (darkBand + 1): t r b + (1 − t) a. Others keep a.
// Cut below 0 (cutMinus non-zero): a result below 0 becomes 0 (the dialog offers it for
// subtraction; it applies to whichever method is given). A result written into an
// integer image is rounded to nearest and clamped to the type; a division by zero gives
// 0, never an infinity.
class CImgComposit {
 public:
  enum {
    kAdd = 0,
    kAverage = 1,
    kWeighted = 2,
    kSubtract = 3,
    kMultiply = 4,
    kDivide = 5,
    kDifference = 6,
    kLighter = 7,
    kDarker = 8,
    kNbr = 9
  };
  explicit CImgComposit(CRalImage& image) : m_Image(image) {}
  // source: the image read as a, or null for the image itself; it must match the image in
  // width, height and planes. other: the image read as b (any size). rect (right and
  // bottom exclusive, clamped) limits the pixels computed, null the whole image; the
  // others keep the image's values. final non-zero shows progress, captioned by
  // captionId (2343: preparing the blink comparator; −1 or another: compositing).
  // Returns 1, or 0 for no other image, another method, a mismatch, a rate, shift or
  // rotation that is not finite, a row that cannot be reached or memory that runs out
  // (the image is then as it was).
  int Do(const CRalImage* source, const CRalImage* other, double dx, double dy, double rotation,
         int method, double rate, int useLevel, int cutMinus, double saturation, int darkBand,
         const RECT* rect, int final, int captionId);

 private:
  CRalImage& m_Image;
};
