#include "formats/mtf/mutoh.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fits/fileiocodes.h"
#include "imagemodel/image.h"
#include "tests/support/temp_dir.h"

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

std::string U16(unsigned v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string Pixels(const std::vector<unsigned>& px) {
  std::string out;
  for (unsigned v : px) out += U16(v);
  return out;
}

// A 2048-byte MTF header block from its text.
std::string MtfBlock(const std::string& text) {
  std::string block = text;
  block.resize(kMutohHeaderSize, '\0');
  return block;
}

std::string Bin(unsigned w, unsigned h, unsigned a, unsigned b, const std::vector<unsigned>& px) {
  return U16(w) + U16(h) + U16(a) + U16(b) + Pixels(px);
}

std::string Card(const std::string& s) {
  std::string c = s;
  c.resize(80, ' ');
  return c;
}

std::vector<unsigned> Read16(const CImage& image) {
  std::vector<unsigned> out;
  for (int y = 0; y < image.GetHeight(); ++y)
    for (int x = 0; x < image.GetWidth(); ++x)
      out.push_back(static_cast<unsigned>(image.GetPixel(x, y)));
  return out;
}

class MutohTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  TempDir dir_;
};

// The keywords in the order the writer emits them, so that a read and a write give the
// same bytes back.
const char kMtfText[] =
    "MUTOHCV\nWIDTH 3\nHEIGHT 2\nDATAMIN 7\nDATAMAX 65535\nCAMERA CV-16II\nBINING 2x2\n"
    "SHUTTIME 12.5\nTIME 23:30:00\nDATE 12/31/99\nTEMP -20\nNOTE M42 through thin cloud\nEND\n";
const std::vector<unsigned> kMtfPixels = {7, 300, 65535, 1000, 9, 40000};

TEST_F(MutohTest, MtfHeaderBecomesCardsAndPixelsAreRead) {
  ScopedTz tz("JST-9");  // a bias of -540 minutes
  const std::string path = Put("a.mtf", MtfBlock(kMtfText) + Pixels(kMtfPixels));
  CImage image;
  ASSERT_EQ(CMutoh::Read(image, path, CMutoh::MTF), MTF_OK);
  EXPECT_EQ(image.GetWidth(), 3);
  EXPECT_EQ(image.GetHeight(), 2);
  EXPECT_EQ(image.GetOrgWidth(), 3);
  EXPECT_EQ(image.GetBitsPixel(), 16);
  EXPECT_EQ(image.IsSigned(), 0);
  EXPECT_EQ(Read16(image), kMtfPixels);
  EXPECT_EQ(image.GetLevelMin(0), 7);
  EXPECT_EQ(image.GetLevelMax(0), 65535);
  EXPECT_EQ(image.HasOwnLevel(), 0);
  EXPECT_EQ(image.GetOrgFileFormat(), "Mutoh MTF ﾌｫｰﾏｯﾄ");
  EXPECT_EQ(image.IsSaveableFormat(), 1);
  const std::vector<std::string> expected = {
      Card("SIMPLE  =                    T"),
      Card("BITPIX  =                   16 / # of bits storing pixel values"),
      Card("NAXIS   =                    2 / # of axes in frame"),
      Card("NAXIS1  =                    3 / # of pixels/row"),
      Card("NAXIS2  =                    2 / # of rows in frame"),
      Card("DATE-OBS= '1999-12-31'         / Observation start date (YYYY-MM-DD)"),
      Card("UT      = '14:30:00.000'       / Typical UTC at exposure (HH:MM:SS.S)"),
      Card("TIMESYS = 'UTC     '           / Time System used in this header"),
      Card("EXPTIME =                12.50 / Exposure time (sec)"),
      Card("INSTRUME= 'CV-16II             ' / Name of instrument"),
      Card("DET-TMP =               253.15 / Detector temperature (K)"),
      Card("COMMENT [MTF]WIDTH    = 3"),
      Card("COMMENT [MTF]HEIGHT   = 2"),
      Card("COMMENT [MTF]DATAMIN  = 7"),
      Card("COMMENT [MTF]DATAMAX  = 65535"),
      Card("COMMENT [MTF]CAMERA   = CV-16II"),
      Card("COMMENT [MTF]BINING   = 2x2"),
      Card("COMMENT [MTF]SHUTTIME = 12.5"),
      Card("COMMENT [MTF]TIME     = 23:30:00"),
      Card("COMMENT [MTF]DATE     = 12/31/99"),
      Card("COMMENT [MTF]TEMP     = -20"),
      Card("COMMENT [MTF]NOTE     = M42 through thin cloud"),
  };
  EXPECT_EQ(image.m_FitsHeader.Cards(), expected);
}

TEST_F(MutohTest, MtfAndBinRoundTripsGiveTheSameBytes) {
  const std::string mtf = MtfBlock(kMtfText) + Pixels(kMtfPixels);
  // BIN levels words equal to the data range, as the writer computes them.
  const std::string bin = Bin(3, 2, 7, 65535, kMtfPixels);
  for (const auto& [name, type, bytes] :
       {std::tuple{"r.mtf", CMutoh::MTF, mtf}, std::tuple{"r.bin", CMutoh::BIN, bin}}) {
    SCOPED_TRACE(name);
    CImage image;
    ASSERT_EQ(CMutoh::Read(image, Put(name, bytes), type), MTF_OK);
    const std::string out = dir_.File(std::string("out-") + name);
    ASSERT_EQ(CMutoh::Write(image, out, type), MTF_OK);
    EXPECT_EQ(ReadFileOrEmpty(out), bytes);
  }
}

TEST_F(MutohTest, BinSizeLimitAndLevelWords) {
  struct Case {
    unsigned w, h, a, b;
    int code;
    double lo, hi;  // expected levels
  };
  const Case cases[] = {
      {2000, 1, 0, 0, MTF_OK, 0, 1999},  // equal words: levels of the data
      {2001, 1, 0, 0, MTF_ERR_FORMAT, 0, 0},
      {1, 2001, 0, 0, MTF_ERR_FORMAT, 0, 0},
      {0, 5, 0, 0, MTF_ERR_FORMAT, 0, 0},
      {4, 1, 1000, 200, MTF_OK, 200, 1000},  // differing words: the smaller is the minimum
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.w * 10000 + c.h);
    std::vector<unsigned> px(static_cast<std::size_t>(c.w) * c.h);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned>(i);
    CImage image;
    ASSERT_EQ(CMutoh::Read(image, Put("s.bin", Bin(c.w, c.h, c.a, c.b, px)), CMutoh::BIN), c.code);
    if (c.code != MTF_OK) continue;
    EXPECT_EQ(image.GetOrgFileFormat(), "Mutoh BIN ﾌｫｰﾏｯﾄ");
    EXPECT_EQ(image.GetLevelMin(0), c.lo);
    EXPECT_EQ(image.GetLevelMax(0), c.hi);
  }
}

TEST_F(MutohTest, MalformedFilesGiveTheirCodes) {
  const std::string px = Pixels({1, 2, 3, 4});
  struct Case {
    const char* what;
    int type;
    std::string bytes;
    int code;
  };
  const Case cases[] = {
      {"value after MUTOHCV", CMutoh::MTF, MtfBlock("MUTOHCV 2\nWIDTH 2\nHEIGHT 2\n") + px,
       MTF_ERR_FORMAT},
      {"no magic", CMutoh::MTF, MtfBlock("MUTOH\nWIDTH 2\nHEIGHT 2\n") + px, MTF_ERR_FORMAT},
      {"no width", CMutoh::MTF, MtfBlock("MUTOHCV\nHEIGHT 2\n") + px, MTF_ERR_FORMAT},
      {"zero height", CMutoh::MTF, MtfBlock("MUTOHCV\nWIDTH 2\nHEIGHT 0\n") + px, MTF_ERR_FORMAT},
      {"width after END", CMutoh::MTF, MtfBlock("MUTOHCV\nHEIGHT 2\nEND\nWIDTH 2\n") + px,
       MTF_ERR_FORMAT},
      {"width after a line of no letter", CMutoh::MTF,
       MtfBlock("MUTOHCV\nHEIGHT 2\n#x\nWIDTH 2\n") + px, MTF_ERR_FORMAT},
      {"keywords have case", CMutoh::MTF, MtfBlock("MUTOHCV\nwidth 2\nHEIGHT 2\n") + px,
       MTF_ERR_FORMAT},
      {"short header", CMutoh::MTF, "MUTOHCV\nWIDTH 2\nHEIGHT 2\nEND\n", MTF_ERR_SHORT},
      {"short pixels", CMutoh::MTF, MtfBlock("MUTOHCV\nWIDTH 2\nHEIGHT 2\n") + px.substr(1),
       MTF_ERR_SHORT},
      // A huge claim is refused against the file's size before anything is allocated.
      {"huge claim", CMutoh::MTF, MtfBlock("MUTOHCV\nWIDTH 2147483647\nHEIGHT 2147483647\n") + px,
       MTF_ERR_SHORT},
      {"short bin header", CMutoh::BIN, std::string("\x02\x00\x02\x00", 4), MTF_ERR_SHORT},
      {"short bin pixels", CMutoh::BIN, Bin(2, 2, 0, 0, {1, 2, 3}), MTF_ERR_SHORT},
      {"empty", CMutoh::MTF, "", MTF_ERR_SHORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CImage image;
    EXPECT_EQ(CMutoh::Read(image, Put("m", c.bytes), c.type), c.code);
  }
  CImage image;
  EXPECT_EQ(CMutoh::Read(image, dir_.File("missing.mtf"), CMutoh::MTF), MTF_ERR_OPEN);
  EXPECT_EQ(CMutoh::Read(image, dir_.path(), CMutoh::BIN), FIO_ERR_FOLDER);
}

TEST_F(MutohTest, HeaderStepReadsNoPixels) {
  CImage image;
  ASSERT_EQ(CMutoh::ReadHeader(image, Put("h.mtf", MtfBlock(kMtfText)), CMutoh::MTF), MTF_OK);
  EXPECT_EQ(image.GetWidth(), 3);
  EXPECT_TRUE(image.IsEmpty());
}

struct DateCase {
  const char* date;
  const char* time;
  int bias;
  const char* utcDate;  // empty: refused
  const char* utcTime;
};

class MutohDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(MutohDateTest, LocalDateAndTimeToUtc) {
  const DateCase& c = GetParam();
  std::string d, t;
  const bool ok = CMutoh::MakeDateTimeString(c.date, c.time, c.bias, &d, &t);
  ASSERT_EQ(ok, c.utcDate[0] != '\0');
  if (!ok) return;
  EXPECT_EQ(d, c.utcDate);
  EXPECT_EQ(t, c.utcTime);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MutohDateTest,
    ::testing::Values(DateCase{"12/31/99", "23:30:00", -540, "1999-12-31", "14:30:00.000"},
                      DateCase{"01/31/2001", "23:30:00", 60, "2001-02-01", "00:30:00.000"},
                      DateCase{"12/31/2001", "23:30:00", 60, "2002-01-01", "00:30:00.000"},
                      DateCase{"03/01/00", "00:30:00", -60, "2000-02-29", "23:30:00.000"},
                      DateCase{"01/01/70", "08:59:59", -540, "1969-12-31", "23:59:59.000"},
                      DateCase{"06/15/2003", "10:15:30", -30, "2003-06-15", "09:45:30.000"},
                      DateCase{"02/30/2001", "10:00:00", 0, "", ""},
                      DateCase{"2001-02-03", "10:00:00", 0, "", ""},
                      DateCase{"02/03/2001", "10.00.00", 0, "", ""}));

TEST_F(MutohTest, DateAndTimeForTheWriterFromOtherCards) {
  struct Case {
    std::vector<std::string> cards;
    const char* date;  // empty: none
    const char* time;
  };
  const Case cases[] = {
      {{Card("DATE-OBS= '2001-02-03T04:05:06'")}, "02/03/01", "04:05:06"},
      {{Card("DATE-OBS= '03/02/01'"), Card("TIME    = '21:10:05'")}, "02/03/01", "21:10:05"},
      {{Card("DATE    = '11/22/98'"), Card("DATE-OBS= '2001-02-03'")}, "11/22/98", ""},
      {{Card("COMMENT [MTF]DATE     = 10/09/08"), Card("DATE    = '11/22/98'")}, "10/09/08", ""},
      {{Card("DATE-OBS= '2001'")}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cards[0]);
    CImage image;
    for (const std::string& card : c.cards) image.m_FitsHeader.Add(card);
    auto date = CMutoh::GetDateHeader(image);
    auto time = CMutoh::GetTimeHeader(image);
    EXPECT_EQ(date.value_or(""), c.date);
    EXPECT_EQ(time.value_or(""), c.time);
  }
}

TEST_F(MutohTest, WriterRefusesWhatTheFormatCannotHold) {
  CImage image;
  ASSERT_EQ(CMutoh::Read(image, Put("w.bin", Bin(2, 1, 0, 0, {1, 2})), CMutoh::BIN), MTF_OK);
  image.SetSigned(1);
  const std::string out = dir_.File("w2.bin");
  EXPECT_EQ(CMutoh::Write(image, out, CMutoh::BIN), MTF_ERR_HEADER);
  EXPECT_EQ(ReadFileOrEmpty(out), "");
  image.SetSigned(0);
  EXPECT_EQ(CMutoh::Write(image, dir_.File("no/such/folder.bin"), CMutoh::BIN), MTF_ERR_CREATE);
}

}  // namespace
