// Plain records and constants that the design takes from the Windows API: colours,
// rectangles, fonts and window placements, with the exact numeric values of the flags.
#pragma once

#include <cstdint>
#include <string>

using COLORREF = std::uint32_t;  // 0x00BBGGRR

struct POINT {
  int x = 0;
  int y = 0;
};

// Right and bottom lie one past the last pixel, as in Windows.
struct RECT {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

// The overlap of two rectangles; an empty overlap gives the empty rectangle (0, 0, 0, 0)
// and false.
inline bool IntersectRect(RECT* out, const RECT& a, const RECT& b) {
  RECT r{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
         a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
  const bool any = r.left < r.right && r.top < r.bottom;
  *out = any ? r : RECT{};
  return any;
}

// The smallest rectangle holding both; an empty one does not count.
inline void UnionRect(RECT* out, const RECT& a, const RECT& b) {
  const bool aEmpty = a.left >= a.right || a.top >= a.bottom;
  const bool bEmpty = b.left >= b.right || b.top >= b.bottom;
  if (aEmpty || bEmpty) {
    *out = aEmpty ? (bEmpty ? RECT{} : b) : a;
    return;
  }
  *out = RECT{a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top,
              a.right > b.right ? a.right : b.right, a.bottom > b.bottom ? a.bottom : b.bottom};
}

// The screen that a dialog must stay on, and the height of a caption bar.
struct ScreenArea {
  RECT rect;
  int captionHeight = 0;
};

// The fields of a logical font in their Windows order; the face name is UTF-8.
struct LOGFONT {
  long lfHeight = 0;
  long lfWidth = 0;
  long lfEscapement = 0;
  long lfOrientation = 0;
  long lfWeight = 0;
  int lfItalic = 0;
  int lfUnderline = 0;
  int lfStrikeOut = 0;
  int lfCharSet = 0;
  int lfOutPrecision = 0;
  int lfClipPrecision = 0;
  int lfQuality = 0;
  int lfPitchAndFamily = 0;
  std::string lfFaceName;
  bool operator==(const LOGFONT&) const = default;
};
inline constexpr int LF_FACESIZE = 32;  // face names keep at most LF_FACESIZE - 1 characters

// Show commands and placement flags.
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWMINIMIZED = 2;
inline constexpr int SW_SHOWMAXIMIZED = 3;
inline constexpr int SW_MINIMIZE = 6;
inline constexpr int SW_SHOWMINNOACTIVE = 7;
inline constexpr int SW_FORCEMINIMIZE = 11;
inline constexpr unsigned WPF_SETMINPOSITION = 0x0001;
inline constexpr unsigned WPF_RESTORETOMAXIMIZED = 0x0002;

inline bool IsMinimizedShowCommand(int showCmd) {
  return showCmd == SW_SHOWMINIMIZED || showCmd == SW_MINIMIZE || showCmd == SW_SHOWMINNOACTIVE ||
         showCmd == SW_FORCEMINIMIZE;
}

struct WINDOWPLACEMENT {
  unsigned flags = 0;
  int showCmd = SW_SHOWNORMAL;
  POINT ptMinPosition{-1, -1};
  POINT ptMaxPosition{-1, -1};
  RECT rcNormalPosition;
};

// Width and height of a sizing frame: a maximized window sits at minus these.
struct FrameMetrics {
  int cxFrame = 0;
  int cyFrame = 0;
};
