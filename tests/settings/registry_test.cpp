#include "settings/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/inistore.h"
#include "tests/support/temp_dir.h"

namespace {

// Every case starts from its own empty settings folder.
class RegistryTest : public ::testing::Test {
 protected:
  ~RegistryTest() override {
    CRegistry::SetDefaultSettings(false);
    CRegistry::SetReadOnly(false);
  }
  std::string Stored(std::string_view section, std::string_view name) {
    std::string v;
    CRegistry::Read(section, name, "<missing>", v);
    return v;
  }
  ScopedConfigHome home_;
};

}  // namespace

TEST_F(RegistryTest, YesNoIsWrittenAsWordsAndReadLeniently) {
  ASSERT_EQ(CRegistry::Write("S", "flag", 5, CRegistry::TYPE_BOOL), 1);
  EXPECT_EQ(Stored("S", "flag"), "yes");
  ASSERT_EQ(CRegistry::Write("S", "flag0", 0, CRegistry::TYPE_BOOL), 1);
  EXPECT_EQ(Stored("S", "flag0"), "no");

  struct Case {
    const char* text;
    int expected;
  };
  for (Case c : {Case{"On", 1}, Case{"TRUE", 1}, Case{"yes", 1}, Case{"1", 1}, Case{"2", 0},
                 Case{"no", 0}, Case{" yes", 0}, Case{"oN", 1}, Case{"y", 0}}) {
    ASSERT_EQ(CRegistry::Write("S", "b", c.text), 1);
    int v = -1;
    EXPECT_EQ(CRegistry::Read("S", "b", 7, v, CRegistry::TYPE_BOOL), 1) << c.text;
    EXPECT_EQ(v, c.expected) << c.text;
  }
}

TEST_F(RegistryTest, IntegersAreDecimalAndReadAsFarAsTheyParse) {
  ASSERT_EQ(CRegistry::Write("S", "n", -42, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(Stored("S", "n"), "-42");
  int v = 0;
  EXPECT_EQ(CRegistry::Read("S", "n", 7, v, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(v, -42);
  ASSERT_EQ(CRegistry::Write("S", "n", "256KB"), 1);
  EXPECT_EQ(CRegistry::Read("S", "n", 7, v, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(v, 256);
  ASSERT_EQ(CRegistry::Write("S", "n", "junk"), 1);
  EXPECT_EQ(CRegistry::Read("S", "n", 7, v, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(CRegistry::Read("S", "absent", 7, v, CRegistry::TYPE_INT), 0);
  EXPECT_EQ(v, 7);
}

TEST_F(RegistryTest, RealsOfEitherSignHaveTheSameNumberOfDigits) {
  ASSERT_EQ(CRegistry::Write("S", "neg", -0.5), 1);
  ASSERT_EQ(CRegistry::Write("S", "pos", 0.5), 1);
  ASSERT_EQ(CRegistry::Write("S", "big", 1.5e300), 1);
  EXPECT_EQ(Stored("S", "neg"), " -5.000000e-01");
  EXPECT_EQ(Stored("S", "pos"), " 5.000000e-01");
  EXPECT_EQ(Stored("S", "big"), "1.500000e+300");  // wider than the field: no padding
  double v = 0;
  EXPECT_EQ(CRegistry::Read("S", "neg", 9.0, v), 1);
  EXPECT_DOUBLE_EQ(v, -0.5);
  EXPECT_EQ(CRegistry::Read("S", "pos", 9.0, v), 1);
  EXPECT_DOUBLE_EQ(v, 0.5);
  EXPECT_EQ(CRegistry::Read("S", "none", 9.0, v), 0);
  EXPECT_DOUBLE_EQ(v, 9.0);
}

TEST_F(RegistryTest, ColoursKeepTheirLow24Bits) {
  ASSERT_EQ(CRegistry::Write("S", "c", COLORREF{0xFF0000FF}), 1);
  EXPECT_EQ(Stored("S", "c"), "0000FF");
  ASSERT_EQ(CRegistry::Write("S", "c2", COLORREF{0x00ABCDEF}), 1);
  COLORREF c = 0;
  EXPECT_EQ(CRegistry::Read("S", "c2", COLORREF{1}, c), 1);
  EXPECT_EQ(c, 0xABCDEFu);
  ASSERT_EQ(CRegistry::Write("S", "bad", "xyz"), 1);
  EXPECT_EQ(CRegistry::Read("S", "bad", COLORREF{0x123456}, c), 0);
  EXPECT_EQ(c, 0x123456u);
}

TEST_F(RegistryTest, EmptyTextCountsAsMissing) {
  ASSERT_EQ(CRegistry::Write("S", "empty", ""), 1);
  std::string v;
  long error = -1;
  EXPECT_EQ(CRegistry::Read("S", "empty", "def", v, 0, &error), 0);
  EXPECT_EQ(v, "def");
  EXPECT_EQ(error, 0);  // the key was there
  int n = 0;
  EXPECT_EQ(CRegistry::Read("S", "empty", 3, n, CRegistry::TYPE_INT), 0);
  EXPECT_EQ(n, 3);
}

TEST_F(RegistryTest, AMissingSectionReportsItsErrorCode) {
  std::string v;
  long error = 0;
  EXPECT_EQ(CRegistry::Read("Nowhere", "x", "d", v, 0, &error), 0);
  EXPECT_EQ(error, ENOENT);
  ASSERT_EQ(CRegistry::Write("Somewhere", "y", "1"), 1);
  EXPECT_EQ(CRegistry::Read("Nowhere", "x", "d", v, 0, &error), 0);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(CRegistry::Read("Somewhere", "x", "d", v, 0, &error), 0);
  EXPECT_EQ(error, 0);
}

TEST_F(RegistryTest, LongTextIsReturnedWhole) {
  std::string path = "/data/" + std::string(600, 'p') + "/観測/frame.fits";
  ASSERT_EQ(CRegistry::Write("IO", "LastFolder", std::string_view(path)), 1);
  EXPECT_EQ(Stored("IO", "LastFolder"), path);
}

TEST_F(RegistryTest, FontsRoundTripAndAPartialFontGivesTheDefault) {
  LOGFONT font;
  font.lfHeight = -12;
  font.lfWeight = 400;
  font.lfCharSet = 128;
  font.lfPitchAndFamily = 49;
  font.lfFaceName = "ＭＳ ゴシック";
  ASSERT_EQ(CRegistry::Write("Font", "List", font, COLORREF{0x102030}), 1);
  EXPECT_EQ(Stored("Font", "List"), "-12,0,0,0,400,0,0,0,128,0,0,0,49,102030,ＭＳ ゴシック");

  LOGFONT def;
  def.lfFaceName = "default";
  LOGFONT got;
  COLORREF colour = 0;
  EXPECT_EQ(CRegistry::Read("Font", "List", def, got, colour), 1);
  EXPECT_EQ(got, font);
  EXPECT_EQ(colour, 0x102030u);

  // A face name longer than a font can hold is cut at 31 characters, not bytes.
  font.lfFaceName = std::string(20, 'A') + std::string("漢字漢字漢字漢字漢字漢字漢字");
  ASSERT_EQ(CRegistry::Write("Font", "Long", font, COLORREF{0}), 1);
  EXPECT_EQ(CRegistry::Read("Font", "Long", def, got, colour), 1);
  EXPECT_EQ(got.lfFaceName, std::string(20, 'A') + "漢字漢字漢字漢字漢字漢");

  for (const char* bad : {"-12,0,0,0,400,0,0,0,128,0,0,0,49,102030",  // no face name
                          "-12,0,0,0,400,0,0,0,128,0,0,0,49,102030,",
                          "-12,0,0,0,400,0,0,0,128,0,0,0,102030,Face",  // 13 numbers
                          "garbage"}) {
    ASSERT_EQ(CRegistry::Write("Font", "Bad", bad), 1);
    colour = 0x777777;
    EXPECT_EQ(CRegistry::Read("Font", "Bad", def, got, colour), 0) << bad;
    EXPECT_EQ(got, def) << bad;
    EXPECT_EQ(colour, 0x777777u);
  }
}

TEST_F(RegistryTest, RawBytesAreCutOrDefaultedToTheCallersLength) {
  const unsigned char data[6] = {0, 1, 2, 0xfe, 0xff, 0};
  ASSERT_EQ(CRegistry::Write("Raw", "blob", data, sizeof data), 1);
  unsigned char out[4] = {};
  const unsigned char def[4] = {9, 9, 9, 9};
  EXPECT_EQ(CRegistry::Read("Raw", "blob", def, out, sizeof out), 1);
  EXPECT_EQ(std::memcmp(out, data, 4), 0);
  unsigned char big[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  EXPECT_EQ(CRegistry::Read("Raw", "blob", def, big, 6), 1);
  EXPECT_EQ(std::memcmp(big, data, 6), 0);
  EXPECT_EQ(big[6], 7);
  EXPECT_EQ(CRegistry::Read("Raw", "none", def, out, sizeof out), 0);
  EXPECT_EQ(std::memcmp(out, def, 4), 0);
}

TEST_F(RegistryTest, WindowPlacementStoresAndRestoresEveryState) {
  struct Case {
    int showCmd;
    unsigned flags;
    const char* stored;
    int readCmd;
    unsigned readFlags;
  };
  const Case cases[] = {
      {SW_SHOWNORMAL, 0, "10,20,640,480,0,0", SW_SHOWNORMAL, WPF_SETMINPOSITION},
      {SW_SHOWMAXIMIZED, 0, "10,20,640,480,1,0", SW_SHOWMAXIMIZED, WPF_RESTORETOMAXIMIZED},
      {SW_SHOWMINIMIZED, 0, "10,20,640,480,0,1", SW_SHOWMINNOACTIVE, WPF_SETMINPOSITION},
      {SW_SHOWMINIMIZED, WPF_RESTORETOMAXIMIZED, "10,20,640,480,1,1", SW_SHOWMINNOACTIVE,
       WPF_RESTORETOMAXIMIZED},
  };
  for (const Case& c : cases) {
    WINDOWPLACEMENT wp;
    wp.showCmd = c.showCmd;
    wp.flags = c.flags;
    wp.rcNormalPosition = RECT{10, 20, 650, 500};
    ASSERT_EQ(CRegistry::Write("Settings", "MainFrame", wp), 1);
    EXPECT_EQ(Stored("Settings", "MainFrame"), c.stored);

    WINDOWPLACEMENT back;
    int cmd = -1;
    EXPECT_EQ(CRegistry::Read("Settings", "MainFrame", back, &cmd, 0, nullptr, {4, 5}), 1);
    EXPECT_EQ(cmd, c.readCmd) << c.stored;
    EXPECT_EQ(back.showCmd, c.readCmd);
    EXPECT_EQ(back.flags, c.readFlags) << c.stored;
    EXPECT_EQ(back.rcNormalPosition.left, 10);
    EXPECT_EQ(back.rcNormalPosition.bottom, 500);
    EXPECT_EQ(back.ptMaxPosition.x, -4);
    EXPECT_EQ(back.ptMaxPosition.y, -5);
  }
  WINDOWPLACEMENT untouched;
  untouched.rcNormalPosition = RECT{1, 2, 3, 4};
  int cmd = -1;
  EXPECT_EQ(CRegistry::Read("Settings", "Missing", untouched, &cmd), 0);
  EXPECT_EQ(cmd, SW_SHOWNORMAL);
  EXPECT_EQ(untouched.rcNormalPosition.right, 3);
  ASSERT_EQ(CRegistry::Write("Settings", "Short", "1,2,3"), 1);
  EXPECT_EQ(CRegistry::Read("Settings", "Short", untouched, &cmd), 0);
}

TEST_F(RegistryTest, DialogPositionStaysReachableOnTheScreenOrIsCentred) {
  const ScreenArea screen{RECT{0, 0, 1920, 1080}, 30};
  struct Case {
    const char* stored;
    int expectResult;
    int left, top;
  };
  const Case cases[] = {
      {"100,200", 1, 100, 200},
      {"-399,-30", 1, -399, -30},   // only the right edge and the caption on screen
      {"-400,0", 1, -400, 0},       // its right edge touches the screen's left
      {"-401,0", 0, 760, 390},      // wholly left of the screen
      {"0,-31", 0, 760, 390},       // caption above the screen
      {"1920,0", 0, 760, 390},      // right of the screen
      {"5000,5000", 0, 760, 390},   // far outside
      {"100", 0, 760, 390},         // half a position
  };
  for (const Case& c : cases) {
    ASSERT_EQ(CRegistry::Write("Dialog\\Level", "Position", c.stored), 1);
    RECT dlg{0, 0, 400, 300};
    EXPECT_EQ(CRegistry::Read("Dialog\\Level", "Position", dlg, screen), c.expectResult)
        << c.stored;
    EXPECT_EQ(dlg.left, c.left) << c.stored;
    EXPECT_EQ(dlg.top, c.top) << c.stored;
    EXPECT_EQ(dlg.Width(), 400);
    EXPECT_EQ(dlg.Height(), 300);
  }
  RECT dlg{33, 44, 433, 344};
  ASSERT_EQ(CRegistry::UpdateReg("Dialog\\Level", "Position", dlg, screen, 1), 1);
  EXPECT_EQ(Stored("Dialog\\Level", "Position"), "33,44");
  RECT moved{0, 0, 400, 300};
  EXPECT_EQ(CRegistry::UpdateReg("Dialog\\Level", "Position", moved, screen, 0), 1);
  EXPECT_EQ(moved.left, 33);
}

TEST_F(RegistryTest, DefaultsSwitchHidesEveryValueButWritesStillLand) {
  ASSERT_EQ(CRegistry::Write("S", "t", "stored"), 1);
  ASSERT_EQ(CRegistry::Write("S", "n", 5, CRegistry::TYPE_INT), 1);
  ASSERT_EQ(CRegistry::Write("S", "r", 2.5), 1);
  const unsigned char raw[2] = {1, 2};
  ASSERT_EQ(CRegistry::Write("S", "raw", raw, 2), 1);
  CRegistry::SetDefaultSettings(true);
  std::string t;
  int n = 0;
  double r = 0;
  unsigned char rawOut[2] = {};
  const unsigned char rawDef[2] = {8, 9};
  long error = -1;
  EXPECT_EQ(CRegistry::Read("S", "t", "def", t, 0, &error), 0);
  EXPECT_EQ(t, "def");
  EXPECT_EQ(error, 0);
  EXPECT_EQ(CRegistry::Read("S", "n", 1, n, CRegistry::TYPE_INT), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(CRegistry::Read("S", "r", 1.0, r), 0);
  EXPECT_EQ(r, 1.0);
  EXPECT_EQ(CRegistry::Read("S", "raw", rawDef, rawOut, 2), 0);
  EXPECT_EQ(rawOut[0], 8);
  EXPECT_EQ(CRegistry::Write("S", "t", "new"), 1);
  CRegistry::SetDefaultSettings(false);
  EXPECT_EQ(Stored("S", "t"), "new");
  EXPECT_EQ(CRegistry::Read("S", "n", 1, n, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(n, 5);
}

TEST_F(RegistryTest, UpdateRegReadsOrWritesByTheFlag) {
  int n = 3;
  EXPECT_EQ(CRegistry::UpdateReg("U", "n", 9, n, CRegistry::TYPE_INT, 0), 0);
  EXPECT_EQ(n, 9);
  n = 12;
  EXPECT_EQ(CRegistry::UpdateReg("U", "n", 9, n, CRegistry::TYPE_INT, 1), 1);
  EXPECT_EQ(Stored("U", "n"), "12");
  n = 1;
  EXPECT_EQ(CRegistry::UpdateReg("U", "b", 0, n, CRegistry::TYPE_BOOL, 1), 1);
  EXPECT_EQ(Stored("U", "b"), "yes");
  std::string s = "text";
  EXPECT_EQ(CRegistry::UpdateReg("U", "s", "d", s, 1), 1);
  s.clear();
  EXPECT_EQ(CRegistry::UpdateReg("U", "s", "d", s, 0), 1);
  EXPECT_EQ(s, "text");
  double r = -1.25;
  EXPECT_EQ(CRegistry::UpdateReg("U", "r", 0.0, r, 1), 1);
  EXPECT_EQ(Stored("U", "r"), " -1.250000e+00");
}

TEST_F(RegistryTest, DeleteValueAndRemoveKey) {
  ASSERT_EQ(CRegistry::Write("Dialog\\A", "x", "1"), 1);
  ASSERT_EQ(CRegistry::Write("Dialog\\A", "y", "2"), 1);
  ASSERT_EQ(CRegistry::Write("Dialog\\B", "z", "3"), 1);
  EXPECT_EQ(CRegistry::DeleteValue("Dialog\\A", "x"), 1);
  EXPECT_EQ(CRegistry::DeleteValue("Dialog\\A", "x"), 0);
  EXPECT_EQ(Stored("Dialog\\A", "x"), "<missing>");
  EXPECT_EQ(Stored("Dialog\\A", "y"), "2");
  EXPECT_EQ(CRegistry::RemoveRegKey("Dialog\\A"), 1);
  EXPECT_EQ(CRegistry::RemoveRegKey("Dialog\\A"), 0);
  EXPECT_EQ(Stored("Dialog\\A", "y"), "<missing>");
  EXPECT_EQ(Stored("Dialog\\B", "z"), "3");
}

TEST_F(RegistryTest, ReadOnlyReadsEverythingAndChangesNothingOnDisk) {
  ASSERT_EQ(CRegistry::Write("S", "t", "stored"), 1);
  const std::string file = CRegistry::StorePath(0);
  const std::string before = ReadFileOrEmpty(file);
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home_.path()))
      names.push_back(e.path().filename().string() + " " +
                      std::to_string(e.last_write_time().time_since_epoch().count()));
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto listed = listing();
  CRegistry::SetReadOnly(true);
  EXPECT_EQ(Stored("S", "t"), "stored");
  long error = 0;
  EXPECT_EQ(CRegistry::Write("S", "t", "new", 0, &error), 0);
  EXPECT_EQ(error, EROFS);
  EXPECT_EQ(CRegistry::Write("Other", "n", 1, CRegistry::TYPE_INT, 1, &error), 0);
  EXPECT_EQ(error, EROFS);
  EXPECT_EQ(CRegistry::DeleteValue("S", "t", &error), 0);
  EXPECT_EQ(error, EROFS);
  EXPECT_EQ(CRegistry::RemoveRegKey("S", &error), 0);
  EXPECT_EQ(error, EROFS);
  EXPECT_EQ(ReadFileOrEmpty(file), before);
  EXPECT_EQ(listing(), listed);  // no machine folder, no lock file, nothing touched
  EXPECT_NE(CRegistry::ErrorText(EROFS).find(file), std::string::npos);
  EXPECT_NE(CRegistry::ErrorText(ETIMEDOUT).find(file + ".lock"), std::string::npos);
}

TEST_F(RegistryTest, MachineScopeIsAFileOfItsOwn) {
  ASSERT_EQ(CRegistry::Write("Assoc", "fts", "yes", 1), 1);
  std::string v;
  EXPECT_EQ(CRegistry::Read("Assoc", "fts", "", v, 0), 0);
  EXPECT_EQ(CRegistry::Read("Assoc", "fts", "", v, 1), 1);
  EXPECT_EQ(v, "yes");
  EXPECT_NE(CRegistry::StorePath(1), CRegistry::StorePath(0));
}

TEST_F(RegistryTest, AWriteThatCannotCreateTheFileFailsWithItsCode) {
  // A file where the settings folder should be.
  TempDir other;
  std::string blocker = other.File("blocker");
  WriteFileOrDie(blocker, "");
  ::setenv("VANTOREL_CONFIG_HOME", (blocker + "/sub").c_str(), 1);
  long error = 0;
  EXPECT_EQ(CRegistry::Write("S", "x", "1", 0, &error), 0);
  EXPECT_EQ(error, ENOTDIR);
  std::string v;
  EXPECT_EQ(CRegistry::Read("S", "x", "d", v, 0, &error), 0);
  EXPECT_EQ(v, "d");
  EXPECT_EQ(error, ENOTDIR);
  ::setenv("VANTOREL_CONFIG_HOME", home_.path().c_str(), 1);
}

TEST_F(RegistryTest, MalformedFilesReadAsDefaultsAndAreKeptUntilAWrite) {
  std::string junk;
  for (int i = 0; i < 70000; ++i) junk.push_back(static_cast<char>((i * 131 + 7) & 0xff));
  const std::string files[] = {
      junk,
      std::string(5 << 20, 'x'),  // an endless line
      std::string("[\x01\xff\x80" "Odd]\nFitsBottomUp=1\n"),
  };
  for (const std::string& content : files) {
    ScopedConfigHome home;
    WriteFileOrDie(home.UserFile(), content);
    std::string v;
    int n = -1;
    EXPECT_EQ(CRegistry::Read("IO", "FitsBottomUp", 0, n, CRegistry::TYPE_BOOL), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(CRegistry::Read("Settings", "Title", "def", v), 0);
    EXPECT_EQ(ReadFileOrEmpty(home.UserFile()), content);  // reads leave it alone

    ASSERT_EQ(CRegistry::Write("IO", "FitsBottomUp", 1, CRegistry::TYPE_BOOL), 1);
    std::string after = ReadFileOrEmpty(home.UserFile());
    EXPECT_NE(after.find(content), std::string::npos);  // everything it held is still there
    EXPECT_EQ(CRegistry::Read("IO", "FitsBottomUp", 0, n, CRegistry::TYPE_BOOL), 1);
    EXPECT_EQ(n, 1);
  }
}

namespace {

// A disk that fills up at one step of every save.
const char* g_fullAt = nullptr;
int DiskFull(const char* stage) {
  return std::strcmp(stage, g_fullAt) == 0 ? ENOSPC : 0;
}

class RegistryDiskFullTest : public RegistryTest,
                             public ::testing::WithParamInterface<const char*> {};

}  // namespace

TEST_P(RegistryDiskFullTest, AFailedSaveLeavesTheFileAndTheValuesAsTheyWere) {
  ASSERT_EQ(CRegistry::Write("IO", "SaveJpegQuality", 7, CRegistry::TYPE_INT), 1);
  ASSERT_EQ(CRegistry::Write("IO", "FileSaveDir", "/data/m31"), 1);
  const std::string before = ReadFileOrEmpty(home_.UserFile());
  ASSERT_FALSE(before.empty());

  g_fullAt = GetParam();
  SetSaveFaultHook(DiskFull);
  long error = 0;
  const int changed = CRegistry::Write("IO", "SaveJpegQuality", 3, CRegistry::TYPE_INT, 0, &error);
  const int added = CRegistry::Write("IO", "SavePngInterlace", 1, CRegistry::TYPE_BOOL);
  SetSaveFaultHook(nullptr);

  EXPECT_EQ(changed, 0);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(error, ENOSPC);
  EXPECT_EQ(ReadFileOrEmpty(home_.UserFile()), before);
  int quality = 0, interlace = -1;
  EXPECT_EQ(CRegistry::Read("IO", "SaveJpegQuality", 5, quality, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(quality, 7);
  EXPECT_EQ(CRegistry::Read("IO", "SavePngInterlace", 0, interlace, CRegistry::TYPE_BOOL), 0);
  EXPECT_EQ(Stored("IO", "FileSaveDir"), "/data/m31");
  // Nothing is left behind but the settings and their lock.
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(home_.path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "Vantorel-2.0.ini" || name == "Vantorel-2.0.ini.lock") << name;
    ++entries;
  }
  EXPECT_EQ(entries, 2);

  // Once there is room again, the next write lands.
  ASSERT_EQ(CRegistry::Write("IO", "SaveJpegQuality", 3, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(CRegistry::Read("IO", "SaveJpegQuality", 5, quality, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(quality, 3);
  EXPECT_EQ(Stored("IO", "FileSaveDir"), "/data/m31");
}

INSTANTIATE_TEST_SUITE_P(Stages, RegistryDiskFullTest, ::testing::Values("write", "sync"));
