// Resampling to another width and height.
#pragma once

class CRalImage;

// Each axis is resampled on its own (first along rows, then down columns), with pixel
// centres aligned: target pixel i covers source interval [i s, (i + 1) s), s = source
// length / target length, and its centre sits at (i + 0.5) s − 0.5.
// - Shrinking an axis (s > 1) takes the area average: each source pixel weighs by the
//   length of it that the target pixel covers, so a whole factor gives block means and
//   every source pixel counts (no point sampling).
// - Enlarging an axis (s < 1) interpolates linearly between the two source pixels around
//   the target centre; a centre outside the outer source centres takes the edge pixel.
// - A blank or NaN pixel makes NaN of every target pixel it takes part in (integer
//   images: their blank value, or 0 when they use none); integer images round the
//   averages to nearest.
// The world coordinates follow: pixel p' of the target is p = s (p' − 0.5) + 0.5 of the
// source, in FITS pixels.
class CImgResolution {
 public:
  explicit CImgResolution(CRalImage& image) : m_Image(image) {}
  // The image becomes source (or itself when source is null) resampled to width ×
  // height. final non-zero shows progress through the image's progress display. Returns
  // 1, or 0 for a width or height below 1, an empty source, a row that cannot be reached
  // or memory that runs out (the image is then as it was).
  int Do(const CRalImage* source, int width, int height, int final);

 private:
  CRalImage& m_Image;
};
