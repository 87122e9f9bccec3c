// The bundled sample star field, opened as the program opens it, mirrored each way as the
// image window mirrors and saved: astropy finds the same data, mirrored, and the same sky
// at every pixel as at the mirrored pixel of the file before. Besides the sample's own
// header (a CD matrix about the centre), the field is saved with a rotated PC matrix and
// with CDELT alone, both about a reference pixel off the centre.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/samplefits.h"
#include "engine/imgflip.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wcs_mirror.h"

namespace {

bool Open(CRalImage& image, const std::string& path) {
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  int autoLevel = 0;
  return CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel) == 1;
}

TEST(SampleWcsTest, MirroredAndSavedSampleKeepsItsSkyByAstropy) {
  if (std::system("/usr/bin/python3 -c 'import astropy.wcs' 2>/dev/null") != 0)
    GTEST_SKIP() << "/usr/bin/python3 cannot import astropy.wcs (python3-astropy)";
  ScopedConfigHome home;
  TempDir dir;
  ASSERT_EQ(WriteSampleStarField(dir.File("sample.fits"), 200, 120), 0);
  std::ofstream cases(dir.File("cases.txt"));
  std::vector<std::string> names;
  for (const std::string form : {"cd", "pc", "cdelt"}) {
    CRalImage image;
    ASSERT_TRUE(Open(image, dir.File("sample.fits")));
    if (form != "cd") {
      image.SetCRPix(0, 40.3);
      image.SetCRPix(1, 77.9);
      image.SetCDelt(0, -1.2 / 3600);
      image.SetCDelt(1, 1.2 / 3600);
      const double r = M_PI / 6;
      image.SetLTMtx({std::cos(r), -std::sin(r), std::sin(r), std::cos(r)}, form == "pc" ? 2 : 0);
    }
    // Both files pass through the same writer, so its formatting cannot differ.
    const std::string before = dir.File(form + ".fits");
    ASSERT_EQ(CRalImageIO::WriteImageFile(image, before, 0), 1);
    for (int axis : {1, 2}) {
      // As the window does it: the command works on a copy and reads the original.
      CRalImage original;
      ASSERT_TRUE(Open(original, before));
      CRalImage working(original);
      ASSERT_EQ(CImgFlip(working).Do(axis == 1, &original, 0), 1);
      const std::string name = form + std::to_string(axis), after = dir.File(name + ".fits");
      ASSERT_EQ(CRalImageIO::WriteImageFile(working, after, 0), 1);
      cases << name << ' ' << axis << ' ' << before << ' ' << after << '\n';
      names.push_back(name);
    }
  }
  cases.close();
  ExpectMirrorCheckPasses(dir, names);
}

}  // namespace
