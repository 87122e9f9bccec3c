// The bitmap records of the Windows API that display bitmaps keep byte for byte: the
// 40-byte BITMAPINFOHEADER, colour-table entries and logical-palette entries, with the
// constants that go with them. Multi-byte fields are little-endian in every stored
// bitmap; StoreBitmapInfoHeader and LoadBitmapInfoHeader move a header between its
// in-memory form and those 40 bytes on any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/wintypes.h"

struct BITMAPINFOHEADER {
  std::uint32_t biSize = 40;  // 0 in the header of an empty bitmap
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;  // positive: bottom-up rows; negative: top-down
  std::uint16_t biPlanes = 1;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");
static_assert(offsetof(BITMAPINFOHEADER, biPlanes) == 12 &&
                  offsetof(BITMAPINFOHEADER, biBitCount) == 14 &&
                  offsetof(BITMAPINFOHEADER, biSizeImage) == 20 &&
                  offsetof(BITMAPINFOHEADER, biClrImportant) == 36,
              "BITMAPINFOHEADER has the Windows field offsets");

// One colour-table entry, in its memory order blue, green, red.
struct RGBQUAD {
  std::uint8_t rgbBlue = 0;
  std::uint8_t rgbGreen = 0;
  std::uint8_t rgbRed = 0;
  std::uint8_t rgbReserved = 0;
};
static_assert(sizeof(RGBQUAD) == 4);

// One logical-palette entry, in its memory order red, green, blue.
struct PALETTEENTRY {
  std::uint8_t peRed = 0;
  std::uint8_t peGreen = 0;
  std::uint8_t peBlue = 0;
  std::uint8_t peFlags = 0;
};
static_assert(sizeof(PALETTEENTRY) == 4);

inline constexpr std::uint32_t BI_RGB = 0;
inline constexpr int DIB_RGB_COLORS = 0;  // the colour table holds RGBQUADs
inline constexpr int DIB_PAL_COLORS = 1;  // the colour table holds 16-bit palette indices
inline constexpr std::size_t kBitmapInfoHeaderSize = 40;

// Writes the header as its 40 little-endian bytes.
void StoreBitmapInfoHeader(const BITMAPINFOHEADER& header, std::uint8_t* out);
// Reads a header back from 40 little-endian bytes.
BITMAPINFOHEADER LoadBitmapInfoHeader(const std::uint8_t* in);

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
