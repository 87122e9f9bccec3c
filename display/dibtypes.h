// What display bitmaps add to the bitmap records of dib/dibheader.h: colour values,
// the bands that drawing hands to a painter, and sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "dib/dibheader.h"
#include "platform/wintypes.h"

inline constexpr COLORREF RGB(int r, int g, int b) {
  return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
inline constexpr int GetRValue(COLORREF c) {
  return static_cast<int>(c & 0xFF);
}
inline constexpr int GetGValue(COLORREF c) {
  return static_cast<int>((c >> 8) & 0xFF);
}
inline constexpr int GetBValue(COLORREF c) {
  return static_cast<int>((c >> 16) & 0xFF);
}

// One band of a bitmap being drawn: at most 50 rows of the source rectangle, converted
// to the screen's pixel format in a buffer of its own, with the screen rectangle it is
// to be stretched onto. The buffer is valid only during the call that receives it. A
// painter wraps it without copying (rows top first, stride a multiple of 4): 32 bits is
// the memory order of a 0xFFRRGGBB word on a little-endian machine, 24 bits is blue,
// green, red.
struct DIBBand {
  const std::uint8_t* bits = nullptr;  // first byte of the band's top row; rows run down
  int bitsPerPixel = 32;               // 32: blue, green, red, 0xFF; 24: blue, green, red
  int stride = 0;                      // bytes from one row to the next (a multiple of 4)
  int width = 0;                       // pixels per row
  int height = 0;                      // rows
  RECT source;                         // the band's pixels in bitmap (image) coordinates
  RECT destination;                    // the screen rectangle it covers
};
using DIBBandSink = std::function<void(const DIBBand&)>;

// A width and height.
struct SIZE {
  int cx = 0;
  int cy = 0;
  bool operator==(const SIZE&) const = default;
};
