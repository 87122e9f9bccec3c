// The bitmap records of the Windows API that packed bitmaps keep byte for byte: the
// 40-byte BITMAPINFOHEADER, the 12-byte BITMAPCOREHEADER, colour-table entries and
// logical-palette entries, with the constants that go with them. Multi-byte fields are
// little-endian in every stored bitmap; the Store and Load functions move a header
// between its in-memory form and those bytes on any host.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The older header of 12 bytes: 16-bit width and height, no compression.
struct BITMAPCOREHEADER {
  std::uint32_t bcSize = 12;
  std::uint16_t bcWidth = 0;
  std::uint16_t bcHeight = 0;
  std::uint16_t bcPlanes = 1;
  std::uint16_t bcBitCount = 0;
};

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
inline constexpr std::uint32_t BI_RLE8 = 1;
inline constexpr std::uint32_t BI_RLE4 = 2;
inline constexpr std::uint32_t BI_BITFIELDS = 3;
inline constexpr int DIB_RGB_COLORS = 0;  // the colour table holds RGBQUADs
inline constexpr int DIB_PAL_COLORS = 1;  // the colour table holds 16-bit palette indices
inline constexpr std::size_t kBitmapInfoHeaderSize = 40;
inline constexpr std::size_t kBitmapCoreHeaderSize = 12;
inline constexpr std::size_t kBitmapFileHeaderSize = 14;

// Writes the header as its 40 little-endian bytes.
void StoreBitmapInfoHeader(const BITMAPINFOHEADER& header, std::uint8_t* out);
// Reads a header back from 40 little-endian bytes.
BITMAPINFOHEADER LoadBitmapInfoHeader(const std::uint8_t* in);
// Reads a core header from its 12 little-endian bytes.
BITMAPCOREHEADER LoadBitmapCoreHeader(const std::uint8_t* in);

namespace dibbytes {
inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
}  // namespace dibbytes
