// How an operation that moves pixels maps the old grid onto the new one. The operations
// take their resampling map from here, and everything that stands on pixels (world
// coordinates, the measurement tables, the marks of an image window) follows through the
// same description, so that a star keeps its sky and its measurements wherever it goes.
//
// Positions are 0-based pixel centres of the rows as stored (row 0 first), whatever order
// the file kept them in.
#pragma once

#include "engine/imgsample.h"
#include "platform/wintypes.h"

class CImage;

class CPixelMove {
 public:
  // A quarter turn as CImgRotate::Do90 makes it (clockwise non-zero: −90°), of an image
  // w × h; the new image is h × w.
  static CPixelMove QuarterTurn(int w, int h, bool clockwise);
  // A half turn of CImgRotate::Do180.
  static CPixelMove HalfTurn(int w, int h);
  // A turn by any angle, as CImgRotate::Do makes it: about the centres of the old and the
  // new image, the new size the turned outline's bounding box unless sizeFixed. Its
  // pixels are resampled, so positions do not follow.
  static CPixelMove Turn(int w, int h, double angleDegrees, bool sizeFixed);
  // A mirror of CImgFlip::Do: left-right when horizontal, else top-bottom.
  static CPixelMove Mirror(int w, int h, bool horizontal);
  // A change of resolution of CImgResolution::Do to width × height (resampled).
  static CPixelMove Resample(int w, int h, int width, int height);
  // A cyclic shift of CImgScroll::Do by (dx, dy): positions wrap round the edges.
  static CPixelMove Scroll(int w, int h, int dx, int dy);
  // A cut of CImgCrop::Do to rect (0-based, right and bottom exclusive, already clamped).
  static CPixelMove Crop(int w, int h, const RECT& rect);

  // The map from a new pixel to the old position it comes from (the resampler's and the
  // coordinates' form). For a scroll it is the shift without wrapping.
  const imgsample::Affine& ToOld() const { return m_ToOld; }
  // Where an old position lands. False when it falls outside the new image (more than
  // half a pixel past its edge pixels).
  bool Apply(double x, double y, double* nx, double* ny) const;
  // The rectangle of old pixels left..right, top..bottom (inclusive) in new pixels, sorted;
  // false when a corner leaves the new image.
  bool ApplyRect(int left, int top, int right, int bottom, RECT* out) const;

  // True when every pixel moves whole (turns by quarters, mirrors, cuts, scrolls), so
  // positions measured on the old pixels hold on the new ones; false when pixels are
  // resampled and measurements made on them no longer describe the new image.
  bool KeepsPositions() const { return m_bKeepsPositions; }
  int OldWidth() const { return m_nOldWidth; }
  int OldHeight() const { return m_nOldHeight; }
  int NewWidth() const { return m_nNewWidth; }
  int NewHeight() const { return m_nNewHeight; }

 private:
  static CPixelMove Make(int w, int h, int nw, int nh, const imgsample::Affine& toOld, bool keeps);
  imgsample::Affine m_ToOld;
  imgsample::Affine m_ToNew;
  int m_nOldWidth = 0, m_nOldHeight = 0, m_nNewWidth = 0, m_nNewHeight = 0;
  bool m_bKeepsPositions = true;
  bool m_bWraps = false;
};

// Whether the image's rows are stored with the file's first row at the bottom: a FITS
// image while the "IO" setting "FitsBottomUp" is on (the default). FITS pixel (p1, p2) of
// such an image is stored pixel (p1 − 1, height − p2).
bool FitsRowsBottomUp(const CImage& image);

// The image's world coordinates and measurement tables follow the move: the coordinates
// through imgsample::MoveCoordinates in the file's own pixel order (rows reversed for an
// image stored bottom-up), the tables as CImgTables::Follow moves them. image already has
// the new size.
void FollowPixelMove(CImage& image, const CPixelMove& move);
