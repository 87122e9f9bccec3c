// The dispatcher with Mutoh and raw files: what reading makes of them, the conversion a
// Mutoh save makes of a float image (and the question it asks), and the refusal of a
// colour image.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/fileiotexts.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "formats/mtf/mutoh.h"
#include "imagemodel/vmmanager.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace ft = fileio_text;

namespace {

std::string U16(unsigned v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

class MutohRawDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVmManager::Restart();
    CRalImageIO::ClearLastError();
  }
  void TearDown() override { CVmManager::Restart(); }
  std::string Put(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

TEST_F(MutohRawDispatchTest, MutohAndRawFilesOpenAsFloatsOfTheirValues) {
  struct Case {
    std::string name, bytes;
    CReadParam param;
    const char* format;
  };
  CReadParam raw;
  raw.SetFileType(FILETYPE_RAW);
  raw.SetBitsPixel(16);
  raw.SetWidth(3);
  raw.SetHeight(1);
  raw.SetHeaderSize(2);
  raw.SetByteOrder(1);
  raw.SetSigned(0);
  CReadParam bin;
  bin.SetFileTypeDefaulted("a.bin");
  const Case cases[] = {
      {"a.bin", U16(3) + U16(1) + U16(0) + U16(0) + U16(0) + U16(40000) + U16(65535), bin,
       "Mutoh BIN ﾌｫｰﾏｯﾄ"},
      {"a.raw", std::string("hh\x00\x00\x9c\x40\xff\xff", 8), raw, "Rawイメージ"},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    CRalImage image;
    int autoLevel = 0;
    ASSERT_EQ(CRalImageIO::ReadFile(image, Put(c.name, c.bytes), &c.param, -32, &autoLevel), 1);
    EXPECT_EQ(image.GetBitsPixel(), -32);
    EXPECT_EQ(image.GetOrgBitsPixel(), 16);
    EXPECT_EQ(image.GetOrgFileFormat(), c.format);
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(image.GetPixel(x, 0), (std::vector<double>{0, 40000, 65535})[x]);
  }
}

TEST_F(MutohRawDispatchTest, FloatImageIsConvertedForAMutohSaveAfterTheQuestion) {
  CRalImage image(3, 1, -32, 1, 1.0, 0.0, 1);
  auto* row = static_cast<float*>(image.GetImageAdr(0, 0, 0));
  row[0] = -500;
  row[1] = 0;
  row[2] = 100000;  // beyond 16 bits
  ScriptedPrompts prompts;
  ScopedUserPrompts scoped(&prompts);
  prompts.Expect("ChangeBitsFits", [](Prompt& p) {
    static_cast<ChangeBitsFitsPrompt&>(p).mode = 3;  // compress into the range
    return true;
  });
  const std::string out = dir_.File("c.mtf");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 1), 1);
  EXPECT_EQ(prompts.asked(), std::vector<std::string>{"ChangeBitsFits"});
  EXPECT_EQ(image.GetOrgFileFormat(), ft::kFormatMutohMtf);
  EXPECT_EQ(image.GetOrgBitsPixel(), 16);
  CImage back;
  ASSERT_EQ(CMutoh::Read(back, out, CMutoh::MTF), MTF_OK);
  // Compressed into 16 bits: the order of the values is kept and the range is used.
  EXPECT_EQ(back.GetPixel(0, 0), 0);
  EXPECT_LT(back.GetPixel(1, 0), back.GetPixel(2, 0));
  EXPECT_EQ(back.GetPixel(2, 0), 65535);
}

TEST_F(MutohRawDispatchTest, ColourImageIsRefusedAndNothingIsWritten) {
  CRalImage image(2, 2, 16, 3, 1.0, 0.0, 0);
  const std::string out = dir_.File("c.bin");
  EXPECT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 0);
  ASSERT_EQ(box_.shown.size(), 1u);
  EXPECT_EQ(box_.shown[0].text, ft::kMutohColor);
  EXPECT_EQ(ReadFileOrEmpty(out), "");
}

}  // namespace
