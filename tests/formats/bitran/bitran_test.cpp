#include "formats/bitran/bitran.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fits/fileiocodes.h"
#include "imagemodel/image.h"
#include "platform/progress.h"
#include "tests/formats/bitran/bitran_test_file.h"
#include "tests/support/temp_dir.h"

using bitran_test::BitranFile;
using bitran_test::I32;
using bitran_test::Record;

namespace {

// Sets TZ for the lifetime of a test and restores it.
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

class BitranTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes, const std::string& name = "frame.ccd") {
    std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  int Read(const BitranFile& file, CImage& image, CBitranParam* param = nullptr) {
    return CBitran::Read(image, Write(file.Build()), param);
  }
  static std::string Card(const CImage& image, const std::string& keyword) {
    int i = image.m_FitsHeader.Find(keyword);
    return i < 0 ? std::string() : image.m_FitsHeader.GetAt(i);
  }
  static std::vector<std::string> Comments(const CImage& image) {
    std::vector<std::string> out;
    for (const std::string& c : image.m_FitsHeader.Cards())
      if (c.starts_with("COMMENT ")) out.push_back(c);
    return out;
  }
  static std::string Pad80(const std::string& s) {
    std::string out = s;
    out.resize(80, ' ');
    return out;
  }
  static float At(CImage& image, int x, int y, int plane = 0) {
    return static_cast<float>(image.GetPixel(x, y, plane));
  }

  ScopedConfigHome home_;
  TempDir dir_;
};

// ---------------------------------------------------------------- layout and records

TEST_F(BitranTest, Version10HasNoRecordsAndPixelsFollowTheSizeBlock) {
  BitranFile f;
  f.version = "1.0";
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetVersion(), 10);
  EXPECT_EQ(param.GetLeft(), 0);
  EXPECT_EQ(param.GetTop(), 0);
  EXPECT_EQ(param.GetBinning(), (BitranBinning{1, 1}));
  EXPECT_EQ(image.GetWidth(), 4);
  EXPECT_EQ(image.GetHeight(), 3);
  EXPECT_EQ(image.GetBitsPixel(), -32);
  EXPECT_EQ(image.GetPlanes(), 1);
  EXPECT_EQ(image.GetDimension(), 2);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(At(image, x, y), f.Pixel(x, y)) << x << "," << y;
  EXPECT_EQ(image.GetOrgFileFormat(), "BITRAN");
  EXPECT_EQ(image.GetOrgBitsPixel(), 16);
  EXPECT_EQ(image.GetOrgPlanes(), 1);
  EXPECT_EQ(image.IsSaveableFormat(), 0);
  EXPECT_EQ(image.IsSaveableFile(), 0);
  EXPECT_EQ(image.GetOrgFileName(), dir_.File("frame.ccd"));

  const std::vector<std::string> expected = {
      Pad80("SIMPLE  =                    T"),
      Pad80("BITPIX  =                  -32 / # of bits storing pixel values"),
      Pad80("NAXIS   =                    2 / # of axes in frame"),
      Pad80("NAXIS1  =                    4 / # of pixels/row"),
      Pad80("NAXIS2  =                    3 / # of rows in frame"),
  };
  EXPECT_EQ(image.m_FitsHeader.Cards(), expected);
}

TEST_F(BitranTest, BothSignaturesAreAcceptedAndOthersRefused) {
  BitranFile f;
  f.signature = "BITRAN Corporation STARDOM ";
  CImage image;
  EXPECT_EQ(Read(f, image), BRN_OK);
  f.signature = "BITRAN Corporation STARDUM ";
  EXPECT_EQ(Read(f, image), BRN_ERR_SIGNATURE);
  EXPECT_EQ(CBitran::Read(image, dir_.File("missing.ccd")), BRN_ERR_OPEN);
  EXPECT_EQ(CBitran::Read(image, dir_.path()), FIO_ERR_FOLDER);  // a folder is no file
}

TEST_F(BitranTest, FlagByteGivesGreenWeightingPixelCorrectAndResolution) {
  BitranFile f;
  f.flags = 0x5A;  // 0101 1010: high resolution, pixel correct, green 10
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetGreenPixel(), 10);
  EXPECT_EQ(param.IsPixelCorrect(), 1);
  EXPECT_EQ(param.IsHighRes(), 1);
}

TEST_F(BitranTest, RecordOneSetsTheWindowAndMinusOneKeepsIt) {
  BitranFile f;
  f.records = {{12, -1, ""}};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetLeft(), 12);
  EXPECT_EQ(param.GetTop(), 0);
  EXPECT_EQ(At(image, 3, 2), f.Pixel(3, 2));  // the end record was consumed, not the pixels
}

TEST_F(BitranTest, RecordTwoCarriesTheDefectListWithABlankAppended) {
  BitranFile f;
  f.records = {{0, 0, ""}, {9, 0, "P=1,2 C=3"}};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetPixelCorrect(), "P=1,2 C=3 ");
  EXPECT_EQ(At(image, 0, 0), f.Pixel(0, 0));
}

TEST_F(BitranTest, ReadingStopsAfterTheTenthRecord) {
  BitranFile f;
  for (int i = 0; i < 10; ++i) f.records.push_back({i == 1 ? 0 : 7, 0, ""});
  f.endRecord = false;  // ten records and no end mark: the pixels follow at once
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetLeft(), 7);
  EXPECT_EQ(At(image, 0, 0), f.Pixel(0, 0));
  EXPECT_EQ(At(image, 3, 2), f.Pixel(3, 2));
}

struct BinningCase {
  const char* name;
  const char* version;
  std::string cameraText;
  std::uint8_t flags;
  std::int32_t b;
  BitranBinning expected;
};
void PrintTo(const BinningCase& c, std::ostream* os) {
  *os << c.name;
}

class BitranBinningTest : public BitranTest, public ::testing::WithParamInterface<BinningCase> {};

TEST_P(BitranBinningTest, BinningFromRecordTwo) {
  const BinningCase& c = GetParam();
  BitranFile f;
  f.version = c.version;
  f.flags = c.flags;
  if (!c.cameraText.empty()) f.Text(1, c.cameraText);
  f.records = {{-1, -1, ""}, {0, c.b, ""}};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetBinning(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, BitranBinningTest,
    ::testing::Values(
        // 1.7 and later: x from the low 16 bits, y from the high ones or else the low ones.
        BinningCase{"V17HighBitsGiveY", "1.7", "", 0, 0x00020001, {1, 2}},
        BinningCase{"V17NoHighBits", "1.7", "", 0, 2, {2, 2}},
        BinningCase{"V18Both", "1.8", "", 0, 0x00030004, {4, 3}},
        // 1.6: b × b while the camera text left 1 × 1.
        BinningCase{"V16Square", "1.6", "", 0, 3, {3, 3}},
        BinningCase{"V16Zero", "1.6", "", 0, 0, {1, 1}},
        BinningCase{"V16ColourHighRes", "1.6", "カラー", 0x40, 3, {1, 1}},
        BinningCase{"V16ColourLowRes", "1.6", "カラー", 0, 3, {3, 3}},
        BinningCase{"V16KeepsCameraBinning", "1.6", "白黒ﾋﾞﾆﾝｸﾞ", 0, 3, {2, 2}},
        // Older versions leave the camera text's binning.
        BinningCase{"V15Ignores", "1.5", "ﾋﾞﾆﾝｸﾞ4", 0, 2, {4, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CameraCase {
  const char* name;
  std::string text;
  int planes;
  BitranBinning binning;
  int mirror;
};
void PrintTo(const CameraCase& c, std::ostream* os) {
  *os << c.name;
}

class BitranCameraTextTest : public BitranTest, public ::testing::WithParamInterface<CameraCase> {};

TEST_P(BitranCameraTextTest, CameraDescriptionSetsColourBinningAndMirror) {
  const CameraCase& c = GetParam();
  BitranFile f;
  f.version = "1.0";
  f.Text(1, c.text);
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetPlanes(), c.planes);
  EXPECT_EQ(param.IsColor(), c.planes == 3);
  EXPECT_EQ(param.GetBinning(), c.binning);
  EXPECT_EQ(param.IsMirror(), c.mirror);
}

INSTANTIATE_TEST_SUITE_P(
    Text, BitranCameraTextTest,
    ::testing::Values(CameraCase{"Plain", "BT-214E 冷却CCD", 1, {1, 1}, 0},
                      CameraCase{"Colour", "BT-214E カラー", 3, {1, 1}, 0},
                      CameraCase{"MonoBinning", "白黒ﾋﾞﾆﾝｸﾞ ﾋﾞﾆﾝｸﾞ3", 1, {2, 2}, 0},
                      CameraCase{"NoBinning", "ﾋﾞﾆﾝｸﾞなし", 1, {1, 1}, 0},
                      CameraCase{"NumberedBinning", "ﾋﾞﾆﾝｸﾞ3 ", 1, {3, 3}, 0},
                      CameraCase{"BinningZeroIgnored", "ﾋﾞﾆﾝｸﾞ0 ", 1, {1, 1}, 0},
                      CameraCase{"Mirror", "BT-20 ST", 1, {1, 1}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- camera text fields

TEST_F(BitranTest, DateRollsBackAcrossTheMonthOnAMachineAheadOfUtc) {
  ScopedTz tz("JST-9");
  BitranFile f;
  f.Text(1, "BT-214E\r\n撮影 2005年03月01日00時10分05秒\r\n");
  CImage image;
  ASSERT_EQ(Read(f, image), BRN_OK);
  EXPECT_EQ(Card(image, "DATE-OBS"),
            Pad80("DATE-OBS= '2005-02-28'         / Observation start date (YYYY-MM-DD)"));
  EXPECT_EQ(Card(image, "UT"),
            Pad80("UT      = '15:10:05.000'       / Typical UTC at exposure (HH:MM:SS.S)"));
  EXPECT_EQ(Card(image, "TIMESYS"),
            Pad80("TIMESYS = 'UTC     '           / Time System used in this header"));
}

TEST_F(BitranTest, DateRollsAcrossTheYearInBothDirections) {
  struct Case {
    const char* tz;
    std::string text;
    std::string date, ut;
  };
  const std::vector<Case> cases = {
      {"JST-9", "2006年01月01日08時59分59秒", "2005-12-31", "23:59:59.000"},
      {"<-05>5", "1999年12月31日19時00分00秒", "2000-01-01", "00:00:00.000"},
      {"<-05>5", "2008年02月28日20時30分00秒", "2008-02-29", "01:30:00.000"},
      {"UTC0", "2008年02月28日20時30分00秒", "2008-02-28", "20:30:00.000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + c.text);
    ScopedTz tz(c.tz);
    BitranFile f;
    f.Text(1, c.text);
    CImage image;
    ASSERT_EQ(Read(f, image), BRN_OK);
    EXPECT_EQ(Card(image, "DATE-OBS").substr(0, 22), "DATE-OBS= '" + c.date + "'");
    EXPECT_EQ(Card(image, "UT").substr(0, 24), "UT      = '" + c.ut + "'");
  }
}

TEST_F(BitranTest, DaylightSavingIsLeftOutOfTheBias) {
  // Central Europe in summer: the standard offset (one hour) counts, not the summer one.
  ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
  BitranFile f;
  f.Text(1, "2005年07月01日12時00分00秒");
  CImage image;
  ASSERT_EQ(Read(f, image), BRN_OK);
  EXPECT_NE(Card(image, "UT").find("'11:00:00.000'"), std::string::npos) << Card(image, "UT");
}

struct DateCase {
  const char* name;
  std::string text;
  int bias;
  bool ok;
  BitranDateTime expected;
};
void PrintTo(const DateCase& c, std::ostream* os) {
  *os << c.name;
}

class BitranDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(BitranDateTest, RollsOverDaysMonthsAndYears) {
  const DateCase& c = GetParam();
  BitranDateTime t{};
  ASSERT_EQ(bitran_text::ParseDateTime(c.text, c.bias, &t), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(t.year, c.expected.year);
  EXPECT_EQ(t.month, c.expected.month);
  EXPECT_EQ(t.day, c.expected.day);
  EXPECT_EQ(t.hour, c.expected.hour);
  EXPECT_EQ(t.minute, c.expected.minute);
  EXPECT_EQ(t.second, c.expected.second);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, BitranDateTest,
    ::testing::Values(
        DateCase{
            "BackIntoFebruary", "2005年03月01日00時10分05秒", -540, true, {2005, 2, 28, 15, 10, 5}},
        DateCase{"BackIntoLeapFebruary",
                 "2004年03月01日05時00分00秒",
                 -540,
                 true,
                 {2004, 2, 29, 20, 0, 0}},
        DateCase{"CenturyIsNoLeapYear",
                 "1900年03月01日00時00分00秒",
                 -60,
                 true,
                 {1900, 2, 28, 23, 0, 0}},
        DateCase{
            "Year2000IsLeap", "2000年03月01日00時00分00秒", -60, true, {2000, 2, 29, 23, 0, 0}},
        DateCase{"BackIntoLastYear",
                 "2006年01月01日08時59分59秒",
                 -540,
                 true,
                 {2005, 12, 31, 23, 59, 59}},
        DateCase{
            "ForwardIntoMarch", "2005年02月28日23時30分00秒", 60, true, {2005, 3, 1, 0, 30, 0}},
        DateCase{
            "ForwardIntoLeapDay", "2004年02月28日23時30分00秒", 60, true, {2004, 2, 29, 0, 30, 0}},
        DateCase{
            "ForwardIntoNextYear", "1999年12月31日23時30分00秒", 60, true, {2000, 1, 1, 0, 30, 0}},
        DateCase{"NegativeMinutesBorrow",
                 "2005年06月10日10時05分00秒",
                 -330,
                 true,
                 {2005, 6, 10, 4, 35, 0}},
        DateCase{"UtcStays", "2005年06月10日10時05分07秒", 0, true, {2005, 6, 10, 10, 5, 7}},
        DateCase{"MissingSecond", "2005年06月10日10時05分", 0, false, {}},
        DateCase{"ShortYear", "05年06月10日10時05分07秒", 0, false, {}},
        DateCase{"MonthThirteen", "2005年13月10日10時05分07秒", 0, false, {}},
        DateCase{"DayThirtyOneInApril", "2005年04月31日10時05分07秒", 0, false, {}},
        DateCase{"NotDigits", "2005年x月10日10時05分07秒", 0, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ExposureCase {
  const char* name;
  std::string text;
  bool found;
  double seconds;
  std::string card;  // empty: no EXPTIME card
};
void PrintTo(const ExposureCase& c, std::ostream* os) {
  *os << c.name;
}

class BitranExposureTest : public BitranTest, public ::testing::WithParamInterface<ExposureCase> {};

TEST_P(BitranExposureTest, ExposureFromTheCameraText) {
  const ExposureCase& c = GetParam();
  double seconds = -1;
  ASSERT_EQ(bitran_text::ParseExposure(c.text, &seconds), c.found);
  if (c.found) {
    EXPECT_DOUBLE_EQ(seconds, c.seconds);
  }

  BitranFile f;
  f.Text(1, c.text);
  CImage image;
  ASSERT_EQ(Read(f, image), BRN_OK);
  EXPECT_EQ(Card(image, "EXPTIME"), c.card.empty() ? std::string() : Pad80(c.card));
}

INSTANTIATE_TEST_SUITE_P(
    Exposures, BitranExposureTest,
    ::testing::Values(ExposureCase{"MinutesAndSeconds", "露出1分30秒 ", true, 90.0,
                                   "EXPTIME =                90.00 / Exposure time (sec)"},
                      ExposureCase{"Fraction", "露出1/250秒 ", true, 0.004,
                                   "EXPTIME =                 0.00 / Exposure time (sec)"},
                      ExposureCase{"ZeroDivisor", "露出1/0秒 ", false, 0, ""},
                      ExposureCase{"Hours", "露出:1時間5分 ", true, 3900.0,
                                   "EXPTIME =              3900.00 / Exposure time (sec)"},
                      ExposureCase{"DecimalSeconds", "露出 2.5秒", true, 0.0,
                                   ""},  // value ends at once
                      ExposureCase{"NoBlankAfter", "露出10秒", false, 0, ""},
                      ExposureCase{"None", "シャッター", false, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BitranTest, DetectorTemperatureAndCommentCards) {
  BitranFile f;
  f.Text(1, "ビットラン BT-214E(冷却) カラー\r\nCCD温度 -20.5℃\r\n\r\n")
      .Text(4, "範囲100～2000")
      .Text(2, "メモ一\r\n二行目")
      .Text(9, "読まれない")
      .Text(5, "");
  CImage image;
  ASSERT_EQ(Read(f, image), BRN_OK);
  EXPECT_EQ(Card(image, "INSTRUME"),
            Pad80("INSTRUME= 'BT-214E             ' / Name of instrument"));
  EXPECT_EQ(Card(image, "DET-TMP"),
            Pad80("DET-TMP =               252.65 / Detector temperature (K)"));
  const std::vector<std::string> comments = {
      Pad80("COMMENT ビットラン BT-214E(冷却) カラー"), Pad80("COMMENT CCD温度 -20.5℃"),
      Pad80("COMMENT 範囲100～2000"), Pad80("COMMENT メモ一")};
  EXPECT_EQ(Comments(image), comments);
  // Half-width katakana stay half-width, and a long line is cut on a character boundary.
  BitranFile g;
  g.version = "1.0";
  g.Text(1, "ﾋﾞﾆﾝｸﾞ2 " + std::string(30, 'x') + "露光露光露光露光露光露光露光露光露光露光");
  ASSERT_EQ(Read(g, image), BRN_OK);
  const std::string card = Comments(image).at(0);
  EXPECT_EQ(card.size(), 80u);
  EXPECT_TRUE(card.starts_with("COMMENT ﾋﾞﾆﾝｸﾞ2 "));
  EXPECT_EQ(card.substr(8, 72).find("\xEF\xBF\xBD"), std::string::npos);
}

TEST_F(BitranTest, DetectorFallsBackToBjAndTemperatureNeedsANumber) {
  std::string name;
  EXPECT_TRUE(bitran_text::ParseDetector("機種 BJ-41L,改", &name));
  EXPECT_EQ(name, "BJ-41L");
  EXPECT_FALSE(bitran_text::ParseDetector("なし", &name));
  double k = 0;
  EXPECT_TRUE(bitran_text::ParseTemperature("温度 5℃", &k));
  EXPECT_DOUBLE_EQ(k, 278.15);
  EXPECT_FALSE(bitran_text::ParseTemperature("温度 低い℃", &k));
  EXPECT_FALSE(bitran_text::ParseTemperature("温度 5度", &k));
}

// ---------------------------------------------------------------- convert text

TEST_F(BitranTest, ConvertTextGivesOffsetCalibrationFilesAndSky) {
  BitranFile f;
  f.Text(4, "ダーク補正(100,Dark1.DRK) フラット補正(0,Flat1.flt,FDark.fdk) 空(3)");
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetImageCorrect(), 100);
  EXPECT_EQ(At(image, 1, 1), 100 + f.Pixel(1, 1));
  EXPECT_EQ(param.GetDrkFileName(), dir_.path() + "/Dark1.DRK");
  EXPECT_EQ(param.GetFltFileName(), dir_.path() + "/Flat1.flt");
  EXPECT_EQ(param.GetFdkFileName(), dir_.path() + "/FDark.fdk");
  EXPECT_EQ(param.GetDrkConvert(), 0);
  EXPECT_EQ(param.GetFltConvert(), 0);
  EXPECT_EQ(param.GetFdkConvert(), 0);
  EXPECT_EQ(param.IsSky(), 3);
  EXPECT_EQ(param.GetSky(), 1);
}

TEST_F(BitranTest, CalibrationNamesNeedAnEndAndDropForeignFolders) {
  BitranFile f;
  f.Text(4, "(5,C:\\ccd\\dark.drk,flat.flt");  // the flat item has no end
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  EXPECT_EQ(param.GetDrkFileName(), dir_.path() + "/dark.drk");
  EXPECT_EQ(param.GetFltFileName(), "");
  EXPECT_EQ(param.GetFdkFileName(), "");
  EXPECT_EQ(param.GetImageCorrect(), 5);
}

// ---------------------------------------------------------------- conversion

TEST_F(BitranTest, LowResolutionColourHalvesTheFrameAndDropsTheOddEdge) {
  BitranFile f;
  f.Text(1, "カラー");
  f.width = 1001;
  f.height = 801;
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  RecordingProgress progress;
  ASSERT_EQ(CBitran::Conversion(image, &param, &progress, "データ変換中..."), BRN_OK);
  EXPECT_EQ(image.GetWidth(), 500);
  EXPECT_EQ(image.GetHeight(), 400);
  EXPECT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetDimension(), 3);
  EXPECT_EQ(image.GetOrgPlanes(), 3);
  for (auto [i, h] : {std::pair{0, 0}, {499, 399}, {123, 45}}) {
    EXPECT_EQ(At(image, i, h, 0), f.Pixel(2 * i + 1, 2 * h));
    EXPECT_EQ(At(image, i, h, 2), f.Pixel(2 * i, 2 * h + 1));
    EXPECT_EQ(At(image, i, h, 1), std::max(f.Pixel(2 * i, 2 * h), f.Pixel(2 * i + 1, 2 * h + 1)));
  }
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().caption, "データ変換中...");
  EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
}

struct GreenCase {
  int weighting;
  int g1, g2;
  float expected;
};
void PrintTo(const GreenCase& c, std::ostream* os) {
  *os << "w" << c.weighting << " " << c.g1 << "," << c.g2;
}

class BitranGreenTest : public BitranTest, public ::testing::WithParamInterface<GreenCase> {};

TEST_P(BitranGreenTest, GreenWeighting) {
  const GreenCase& c = GetParam();
  BitranFile f;
  f.Text(1, "カラー");
  f.flags = static_cast<std::uint8_t>(c.weighting);
  f.width = 2;
  f.height = 2;
  f.pixels = {static_cast<std::uint16_t>(c.g1), 7, 9, static_cast<std::uint16_t>(c.g2)};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  EXPECT_FLOAT_EQ(At(image, 0, 0, 1), c.expected);
  EXPECT_FLOAT_EQ(At(image, 0, 0, 0), 7);
  EXPECT_FLOAT_EQ(At(image, 0, 0, 2), 9);
}

INSTANTIATE_TEST_SUITE_P(Weights, BitranGreenTest,
                         ::testing::Values(GreenCase{0, 100, 200, 200}, GreenCase{1, 101, 200, 150},
                                           GreenCase{2, 100, 200, 100}, GreenCase{3, 100, 201, 100},
                                           GreenCase{4, 101, 200, 50}, GreenCase{5, 100, 200, 300},
                                           GreenCase{10, 100, 200, 150},
                                           GreenCase{13, 101, 200, 60.2f},
                                           GreenCase{15, 100, 200, 0}));

TEST_F(BitranTest, HighResolutionColourInterpolatesFromTheMosaic) {
  BitranFile f;
  f.Text(1, "カラー");
  f.flags = 0x40;
  f.width = 4;
  f.height = 4;
  // Rows: G R G R / B G B G, values chosen so each mean is easy to follow.
  f.pixels = {10, 20, 12, 22,  //
              30, 40, 32, 42,  //
              14, 24, 16, 26,  //
              34, 44, 36, 46};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  ASSERT_EQ(image.GetWidth(), 4);
  ASSERT_EQ(image.GetPlanes(), 3);
  // Red pixel (1,0): green from left and right, blue from the diagonals in the frame.
  EXPECT_EQ(At(image, 1, 0, 0), 20);
  EXPECT_EQ(At(image, 1, 0, 1), 11);  // (10 × 22 + 5) / 20
  EXPECT_EQ(At(image, 1, 0, 2), 31);  // (30 + 32) / 2
  // Blue pixel (2,1): red from four diagonals, green from left and right.
  EXPECT_EQ(At(image, 2, 1, 2), 32);
  EXPECT_EQ(At(image, 2, 1, 0), 23);  // (20 + 22 + 24 + 26) / 4
  EXPECT_EQ(At(image, 2, 1, 1), 41);  // (40 + 42) / 2
  // Green of a red row (0,0): red from the right only, blue from below only.
  EXPECT_EQ(At(image, 0, 0, 1), 10);
  EXPECT_EQ(At(image, 0, 0, 0), 20);
  EXPECT_EQ(At(image, 0, 0, 2), 30);
  // Green of a blue row (1,1): red from above and below, blue from left and right.
  EXPECT_EQ(At(image, 1, 1, 1), 40);
  EXPECT_EQ(At(image, 1, 1, 0), 22);  // (20 + 24) / 2
  EXPECT_EQ(At(image, 1, 1, 2), 31);  // (30 + 32) / 2
  // The mean adds 5 before dividing by ten times the count: 1.5 comes out as 1.
  f.pixels = {1, 9, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  EXPECT_EQ(At(image, 1, 0, 1), 1);
}

// Every pixel of a frame with edges, corners and an interior, against the neighbour sets
// taken straight from the mosaic: own colour kept, the others the mean of the same-colour
// neighbours that lie in the frame.
TEST_F(BitranTest, FullResolutionMatchesTheNeighbourRuleEverywhere) {
  BitranFile f;
  f.Text(1, "カラー");
  f.flags = 0x40;
  f.width = 9;
  f.height = 7;
  std::uint32_t state = 7;
  for (int i = 0; i < 63; ++i) {
    state = state * 1103515245u + 12345u;
    f.pixels.push_back(static_cast<std::uint16_t>(state >> 16));
  }
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  // Colour of a mosaic position: 0 red, 1 green, 2 blue.
  auto colour = [](int x, int y) {
    return y % 2 == 0 ? (x % 2 == 0 ? 1 : 0) : (x % 2 == 0 ? 2 : 1);
  };
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x)
      for (int c = 0; c < 3; ++c) {
        long sum = 0, n = 0;
        if (colour(x, y) == c) {
          sum = f.Pixel(x, y);
          n = 1;
        } else {
          for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
              const int nx = x + dx, ny = y + dy;
              if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= 9 || ny >= 7) continue;
              // Green comes from the sides only; red and blue from the nearest cells of
              // their colour (sides, above and below, or the diagonals).
              if (colour(nx, ny) != c || (c == 1 && dy != 0)) continue;
              sum += f.Pixel(nx, ny);
              ++n;
            }
        }
        const long expected = n == 1 ? sum : (10 * sum + 5) / (10 * n);
        EXPECT_EQ(At(image, x, y, c), expected) << x << "," << y << " plane " << c;
      }
}

TEST_F(BitranTest, MirrorReversesEveryRowOfAGrayFrame) {
  BitranFile f;
  f.Text(1, "BT-20");
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) EXPECT_EQ(At(image, x, y), f.Pixel(f.width - 1 - x, y));
}

// A gray frame 7 wide, 3 high; v(x, y) = 100 + 10x + 1000y unless a case overrides a pixel.
struct DefectCase {
  const char* name;
  std::string list;
  std::int32_t left, top, binning;
  std::vector<std::pair<std::pair<int, int>, int>> overrides;
  std::vector<std::pair<std::pair<int, int>, float>> expected;
};
void PrintTo(const DefectCase& c, std::ostream* os) {
  *os << c.name;
}

class BitranDefectTest : public BitranTest, public ::testing::WithParamInterface<DefectCase> {};

TEST_P(BitranDefectTest, DefectListCorrectsFromSameColourNeighbours) {
  const DefectCase& c = GetParam();
  BitranFile f;
  f.width = 7;
  f.height = 3;
  f.flags = 0x10;
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x)
      f.pixels.push_back(static_cast<std::uint16_t>(100 + 10 * x + 1000 * y));
  for (auto [at, v] : c.overrides)
    f.pixels[static_cast<std::size_t>(at.second * 7 + at.first)] = static_cast<std::uint16_t>(v);
  f.records = {{c.left, c.top, ""}, {static_cast<std::int32_t>(c.list.size()), c.binning, c.list}};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  for (auto [at, v] : c.expected)
    EXPECT_EQ(At(image, at.first, at.second), v) << at.first << "," << at.second;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, BitranDefectTest,
    ::testing::Values(
        // One pixel from left, right, above and below.
        DefectCase{"Pixel", "P=4,2", 0, 0, 1, {{{3, 1}, 9}}, {{{3, 1}, 1130}, {{2, 1}, 1120}}},
        // A whole column from left and right.
        DefectCase{"Column",
                   "C=2",
                   0,
                   0,
                   1,
                   {{{1, 0}, 0}, {{1, 2}, 0}},
                   {{{1, 0}, 110}, {{1, 1}, 1110}, {{1, 2}, 2110}}},
        // Two marked neighbours side by side: the first looks past the second, the second
        // uses the first once it has been corrected.
        DefectCase{"AdjacentColumns",
                   "C=2,3",
                   0,
                   0,
                   1,
                   {{{1, 0}, 0}, {{2, 0}, 0}},
                   {{{1, 0}, 115}, {{2, 0}, 122}}},
        // Three marked columns: the first loses its right side and keeps its mark, so the
        // second takes the pixel beyond it; the third uses the corrected second.
        DefectCase{
            "ThreeColumns", "C=2,3,4", 0, 0, 1, {}, {{{1, 0}, 100}, {{2, 0}, 120}, {{3, 0}, 130}}},
        // Later items after a blank start columns of their own; a letter ends the list.
        DefectCase{"ColumnItems",
                   "C=2 6 x5",
                   0,
                   0,
                   1,
                   {{{5, 1}, 0}, {{4, 1}, 0}},
                   {{{5, 1}, 580}, {{4, 1}, 0}}},
        // A segment of two rows, and one of the default five clipped to the frame.
        DefectCase{"Segments",
                   "S=2,2(2) 6,1",
                   0,
                   0,
                   1,
                   {{{1, 0}, 7}, {{5, 0}, 0}},
                   {{{1, 0}, 7}, {{1, 1}, 1110}, {{1, 2}, 2110}, {{5, 0}, 150}}},
        // Sensor coordinates: window left 10, top 20, binning 2 × 2.
        DefectCase{
            "WindowAndBinning", "P=15,23", 10, 20, 0x00020002, {{{2, 1}, 0}}, {{{2, 1}, 1120}}},
        // Outside the frame, and left of the window (also by less than one binned pixel):
        // nothing happens.
        DefectCase{
            "Outside", "P=99,1 9,1 10,1 C=0", 10, 0, 0x00020002, {{{0, 0}, 5}}, {{{0, 0}, 5}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BitranTest, ColourDefectsTakeNeighboursTwoPixelsAway) {
  BitranFile f;
  f.Text(1, "カラー");
  f.flags = 0x10 | 0x40;  // pixel correct, high resolution
  f.width = 6;
  f.height = 2;
  f.pixels = {10, 20, 12, 999, 14, 24,  //
              30, 40, 32, 42,  34, 44};
  const std::string list = "P=4,1";
  f.records = {{0, 0, ""}, {static_cast<std::int32_t>(list.size()), 1, list}};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
  // Red (3,0) from red (1,0) and red (5,0); no red row lies two above or below.
  EXPECT_EQ(At(image, 3, 0, 0), 22);
}

TEST_F(BitranTest, LevelsFromTheConvertText) {
  struct Case {
    std::string convert;
    bool colour;
    int own;
    std::vector<std::pair<double, double>> levels;  // per plane; empty: from the data
  };
  const std::vector<Case> cases = {
      {"範囲100～2000(x)", false, 1, {{100, 2000}}},
      {"範囲 -5 ～ 50.5,", false, 1, {{-5, 50.5}}},
      {"ガンマ", false, 0, {}},
      {"範囲1～2 赤10～20 緑30～40 青50～60", true, 1, {{10, 20}, {30, 40}, {50, 60}}},
      {"赤10～20 緑30～40 青50～60", true, 1, {{10, 20}, {30, 40}, {50, 60}}},
      {"赤10～20 緑30～40", true, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.convert);
    BitranFile f;
    if (c.colour) f.Text(1, "カラー");
    f.flags = 0x40;
    f.Text(4, c.convert);
    CImage image;
    CBitranParam param;
    ASSERT_EQ(Read(f, image, &param), BRN_OK);
    ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
    EXPECT_EQ(image.HasOwnLevel(), c.own);
    for (int p = 0; p < image.GetPlanes(); ++p) {
      if (c.levels.empty()) {
        double lo, hi;
        ASSERT_EQ(image.GetMinMax(p, &lo, &hi), 1);
        EXPECT_EQ(image.GetLevelMin(p), lo);
        EXPECT_EQ(image.GetLevelMax(p), hi);
      } else {
        EXPECT_EQ(image.GetLevelMin(p), c.levels[static_cast<std::size_t>(p)].first);
        EXPECT_EQ(image.GetLevelMax(p), c.levels[static_cast<std::size_t>(p)].second);
      }
    }
  }
}

TEST_F(BitranTest, SkyCutIsBelowOnGrayAndAtOrBelowOnColour) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour);
    BitranFile f;
    if (colour) f.Text(1, "カラー");
    f.flags = 0x40;
    // Offset -1: counts 0, 1, 3, 2 become -1, 0, 2, 1; the threshold is 1.
    f.Text(4, "(-1,a.drk) 空(2)");
    f.width = 2;
    f.height = 2;
    f.pixels = {0, 1, 3, 2};
    CImage image;
    CBitranParam param;
    ASSERT_EQ(Read(f, image, &param), BRN_OK);
    ASSERT_EQ(param.IsSky(), 2);
    ASSERT_EQ(CBitran::Conversion(image, &param), BRN_OK);
    if (!colour) {
      EXPECT_EQ(At(image, 0, 0), 0);  // -1 is below 1
      EXPECT_EQ(At(image, 0, 1), 2);
      EXPECT_EQ(At(image, 1, 1), 1);  // 1 is not below 1
    } else {
      EXPECT_EQ(At(image, 0, 1, 2), 2);  // the blue pixel's own value stays
      EXPECT_EQ(At(image, 1, 1, 1), 0);  // green 1 is at the threshold: cut
      EXPECT_EQ(At(image, 0, 0, 1), 0);
    }
  }
}

TEST_F(BitranTest, DarkAndFlatOffsetIsAddedToEveryPlane) {
  CImage image(-32, 2, 1, 3, 1.0, 0.0, 0);
  for (int p = 0; p < 3; ++p) {
    const double row[2] = {1.0 * p, 10.0};
    ASSERT_EQ(image.SetPhysicalRow(0, p, row), 1);
  }
  CBitran::DlkFltCorrection(image, 5);
  for (int p = 0; p < 3; ++p) {
    EXPECT_EQ(At(image, 0, 0, p), 5 + p);
    EXPECT_EQ(At(image, 1, 0, p), 15);
  }
  RecordingProgress progress;
  CBitran::DlkFltCorrection(image, 0, &progress, "x");
  EXPECT_TRUE(progress.events.empty());
  EXPECT_EQ(At(image, 1, 0, 2), 15);
}

TEST_F(BitranTest, ReadHeaderGivesGeometryCardsAndTheFinishedPlaneCount) {
  BitranFile f;
  f.Text(1, "カラー");
  f.width = 8;
  f.height = 6;
  std::string bytes = f.Build();
  bytes.resize(bytes.size() - 20);  // the header alone is enough
  CImage image;
  ASSERT_EQ(CBitran::ReadHeader(image, Write(bytes)), BRN_OK);
  EXPECT_TRUE(image.IsEmpty());
  EXPECT_EQ(image.GetWidth(), 8);
  EXPECT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetDimension(), 3);
  EXPECT_EQ(Card(image, "NAXIS1"), Pad80("NAXIS1  =                    8 / # of pixels/row"));
  EXPECT_EQ(CBitran::Read(image, Write(bytes)), BRN_ERR_SHORT);
}

// ---------------------------------------------------------------- malformed files

TEST_F(BitranTest, EveryTruncationGivesItsCode) {
  BitranFile f;
  f.Text(1, "BT-214E カラー 2005年03月01日00時10分05秒 露出1分30秒 ").Text(4, "範囲1～2");
  f.records = {{1, 2, ""}, {5, 0x00010001, "C=1,2"}, {0, 0, ""}};
  const std::string full = f.Build();
  const std::size_t pixelStart = full.size() - 2 * 4 * 3;
  CImage image;
  ASSERT_EQ(CBitran::Read(image, Write(full)), BRN_OK);
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::string path = Write(full.substr(0, cut));
    const int expected = cut < 27 ? BRN_ERR_SIGNATURE : BRN_ERR_SHORT;
    EXPECT_EQ(CBitran::Read(image, path), expected);
    EXPECT_EQ(CBitran::ReadHeader(image, path), cut >= pixelStart ? BRN_OK : expected);
  }
}

TEST_F(BitranTest, LengthsAndSizesFromTheFileAreChecked) {
  // Signature, one further byte, version, and a flag byte of 0.
  const std::string lead = std::string("BITRAN CCD original format  1.7") + '\0';
  ASSERT_EQ(lead.size(), 32u);
  auto sizeBlock = [](std::int32_t w, std::int32_t h) { return I32(w) + I32(h) + I32(0) + I32(0); };
  struct Case {
    const char* name;
    std::string bytes;
    int expected;
  };
  const std::vector<Case> cases = {
      {"TextPastEnd", lead + I32(1) + I32(0x7FFFFFFF) + "abc", BRN_ERR_SHORT},
      {"TextNegative", lead + I32(1) + I32(-2) + "abc" + I32(0), BRN_ERR_SHORT},
      {"DefectListPastEnd",
       lead + I32(0) + sizeBlock(1, 1) + I32(0) + I32(0) + I32(1 << 30) + I32(1) + "C=1",
       BRN_ERR_SHORT},
      {"DefectListNegative",
       lead + I32(0) + sizeBlock(1, 1) + I32(0) + I32(0) + I32(-8) + I32(1) + "CCD=word\1\0",
       BRN_ERR_SHORT},
      {"ZeroWidth", lead + I32(0) + sizeBlock(0, 5) + "CCD=word", BRN_ERR_SIGNATURE},
      {"NegativeHeight", lead + I32(0) + sizeBlock(5, -1) + "CCD=word", BRN_ERR_SIGNATURE},
      // Four gigapixels claimed by a file of a few bytes: refused before allocating.
      {"HugeFrame", lead + I32(0) + sizeBlock(65536, 65536) + "CCD=word" + "\1\2\3\4",
       BRN_ERR_SHORT},
      {"NoEndOfBlocks", lead + I32(3) + I32(2) + "ab", BRN_ERR_SHORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImage image;
    EXPECT_EQ(CBitran::Read(image, Write(c.bytes)), c.expected);
  }
}

TEST_F(BitranTest, AbsurdDefectListsStayInsideTheFrame) {
  BitranFile f;
  f.flags = 0x10;
  f.width = 3;
  f.height = 2;
  const std::string list =
      "C=99999999999,0,-3,,2 P=2147483647,2147483647 -1,1 4,0 S=1,1(2147483647) 2,-5(999) "
      "3,1(-4) P= S=( C=";
  f.records = {{2147483647, -2147483647, ""}, {static_cast<std::int32_t>(list.size()), 0, list}};
  CImage image;
  CBitranParam param;
  ASSERT_EQ(Read(f, image, &param), BRN_OK);
  {
    // The window lies far off: every entry misses the frame.
    CImage copy(image);
    ASSERT_EQ(CBitran::Conversion(copy, &param), BRN_OK);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(At(copy, x, y), f.Pixel(x, y));
  }
  param.SetLeft(0);
  param.SetTop(0);
  // Two segments land: columns 0 and 1 over both rows. Column 0 looks past marked column
  // 1 to column 2 and keeps its mark (one neighbour only), so column 1 takes column 2 too.
  for (BitranBinning b : {BitranBinning{0, 0}, BitranBinning{-3, 1}, BitranBinning{1, 65535}}) {
    param.SetBinning(b);
    CImage copy(image);
    ASSERT_EQ(CBitran::Conversion(copy, &param), BRN_OK);
    EXPECT_EQ(At(copy, 0, 0), f.Pixel(2, 0));
    EXPECT_EQ(At(copy, 1, 0), f.Pixel(2, 0));
    EXPECT_EQ(At(copy, 0, 1), f.Pixel(2, 1));
    EXPECT_EQ(At(copy, 1, 1), f.Pixel(2, 1));
    EXPECT_EQ(At(copy, 2, 1), f.Pixel(2, 1));
  }
}

}  // namespace
