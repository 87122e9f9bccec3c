// The FITS reader on files assembled in code: header records, pixel types and byte order,
// cubes, one-dimensional images, levels, world coordinates, extensions.
#include <fcntl.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "engine/ralimage.h"
#include "fits/fits.h"
#include "platform/messagebox.h"
#include "platform/progress.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

class FitsReadTest : public FitsTest {
 protected:
  int ReadFile(CImage& img, const std::string& bytes, int color = 0, int p0 = 0, int p1 = 1,
               int p2 = 2) {
    return CFits::Read(img, Put("in.fits", bytes), 1, color, p0, p1, p2, nullptr, "", 0);
  }
  // Raw value of a pixel as a double, by the image's pixel type.
  static double Raw(const CImage& img, int x, int y, int p = 0) {
    const double v = img.GetPixel(x, y, p);
    return (v - img.GetBzero()) / img.GetBscale();
  }
};

// A 16-bit image whose pixel (x, file row r) holds 100 r + x.
std::string Ramp16(int w, int h, const std::vector<std::string>& extra = {}, bool extend = false) {
  std::vector<std::string> cards = ImageCards(16, {w, h}, extend);
  cards.insert(cards.end(), extra.begin(), extra.end());
  std::vector<std::int16_t> v;
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) v.push_back(static_cast<std::int16_t>(100 * r + x));
  return Header(cards) + PadRecord(BigEndian(v), '\0');
}

}  // namespace

TEST_F(FitsReadTest, HeaderOfThreeRecordsEndingOnItsLastCard) {
  std::vector<std::string> cards = ImageCards(16, {3, 2});
  for (int i = 0; cards.size() < 107; ++i) cards.push_back(Key("HIST" + std::to_string(i), i));
  std::string header = Header(cards);
  ASSERT_EQ(header.size(), 3 * kRecord);  // END is card 108, the last of the third record
  ASSERT_EQ(header.substr(3 * kRecord - 80, 3), "END");
  std::vector<std::int16_t> v = {1, 2, 3, 4, 5, 6};
  CRalImage img;
  ASSERT_EQ(ReadFile(img, header + PadRecord(BigEndian(v), '\0')), FITS_OK);
  EXPECT_EQ(img.m_FitsHeader.GetCount(), 108);
  EXPECT_EQ(img.GetWidth(), 3);
  EXPECT_EQ(img.GetHeight(), 2);
  EXPECT_EQ(Raw(img, 0, 1), 1.0);  // bottom-up: the first file row is the last image row
  EXPECT_EQ(Raw(img, 2, 0), 6.0);
}

TEST_F(FitsReadTest, OneDimensionalImageRepeatsItsRowFitsHeightTimes) {
  SetInt("Dialog\\Enviroment", "FitsHeight", 20);
  std::vector<float> v = {1.5f, -2.0f, 7.25f, 0.0f, 9.0f};
  std::string file = Header(ImageCards(-32, {5}, true)) + PadRecord(BigEndian(v), '\0') +
                     AsciiTable("'Vantorel Phot data'", {"X"}, {"1"});
  CRalImage img;
  ASSERT_EQ(ReadFile(img, file), FITS_OK);
  EXPECT_EQ(img.GetHeight(), 20);
  EXPECT_EQ(img.GetOrgHeight(), 20);
  EXPECT_EQ(img.GetFirstFits(), 1);
  EXPECT_EQ(img.GetDimension(), 2);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 5; ++x) ASSERT_EQ(img.GetPixel(x, y), v[static_cast<std::size_t>(x)]) << y;
  // The data array of a one-dimensional image is one row long; the table behind it is found.
  ASSERT_EQ(img.m_FitsExtensions.size(), 1u);
  EXPECT_EQ(img.GetExtend(), 1);
}

struct PixelCase {
  int bits;
  int isSigned;
  std::string bytes;     // two pixels, big-endian, as in the file
  double first, second;  // their raw values
  friend std::ostream& operator<<(std::ostream& os, const PixelCase& c) {
    return os << "BITPIX " << c.bits << (c.isSigned ? " signed" : " unsigned");
  }
};

class FitsByteOrderTest : public FitsReadTest, public ::testing::WithParamInterface<PixelCase> {};

TEST_P(FitsByteOrderTest, PixelsComeInMachineOrderByType) {
  const PixelCase& c = GetParam();
  std::string file = Header(ImageCards(c.bits, {2, 1})) + PadRecord(c.bytes, '\0');
  CRalImage img;
  ASSERT_EQ(CFits::Read(img, Put("p.fits", file), c.isSigned, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  EXPECT_EQ(img.GetBitsPixel(), c.bits);
  EXPECT_EQ(img.IsSigned(), c.isSigned);
  EXPECT_EQ(img.GetPixel(0, 0), c.first);
  EXPECT_EQ(img.GetPixel(1, 0), c.second);
}

INSTANTIATE_TEST_SUITE_P(
    Types, FitsByteOrderTest,
    ::testing::Values(
        PixelCase{8, 1, "\x01\xFE", 1, 254},  // 8-bit data are not touched
        PixelCase{16, 1, std::string("\x01\x02\xFF\xFE", 4), 258, -2},
        PixelCase{16, 0, std::string("\x01\x02\xFF\xFE", 4), 258, 65534},
        PixelCase{32, 1, std::string("\x01\x02\x03\x04\xFF\xFF\xFF\xFE", 8), 16909060, -2},
        PixelCase{32, 0, std::string("\x00\x00\x00\x05\xFF\xFF\xFF\xFE", 8), 5, 4294967294.0},
        PixelCase{-32, 1, BigEndian(std::vector<float>{1.5f, -3.25e7f}), 1.5, -3.25e7},
        PixelCase{-64, 1, BigEndian(std::vector<double>{1.0 / 3.0, -1e300}), 1.0 / 3.0, -1e300}));

class FitsBottomUpTest : public FitsReadTest, public ::testing::WithParamInterface<int> {};

TEST_P(FitsBottomUpTest, RowOrderFollowsTheSetting) {
  SetInt("IO", "FitsBottomUp", GetParam());
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Ramp16(4, 3)), FITS_OK);
  for (int fileRow = 0; fileRow < 3; ++fileRow) {
    const int y = GetParam() ? 2 - fileRow : fileRow;
    EXPECT_EQ(img.GetPixel(3, y), 100 * fileRow + 3) << fileRow;
  }
}

INSTANTIATE_TEST_SUITE_P(Setting, FitsBottomUpTest, ::testing::Values(0, 1));

// The program stores the setting as yes/no; "yes" must mean bottom-up, not atoi's 0.
TEST_F(FitsReadTest, RowOrderFollowsTheSettingAsTheProgramStoresIt) {
  for (int on : {0, 1}) {
    ASSERT_EQ(CRegistry::Write("IO", "FitsBottomUp", on, CRegistry::TYPE_BOOL), 1);
    CRalImage img;
    ASSERT_EQ(ReadFile(img, Ramp16(4, 3)), FITS_OK);
    EXPECT_EQ(img.GetPixel(3, 0), on ? 203 : 3) << on;
  }
}

TEST_F(FitsReadTest, RowsTooManyForMemoryArePagedWhileTheyAreRead) {
  // Blocks of 64 KB and a budget of 1 MB: a 2 MB image passes through the swap file.
  SetInt("VMManager", "BlockSize", 64);
  SetInt("VMManager", "MemoryRatio", 0);
  SetInt("VMManager", "MinMemorySize", 1);
  CVmManager::Restart();
  const int w = 1024, h = 1024;
  std::vector<std::int16_t> v(static_cast<std::size_t>(w) * h);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int16_t>(i * 7 % 30011);
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Header(ImageCards(16, {w, h})) + PadRecord(BigEndian(v), '\0')), FITS_OK);
  EXPECT_FALSE(img.IsOnMemory());
  for (int y = 0; y < h; y += 37)
    for (int x = 0; x < w; x += 101)
      ASSERT_EQ(img.GetPixel(x, h - 1 - y), v[static_cast<std::size_t>(y) * w + x])
          << x << "," << y;
}

TEST_F(FitsReadTest, CubeReadAsColourTakesTheChosenPlanes) {
  const int w = 3, h = 2, planes = 5;
  std::vector<std::int16_t> v;
  for (int p = 0; p < planes; ++p)
    for (int i = 0; i < w * h; ++i) v.push_back(static_cast<std::int16_t>(1000 * p + i));
  const std::string file = Header(ImageCards(16, {w, h, planes})) + PadRecord(BigEndian(v), '\0');

  CRalImage color;
  ASSERT_EQ(ReadFile(color, file, 1, 4, 2, 0), FITS_OK);
  EXPECT_EQ(color.GetPlanes(), 3);
  EXPECT_EQ(color.GetDimension(), 3);
  EXPECT_EQ(color.GetOrgPlanes(), 5);
  EXPECT_EQ(color.GetPixel(0, 1, 0), 4000);  // red is file plane 4
  EXPECT_EQ(color.GetPixel(2, 0, 1), 2005);
  EXPECT_EQ(color.GetPixel(1, 1, 2), 1);

  CRalImage one;
  ASSERT_EQ(ReadFile(one, file, 0, 3), FITS_OK);
  EXPECT_EQ(one.GetPlanes(), 1);
  EXPECT_EQ(one.GetDimension(), 2);
  EXPECT_EQ(one.GetPixel(2, 0), 3005);

  CRalImage outside;
  EXPECT_EQ(ReadFile(outside, file, 0, 5), FITS_INVALID_IMAGE);
  EXPECT_EQ(ReadFile(outside, file, 1, 0, -1, 2), FITS_INVALID_IMAGE);
}

TEST_F(FitsReadTest, LevelsFromKeywordsFollowTheColourOrder) {
  std::vector<std::string> cards = ImageCards(8, {2, 1, 3});
  cards.push_back(Card("SI-TYPE = 'RGB     '           / COLOR FORMAT IN ORDER R-G-B"));
  for (int n = 1; n <= 3; ++n) {
    cards.push_back(Key("SI-LMIN" + std::to_string(n), std::to_string(10 * n)));
    cards.push_back(Key("SI-LMAX" + std::to_string(n), std::to_string(100 * n)));
  }
  const std::string file = Header(cards) + PadRecord(std::string(6, '\x05'), '\0');

  CRalImage inOrder;
  ASSERT_EQ(ReadFile(inOrder, file, 1, 0, 1, 2), FITS_OK);
  EXPECT_EQ(inOrder.IsSITypeRGB(), 1);
  EXPECT_EQ(inOrder.HasOwnLevel(), 1);
  EXPECT_EQ(inOrder.GetLevelMin(2), 30.0);

  CRalImage reordered;
  ASSERT_EQ(ReadFile(reordered, file, 1, 2, 1, 0), FITS_OK);
  EXPECT_EQ(reordered.IsSITypeRGB(), 0);
  EXPECT_EQ(reordered.GetLevelMin(0), 30.0);
  EXPECT_EQ(reordered.GetLevelMax(0), 300.0);
  EXPECT_EQ(reordered.GetLevelMax(2), 100.0);

  CRalImage single;
  ASSERT_EQ(ReadFile(single, file, 0, 1), FITS_OK);
  EXPECT_EQ(single.IsSITypeRGB(), 0);
  EXPECT_EQ(single.GetLevelMin(0), 20.0);
  EXPECT_EQ(single.GetLevelMax(0), 200.0);

  cards[3] = Card("SI-TYPE = 'BGR     '");
  CRalImage bad;
  EXPECT_EQ(ReadFile(bad, Header(cards) + PadRecord(std::string(6, '\x05'), '\0')),
            FITS_INVALID_IMAGE);
}

struct RangeCase {
  const char* name;
  int bits;
  std::vector<std::string> cards;
  std::vector<double> values;
  friend std::ostream& operator<<(std::ostream& os, const RangeCase& c) { return os << c.name; }
};

class FitsDefaultLevelTest : public FitsReadTest,
                             public ::testing::WithParamInterface<RangeCase> {};

// Without level keywords the levels are those SetDefaultLevel finds in the data.
TEST_P(FitsDefaultLevelTest, LevelsEqualTheDataRange) {
  const RangeCase& c = GetParam();
  const int w = static_cast<int>(c.values.size()) / 2;
  std::vector<std::string> cards = ImageCards(c.bits, {w, 2});
  cards.insert(cards.end(), c.cards.begin(), c.cards.end());
  std::string data;
  if (c.bits == 16) {
    std::vector<std::int16_t> v(c.values.begin(), c.values.end());
    data = BigEndian(v);
  } else {
    std::vector<float> v(c.values.begin(), c.values.end());
    data = BigEndian(v);
  }
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Header(cards) + PadRecord(data, '\0')), FITS_OK);
  EXPECT_EQ(img.HasOwnLevel(), 0);
  CRalImage copy(img);
  ASSERT_EQ(copy.SetDefaultLevel(), 1);
  EXPECT_EQ(img.GetLevelMin(0), copy.GetLevelMin(0));
  EXPECT_EQ(img.GetLevelMax(0), copy.GetLevelMax(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FitsDefaultLevelTest,
    ::testing::Values(
        RangeCase{"Scaled", 16, {Key("BSCALE", "2.5"), Key("BZERO", "-7")}, {3, -9, 400, 12}},
        RangeCase{"NegativeScale", 16, {Key("BSCALE", "-0.5")}, {3, -9, 400, 12}},
        RangeCase{"Blank", 16, {Key("BLANK", "400")}, {3, -9, 400, 12}},
        RangeCase{"ZeroScale", 16, {Key("BSCALE", "0"), Key("BZERO", "5")}, {1, 2, 3, 4}},
        RangeCase{"FloatWithNaN", -32, {}, {NAN, 2.5, -1e30, INFINITY}},
        RangeCase{"AllNaN", -32, {}, {NAN, NAN, NAN, NAN}},
        RangeCase{"AllInfinite", -32, {}, {INFINITY, INFINITY, INFINITY, INFINITY}}),
    [](const auto& info) { return std::string(info.param.name); });

struct MatrixCase {
  const char* name;
  std::vector<std::string> cards;
  int kind;
  tagMATRIX2_2 matrix;
  const char* named;  // the convention named in the warning, or null when none is shown
  friend std::ostream& operator<<(std::ostream& os, const MatrixCase& c) { return os << c.name; }
};

class FitsMatrixTest : public FitsReadTest, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(FitsMatrixTest, ConventionChosenAndDisagreementReported) {
  const MatrixCase& c = GetParam();
  std::vector<std::string> cards = ImageCards(8, {1, 1});
  cards.insert(cards.end(), c.cards.begin(), c.cards.end());
  RecordingMessageBox box;
  ScopedMessageBox scoped(&box);
  CRalImage img;
  const std::string path = Put("m.fits", Header(cards) + PadRecord("x", '\0'));
  ASSERT_EQ(CFits::Read(img, path, 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  tagMATRIX2_2 m;
  EXPECT_EQ(img.GetLTMtx(&m), c.kind);
  EXPECT_EQ(m, c.matrix);
  if (c.named) {
    ASSERT_EQ(box.shown.size(), 1u);
    std::string expected(kFitsMatrixMismatch);
    expected.replace(expected.find("%s"), 2, c.named);
    EXPECT_EQ(box.shown[0].text, expected);
    EXPECT_EQ(box.shown[0].style, MB_OK);
  } else {
    EXPECT_TRUE(box.shown.empty());
  }
  // Without messages asked for, the header alone reads silently.
  box.shown.clear();
  CRalImage header;
  EXPECT_EQ(CFits::ReadHeader(header, path, 0), FITS_OK);
  EXPECT_TRUE(box.shown.empty());
  EXPECT_EQ(header.GetLTMtx(&m), c.kind);
}

const std::vector<std::string> kCd = {Key("CD1_1", "2.0"), Key("CD1_2", "0.5"),
                                      Key("CD2_1", "-0.5"), Key("CD2_2", "3.0")};
const std::vector<std::string> kPcAgreeing = {Key("PC1_1", "1.0"),   Key("PC1_2", "0.25"),
                                              Key("PC2_1", "-0.25"), Key("PC2_2", "1.5"),
                                              Key("CDELT1", "2.0"),  Key("CDELT2", "2.0")};
const std::vector<std::string> kRaDec = {Key("CTYPE1", "'RA---TAN'"), Key("CTYPE2", "'DEC--TAN'")};
std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Conventions, FitsMatrixTest,
    ::testing::Values(
        MatrixCase{"None", {}, 0, {}, nullptr},
        MatrixCase{"CdOnly", kCd, 1, {2.0, 0.5, -0.5, 3.0}, nullptr},
        MatrixCase{"CdDiagonalOnlyLeavesZeros",
                   {Key("CD1_2", "0.5"), Key("CD2_1", "0.25")},
                   1,
                   {0.0, 0.5, 0.25, 0.0},
                   nullptr},
        MatrixCase{"PcOnlyKeepsIdentity", {Key("PC1_2", "0.5")}, 2, {1.0, 0.5, 0.0, 1.0}, nullptr},
        MatrixCase{"OldPc",
                   {Key("PC001001", "0.5"), Key("PC002002", "0.75")},
                   2,
                   {0.5, 0.0, 0.0, 0.75},
                   nullptr},
        MatrixCase{"PcountIsNotAnOldPc", {Key("PCOUNT", "0")}, 0, {}, nullptr},
        // CROTAn of the latitude axis, without any matrix, turns the image (AIPS convention);
        // astropy's reading of other angles is checked in fits_peer_test.
        MatrixCase{
            "RotationOfAQuarterTurnIsExact",
            Join(kRaDec, {Key("CDELT1", "-1.0"), Key("CDELT2", "2.0"), Key("CROTA2", "-90")}),
            2,
            {0.0, -2.0, 0.5, 0.0},
            nullptr},
        MatrixCase{"RotationOfTheLatitudeOnAxisOne",
                   {Key("CTYPE1", "'DEC--TAN'"), Key("CTYPE2", "'RA---TAN'"), Key("CROTA1", "180"),
                    Key("CROTA2", "90")},
                   2,
                   {-1.0, 0.0, 0.0, -1.0},
                   nullptr},
        MatrixCase{"RotationOfTheLongitudeMeansNothing",
                   Join(kRaDec, {Key("CROTA1", "30")}),
                   0,
                   {},
                   nullptr},
        MatrixCase{"RotationWithoutACelestialPair",
                   {Key("CTYPE1", "'RA---TAN'"), Key("CTYPE2", "'GLAT-TAN'"), Key("CROTA2", "30")},
                   0,
                   {},
                   nullptr},
        MatrixCase{"RotationBesideACdMatrixMeansNothing",
                   Join(Join(kCd, kRaDec), {Key("CROTA2", "30")}),
                   1,
                   {2.0, 0.5, -0.5, 3.0},
                   nullptr},
        MatrixCase{"CdAndPcAgreeing", Join(kCd, kPcAgreeing), 1, {2.0, 0.5, -0.5, 3.0}, nullptr},
        MatrixCase{"CdAndPcDisagreeing",
                   Join(kCd, {Key("PC1_1", "1.0"), Key("CDELT1", "1.0"), Key("CDELT2", "1.0")}),
                   1,
                   {2.0, 0.5, -0.5, 3.0},
                   "CDi_j"},
        MatrixCase{"CdAndPcWithoutIncrementsUnchecked",
                   Join(kCd, {Key("PC1_1", "9.0")}),
                   1,
                   {2.0, 0.5, -0.5, 3.0},
                   nullptr},
        MatrixCase{"PcAndOldPcDisagreeing",
                   {Key("PC1_1", "1.0"), Key("PC001001", "2.0")},
                   2,
                   {1.0, 0.0, 0.0, 1.0},
                   "PCi_j"},
        MatrixCase{"AllThreeDisagreeing",
                   Join(Join(kCd, kPcAgreeing), {Key("PC001001", "7.0")}),
                   1,
                   {2.0, 0.5, -0.5, 3.0},
                   "CDi_j"},
        MatrixCase{"ThirdAxisScaleIsAccepted",
                   Join(kCd, {Key("CD3_3", "4.0")}),
                   1,
                   {2.0, 0.5, -0.5, 3.0},
                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

struct CardCase {
  const char* name;
  std::vector<std::string> cards;  // the whole primary header, END added
  int expected;
  friend std::ostream& operator<<(std::ostream& os, const CardCase& c) { return os << c.name; }
};

class FitsCardTest : public FitsReadTest, public ::testing::WithParamInterface<CardCase> {};

TEST_P(FitsCardTest, HeaderGivesItsCode) {
  const CardCase& c = GetParam();
  const std::string file = Header(c.cards) + PadRecord(std::string(64, '\x01'), '\0');
  CRalImage img;
  EXPECT_EQ(ReadFile(img, file), c.expected);
  // The header alone does not look at the data, so a file too short for it still passes.
  CRalImage header;
  EXPECT_EQ(CFits::ReadHeader(header, Put("h.fits", file), 0),
            c.expected == FITS_READ_FAILED ? FITS_OK : c.expected);
}

std::vector<std::string> With(std::vector<std::string> cards, const std::string& card) {
  cards.push_back(card);
  return cards;
}
const std::vector<std::string> k8x8 = ImageCards(8, {8, 8});

INSTANTIATE_TEST_SUITE_P(
    Cards, FitsCardTest,
    ::testing::Values(
        CardCase{"Plain", k8x8, FITS_OK},
        CardCase{"SimpleFalseAccepted",
                 {Key("SIMPLE", "F"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", 8),
                  Key("NAXIS2", 8)},
                 FITS_OK},
        CardCase{"SimpleNeitherTNorF",
                 {Key("SIMPLE", "'YES'"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", 8),
                  Key("NAXIS2", 8)},
                 FITS_INVALID_CARD},
        CardCase{"NaxisZero",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", 0)},
                 FITS_INVALID_CARD},
        // Axes beyond the third of length 1 add nothing: a cube of 2 planes, an image.
        CardCase{"NaxisFourOfLengthOne", ImageCards(8, {2, 2, 2, 1}), FITS_OK},
        CardCase{"NaxisFiveOfLengthOne", ImageCards(8, {2, 2, 1, 1, 1}), FITS_OK},
        CardCase{"FourthAxisLonger", ImageCards(8, {2, 2, 1, 2}), FITS_EXTRA_AXIS},
        CardCase{"TenthAxisLonger", ImageCards(8, {2, 2, 1, 1, 1, 1, 1, 1, 1, 3}), FITS_EXTRA_AXIS},
        CardCase{"FourthAxisMissing",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", 4), Key("NAXIS1", 2),
                  Key("NAXIS2", 2), Key("NAXIS3", 1)},
                 FITS_INVALID_IMAGE},
        CardCase{"FourthAxisZero", ImageCards(8, {2, 2, 1, 0}), FITS_INVALID_IMAGE},
        CardCase{"NaxisBeyondTheStandard",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", 1000)},
                 FITS_INVALID_CARD},
        CardCase{"MatrixRowsOfFurtherAxes",
                 Join(ImageCards(8, {2, 2, 1, 1}), {Key("PC3_3", "1.0"), Key("PC4_4", "1.0"),
                                                    Key("PC3_4", "0.5"), Key("CD4_1", "0.5")}),
                 FITS_OK},
        CardCase{"FourthPixelAxisIntoTheFirstTwo",
                 Join(ImageCards(8, {2, 2, 1, 1}), {Key("PC2_4", "0.5")}), FITS_INVALID_CARD},
        CardCase{"NaxisNegative",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", -2)},
                 FITS_INVALID_CARD},
        CardCase{"AxisBeyondNaxis", With(k8x8, Key("NAXIS3", 4)), FITS_INVALID_IMAGE},
        CardCase{"DispaxisThree", With(k8x8, Key("DISPAXIS", 3)), FITS_INVALID_CARD},
        CardCase{"CdOutsideTheMatrix", With(k8x8, Key("CD1_3", "0.5")), FITS_INVALID_CARD},
        CardCase{"CdOutsideTheMatrixZero", With(k8x8, Key("CD1_3", "0")), FITS_OK},
        CardCase{"OldPcOutsideTheMatrix", With(k8x8, Key("PC001003", "1.0")), FITS_INVALID_CARD},
        CardCase{"BitpixZero", ImageCards(0, {8, 8}), FITS_INVALID_IMAGE},
        CardCase{"Bitpix64ReadIntoDoubles", ImageCards(64, {2, 2}), FITS_OK},
        CardCase{"BitpixTwelve", ImageCards(12, {8, 8}), FITS_INVALID_IMAGE},
        CardCase{"BitpixJunk",
                 {Key("SIMPLE", "T"), Key("BITPIX", "'sixteen'"), Key("NAXIS", 2), Key("NAXIS1", 8),
                  Key("NAXIS2", 8)},
                 FITS_INVALID_IMAGE},
        CardCase{"WidthZero", ImageCards(8, {0, 8}), FITS_INVALID_IMAGE},
        CardCase{"WidthNegative", ImageCards(8, {-8, 8}), FITS_INVALID_IMAGE},
        CardCase{"WidthJunk",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", "'many'"),
                  Key("NAXIS2", 8)},
                 FITS_INVALID_IMAGE},
        CardCase{"HeightMissing",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", 8)},
                 FITS_INVALID_IMAGE},
        CardCase{"PlanesMissing", ImageCards(8, {8, 8}) /* NAXIS 2 */, FITS_OK},
        CardCase{"CubeWithoutPlanes",
                 {Key("SIMPLE", "T"), Key("BITPIX", 8), Key("NAXIS", 3), Key("NAXIS1", 8),
                  Key("NAXIS2", 8)},
                 FITS_INVALID_IMAGE},
        CardCase{"SizeOverflowing", ImageCards(-64, {2147483647, 2147483647, 2147483647}),
                 FITS_INVALID_IMAGE},
        CardCase{"SizeBeyondTheFile", ImageCards(16, {100000, 100000}), FITS_READ_FAILED},
        CardCase{"AbsurdWidthSaturates", ImageCards(8, {99999999999LL, 1}), FITS_READ_FAILED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FitsReadTest, AxisBlankAndWorldCoordinateCardsAreInterpreted) {
  std::vector<std::string> cards = ImageCards(16, {2, 2});
  cards.push_back(Key("BLANK", "-32768"));
  cards.push_back(Key("BLANK", "7"));
  cards.push_back(Key("CTYPE1", "'RA'"));
  cards.push_back(Key("CTYPE2", "'DEC--TAN'"));
  cards.push_back(Key("CUNIT1", "'deg'"));
  cards.push_back(Key("CRPIX1", "10.5"));
  cards.push_back(Key("CRVAL2", "-1.25D+01"));
  cards.push_back(Key("CDELT1", "0.001"));
  cards.push_back(Key("PV2_1", "45.0"));
  cards.push_back(Key("PV1_9", "9.0"));
  cards.push_back(Key("LONPOLE", "180.0"));
  cards.push_back(Key("DISPAXIS", 2));
  cards.push_back(Key("RESTFRQ2", "1.4204E9"));
  cards.push_back(Card("AUTHOR  = 'Ueda Hiroshi'       / who made it"));
  cards.push_back(Card("SI-LMTD = 'LOG       '         / METHOD OF LEVEL"));
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Header(cards) + PadRecord(std::string(8, '\0'), '\0')), FITS_OK);
  EXPECT_EQ(img.IsBlankUsed(), 1);
  EXPECT_EQ(img.GetBlank(), -32768);  // a second BLANK is only kept as a card
  int blanks = 0;
  for (const std::string& c : img.m_FitsHeader.Cards()) blanks += c.compare(0, 8, "BLANK   ") == 0;
  EXPECT_EQ(blanks, 2);
  std::string s;
  EXPECT_FALSE(img.GetCType(0, &s));  // fewer than 8 characters inside the quotes
  EXPECT_NE(img.m_FitsHeader.Find("CTYPE1"), -1);
  ASSERT_TRUE(img.GetCType(1, &s));
  EXPECT_EQ(s, "'DEC--TAN'");
  ASSERT_TRUE(img.GetCUnit(0, &s));
  EXPECT_EQ(s, "'deg'");
  double v = 0;
  ASSERT_TRUE(img.GetCRPix(0, &v));
  EXPECT_DOUBLE_EQ(v, 10.5);
  EXPECT_FALSE(img.GetCRPix(1, &v));
  ASSERT_TRUE(img.GetCRVal(1, &v));
  EXPECT_EQ(v, -12.5);  // a D exponent is read as E
  ASSERT_TRUE(img.GetCDelt(0, &v));
  EXPECT_EQ(v, 0.001);
  tagMATRIX2_4 pv;
  EXPECT_EQ(img.GetPVMtx(&pv), 1);
  EXPECT_EQ(pv.m[1][1], 45.0);
  EXPECT_EQ(pv.m[0][0] + pv.m[0][1] + pv.m[0][2] + pv.m[0][3] + pv.m[1][0], 0.0);
  EXPECT_TRUE(img.IsLonPole());
  int axis = 0;
  EXPECT_TRUE(img.GetDispAxis(&axis));
  EXPECT_EQ(axis, 2);
  ASSERT_EQ(img.GetRestFreq(1, &v), 1);
  EXPECT_EQ(v, 1.4204e9);
  ASSERT_EQ(img.GetAuthor(&s), 1);
  EXPECT_EQ(s, "Ueda Hiroshi");
  EXPECT_EQ(img.GetLogScale(), 1);
  EXPECT_EQ(img.GetOrgFileFormat(), "FITS");
  EXPECT_EQ(img.GetOrgBitsPixel(), 16);
  EXPECT_EQ(img.IsSaveableFormat(), 1);
  EXPECT_EQ(img.IsSaveableFile(), 1);
}

TEST_F(FitsReadTest, ReadingAgainForgetsThePreviousFile) {
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Ramp16(4, 3, {Key("BLANK", "5"), Key("BSCALE", "2"), Key("CD1_1", "3")})),
            FITS_OK);
  ASSERT_EQ(ReadFile(img, Ramp16(2, 2, {Key("BLANK", "9")})), FITS_OK);
  EXPECT_EQ(img.GetBlank(), 9);
  EXPECT_EQ(img.GetBscale(), 1.0);
  EXPECT_FALSE(img.IsWCS());
  EXPECT_EQ(img.GetWidth(), 2);
}

TEST_F(FitsReadTest, ProgressRunsFromCaptionToEnd) {
  RecordingProgress progress;
  CRalImage img;
  ASSERT_EQ(
      CFits::Read(img, Put("p.fits", Ramp16(3, 200)), 1, 0, 0, 0, 0, &progress, "読み込み中", 0),
      FITS_OK);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
  EXPECT_EQ(progress.events.front().caption, "読み込み中");
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  int last = -1, percents = 0;
  for (const auto& e : progress.events) {
    if (e.kind != RecordingProgress::Kind::kPercent) continue;
    EXPECT_GT(e.percent, last);
    last = e.percent;
    ++percents;
  }
  EXPECT_EQ(last, 100);
  EXPECT_GE(percents, 90);  // one per whole percent over 200 rows
}

TEST_F(FitsReadTest, UpdateHeaderInterpretsAndAppendsOneCard) {
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Ramp16(2, 2)), FITS_OK);
  const int cards = img.m_FitsHeader.GetCount();
  EXPECT_EQ(CFits::UpdateHeader(img, Key("CRVAL1", "12.5")), FITS_OK);
  double v = 0;
  ASSERT_TRUE(img.GetCRVal(0, &v));
  EXPECT_EQ(v, 12.5);
  EXPECT_EQ(CFits::UpdateHeader(img, "OBJECT  = 'M31'"), FITS_OK);  // short cards are padded
  EXPECT_EQ(img.m_FitsHeader.GetAt(cards + 1).size(), 80u);
  EXPECT_EQ(CFits::UpdateHeader(img, Key("NAXIS", 1000)), FITS_INVALID_CARD);
  EXPECT_EQ(img.m_FitsHeader.GetCount(), cards + 2);  // a refused card is not appended
}

TEST_F(FitsReadTest, ReadImageServesOtherReadersFromTheirDataStart) {
  // A headerless layout: 100 bytes of something, then 3 × 2 rows of 32-bit integers.
  std::vector<std::int32_t> v = {1, 2, 3, 4, 5, 6};
  const std::string path = Put("raw.bin", std::string(100, 'h') + BigEndian(v) + "tail");
  CRalImage img;
  img.SetBitsPixel(32);
  img.SetWidth(3);
  img.SetHeight(2);
  img.SetPlanes(1);
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 100, SEEK_SET), 100);
  EXPECT_EQ(CFits::ReadImage(img, fd, 1, 0, 0, 0, 0, 0, nullptr, ""), FITS_OK);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 124);  // behind the data
  EXPECT_EQ(img.GetPixel(0, 0), 1);          // file order: file row r is image row r
  EXPECT_EQ(img.GetPixel(2, 1), 6);
  // Without reversal the bytes stay as in the file.
  EXPECT_EQ(::lseek(fd, 100, SEEK_SET), 100);
  EXPECT_EQ(CFits::ReadImage(img, fd, 0, 0, 0, 0, 0, 0, nullptr, ""), FITS_OK);
  EXPECT_EQ(img.GetPixel(0, 0), 16777216);
  // Rows that are not all in the file are refused before anything is allocated.
  img.SetHeight(3);
  EXPECT_EQ(::lseek(fd, 100, SEEK_SET), 100);
  EXPECT_EQ(CFits::ReadImage(img, fd, 1, 0, 0, 0, 0, 0, nullptr, ""), FITS_READ_FAILED);
  ::close(fd);
}

namespace {
struct ByteOrder : CFits {
  using CFits::ByteSwap;
  using CFits::ReverseByteOrderBuffer;
  using CFits::ReverseByteOrderLine;
  using CFits::ReverseByteOrderPage;
};
}  // namespace

TEST_F(FitsReadTest, ByteOrderHelpersReverseByPixelType) {
  struct Case {
    int bits;
    std::string in, out;
  };
  const Case cases[] = {{8, "abcdefgh", "abcdefgh"},
                        {16, "abcdefgh", "badcfehg"},
                        {32, "abcdefgh", "dcbahgfe"},
                        {-32, "abcdefgh", "dcbahgfe"},
                        {-64, "abcdefgh", "hgfedcba"}};
  for (const Case& c : cases) {
    std::string b = c.in;
    ByteOrder::ReverseByteOrderBuffer(b.data(), c.bits,
                                      8 / (c.bits == 8 ? 1 : std::abs(c.bits) / 8));
    EXPECT_EQ(b, c.out) << c.bits;
  }
  std::uint8_t a = 1, z = 2;
  ByteOrder::ByteSwap(a, z);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(z, 1);
  CImage img(16, 2, 2, 2, 1, 0, 1);
  *static_cast<std::uint16_t*>(img.GetImageAdr(1, 1, 1)) = 0x1234;
  EXPECT_EQ(ByteOrder::ReverseByteOrderLine(img, 1, 1), 1);
  EXPECT_EQ(*static_cast<std::uint16_t*>(img.GetImageAdr(1, 1, 1)), 0x3412);
  EXPECT_EQ(ByteOrder::ReverseByteOrderPage(img), 1);
  EXPECT_EQ(*static_cast<std::uint16_t*>(img.GetImageAdr(1, 1, 1)), 0x1234);
  EXPECT_EQ(ByteOrder::ReverseByteOrderLine(img, 2, 0), 0);
}

// ---- extensions

TEST_F(FitsReadTest, OwnTablesAreReadForeignOnesKeptUnread) {
  const std::string foreign =
      Header({Card("XTENSION= 'IMAGE   '"), Key("BITPIX", 16), Key("NAXIS", 2), Key("NAXIS1", 40),
              Key("NAXIS2", 40), Key("PCOUNT", 0), Key("GCOUNT", 1), Key("EXTNAME", "'SCI'")}) +
      PadRecord(std::string(3200, '\x7f'), '\0');  // 40 × 40 × 2 bytes: two records
  const std::string phot = AsciiTable("'Vantorel Phot data'", {"NO", "X", "Y"},
                                      {"1         12.5      7.25", "2         3.0       4.0"});
  const std::string nameless = AsciiTable("", {"A"}, {"x"});
  CRalImage img;
  ASSERT_EQ(ReadFile(img, Ramp16(4, 4, {}, true) + foreign + phot + nameless), FITS_OK);
  ASSERT_EQ(img.m_FitsExtensions.size(), 2u);
  const CFitsExtension& e = img.m_FitsExtensions[0];
  EXPECT_EQ(e.GetExtName(), "'Vantorel Phot data'");
  EXPECT_EQ(e.GetXtension(), "'TABLE   '");
  EXPECT_EQ(e.GetBitPix(), 8);
  EXPECT_EQ(e.GetNAxis(), 2);
  EXPECT_EQ(e.GetNAxes(0), 30);
  EXPECT_EQ(e.GetNAxes(1), 2);
  EXPECT_EQ(e.GetTFields(), 3);
  EXPECT_EQ(e.GetTType(1), "'X'");
  EXPECT_EQ(e.GetTBCol(2), 21);
  EXPECT_EQ(e.GetTForm(0), "'A10     '");
  ASSERT_EQ(e.GetDataLength(), 60u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.GetData()) + 30, 3), "2  ");
  EXPECT_EQ(e.m_Header.Cards().back().substr(0, 3), "END");
  EXPECT_EQ(img.m_FitsExtensions[1].GetExtName(), "");
  EXPECT_EQ(img.GetExtend(), 1);

  CRalImage skipped;
  ASSERT_EQ(CFits::Read(skipped, Put("s.fits", Ramp16(4, 4, {}, true) + phot), 1, 0, 0, 0, 0,
                        nullptr, "", 1),
            FITS_OK);
  EXPECT_TRUE(skipped.m_FitsExtensions.empty());

  CRalImage onlyForeign;
  ASSERT_EQ(ReadFile(onlyForeign, Ramp16(4, 4, {}, true) + foreign), FITS_OK);
  EXPECT_TRUE(onlyForeign.m_FitsExtensions.empty());
  ASSERT_EQ(onlyForeign.m_KeptExtensions.size(), 1u);
  EXPECT_EQ(onlyForeign.m_KeptExtensions[0].GetExtName(), "'SCI'");
  EXPECT_EQ(onlyForeign.GetExtend(), 1);  // a kept extension keeps the flag
}

TEST_F(FitsReadTest, ExtensionsOfACubeReadInColourAreKeptUnread) {
  std::vector<std::int16_t> v(2 * 2 * 3, 1);
  const std::string file = Header(ImageCards(16, {2, 2, 3}, true)) + PadRecord(BigEndian(v), '\0') +
                           AsciiTable("'Vantorel Pos data'", {"X"}, {"1"});
  CRalImage color;
  ASSERT_EQ(ReadFile(color, file, 1), FITS_OK);
  EXPECT_TRUE(color.m_FitsExtensions.empty());
  EXPECT_EQ(color.m_KeptExtensions.size(), 1u);
  CRalImage one;
  ASSERT_EQ(ReadFile(one, file, 0, 1), FITS_OK);
  EXPECT_EQ(one.m_FitsExtensions.size(), 1u);
}

TEST_F(FitsReadTest, PlaneReadFromACubeTakesItsCoordinatesFromTheTable) {
  std::vector<std::int16_t> v(2 * 2 * 3, 1);
  const std::string table = AsciiTable(
      "'PLANE WCS'", {"CTYPE1", "CRPIX1", "CRVAL2", "CD1_1", "CD2_2", "PV2_1", "RESTFRQ1"},
      {"RA---TAN  1.5       10.0      0.1       0.2       30        1.0E9",
       "RA---SIN  2.5       20.0      0.3       0.4       31        2.0E9",
       "RA---ARC  3.5       30.0      0.5       0.6       32        3.0E9"});
  const std::string file =
      Header(ImageCards(16, {2, 2, 3}, true)) + PadRecord(BigEndian(v), '\0') + table;
  CRalImage img;
  ASSERT_EQ(ReadFile(img, file, 0, 1), FITS_OK);
  ASSERT_EQ(CFits::WCSFromExtension(img), 0);
  std::string s;
  ASSERT_TRUE(img.GetCType(0, &s));
  EXPECT_EQ(s, "'RA---SIN'");
  double d = 0;
  ASSERT_TRUE(img.GetCRPix(0, &d));
  EXPECT_DOUBLE_EQ(d, 2.5);
  ASSERT_TRUE(img.GetCRVal(1, &d));
  EXPECT_EQ(d, 20.0);
  tagMATRIX2_2 m;
  EXPECT_EQ(img.GetLTMtx(&m), 1);
  EXPECT_EQ(m, (tagMATRIX2_2{0.3, 0.0, 0.0, 0.4}));
  tagMATRIX2_4 pv;
  EXPECT_EQ(img.GetPVMtx(&pv), 1);
  EXPECT_EQ(pv.m[1][1], 31.0);
  ASSERT_EQ(img.GetRestFreq(0, &d), 1);
  EXPECT_EQ(d, 2.0e9);

  // Another row on request; out-of-range requests change nothing.
  EXPECT_EQ(CFits::UpdateHeaderWCS(img, 0, 2), 1);
  ASSERT_TRUE(img.GetCType(0, &s));
  EXPECT_EQ(s, "'RA---ARC'");
  EXPECT_EQ(CFits::UpdateHeaderWCS(img, 0, 3), 1);
  ASSERT_TRUE(img.GetCType(0, &s));
  EXPECT_EQ(s, "'RA---ARC'");
  EXPECT_EQ(CFits::UpdateHeaderWCS(img, 1, 0), 0);
  EXPECT_EQ(CFits::UpdateHeaderWCS(img, -1, 0), 0);
}

struct ExtensionCase {
  const char* name;
  std::vector<std::string> cards;  // extension header without END
  std::string data;
  int expected;
  friend std::ostream& operator<<(std::ostream& os, const ExtensionCase& c) { return os << c.name; }
};

class FitsExtensionCardTest : public FitsReadTest,
                              public ::testing::WithParamInterface<ExtensionCase> {};

TEST_P(FitsExtensionCardTest, ExtensionGivesItsCode) {
  const ExtensionCase& c = GetParam();
  CRalImage img;
  EXPECT_EQ(ReadFile(img, Ramp16(2, 2, {}, true) + Header(c.cards) + c.data), c.expected);
}

std::vector<std::string> TableCards(std::vector<std::string> more) {
  std::vector<std::string> cards = {Card("XTENSION= 'TABLE   '"),
                                    Key("BITPIX", 8),
                                    Key("NAXIS", 2),
                                    Key("NAXIS1", 10),
                                    Key("NAXIS2", 1),
                                    Key("TFIELDS", 1)};
  cards.insert(cards.end(), more.begin(), more.end());
  return cards;
}
const std::string kRow = PadRecord("0123456789", ' ');

INSTANTIATE_TEST_SUITE_P(
    Cards, FitsExtensionCardTest,
    ::testing::Values(
        ExtensionCase{"Good", TableCards({Key("TTYPE1", "'A'"), Key("TBCOL1", 1)}), kRow, FITS_OK},
        ExtensionCase{"XtensionShort",
                      {Card("XTENSION= 'TAB'"), Key("BITPIX", 8), Key("NAXIS", 0)},
                      "",
                      FITS_INVALID_IMAGE},
        ExtensionCase{"BitpixNotBytes",
                      {Card("XTENSION= 'TABLE   '"), Key("BITPIX", 12), Key("NAXIS", 0)},
                      "",
                      FITS_INVALID_IMAGE},
        ExtensionCase{
            "AxisBeyondNaxis",
            {Card("XTENSION= 'TABLE   '"), Key("BITPIX", 8), Key("NAXIS", 1), Key("NAXIS2", 3)},
            "",
            FITS_INVALID_IMAGE},
        ExtensionCase{"NaxisAbsurd",
                      {Card("XTENSION= 'TABLE   '"), Key("BITPIX", 8), Key("NAXIS", 2000000000)},
                      "",
                      FITS_INVALID_IMAGE},
        ExtensionCase{"TfieldsAbsurd", TableCards({Key("TFIELDS", 2000000000)}), kRow,
                      FITS_INVALID_IMAGE},
        ExtensionCase{"ColumnBeyondTfields", TableCards({Key("TTYPE2", "'B'")}), kRow,
                      FITS_INVALID_IMAGE},
        ExtensionCase{"ColumnNameUnquoted", TableCards({Key("TTYPE1", "A")}), kRow,
                      FITS_INVALID_IMAGE},
        ExtensionCase{"NegativeAxis", TableCards({Key("NAXIS2", -1)}), kRow, FITS_INVALID_IMAGE},
        // The file ends inside the extension's data: it opens without the extension.
        ExtensionCase{"DataBeyondTheFile", TableCards({Key("NAXIS2", 1000000)}), kRow, FITS_OK},
        ExtensionCase{
            "SizeOverflowing",
            {Card("XTENSION= 'IMAGE   '"), Key("BITPIX", -64), Key("NAXIS", 3),
             Key("NAXIS1", 2147483647), Key("NAXIS2", 2147483647), Key("NAXIS3", 2147483647)},
            "",
            FITS_INVALID_IMAGE},
        ExtensionCase{
            "HeapCounted",
            {Card("XTENSION= 'BINTABLE'"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", 4),
             Key("NAXIS2", 2), Key("PCOUNT", 2872), Key("GCOUNT", 1), Key("TFIELDS", 0)},
            PadRecord(std::string(2880, 'h'), '\0'),
            FITS_OK}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FitsReadTest, WhatFollowsTheDataWithoutAnExtensionIsIgnored) {
  CRalImage img;
  EXPECT_EQ(ReadFile(img, Ramp16(2, 2, {}, true) + std::string(2880, ' ')), FITS_OK);
  EXPECT_EQ(ReadFile(img, Ramp16(2, 2, {}, true) + std::string(2880 * 2, '\0')), FITS_OK);
  EXPECT_EQ(ReadFile(img, Ramp16(2, 2, {}, true) + "junk"), FITS_OK);
  EXPECT_TRUE(img.m_FitsExtensions.empty());
}
