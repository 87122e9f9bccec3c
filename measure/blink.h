// The blink comparator's frames: the images shown in turn in one image window, each with
// the whole-pixel shift that aligns it, and each made ready for showing as display bitmaps
// in the window's geometry, so that switching frames is only a copy to the screen.
#pragma once

#include <memory>
#include <vector>

#include "display/imagebuffer.h"
#include "engine/ralimage.h"

class CViewInfo;
class CVumDocument;
class ProgressSink;

// One frame: its image (not owned), its shift, and the colour mode and type that its own
// window shows it with.
class CBlinkItem {
 public:
  CBlinkItem() = default;
  CBlinkItem(CRalImage* image, CImageBuffer::COLOR_MODE mode, CImageBuffer::COLOR_TYPE type)
      : m_pImage(image), m_nColorMode(mode), m_nColorType(type) {}
  CBlinkItem(const CBlinkItem&) = default;
  CBlinkItem& operator=(const CBlinkItem&) = default;
  virtual ~CBlinkItem() = default;

  CRalImage* m_pImage = nullptr;
  int m_nShiftX = 0;
  int m_nShiftY = 0;
  double m_dShiftX = 0.0;
  double m_dShiftY = 0.0;
  CImageBuffer::COLOR_MODE m_nColorMode = CImageBuffer::CM_POSITIVE;
  CImageBuffer::COLOR_TYPE m_nColorType = CImageBuffer::CT_VERMILION;
};

// A frame made ready for showing: the frame's pixels laid on the window's image and the
// display buffer that maps them.
struct CBlinkFrame {
  std::unique_ptr<CRalImage> image;
  std::unique_ptr<CImageBuffer> buffer;
};

// An open image that may be blinked: the window showing it (its identity only), its
// document (which names and sorts it in the lists), and how its window displays it.
struct BlinkSource {
  const void* window = nullptr;
  CVumDocument* document = nullptr;
  CRalImage* image = nullptr;
  CImageBuffer::COLOR_MODE mode = CImageBuffer::CM_POSITIVE;
  CImageBuffer::COLOR_TYPE type = CImageBuffer::CT_VERMILION;
  // The shift the blink list keeps for it while it is listed.
  int shiftX = 0, shiftY = 0;
};

class CBlinkTarget {
 public:
  // Caption id of the preparation's progress.
  static constexpr int IDS_BLINK_PROGRESS = 2343;

  CBlinkTarget();
  ~CBlinkTarget();
  CBlinkTarget(const CBlinkTarget&) = delete;
  CBlinkTarget& operator=(const CBlinkTarget&) = delete;

  // Appends a frame with shift (0, 0).
  void Add(CRalImage* image, CImageBuffer::COLOR_MODE mode, CImageBuffer::COLOR_TYPE type);
  // 0 for an index out of range, else 1.
  [[nodiscard]] int RemoveAt(int i);
  // No frames; the current number back to 0. Prepared frames are dropped too.
  void Clear();
  int GetCount() const { return static_cast<int>(m_Items.size()); }
  int GetCurrentNo() const { return m_nCurrent; }
  // The current frame, or null for an empty list; a current number out of range is first
  // reset to 0.
  CBlinkItem* GetBlinkItem();
  // Frame i, or null out of range.
  CBlinkItem* GetItem(int i);
  // Advances the current number, back to 0 after the last frame.
  void Next();

  // 0 for an index out of range, else 1. The integer and the fractional shift are kept
  // together: setting one sets the other (fractions rounded to the nearest pixel).
  [[nodiscard]] int GetShift(int i, int* x, int* y) const;
  [[nodiscard]] int GetShift(int i, double* x, double* y) const;
  [[nodiscard]] int SetShift(int i, int x, int y);
  [[nodiscard]] int SetShift(int i, double x, double y);

  // Makes frame i ready for showing over base (the window's image): the frame's values
  // are laid on a copy of base, scaled so that the frame's display levels fall on base's,
  // and mapped by a display buffer in the frame's colour mode and type (logScale as the
  // window) that follows view. Every bitmap row the view needs is built now. 0 when the
  // frame has no image or memory runs out.
  [[nodiscard]] int PrepareFrame(int i, const CRalImage& base, CViewInfo* view, int logScale,
                                 ProgressSink* progress = nullptr);
  // The prepared frame i, or null.
  CBlinkFrame* GetPrepared(int i);
  int GetPreparedCount() const { return static_cast<int>(m_Prepared.size()); }
  void ReleasePrepared() { m_Prepared.clear(); }

 private:
  std::vector<CBlinkItem> m_Items;
  int m_nCurrent = 0;
  std::vector<CBlinkFrame> m_Prepared;
};
