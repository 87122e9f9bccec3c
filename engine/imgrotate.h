// Rotation of whole images: quarter and half turns, which move stored values exactly, and
// rotation by any angle, which resamples.
#pragma once

#include "engine/pixelmove.h"

class CRalImage;

// Directions are those of the pixel grid with x growing to the right and y (the row
// number) growing upward, as a FITS image is shown with its first row at the bottom: a
// positive angle turns the image counterclockwise there. On rows a[y, x], turning by +90°
// is numpy.rot90(a, -1) and by −90° numpy.rot90(a, 1).
//
// Any angle: the image turns about its centre ((width − 1) / 2, (height − 1) / 2).
// Each target pixel takes the bilinear interpolation of the four source pixels around
// the point it comes from (inside the image these are the values of
// scipy.ndimage.rotate(a, −angle, order=1)); a point outside the source takes the
// physical value 0; a point next to a blank or NaN pixel that takes part in it gives NaN
// (integer images: their blank value, or 0 when they use none). With sizeFixed the image
// keeps its width and height (corners cut off); otherwise it grows to hold the whole
// turned image: width and height are those of the turned outline's bounding box
// (|cos| w + |sin| h by |sin| w + |cos| h) rounded to nearest, the centres staying on
// each other.
// Integer images round the interpolated values to nearest.
//
// Every operation reads the source row by row or tile by tile through the pager and
// builds the result in a new image that replaces the image only when it is complete, so
// a failure (0) leaves the image as it was. The world coordinates move with the pixels.
class CImgRotate {
 public:
  explicit CImgRotate(CRalImage& image) : m_Image(image) {}
  // source: the image read, or null for the image itself. Returns 1, or 0 for an empty
  // source, an angle that is not finite, a row that cannot be reached or memory that runs
  // out.
  int Do(double angle, int sizeFixed, const CRalImage* source, int showProgress);
  // A quarter turn: clockwise non-zero turns by −90°, else by +90°. Width and height trade.
  int Do90(int clockwise, const CRalImage* source, int showProgress);
  // A half turn: pixel (x, y) goes to (width − 1 − x, height − 1 − y).
  int Do180(const CRalImage* source, int showProgress);

  // A turn by `angle` degrees counterclockwise as the picture is shown, its first stored
  // row at the top (the rotate dialog's sense): 90 and −90 (and the same plus whole
  // turns) turn by quarters, 180 by half, 0 copies the source, any other angle resamples
  // through Do(−angle, sizeFixed).
  int DoShown(double angle, int sizeFixed, const CRalImage* source, int showProgress);
  // How DoShown moves the pixels of a width × height image.
  static CPixelMove MoveShown(double angle, int sizeFixed, int width, int height);
  // The quarter turns DoShown makes of angle: 0 (none), 1 (90°), 2 (180°), 3 (−90°), or
  // −1 for an angle that is not a multiple of 90°.
  static int QuarterTurnsOf(double angle);

 private:
  CRalImage& m_Image;
};
