// World coordinates under the mirror, with astropy.wcs as the oracle: for each axis, each
// form of the linear part (CD, PC with CDELT, CDELT alone, CD with SIP distortion, no
// reference pixel), in place and from a separate source image, the sky at every pixel
// before the mirror equals the sky at its mirrored pixel after it. The headers handed to
// astropy are rendered from the image model at full precision, so the check sees what
// the operation did and nothing of a writer's formatting.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/imgflip.h"
#include "engine/imgwcs.h"
#include "engine/ralimage.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::HaveAstropy;
using testsupport::kPython;
using testsupport::RunCommand;
using testsupport::ShellQuote;

constexpr int kW = 37, kH = 23;  // odd and unequal, so the axes cannot be confused

enum class Form { kCd, kPc, kCdelt, kSip, kNoCrpix };

struct Case {
  int axis;
  Form form;
  bool fromSource;
  std::string Name() const {
    static const char* const kForm[] = {"cd", "pc", "cdelt", "sip", "nocrpix"};
    return std::string(axis == 1 ? "x_" : "y_") + kForm[static_cast<int>(form)] +
           (fromSource ? "_source" : "_inplace");
  }
};

std::string Card(const std::string& key, const std::string& value,
                 const std::string& comment = {}) {
  std::string card = FitsKeyword(key) + "= ";
  if (value.size() < 20) card.append(20 - value.size(), ' ');
  card += value;
  if (!comment.empty()) card += " / " + comment;
  return card;
}

std::string Real(double v) {
  return CImgWcs::FormatReal(v);
}

struct Term {
  const char* key;
  double value;
};

// Second and third order terms of both parities in u and v; the inverse terms need not
// invert the forward ones for the check.
const Term kSip[] = {
    {"A_2_0", 2.1e-4},   {"A_1_1", -1.3e-4},  {"A_0_2", 7.0e-5},   {"A_3_0", 3.0e-6},
    {"A_2_1", -2.0e-6},  {"A_1_2", 1.5e-6},   {"A_0_3", -1.0e-6},  {"B_2_0", -9.0e-5},
    {"B_1_1", 1.7e-4},   {"B_0_2", -2.4e-4},  {"B_3_0", 1.1e-6},   {"B_2_1", 2.5e-6},
    {"B_1_2", -3.5e-6},  {"B_0_3", 4.0e-6},   {"AP_2_0", -2.0e-4}, {"AP_1_1", 1.2e-4},
    {"AP_0_2", -6.0e-5}, {"AP_3_0", -2.5e-6}, {"BP_2_0", 8.0e-5},  {"BP_1_1", -1.6e-4},
    {"BP_0_2", 2.3e-4},  {"BP_0_3", -3.0e-6},
};

void SetCoordinates(CImage& image, Form form) {
  const bool sip = form == Form::kSip;
  image.SetCType(0, sip ? "'RA---TAN-SIP'" : "'RA---TAN'");
  image.SetCType(1, sip ? "'DEC--TAN-SIP'" : "'DEC--TAN'");
  if (form != Form::kNoCrpix) {
    image.SetCRPix(0, 12.25);
    image.SetCRPix(1, 17.75);
  }
  image.SetCRVal(0, 83.8221);
  image.SetCRVal(1, -5.3911);
  // A rotated, slightly skewed matrix, so that no column is along an axis.
  const tagMATRIX2_2 cd{-3.1e-4, 0.9e-4, 1.1e-4, 3.3e-4};
  switch (form) {
    case Form::kCd:
    case Form::kSip:
      image.SetLTMtx(cd, 1);
      break;
    case Form::kPc:
      image.SetCDelt(0, -2.8e-4);
      image.SetCDelt(1, 3.1e-4);
      image.SetLTMtx({0.94, -0.34, 0.35, 0.93}, 2);
      break;
    case Form::kCdelt:
    case Form::kNoCrpix:
      image.SetCDelt(0, -2.8e-4);
      image.SetCDelt(1, 3.1e-4);
      break;
  }
  if (!sip) return;
  for (const char* order : {"A_ORDER", "B_ORDER", "AP_ORDER", "BP_ORDER"})
    image.m_FitsHeader.Add(Card(order, "3"));
  for (const Term& t : kSip) image.m_FitsHeader.Add(Card(t.key, Real(t.value), "distortion"));
}

// The header astropy reads: the coordinate attributes at full precision, then the
// image's own cards (the SIP terms as the operation left them).
std::string HeaderText(const CImage& image) {
  std::vector<std::string> cards = {Card("SIMPLE", "T"), Card("BITPIX", "-32"), Card("NAXIS", "2"),
                                    Card("NAXIS1", std::to_string(image.GetWidth())),
                                    Card("NAXIS2", std::to_string(image.GetHeight()))};
  std::string text;
  double v;
  for (int a = 0; a < 2; ++a) {
    const std::string n = std::to_string(a + 1);
    if (image.GetCType(a, &text)) cards.push_back(Card("CTYPE" + n, text));
    if (image.GetCRPix(a, &v)) cards.push_back(Card("CRPIX" + n, Real(v)));
    if (image.GetCRVal(a, &v)) cards.push_back(Card("CRVAL" + n, Real(v)));
    if (image.GetCDelt(a, &v)) cards.push_back(Card("CDELT" + n, Real(v)));
  }
  tagMATRIX2_2 m;
  const int kind = image.GetLTMtx(&m);
  if (kind == 1 || kind == 2) {
    const std::string name = kind == 1 ? "CD" : "PC";
    cards.push_back(Card(name + "1_1", Real(m.m11)));
    cards.push_back(Card(name + "1_2", Real(m.m12)));
    cards.push_back(Card(name + "2_1", Real(m.m21)));
    cards.push_back(Card(name + "2_2", Real(m.m22)));
  }
  for (const std::string& card : image.m_FitsHeader.Cards())
    if (card.compare(0, 8, "END     ") != 0) cards.push_back(card);
  cards.push_back("END");
  std::string out;
  for (const std::string& card : cards) out += card + "\n";
  return out;
}

CRalImage Blank() {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) row[x] = x + 100.0 * y;
    image.SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

// A target of the same geometry with coordinates of its own, including SIP terms that
// would bend the sky if they survived, and a card that is none of the coordinates'.
CRalImage OtherTarget() {
  CRalImage image = Blank();
  image.SetCType(0, "'RA---CAR'");
  image.SetCType(1, "'DEC--CAR'");
  image.SetCRPix(0, 3.0);
  image.SetCDelt(0, 0.5);
  image.m_FitsHeader.Add(Card("OBJECT", "'target'"));
  image.m_FitsHeader.Add(Card("A_ORDER", "2"));
  image.m_FitsHeader.Add(Card("A_2_0", "0.01"));
  image.m_FitsHeader.Add(Card("B_ORDER", "2"));
  image.m_FitsHeader.Add(Card("B_0_2", "-0.01"));
  image.m_FitsHeader.Add("END");
  return image;
}

TEST(ImgWcsTest, MirroredCoordinatesKeepTheSkyAtEveryPixelByAstropy) {
  if (!HaveAstropy()) GTEST_SKIP() << kPython << " cannot import astropy.wcs and numpy";
  TempDir dir;
  std::vector<Case> cases;
  for (int axis : {1, 2})
    for (Form form : {Form::kCd, Form::kPc, Form::kCdelt, Form::kSip, Form::kNoCrpix})
      for (bool fromSource : {false, true}) cases.push_back({axis, form, fromSource});

  std::ofstream list(dir.File("cases.txt"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name());
    CRalImage source = Blank();
    SetCoordinates(source, c.form);
    const std::string before = HeaderText(source);
    CRalImage target = c.fromSource ? OtherTarget() : Blank();
    if (!c.fromSource) SetCoordinates(target, c.form);
    ASSERT_EQ(CImgFlip(target).Do(c.axis == 1, c.fromSource ? &source : nullptr, 0), 1);
    // A card that is none of the coordinates' stays with the target.
    EXPECT_EQ(target.m_FitsHeader.Find("OBJECT") >= 0, c.fromSource);
    const std::string beforePath = dir.File(c.Name() + ".before.hdr");
    const std::string afterPath = dir.File(c.Name() + ".after.hdr");
    WriteFileOrDie(beforePath, before);
    WriteFileOrDie(afterPath, HeaderText(target));
    list << c.Name() << ' ' << c.axis << ' ' << beforePath << ' ' << afterPath << '\n';
  }
  list.close();

  const auto out = RunCommand(std::string(kPython) + " " + ShellQuote(WCS_MIRROR_SCRIPT) + " " +
                              ShellQuote(dir.File("cases.txt")));
  for (const Case& c : cases)
    EXPECT_NE(out.text.find("ok " + c.Name() + "\n"), std::string::npos) << c.Name();
  EXPECT_EQ(out.status, 0) << out.text;
}

TEST(ImgWcsTest, RewrittenSipCardKeepsItsPlaceAndComment) {
  CRalImage image = Blank();
  SetCoordinates(image, Form::kSip);
  const int at = image.m_FitsHeader.Find("A_2_0");
  const std::string untouched = image.m_FitsHeader.GetAt(image.m_FitsHeader.Find("A_1_1"));
  ASSERT_EQ(CImgFlip(image).Do(1, nullptr, 0), 1);
  // A_2_0 (even power of u) turns its sign under the left-right mirror, A_1_1 does not.
  std::string expected = "A_2_0   =             -0.00021 / distortion";
  expected.resize(80, ' ');
  EXPECT_EQ(image.m_FitsHeader.GetAt(at), expected);
  EXPECT_EQ(image.m_FitsHeader.GetAt(image.m_FitsHeader.Find("A_1_1")), untouched);
}

TEST(ImgWcsTest, ImagesWithoutCoordinatesAndOneDimensionalRowsGainNone) {
  CRalImage plain = Blank();
  ASSERT_EQ(CImgFlip(plain).Do(1, nullptr, 0), 1);
  ASSERT_EQ(CImgFlip(plain).Do(0, nullptr, 0), 1);
  EXPECT_FALSE(CImgWcs::HasWorldCoordinates(plain));

  // A spectrum read as one FITS row shown over several: it has no second FITS axis.
  CRalImage spectrum = Blank();
  spectrum.SetFirstFits(1);
  spectrum.SetCRPix(0, 5.0);
  spectrum.SetCDelt(0, 2.0);
  ASSERT_EQ(CImgFlip(spectrum).Do(0, nullptr, 0), 1);
  double v = 0;
  EXPECT_FALSE(spectrum.GetCRPix(1, &v));
  EXPECT_FALSE(spectrum.GetCDelt(1, &v));
  tagMATRIX2_2 m;
  EXPECT_EQ(spectrum.GetLTMtx(&m), 0);
  // A zero off-diagonal stays a plain zero, never written as "-0".
  CRalImage cd = Blank();
  cd.SetLTMtx({-1e-4, 0.0, 0.0, 1e-4}, 1);
  ASSERT_EQ(CImgFlip(cd).Do(0, nullptr, 0), 1);
  cd.GetLTMtx(&m);
  EXPECT_FALSE(std::signbit(m.m12));
  EXPECT_EQ(m.m22, -1e-4);
}

TEST(ImgWcsTest, FormatRealReadsBackExactlyInFitsForm) {
  for (double v : {1e-9, 0.045777764213996, M_PI, 1e300, 1e-300, -0.0, 123456789.123, 2147483648.0,
                   -32768.5, 5e-324, DBL_MAX, 1e21}) {
    const std::string text = CImgWcs::FormatReal(v);
    SCOPED_TRACE(text);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v);
    EXPECT_NE(text.find('.'), std::string::npos);
    EXPECT_EQ(text.find('e'), std::string::npos);
  }
  EXPECT_EQ(CImgWcs::FormatReal(-0.0), "0.0");
}

}  // namespace
