// The bundled sample star field, opened as the program opens it, mirrored each way and
// saved: astropy finds the same sky at every pixel of the saved copy as at the mirrored
// pixel of the file before the mirror, and the same star there. Besides the sample's own
// header (TAN, a CD matrix, the reference pixel at the centre), the field is saved with
// a rotated PC matrix and with CDELT alone, both about a reference pixel off the centre,
// so that a mirror forgetting the reference pixel or taking a row for a column is seen.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "app/samplefits.h"
#include "engine/imgflip.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::HaveAstropy;
using testsupport::kPython;
using testsupport::RunCommand;
using testsupport::ShellQuote;

enum class Form { kSample, kPc, kCdelt };

const char* FormName(Form f) {
  return f == Form::kSample ? "sample" : f == Form::kPc ? "pc" : "cdelt";
}

// The sample's coordinates as they were read, or turned into another form.
void Reform(CRalImage& image, Form form) {
  if (form == Form::kSample) return;
  const double scale = 1.2 / 3600.0;
  image.SetCRPix(0, 40.3);
  image.SetCRPix(1, 77.9);
  image.SetCDelt(0, -scale);
  image.SetCDelt(1, scale);
  if (form == Form::kPc) {
    const double r = 30.0 * M_PI / 180.0;
    image.SetLTMtx({std::cos(r), -std::sin(r), std::sin(r), std::cos(r)}, 2);
  } else {
    image.ClearLTMtx();
  }
}

bool Open(CRalImage& image, const std::string& path) {
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  int autoLevel = 0;
  return CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel) == 1;
}

TEST(SampleWcsTest, MirroredAndSavedSampleKeepsItsSkyAtEveryPixelByAstropy) {
  if (!HaveAstropy()) GTEST_SKIP() << kPython << " cannot import astropy.wcs and numpy";
  ScopedConfigHome home;
  TempDir dir;
  const std::string sample = dir.File("sample.fits");
  ASSERT_EQ(WriteSampleStarField(sample, 200, 120), 0);

  std::ofstream list(dir.File("cases.txt"));
  std::vector<std::string> names;
  for (Form form : {Form::kSample, Form::kPc, Form::kCdelt}) {
    CRalImage image;
    ASSERT_TRUE(Open(image, sample));
    Reform(image, form);
    // Both files go through the same writer, so that its formatting cannot differ.
    const std::string before = dir.File(std::string(FormName(form)) + ".fits");
    ASSERT_EQ(CRalImageIO::WriteImageFile(image, before, 0), 1);
    for (int axis : {1, 2}) {
      const std::string name = std::string(FormName(form)) + (axis == 1 ? "_x" : "_y");
      SCOPED_TRACE(name);
      // As the image window does it: the command works on a copy, reading the original.
      CRalImage original;
      ASSERT_TRUE(Open(original, before));
      CRalImage working(original);
      ASSERT_EQ(CImgFlip(working).Do(axis == 1, &original, 0), 1);
      const std::string after = dir.File(name + ".fits");
      ASSERT_EQ(CRalImageIO::WriteImageFile(working, after, 0), 1);
      list << name << ' ' << axis << ' ' << before << ' ' << after << '\n';
      names.push_back(name);
    }
  }
  list.close();

  const auto out = RunCommand(std::string(kPython) + " " + ShellQuote(WCS_MIRROR_SCRIPT) + " " +
                              ShellQuote(dir.File("cases.txt")));
  for (const std::string& name : names)
    EXPECT_NE(out.text.find("ok " + name + "\n"), std::string::npos) << name;
  EXPECT_EQ(out.status, 0) << out.text;
}

}  // namespace
