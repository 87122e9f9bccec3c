// Region files: those that python3-regions writes (image, fk5 in degrees, sexagesimal,
// physical) and those DS9 saved (image, fk5) read with the positions astropy gives and on the pixels whose values name
// them; the tools' marks written and read back; and text that is no region file refused
// with its error, without a crash.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "graph/drawline.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"
#include "measure/positioning.h"
#include "measure/regions.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

struct Expected {
  std::string kind;
  double x, y, r, value;
};

class RegionFilesTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    home_ = std::make_unique<ScopedConfigHome>();
    // Both row orders of FITS images: the reader's rows, and so the conversion, differ.
    CRegistry::Write("IO", "FitsBottomUp", GetParam(), CRegistry::TYPE_BOOL);
    const std::string command =
        std::string("/usr/bin/python3 ") + REGIONS_ORACLE + " " + dir_.File("") + " 2>&1";
    if (std::system("/usr/bin/python3 -c 'import regions, astropy' 2>/dev/null") != 0)
      GTEST_SKIP() << "python3-regions or astropy missing";
    ASSERT_EQ(std::system(command.c_str()), 0);
    CReadParam param;
    const std::string path = dir_.File("frame.fits");
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    ASSERT_EQ(CRalImageIO::ReadFile(image_, path, &param, -32, &autoLevel), 1);
    std::ifstream in(dir_.File("expected.txt"));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream s(line);
      std::string file, kind;
      s >> file >> kind;
      if (kind == "skipped")
        s >> skipped_[file];
      else {
        Expected e{kind, 0, 0, 0, 0};
        s >> e.x >> e.y >> e.r >> e.value;
        expected_[file].push_back(e);
      }
    }
    ASSERT_EQ(expected_.size(), 7u);
  }
  std::unique_ptr<ScopedConfigHome> home_;
  TempDir dir_;
  CRalImage image_;
  std::map<std::string, std::vector<Expected>> expected_;
  std::map<std::string, int> skipped_;
};

TEST_P(RegionFilesTest, ReadAsWrittenByPeer) {
  for (const auto& [file, want] : expected_) {
    SCOPED_TRACE(file);
    RegionImport got;
    std::string detail;
    ASSERT_EQ(ReadRegionFile(dir_.File(file), image_, &got, &detail), kRegionOk) << detail;
    EXPECT_EQ(got.skipped, skipped_[file]);
    std::size_t c = 0, p = 0;
    for (const Expected& e : want) {
      double x, y, r = 0.0;
      if (e.kind == "circle") {
        ASSERT_LT(c, got.circles.size());
        x = got.circles[c].x, y = got.circles[c].y, r = got.circles[c].r;
        EXPECT_EQ(got.circles[c++].skyInner, -1.0);
      } else {
        ASSERT_LT(p, got.points.size());
        x = got.points[p].x, y = got.points[p++].y;
      }
      EXPECT_NEAR(PhotShownX(x), e.x, 0.01);
      EXPECT_NEAR(PhotShownY(image_, y), e.y, 0.01);
      EXPECT_NEAR(r, e.r, 0.01 * std::max(1.0, e.r * 1e-3));
      // The pixel there holds the value that names the FITS pixel the file means.
      EXPECT_EQ(image_.GetPixel(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))),
                e.value);
    }
    EXPECT_EQ(c, got.circles.size());
    EXPECT_EQ(p, got.points.size());
  }
}

TEST_P(RegionFilesTest, MarksWrittenAndReadBack) {
  CAperture aperture;
  ASSERT_EQ(aperture.AddMeasurement(20.3, 30.7, 4.0, 7.0, 9.5, &image_), 1);
  ASSERT_EQ(aperture.AddMeasurement(80.0, 12.25, 2.5, 6.0, 8.0, &image_), 1);
  CPositioning pos;
  CPositioningItem item;
  item.m_dX = 44.44, item.m_dY = 55.55;
  ASSERT_EQ(pos.AddItem(item), 1);
  CApertureRect rect;
  rect.SetImage(&image_);
  ASSERT_EQ(rect.Measure(5, 6, 15, 26), 1);
  CGraph2D lines;
  lines.OnLButtonDown(3, 4, false, false);
  lines.OnLButtonUp(40, 50);
  std::vector<RegionShape> shapes;
  AddApertureRegions(aperture, image_, &shapes);
  AddPositionRegions(pos, image_, &shapes);
  AddRectRegions(rect, image_, &shapes);
  AddLineRegions(lines, image_, &shapes);
  ASSERT_EQ(shapes.size(), 7u);
  for (bool sky : {false, true}) {
    SCOPED_TRACE(sky ? "sky" : "image");
    const std::string path = dir_.File(sky ? "sky.reg" : "own.reg");
    std::string detail;
    ASSERT_EQ(WriteRegionFile(path, shapes, image_, sky, &detail), kRegionOk) << detail;
    RegionImport back;
    ASSERT_EQ(ReadRegionFile(path, image_, &back, &detail), kRegionOk) << detail;
    ASSERT_EQ(back.circles.size(), 2u);
    ASSERT_EQ(back.points.size(), 1u);
    EXPECT_EQ(back.skipped, 2);  // the box and the line
    const double tol = sky ? 1e-4 : 1e-4;
    EXPECT_NEAR(back.circles[0].x, 20.3, tol);
    EXPECT_NEAR(back.circles[0].y, 30.7, tol);
    EXPECT_NEAR(back.circles[0].r, 4.0, 1e-3);
    EXPECT_NEAR(back.circles[0].skyInner, 7.0, 1e-3);
    EXPECT_NEAR(back.circles[0].skyOuter, 9.5, 1e-3);
    EXPECT_NEAR(back.circles[1].x, 80.0, tol);
    EXPECT_NEAR(back.circles[1].y, 12.25, tol);
    EXPECT_NEAR(back.points[0].x, 44.44, tol);
    EXPECT_NEAR(back.points[0].y, 55.55, tol);

    // Imported into fresh tools: the same measurements and positions.
    CAperture a2;
    CPositioning p2;
    EXPECT_EQ(ImportApertures(back, &a2, &image_), 2);
    EXPECT_EQ(ImportPositions(back, &p2, &image_), 1);
    ASSERT_EQ(a2.GetMarkCount(), 4);
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(a2.GetMark(i).m_dCx, aperture.GetMark(i).m_dCx, tol);
      EXPECT_NEAR(a2.GetMark(i).m_dOuterX, aperture.GetMark(i).m_dOuterX, 1e-3);
      EXPECT_NEAR(a2.GetMark(i).m_dInnerX, aperture.GetMark(i).m_dInnerX, 1e-3);
      EXPECT_EQ(a2.GetMark(i).m_nPixels, aperture.GetMark(i).m_nPixels);
    }
    EXPECT_NEAR(p2.GetItem(0).m_dY, 55.55, tol);
  }
}

INSTANTIATE_TEST_SUITE_P(RowOrders, RegionFilesTest, ::testing::Values(1, 0));

CRalImage Plain() {
  CRalImage image(40, 30, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(40, 1.0);
  for (int y = 0; y < 30; ++y) image.SetPhysicalRow(y, 0, row.data());
  return image;
}

TEST(RegionTextTest, BadTextRefusedWithItsError) {
  const CRalImage image = Plain();
  const struct {
    const char* text;
    int code;
    const char* says;
  } cases[] = {
      {"image\ncircle(1,2)\n", kRegionErrSyntax, "line 2"},
      {"image\ncircle(1,2,3\n", kRegionErrSyntax, "parentheses"},
      {"image\ncircle(a,2,3)\n", kRegionErrSyntax, "not a pixel position"},
      {"image\nhexagon(1,2,3)\n", kRegionErrSyntax, "unknown shape"},
      {"image\npoint(1,2,3)\n", kRegionErrSyntax, "point takes 2"},
      {"image\ncircle(1,2,-3)\n", kRegionErrRange, "size"},
      {"image\ncircle(1,2,0)\n", kRegionErrRange, "size"},
      {"image\npoint(1e300,2)\n", kRegionErrRange, "1e9"},
      {"image\npoint(nan,2)\n", kRegionErrSyntax, "not a pixel"},
      {"fk5\npoint(10,20)\n", kRegionErrNoWcs, "celestial"},
      {"image\ncircle(3,4,2\")\n", kRegionErrNoWcs, "angular"},
      {"linear\npoint(10,20)\n", kRegionErrSystem, "linear"},
      {"wcsb\npoint(10,20)\n", kRegionErrSystem, "wcsb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RegionImport out;
    std::string detail;
    EXPECT_EQ(ParseRegions(c.text, image, &out, &detail), c.code);
    EXPECT_NE(detail.find(c.says), std::string::npos) << detail;
  }
  {
    RegionImport out;
    std::string detail;
    const std::string binary("image\npoint(1,2)\0\n", 19);
    EXPECT_EQ(ParseRegions(binary, image, &out, &detail), kRegionErrSyntax);
    EXPECT_NE(detail.find("binary"), std::string::npos) << detail;
  }
  // Statements, includes, old forms and comments that are region text.
  RegionImport out;
  std::string detail;
  ASSERT_EQ(ParseRegions("# Region file format: DS9 version 4.1\r\n"
                         "global color=green font=\"helvetica 10\"\n"
                         "image; circle 5 6 2 # text={a;b}\n"
                         "+circle(7,8,3i); annulus(7,8,5,6); -point(9,10)\n"
                         "x point 11 12\n"
                         "circle point(13,14) # color=red\n"
                         "annulus(1,1,5,6)\n"
                         "# vector(1,1,4,0) vector=1\n"
                         "polygon(1,1,2,2,3,1)\n",
                         image, &out, &detail),
            kRegionOk)
      << detail;
  ASSERT_EQ(out.circles.size(), 2u);
  ASSERT_EQ(out.points.size(), 3u);
  EXPECT_EQ(out.skipped, 3);  // the second annulus, the vector and the polygon
  EXPECT_DOUBLE_EQ(out.circles[1].r, 3.0);
  EXPECT_DOUBLE_EQ(out.circles[1].skyInner, 5.0);
  EXPECT_DOUBLE_EQ(out.points[2].x, 12.0);
  // A FITS image is not read here, so rows count from the top: y − 1.
  EXPECT_DOUBLE_EQ(out.points[2].y, 13.0);
}

TEST(RegionTextTest, RandomTextNeverCrashes) {
  const CRalImage image = Plain();
  std::mt19937 rng(7);
  const std::string alphabet = "circlepointannulusimagefk5:;#(),. -+0123456789e\"'d\n";
  for (int i = 0; i < 3000; ++i) {
    std::string text(static_cast<std::size_t>(rng() % 80), ' ');
    for (char& ch : text) ch = alphabet[rng() % alphabet.size()];
    RegionImport out;
    std::string detail;
    const int rc = ParseRegions(text, image, &out, &detail);
    EXPECT_TRUE(rc == kRegionOk || !detail.empty()) << text;
  }
}

}  // namespace
