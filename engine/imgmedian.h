// Median and clipped combination of a stack of frames into the destination, one row at a
// time: the caller hands over row y of every frame (Store), then computes that row of the
// destination (Calc, CalcClipping or AddAvrCalcClipping). Only the rows of the current
// destination row are held, so a stack of any depth and size goes through the pager
// without holding whole frames.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/mediannet.h"

class CRalImage;

// Placing a frame: as CImgComposit places its other image, the frame turns by `rotation`
// degrees (counterclockwise with rows growing upward) about its own centre and then moves
// by (dx, dy), so its pixel (u, v) lands on c + R(rotation) ((u, v) − c) + (dx, dy). The
// value at a destination pixel is the bilinear sample of the frame there; whole-pixel
// shifts without rotation copy values exactly. A destination pixel that falls outside a
// frame, or on a blank, NaN or infinite pixel of it, has no value from that frame. Plane p of a
// frame serves plane p of the destination, its last plane the planes beyond.
//
// What each computation writes at a pixel, from the values the stored frames give there:
//   Calc                  the median (for an even count the mean of the two middle values);
//   CalcClipping          the median of the values kept by the 3-σ clip of imgclip.h;
//   AddAvrCalcClipping    the mean of the values kept by the same clip; with add non-zero
//                         that mean times the number of values, a sum in which the
//                         rejected values are replaced by the mean of the others, on the
//                         scale of the plain sum.
// A pixel with no value from any frame becomes blank (NaN in a floating image). An integer
// destination receives the result rounded to nearest and clamped to its type. A long row
// is reduced on two threads, each over its own half of the columns, with results equal to
// one thread's; the pager is touched only on the calling thread.
class CImgMedianComposit {
 public:
  // The destination's progress display (when final is non-zero) counts the rows computed.
  explicit CImgMedianComposit(CRalImage& dest, int final = 0);
  ~CImgMedianComposit();
  CImgMedianComposit(const CImgMedianComposit&) = delete;
  CImgMedianComposit& operator=(const CImgMedianComposit&) = delete;

  // Adds row y of the destination as the frame gives it. Every Store before a computation
  // names the same row. Returns 1; 0 (nothing stored) for no frame, a row outside the
  // destination or other than the row being gathered, a shift or rotation that is not
  // finite, a frame row that cannot be read, or memory that runs out.
  int Store(const CRalImage* frame, int y, double dx, double dy, double rotation);
  // A frame of which only a band of rows is held: `rows` holds rows first … first +
  // rows.GetHeight() − 1 of a frame `height` rows tall, of the same width and planes. It
  // is placed, and its rows are sampled, as the whole frame's would be, so the values
  // stored equal those of the whole frame, provided the band holds every row the
  // destination row passes over; 0 (nothing stored) when it does not.
  struct Band {
    const CRalImage* rows = nullptr;
    int first = 0;
    int height = 0;
    // Rows read beforehand, for a Store that must not touch the pager (on another
    // thread): rows valueFirst … valueFirst + valueRows − 1 of the band, each plane of a
    // row in turn (plane p of row r at values[(r × planes + p) × width], planes and width
    // the image's), as imgsample::ReadSpan gives them; a row whose readable[r] is 0 could
    // not be read. When values is set, rows is asked only for its size and planes, and a
    // row outside these is one the band does not hold.
    const double* values = nullptr;
    const unsigned char* readable = nullptr;
    int valueFirst = 0;
    int valueRows = 0;
  };
  int Store(const Band& frame, int y, double dx, double dy, double rotation);
  // Write the gathered row into the destination and start the next one. Return 1; 0 when
  // nothing was stored or the row cannot be written (what was stored is dropped either way).
  // With `row`, the row's values (each plane of the destination's width in turn) go there
  // instead of the destination. A combination that only writes rows so, stores from bands
  // of values read beforehand and was made with final 0 touches neither the destination's
  // pixels nor the pager, and may work on any thread; its rows are reduced on the calling
  // thread alone.
  int Calc(double* row = nullptr);
  int CalcClipping(double* row = nullptr);
  int AddAvrCalcClipping(int add = 0, double* row = nullptr);

  // The destination image holds rows first … of a destination `height` rows tall: rows are
  // named, and frames placed, as on the whole destination; row y is written into the
  // image's row y − first.
  void SetDestRows(int first, int height) {
    m_nDestFirst = first;
    m_nDestHeight = height;
  }

  // The number of frames stored for the row being gathered.
  int GetCount() const { return m_nFrames; }
  // With false, frames that are shifted but not turned are sampled by the general loop
  // that turned frames take, whose values the shortcut taken by default equals; for
  // comparisons.
  void SetShiftShortcut(bool on) { m_bShiftShortcut = on; }

 private:
  enum class Mode { kMedian, kClipMedian, kClipMean, kClipSum };
  int Compute(Mode mode, double* into);
  // Store's sampling for a frame that is shifted but not turned: row y's frame position
  // is (bx + x, by). False when a frame row cannot be read.
  bool StoreShifted(const Band& frame, double bx, double by, double* slot);

  CRalImage& m_Dest;
  int m_nFinal;
  int m_nRow = -1;
  int m_nDestFirst = 0;
  int m_nDestHeight = -1;  // -1: the image's own
  int m_nFrames = 0;
  bool m_bProgress = false;
  bool m_bShiftShortcut = true;
  // Frame f, plane p, column x at ((f × planes) + p) × width + x; the first m_nUsed
  // values are those of the row being gathered. Kept from row to row, so that it is
  // neither freed nor filled again.
  std::vector<double> m_Values;
  std::size_t m_nUsed = 0;
  std::vector<double> m_Rows;
  // The median network for the last count of frames reduced.
  mediannet::Network m_Network{0};
};
