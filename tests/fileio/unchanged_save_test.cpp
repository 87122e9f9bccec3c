// A FITS image saved as it was read writes the data unit of its file byte for byte, by
// copying it, and the file it writes is the one the conversion of its pixels would
// write; any change to the image, or to the file in place, leaves the copy aside. The
// source files are made by astropy, the mirrored and preserved data are judged by it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/imgflip.h"
#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

int Python(const std::string& args) {
  const std::string command =
      std::string("/usr/bin/python3 ") + UNCHANGED_SAVE_SCRIPT + " " + args + " 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The bytes behind the primary header: the data unit with its padding.
std::string DataUnit(const std::string& path) {
  const std::string bytes = ReadFileOrEmpty(path);
  for (std::size_t at = 0; at + 80 <= bytes.size(); at += 80)
    if (bytes.compare(at, 8, "END     ") == 0) return bytes.substr((at / 2880 + 1) * 2880);
  return {};
}

// The whole file with the card of the writing date blanked out.
std::string WithoutDate(const std::string& path) {
  std::string bytes = ReadFileOrEmpty(path);
  for (std::size_t at = 0; at + 80 <= bytes.size(); at += 80) {
    if (bytes.compare(at, 8, "DATE    ") == 0) bytes.replace(at, 80, 80, ' ');
    if (bytes.compare(at, 8, "END     ") == 0) break;
  }
  return bytes;
}

class UnchangedSaveTest : public FitsTest {
 protected:
  void SetUp() override {
    FitsTest::SetUp();
    ASSERT_EQ(Python("make " + dir_.path()), 0);
  }
  // As the command-line tool opens a file: folded into real pixels, automatic levels; a
  // cube is read as red, green and blue.
  void Open(CRalImage& image, const std::string& path) {
    ScriptedPrompts prompts;
    ScopedUserPrompts scoped(&prompts);
    prompts.Always(std::string(LoadFits3DPrompt::kKind), [](Prompt& p) {
      static_cast<LoadFits3DPrompt&>(p).color = true;
      return true;
    });
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    ASSERT_EQ(CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel), 1) << path;
    ASSERT_EQ(CPrcAutoLevel::Do(image, nullptr), 1);
  }
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

class UnchangedFileTest : public UnchangedSaveTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(UnchangedFileTest, CopiesTheDataUnitAndWritesWhatTheConversionWrites) {
  const std::string in = dir_.File(std::string(GetParam()) + ".fits");
  CRalImage image;
  Open(image, in);
  ASSERT_NE(image.GetUnchangedSource(), nullptr);
  // A copy of the image has pixels of its own: it takes the conversion.
  CRalImage converted(image);
  EXPECT_EQ(converted.GetUnchangedSource(), nullptr);

  const std::string copied = dir_.File("copied.fits"), made = dir_.File("converted.fits");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, copied, 0), 1);
  ASSERT_EQ(CRalImageIO::WriteImageFile(converted, made, 0), 1);
  const std::string unit = DataUnit(in);
  ASSERT_FALSE(unit.empty());
  EXPECT_TRUE(DataUnit(copied) == unit) << "data unit of " << GetParam() << " not kept";
  EXPECT_TRUE(WithoutDate(copied) == WithoutDate(made)) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Files, UnchangedFileTest,
                         ::testing::Values("scaled16", "blank16", "blankfree16", "plain8",
                                           "scaled32", "cube16"));

struct Change {
  const char* name;
  std::function<void(CRalImage&, const std::string& path)> apply;
};

class ChangedImageTest : public UnchangedSaveTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangedImageTest, DropsTheMark) {
  const std::string in = dir_.File("blank16.fits");
  CRalImage image;
  Open(image, in);
  ASSERT_NE(image.GetUnchangedSource(), nullptr);
  GetParam().apply(image, in);
  EXPECT_EQ(image.GetUnchangedSource(), nullptr) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangedImageTest,
    ::testing::Values(
        Change{"pixel address for writing",
               [](CRalImage& i, const std::string&) { (void)i.GetImageAdr(0, 5, 0); }},
        Change{"physical row written back",
               [](CRalImage& i, const std::string&) {
                 std::vector<double> row(static_cast<std::size_t>(i.GetWidth()));
                 ASSERT_EQ(i.GetPhysicalRow(2, 0, row.data()), 1);
                 ASSERT_EQ(i.SetPhysicalRow(2, 0, row.data()), 1);
               }},
        Change{"exchanged and back, as undo and redo do",
               [](CRalImage& i, const std::string&) {
                 CRalImage other(i);
                 i.Swap(other);
                 i.Swap(other);
               }},
        Change{"doubles", [](CRalImage& i, const std::string&) { i.FoldPhysical(-64); }},
        Change{"size", [](CRalImage& i,
                          const std::string&) { i.ChangeSize(i.GetWidth() + 1, i.GetHeight()); }},
        Change{"copied over from another image",
               [](CRalImage& i, const std::string&) {
                 CRalImage other(i);
                 i.CopyImage(other);
               }},
        Change{"original scaling",
               [](CRalImage& i, const std::string&) { i.SetOrgScaling(0.25, 100.0); }},
        Change{"original blank", [](CRalImage& i, const std::string&) { i.SetOrgBlank(0, 0); }},
        Change{"file written in place",
               [](CRalImage&, const std::string& path) {
                 ::usleep(20000);  // past the file system's clock tick
                 const int fd = ::open(path.c_str(), O_WRONLY);
                 ASSERT_GE(fd, 0);
                 ASSERT_EQ(::pwrite(fd, "\x12\x34", 2, 2880), 2);
                 ::close(fd);
               }}),
    [](const ::testing::TestParamInfo<Change>& info) {
      std::string name;
      for (const char* c = info.param.name; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
      return name;
    });

TEST_F(UnchangedSaveTest, AMirroredImageSavesItsMirroredPixels) {
  for (const char* name : {"scaled16", "blank16", "cube16"}) {
    const std::string in = dir_.File(std::string(name) + ".fits");
    CRalImage image;
    Open(image, in);
    ASSERT_EQ(CImgFlip(image).Do(0, nullptr, 0), 1);
    EXPECT_EQ(image.GetUnchangedSource(), nullptr);
    const std::string out = dir_.File("flipped.fits");
    ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);
    EXPECT_EQ(Python("flipped " + in + " " + out), 0) << name;
  }
}

TEST_F(UnchangedSaveTest, AFileChangedInPlaceAfterReadingIsNotCopied) {
  const std::string in = dir_.File("scaled16.fits"), kept = dir_.File("kept.fits");
  WriteFileOrDie(kept, ReadFileOrEmpty(in));
  CRalImage image;
  Open(image, in);
  ::usleep(20000);  // past the file system's clock tick
  // Other data in the same file, same size: only the file's look tells.
  std::string bytes = ReadFileOrEmpty(in);
  for (std::size_t i = 2880; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
  const int fd = ::open(in.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  const std::string out = dir_.File("out.fits");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);
  EXPECT_EQ(Python("same " + kept + " " + out), 0);
}

}  // namespace
