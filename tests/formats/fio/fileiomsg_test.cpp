#include "formats/fio/fileiomsg.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace {

struct CodeCase {
  const char* name;
  int code;
  std::string_view text;
  bool namesFile;  // whether the path is shown above the text
};

class FileioMsgTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
  RecordingMessageBox box_;
  ScopedMessageBox scoped_{&box_};
};

class FileioCodeTest : public FileioMsgTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(FileioCodeTest, ShowsItsOwnTextUnderTheTitleWithTheStyle) {
  const CodeCase& c = GetParam();
  const std::string path = "/data/m31/frame.tif";
  EXPECT_EQ(FileioMsgBox(nullptr, c.code, "Vantorel", path, MB_ICONEXCLAMATION), IDOK);
  ASSERT_EQ(box_.shown.size(), 1u);
  const std::string expected =
      c.namesFile ? path + "\n" + std::string(c.text) : std::string(c.text);
  EXPECT_EQ(box_.shown[0].text, expected);
  EXPECT_EQ(box_.shown[0].caption, "Vantorel");
  EXPECT_EQ(box_.shown[0].style, MB_ICONEXCLAMATION);
  EXPECT_EQ(FileioMessageText(c.code, path), expected);
}

TEST_P(FileioCodeTest, AnEmptyPathLeavesOnlyTheText) {
  const CodeCase& c = GetParam();
  EXPECT_EQ(FileioMessageText(c.code, ""), std::string(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FileioCodeTest,
    ::testing::Values(
        CodeCase{"Create", FIO_ERR_CREATE, kFioMsgCreate, true},
        CodeCase{"Open", FIO_ERR_OPEN, kFioMsgOpen, true},
        CodeCase{"Short", FIO_ERR_SHORT, kFioMsgShort, true},
        CodeCase{"Write", FIO_ERR_WRITE, kFioMsgWrite, true},
        CodeCase{"TooLarge", FIO_ERR_TOO_LARGE, kFioMsgTooLarge, true},
        CodeCase{"Memory", FIO_ERR_MEMORY, kFioMsgMemory, true},
        CodeCase{"Format", FIO_ERR_FORMAT, kFioMsgFormat, true},
        CodeCase{"UnknownType", FIO_ERR_UNKNOWN_TYPE, kFioMsgUnknownType, true},
        CodeCase{"Header", FIO_ERR_HEADER, kFioMsgHeader, true},
        CodeCase{"BuildHeader", FIO_ERR_BUILD_HEADER, kFioMsgBuildHeader, true},
        CodeCase{"ClipboardEmpty", FIO_ERR_CLIPBOARD_EMPTY, kFioMsgClipboardEmpty, false},
        CodeCase{"ClipboardOpen", FIO_ERR_CLIPBOARD_OPEN, kFioMsgClipboardOpen, false},
        CodeCase{"ClipboardWrite", FIO_ERR_CLIPBOARD_WRITE, kFioMsgClipboardWrite, false},
        CodeCase{"BitranSave", FIO_ERR_BITRAN_SAVE, kFioMsgBitranSave, true},
        CodeCase{"Overwrite", FIO_ERR_OVERWRITE, kFioMsgOverwrite, false},
        CodeCase{"FitsSave", FIO_ERR_FITS_SAVE, kFioMsgFitsSave, false},
        CodeCase{"FrameSmall", FIO_ERR_FRAME_SMALL, kFioMsgFrameSmall, true},
        CodeCase{"UsfNotFits", FIO_ERR_USF_NOT_FITS, kFioMsgUsfNotFits, true},

        CodeCase{"Folder", FIO_ERR_FOLDER, kFioMsgFolder, true},
        CodeCase{"NotRegular", FIO_ERR_NOT_REGULAR, kFioMsgNotRegular, true},
        CodeCase{"LinkLoop", FIO_ERR_LINK_LOOP, kFioMsgLinkLoop, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileioMsgTest, EveryCodeHasADistinctText) {
  const int codes[] = {2, 3, 4, 5, 6, 7, 12, 17, 18, 19, 20, 21, 24, 25, 26, 30, 31, 32, 33, 34, 35};
  std::set<std::string> texts;
  for (int code : codes) texts.insert(FileioMessageText(code, ""));
  EXPECT_EQ(texts.size(), std::size(codes));
  EXPECT_EQ(texts.count(""), 0u);
}

TEST_F(FileioMsgTest, CancelledShowsNothing) {
  EXPECT_EQ(FileioMsgBox(nullptr, FIO_ERR_CANCELLED, "Vantorel", "/a.png", MB_ICONEXCLAMATION), 0);
  EXPECT_EQ(FileioMsgBox(nullptr, FIO_OK, "Vantorel", "/a.png", MB_ICONEXCLAMATION), 0);
  EXPECT_TRUE(box_.shown.empty());
  EXPECT_EQ(FileioMessageText(FIO_ERR_CANCELLED, "/a.png"), "");
}

TEST_F(FileioMsgTest, AnUnknownCodeNamesItsNumber) {
  EXPECT_EQ(FileioMessageText(99, "/x/a.fts"),
            "/x/a.fts\nファイルの入出力でエラーが発生しました。(エラーコード 99)");
  EXPECT_EQ(FileioMessageText(-1, ""), "ファイルの入出力でエラーが発生しました。(エラーコード -1)");
}

TEST_F(FileioMsgTest, AnEmptyTitleFallsBackToTheApplicationTitle) {
  const std::string previous = ApplicationTitle();
  SetApplicationTitle("Vantorel 2.0");
  FileioMsgBox(nullptr, FIO_ERR_OPEN, "", "/a.png", MB_ICONEXCLAMATION);
  SetApplicationTitle(previous);
  ASSERT_EQ(box_.shown.size(), 1u);
  EXPECT_EQ(box_.shown[0].caption, "Vantorel 2.0");
}

TEST_F(FileioMsgTest, TheAnswerOfTheBoxIsReturned) {
  box_.Answer(IDCANCEL);
  EXPECT_EQ(FileioMsgBox(nullptr, FIO_ERR_WRITE, "T", "/a.png", MB_OKCANCEL | MB_ICONEXCLAMATION),
            IDCANCEL);
  ASSERT_EQ(box_.shown.size(), 1u);
  EXPECT_EQ(box_.shown[0].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
}

}  // namespace
