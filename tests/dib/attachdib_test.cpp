#include <gtest/gtest.h>

#include "imagemodel/image.h"
#include "platform/progress.h"
#include "tests/dib/dibtest_support.h"

using dibtest::GreyTable;
using dibtest::Make;

namespace {

TEST(AttachDib, GreyPaletteGivesOnePlaneAndOneColouredEntryThree) {
  // 2 × 2, bottom-up: the stored first row is the picture's bottom row.
  const std::vector<std::uint8_t> data = {1, 2, 0, 0, 3, 4, 0, 0};
  CImage grey;
  RecordingProgress progress;
  ASSERT_EQ(grey.AttachDIB(Make(2, 2, 8, BI_RGB, GreyTable(256), data), &progress, "x"), 1);
  EXPECT_EQ(grey.GetPlanes(), 1);
  EXPECT_EQ(grey.GetBitsPixel(), 8);
  EXPECT_EQ(grey.GetPixel(0, 0), 3.0);
  EXPECT_EQ(grey.GetPixel(1, 1), 2.0);
  EXPECT_EQ(grey.GetLevelMax(0), 255.0);
  EXPECT_EQ(grey.HasOwnLevel(), 1);
  ASSERT_FALSE(progress.events.empty());

  std::vector<RGBQUAD> table = GreyTable(256);
  table[200] = RGBQUAD{1, 2, 3, 0};  // in use by the count, though no pixel shows it
  CImage colour;
  ASSERT_EQ(colour.AttachDIB(Make(2, 2, 8, BI_RGB, table, data)), 1);
  EXPECT_EQ(colour.GetPlanes(), 3);
  EXPECT_EQ(colour.GetDimension(), 3);
  EXPECT_EQ(colour.GetPixel(0, 0, 2), 3.0);

  // The same entry beyond a stated count of 8 is not in use.
  CImage counted;
  ASSERT_EQ(counted.AttachDIB(Make(2, 2, 8, BI_RGB, table, data, 256)), 1);
  EXPECT_EQ(counted.GetPlanes(), 3);
  std::vector<RGBQUAD> eight(table.begin(), table.begin() + 8);
  ASSERT_EQ(counted.AttachDIB(Make(2, 2, 8, BI_RGB, eight, data, 8)), 1);
  EXPECT_EQ(counted.GetPlanes(), 1);
}

TEST(AttachDib, SixteenBitsAreFiveFiveFiveTimesEight) {
  // Red 31 in bits 10 to 14; a second pixel grey (all components 9), top-down.
  CImage image;
  ASSERT_EQ(image.AttachDIB(Make(2, -1, 16, BI_RGB, {}, {0x00, 0x7C, 0x29, 0x25})), 1);
  ASSERT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetPixel(0, 0, 0), 248.0);
  EXPECT_EQ(image.GetPixel(0, 0, 1), 0.0);
  EXPECT_EQ(image.GetPixel(0, 0, 2), 0.0);
  for (int p = 0; p < 3; ++p) EXPECT_EQ(image.GetPixel(1, 0, p), 72.0);
}

TEST(AttachDib, UnsupportedOrDamagedBitmapsGiveZero) {
  CImage image;
  EXPECT_EQ(image.AttachDIB(Make(1, 1, 2, BI_RGB, {}, {0, 0, 0, 0})), 0);
  EXPECT_EQ(image.AttachDIB(DibBlock(20)), 0);
  EXPECT_EQ(image.AttachDIB(Make(1, 1, 24, 7, {}, {0, 0, 0, 0})), 0);
  // Rows the block does not hold read as zero bytes.
  ASSERT_EQ(image.AttachDIB(Make(1, 3, 24, BI_RGB, {}, {10, 10, 10, 0, 40, 40})), 1);
  ASSERT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetPixel(0, 2, 0), 10.0);
  // Of the second stored row the blue and green bytes are there, red is not.
  EXPECT_EQ(image.GetPixel(0, 1, 2), 40.0);
  EXPECT_EQ(image.GetPixel(0, 1, 1), 40.0);
  EXPECT_EQ(image.GetPixel(0, 1, 0), 0.0);
  EXPECT_EQ(image.GetPixel(0, 0, 1), 0.0);
}

}  // namespace
