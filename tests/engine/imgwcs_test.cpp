// Mirrored world coordinates, with astropy.wcs as the oracle: for each axis and each form
// of the coordinates (CD; PC with CDELT; CDELT alone; CD with SIP; no reference pixel),
// in place and from a separate source, the sky at every pixel before the mirror is the
// sky at its mirrored pixel after it. The headers are rendered from the image model at
// full precision, so astropy sees what the operation did and no writer's formatting.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/imgflip.h"
#include "engine/imgwcs.h"
#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wcs_mirror.h"

namespace {

constexpr int kW = 37, kH = 23;  // odd and unequal, so the axes cannot be confused
enum Form { kCd, kPc, kCdelt, kSip, kNoCrpix };
const char* const kFormName[] = {"cd", "pc", "cdelt", "sip", "nocrpix"};

std::string Card(const std::string& key, const std::string& value) {
  std::string card = FitsKeyword(key) + "= ";
  card.append(value.size() < 20 ? 20 - value.size() : 0, ' ');
  card += value;
  card.resize(80, ' ');
  return card;
}

CRalImage Image(Form form) {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  const bool sip = form == kSip;
  image.SetCType(0, sip ? "'RA---TAN-SIP'" : "'RA---TAN'");
  image.SetCType(1, sip ? "'DEC--TAN-SIP'" : "'DEC--TAN'");
  if (form != kNoCrpix) {
    image.SetCRPix(0, 12.25);
    image.SetCRPix(1, 17.75);
  }
  image.SetCRVal(0, 83.8221);
  image.SetCRVal(1, -5.3911);
  if (form == kCd || form == kSip) {
    image.SetLTMtx({-3.1e-4, 0.9e-4, 1.1e-4, 3.3e-4}, 1);  // rotated and skewed
  } else {
    image.SetCDelt(0, -2.8e-4);
    image.SetCDelt(1, 3.1e-4);
  }
  if (form == kPc) image.SetLTMtx({0.94, -0.34, 0.35, 0.93}, 2);
  if (sip)
    for (const std::string poly : {"A", "B", "AP", "BP"}) {
      image.m_FitsHeader.Add(Card(poly + "_ORDER", "3"));
      // Every term of orders 2 and 3, so each power appears odd and even.
      for (int p = 0; p <= 3; ++p)
        for (int q = 2 - std::min(p, 2); p + q <= 3; ++q) {
          const double c =
              ((p * 5 + q * 3 + poly[0] + 2 * poly.size()) % 7 - 3.5) * (p + q == 2 ? 4e-5 : 6e-7);
          image.m_FitsHeader.Add(Card(poly + "_" + std::to_string(p) + "_" + std::to_string(q),
                                      FitsRealText(c)));
        }
    }
  return image;
}

std::string HeaderText(const CImage& image) {
  std::string text = Card("NAXIS", "2") + "\n" + Card("NAXIS1", std::to_string(kW)) + "\n" +
                     Card("NAXIS2", std::to_string(kH)) + "\n";
  auto add = [&](const std::string& key, double v) {
    text += Card(key, FitsRealText(v)) + "\n";
  };
  std::string type;
  double v;
  for (int a = 0; a < 2; ++a) {
    const std::string n = std::to_string(a + 1);
    if (image.GetCType(a, &type)) text += Card("CTYPE" + n, type) + "\n";
    if (image.GetCRPix(a, &v)) add("CRPIX" + n, v);
    if (image.GetCRVal(a, &v)) add("CRVAL" + n, v);
    if (image.GetCDelt(a, &v)) add("CDELT" + n, v);
  }
  tagMATRIX2_2 m;
  if (const int kind = image.GetLTMtx(&m); kind == 1 || kind == 2) {
    const std::string x = kind == 1 ? "CD" : "PC";
    add(x + "1_1", m.m11);
    add(x + "1_2", m.m12);
    add(x + "2_1", m.m21);
    add(x + "2_2", m.m22);
  }
  for (const std::string& card : image.m_FitsHeader.Cards()) text += card + "\n";
  return text + "END\n";
}

TEST(ImgWcsTest, MirrorKeepsTheSkyAtEveryPixelByAstropy) {
  if (std::system("/usr/bin/python3 -c 'import astropy.wcs' 2>/dev/null") != 0)
    GTEST_SKIP() << "/usr/bin/python3 cannot import astropy.wcs (python3-astropy)";
  TempDir dir;
  std::ofstream cases(dir.File("cases.txt"));
  std::vector<std::string> names;
  for (int axis : {1, 2})
    for (Form form : {kCd, kPc, kCdelt, kSip, kNoCrpix})
      for (bool fromSource : {false, true}) {
        const std::string name = std::string(axis == 1 ? "x_" : "y_") + kFormName[form] +
                                 (fromSource ? "_source" : "_inplace");
        const CRalImage before = Image(form);
        CRalImage after = Image(form);
        if (fromSource) {
          // Coordinates of its own, SIP terms that would bend the sky if they stayed, and
          // a card that is none of the coordinates'.
          after = Image(kCdelt);
          after.SetCRVal(0, 10.0);
          after.m_FitsHeader.Add(Card("A_ORDER", "2"));
          after.m_FitsHeader.Add(Card("A_2_0", "0.01"));
          after.m_FitsHeader.Add(Card("OBJECT", "'target'"));
        }
        ASSERT_EQ(CImgFlip(after).Do(axis == 1, fromSource ? &before : nullptr, 0), 1) << name;
        EXPECT_EQ(after.m_FitsHeader.Find("OBJECT") >= 0, fromSource) << name;
        WriteFileOrDie(dir.File(name + ".0.hdr"), HeaderText(before));
        WriteFileOrDie(dir.File(name + ".1.hdr"), HeaderText(after));
        cases << name << ' ' << axis << ' ' << dir.File(name + ".0.hdr") << ' '
              << dir.File(name + ".1.hdr") << '\n';
        names.push_back(name);
      }
  cases.close();
  ExpectMirrorCheckPasses(dir, names);
}

TEST(ImgWcsTest, PlainImagesOneDimensionalRowsZerosAndCards) {
  CRalImage plain(kW, kH, -32, 1, 1.0, 0.0, 1);
  ASSERT_EQ(CImgFlip(plain).Do(1, nullptr, 0), 1);
  EXPECT_FALSE(CImgWcs::HasWorldCoordinates(plain));  // no coordinates appear

  // A spectrum read as one FITS row has no second axis to mirror.
  CRalImage spectrum = Image(kCdelt);
  spectrum.SetFirstFits(1);
  ASSERT_EQ(CImgFlip(spectrum).Do(0, nullptr, 0), 1);
  double v = 0;
  spectrum.GetCRPix(1, &v);
  EXPECT_EQ(v, 17.75);

  // A zero matrix element stays a plain zero; a rewritten card keeps its place and comment.
  CRalImage sip = Image(kSip);
  sip.SetLTMtx({-1e-4, 0.0, 0.0, 1e-4}, 1);
  const int at = sip.m_FitsHeader.Find("A_2_0");
  sip.m_FitsHeader.SetAt(at, "A_2_0   =               2.1E-4 / distortion");
  ASSERT_EQ(CImgFlip(sip).Do(1, nullptr, 0), 1);
  tagMATRIX2_2 m;
  sip.GetLTMtx(&m);
  EXPECT_FALSE(std::signbit(m.m21));
  std::string card = "A_2_0   =             -0.00021 / distortion";
  card.resize(80, ' ');
  EXPECT_EQ(sip.m_FitsHeader.GetAt(at), card);

  // Card values read back as the same double, in a form FITS accepts.
  for (double x : {1e-9, 0.045777764213996, M_PI, 1e300, -5e-324, 2147483648.0, -32768.5}) {
    const std::string text = FitsRealText(x);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
    EXPECT_TRUE(text.find('.') != text.npos && text.find('e') == text.npos) << text;
  }
  EXPECT_EQ(FitsRealText(-0.0), "0.0");
}

// A scanned plate's solution places the image by the corner of the scan: a cut moves
// the corner with the grid; a mirror, which the solution cannot describe, drops it (the
// matrix mirrored above then tells the sky), leaving the other cards.
TEST(ImgWcsTest, PlateSolutionFollowsACutAndGoesWithAMirror) {
  CRalImage image = Image(kCd);
  image.m_FitsHeader.Add(Card("PLTRAH", "14"));
  image.m_FitsHeader.Add(Card("CNPIX1", "8860"));
  image.m_FitsHeader.Add(Card("CNPIX2", "1708"));
  image.m_FitsHeader.Add(Card("AMDX1", "67.226158492105"));
  image.m_FitsHeader.Add(Card("OBJECT", "'dss126604'"));
  CImgWcs::Shift(image, 20, 10);
  const auto value = [&](const char* key) {
    const int i = image.m_FitsHeader.Find(key);
    return i < 0 ? -1.0 : std::strtod(image.m_FitsHeader.GetAt(i).c_str() + 10, nullptr);
  };
  EXPECT_EQ(value("CNPIX1"), 8880.0);
  EXPECT_EQ(value("CNPIX2"), 1718.0);
  EXPECT_EQ(value("AMDX1"), 67.226158492105);
  ASSERT_EQ(CImgFlip(image).Do(1, nullptr, 0), 1);
  for (const char* key : {"PLTRAH", "CNPIX1", "CNPIX2", "AMDX1"})
    EXPECT_LT(image.m_FitsHeader.Find(key), 0) << key;
  EXPECT_GE(image.m_FitsHeader.Find("OBJECT"), 0);
}

}  // namespace
