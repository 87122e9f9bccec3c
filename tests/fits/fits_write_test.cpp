// The FITS writer: header composition card by card, the data array and its padding,
// extensions, round trips through the reader, and saves that fail without harm.
#include <dirent.h>

#include <cmath>
#include <regex>

#include "engine/ralimage.h"
#include "fits/fits.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/progress.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

// Equal values, NaN equal to NaN (blank pixels read as NaN).
bool SameValue(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

class FitsWriteTest : public FitsTest {
 protected:
  // Cards of the composed header without trailing blanks.
  static std::vector<std::string> Cards(const CImage& img) {
    std::vector<std::string> out;
    const CFitsHeader header = CFits::FormatHeader(img);
    for (const std::string& c : header.Cards()) {
      std::string t = c;
      t.erase(t.find_last_not_of(' ') + 1);
      out.push_back(t);
    }
    return out;
  }
  static int Count(const std::vector<std::string>& cards, const std::string& prefix) {
    int n = 0;
    for (const std::string& c : cards) n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  static bool Has(const std::vector<std::string>& cards, const std::string& card) {
    return std::find(cards.begin(), cards.end(), card) != cards.end();
  }
  static std::size_t IndexOf(const std::vector<std::string>& cards, const std::string& prefix) {
    for (std::size_t i = 0; i < cards.size(); ++i)
      if (cards[i].compare(0, prefix.size(), prefix) == 0) return i;
    return cards.size();
  }
  std::string WriteRead(const CImage& img, CRalImage& back, const std::string& name = "w.fits") {
    const std::string path = dir_.File(name);
    EXPECT_EQ(CFits::Write(img, path, nullptr, ""), FITS_OK);
    EXPECT_EQ(CFits::Read(back, path, img.IsSigned(), img.GetPlanes() > 1, 0, 1, 2, nullptr, "", 0),
              FITS_OK);
    return path;
  }
  // Files in the test folder, to see that a failed save leaves nothing behind.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir_.path().c_str())) {
      while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2) names.push_back(e->d_name);
      ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::unique_ptr<CRalImage> Image16(int w, int h, int planes = 1) {
  auto img = std::make_unique<CRalImage>(w, h, 16, planes, 1.0, 0.0, 1);
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < h; ++y) {
      auto* row = static_cast<std::int16_t*>(img->GetImageAdr(0, y, p));
      for (int x = 0; x < w; ++x) row[x] = static_cast<std::int16_t>(1000 * p + 10 * y + x);
    }
  img->SetOrgWidth(w);
  img->SetOrgHeight(h);
  img->SetDefaultLevel();
  return img;
}

}  // namespace

TEST_F(FitsWriteTest, DataArrayIsBigEndianBottomUpAndPaddedToTheRecord) {
  auto img = Image16(100, 50);
  const std::string path = dir_.File("d.fits");
  ASSERT_EQ(CFits::Write(*img, path, nullptr, ""), FITS_OK);
  const std::string file = ReadFileOrEmpty(path);
  ASSERT_EQ(file.size() % kRecord, 0u);
  const std::size_t header = file.size() - 4 * kRecord;  // 10000 bytes of data take 4 records
  // The header ends with its END card and blank cards up to the record boundary.
  const std::size_t end = file.find("END" + std::string(77, ' '));
  ASSERT_LT(end, header);
  EXPECT_EQ(end % 80, 0u);
  EXPECT_EQ(file.substr(end + 80, header - end - 80), std::string(header - end - 80, ' '));
  // The first file row is the last image row (49): pixel 0 holds 490 = 0x01EA.
  EXPECT_EQ(static_cast<unsigned char>(file[header]), 0x01);
  EXPECT_EQ(static_cast<unsigned char>(file[header + 1]), 0xEA);
  EXPECT_EQ(file.substr(header + 10000), std::string(1520, '\0'));
  EXPECT_NE(file.substr(header + 9998, 2), std::string(2, '\0'));
}

struct RoundTrip {
  int bits;
  int isSigned;
  int planes;
  int bottomUp;
  double bscale, bzero;
  int blank;  // -1: none
  friend std::ostream& operator<<(std::ostream& os, const RoundTrip& c) {
    return os << "BITPIX " << c.bits << " signed " << c.isSigned << " planes " << c.planes
              << " bottomUp " << c.bottomUp;
  }
};

class FitsRoundTripTest : public FitsWriteTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(FitsRoundTripTest, WhatIsWrittenReadsBackTheSame) {
  const RoundTrip& c = GetParam();
  SetInt("IO", "FitsBottomUp", c.bottomUp);
  const int w = 37, h = 23;
  CRalImage img(w, h, c.bits, c.planes, c.bscale, c.bzero, c.isSigned);
  for (int p = 0; p < c.planes; ++p)
    for (int y = 0; y < h; ++y) {
      std::vector<double> row(w);
      for (int x = 0; x < w; ++x)
        row[static_cast<std::size_t>(x)] = c.bzero + c.bscale * ((x * 7 + y * 13 + p * 5) % 200);
      ASSERT_EQ(img.SetPhysicalRow(y, p, row.data()), 1);
    }
  if (c.blank >= 0) {
    img.SetBlankUsed(1);
    img.SetBlank(c.blank);
  }
  img.SetOrgWidth(w);
  img.SetOrgHeight(h);
  ASSERT_EQ(img.SetDefaultLevel(), 1);
  CRalImage back;
  WriteRead(img, back);
  EXPECT_EQ(back.GetBitsPixel(), c.bits);
  EXPECT_EQ(back.GetWidth(), w);
  EXPECT_EQ(back.GetHeight(), h);
  EXPECT_EQ(back.GetPlanes(), c.planes);
  EXPECT_EQ(back.GetBscale(), c.bscale);
  EXPECT_EQ(back.GetBzero(), c.bzero);
  EXPECT_EQ(back.IsBlankUsed(), c.blank >= 0 ? 1 : 0);
  if (c.blank >= 0) {
    EXPECT_EQ(back.GetBlank(), c.blank);
  }
  EXPECT_EQ(back.IsSITypeRGB(), c.planes == 3 ? 1 : 0);
  EXPECT_EQ(back.HasOwnLevel(), 1);
  for (int p = 0; p < c.planes; ++p) {
    EXPECT_DOUBLE_EQ(back.GetLevelMin(p), std::stod(FormatC("%14.6E", img.GetLevelMin(p))));
    EXPECT_DOUBLE_EQ(back.GetLevelMax(p), std::stod(FormatC("%14.6E", img.GetLevelMax(p))));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        ASSERT_TRUE(SameValue(back.GetPixel(x, y, p), img.GetPixel(x, y, p)))
            << x << "," << y << "," << p;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, FitsRoundTripTest,
    ::testing::Values(RoundTrip{8, 1, 1, 1, 1.0, 0.0, -1}, RoundTrip{8, 1, 3, 0, 2.0, 10.0, 7},
                      RoundTrip{16, 1, 1, 1, 0.5, -12.25, -1}, RoundTrip{16, 1, 3, 1, 1.0, 0.0, 3},
                      RoundTrip{32, 1, 1, 0, 4.0, 1e6, -1}, RoundTrip{32, 1, 3, 1, 1.0, -5.0, -1},
                      RoundTrip{-32, 1, 1, 1, 1.0, 0.0, -1}, RoundTrip{-32, 1, 3, 0, 0.25, 0.5, -1},
                      RoundTrip{-64, 1, 1, 0, 1.0, 0.0, -1},
                      RoundTrip{-64, 1, 3, 1, 1.0, 0.0, -1}));

TEST_F(FitsWriteTest, ComposedCardsHaveTheirFormats) {
  auto img = Image16(4, 3);
  img->SetBzero(32768);
  img->SetBscale(0.5);
  img->SetBlankUsed(1);
  img->SetBlank(-32768);
  img->SetCType(0, "'RA---TAN'");
  img->SetCType(1, "'DEC--TAN'");
  img->SetCUnit(0, "'deg'");
  img->SetCRPix(0, 2.5);
  img->SetCRVal(0, 83.633);
  img->SetCDelt(1, -0.000277778);
  img->SetLTMtx({1e-4, 2e-5, -2e-5, 1e-4}, 1);
  img->SetDispAxis(1);
  img->SetAuthor("Ueda Hiroshi");
  img->SetLogScale(1);
  img->SetLevel(0, 12.5, 4000);
  img->m_FitsHeader.Add("OBJECT  = 'M42'");
  img->m_FitsHeader.Add("EQUINOX =               2000.0");
  img->m_FitsHeader.Add("UT-START= '21:00:00'");
  img->m_FitsHeader.Add("DATE-OBS= '2024-01-02'");
  img->m_FitsHeader.Add("PV2_1   =                 45.0");
  img->m_FitsHeader.Add("CD1_1   =                 99.0");
  img->m_FitsHeader.Add("END");
  const std::vector<std::string> c = Cards(*img);
  const std::vector<std::string> expected_head = {
      "SIMPLE  =                    T",
      "BITPIX  =                   16 / # of bits storing pixel values",
      "NAXIS   =                    2 / # of axes in frame",
      "NAXIS1  =                    4 / # of pixels/row",
      "NAXIS2  =                    3 / # of rows in frame",
      "EXTEND  =                    F / There maybe standard extensions",
      "",
      "ORIGIN  = 'Vantorel'           / FITS file originator"};
  ASSERT_GE(c.size(), expected_head.size());
  for (std::size_t i = 0; i < expected_head.size(); ++i) EXPECT_EQ(c[i], expected_head[i]) << i;
  EXPECT_TRUE(
      std::regex_match(c[8], std::regex("DATE    = '\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d'/ "
                                        "Date FITS file was generated \\(UTC\\)")))
      << c[8];
  const std::vector<std::string> expected_rest = {
      "",
      "BZERO   =       32768.00000000 / Real = VAL x BSCALE + BZERO",
      "BSCALE  =           0.50000000 / Real = VAL x BSCALE + BZERO",
      "BLANK   =               -32768 / Value used for NULL pixels",
      "BUNIT   = '        '           / Unit of original pixel values",
      "",
      "DISPAXIS=                    1 / Dispersion axis in frame",
      "EQUINOX =               2000.0",
      "CTYPE1  = 'RA---TAN'           / Type of physical coord. on X",
      "CTYPE2  = 'DEC--TAN'           / Type of physical coord. on Y",
      "CUNIT1  = 'deg'                / Unit of physical coord. on X",
      "PV2_1   =                 45.0",
      "CRPIX1  =           2.50000000 / Reference pixel in X",
      "CRVAL1  =         8.363300E+01 / Physical value of the reference pixel X",
      "CDELT2  =        -2.777780E-04 / Pixel size on Y",
      "CD1_1   =         1.000000E-04 / Coordinate transformation matrix",
      "CD1_2   =         2.000000E-05 / Coordinate transformation matrix",
      "CD2_1   =        -2.000000E-05 / Coordinate transformation matrix",
      "CD2_2   =         1.000000E-04 / Coordinate transformation matrix",
      "",
      "DATE-OBS= '2024-01-02'",
      "UT-START= '21:00:00'",
      "OBJECT  = 'M42'",
      "AUTHOR  = 'Ueda Hiroshi'",
      "",
      "COMMENT   -------------------------------------------------------------",
      "COMMENT                  PARAMETERS FOR Vantorel",
      "COMMENT   -------------------------------------------------------------",
      "SI-LMIN1=         1.250000E+01 / MINIMUM LEVEL",
      "SI-LMAX1=         4.000000E+03 / MAXIMUM LEVEL",
      "SI-LMTD = 'LOG       '         / METHOD OF LEVEL",
      "",
      "END"};
  ASSERT_EQ(c.size(), 9 + expected_rest.size());
  for (std::size_t i = 0; i < expected_rest.size(); ++i) EXPECT_EQ(c[9 + i], expected_rest[i]) << i;
  // The composition leaves the image's own header alone.
  EXPECT_EQ(img->m_FitsHeader.GetCount(), 7);
}

TEST_F(FitsWriteTest, ProjectionCardsAreMovedInAxisAndIndexOrder) {
  auto img = Image16(2, 2);
  for (const char* card : {"PS1_1   = 'table'", "PV1_12  =                  3.0",
                           "PV2_1   =                  4.0", "PV1_2   =                  2.0",
                           "PV1_0   =                  1.0", "PV1_2   =                  9.0"})
    img->m_FitsHeader.Add(card);
  const std::vector<std::string> c = Cards(*img);
  // Index 0 is a projection parameter too (the constant of a zenithal polynomial).
  const std::size_t i = IndexOf(c, "PV1_2");
  ASSERT_LT(i + 3, c.size());
  ASSERT_GT(i, 0u);
  EXPECT_EQ(c[i - 1], "PV1_0   =                  1.0");
  EXPECT_EQ(c[i], "PV1_2   =                  2.0");  // the first card of a keyword
  EXPECT_EQ(c[i + 1], "PV1_12  =                  3.0");
  EXPECT_EQ(c[i + 2], "PV2_1   =                  4.0");
  EXPECT_EQ(c[i + 3], "PS1_1   = 'table'");
  EXPECT_EQ(Count(c, "PV1_2 "), 1);
  EXPECT_EQ(Count(c, "COMMENT PV1_0"), 0);
}

TEST_F(FitsWriteTest, ColourImageNamesItsPlanes) {
  auto img = Image16(2, 2, 3);
  const std::vector<std::string> c = Cards(*img);
  EXPECT_TRUE(Has(c, "NAXIS3  =                    3 / # of planes in image"));
  EXPECT_TRUE(Has(c, std::string(kFitsSiTypeRgb)));
  const std::size_t i = IndexOf(c, "SI-LMIN1");
  ASSERT_LT(i + 5, c.size());
  EXPECT_EQ(c[i], "SI-LMIN1=         0.000000E+00 / MINIMUM LEVEL FOR R-PLANE");
  EXPECT_EQ(c[i + 1], "SI-LMAX1=         1.100000E+01 / MAXIMUM LEVEL FOR R-PLANE");
  EXPECT_EQ(c[i + 3], "SI-LMAX2=         1.011000E+03 / MAXIMUM LEVEL FOR G-PLANE");
  EXPECT_EQ(c[i + 5], "SI-LMAX3=         2.011000E+03 / MAXIMUM LEVEL FOR B-PLANE");
}

TEST_F(FitsWriteTest, ForeignCardsAreCommentedOutOnceAcrossSaves) {
  std::vector<std::string> cards = ImageCards(16, {4, 3});
  cards.push_back(Key("FOCUS", 1234));
  cards.push_back(Card("HISTORY   flat fielded"));
  cards.push_back(Card("COMMENT   a comment of the source"));
  cards.push_back(Key("OBJECT", "'M31'"));
  cards.push_back(Key("CRPIX1", "3.0"));
  std::vector<std::int16_t> v(12, 5);
  CRalImage first;
  ASSERT_EQ(CFits::Read(first, Put("src.fits", Header(cards) + PadRecord(BigEndian(v), '\0')), 1, 0,
                        0, 0, 0, nullptr, "", 0),
            FITS_OK);
  const std::vector<std::string> once = Cards(first);
  EXPECT_EQ(Count(once, std::string(kFitsCommentOutBanner)), 1);
  const std::size_t banner = IndexOf(once, std::string(kFitsCommentOutBanner));
  EXPECT_EQ(once[banner - 1], std::string(kFitsParamRule));
  EXPECT_EQ(once[banner + 1], std::string(kFitsParamRule));
  EXPECT_EQ(once[banner + 2], "COMMENT FOCUS   =                 1234");
  EXPECT_EQ(once[banner + 3], "COMMENT HISTORY   flat fielded");
  EXPECT_EQ(once[banner + 4], "COMMENT   a comment of the source");
  // The banner carries the same time as DATE.
  const std::string date = once[IndexOf(once, "DATE    =")].substr(11, 19);
  EXPECT_EQ(once[banner], std::string(kFitsCommentOutBanner) + date);
  // Cards written from the image's attributes are not carried a second time.
  EXPECT_EQ(Count(once, "COMMENT SIMPLE"), 0);
  EXPECT_EQ(Count(once, "COMMENT CRPIX1"), 0);
  EXPECT_EQ(Count(once, "CRPIX1  ="), 1);

  CRalImage second, third;
  const std::string path = WriteRead(first, second, "a.fits");
  WriteRead(second, third, "b.fits");
  const std::vector<std::string> thrice = Cards(third);
  EXPECT_EQ(Count(thrice, std::string(kFitsCommentOutBanner)), 1);
  EXPECT_EQ(Count(thrice, std::string(kFitsParamTitle)), 1);
  EXPECT_EQ(Count(thrice, "COMMENT FOCUS"), 1);
  EXPECT_EQ(Count(thrice, "COMMENT COMMENT"), 0);
  EXPECT_EQ(Count(thrice, "OBJECT  = 'M31'"), 1);
  EXPECT_EQ(Count(thrice, "SI-LMIN1"), 1);
  // The banner that the first save wrote into a.fits, as read back from it, not a new
  // one (each composition takes the clock afresh, so compare with the file's card).
  std::vector<std::string> inFile;
  for (const std::string& c : second.m_FitsHeader.Cards())
    inFile.push_back(c.substr(0, c.find_last_not_of(' ') + 1));
  const std::size_t kept = IndexOf(inFile, std::string(kFitsCommentOutBanner));
  ASSERT_LT(kept, inFile.size());
  EXPECT_EQ(thrice[IndexOf(thrice, std::string(kFitsCommentOutBanner))], inFile[kept]);

  // A card added after an earlier save is commented under a banner of its own.
  third.m_FitsHeader.Add("FILTER  = 'V'");
  const std::vector<std::string> added = Cards(third);
  EXPECT_EQ(Count(added, std::string(kFitsCommentOutBanner)), 2);
  EXPECT_EQ(Count(added, "COMMENT FILTER  = 'V'"), 1);
  EXPECT_EQ(Count(added, "FILTER"), 0);
}

TEST_F(FitsWriteTest, KnownKeywordsAloneGetNoBanner) {
  auto img = Image16(3, 3);
  for (const char* card : {"OBJECT  = 'NGC 1316'", "TELESCOP= 'C14'", "EXPTIME =   30.0",
                           "EQUINOX =   2000.0", "RADESYS = 'ICRS'", "UT      = '12:00:00'",
                           "BUNIT   = 'ADU'", "SIMPLE  =                    T", ""})
    img->m_FitsHeader.Add(card);
  const std::vector<std::string> c = Cards(*img);
  EXPECT_EQ(Count(c, std::string(kFitsCommentOutBanner)), 0);
  EXPECT_EQ(Count(c, "COMMENT "), 3);  // the parameter block alone
  EXPECT_EQ(c[IndexOf(c, "BUNIT")], "BUNIT   = 'ADU'");
  EXPECT_EQ(c.back(), "END");
  EXPECT_EQ(c[c.size() - 2], "");
  EXPECT_NE(c[c.size() - 3], "");  // one blank before END, not a run of them
}

TEST_F(FitsWriteTest, CroppedImageKeepsItsOriginalWidthAsAComment) {
  std::vector<std::int16_t> v(200 * 10, 1);
  CRalImage img;
  ASSERT_EQ(
      CFits::Read(
          img, Put("wide.fits", Header(ImageCards(16, {200, 10})) + PadRecord(BigEndian(v), '\0')),
          1, 0, 0, 0, 0, nullptr, "", 0),
      FITS_OK);
  ASSERT_EQ(img.ChangeSize(100, 10), 1);  // what a crop does to the geometry
  const std::vector<std::string> c = Cards(img);
  EXPECT_TRUE(Has(c, "NAXIS1  =                  100 / # of pixels/row"));
  EXPECT_TRUE(Has(c, "COMMENT NAXIS1  =                  200 / # of pixels/row"));
  EXPECT_EQ(Count(c, "NAXIS2  ="), 1);
  EXPECT_EQ(Count(c, "COMMENT NAXIS2"), 0);
}

TEST_F(FitsWriteTest, ExtendFollowsTheExtensionsAndTablesFollowTheData) {
  auto img = Image16(10, 10);
  EXPECT_TRUE(Has(Cards(*img), "EXTEND  =                    F / There maybe standard extensions"));

  CRalImage withTable;
  const std::string table =
      AsciiTable("'Vantorel Phot data'", {"NO", "MAG"}, {"1         12.345", "2         13.5"});
  std::vector<std::int16_t> v(100, 3);
  ASSERT_EQ(CFits::Read(withTable,
                        Put("t.fits", Header(ImageCards(16, {10, 10}, true)) +
                                          PadRecord(BigEndian(v), '\0') + table),
                        1, 0, 0, 0, 0, nullptr, "", 0),
            FITS_OK);
  ASSERT_EQ(withTable.m_FitsExtensions.size(), 1u);
  EXPECT_TRUE(
      Has(Cards(withTable), "EXTEND  =                    T / There maybe standard extensions"));
  const std::string path = dir_.File("out.fits");
  ASSERT_EQ(CFits::Write(withTable, path, nullptr, ""), FITS_OK);
  const std::string file = ReadFileOrEmpty(path);
  // Header, one record of data, then the table exactly as it was read (an ASCII table's
  // last record is filled with blanks).
  const std::size_t tableAt = file.size() - table.size();
  EXPECT_EQ(tableAt % kRecord, 0u);
  EXPECT_EQ(file.substr(tableAt), table);
  CRalImage back;
  ASSERT_EQ(CFits::Read(back, path, 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  ASSERT_EQ(back.m_FitsExtensions.size(), 1u);
  EXPECT_EQ(back.m_FitsExtensions[0].GetTType(1), "'MAG'");
}

TEST_F(FitsWriteTest, OneDimensionalImageIsWrittenAsOneRow) {
  SetInt("Dialog\\Enviroment", "FitsHeight", 8);
  std::vector<float> v = {1, 2, 3, 4, 5};
  CRalImage img;
  ASSERT_EQ(CFits::Read(
                img, Put("line.fits", Header(ImageCards(-32, {5})) + PadRecord(BigEndian(v), '\0')),
                1, 0, 0, 0, 0, nullptr, "", 0),
            FITS_OK);
  const std::vector<std::string> c = Cards(img);
  EXPECT_TRUE(Has(c, "NAXIS   =                    1 / # of axes in frame"));
  EXPECT_EQ(Count(c, "NAXIS2"), 0);
  const std::string path = dir_.File("line-out.fits");
  ASSERT_EQ(CFits::Write(img, path, nullptr, ""), FITS_OK);
  const std::string file = ReadFileOrEmpty(path);
  const std::size_t data = file.size() - kRecord;
  EXPECT_EQ(file.substr(data, 20), BigEndian(v));
  EXPECT_EQ(file.substr(data + 20), std::string(kRecord - 20, '\0'));
  CRalImage back;
  ASSERT_EQ(CFits::Read(back, path, 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  EXPECT_EQ(back.GetHeight(), 8);
  EXPECT_EQ(back.GetPixel(4, 7), 5.0f);
}

TEST_F(FitsWriteTest, LongStringValuesAreNotCutThroughTheirQuote) {
  auto img = Image16(2, 2);
  img->SetCType(0, "'WAVELENGTH-LOG-SPECIAL'");
  const std::vector<std::string> c = Cards(*img);
  EXPECT_TRUE(Has(c, "CTYPE1  = 'WAVELENGTH-LOG-SPECIAL'/ Type of physical coord. on X"));
}

TEST_F(FitsWriteTest, ProgressAndEmptyImage) {
  auto img = Image16(3, 150);
  RecordingProgress progress;
  ASSERT_EQ(CFits::Write(*img, dir_.File("p.fits"), &progress, "保存中"), FITS_OK);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().caption, "保存中");
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);

  CRalImage empty;
  EXPECT_EQ(CFits::Write(empty, dir_.File("empty.fits"), nullptr, ""), FITS_WRITE_FAILED);
  EXPECT_EQ(CFits::Write(*img, dir_.File("no/such/folder.fits"), nullptr, ""), FITS_CREATE_FAILED);
}

namespace {
int g_writes = 0;
int g_failAt = -1;
const char* g_failStage = "";
int CountingFault(const char* stage) {
  if (std::string(stage) == "write") ++g_writes;
  if (std::string(stage) == g_failStage && (g_failAt < 0 || g_writes == g_failAt)) return EIO;
  return 0;
}
}  // namespace

TEST_F(FitsWriteTest, AFailedSaveLeavesTheOldFileAsItWas) {
  // An image with a table, so that the extension's data unit is among the writes.
  CRalImage img;
  std::vector<std::int16_t> v(64 * 64, 9);
  ASSERT_EQ(CFits::Read(img,
                        Put("src.fits", Header(ImageCards(16, {64, 64}, true)) +
                                            PadRecord(BigEndian(v), '\0') +
                                            AsciiTable("'Vantorel Pos data'", {"X"}, {"1"})),
                        1, 0, 0, 0, 0, nullptr, "", 0),
            FITS_OK);
  const std::string target = Put("target.fits", "the old file");
  const std::vector<std::string> before = Listing();

  g_writes = 0;
  g_failStage = "none";
  SetSaveFaultHook(CountingFault);
  ASSERT_EQ(CFits::Write(img, dir_.File("count.fits"), nullptr, ""), FITS_OK);
  const int writes = g_writes;
  ASSERT_GE(writes, 6);  // header, data, padding, table header, table data, padding
  ::unlink(dir_.File("count.fits").c_str());

  for (int k = 1; k <= writes; ++k) {
    g_writes = 0;
    g_failAt = k;
    g_failStage = "write";
    EXPECT_EQ(CFits::Write(img, target, nullptr, ""), FITS_WRITE_FAILED) << "write " << k;
    EXPECT_EQ(ReadFileOrEmpty(target), "the old file") << "write " << k;
    EXPECT_EQ(Listing(), before) << "write " << k;
  }
  for (const char* stage : {"sync", "rename"}) {
    g_failAt = -1;
    g_failStage = stage;
    EXPECT_EQ(CFits::Write(img, target, nullptr, ""), FITS_WRITE_FAILED) << stage;
    EXPECT_EQ(ReadFileOrEmpty(target), "the old file") << stage;
    EXPECT_EQ(Listing(), before) << stage;
  }
  SetSaveFaultHook(nullptr);
  ASSERT_EQ(CFits::Write(img, target, nullptr, ""), FITS_OK);
  EXPECT_EQ(ReadFileOrEmpty(target).substr(0, 9), "SIMPLE  =");
  EXPECT_EQ(Listing(), before);
}

TEST_F(FitsWriteTest, RealCardsTakeTheDigitsTheyNeedAndLeaveOutWhatCannotBeWritten) {
  auto img = Image16(2, 2);
  img->SetBscale(1e-9);
  img->SetBzero(-0.0);
  img->SetCRVal(0, std::nan(""));
  img->SetCRVal(1, -2.2250738585072014e-308);  // 24 characters: past column 30
  img->SetCDelt(0, 0.045777764213996);
  img->SetLTMtx({1.0, HUGE_VAL, 0.0, 1.0}, 1);
  const std::vector<std::string> c = Cards(*img);
  EXPECT_TRUE(Has(c, "BSCALE  =              1.0E-09 / Real = VAL x BSCALE + BZERO"));
  EXPECT_TRUE(Has(c, "BZERO   =           0.00000000 / Real = VAL x BSCALE + BZERO"));
  EXPECT_TRUE(Has(c, "CDELT1  =    0.045777764213996 / Pixel size on X"));
  EXPECT_TRUE(
      Has(c, "CRVAL2  = -2.2250738585072014E-308 / Physical value of the reference pixel Y"));
  // Neither NaN nor a matrix with an infinite element has a FITS text: no card at all.
  EXPECT_EQ(Count(c, "CRVAL1"), 0);
  EXPECT_EQ(Count(c, "CD1_") + Count(c, "CD2_"), 0);
  EXPECT_EQ(Count(c, "COMMENT CRVAL1"), 0);
  const CFitsHeader header = CFits::FormatHeader(*img);
  for (const std::string& card : header.Cards()) EXPECT_EQ(card.size(), 80u);
}

TEST_F(FitsWriteTest, LongCardsAreCommentedOutWholeAndOnce) {
  const std::string history = "HISTORY " + std::string(64, 'h') + " and the";  // 80
  const std::string full = "PLATEID = 'a carried keyword whose card is filled to its 80th column'";
  const std::string carried = full + std::string(72 - full.size(), ' ') + "/ a note";
  std::vector<std::string> cards = ImageCards(16, {4, 3});
  cards.push_back(Card(history));
  cards.push_back(Card(carried));
  std::vector<std::int16_t> v(12, 5);
  CRalImage first;
  ASSERT_EQ(CFits::Read(first, Put("src.fits", Header(cards) + PadRecord(BigEndian(v), '\0')), 1, 0,
                        0, 0, 0, nullptr, "", 0),
            FITS_OK);
  const std::vector<std::string> once = Cards(first);
  const std::size_t at = IndexOf(once, "COMMENT HISTORY");
  ASSERT_LT(at + 3, once.size());
  // The blanks at a break begin the next piece, so the pieces join to the whole card.
  EXPECT_EQ(once[at], "COMMENT " + history.substr(0, 72));
  EXPECT_EQ(once[at + 1], "COMMENT " + history.substr(72));
  EXPECT_EQ(once[at + 2], "COMMENT " + full);
  EXPECT_EQ(once[at + 3], "COMMENT " + carried.substr(full.size()));

  // Saved again, the pieces are comments already and stay as they are.
  CRalImage second;
  WriteRead(first, second);
  EXPECT_EQ(Cards(second).size(), once.size());
  EXPECT_EQ(Count(Cards(second), "COMMENT COMMENT"), 0);
}

TEST_F(FitsWriteTest, ContinueCardsGoWhereTheirCardGoes) {
  auto img = Image16(2, 2);
  img->SetAuthor("Ueda Hiroshi and the observers of the long winter campaign at the&");
  for (const char* card :
       {"ORIGIN  = 'an older program whose name &'", "CONTINUE  'is dropped with it'",
        "FILTNAME= 'a filter name that runs on &'", "CONTINUE  'over two cards'",
        "OBJECT  = 'NGC 1316 in the Fornax &'", "CONTINUE  'cluster, &'", "CONTINUE  'red band'",
        "AUTHOR  = 'Ueda Hiroshi and the observers of the long winter campaign at the&'",
        "CONTINUE  ' summit'", "LONGSTRN= 'OGIP 1.0'"})
    img->m_FitsHeader.Add(card);
  const std::vector<std::string> c = Cards(*img);
  const std::size_t object = IndexOf(c, "OBJECT");
  ASSERT_LT(object + 5, c.size());
  EXPECT_EQ(c[object - 1],
            "LONGSTRN= 'OGIP 1.0'           / Long strings go on over CONTINUE cards");
  EXPECT_EQ(c[object + 1], "CONTINUE  'cluster, &'");
  EXPECT_EQ(c[object + 2], "CONTINUE  'red band'");
  EXPECT_EQ(c[object + 3], "AUTHOR  = '" + std::string("Ueda Hiroshi and the observers of the ") +
                               "long winter campaign at the&'");
  EXPECT_EQ(c[object + 4], "CONTINUE  ' summit'");
  const std::size_t filter = IndexOf(c, "COMMENT FILTNAME");
  ASSERT_LT(filter + 1, c.size());
  EXPECT_EQ(c[filter + 1], "COMMENT CONTINUE  'over two cards'");
  EXPECT_EQ(Count(c, "CONTINUE"), 3);
  EXPECT_EQ(Count(c, "COMMENT CONTINUE"), 1);
  EXPECT_EQ(Count(c, "LONGSTRN"), 1);
}

TEST_F(FitsWriteTest, OnlyIntegerImagesGetABlankCard) {
  for (const int bits : {16, 32, -32, -64}) {
    CRalImage img(3, 2, bits, 1, 1.0, 0.0, 1);
    img.SetBlankUsed(1);
    img.SetBlank(-99);
    img.m_FitsHeader.Add("BLANK   =                  -99");
    const std::vector<std::string> c = Cards(img);
    EXPECT_EQ(Count(c, "BLANK   =                  -99 / Value used for NULL pixels"),
              bits > 0 ? 1 : 0)
        << bits;
    EXPECT_EQ(Count(c, "COMMENT BLANK"), 0) << bits;
  }
}

TEST_F(FitsWriteTest, OtherCoordinateConventionsArePlacedInTheirGroup) {
  auto img = Image16(2, 2);
  img->SetCType(0, "'RA---TAN-SIP'");
  img->SetCType(1, "'DEC--TAN-SIP'");
  img->SetLTMtx({1e-4, 0, 0, 1e-4}, 1);
  for (const char* card : {"A_1_1   =                1E-06", "A_ORDER =                    2",
                           "B_0_2   =                2E-06", "B_ORDER =                    2",
                           "AP_ORDER=                    2", "BP_ORDER=                    2",
                           "BP_1_0  =                3E-07", "WCSAXES =                    2",
                           "RADECSYS= 'FK4'", "EPOCH   =               1950.0",
                           "A_10_1  =                  1.0", "A_X_1   =                  1.0"})
    img->m_FitsHeader.Add(card);
  std::vector<std::string> c = Cards(*img);
  const std::size_t group = IndexOf(c, "WCSAXES");
  ASSERT_LT(group + 1, c.size());
  EXPECT_EQ(group, IndexOf(c, "BUNIT") + 2);                  // first of the group
  EXPECT_EQ(c[group + 1], "EQUINOX =               1950.0");  // the old name's value
  const std::size_t matrix = IndexOf(c, "CD2_2");
  const std::vector<std::string> sip = {"A_ORDER",  "A_1_1",    "B_ORDER", "B_0_2",
                                        "AP_ORDER", "BP_ORDER", "BP_1_0",  "RADECSYS"};
  for (std::size_t k = 0; k < sip.size(); ++k)
    EXPECT_EQ(IndexOf(c, sip[k]), matrix + 1 + k) << sip[k];
  EXPECT_EQ(Count(c, "COMMENT A_10_1"), 1);  // not a distortion coefficient
  EXPECT_EQ(Count(c, "COMMENT A_X_1"), 1);

  // Beside EQUINOX the old name means nothing; a third axis is not written.
  auto other = Image16(2, 2);
  for (const char* card : {"EPOCH   =               1950.0", "EQUINOX =               2000.0",
                           "WCSAXES =                    3"})
    other->m_FitsHeader.Add(card);
  c = Cards(*other);
  EXPECT_TRUE(Has(c, "EQUINOX =               2000.0"));
  EXPECT_EQ(Count(c, "COMMENT EPOCH"), 1);
  EXPECT_EQ(Count(c, "COMMENT WCSAXES"), 1);
}
