// Scrolling: the image moves by whole pixels and what leaves one edge comes back in at the
// opposite one (a cyclic shift), so no pixel is lost and a scroll back restores the image
// exactly.
#pragma once

class CRalImage;

// Stored values move as they are (every pixel type, blanks and NaN included). The world
// coordinates move with the pixels: the reference pixel shifts by (dx, dy), which keeps
// the sky under every pixel that did not wrap round; those that did wrap carry the sky of
// the unscrolled grid extended past the edge.
class CImgScroll {
 public:
  explicit CImgScroll(CRalImage& image) : m_Image(image) {}
  // dx moves columns right (x goes to x + dx), dy moves rows to higher row numbers, both
  // taken modulo the width and height (numpy.roll(a, (dy, dx), axis=(0, 1)) on rows
  // a[y, x]). source: the image read, or null for the image itself; the image then takes
  // the source's size, pixels and coordinates. Returns 1, or 0 for an empty image, a row
  // that cannot be reached or memory that runs out (the image is then as it was).
  int Do(int dx, int dy, const CRalImage* source, int showProgress);

 private:
  CRalImage& m_Image;
};
