// Display bitmaps: the 40-byte header byte for byte, the stride and colour-table rules,
// refusals of odd sizes, the bottom-up row rule, pixel packing, the paged bitmap's
// storage by screen depth, and banded drawing (band size, screen rectangles without gaps,
// conversion of stored pixels to the painter's 24- or 32-bit format).
#include "display/dib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <vector>

#include "imagemodel/vmimage.h"
#include "tests/support/temp_dir.h"

namespace {

class DibTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

std::vector<DIBBand> Draw(const CBaseDIB& dib, int x, int y, int w, int h, int sx, int sy, int sw,
                          int sh, std::vector<std::vector<std::uint8_t>>* copies = nullptr) {
  std::vector<DIBBand> bands;
  EXPECT_EQ(dib.StretchBlt(x, y, w, h, sx, sy, sw, sh,
                           [&](const DIBBand& b) {
                             bands.push_back(b);
                             if (copies)
                               copies->emplace_back(b.bits,
                                                    b.bits + std::size_t(b.stride) * b.height);
                           }),
            1);
  return bands;
}

// Fills a 24-bit paged bitmap with a pattern that names each pixel.
void FillPattern24(CVmDIB& dib) {
  for (int y = 0; y < dib.GetHeight(); ++y) {
    auto* p = static_cast<std::uint8_t*>(dib.GetImageAdr(0, y));
    ASSERT_NE(p, nullptr);
    for (int x = 0; x < dib.GetWidth(); ++x) {
      p[3 * x] = static_cast<std::uint8_t>(x);      // blue
      p[3 * x + 1] = static_cast<std::uint8_t>(y);  // green
      p[3 * x + 2] = 200;                           // red
    }
  }
}

}  // namespace

TEST_F(DibTest, HeaderIsTheWindowsLayoutByteForByte) {
  CMemoryDIB dib;
  ASSERT_EQ(dib.Create(24, 5, 3), 1);
  const std::vector<std::uint8_t> expect = {40, 0, 0, 0, 5, 0, 0,  0, 3, 0, 0, 0, 1, 0,
                                            24, 0, 0, 0, 0, 0, 48, 0, 0, 0, 0, 0, 0, 0,
                                            0,  0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0};
  EXPECT_EQ(dib.GetBitmapInfo(), expect);

  BITMAPINFOHEADER h;
  h.biWidth = 0x01020304;
  h.biHeight = -7;
  h.biBitCount = 32;
  h.biSizeImage = 0xA0B0C0D0;
  h.biClrUsed = 256;
  std::uint8_t bytes[40];
  StoreBitmapInfoHeader(h, bytes);
  EXPECT_EQ(bytes[4], 0x04);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(bytes[8], 0xF9);  // -7, two's complement, little-endian
  EXPECT_EQ(bytes[11], 0xFF);
  EXPECT_EQ(bytes[23], 0xA0);
  const BITMAPINFOHEADER back = LoadBitmapInfoHeader(bytes);
  EXPECT_EQ(back.biHeight, -7);
  EXPECT_EQ(back.biSizeImage, 0xA0B0C0D0u);
  EXPECT_EQ(back.biClrUsed, 256u);
  EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
}

TEST_F(DibTest, StrideFollowsTheFourByteRule) {
  struct Case {
    int width, bits;
    std::size_t stride;
  } cases[] = {{1, 8, 4},   {5, 8, 8},   {3, 16, 8},  {7, 16, 16}, {1, 24, 4},
               {5, 24, 16}, {4, 24, 12}, {3, 32, 12}, {1, 32, 4}};
  for (const Case& c : cases) {
    CMemoryDIB dib;
    ASSERT_EQ(dib.Create(c.bits, c.width, 2), 1);
    EXPECT_EQ(dib.GetStride(), c.stride) << c.width << "x" << c.bits;
    EXPECT_EQ(dib.GetHeader().biSizeImage, 2 * c.stride);
  }
}

TEST_F(DibTest, ColourTableByDepthAndPalette) {
  PALETTEENTRY pal[256];
  for (int i = 0; i < 256; ++i)
    pal[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 7, 0};
  CMemoryDIB withPalette;
  ASSERT_EQ(withPalette.Create(8, 4, 4, pal, 1), 1);
  EXPECT_EQ(withPalette.GetColorUsage(), DIB_RGB_COLORS);
  EXPECT_EQ(withPalette.GetColorCount(), 256);
  EXPECT_EQ(withPalette.GetBitmapInfo().size(), 40u + 256 * 4);
  const RGBQUAD q = withPalette.GetColorTableEntry(10);  // red and blue swap places
  EXPECT_EQ(q.rgbRed, 10);
  EXPECT_EQ(q.rgbGreen, 245);
  EXPECT_EQ(q.rgbBlue, 7);
  EXPECT_EQ(q.rgbReserved, 0);
  EXPECT_EQ(withPalette.GetHeader().biClrUsed, 256u);

  CMemoryDIB indexed;  // 8 bits without a palette: 16-bit palette indices
  ASSERT_EQ(indexed.Create(8, 4, 4), 1);
  EXPECT_EQ(indexed.GetColorUsage(), DIB_PAL_COLORS);
  ASSERT_EQ(indexed.GetBitmapInfo().size(), 40u + 256 * 2);
  EXPECT_EQ(indexed.GetBitmapInfo()[40 + 2 * 200], 200);

  for (int bits : {16, 24, 32}) {
    CMemoryDIB dib;
    ASSERT_EQ(dib.Create(bits, 4, 4), 1);
    EXPECT_EQ(dib.GetColorCount(), 0) << bits;
    EXPECT_EQ(dib.GetColorUsage(), DIB_RGB_COLORS) << bits;
    EXPECT_EQ(dib.GetBitmapInfo().size(), 40u) << bits;
  }
}

TEST_F(DibTest, OddSizesAndDepthsAreRefused) {
  struct Case {
    int bits, width, height;
  } cases[] = {{24, 0, 5}, {24, 5, 0}, {24, -1, 5}, {32, 5, -3}, {4, 5, 5}, {12, 5, 5}, {0, 1, 1}};
  for (const Case& c : cases) {
    CMemoryDIB mem;
    EXPECT_EQ(mem.Create(c.bits, c.width, c.height), 0);
    EXPECT_TRUE(mem.IsEmpty());
    EXPECT_TRUE(mem.GetBitmapInfo().empty());
    EXPECT_EQ(mem.GetBits(), nullptr);
    CVmDIB vm;
    EXPECT_EQ(vm.Create(c.bits, c.width, c.height), 0);
    EXPECT_EQ(vm.GetStore(), nullptr);
  }
  // Sizes beyond a DIB section are refused without trying to allocate them.
  CMemoryDIB huge;
  EXPECT_EQ(huge.Create(32, 100000, 100000), 0);
  EXPECT_EQ(huge.Create(32, 2147483647, 1), 0);
  EXPECT_TRUE(huge.IsEmpty());
  // A paged row wider than a pager block lies in wider blocks.
  CVmDIB wide;
  EXPECT_EQ(wide.Create(32, 200000, 4), 1);
  EXPECT_FALSE(wide.IsEmpty());
  EXPECT_EQ(wide.Create(24, 2147483647, 1), 0);  // not even a header describes it
  EXPECT_TRUE(wide.IsEmpty());
  // A failed Create leaves the previous bitmap emptied, not half-replaced.
  CMemoryDIB again;
  ASSERT_EQ(again.Create(24, 4, 4), 1);
  EXPECT_EQ(again.Create(24, 0, 4), 0);
  EXPECT_TRUE(again.IsEmpty());
}

TEST_F(DibTest, RowsAreBottomUpAndPixelsPackAsWindowsDoes) {
  CMemoryDIB dib;
  ASSERT_EQ(dib.Create(24, 2, 3), 1);
  // Image row 0 is the last row in memory.
  EXPECT_EQ(dib.GetImageAdr24(0, 0), dib.GetBits() + 2 * dib.GetStride());
  EXPECT_EQ(dib.GetImageAdr24(1, 2), dib.GetBits() + 3);
  EXPECT_EQ(dib.GetImageAdr24(2, 0), nullptr);
  EXPECT_EQ(dib.GetImageAdr32(0, 0), nullptr);  // wrong pixel size
  dib.SetPixel(1, 0, RGB(10, 20, 30));
  const std::uint8_t* p = dib.GetBits() + 2 * dib.GetStride() + 3;
  EXPECT_EQ(p[0], 30);  // blue, green, red
  EXPECT_EQ(p[1], 20);
  EXPECT_EQ(p[2], 10);

  CMemoryDIB d16;
  ASSERT_EQ(d16.Create(16, 2, 2), 1);
  d16.SetPixel(0, 1, RGB(255, 0, 0));
  EXPECT_EQ(*d16.GetImageAdr16(0, 1), 0x7C00);
  d16.SetPixel(1, 1, RGB(8, 16, 24));
  EXPECT_EQ(*d16.GetImageAdr16(1, 1), (1 << 10) | (2 << 5) | 3);

  CMemoryDIB d32;
  ASSERT_EQ(d32.Create(32, 1, 1), 1);
  d32.GetBits()[3] = 0x5A;
  d32.SetPixel(0, 0, RGB(1, 2, 3));
  EXPECT_EQ(d32.GetBits()[0], 3);
  EXPECT_EQ(d32.GetBits()[2], 1);
  EXPECT_EQ(d32.GetBits()[3], 0x5A);  // the fourth byte is left alone

  CMemoryDIB d8;
  ASSERT_EQ(d8.Create(8, 1, 1), 1);
  d8.SetPixel(0, 0, 0x00FFFF93);
  EXPECT_EQ(d8.GetBits()[0], 0x93);

  const std::vector<std::uint8_t> hdib = dib.CreateHDIB();
  ASSERT_EQ(hdib.size(), 40 + 3 * dib.GetStride());
  EXPECT_EQ(std::memcmp(hdib.data(), dib.GetBitmapInfo().data(), 40), 0);
  EXPECT_EQ(std::memcmp(hdib.data() + 40, dib.GetBits(), 3 * dib.GetStride()), 0);
  EXPECT_TRUE(CMemoryDIB().CreateHDIB().empty());
}

TEST_F(DibTest, PagedStorageByScreenDepth) {
  struct Case {
    int screen, storage, usage;
  } cases[] = {{8, 8, DIB_PAL_COLORS},
               {16, 16, DIB_RGB_COLORS},
               {24, 24, DIB_RGB_COLORS},
               {32, 24, DIB_RGB_COLORS}};
  for (const Case& c : cases) {
    CVmDIB dib;
    ASSERT_EQ(dib.Create(c.screen, 5, 7), 1);
    EXPECT_EQ(dib.GetStorageBits(), c.storage) << c.screen;
    EXPECT_EQ(dib.GetBitCount(), c.screen);
    EXPECT_EQ(dib.GetColorUsage(), c.usage);
    const CVmImage* store = dib.GetStore();
    ASSERT_NE(store, nullptr);
    // Three-byte pixels in an 8-bit store three times as wide, rows padded to 16 bytes,
    // while the header describes rows of the screen's format padded to 4.
    EXPECT_EQ(store->GetWidth(), c.storage == 24 ? 15 : 5);
    EXPECT_EQ(store->GetBytesPixel(), c.storage == 16 ? 2 : 1);
    EXPECT_EQ(store->GetStride() % 16, 0u);
    EXPECT_EQ(dib.GetStride(), std::size_t((5 * c.screen / 8 + 3) / 4 * 4));
  }
  PALETTEENTRY pal[256] = {};
  pal[3] = {9, 8, 7, 0};
  CVmDIB withPalette;
  ASSERT_EQ(withPalette.Create(8, 4, 4, pal, 1), 1);
  EXPECT_EQ(withPalette.GetStorageBits(), 8);
  EXPECT_EQ(withPalette.GetColorUsage(), DIB_RGB_COLORS);
  EXPECT_EQ(withPalette.GetColorTableEntry(3).rgbRed, 9);

  // Image row y is store row height − 1 − y.
  CVmDIB dib;
  ASSERT_EQ(dib.Create(32, 4, 6), 1);
  EXPECT_EQ(dib.GetImageAdr(1, 0), dib.GetStore()->GetImageAdr(3, 5, 0, 0, 0, nullptr));
  EXPECT_EQ(dib.GetImageAdr(0, 5), dib.GetStore()->GetImageAdr(0, 0, 0, 0, 0, nullptr));
  EXPECT_EQ(dib.GetImageAdr(4, 0), nullptr);
  EXPECT_EQ(dib.GetImageAdr(0, -1), nullptr);
  EXPECT_EQ(dib.GetImageAdr(0, 0, 1), nullptr);
}

TEST_F(DibTest, SixteenBitPixelsDitherOnEvenSquares) {
  struct Case {
    int x, y, r, g, b;
    std::uint16_t word;
  } cases[] = {
      {0, 0, 100, 100, 100, 13 * 0x421},  // even: 104 >> 3
      {1, 0, 100, 100, 100, 12 * 0x421},  // odd: 100 >> 3
      {1, 1, 100, 100, 100, 13 * 0x421},
      {2, 5, 100, 100, 100, 12 * 0x421},
      {0, 0, 253, 0, 251, (31 << 10) | (0 << 5) | 31},  // capped at 255
      {3, 3, 255, 255, 255, 0x7FFF},
      {0, 1, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::uint16_t word = 0xFFFF;
    CVmDIB::SetPixel16(&word, c.x, c.y, c.r, c.g, c.b);
    EXPECT_EQ(word, c.word) << c.x << "," << c.y;
  }
}

TEST_F(DibTest, BandsCoverTheDestinationWithoutGaps) {
  CVmDIB dib;
  ASSERT_EQ(dib.Create(32, 6, 120), 1);
  FillPattern24(dib);
  struct Case {
    int dstH;
    std::vector<int> rows;  // rows per band
  } cases[] = {
      {240, {50, 50, 20}},  // doubled
      {120, {50, 50, 20}},  // one to one
      {40, {48, 48, 24}},   // a third: whole groups of three rows per band
      {15, {48, 48, 24}},   // an eighth
      {70, {50, 50, 20}},   // not a whole factor
      {333, {50, 50, 20}},
  };
  for (const Case& c : cases) {
    std::vector<DIBBand> bands = Draw(dib, 10, 20, 12, c.dstH, 0, 0, 6, 120);
    ASSERT_EQ(bands.size(), c.rows.size()) << c.dstH;
    int srcRow = 0, covered = 20;
    for (std::size_t i = 0; i < bands.size(); ++i) {
      const DIBBand& b = bands[i];
      EXPECT_LE(b.height, kDIBBandRows);
      EXPECT_EQ(b.height, c.rows[i]) << c.dstH;
      EXPECT_EQ(b.source.top, srcRow);
      EXPECT_EQ(b.source.bottom, srcRow + b.height);
      srcRow += b.height;
      EXPECT_LE(b.destination.top, covered) << "gap before band " << i << " at " << c.dstH;
      EXPECT_GE(b.destination.top, covered - 1) << "overlap at band " << i;
      if (c.dstH % 120 == 0 || 120 % c.dstH == 0) {
        EXPECT_EQ(b.destination.top, covered);
      }
      covered = b.destination.bottom;
      EXPECT_EQ(b.destination.left, 10);
      EXPECT_EQ(b.destination.right, 22);
    }
    EXPECT_EQ(covered, 20 + c.dstH) << c.dstH;
  }
}

TEST_F(DibTest, BandsCarryTheStoredPixelsInTheScreenFormat) {
  CVmDIB dib;
  ASSERT_EQ(dib.Create(32, 7, 60), 1);
  FillPattern24(dib);
  std::vector<std::vector<std::uint8_t>> copies;
  // Columns 2..5 of rows 5..59; the source is clipped at the bitmap's bottom.
  std::vector<DIBBand> bands = Draw(dib, 0, 0, 4, 60, 2, 5, 4, 60, &copies);
  ASSERT_EQ(bands.size(), 2u);
  EXPECT_EQ(bands[0].bitsPerPixel, 32);
  EXPECT_EQ(bands[0].stride, 16);
  EXPECT_EQ(bands[1].source.bottom, 60);
  EXPECT_EQ(bands[1].destination.bottom, 55);  // the destination follows the clipping
  for (std::size_t i = 0; i < bands.size(); ++i)
    for (int r = 0; r < bands[i].height; ++r)
      for (int x = 0; x < 4; ++x) {
        const std::uint8_t* p = copies[i].data() + r * bands[i].stride + 4 * x;
        EXPECT_EQ(p[0], 2 + x);                    // blue: the column
        EXPECT_EQ(p[1], bands[i].source.top + r);  // green: the row (top-down)
        EXPECT_EQ(p[2], 200);
        EXPECT_EQ(p[3], 0xFF);  // opaque for a 32-bit painter
      }

  CVmDIB dib24;  // a 24-bit screen gets 24-bit bands with rows padded to 4 bytes
  ASSERT_EQ(dib24.Create(24, 3, 2), 1);
  FillPattern24(dib24);
  copies.clear();
  bands = Draw(dib24, 0, 0, 3, 2, 0, 0, 3, 2, &copies);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].bitsPerPixel, 24);
  EXPECT_EQ(bands[0].stride, 12);
  EXPECT_EQ(copies[0][12 + 3 * 2], 2);  // row 1, column 2: blue
  EXPECT_EQ(copies[0][12 + 3 * 2 + 1], 1);

  // Nothing to draw is not a failure.
  EXPECT_EQ(dib.StretchBlt(0, 0, 4, 4, 100, 100, 4, 4, nullptr), 1);
  EXPECT_EQ(dib.StretchBlt(0, 0, 0, 4, 0, 0, 4, 4, nullptr), 1);
  EXPECT_EQ(CVmDIB().BitBlt(0, 0, 4, 4, 0, 0, nullptr), 1);
}

TEST_F(DibTest, SixteenAndEightBitStorageWidensForThePainter) {
  CVmDIB d16;
  ASSERT_EQ(d16.Create(16, 2, 1), 1);
  auto* w = static_cast<std::uint16_t*>(d16.GetImageAdr(0, 0));
  w[0] = 0x7C00;                     // pure red
  w[1] = (16 << 10) | (8 << 5) | 1;  // 5 bits widened by repeating their top bits
  std::vector<std::vector<std::uint8_t>> copies;
  std::vector<DIBBand> bands = Draw(d16, 0, 0, 2, 1, 0, 0, 2, 1, &copies);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].bitsPerPixel, 32);
  const std::vector<std::uint8_t> expect = {0, 0, 255, 255, 8, 66, 132, 255};
  EXPECT_EQ(copies[0], expect);

  PALETTEENTRY table[256] = {};
  table[5] = {50, 60, 70, 0};
  CVmDIB d8;
  ASSERT_EQ(d8.Create(8, 3, 1, table, 1), 1);
  auto* b = static_cast<std::uint8_t*>(d8.GetImageAdr(0, 0));
  b[0] = 5;
  b[1] = 200;
  copies.clear();
  Draw(d8, 0, 0, 3, 1, 0, 0, 3, 1, &copies);
  EXPECT_EQ(copies[0][0], 70);  // blue, green, red of entry 5 of the colour table
  EXPECT_EQ(copies[0][2], 50);
  PALETTEENTRY palette[256] = {};
  palette[5] = {1, 2, 3, 0};
  d8.SetColorPalette(palette);  // a realised palette takes over from the table
  copies.clear();
  Draw(d8, 0, 0, 3, 1, 0, 0, 3, 1, &copies);
  EXPECT_EQ(copies[0][0], 3);
  EXPECT_EQ(copies[0][2], 1);

  CVmDIB grey;  // palette indices without a palette show as a grey ramp
  ASSERT_EQ(grey.Create(8, 1, 1), 1);
  *static_cast<std::uint8_t*>(grey.GetImageAdr(0, 0)) = 77;
  copies.clear();
  Draw(grey, 0, 0, 1, 1, 0, 0, 1, 1, &copies);
  EXPECT_EQ(copies[0], (std::vector<std::uint8_t>{77, 77, 77, 255}));
}

TEST_F(DibTest, MemoryBitmapDrawsInBandsToo) {
  CMemoryDIB dib;
  ASSERT_EQ(dib.Create(32, 2, 70), 1);
  for (int y = 0; y < 70; ++y) dib.SetPixel(1, y, RGB(y, 1, 2));
  std::vector<std::vector<std::uint8_t>> copies;
  std::vector<DIBBand> bands = Draw(dib, 0, 0, 2, 70, 0, 0, 2, 70, &copies);
  ASSERT_EQ(bands.size(), 2u);
  EXPECT_EQ(copies[1][(65 - 50) * 8 + 4 + 2], 65);  // row 65 red, read top-down
  EXPECT_EQ(copies[1][(65 - 50) * 8 + 4 + 3], 255);
}
