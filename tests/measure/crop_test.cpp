// The crop tool's selection and the dialog's range rules, and the engine's cut of the
// pixels and the reference pixel.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "engine/imgcrop.h"
#include "engine/ralimage.h"
#include "measure/crop.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

void PrintTo(const CCropRange& r, std::ostream* os) {
  *os << "[" << r.x1 << ", " << r.x2 << "; " << r.y1 << ", " << r.y2 << "]";
}

namespace {

TEST(CropSelection, DragUpLeftIsSortedForTheDialog) {
  CCrop crop;
  crop.OnLButtonDown(10, 20, false);
  EXPECT_TRUE(crop.OnMouseMove(7, 9));
  ASSERT_TRUE(crop.OnLButtonUp(5, 8));
  const POINT a = crop.GetAnchor(), b = crop.GetCurrent();
  EXPECT_EQ(CropRangeFromCorners(a.x, a.y, b.x, b.y, 100, false), (CCropRange{6, 10, 9, 20}));
  EXPECT_EQ(crop.GetRect().right, 11);  // the drawn rectangle covers both corner pixels
  crop.Clear();
  EXPECT_EQ(crop.GetRect().right, 0);
  EXPECT_FALSE(crop.OnLButtonUp(1, 1));  // no drag under way
}

struct CheckCase {
  const char* name;
  CCropRange entered;
  bool bottomUp;
  bool ok;
  RECT rect;            // when ok
  std::string message;  // when refused
};

std::string RangeText() {
  return "切り抜きの範囲には、\n\nX座標：1 から 50, \nY座標：1 から "
         "100\n\nの値を指定してください。";
}

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

class CropCheck : public ::testing::TestWithParam<CheckCase> {};

// Width 50, height 100.
TEST_P(CropCheck, OkAcceptsOrRefuses) {
  const CheckCase c = GetParam();
  RECT rect;
  std::string message;
  EXPECT_EQ(CheckCropRange(c.entered, 50, 100, c.bottomUp, &rect, &message), c.ok) << c.name;
  if (c.ok) {
    EXPECT_EQ(rect.left, c.rect.left);
    EXPECT_EQ(rect.top, c.rect.top);
    EXPECT_EQ(rect.right, c.rect.right);
    EXPECT_EQ(rect.bottom, c.rect.bottom);
  } else {
    EXPECT_EQ(message, c.message) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CropCheck,
    ::testing::Values(
        CheckCase{"plain", {6, 10, 9, 20}, false, true, {5, 8, 10, 20}, ""},
        CheckCase{"x1 equals x2", {7, 7, 9, 20}, false, false, {}, kCropX1X2Message},
        CheckCase{"y1 above y2", {6, 10, 20, 9}, false, false, {}, kCropY1Y2Message},
        CheckCase{"x out", {0, 10, 9, 20}, false, false, {}, RangeText()},
        CheckCase{"y out", {6, 10, 9, 101}, false, false, {}, RangeText()},
        // Bottom-up: rows 0 … 9 are shown as y1 = 100, y2 = 91.
        CheckCase{"bottom-up shown", {1, 50, 100, 91}, true, true, {0, 0, 50, 10}, ""},
        CheckCase{
            "bottom-up reversed", {1, 50, 91, 100}, true, false, {}, kCropY1Y2BottomUpMessage}),
    [](const auto& info) {
      std::string s = info.param.name;
      for (char& ch : s)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return s;
    });

TEST(CropSelection, BottomUpShowsRowsFromTheBottom) {
  // A selection from row 0 to row 10 of 100 reads y1 = 100, y2 = 91.
  EXPECT_EQ(CropRangeFromCorners(0, 0, 50, 10, 100, true), (CCropRange{1, 50, 100, 91}));
}

// The cut keeps the stored values of every plane and type and moves CRPIX by the kept
// origin: by the top row when FITS rows are stored top-down, by the rows below the part
// when they are stored bottom-up.
TEST(ImgCrop, KeepsValuesAndMovesTheReferencePixel) {
  for (int bottomUp : {0, 1}) {
    for (int bits : {8, 16, -32, -64}) {
      ScopedConfigHome home;
      CRegistry::Write("IO", "FitsBottomUp", bottomUp, CRegistry::TYPE_BOOL);
      CRalImage img(9, 7, bits, 3, 1.0, 0.0, bits == 16);
      // Rows of an image read from a FITS file are stored bottom-up when the setting says so.
      img.SetOrgFileFormat("FITS");
      std::vector<double> row(9);
      for (int p = 0; p < 3; ++p)
        for (int y = 0; y < 7; ++y) {
          for (int x = 0; x < 9; ++x) row[static_cast<std::size_t>(x)] = p * 70 + y * 9 + x;
          img.SetPhysicalRow(y, p, row.data());
        }
      img.SetCType(0, "RA---TAN");
      img.SetCType(1, "DEC--TAN");
      img.SetCRPix(0, 4.5);
      img.SetCRPix(1, 3.0);
      RECT r;
      r.left = 2;
      r.top = 1;
      r.right = 7;
      r.bottom = 4;
      ASSERT_EQ(CImgCrop().Do(r, img, 0), 1);
      ASSERT_EQ(img.GetWidth(), 5);
      ASSERT_EQ(img.GetHeight(), 3);
      for (int p = 0; p < 3; ++p)
        for (int y = 0; y < 3; ++y)
          for (int x = 0; x < 5; ++x)
            ASSERT_EQ(img.GetPixel(x, y, p), p * 70 + (y + 1) * 9 + x + 2) << bits;
      double crpix = 0;
      img.GetCRPix(0, &crpix);
      EXPECT_EQ(crpix, 2.5);
      img.GetCRPix(1, &crpix);
      EXPECT_EQ(crpix, bottomUp ? 3.0 - 3 : 3.0 - 1) << "bottomUp " << bottomUp;
    }
  }
}

TEST(ImgCrop, EmptyRectangleLeavesTheImage) {
  ScopedConfigHome home;
  CRalImage img(4, 4, 16, 1, 1.0, 0.0, 1);
  RECT r;
  r.left = 3;
  r.top = 1;
  r.right = 3;
  r.bottom = 4;
  EXPECT_EQ(CImgCrop().Do(r, img, 0), 0);
  r.left = 10;
  r.right = 20;
  EXPECT_EQ(CImgCrop().Do(r, img, 0), 0);
  EXPECT_EQ(img.GetWidth(), 4);
}

}  // namespace
