// Operations on packed device-independent bitmaps: one block holding the information
// header, the colour table, then the pixel rows, bottom-up (top-down when the header's
// height is negative), each padded to a multiple of 4 bytes. A block stands for the
// movable memory handle of the design: functions that replace the bitmap take a pointer
// to the block and change it in place, and leave it as it was whenever they fail.
//
// Every function checks the header against the block before it reads: a block too
// short for what its header says, or a header with sizes beyond kMaxDibBytes, is refused
// (0 or an empty result) rather than read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dib/dibheader.h"

using DibBlock = std::vector<std::uint8_t>;
using DibPalette = std::vector<PALETTEENTRY>;

// No bitmap that these functions make or accept is larger than this.
inline constexpr std::uint64_t kMaxDibBytes = std::uint64_t{1} << 30;

// The layout that a block's 40-byte header describes, checked against the block.
struct DibLayout {
  BITMAPINFOHEADER header;
  int width = 0;
  int height = 0;              // rows, positive whichever way they are stored
  bool topDown = false;        // the header's height is negative
  int colors = 0;              // entries in the colour table
  std::size_t tableBytes = 0;  // colour table, or the three masks of BI_BITFIELDS
  std::size_t bitsOffset = 0;  // from the start of the block
  std::size_t stride = 0;      // bytes per row
  std::size_t imageBytes = 0;  // height × stride
};

// Bytes per row of width pixels of bits each, padded to 4 bytes; 0 when it overflows.
std::size_t DibStride(std::int64_t width, int bits);

// Reads and checks the header of a block whose header is the 40-byte one: a positive
// width, a non-zero height, a bit count of 1, 4, 8, 16, 24 or 32, a colour table that
// the block holds, and row sizes below kMaxDibBytes. The rows themselves are not required
// to be in the block (a compressed or truncated bitmap holds fewer bytes). False
// otherwise.
bool GetDibLayout(const DibBlock& dib, DibLayout* layout);

int GetDibBitCount(const DibBlock& dib);       // biBitCount; 0 without a header
std::size_t GetDibAlign(const DibBlock& dib);  // bytes per row; 0 without a valid header

// Colours in the table: biClrUsed when it is not 0, else 2, 16 or 256 for 1, 4 and 8 bits
// and 0 for other bit counts. A 12-byte core header counts by its own bit count. header
// must hold 12 bytes, or 40 when its size field is not 12.
int DibNumColors(const std::uint8_t* header);
// Bytes of the colour table: colours × 3 after a core header, colours × 4 otherwise.
std::size_t PaletteSize(const std::uint8_t* header);

// The colour table as a logical palette (red, green, blue, flags 0). A bitmap without a
// table (16, 24, 32 bits) gets 256 entries with red stepping through 0, 32, … 192, 255
// and green and blue 0. Empty when the header is not a valid 40-byte one.
DibPalette CreateDibPalette(const DibBlock& dib);
// The 256 colours of the dither palette: index = blue level × 64 + green level × 8 + red
// level, red and green in 8 levels, blue in 4.
DibPalette CreateDitherPalette();

// Decodes a BI_RLE8 bitmap of 8 bits or a BI_RLE4 bitmap of 4 bits into plain rows;
// any other bitmap is left alone. 1 on success or nothing to do, 0 when the block cannot
// be decoded (an invalid header, a top-down compressed bitmap, rows beyond
// kMaxDibBytes, no memory); the block is then unchanged. Pixels the stream never
// reaches are 0; pixels beyond the end of a row and rows beyond the last are dropped.
int DecordRle(DibBlock* dib);

// Widens a bitmap of 1, 4 or 8 bits to 24 bits through its colour table (an index beyond
// the table gives black); other bit counts are left alone. 1 on success, 0 on failure
// (block unchanged).
int ConvertDibTo24(DibBlock* dib);

// Resizes a 24-bit bitmap: nearest pixel (smooth 0) or bilinear. 1 on success, 0 for
// another bit count, a size not above 0 or beyond kMaxDibBytes, or no memory.
int StretchDib(DibBlock* dib, int width, int height, int smooth);

// Turns a 24-bit bitmap into an 8-bit one on the dither palette by ordered dithering
// with a 4 × 4 threshold matrix. 1 on success, 0 otherwise (block unchanged).
int DitherDib24(DibBlock* dib);

// The bitmap for a screen of screenBits bits per pixel: decoded, widened to 24 bits,
// stretched when width and height are both non-zero, and dithered to 8 bits for screens
// of 8 bits or fewer. The block always holds the result of the last step that succeeded;
// 1 when every step did, else 0.
int GetStretchOptimizedDib(int screenBits, DibBlock* dib, int width, int height, int smooth);
int GetOptimizedDib(int screenBits, DibBlock* dib);
