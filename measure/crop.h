// The crop tool without a screen: CCrop follows the drag of a rectangle on the image, and
// the crop dialog's range rules (what it shows, what OK accepts) are functions here so that
// the dialog, the window and the command line apply the same ones.
#pragma once

#include <string>

#include "platform/wintypes.h"

class CCrop {
 public:
  // Press (unless another window holds the capture), drag, release; coordinates are
  // 0-based image pixels. OnLButtonUp returns true when a selection was finished.
  void OnLButtonDown(int x, int y, bool shift, bool captureHeldElsewhere = false);
  bool OnMouseMove(int x, int y);
  bool OnLButtonUp(int x, int y);
  void Clear() { m_nState = 0; }
  int GetState() const { return m_nState; }
  bool GetShift() const { return m_bShift; }
  // The selection, right and bottom exclusive; all zero without one.
  RECT GetRect() const;
  // The corner pixels: where the drag started and where it is now.
  POINT GetAnchor() const { return {m_nAnchorX, m_nAnchorY}; }
  POINT GetCurrent() const { return {m_nX, m_nY}; }

 private:
  bool m_bShift = false;
  int m_nState = 0;  // 0 none, 1 dragging, 2 selected
  int m_nAnchorX = 0, m_nAnchorY = 0, m_nX = 0, m_nY = 0;
};

// A range as the dialog shows it: 1-based and inclusive; y counted from the bottom when
// the bottom-up flag is set.
struct CCropRange {
  int x1 = 1, x2 = 1, y1 = 1, y2 = 1;
  bool operator==(const CCropRange&) const = default;
};

// Texts of the crop dialog's refusals.
inline constexpr const char* kCropRangeMessage =
    "切り抜きの範囲には、\n\nX座標：%d から %d, \nY座標：%d から %d\n\nの値を指定してください。";
inline constexpr const char* kCropX1X2Message = "x1 は x2 より小さな値にしてください。";
inline constexpr const char* kCropY1Y2Message = "y1 は y2 より小さな値にしてください。";
inline constexpr const char* kCropY1Y2BottomUpMessage = "y1 は y2 より大きな値にしてください。";

// The dragged selection as the dialog shows it, from its two corner pixels (0-based, in
// any order): x1 = left + 1, x2 = right, y1 = top + 1, y2 = bottom of the sorted corners,
// y turned to count from the bottom (height − y + 1) with the bottom-up flag.
CCropRange CropRangeFromCorners(int ax, int ay, int bx, int by, int height, bool bottomUp);
// OK's checks on the entered range: each value in 1 … width or 1 … height, then x1 < x2
// and y1 < y2 (after turning bottom-up values back). Returns true with the rectangle to cut
// (0-based, right and bottom exclusive); false with the message to show.
bool CheckCropRange(const CCropRange& entered, int width, int height, bool bottomUp, RECT* rect,
                    std::string* message);
