// Arithmetic of an image with one value: add, subtract, multiply or divide every pixel.
#pragma once

#include "platform/wintypes.h"

class CRalImage;

// Works on physical values, row by row through the pager, over every plane; integer
// images round the result to nearest and clamp it to their type. Rules:
// - division by zero gives 0 (in every pixel type; never an infinity nor a crash);
// - blank and NaN pixels stay blank (NaN);
// - with cutMinus non-zero a result below 0 becomes 0.
class CImgCalculation {
 public:
  enum { kAdd = 0, kSubtract = 1, kMultiply = 2, kDivide = 3 };
  explicit CImgCalculation(CRalImage& image) : m_Image(image) {}
  // operation: one of the codes above. source: the image read, or null to work in place;
  // it must match the image in width, height and planes. rect (right and bottom
  // exclusive, clamped to the image) limits the pixels computed, null the whole image;
  // the other pixels keep the image's values. showProgress non-zero reports through the
  // image's progress display. Returns 1, or 0 for another operation code, a mismatch, an
  // empty image, a row that cannot be reached or memory that runs out; the image is then
  // as it was.
  int Do(double value, int operation, int cutMinus, const CRalImage* source, const RECT* rect,
         int showProgress);

 private:
  CRalImage& m_Image;
};
