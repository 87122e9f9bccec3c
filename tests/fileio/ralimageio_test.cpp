// The dispatcher with real files: reading with the scaling folded in, the plane
// question, saving with and without options, the conversion question, and the codes
// shown for what cannot be written.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/filedialogs.h"
#include "fileio/fileiotexts.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "formats/fio/fileiomsg.h"
#include "imagemodel/vmmanager.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/formats/bitran/bitran_test_file.h"
#include "tests/formats/sbig/sbig_test_file.h"
#include "tests/support/temp_dir.h"

namespace ft = fileio_text;

namespace {

std::string Card(std::string text) {
  text.resize(80, ' ');
  return text;
}
std::string Key(const std::string& k, const std::string& v) {
  std::string key = k;
  key.resize(8, ' ');
  return Card(key + "= " + std::string(v.size() < 20 ? 20 - v.size() : 0, ' ') + v);
}

// A primary FITS file of 16-bit big-endian values; planes 0 leaves out the third axis.
std::string Fits16(int width, int height, int planes, const std::vector<std::int16_t>& raw,
                   const std::vector<std::string>& extra = {}) {
  std::string h = Key("SIMPLE", "T") + Key("BITPIX", "16") +
                  Key("NAXIS", planes > 0 ? "3" : "2") + Key("NAXIS1", std::to_string(width)) +
                  Key("NAXIS2", std::to_string(height));
  if (planes > 0) h += Key("NAXIS3", std::to_string(planes));
  for (const std::string& c : extra) h += c;
  h += Card("END");
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  std::string d;
  for (std::int16_t v : raw) {
    const auto u = static_cast<std::uint16_t>(v);
    d += static_cast<char>(u >> 8);
    d += static_cast<char>(u & 0xFF);
  }
  d.resize((d.size() + 2879) / 2880 * 2880, '\0');
  return h + d;
}

class RalImageIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVmManager::Restart();
    CRalImageIO::ClearLastError();
  }
  void TearDown() override { CVmManager::Restart(); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  int Read(CRalImage& image, const std::string& path) {
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    return CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel);
  }
  // A float image of physical values, as an opened FITS file is held.
  static void FillFloat(CRalImage& image, const std::vector<float>& values) {
    for (int y = 0; y < image.GetHeight(); ++y) {
      auto* row = static_cast<float*>(image.GetImageAdr(0, y, 0));
      for (int x = 0; x < image.GetWidth(); ++x)
        row[x] = values[static_cast<std::size_t>(y * image.GetWidth() + x)];
    }
  }

  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

TEST_F(RalImageIOTest, ScalingIsFoldedIntoFloatPixels) {
  const std::string path = Write("scaled.fts", Fits16(2, 1, 0, {100, -5},
                                                      {Key("BSCALE", "2.0"), Key("BZERO", "32768.0")}));
  CRalImage image;
  ASSERT_EQ(Read(image, path), 1);
  EXPECT_EQ(image.GetBitsPixel(), -32);
  EXPECT_FLOAT_EQ(*static_cast<const float*>(image.GetImageAdr(0, 0, 0)), 32968.0f);
  EXPECT_FLOAT_EQ(*static_cast<const float*>(image.GetImageAdr(1, 0, 0)), 32758.0f);
  EXPECT_EQ(image.GetBscale(), 1.0);
  EXPECT_EQ(image.GetBzero(), 0.0);
  EXPECT_EQ(image.GetOrgBitsPixel(), 16);
}

TEST_F(RalImageIOTest, SixteenBitFitsIsSavedAgainAsSixteenBit) {
  // Unsigned 16-bit data, stored the FITS way with BZERO 32768.
  const std::string path = Write("u16.fts", Fits16(3, 1, 0, {-32768, -31768, 32767},
                                                   {Key("BZERO", "32768")}));
  CRalImage image;
  ASSERT_EQ(Read(image, path), 1);
  const std::string out = dir_.File("again.fts");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);
  CImage header;
  ASSERT_EQ(CFits::ReadHeader(header, out, 0), FITS_OK);
  EXPECT_EQ(header.GetBitsPixel(), 16);
  CRalImage again;
  ASSERT_EQ(Read(again, out), 1);
  for (int x = 0; x < 3; ++x)
    EXPECT_FLOAT_EQ(again.GetPixel(x, 0, 0), (std::vector<float>{0, 1000, 65535})[x]);
  EXPECT_EQ(image.GetOrgFileName(), out);
  EXPECT_EQ(image.GetOrgFileFormat(), "FITS");
}

TEST_F(RalImageIOTest, ScaledSixteenBitFitsKeepsItsStoredValuesOnAPlainSave) {
  const std::vector<std::int16_t> raw = {-32768, -7, 0, 13, 32767};
  const std::string path =
      Write("scaled.fts", Fits16(5, 1, 0, raw, {Key("BSCALE", "0.0458"), Key("BZERO", "10.5")}));
  CRalImage image;
  ASSERT_EQ(Read(image, path), 1);
  EXPECT_EQ(image.GetBitsPixel(), -32);  // folded into floats for work
  const std::string out = dir_.File("scaled-again.fts");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);
  CImage back;
  ASSERT_EQ(CFits::Read(back, out, 1, 0, 0, 1, 2, nullptr, {}, 0), FITS_OK);
  EXPECT_EQ(back.GetBitsPixel(), 16);
  EXPECT_DOUBLE_EQ(back.GetBscale(), 0.0458);
  EXPECT_DOUBLE_EQ(back.GetBzero(), 10.5);
  for (int x = 0; x < 5; ++x) {
    const std::int16_t stored =
        *static_cast<const std::int16_t*>(static_cast<const CImage&>(back).GetImageAdr(x, 0, 0));
    EXPECT_EQ(stored, raw[x]) << x;
  }

  // A pixel pushed beyond what the scaling can hold sends the save the usual way.
  *static_cast<float*>(image.GetImageAdr(0, 0, 0)) = 1e9f;
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);
  CImage wide;
  ASSERT_EQ(CFits::Read(wide, out, 1, 0, 0, 1, 2, nullptr, {}, 0), FITS_OK);
  EXPECT_NE(wide.GetBscale(), 0.0458);
}

TEST_F(RalImageIOTest, CubeAsksForPlanesAndReadsTheChosenOne) {
  std::vector<std::int16_t> raw;
  for (int p = 0; p < 4; ++p)
    for (int i = 0; i < 4; ++i) raw.push_back(static_cast<std::int16_t>(p * 100 + i));
  const std::string cube = Write("cube.fts", Fits16(2, 2, 4, raw));
  ScriptedPrompts prompts;
  ScopedUserPrompts scoped(&prompts);
  int offered = 0, blueStart = -1;
  prompts.Expect(std::string(LoadFits3DPrompt::kKind), [&](Prompt& p) {
    auto& q = static_cast<LoadFits3DPrompt&>(p);
    offered = q.planeCount;
    blueStart = q.blue;
    q.gray = 3;
    return true;
  });
  CRalImage image;
  ASSERT_EQ(Read(image, cube), 1);
  EXPECT_EQ(offered, 4);
  EXPECT_EQ(blueStart, 2);
  EXPECT_EQ(image.GetPlanes(), 1);
  // The first file row is the bottom row.
  EXPECT_FLOAT_EQ(image.GetPixel(1, 1, 0), 301.0f);
  // A choice out of a cube may not be written over the cube.
  EXPECT_EQ(image.IsOverwriteAllowed(), 0);
  EXPECT_EQ(CRalImageIO::WriteImageFile(image, cube, 0), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_OVERWRITE);

  // Cancelling the question ends the read without a message.
  box_.shown.clear();
  CRalImage cancelled;
  EXPECT_EQ(Read(cancelled, cube), 0);
  EXPECT_TRUE(box_.shown.empty());

  // One plane along the third axis: no question.
  const std::string flat = Write("flat.fts", Fits16(2, 2, 1, {1, 2, 3, 4}));
  CRalImage one;
  EXPECT_EQ(Read(one, flat), 1);
  EXPECT_EQ(prompts.asked().size(), 2u);
}

struct RefusalCase {
  const char* name;
  const char* origin;  // the original format of the image
  int result;
  int code;
};

class WriteRefusalTest : public RalImageIOTest,
                         public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(WriteRefusalTest, CodeShownByExtensionAndOrigin) {
  const RefusalCase& c = GetParam();
  CRalImage image(2, 2, -32, 1, 1.0, 0.0, 1);
  image.SetOrgFileFormat(c.origin);
  const std::string path = dir_.File(c.name);
  EXPECT_EQ(CRalImageIO::WriteImageFile(image, path, 0), c.result);
  EXPECT_EQ(CRalImageIO::GetLastError(), c.code);
  ASSERT_EQ(box_.shown.size(), 1u);
  const bool aboutImage = c.code == FIO_ERR_FITS_SAVE;
  EXPECT_EQ(box_.shown[0].text, FileioMessageText(c.code, aboutImage ? "Clipboard" : path));
  EXPECT_EQ(box_.shown[0].style & MB_ICONMASK, MB_ICONEXCLAMATION);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, WriteRefusalTest,
    ::testing::Values(RefusalCase{"a.ccd", "FITS", 0, FIO_ERR_BITRAN_SAVE},
                      RefusalCase{"a.raw", "FITS", 0, FIO_ERR_UNKNOWN_TYPE},
                      RefusalCase{"a.xyz", "FITS", 0, FIO_ERR_UNKNOWN_TYPE},
                      RefusalCase{"a.fts", "JPEG", FIO_ERR_FITS_SAVE, FIO_ERR_FITS_SAVE},
                      RefusalCase{"a.fts", "PNG", FIO_ERR_FITS_SAVE, FIO_ERR_FITS_SAVE}));

TEST_F(RalImageIOTest, DibIsWrittenThroughTheBmpWriter) {
  ScriptedPrompts prompts;
  ScopedUserPrompts scoped(&prompts);
  prompts.Always(std::string(SaveBmpPrompt::kKind), [](Prompt&) { return true; });
  CRalImage image(2, 2, -32, 1, 1.0, 0.0, 1);
  CRalImageIO::WriteImageFile(image, dir_.File("a.dib"), 1);
  EXPECT_EQ(prompts.asked(), std::vector<std::string>{"SaveBmp"});
}

// The file an image came from, under the names a save may be given for it. '@' stands
// for the test's folder, which is also the working folder.
struct SameFileCase {
  const char* label;
  const char* original;  // the image's original file name (a document name may end in <USF>)
  const char* target;
  bool refused;
};

class OverwriteGuardTest : public RalImageIOTest,
                           public ::testing::WithParamInterface<SameFileCase> {
 protected:
  void SetUp() override {
    RalImageIOTest::SetUp();
    cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    Write("orig.fts", kCube);
    std::filesystem::create_directory(dir_.File("sub"));
    std::filesystem::create_symlink(dir_.File("orig.fts"), dir_.File("link.fts"));
    std::filesystem::create_hard_link(dir_.File("orig.fts"), dir_.File("hard.fts"));
    Write("other.fts", "another file");
  }
  void TearDown() override {
    std::filesystem::current_path(cwd_);
    RalImageIOTest::TearDown();
  }
  std::string At(std::string name) const {
    if (name.starts_with('@')) name.replace(0, 1, dir_.path());
    return name;
  }
  static constexpr const char* kCube = "the cube the plane came from";
  std::filesystem::path cwd_;
};

TEST_P(OverwriteGuardTest, DispatcherRefusesTheSourceUnderAnyName) {
  const SameFileCase& c = GetParam();
  CRalImage image(2, 2, -32, 1, 1.0, 0.0, 1);
  image.SetOrgFileFormat("FITS");
  image.SetOrgFileName(At(c.original));
  image.SetOverwriteAllowed(0);
  const int written = CRalImageIO::WriteImageFile(image, At(c.target), 0);
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("orig.fts")), kCube);
  if (c.refused) {
    EXPECT_EQ(written, 0);
    EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_OVERWRITE);
  } else {
    EXPECT_EQ(written, 1);
    CImage back;
    EXPECT_EQ(CFits::ReadHeader(back, At(c.target), 0), FITS_OK);
  }
}

TEST_P(OverwriteGuardTest, SaveAsDialogRefusesTheSourceUnderAnyName) {
  const SameFileCase& c = GetParam();
  const auto fits = ParseFilter(SaveFilter(1, 0))[1];
  const std::string target = At(c.target);
  const std::string name = target.substr(target.rfind('/') + 1);
  // A document name is refused for its type before the overwrite check is reached.
  const bool typeKnown = CRalImageIO::GetFileType(target) != FILETYPE_UNKNOWN;
  const std::string_view message = !typeKnown  ? ft::kSaveUnknownType
                                   : c.refused ? ft::kSaveNoOverwrite
                                               : std::string_view();
  const SaveNameCheck r = CheckSaveName(name, target, &fits, 0, At(c.original));
  EXPECT_EQ(r.message, message);
  EXPECT_EQ(r.verdict, message.empty() ? SaveNameVerdict::kOk : SaveNameVerdict::kRefused);
  // Where overwriting is allowed, no name is refused for being the original.
  EXPECT_EQ(CheckSaveName(name, target, &fits, 1, At(c.original)).message,
            typeKnown ? std::string_view() : ft::kSaveUnknownType);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OverwriteGuardTest,
    ::testing::Values(SameFileCase{"same", "@/orig.fts", "@/orig.fts", true},
                      SameFileCase{"relative", "@/orig.fts", "./orig.fts", true},
                      SameFileCase{"bare", "@/orig.fts", "orig.fts", true},
                      SameFileCase{"dotdot", "@/orig.fts", "@/sub/../orig.fts", true},
                      SameFileCase{"relativeOriginal", "orig.fts", "@/orig.fts", true},
                      SameFileCase{"symlink", "@/orig.fts", "@/link.fts", true},
                      SameFileCase{"hardlink", "@/orig.fts", "@/hard.fts", true},
                      SameFileCase{"unsignedOriginal", "@/orig.fts<USF>", "@/orig.fts", true},
                      SameFileCase{"unsignedLower", "@/orig.fts<usf>", "./orig.fts", true},
                      SameFileCase{"unsignedTarget", "@/orig.fts", "@/orig.fts<USF>", true},
                      SameFileCase{"another", "@/orig.fts", "@/other.fts", false},
                      SameFileCase{"new", "@/orig.fts", "@/new.fts", false},
                      SameFileCase{"otherCase", "@/orig.fts", "@/ORIG.fts", false},
                      SameFileCase{"sourceGone", "@/gone.fts", "@/gone.fts", false}),
    [](const auto& info) { return std::string(info.param.label); });

// Camera frames saved as FITS are whole frames: no card may keep an "original" size for
// them, as it does for an image cropped from a FITS file.
struct CameraFrameCase {
  const char* label;
  const char* name;
  std::string (*bytes)();
  int width, height, planes;
};

std::string Sbig7x4() {
  std::vector<std::uint16_t> pixels(7 * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint16_t>(i * 900);
  return sbig_test::Header(sbig_test::BasicLines("ST-7 Image", 7, 4)) +
         sbig_test::PlainRows(pixels);
}
std::string BitranGray6x5() {
  bitran_test::BitranFile f;
  f.Text(1, "BT-214E");
  f.width = 6;
  f.height = 5;
  return f.Build();
}
// A colour camera read at low resolution: half the frame, the last odd row and column
// dropped.
std::string BitranColour7x5() {
  bitran_test::BitranFile f;
  f.Text(1, "BT-214E カラー");
  f.width = 7;
  f.height = 5;
  return f.Build();
}

class CameraFrameAsFitsTest : public RalImageIOTest,
                              public ::testing::WithParamInterface<CameraFrameCase> {};

TEST_P(CameraFrameAsFitsTest, CarriesNoCardOfAnOriginalSize) {
  const CameraFrameCase& c = GetParam();
  CRalImage image;
  ASSERT_EQ(Read(image, Write(c.name, c.bytes())), 1);
  const std::string out = dir_.File("frame.fts");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);

  const std::string file = ReadFileOrEmpty(out);
  std::vector<std::string> cards;
  for (std::size_t at = 0; at + 80 <= file.size(); at += 80) {
    cards.push_back(file.substr(at, 80));
    if (cards.back().starts_with("END ")) break;
  }
  ASSERT_TRUE(!cards.empty() && cards.back().starts_with("END "));
  for (const std::string& card : cards) EXPECT_FALSE(card.starts_with("COMMENT NAXIS")) << card;
  CImage back;
  ASSERT_EQ(CFits::ReadHeader(back, out, 0), FITS_OK);
  EXPECT_EQ(back.GetWidth(), c.width);
  EXPECT_EQ(back.GetHeight(), c.height);
  EXPECT_EQ(back.GetPlanes(), c.planes);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, CameraFrameAsFitsTest,
    ::testing::Values(CameraFrameCase{"Sbig", "m31.st7", Sbig7x4, 7, 4, 1},
                      CameraFrameCase{"BitranGray", "m31.ccd", BitranGray6x5, 6, 5, 1},
                      CameraFrameCase{"BitranColour", "m31.ccd", BitranColour7x5, 3, 2, 3}),
    [](const auto& info) { return std::string(info.param.label); });

// The program keeps each answer as the next first answer. A caller that turns that off
// (the command-line tool) still starts from the stored answers but leaves the settings
// file as it was.
class RememberAnswersTest : public RalImageIOTest, public ::testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    CRalImageIO::SetRememberAnswers(true);
    RalImageIOTest::TearDown();
  }
  static std::string Stored(std::string_view section, std::string_view name) {
    std::string v;
    CRegistry::Read(section, name, "<missing>", v);
    return v;
  }
};

TEST_P(RememberAnswersTest, AnswersAreStoredOnlyWhenRemembered) {
  const bool remember = GetParam();
  CRalImage image(4, 3, -32, 1, 1.0, 0.0, 1);
  FillFloat(image, {-500, 0, 500, 1000, 0, 0, 0, 0, 0, 0, 0, 0});  // beyond 8 bits
  image.SetOrgFileFormat("FITS");
  const std::string raw = Write("frame.raw", std::string(12, '\x40'));
  ASSERT_EQ(CRegistry::Write("IO", "SaveJpegQuality", 9, CRegistry::TYPE_INT), 1);
  ASSERT_EQ(CRegistry::Write("IO", "SaveJpegProgressive", 0, CRegistry::TYPE_BOOL), 1);
  ASSERT_EQ(CRegistry::Write("IO", "ChangeBitsMode", 0, CRegistry::TYPE_INT), 1);
  ASSERT_EQ(CRegistry::Write("Dialog\\LoadByteImage", "Width", "17"), 1);
  const std::string before = ReadFileOrEmpty(home_.UserFile());
  CRalImageIO::SetRememberAnswers(remember);

  // Each question starts from the stored answer, and is answered otherwise.
  ScriptedPrompts prompts;
  ScopedUserPrompts scoped(&prompts);
  prompts.Expect("SaveFits", [](Prompt& p) {
    static_cast<SaveFitsPrompt&>(p).bits = 8;
    return true;
  });
  prompts.Expect("ChangeBitsFits", [](Prompt& p) {
    auto& q = static_cast<ChangeBitsFitsPrompt&>(p);
    EXPECT_EQ(q.mode, 0);
    q.mode = 3;
    return true;
  });
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("a.fts"), 1), 1);
  prompts.Expect("SaveJpeg", [](Prompt& p) {
    auto& q = static_cast<SaveJpegPrompt&>(p);
    EXPECT_EQ(q.quality, 9);
    EXPECT_FALSE(q.progressive);
    q.quality = 3;
    q.progressive = true;
    return true;
  });
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("a.jpg"), 1), 1);
  prompts.Expect("LoadRaw", [](Prompt& p) {
    auto& q = static_cast<LoadRawPrompt&>(p);
    EXPECT_EQ(q.width, "17");
    q.width = "4";
    q.height = "3";
    return true;
  });
  CReadParam param;
  ASSERT_EQ(CRalImageIO::GetLoadRawParam(raw, &param), 1);
  EXPECT_EQ(param.GetWidth(), 4);
  prompts.Expect("FileSave", [&](Prompt& p) {
    static_cast<FileSavePrompt&>(p).path = dir_.File("b.png");
    return true;
  });
  std::string chosen = "m31.fts";
  ASSERT_EQ(CRalImageIO::GetSaveImageFileName(&chosen, 1, 1, 1, {}, 0), 1);
  EXPECT_EQ(chosen, dir_.File("b.png"));
  EXPECT_TRUE(prompts.unexpected().empty());

  if (!remember) {
    EXPECT_EQ(ReadFileOrEmpty(home_.UserFile()), before);
    return;
  }
  EXPECT_EQ(Stored("IO", "SaveJpegQuality"), "3");
  EXPECT_EQ(Stored("IO", "SaveJpegProgressive"), "yes");
  EXPECT_EQ(Stored("IO", "SaveFitsBitsPixel"), "8");
  EXPECT_EQ(Stored("IO", "ChangeBitsMode"), "1");
  EXPECT_EQ(Stored("Dialog\\LoadByteImage", "Width"), "4");
  EXPECT_EQ(Stored("Dialog\\LoadByteImage", "Height"), "3");
  EXPECT_EQ(Stored("IO", "FileSaveDir"), dir_.path());
  EXPECT_EQ(Stored("IO", "SaveFilterIndex"),
            std::to_string(GetFilterIndex(SaveFilter(1, 0), "png") + 1));
}

INSTANTIATE_TEST_SUITE_P(Callers, RememberAnswersTest, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "Program" : "CommandLine");
});

TEST_F(RalImageIOTest, ConversionQuestionCompressesIntoSixteenBits) {
  CRalImage image(3, 1, -32, 1, 1.0, 0.0, 1);
  FillFloat(image, {-1000.0f, 50000.0f, 100000.0f});
  image.SetOrgFileFormat("FITS");
  image.AllocLevel();
  image.SetLevel(0, -1000.0, 100000.0);

  ScriptedPrompts prompts;
  ScopedUserPrompts scoped(&prompts);
  prompts.Expect("SaveFits", [](Prompt& p) {
    static_cast<SaveFitsPrompt&>(p).bits = 16;
    return true;
  });
  prompts.Expect("ChangeBitsFits", [](Prompt& p) {
    auto& q = static_cast<ChangeBitsFitsPrompt&>(p);
    EXPECT_EQ(q.bits, 16);
    EXPECT_EQ(q.mode, 0);  // clip is preselected the first time
    q.mode = 3;
    return true;
  });
  const std::string out = dir_.File("compressed.fts");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 1), 1);
  EXPECT_EQ(prompts.asked(), (std::vector<std::string>{"SaveFits", "ChangeBitsFits"}));

  CImage raw;
  ASSERT_EQ(CFits::Read(raw, out, 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
  EXPECT_EQ(raw.GetBitsPixel(), 16);
  EXPECT_EQ(*static_cast<const std::int16_t*>(raw.GetImageAdr(0, 0, 0)), -32768);
  EXPECT_EQ(*static_cast<const std::int16_t*>(raw.GetImageAdr(2, 0, 0)), 32767);
  EXPECT_NEAR(raw.GetPixel(0, 0, 0), -1000.0, 2.0);
  EXPECT_NEAR(raw.GetPixel(2, 0, 0), 100000.0, 2.0);
  EXPECT_NEAR(raw.GetPixel(1, 0, 0), 50000.0, 2.0);

  // The answer is remembered and preselected next time; a fixed mode asks nothing.
  int mode = -1;
  CRegistry::Read("IO", "ChangeBitsMode", 0, mode, CRegistry::TYPE_INT);
  EXPECT_EQ(mode, 1);
  CRegistry::Write("IO", "SaveFitsLevelExpansion", 0, CRegistry::TYPE_INT);
  prompts.Expect("SaveFits", [](Prompt& p) {
    static_cast<SaveFitsPrompt&>(p).bits = 16;
    return true;
  });
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("clipped.fts"), 1), 1);
  EXPECT_EQ(prompts.asked().size(), 3u);
  EXPECT_TRUE(prompts.unexpected().empty());
}

TEST_F(RalImageIOTest, CancelledQuestionWritesNothing) {
  CRalImage image(3, 1, -32, 1, 1.0, 0.0, 1);
  FillFloat(image, {-1000.0f, 0.0f, 100000.0f});
  image.SetOrgFileFormat("FITS");
  const std::string out = Write("kept.fts", "previous content");
  ScriptedPrompts prompts;
  ScopedUserPrompts scoped(&prompts);
  prompts.Expect("SaveFits", [](Prompt& p) {
    static_cast<SaveFitsPrompt&>(p).bits = 8;
    return true;
  });
  prompts.Expect("ChangeBitsFits", [](Prompt&) { return false; });
  EXPECT_EQ(CRalImageIO::WriteImageFile(image, out, 1), 0);
  EXPECT_EQ(ReadFileOrEmpty(out), "previous content");
  EXPECT_TRUE(box_.shown.empty());
}

TEST_F(RalImageIOTest, ReadFailuresShowTheirCode) {
  CRalImage image;
  const std::string missing = dir_.File("missing.fts");
  EXPECT_EQ(Read(image, missing), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_OPEN);
  const std::string other = Write("a.xyz", "GIF89a");
  EXPECT_EQ(Read(image, other), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_UNKNOWN_TYPE);
  const std::string junk = Write("junk.png", "not a png at all");
  EXPECT_EQ(Read(image, junk), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_FORMAT);
  ASSERT_EQ(box_.shown.size(), 3u);
  EXPECT_EQ(box_.shown[1].text, FileioMessageText(FIO_ERR_UNKNOWN_TYPE, other));
}

// Fails the pager's every block allocation and swap-file call from the end of the
// reader's first progress step (its pixel store is whole then), so that the conversion
// after reading finds no memory for the converted pixels.
class FailMemoryAfterReading : public ProgressSink {
 public:
  FailMemoryAfterReading() { CVmManager::SetIoFaultHook(&Hook); }
  ~FailMemoryAfterReading() override {
    CVmManager::SetIoFaultHook(nullptr);
    failing_ = false;
  }
  void Begin(const std::string& caption) override { caption_ = caption; }
  void Percent(int) override {}
  void End() override {
    if (caption_ == ft::kReading) failing_ = true;
  }

 private:
  static int Hook(const char*) { return failing_ ? ENOMEM : 0; }
  static inline bool failing_ = false;
  std::string caption_;
};

TEST_F(RalImageIOTest, MemoryFailureAfterReadingNamesTheFile) {
  // 16-bit camera pixels, folded into floats after reading.
  const std::vector<std::uint16_t> pixels(2000 * 1000, 700);
  const std::string path =
      Write("frame.st7", sbig_test::Header(sbig_test::BasicLines("ST-7 Image", 2000, 1000)) +
                             sbig_test::PlainRows(pixels));
  FailMemoryAfterReading sink;
  CRalImageIO::SetProgressSink(&sink);
  CRalImage image;
  const int ok = Read(image, path);
  CRalImageIO::SetProgressSink(nullptr);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_MEMORY);
  ASSERT_EQ(box_.shown.size(), 1u);
  EXPECT_EQ(box_.shown[0].text, path + "\n" + std::string(kFioMsgMemory));
}

TEST_F(RalImageIOTest, AutoLevelCutsToTheStepOfTheRange) {
  CRalImage image(64, 64, -32, 1, 1.0, 0.0, 1);
  std::vector<float> v(64 * 64);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = 100.0f + static_cast<float>(i % 7) * 0.37f;
  FillFloat(image, v);
  image.AllocLevel();
  ASSERT_EQ(CPrcAutoLevel::Do(image, nullptr), 1);
  const double lo = image.GetLevelMin(0), hi = image.GetLevelMax(0);
  EXPECT_GE(lo, 100.0);
  EXPECT_LE(hi, 102.23);
  EXPECT_LT(lo, hi);
  // The range is about 2.2: a step of about 0.002 keeps three decimals.
  EXPECT_NEAR(lo * 1000.0, std::floor(lo * 1000.0 + 1e-9), 1e-6);
}

}  // namespace
