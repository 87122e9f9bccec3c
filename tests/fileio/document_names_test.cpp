// Document names with '<' in them: the "<USF>" mark of unsigned FITS reading is cut off a
// name only when the name is not a file's own; a file whose name holds '<' opens as itself.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "fits/fits.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace {

struct NameCase {
  const char* name;  // in the test folder
  int type;
  const char* path;  // what is left to read, in the test folder
};

// Files on disk: "a<b.fits", "c<USF>.fits", "x.fits<USF>", "m<1>.fits", "plain.fits".
constexpr NameCase kNames[] = {
    {"a<b.fits", FILETYPE_FITS, "a<b.fits"},
    {"c<USF>.fits", FILETYPE_FITS, "c<USF>.fits"},
    {"x.fits<USF>", FILETYPE_UNKNOWN, "x.fits<USF>"},  // its own name tells no format
    {"m<1>.fits[0]", FILETYPE_FITS, "m<1>.fits[0]"},
    // Names that are no file keep the marks: "<USF>" asks for unsigned reading.
    {"plain.fits<USF>", FILETYPE_USFITS, "plain.fits"},
    {"plain.fits<usf>", FILETYPE_USFITS, "plain.fits"},
    {"plain.fits[0]<USF>", FILETYPE_USFITS, "plain.fits[0]"},
    {"plain.fits<XYZ>", FILETYPE_UNKNOWN, "plain.fits"},
    {"gone<b.fits", FILETYPE_UNKNOWN, "gone"},
    {"plain.fits", FILETYPE_FITS, "plain.fits"},
};

// A test's name from its case's text: letters and digits kept, anything else '_'.
std::string CaseName(int index, const std::string& text) {
  std::string name = "c" + std::to_string(index) + "_";
  for (char c : text) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

class DocumentNameTest : public ::testing::TestWithParam<NameCase> {
 protected:
  void SetUp() override {
    CRalImage image(3, 2, -32, 1, 1.0, 0.0, 1);
    for (const char* n : {"a<b.fits", "c<USF>.fits", "x.fits<USF>", "m<1>.fits", "plain.fits"})
      ASSERT_EQ(CFits::Write(image, dir_.File(n), nullptr, ""), 0) << n;
  }
  TempDir dir_;
};

TEST_P(DocumentNameTest, MarksAreCutOnlyOffNamesThatAreNoFile) {
  const NameCase& c = GetParam();
  std::string path = dir_.File(c.name);
  EXPECT_EQ(CRalImageIO::GetFileTypeOfDocumentName(&path), c.type) << c.name;
  EXPECT_EQ(path, dir_.File(c.path)) << c.name;
}
INSTANTIATE_TEST_SUITE_P(Names, DocumentNameTest, ::testing::ValuesIn(kNames),
                         [](const auto& info) { return CaseName(info.index, info.param.name); });

TEST_F(DocumentNameTest, AFileWhoseNameHoldsALessThanSignIsRead) {
  RecordingMessageBox box;
  ScopedMessageBox scoped(&box);
  for (const char* n : {"a<b.fits", "c<USF>.fits", "x.fits<USF>", "m<1>.fits[0]"}) {
    std::string path = dir_.File(n);
    CReadParam param;
    param.SetFileType(CRalImageIO::GetFileTypeOfDocumentName(&path));
    CRalImage image;
    int autoLevel = 0;
    EXPECT_EQ(CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel), 1) << n;
    EXPECT_EQ(image.GetWidth(), 3) << n;
    EXPECT_EQ(image.GetHeight(), 2) << n;
  }
  EXPECT_TRUE(box.shown.empty()) << box.shown.front().text;
}

}  // namespace
