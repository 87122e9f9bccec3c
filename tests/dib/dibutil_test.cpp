#include "dib/dibutil.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/dib/dibtest_support.h"

using dibtest::GreyTable;
using dibtest::Make;

namespace {

const std::uint8_t* Bits(const DibBlock& dib) {
  DibLayout l;
  EXPECT_TRUE(GetDibLayout(dib, &l));
  return dib.data() + l.bitsOffset;
}

TEST(DibColors, CountsAndTableSizes) {
  std::uint8_t info[40] = {};
  BITMAPINFOHEADER h;
  h.biBitCount = 8;
  h.biClrUsed = 20;
  StoreBitmapInfoHeader(h, info);
  EXPECT_EQ(DibNumColors(info), 20);
  EXPECT_EQ(PaletteSize(info), 80u);
  for (auto [bits, colors] : {std::pair{1, 2}, {4, 16}, {8, 256}, {16, 0}, {24, 0}, {32, 0}}) {
    h.biBitCount = static_cast<std::uint16_t>(bits);
    h.biClrUsed = 0;
    StoreBitmapInfoHeader(h, info);
    EXPECT_EQ(DibNumColors(info), colors) << bits;
  }
  const std::uint8_t core[12] = {12, 0, 0, 0, 4, 0, 4, 0, 1, 0, 4, 0};
  EXPECT_EQ(DibNumColors(core), 16);
  EXPECT_EQ(PaletteSize(core), 48u);
}

TEST(DibLayoutCheck, RefusesHeadersThatDoNotFitTheBlock) {
  EXPECT_EQ(GetDibAlign(Make(33, 1, 1, BI_RGB, GreyTable(2), {})), 8u);  // 33 bits round up
  EXPECT_EQ(GetDibAlign(Make(5, 1, 24, BI_RGB, {}, {})), 16u);
  DibLayout l;
  EXPECT_FALSE(GetDibLayout(DibBlock(39), &l));
  EXPECT_FALSE(GetDibLayout(Make(0, 1, 8, BI_RGB, GreyTable(256), {}), &l));
  EXPECT_FALSE(GetDibLayout(Make(1, 1, 7, BI_RGB, {}, {}), &l));
  EXPECT_FALSE(GetDibLayout(Make(1, 1, 8, BI_RGB, GreyTable(4), {}), &l));  // table cut
  EXPECT_FALSE(GetDibLayout(Make(0x7FFFFFFF, 0x7FFFFFFF, 32, BI_RGB, {}, {}), &l));
}

TEST(DibRle, DecodesTheRle8ExampleAndLeavesPlainBitmapsAlone) {
  DibBlock dib = Make(4, 2, 8, BI_RLE8, GreyTable(256), {4, 0x41, 0, 0, 4, 0x42, 0, 1});
  ASSERT_EQ(DecordRle(&dib), 1);
  const BITMAPINFOHEADER h = LoadBitmapInfoHeader(dib.data());
  EXPECT_EQ(h.biCompression, BI_RGB);
  EXPECT_EQ(h.biSizeImage, 8u);
  const std::uint8_t want[8] = {0x41, 0x41, 0x41, 0x41, 0x42, 0x42, 0x42, 0x42};
  ASSERT_EQ(dib.size(), 40u + 1024 + 8);
  EXPECT_EQ(std::memcmp(Bits(dib), want, 8), 0);

  const DibBlock plain = Make(4, 1, 8, BI_RGB, GreyTable(256), {1, 2, 3, 4});
  DibBlock copy = plain;
  EXPECT_EQ(DecordRle(&copy), 1);
  EXPECT_EQ(copy, plain);
}

TEST(DibRle, Rle4LiteralsDeltasAndOverlongRuns) {
  // Row 0: a literal of 3 nibbles (1, 2, 3; padded to a word), then a run of 2 of
  // (4, 5). Delta (1, 1) from x = 5 to (6, row 1); a run of 9 pixels there keeps 2.
  DibBlock dib =
      Make(8, 2, 4, BI_RLE4, GreyTable(16), {0, 3, 0x12, 0x30, 2, 0x45, 0, 2, 1, 1, 9, 0x67, 0, 1});
  ASSERT_EQ(DecordRle(&dib), 1);
  const std::uint8_t want[8] = {0x12, 0x34, 0x50, 0x00, 0x00, 0x00, 0x00, 0x67};
  EXPECT_EQ(std::memcmp(Bits(dib), want, 8), 0);
}

TEST(DibRle, DamagedStreamsDecodeWhatTheyHoldOrFail) {
  // Cut inside a literal and inside a delta: the rest stays 0.
  for (const std::vector<std::uint8_t>& data :
       {std::vector<std::uint8_t>{0, 5, 1, 2}, {0, 2, 3}, {7}, {}, {255, 9, 0, 0, 255, 9}}) {
    DibBlock dib = Make(4, 2, 8, BI_RLE8, GreyTable(256), data);
    EXPECT_EQ(DecordRle(&dib), 1);
    EXPECT_EQ(dib.size(), 40u + 1024 + 8);
  }
  DibBlock topDown = Make(4, -2, 8, BI_RLE8, GreyTable(256), {0, 1});
  const DibBlock before = topDown;
  EXPECT_EQ(DecordRle(&topDown), 0);
  EXPECT_EQ(topDown, before);
}

TEST(DibWiden, PaletteBitmapsBecome24BitsAnd24BitsStaySame) {
  // 1 bit, 9 pixels wide: the second row byte holds pixel 8 in its top bit.
  const std::vector<RGBQUAD> table = {{10, 20, 30, 0}, {40, 50, 60, 0}};
  DibBlock dib = Make(9, 1, 1, BI_RGB, table, {0b10100000, 0b10000000, 0, 0});
  ASSERT_EQ(ConvertDibTo24(&dib), 1);
  const BITMAPINFOHEADER h = LoadBitmapInfoHeader(dib.data());
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biSizeImage, dib.size());
  const std::uint8_t* p = Bits(dib);
  for (int x = 0; x < 9; ++x) {
    const bool one = x == 0 || x == 2 || x == 8;
    EXPECT_EQ(p[3 * x], one ? 40 : 10) << x;
    EXPECT_EQ(p[3 * x + 2], one ? 60 : 30) << x;
  }
  DibBlock rgb = Make(1, 1, 24, BI_RGB, {}, {1, 2, 3, 0});
  const DibBlock before = rgb;
  EXPECT_EQ(ConvertDibTo24(&rgb), 1);
  EXPECT_EQ(rgb, before);
}

TEST(DibStretch, NearestAndBilinear) {
  // One row of two pixels, blue 0 and 200, widened to four.
  const DibBlock src = Make(2, 1, 24, BI_RGB, {}, {0, 0, 0, 200, 100, 50, 0, 0});
  DibBlock nearest = src, smooth = src;
  ASSERT_EQ(StretchDib(&nearest, 4, 2, 0), 1);
  ASSERT_EQ(StretchDib(&smooth, 4, 1, 1), 1);
  const std::uint8_t* n = Bits(nearest);
  const std::uint8_t* s = Bits(smooth);
  const int wantNearest[4] = {0, 0, 200, 200};
  const int wantSmooth[4] = {0, 100, 200, 200};  // u = 0, 0.5, 1, 1.5 (x1 clamped)
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(n[3 * j], wantNearest[j]) << j;
    EXPECT_EQ(n[12 + 3 * j], wantNearest[j]) << j;  // second row repeats the first
    EXPECT_EQ(s[3 * j], wantSmooth[j]) << j;
  }
  EXPECT_EQ(LoadBitmapInfoHeader(nearest.data()).biSizeImage, 2u * 12 + 40);
  EXPECT_EQ(LoadBitmapInfoHeader(smooth.data()).biSizeImage, 12u);
  DibBlock palette = Make(1, 1, 8, BI_RGB, GreyTable(256), {0, 0, 0, 0});
  EXPECT_EQ(StretchDib(&palette, 2, 2, 0), 0);
}

TEST(DibDither, LevelsAndThresholds) {
  // A 2 × 4 bitmap: column 0 green 128, column 1 white in row 0 and black below.
  std::vector<std::uint8_t> data;
  for (int y = 0; y < 4; ++y) {
    const std::uint8_t px0[3] = {0, 128, 0};
    const std::uint8_t px1[3] = {static_cast<std::uint8_t>(y == 0 ? 255 : 0),
                                 static_cast<std::uint8_t>(y == 0 ? 255 : 0),
                                 static_cast<std::uint8_t>(y == 0 ? 255 : 0)};
    data.insert(data.end(), px0, px0 + 3);
    data.insert(data.end(), px1, px1 + 3);
    data.insert(data.end(), 2, 0);
  }
  DibBlock dib = Make(2, 4, 24, BI_RGB, {}, data);
  ASSERT_EQ(DitherDib24(&dib), 1);
  DibLayout l;
  ASSERT_TRUE(GetDibLayout(dib, &l));
  EXPECT_EQ(l.header.biBitCount, 8);
  EXPECT_EQ(l.colors, 256);
  // The image size is that of the 8-bit rows (4 bytes × 4 rows), not the 24-bit ones.
  EXPECT_EQ(l.header.biSizeImage, 16u);
  const std::uint8_t* p = dib.data() + l.bitsOffset;
  EXPECT_EQ(p[1], 255);    // white
  EXPECT_EQ(p[4 + 1], 0);  // black
  // Green 128 lies between 109 and 146 with 16 × 19 / 37 = 8: level 4 where the
  // threshold of column 0 is at most 8, level 3 where it is 10.
  EXPECT_EQ(p[0 * 4] >> 3 & 7, 4);  // T = 0
  EXPECT_EQ(p[1 * 4] >> 3 & 7, 4);  // T = 8
  EXPECT_EQ(p[2 * 4] >> 3 & 7, 4);  // T = 2
  EXPECT_EQ(p[3 * 4] >> 3 & 7, 3);  // T = 10
  const DibPalette pal = CreateDitherPalette();
  ASSERT_EQ(pal.size(), 256u);
  EXPECT_EQ(pal[4 << 3].peGreen, 146);
  EXPECT_EQ(pal[255].peRed, 255);
  EXPECT_EQ(pal[255].peBlue, 255);
  for (int i = 0; i < 256; ++i) {  // the table written into the bitmap is the palette
    const std::uint8_t* q = dib.data() + 40 + 4 * i;
    ASSERT_EQ(q[0], pal[i].peBlue);
    ASSERT_EQ(q[2], pal[i].peRed);
  }
}

TEST(DibOptimized, EightBitScreensGetTheDitheredBitmap) {
  DibBlock dib = Make(4, 2, 8, BI_RLE8, GreyTable(256), {4, 0xFF, 0, 0, 4, 0, 0, 1});
  ASSERT_EQ(GetOptimizedDib(8, &dib), 1);
  EXPECT_EQ(GetDibBitCount(dib), 8);
  const std::uint8_t* p = Bits(dib);
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(p[4], 0);
  DibBlock wide = Make(4, 2, 8, BI_RLE8, GreyTable(256), {4, 0xFF, 0, 0, 4, 0, 0, 1});
  ASSERT_EQ(GetStretchOptimizedDib(32, &wide, 8, 4, 1), 1);
  EXPECT_EQ(GetDibBitCount(wide), 24);
  EXPECT_EQ(GetDibAlign(wide), 24u);
  DibBlock pal = Make(2, 1, 4, BI_RGB, GreyTable(16), {0x0F, 0, 0, 0});
  const DibPalette p16 = CreateDibPalette(pal);
  ASSERT_EQ(p16.size(), 16u);
  EXPECT_EQ(p16[15].peRed, 255);
  EXPECT_EQ(CreateDibPalette(Make(1, 1, 24, BI_RGB, {}, {})).size(), 256u);
}

}  // namespace
