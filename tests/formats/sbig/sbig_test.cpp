#include "formats/sbig/sbig.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fits/fileiocodes.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "tests/formats/sbig/sbig_test_file.h"
#include "tests/support/temp_dir.h"

using namespace sbig_test;

namespace {

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = ::getenv("TZ")) {
      had_ = true;
      old_ = old;
    }
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTz() {
    if (had_)
      ::setenv("TZ", old_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string Pad80(const std::string& s) {
  std::string out = s;
  out.resize(80, ' ');
  return out;
}

std::vector<std::string> Tagged(const CImage& image) {
  std::vector<std::string> out;
  for (const std::string& c : image.m_FitsHeader.Cards())
    if (c.starts_with("COMMENT [")) out.push_back(c);
  return out;
}

std::vector<std::string> Untagged(const CImage& image) {
  std::vector<std::string> out;
  for (const std::string& c : image.m_FitsHeader.Cards())
    if (!c.starts_with("COMMENT [")) out.push_back(c);
  return out;
}

std::vector<unsigned> Pixels(const CImage& image) {
  std::vector<unsigned> out;
  for (int y = 0; y < image.GetHeight(); ++y)
    for (int x = 0; x < image.GetWidth(); ++x)
      out.push_back(static_cast<unsigned>(image.GetPixel(x, y)));
  return out;
}

class SbigTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes, const std::string& name = "frame.st7") {
    std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  static std::string Card(const CImage& image, const std::string& keyword) {
    int i = image.m_FitsHeader.Find(keyword);
    return i < 0 ? std::string() : image.m_FitsHeader.GetAt(i);
  }
  // A 16-bit image with SBIG cards, as a read would leave it.
  void ReadOrDie(const std::string& bytes, CImage& image, const std::string& name = "frame.st7") {
    ASSERT_EQ(CSbig::Read(image, Write(bytes, name)), SBG_OK);
  }

  ScopedConfigHome home_;
  TempDir dir_;
};

// ---------------------------------------------------------------- types

struct TypeCase {
  const char* name;
  std::string firstLine;
  int type;
  std::string format;
  std::string tag;
};
void PrintTo(const TypeCase& c, std::ostream* os) {
  *os << c.name;
}

class SbigTypeTest : public SbigTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(SbigTypeTest, FirstLineGivesTypeFormatNameAndTag) {
  const TypeCase& c = GetParam();
  const bool compressed = (c.type & SBIG_COMPRESSED) != 0;
  std::string rows = compressed ? Record(U16(7) + std::string("\x01\x01", 2)) +
                                      Record(U16(9) + std::string("\xFF\xFF", 2))
                                : PlainRows({7, 8, 9, 9, 8, 7});
  CImage image;
  ASSERT_EQ(CSbig::Read(image, Write(Header(BasicLines(c.firstLine, 3, 2)) + rows)), SBG_OK);
  EXPECT_EQ(image.GetOrgFileFormat(), c.format);
  EXPECT_EQ(CSbig::GetSbigType(image), c.type & ~SBIG_COMPRESSED);
  EXPECT_EQ(CSbig::GetSbigCompression(image.GetOrgFileFormat()), compressed ? 1 : 0);
  EXPECT_EQ(Pixels(image), (std::vector<unsigned>{7, 8, 9, 9, 8, 7}));
  const std::string lead = "COMMENT [" + c.tag + "]";
  ASSERT_FALSE(Tagged(image).empty());
  EXPECT_EQ(Tagged(image)[0], Pad80(lead + c.firstLine));
  EXPECT_EQ(
      Card(image, "INSTRUME"),
      Pad80("INSTRUME= '" + (CSbig::GetTypeString(c.type) + std::string(20, ' ')).substr(0, 20) +
            "' / Name of instrument"));
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, SbigTypeTest,
    ::testing::Values(TypeCase{"ST7Compressed", "ST-7 Compressed Image", SBIG_ST7 | SBIG_COMPRESSED,
                               "ST-7 Series (圧縮)", "ST7"},
                      TypeCase{"ST4XBeforeST5", "ST-4X Image", SBIG_ST4X, "ST-4X (無圧縮)", "STX"},
                      TypeCase{"ST5", "ST-5 Image", SBIG_ST5, "ST-5 (無圧縮)", "ST5"},
                      TypeCase{"ST6", "ST-6 Image", SBIG_ST6, "ST-6 Series (無圧縮)", "ST6"},
                      TypeCase{"STX", "ST-X Image", SBIG_ST7, "ST-7 Series (無圧縮)", "ST7"},
                      TypeCase{"ST8", "ST-8 Compressed Image", SBIG_ST8 | SBIG_COMPRESSED,
                               "ST-8 Series (圧縮)", "ST8"},
                      TypeCase{"PixCel255", "PixCel255 Image", SBIG_ST5C, "ST-5C (無圧縮)", "255"},
                      TypeCase{"PixCel237", "PixCel237 Image", SBIG_ST237, "ST-237 Series (無圧縮)",
                               "237"},
                      TypeCase{"ST9", "ST-9 Image", SBIG_ST9, "ST-9 Series (無圧縮)", "ST9"},
                      TypeCase{"ST10", "ST-10 Image", SBIG_ST10, "ST-10 Series (無圧縮)", "ST10"},
                      TypeCase{"STV", "STV Image", SBIG_STV, "STV (無圧縮)", "STV"},
                      TypeCase{"ST1K", "ST-1K Image", SBIG_ST1K, "ST-1001 Series (無圧縮)", "ST1K"},
                      TypeCase{"ST2K", "ST-2K Image", SBIG_ST2K, "ST-2000 Series (無圧縮)", "ST2K"},
                      TypeCase{"Generic", "SBIG Compressed Image", SBIG_SBIG | SBIG_COMPRESSED,
                               "SBIG Series (圧縮)", "SBIG"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SbigTest, UnknownFirstLinesAreNoSbigFile) {
  CImage image;
  EXPECT_EQ(CSbig::Read(image, Write(Header(BasicLines("ST-77 Image", 3, 2)) +
                                     PlainRows({1, 2, 3, 4, 5, 6}))),
            SBG_ERR_FORMAT);
  // The first line must end within 512 bytes.
  std::string longLine = "ST-7 " + std::string(600, 'x');
  EXPECT_EQ(CSbig::Read(image, Write(Header({longLine, "Width = 1", "Height = 1"}) + U16(5))),
            SBG_ERR_FORMAT);
}

TEST_F(SbigTest, ExtensionsSuitTheirTypes) {
  struct Case {
    int type;
    const char* ext;
    bool ok;
  };
  const Case cases[] = {
      {SBIG_ST4, "st4", true},
      {SBIG_ST4, "ST7", false},
      {SBIG_ST4, "R", false},
      {SBIG_ST4, "001", false},
      {SBIG_ST4X, "STX", true},
      {SBIG_ST10, "stx", true},
      {SBIG_ST10, "ST10", false},
      {SBIG_ST5, "ST5", true},
      {SBIG_ST7, "ST7", true},
      {SBIG_ST7, "ST8", false},
      {SBIG_ST5C, "255", true},
      {SBIG_ST237, "237", true},
      {SBIG_ST1K, "STK", true},
      {SBIG_ST2K, "ST2K", true},
      {SBIG_STV, "STV", true},
      {SBIG_SBIG, "STL", true},
      {SBIG_SBIG, "sbig", true},
      {SBIG_SBIG, "FIT", false},
      {SBIG_ST7, "g", true},
      {SBIG_ST7, "0042", true},
      {SBIG_ST7, "", false},
      {SBIG_ST7, "4a", false},
      {SBIG_ST7 | SBIG_COMPRESSED, "ST7", false},
      {SBIG_ST7 | SBIG_COMPRESSED, "B", true},
      {SBIG_ST7 | SBIG_COMPRESSED, "12", true},
      {0, "ST7", false},
      {0, "7", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CSbig::IsSbigType(c.type, c.ext), c.ok) << c.type << " " << c.ext;
  EXPECT_EQ(CSbig::GetSbigCompression("ST-7 Series (圧縮)"), 1);
  EXPECT_EQ(CSbig::GetSbigCompression("ST-7 Series (無圧縮)"), 0);
}

// ---------------------------------------------------------------- compressed rows

TEST_F(SbigTest, CompressedRowsAreWrittenAsTheExamplesShow) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> row;
    std::string record;
  };
  const std::vector<Case> cases = {
      {"Mixed", {100, 101, 99, 400}, U16(7) + U16(100) + "\x01\xFE\x80" + U16(400)},
      {"Constant", {5000, 5000, 5000, 5000}, U16(5) + U16(5000) + std::string(3, '\0')},
      {"SteepIsRaw", {0, 200, 400, 600}, U16(8) + U16(0) + U16(200) + U16(400) + U16(600)},
      // -128 is the escape byte, so a step of -128 takes the escaped form.
      {"Limits", {1000, 1127, 1000, 872}, U16(7) + U16(1000) + "\x7F\x81\x80" + U16(872)},
      {"OnePixel", {65535}, U16(2) + U16(65535)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImage image;
    ReadOrDie(
        Header(BasicLines("ST-7 Image", static_cast<int>(c.row.size()), 1)) + PlainRows(c.row),
        image);
    const std::string out = dir_.File("out.st7");
    ASSERT_EQ(CSbig::Write(image, out, SBIG_ST7 | SBIG_COMPRESSED), SBG_OK);
    const std::string bytes = ReadFileOrEmpty(out);
    ASSERT_EQ(bytes.size(), 2048 + c.record.size());
    EXPECT_EQ(bytes.substr(2048), c.record);
    EXPECT_TRUE(bytes.starts_with("ST-7 Compressed Image\n\r"));
    CImage back;
    ASSERT_EQ(CSbig::Read(back, out), SBG_OK);
    EXPECT_EQ(Pixels(back), std::vector<unsigned>(c.row.begin(), c.row.end()));
  }
}

TEST_F(SbigTest, CompressedRecordsThatDoNotMakeOneRowAreRefused) {
  struct Case {
    const char* name;
    std::string rows;
    int expected;
  };
  // Width 4, height 2; the second row is always good. Zeros after it keep the file longer
  // than the least that two rows need, so the records themselves are judged.
  const std::string good = Record(U16(10) + std::string(3, '\x01')) + std::string(16, '\0');
  const std::vector<Case> cases = {
      {"Good", Record(U16(1) + "\x01\x80" + U16(9) + "\xFF") + good, SBG_OK},
      {"RawRow", Record(U16(1) + U16(2) + U16(3) + U16(4)) + good, SBG_OK},
      {"Overflow", Record(U16(1) + std::string(5, '\x01')) + good, SBG_ERR_FORMAT},
      {"OverflowByEscape",
       Record(U16(1) + std::string(2, '\x01') + "\x80" + U16(5) + "\x80" + U16(6)) + good,
       SBG_ERR_FORMAT},
      // Eight bytes are a raw row, whatever they look like.
      {"EightBytesAreRaw", Record(U16(1) + std::string(3, '\x01') + "\x80" + U16(5)) + good,
       SBG_OK},
      {"Underfill", Record(U16(1) + std::string(2, '\x01')) + good, SBG_ERR_FORMAT},
      {"EscapeCut", Record(U16(1) + "\x01\x01\x80\x05") + good, SBG_ERR_FORMAT},
      {"NoFirstPixel", Record("\x01") + good, SBG_ERR_FORMAT},
      {"Empty", Record("") + good, SBG_ERR_FORMAT},
      {"CountPastEnd", U16(60000) + U16(1) + std::string(5, '\x01') + good, SBG_ERR_SHORT},
      {"SecondRowMissing",
       Record(U16(1) + std::string(3, '\x01')) + U16(100) + std::string(12, '\0'), SBG_ERR_SHORT},
      {"ShorterThanAnyTwoRows", Record(U16(1)) + Record(U16(1)), SBG_ERR_SHORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImage image;
    const int rc =
        CSbig::Read(image, Write(Header(BasicLines("ST-7 Compressed Image", 4, 2)) + c.rows));
    EXPECT_EQ(rc, c.expected);
    if (rc == SBG_OK) {
      EXPECT_EQ(image.GetPixel(0, 1), 10);
      EXPECT_EQ(image.GetPixel(3, 1), 13);
    }
  }
  CImage image;
  ASSERT_EQ(CSbig::Read(image, Write(Header(BasicLines("ST-7 Compressed Image", 4, 2)) +
                                     Record(U16(1) + "\x01\x80" + U16(9) + "\xFF") + good)),
            SBG_OK);
  EXPECT_EQ(Pixels(image), (std::vector<unsigned>{1, 2, 9, 8, 10, 11, 12, 13}));
  // Differences wrap in 16 bits as the camera computes them.
  ASSERT_EQ(CSbig::Read(image, Write(Header(BasicLines("ST-7 Compressed Image", 2, 1)) +
                                     Record(U16(65535) + "\x02"))),
            SBG_OK);
  EXPECT_EQ(Pixels(image), (std::vector<unsigned>{65535, 1}));
}

// ---------------------------------------------------------------- ST-4

TEST_F(SbigTest, St4IsRecognisedBySizeAndTrailerMark) {
  const std::string file = ST4File("M42 Orion", "1234", "12.500", "3.000", "1.000");
  ASSERT_EQ(file.size(), 31872u);
  ASSERT_EQ(file[31680], 'v');
  CImage image;
  ReadOrDie(file, image, "frame.st4");
  EXPECT_EQ(image.GetWidth(), 192);
  EXPECT_EQ(image.GetHeight(), 165);
  EXPECT_EQ(image.GetBitsPixel(), 8);
  EXPECT_EQ(image.IsSigned(), 0);
  EXPECT_EQ(image.GetOrgFileFormat(), "ST-4 (無圧縮)");
  EXPECT_EQ(image.GetOrgBitsPixel(), 8);
  EXPECT_EQ(image.GetPixel(191, 164), (191 * 3 + 164 * 7) % 251);
  EXPECT_EQ(image.GetPixel(5, 0), 15);
  EXPECT_EQ(CSbig::GetSbigType(image), SBIG_ST4);
  const std::vector<std::string> tagged = {
      Pad80("COMMENT [ST4]ST-4 Image"),       Pad80("COMMENT [ST4]Note = M42 Orion"),
      Pad80("COMMENT [ST4]Width = 192"),      Pad80("COMMENT [ST4]Height = 165"),
      Pad80("COMMENT [ST4]Exposure = 1234"),  Pad80("COMMENT [ST4]Focal_length = 12.500"),
      Pad80("COMMENT [ST4]Aperture = 3.000"), Pad80("COMMENT [ST4]Response_factor = 1.000"),
  };
  EXPECT_EQ(Tagged(image), tagged);
  const std::vector<std::string> cards = {
      Pad80("SIMPLE  =                    T"),
      Pad80("BITPIX  =                    8 / # of bits storing pixel values"),
      Pad80("NAXIS   =                    2 / # of axes in frame"),
      Pad80("NAXIS1  =                  192 / # of pixels/row"),
      Pad80("NAXIS2  =                  165 / # of rows in frame"),
      Pad80("EXPTIME =                12.34 / Exposure time (sec)"),
      Pad80("INSTRUME= 'ST-4                ' / Name of instrument"),
      Pad80("FOC-LEN =              317.500 / Focal length of telescope (mm)"),
      Pad80("F-RATIO =                 6.40 / Monochromatic F-Ratio"),
  };
  EXPECT_EQ(Untagged(image), cards);
  EXPECT_EQ(image.HasOwnLevel(), 0);
  EXPECT_EQ(image.GetLevelMax(0), 250);  // from the data

  // One byte short, or no mark: not an SBIG file.
  EXPECT_EQ(CSbig::Read(image, Write(file.substr(0, 31871), "short.st4")), SBG_ERR_FORMAT);
  std::string unmarked = file;
  unmarked[31680] = 'w';
  EXPECT_EQ(CSbig::Read(image, Write(unmarked, "unmarked.st4")), SBG_ERR_FORMAT);
}

TEST_F(SbigTest, St4RoundTripIsByteExactAndNeedsItsFiveValues) {
  const std::string file = ST4File("note", "250", "40.000", "2.000", "0.500");
  CImage image;
  ReadOrDie(file, image, "a.st4");
  ASSERT_TRUE(CSbig::IsWritable(image, SBIG_ST4));
  const std::string out = dir_.File("b.st4");
  ASSERT_EQ(CSbig::Write(image, out, SBIG_ST4), SBG_OK);
  EXPECT_EQ(ReadFileOrEmpty(out), file);

  // Without its Aperture card the trailer cannot be made: nothing is written.
  WriteFileOrDie(out, "old");
  int at = -1;
  for (int i = 0; i < image.m_FitsHeader.GetCount(); ++i)
    if (image.m_FitsHeader.GetAt(i).starts_with("COMMENT [ST4]Aperture")) at = i;
  ASSERT_GE(at, 0);
  image.m_FitsHeader.DeleteAt(at);
  EXPECT_EQ(CSbig::Write(image, out, SBIG_ST4), SBG_ERR_HEADER);
  EXPECT_EQ(ReadFileOrEmpty(out), "old");

  // Resized, it is no longer an ST-4 frame.
  ASSERT_EQ(image.ChangeSize(200, 165), 1);
  EXPECT_FALSE(CSbig::IsWritable(image, SBIG_ST4));
  EXPECT_TRUE(CSbig::IsWritable(image, SBIG_ST7));
}

// ---------------------------------------------------------------- header

TEST_F(SbigTest, VersionsAndSizeAreRequired) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    int expected;
  };
  const std::vector<Case> cases = {
      {"FileVersion1",
       {"ST-7 Image", "File_version = 1", "Data_version = 1", "Width = 1", "Height = 1"},
       SBG_ERR_VERSION},
      {"FileVersion2",
       {"ST-7 Image", "File_version = 2", "Data_version = 1", "Width = 1", "Height = 1"},
       SBG_OK},
      {"DataVersion2",
       {"ST-7 Image", "File_version = 3", "Data_version = 2", "Width = 1", "Height = 1"},
       SBG_ERR_VERSION},
      {"NoVersion", {"ST-7 Image", "Width = 1", "Height = 1"}, SBG_ERR_VERSION},
      {"NoWidth",
       {"ST-7 Image", "File_version = 3", "Data_version = 1", "Height = 1"},
       SBG_ERR_FORMAT},
      {"ZeroHeight",
       {"ST-7 Image", "File_version = 3", "Data_version = 1", "Width = 1", "Height = 0"},
       SBG_ERR_FORMAT},
      {"KeyNeedsBlanks",
       {"ST-7 Image", "File_version = 3", "Data_version = 1", "Width=1", "Height = 1"},
       SBG_ERR_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImage image;
    EXPECT_EQ(CSbig::Read(image, Write(Header(c.lines) + U16(77))), c.expected);
  }
}

TEST_F(SbigTest, DateAndTimeBecomeUtcWithTheMachineBias) {
  ScopedTz tz("<-01>1");  // one hour behind UTC: bias 60 minutes
  struct Case {
    std::string date, time;
    std::string dateObs, ut;  // empty: no DATE-OBS and UT
  };
  const std::vector<Case> cases = {
      {"12/31/99", "23:30:00", "2000-01-01", "00:30:00.000"},
      {"2/28/00", "23:00:00", "2000-02-29", "00:00:00.000"},
      {"1/1/70", "1:02:03", "1970-01-01", "02:02:03.000"},
      {"1/1/69", "1:02:03", "2069-01-01", "02:02:03.000"},
      {"6/30/2004", "23:59:59", "2004-07-01", "00:59:59.000"},
      {"6/31/2004", "10:00:00", "", ""},
      {"6/30/2004", "noon", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date + " " + c.time);
    std::vector<std::string> lines = BasicLines("ST-7 Image", 1, 1);
    lines.push_back("Date = " + c.date);
    lines.push_back("Time = " + c.time);
    CImage image;
    ReadOrDie(Header(lines) + U16(1), image);
    if (c.dateObs.empty()) {
      EXPECT_EQ(Card(image, "DATE-OBS"), "");
      EXPECT_EQ(Card(image, "UT"), "");
    } else {
      EXPECT_EQ(Card(image, "DATE-OBS"), Pad80("DATE-OBS= '" + c.dateObs +
                                               "'         / Observation start date (YYYY-MM-DD)"));
      EXPECT_EQ(Card(image, "UT"),
                Pad80("UT      = '" + c.ut + "'       / Typical UTC at exposure (HH:MM:SS.S)"));
    }
    EXPECT_EQ(Card(image, "TIMESYS"),
              Pad80("TIMESYS = 'UTC     '           / Time System used in this header"));
  }
}

TEST_F(SbigTest, HeaderValuesBecomeFitsCardsInOrder) {
  std::vector<std::string> lines = BasicLines("ST-8 Image", 2, 1);
  lines.insert(lines.end(), {"Exposure = 1234", "Number_exposures = 3", "Each_exposure = 400",
                             "Temperature = -10.5", "E_gain = 2.30", "Focal_length = 80.0",
                             "Aperture = 12.566371", "Observer = 山田 ﾀﾛｳ"});
  CImage image;
  ReadOrDie(Header(lines) + PlainRows({1, 2}), image);
  const std::vector<std::string> cards = {
      Pad80("SIMPLE  =                    T"),
      Pad80("BITPIX  =                   16 / # of bits storing pixel values"),
      Pad80("NAXIS   =                    2 / # of axes in frame"),
      Pad80("NAXIS1  =                    2 / # of pixels/row"),
      Pad80("NAXIS2  =                    1 / # of rows in frame"),
      Pad80("OBSERVER= '山田 ﾀﾛｳ" + std::string(50 - 16, ' ') + "'"),  // 16 bytes of UTF-8
      Pad80("EXPTIME =                12.34 / Exposure time (sec)"),
      Pad80("EXP1TIME=                 4.00 / Each exposure time (sec)"),
      Pad80("COADD   =                    3 / EXPTIME = EXP1TIME x COADD"),
      Pad80("INSTRUME= 'ST-8 Series         ' / Name of instrument"),
      Pad80("DET-TMP =               262.65 / Detector temperature (K)"),
      Pad80("GAIN    =                2.300 / AD conversion factor"),
      Pad80("FOC-LEN =             2032.000 / Focal length of telescope (mm)"),
      Pad80("F-RATIO =                20.00 / Monochromatic F-Ratio"),
  };
  EXPECT_EQ(Untagged(image), cards);

  // Values outside their sense are left out.
  lines = BasicLines("ST-8 Image", 2, 1);
  lines.insert(lines.end(), {"Number_exposures = 1", "Each_exposure = 400", "Temperature = -300",
                             "E_gain = -1", "Focal_length = -1", "Aperture = 5", "Observer = "});
  ReadOrDie(Header(lines) + PlainRows({1, 2}), image);
  EXPECT_EQ(Untagged(image).size(), 6u);  // the five required cards and INSTRUME
}

TEST_F(SbigTest, LevelsFromBackgroundAndRangeOrFromTheData) {
  std::vector<std::string> lines = BasicLines("ST-7 Image", 2, 1);
  lines.push_back("Background = 100");
  lines.push_back("Range = 50");
  CImage image;
  ReadOrDie(Header(lines) + PlainRows({3, 900}), image);
  EXPECT_EQ(image.HasOwnLevel(), 1);
  EXPECT_EQ(image.GetLevelMin(0), 100);
  EXPECT_EQ(image.GetLevelMax(0), 150);
  CImage header;
  ASSERT_EQ(CSbig::ReadHeader(header, dir_.File("frame.st7")), SBG_OK);
  EXPECT_TRUE(header.IsEmpty());
  EXPECT_EQ(header.GetLevelMax(0), 150);
  EXPECT_EQ(header.HasOwnLevel(), 1);
  EXPECT_TRUE(Tagged(header).empty());
  EXPECT_EQ(Untagged(header), Untagged(image));

  ReadOrDie(Header(BasicLines("ST-7 Image", 2, 1)) + PlainRows({3, 900}), image);
  EXPECT_EQ(image.HasOwnLevel(), 0);
  EXPECT_EQ(image.GetLevelMin(0), 3);
  EXPECT_EQ(image.GetLevelMax(0), 900);
}

TEST_F(SbigTest, HeaderLinesAreCutAndEndIsDropped) {
  std::vector<std::string> lines = BasicLines("ST-10 Image", 1, 1);
  lines.push_back("Note = " + std::string(80, 'n'));
  CImage image;
  ReadOrDie(Header(lines) + U16(1), image);
  const std::vector<std::string> tagged = Tagged(image);
  ASSERT_EQ(tagged.size(), 6u);  // no card for "End"
  EXPECT_EQ(tagged[0], Pad80("COMMENT [ST10]ST-10 Image"));
  EXPECT_EQ(tagged[5], "COMMENT [ST10]Note = " + std::string(80 - 21, 'n'));
}

TEST_F(SbigTest, ReadingReportsProgressAndSaveability) {
  const std::string bytes =
      Header(BasicLines("ST-7 Image", 2, 200)) + PlainRows(std::vector<std::uint16_t>(400, 1));
  const std::string path = Write(bytes);
  CImage image;
  RecordingProgress progress;
  ASSERT_EQ(CSbig::Read(image, path, &progress, "ファイルの読み込み中..."), SBG_OK);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);
  EXPECT_EQ(image.IsSaveableFormat(), 1);
  EXPECT_EQ(image.IsSaveableFile(), 1);
  EXPECT_EQ(image.GetOrgFileName(), path);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(CSbig::Read(image, path), SBG_OK);
  EXPECT_EQ(image.IsSaveableFile(), 0);
}

// ---------------------------------------------------------------- round trip

TEST_F(SbigTest, RoundTripPlainAndCompressedKeepsPixelsLinesAndCards) {
  const int width = 37, height = 5;
  std::vector<std::uint16_t> pixels;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      // Small steps, steps at the limits of one byte, and large jumps.
      static const int kSteps[] = {0, 1, -1, 127, -127, 128, -128, 30000, -30000, 5};
      int v = pixels.empty() || x == 0 ? 1000 * (y + 1) : pixels.back() + kSteps[(x + y) % 10];
      pixels.push_back(static_cast<std::uint16_t>(std::clamp(v, 0, 65535)));
    }
  std::vector<std::string> lines = BasicLines("ST-7 Image", width, height);
  lines.insert(lines.end(),
               {"Exposure = 6000", "Background = 900", "Range = 4000", "Date = 03/04/05",
                "Time = 01:02:03", "Observer = 山田 ﾀﾛｳ", "Note = 晴れ", "Filter = R"});
  const std::string original = Header(lines) + PlainRows(pixels);
  CImage first;
  ReadOrDie(original, first);

  // Plain: the same file, byte for byte.
  const std::string plain = dir_.File("plain.st7");
  ASSERT_EQ(CSbig::Write(first, plain, SBIG_ST7), SBG_OK);
  EXPECT_EQ(ReadFileOrEmpty(plain), original);
  CImage second;
  ASSERT_EQ(CSbig::Read(second, plain), SBG_OK);
  EXPECT_EQ(Pixels(second), Pixels(first));
  EXPECT_EQ(second.m_FitsHeader.Cards(), first.m_FitsHeader.Cards());

  // Compressed: the same pixels and cards; only the first line names the compression.
  const std::string packed = dir_.File("packed.st7");
  ASSERT_EQ(CSbig::Write(second, packed, SBIG_ST7 | SBIG_COMPRESSED), SBG_OK);
  const std::string packedBytes = ReadFileOrEmpty(packed);
  EXPECT_LT(packedBytes.size(), original.size());
  CImage third;
  ASSERT_EQ(CSbig::Read(third, packed), SBG_OK);
  EXPECT_EQ(Pixels(third), Pixels(first));
  EXPECT_EQ(third.GetOrgFileFormat(), "ST-7 Series (圧縮)");
  std::vector<std::string> expected = first.m_FitsHeader.Cards();
  for (std::string& card : expected)
    if (card == Pad80("COMMENT [ST7]ST-7 Image"))
      card = Pad80("COMMENT [ST7]ST-7 Compressed Image");
  EXPECT_EQ(third.m_FitsHeader.Cards(), expected);
  EXPECT_EQ(packedBytes.substr(0, 2048), Header([&] {
              std::vector<std::string> l = lines;
              l[0] = "ST-7 Compressed Image";
              return l;
            }()));

  // And back to plain from the compressed file.
  ASSERT_EQ(CSbig::Write(third, plain, SBIG_ST7), SBG_OK);
  EXPECT_EQ(ReadFileOrEmpty(plain), original);
}

TEST_F(SbigTest, WritingReplacesSizeAndLevelLinesWithTheImagesValues) {
  std::vector<std::string> lines = BasicLines("ST-9 Compressed Image", 3, 2);
  lines.insert(lines.end(), {"Background = 10", "Range = 20", "Widths = 7"});
  CImage image;
  ReadOrDie(Header(lines) + Record(U16(1) + "\x01\x01") + Record(U16(4) + "\x01\x01"), image);
  ASSERT_EQ(image.ChangeSize(2, 1), 1);
  auto* px = static_cast<std::uint16_t*>(image.GetImageAdr(0, 0));
  ASSERT_NE(px, nullptr);
  px[0] = 11;
  px[1] = 12;
  image.SetBzero(100);
  image.SetBscale(2);
  image.SetLevel(0, 104.9, 200);  // raw 2.45 → 2, range 47.55 → 48
  const std::string out = dir_.File("out.st9");
  ASSERT_EQ(CSbig::Write(image, out, SBIG_ST9), SBG_OK);
  std::vector<std::string> expected = BasicLines("ST-9 Image", 2, 1);
  expected.insert(expected.end(), {"Background = 2", "Range = 48", "Widths = 7"});
  const std::string bytes = ReadFileOrEmpty(out);
  EXPECT_EQ(bytes, Header(expected) + PlainRows({11, 12}));
}

TEST_F(SbigTest, HeadersThatCannotBeRebuiltAreRefused) {
  CImage image;
  ReadOrDie(Header(BasicLines("ST-7 Image", 2, 1)) + PlainRows({1, 2}), image);
  const std::string out = dir_.File("out.st7");
  WriteFileOrDie(out, "previous");

  CImage noCards(image);
  noCards.m_FitsHeader.DeleteAll("COMMENT");
  EXPECT_EQ(CSbig::GetSbigType(noCards), 0);
  EXPECT_EQ(CSbig::Write(noCards, out, SBIG_ST7), SBG_ERR_HEADER);

  CImage floats(image);
  ASSERT_EQ(floats.ChangeBits(-32, 1, 0), 1);
  EXPECT_EQ(CSbig::Write(floats, out, SBIG_ST7), SBG_ERR_HEADER);

  CImage emoji(image);
  emoji.m_FitsHeader.Add("COMMENT [ST7]Note = \xF0\x9F\x94\xAD");  // no CP932 form
  EXPECT_EQ(CSbig::Write(emoji, out, SBIG_ST7), SBG_ERR_HEADER);

  EXPECT_EQ(ReadFileOrEmpty(out), "previous");
  EXPECT_EQ(CSbig::Write(image, dir_.File("no/such/folder/out.st7"), SBIG_ST7), SBG_ERR_CREATE);
}

TEST_F(SbigTest, LinesBeyondTheHeaderSizeAreLeftOut) {
  std::vector<std::string> lines = BasicLines("ST-7 Image", 1, 1);
  CImage image;
  ReadOrDie(Header(lines) + U16(3), image);
  // Forty more lines of 60 bytes cannot all fit in 2048 bytes.
  for (int i = 0; i < 40; ++i)
    image.m_FitsHeader.Add("COMMENT [ST7]K" + std::to_string(100 + i) + " = " +
                           std::string(53, 'x'));
  image.m_FitsHeader.Add("COMMENT [ST7]Last = 1");
  const std::string out = dir_.File("out.st7");
  ASSERT_EQ(CSbig::Write(image, out, SBIG_ST7), SBG_OK);
  const std::string bytes = ReadFileOrEmpty(out);
  ASSERT_EQ(bytes.size(), 2050u);
  const std::string header = bytes.substr(0, 2048);
  const std::size_t end = header.find("End\n\r\x1a");
  ASSERT_NE(end, std::string::npos);
  EXPECT_LE(end, 2042u);
  EXPECT_NE(header.find("Last = 1\n\r"), std::string::npos);  // a short line still fits
  EXPECT_EQ(header.find("K139"), std::string::npos);
  CImage back;
  ASSERT_EQ(CSbig::Read(back, out), SBG_OK);
  EXPECT_EQ(back.GetPixel(0, 0), 3);
}

// ---------------------------------------------------------------- saving safely

int g_failAt = 0;
const char* g_failStage = "";
int FailHook(const char* stage) {
  if (std::strcmp(stage, g_failStage) == 0 && --g_failAt == 0) return EIO;
  return 0;
}

TEST_F(SbigTest, AFailedSaveLeavesTheOldFileAndNoTemporary) {
  CImage image;
  ReadOrDie(Header(BasicLines("ST-7 Image", 2, 1)) + PlainRows({1, 2}), image);
  const std::string out = dir_.File("keep.st7");
  for (const char* stage : {"write", "sync", "rename"}) {
    SCOPED_TRACE(stage);
    WriteFileOrDie(out, "previous");
    g_failStage = stage;
    g_failAt = 1;
    SetSaveFaultHook(FailHook);
    EXPECT_EQ(CSbig::Write(image, out, SBIG_ST7 | SBIG_COMPRESSED), SBG_ERR_WRITE);
    SetSaveFaultHook(nullptr);
    EXPECT_EQ(ReadFileOrEmpty(out), "previous");
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      (void)e;
      ++files;
    }
    EXPECT_EQ(files, 2);  // frame.st7 and keep.st7 only
  }
  ASSERT_EQ(CSbig::Write(image, out, SBIG_ST7), SBG_OK);
  EXPECT_EQ(ReadFileOrEmpty(out), ReadFileOrEmpty(dir_.File("frame.st7")));
}

// ---------------------------------------------------------------- malformed files

TEST_F(SbigTest, EveryTruncationGivesItsCode) {
  std::vector<std::string> lines = BasicLines("ST-7 Compressed Image", 4, 3);
  const std::string packed = Header(lines) + Record(U16(1) + "\x01\x01\x01") +
                             Record(U16(1) + U16(2) + U16(3) + U16(4)) +
                             Record(U16(9) + "\x80" + U16(7) + "\x01\x01");
  lines[0] = "ST-7 Image";
  const std::string plain = Header(lines) + PlainRows(std::vector<std::uint16_t>(12, 5));
  for (const std::string& full : {packed, plain}) {
    CImage image;
    ASSERT_EQ(CSbig::Read(image, Write(full)), SBG_OK);
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE(cut);
      const std::string path = Write(full.substr(0, cut));
      EXPECT_EQ(CSbig::Read(image, path), SBG_ERR_SHORT);
      EXPECT_EQ(CSbig::ReadHeader(image, path), cut < 2048 ? SBG_ERR_SHORT : SBG_OK);
    }
  }
  CImage image;
  EXPECT_EQ(CSbig::Read(image, dir_.File("missing.st7")), SBG_ERR_OPEN);
  EXPECT_EQ(CSbig::Read(image, dir_.path()), FIO_ERR_FOLDER);
}

TEST_F(SbigTest, HugeSizesAreRefusedBeforeAllocating) {
  for (const char* first : {"ST-7 Image", "ST-7 Compressed Image"}) {
    SCOPED_TRACE(first);
    CImage image;
    std::vector<std::string> lines = BasicLines(first, 100000, 100000);
    EXPECT_EQ(CSbig::Read(image, Write(Header(lines) + std::string(64, '\x01'))), SBG_ERR_SHORT);
    lines = BasicLines(first, 2147483647, 2147483647);
    EXPECT_EQ(CSbig::Read(image, Write(Header(lines) + std::string(64, '\x01'))), SBG_ERR_SHORT);
    lines = BasicLines(first, 99999999, 1);
    lines[3] = "Width = 99999999999999999999";
    EXPECT_EQ(CSbig::Read(image, Write(Header(lines) + std::string(64, '\x01'))), SBG_ERR_SHORT);
  }
}

}  // namespace
