// Overscan subtraction: the bias level measured in a rectangle of the frame (the
// overscan strip of a camera, or any region the user trusts to hold bias only) is
// subtracted from every pixel.
#pragma once

#include <vector>

class CRalImage;

// The level: per plane, the mean of the finite pixels of the region, or with clipping
// the mean of those kept by the 3-σ clip about the median of imgclip.h. One level per
// plane is subtracted from the whole plane. A level per row or per column taken from a
// strip a few tens of pixels wide would add that strip's noise, σ/√width, to every row as
// stripes, which is usually larger than the bias structure it would remove; gradients of
// the bias belong to a bias frame subtracted by dark calibration. The region may be as
// small as one pixel (the dialogs' default), for which clipping keeps that pixel.
class CImgOverScan {
 public:
  explicit CImgOverScan(CRalImage& image) : m_Image(image) {}
  // x1, x2: the columns, y1, y2: the rows bounding the region, 0-based and inclusive, in
  // either order; the region is clamped to the image. final non-zero shows progress.
  // Returns 1; 0 (the image as it was) for a region outside the image or without a finite
  // pixel in some plane, a row that cannot be reached or memory that runs out.
  int Do(int x1, int x2, int y1, int y2, int clipping, int final = 1);

  // The level subtracted from each plane by the last successful Do.
  const std::vector<double>& GetLevels() const { return m_Levels; }

 private:
  CRalImage& m_Image;
  std::vector<double> m_Levels;
};
