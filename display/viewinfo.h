// CViewInfo: the geometry of one image window: client size, image size, magnification
// code, the image point kept at the centre of the view, which scroll bars are needed, and
// from these the screen rectangle the image covers and the image rectangle that shows.
// It converts points between screen and image, zooms about a point, works out how to
// size the frame to the image, and draws the visible part of a display bitmap in bands.
//
// Magnification code m: for m ≥ 1 each image pixel is an m × m block of screen pixels;
// for m < 1 one screen pixel shows 2 − m image pixels (0 one half, −1 one third, −6 one
// eighth). Codes run from −6 to 16.
#pragma once

#include <cstdint>

#include "display/dib.h"
#include "display/dibtypes.h"
#include "platform/wintypes.h"

// Sizes of window parts that the layout and the frame fitting take into account, in
// screen pixels (the Windows system metrics of the same names); the Qt side sets them
// from its style.
struct ViewMetrics {
  int cxVScroll = 16;  // width of a vertical scroll bar
  int cyHScroll = 16;  // height of a horizontal scroll bar
  int cxEdge = 2, cyEdge = 2;
  int cxFrame = 4, cyFrame = 4;
  int cyCaption = 23;
};

// What FitOnWindow asks of the frame window: its new outer size, when resize is set.
struct FRAMEFIT {
  bool resize = false;
  int width = 0;
  int height = 0;
};

// One scroll bar: whether it shows, its range 0 .. max and its position.
struct SCROLLBARSTATE {
  bool shown = false;
  int max = 0;
  int pos = 0;
};

class CViewInfo {
 public:
  static constexpr int kMinMag = -6;
  static constexpr int kMaxMag = 16;

  CViewInfo() = default;

  void SetMetrics(const ViewMetrics& metrics);
  const ViewMetrics& GetMetrics() const { return m_Metrics; }

  // Inputs; each lays out again.
  void SetWindowSize(int width, int height);
  // Also lowers the code when the image would be less than two screen pixels across.
  void SetImageSize(int width, int height);
  // bar 0: horizontal, 1: vertical. The position is the first visible column or row.
  void SetScrollPos(int bar, int position);
  void SetViewCenter();
  bool IsViewCenter() const;
  POINT GetViewCenter() const { return {m_nCenterX, m_nCenterY}; }

  // Change the magnification, about screen point (x, y) when both are 0 or more (the
  // image point under it stays under it), else about the centre. 1 when the code
  // changed. IncMag stops at 16. DecMag and SetMag keep a code only while both image
  // sides stay more than one screen pixel, else they take the code that shows the
  // shorter side as one pixel. SetMag refuses codes outside −6 .. 16.
  int SetMag(int m, int x, int y);
  int IncMag(int x, int y);
  int DecMag(int x, int y);
  int GetMag() const { return m_nMag; }
  // The largest code at which the whole image fits a client area of width × height
  // (enlarging a small image too); the smallest code when even that does not fit.
  int FitMag(int width, int height) const;
  static double nMagTofMag(int m);
  static int fMagTonMag(double f);
  // Image length to screen length and back at the current code (truncated).
  int EnMag(int n) const;
  int DeMag(int n) const;

  RECT GetWindowRect() const { return m_rcWindow; }
  RECT GetWindowView() const { return m_rcView; }
  RECT GetImageView() const { return m_rcVisible; }
  RECT GetImageRect() const { return m_rcImage; }
  RECT GetVisibleImageRect() const { return m_rcVisible; }
  SCROLLBARSTATE GetScrollBar(int bar) const;

  // The parts of the client area the image leaves uncovered (painted grey); 1 when
  // there is such a part.
  int GetLeftMarginRect(RECT* r) const;
  int GetRightMarginRect(RECT* r) const;
  int GetTopMarginRect(RECT* r) const;
  int GetBottomMarginRect(RECT* r) const;

  bool PtInView(POINT p) const;
  // The image pixels under screen point p: (x, y, x + s, y + s) with s = 2 − m below code
  // 1, else 1, clipped to the image enlarged by one pixel right and down. 1 when not
  // empty. The point form gives the middle of that rectangle.
  int PtViewToImage(POINT p, RECT* r) const;
  int PtViewToImage(POINT p, POINT* out) const;
  // The screen block of image pixel p, clipped to the client area (enlarged by one pixel
  // below code 1). 1 when not empty. The point form gives the block's middle.
  int PtImageToView(POINT p, RECT* r) const;
  int PtImageToView(POINT p, POINT* out) const;
  // A fractional image position: from code 2 up, a whole-number coordinate lands on the
  // middle of its block and fractions move across it; below, as the point form.
  int PtImageToView(double x, double y, POINT* out) const;
  // Both corners by the point form; 0 when either lies outside.
  int RectImageToView(RECT r, RECT* out) const;

  // Works out the frame size that fits the image (called when the view paints).
  // normalShown: the frame is neither minimised nor maximised; areaWidth, areaHeight:
  // the room the frame may take (the MDI client area). Returns 1 when the frame is to
  // take exactly the image's size; 0 otherwise (fit then may still ask for a size with a
  // scroll bar, or for nothing). The pending fit is cleared either way.
  int FitOnWindow(bool normalShown, int areaWidth, int areaHeight, FRAMEFIT* fit);
  void SetPreferFitWidnow(int on) { m_bFitPending = on ? 1 : 0; }
  int IsFitPending() const { return m_bFitPending; }

  // Draws the visible part of a bitmap through sink in bands of at most 50 rows (see
  // CBaseDIB::StretchBlt). area (image pixels) limits the drawing to what changed; null,
  // empty or the whole visible rectangle draws everything visible. dx, dy shift the
  // destination (the blink window's registration offset). palette (256 entries, may be
  // null) is what 8-bit bitmaps are shown through. Returns 0 when no band buffer could be
  // had, else 1 (also when the area is not visible).
  int ShowImage(CBaseDIB& dib, const RECT* area, const DIBBandSink& sink, int dx = 0, int dy = 0,
                const PALETTEENTRY* palette = nullptr) const;
  // The same below code 1 from a bitmap already reduced by k = 2 − m (its pixel (j, i)
  // shows image pixel (j × k, i × k)): drawn one bitmap pixel per screen pixel, each
  // group of k × k image pixels on the screen pixel that the group's first column and row
  // fall on.
  int ShowReducedImage(CBaseDIB& reduced, int k, const RECT* area, const DIBBandSink& sink,
                       int dx = 0, int dy = 0, const PALETTEENTRY* palette = nullptr) const;

 private:
  void Layout(int cx, int cy);
  // One axis of the layout.
  struct Axis {
    int first = 0, last = 0;  // visible image range, end exclusive
    int viewLo = 0, viewHi = 0;
    int center = -1;
    int scrollMax = 0;
  };
  Axis LayoutAxis(bool bar, int length, int available, int scaled, int center, int arg) const;
  bool FitsFloor(int m, int w, int h) const;
  int FloorMag(int m) const;
  int Zoom(int m, int x, int y);
  // The centre that makes the layout show first (clamped to the scroll range) as the
  // first visible column (bar 0) or row (bar 1) at the current code and bars.
  int CentreForFirst(int bar, std::int64_t first) const;

  ViewMetrics m_Metrics;
  RECT m_rcWindow;
  RECT m_rcView;
  RECT m_rcImage;
  RECT m_rcVisible;
  int m_nCenterX = -1, m_nCenterY = -1;
  int m_bHBar = 0, m_bVBar = 0;
  int m_nScrollMaxX = 0, m_nScrollMaxY = 0;
  int m_nMag = 1;
  int m_bFitPending = 1;
};
