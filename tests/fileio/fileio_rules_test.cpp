// The pure rules of the file dialogs: type codes by name, filter lists, the open
// dialog's buffer, the save-as checks, raw sizes, the plane dialog and option rules.
#include <gtest/gtest.h>

#include <string>

#include "fileio/filedialogs.h"
#include "fileio/fileiotexts.h"
#include "fileio/ralimageio.h"

namespace ft = fileio_text;

namespace {

struct TypeCase {
  const char* path;
  int type;
};

class FileTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(FileTypeTest, CodeOfName) {
  EXPECT_EQ(CRalImageIO::GetFileType(GetParam().path), GetParam().type) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileTypeTest,
    ::testing::Values(TypeCase{"image.FITS", 3}, TypeCase{"image.Fts", 3}, TypeCase{"image.fit", 3},
                      TypeCase{"noextension", 0}, TypeCase{"a.b.c.gif", 9},
                      TypeCase{"x.bmp", 1}, TypeCase{"x.dib", 2}, TypeCase{"x.mtf", 4},
                      TypeCase{"x.bin", 5}, TypeCase{"x.tiff", 7}, TypeCase{"x.JPEG", 8},
                      TypeCase{"x.png", 11}, TypeCase{"x.ccd", 10}, TypeCase{"x.fdk", 10},
                      TypeCase{"x.raw", 13}, TypeCase{"x.xyz", 0}, TypeCase{"x.", 0},
                      // SBIG extensions
                      TypeCase{"x.ST7", 6}, TypeCase{"x.sbig", 6}, TypeCase{"x.2k", 6},
                      TypeCase{"x.r", 6}, TypeCase{"x.B", 6}, TypeCase{"x.237", 6},
                      TypeCase{"x.0", 6}, TypeCase{"x.s", 0}, TypeCase{"x.2k1", 0},
                      TypeCase{"x.rgb", 0},
                      // the extension of the file name, never of a folder
                      TypeCase{"/data/run.st/frame", 0}, TypeCase{"run.st/m31.fts", 3},
                      TypeCase{"/d/img.png/x", 0}, TypeCase{"./a.png", 11},
                      TypeCase{"../up/noext", 0}, TypeCase{"/d.001/e.2k", 6},
                      // the clipboard, by its whole name only
                      TypeCase{"_clipboard_", 14}, TypeCase{"dir/_CLIPBOARD_", 0}));

TEST(ReadParam, DefaultedTypeNeverClipboardOrUnsignedFits) {
  CReadParam p;
  p.SetFileTypeDefaulted("_CLIPBOARD_");
  EXPECT_EQ(p.GetFileType(), 0);
  p.SetFileTypeDefaulted("a.raw");
  EXPECT_EQ(p.GetFileType(), 13);
  p.SetFileTypeDefaulted("a.fts");
  EXPECT_EQ(p.GetFileType(), 3);
  EXPECT_EQ(p.GetBitsPixel(), -32);
  EXPECT_EQ(p.GetReadPlane(2), 2);
}

TEST(ReadParam, DocumentNameSuffix) {
  std::string a = "/d/a.fts<usf>";
  EXPECT_EQ(CRalImageIO::GetFileTypeOfDocumentName(&a), 12);
  EXPECT_EQ(a, "/d/a.fts");
  std::string b = "/d/a.fts<XYZ>";
  EXPECT_EQ(CRalImageIO::GetFileTypeOfDocumentName(&b), 0);
  std::string c = "/d/a.png";
  EXPECT_EQ(CRalImageIO::GetFileTypeOfDocumentName(&c), 11);
}

TEST(Filters, IndexOfExtensionIgnoresCaseAndWildcards) {
  const std::string filter = SaveFilter(1, 0);
  EXPECT_EQ(GetFilterIndex(filter, "FTS"), 1);
  EXPECT_EQ(GetFilterIndex(filter, "dib"), 0);
  EXPECT_EQ(GetFilterIndex(filter, "st7"), 7);
  EXPECT_EQ(GetFilterIndex(filter, "xyz"), -1);
  // Without FITS the list has five entries and no SBIG.
  EXPECT_EQ(ParseFilter(SaveFilter(0, 0)).size(), 5u);
  EXPECT_EQ(GetFilterIndex(SaveFilter(1, 1), "fts"), -1);
  // The joined open list: 11 entries, the raw and "all files" entries last.
  const auto open = ParseFilter(OpenImageSetup(0).filter);
  ASSERT_EQ(open.size(), 11u);
  EXPECT_EQ(open.back().patterns, std::vector<std::string>{"*.*"});
  EXPECT_EQ(FilterToQt(ft::kFilterRaw).back(), "すべてのﾌｧｲﾙ(*.*) (*)");
}

TEST(OpenDialog, SetupByFunctionAndType) {
  EXPECT_EQ(OpenImageSetup(12).folderKey, "FileIODirUSFits");
  EXPECT_EQ(OpenImageSetup(13).filterIndexKey, "OpenFilterIndexRaw");
  EXPECT_EQ(OpenImageSetup(3).folderKey, "FileIODir");  // FITS has no key of its own here
  EXPECT_EQ(OpenDataSetup(3).folderKey, "FileIODirFits");
  EXPECT_EQ(OpenDataSetup(3).title, ft::kOpenDataTitle);
  EXPECT_EQ(OpenDataSetup(5).filter, OpenImageSetup(5).filter);
}

TEST(OpenDialog, SingleFileSplitIntoFolderAndName) {
  EXPECT_EQ(MakeOpenBuffer({"C:\\dir\\a.fts"}), std::string("C:\\dir\0a.fts\0\0", 14));
  const std::string two = MakeOpenBuffer({"/d/a.fts", "/d/b.fts"});
  EXPECT_EQ(two, std::string("/d\0a.fts\0b.fts\0\0", 16));
  EXPECT_EQ(SplitOpenBuffer(two), (std::vector<std::string>{"/d/a.fts", "/d/b.fts"}));
  EXPECT_EQ(SplitOpenBuffer("/d/a.fts"), std::vector<std::string>{"/d/a.fts"});
}

TEST(SaveAs, NameChecks) {
  const auto entries = ParseFilter(SaveFilter(1, 0));
  const FilterEntry& fits = entries[1];
  struct Case {
    const char* name;
    int overwriteAllowed;
    SaveNameVerdict verdict;
    std::string_view message;
    const char* completed;
  } cases[] = {
      {"", 1, SaveNameVerdict::kRefused, ft::kSaveNoName, ""},
      {"m31", 1, SaveNameVerdict::kCompleted, "", "m31.fts"},
      {"m31.xyz", 1, SaveNameVerdict::kRefused, ft::kSaveUnknownType, ""},
      {"m31.raw", 1, SaveNameVerdict::kRefused, ft::kSaveNotSaveable, ""},
      {"m31.ccd", 1, SaveNameVerdict::kRefused, ft::kSaveNotSaveable, ""},
      // Nothing on disk under that name: there is no original to lose (files that exist
      // are checked in OverwriteGuardTest).
      {"orig.fts", 0, SaveNameVerdict::kOk, "", ""},
      {"orig.fts", 1, SaveNameVerdict::kOk, "", ""},
      {"m31.png", 0, SaveNameVerdict::kOk, "", ""},
  };
  for (const Case& c : cases) {
    const std::string full = std::string("/d/") + c.name;
    const SaveNameCheck r = CheckSaveName(c.name, full, &fits, c.overwriteAllowed, "/d/orig.fts");
    EXPECT_EQ(r.verdict, c.verdict) << c.name;
    EXPECT_EQ(r.message, c.message) << c.name;
    if (c.verdict == SaveNameVerdict::kCompleted) {
      EXPECT_EQ(r.name, c.completed);
    }
  }
}

TEST(SaveAs, TypeChangeAdjustsExtension) {
  const auto entries = ParseFilter(SaveFilter(1, 0));
  const FilterEntry& jpeg = entries[3];
  EXPECT_EQ(AdjustExtensionForFilter("m31.fts", jpeg), "m31.jpg");
  EXPECT_EQ(AdjustExtensionForFilter("m31.jpeg", jpeg), "m31.jpeg");
  EXPECT_EQ(AdjustExtensionForFilter("m31.001", jpeg), "m31.001");
  EXPECT_EQ(AdjustExtensionForFilter("m31", jpeg), "m31.jpg");
}

TEST(LoadRaw, SizeAgainstFile) {
  // 640 x 480 16-bit gray: 614 400 bytes, or 616 320 rounded up to whole 2880-byte records.
  EXPECT_EQ(CheckRawSize(614400, 640, 480, 1, 2, 0), RawSize::kMatches);
  EXPECT_EQ(CheckRawSize(616320, 640, 480, 1, 2, 0), RawSize::kMatches);
  EXPECT_EQ(CheckRawSize(614401, 640, 480, 1, 2, 0), RawSize::kTailUnused);
  EXPECT_EQ(CheckRawSize(614399, 640, 480, 1, 2, 0), RawSize::kTooSmall);
  EXPECT_EQ(CheckRawSize(3 * 614400 + 100, 640, 480, 3, 2, 100), RawSize::kMatches);
  EXPECT_EQ(CheckRawSize(0, 9999, 9999, 3, 8, 0x7fffffff), RawSize::kTooSmall);
}

TEST(LoadRaw, FieldChecksInOrder) {
  struct Case {
    const char *w, *h, *hd;
    int dataType, sign, bits;
    std::string_view message;
  } cases[] = {
      {"0", "480", "0", 0, 1, 0, ft::kRawWidth},     {"10000", "480", "0", 0, 1, 0, ft::kRawWidth},
      {"64x", "480", "0", 0, 1, 0, ft::kRawWidth},   {"640", "", "0", 0, 1, 0, ft::kRawHeight},
      {"640", "480", "-1", 0, 1, 0, ft::kRawHeader}, {"640", "480", "0", 1, 0, 1, ft::kRawRealBits},
      {"640", "480", "0", 1, 1, 2, ft::kRawUnsignedReal},
      {"640", "480", "0", 0, 1, 3, ft::kRawInt64},   {"640", "480", "0", 0, 0, 0, ft::kRawSigned8},
  };
  for (const Case& c : cases) {
    auto m = ValidateLoadRaw(c.w, c.h, c.hd, c.dataType, c.sign, c.bits);
    ASSERT_TRUE(m.has_value()) << c.w << " " << c.h << " " << c.hd;
    EXPECT_EQ(*m, c.message);
  }
  EXPECT_FALSE(ValidateLoadRaw("9999", "1", "2880", 1, 0, 3).has_value());
}

TEST(Fits3D, LabelsAndFirstChoices) {
  EXPECT_EQ(Fits3DLabels(4, 0), (std::vector<std::string>{"第 1", "第 2", "第 3", "第 4"}));
  Fits3DChoice four = Fits3DDefaults(4, 0);
  EXPECT_FALSE(four.color);
  EXPECT_EQ(four.gray, 0);
  EXPECT_EQ(four.red, 0);
  EXPECT_EQ(four.green, 1);
  EXPECT_EQ(four.blue, 2);
  Fits3DChoice two = Fits3DDefaults(2, 0);
  EXPECT_EQ(two.blue, 1);
  EXPECT_EQ(Fits3DLabels(3, 1), (std::vector<std::string>{"R", "G", "B"}));
  EXPECT_TRUE(Fits3DDefaults(3, 1).color);
}

TEST(SaveFitsRules, DataTypeMovesBitsAndOkRefusesTheRest) {
  SaveFitsState s = SaveFitsFromBits(8);
  EXPECT_FALSE(s.real);
  s = SaveFitsSetReal(s, true);  // 8 is not a real width: moves to 32
  EXPECT_EQ(s.bitsIndex, 2);
  EXPECT_EQ(SaveFitsBits(s), -32);
  s = SaveFitsSetReal(SaveFitsFromBits(-64), false);  // 64 is not an integer width
  EXPECT_EQ(SaveFitsBits(s), 32);
  EXPECT_FALSE(SaveFitsBitsEnabled(false, 3));
  EXPECT_FALSE(SaveFitsBitsEnabled(true, 1));
  EXPECT_FALSE(SaveFitsBits({false, 3}).has_value());
  EXPECT_FALSE(SaveFitsBits({true, 0}).has_value());
  for (int bits : {8, 16, 32, -32, -64}) EXPECT_EQ(SaveFitsBits(SaveFitsFromBits(bits)), bits);
}

TEST(JpegQuality, Range) {
  EXPECT_EQ(CheckJpegQuality("10").value, 10);
  EXPECT_TRUE(CheckJpegQuality("10").message.empty());
  EXPECT_EQ(CheckJpegQuality("0").message, ft::kJpegQualityRange);
  EXPECT_EQ(CheckJpegQuality("11").message, ft::kJpegQualityRange);
  EXPECT_EQ(CheckJpegQuality("5a").message, ft::kJpegQualityNotNumber);
  EXPECT_EQ(CheckJpegQuality("").message, ft::kJpegQualityNotNumber);
}

}  // namespace
