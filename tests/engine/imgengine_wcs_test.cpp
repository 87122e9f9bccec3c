// World coordinates after every geometric operation, with astropy.wcs as the oracle: the
// sky at a star's old pixel must be the sky at its new pixel to 0.01 pixel, for each form
// of the coordinates (CD, PC with CDELT, CDELT alone, CD with SIP). New pixels come from
// each operation's documented geometry, worked out here on their own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 41, kH = 27;
enum Form { kCd, kPc, kCdelt, kSip };

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
  image.SetCRPix(0, 14.25);
  image.SetCRPix(1, 9.75);
  image.SetCRVal(0, 83.8221);
  image.SetCRVal(1, -5.3911);
  if (form == kCd || form == kSip) {
    image.SetLTMtx({-3.1e-4, 0.9e-4, 1.1e-4, 3.3e-4}, 1);
  } else {
    image.SetCDelt(0, -2.8e-4);
    image.SetCDelt(1, 3.1e-4);
  }
  if (form == kPc) image.SetLTMtx({0.94, -0.34, 0.35, 0.93}, 2);
  if (sip)
    for (const std::string poly : {"A", "B", "AP", "BP"}) {
      image.m_FitsHeader.Add(Card(poly + "_ORDER", "3"));
      for (int p = 0; p <= 3; ++p)
        for (int q = 2 - std::min(p, 2); p + q <= 3; ++q) {
          const double sign = poly[0] == 'A' ? 1 : -1, inv = poly.size() == 2 ? -1 : 1;
          const double c = sign * inv * ((p * 5 + q * 3) % 7 - 3.5) * (p + q == 2 ? 2e-4 : 3e-6);
          image.m_FitsHeader.Add(
              Card(poly + "_" + std::to_string(p) + "_" + std::to_string(q), FitsRealText(c)));
        }
    }
  return image;
}

std::string HeaderText(const CImage& image) {
  std::string text = Card("NAXIS", "2") + "\n" + Card("NAXIS1", std::to_string(image.GetWidth())) +
                     "\n" + Card("NAXIS2", std::to_string(image.GetHeight())) + "\n";
  auto add = [&](const std::string& key, double v) { text += Card(key, FitsRealText(v)) + "\n"; };
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

struct Op {
  std::string name;
  std::function<int(CRalImage&)> run;
  // Where 0-based pixel (x, y) of the 41 × 27 image lands.
  std::function<void(double, double, double*, double*)> moves;
};

// (x, y) turned by degrees about the centre of a w × h image into a tw × th one.
void Turn(double deg, double tw, double th, double x, double y, double* nx, double* ny) {
  const double t = deg * M_PI / 180, c = std::cos(t), s = std::sin(t);
  const double u = x - (kW - 1) / 2.0, v = y - (kH - 1) / 2.0;
  *nx = c * u - s * v + (tw - 1) / 2;
  *ny = s * u + c * v + (th - 1) / 2;
}

TEST(EngineWcsTest, TheSkyStaysUnderEveryStarByAstropy) {
  if (std::system("/usr/bin/python3 -c 'import astropy.wcs, scipy' 2>/dev/null") != 0)
    GTEST_SKIP() << "/usr/bin/python3 cannot import astropy.wcs";
  ScopedConfigHome home;
  const std::vector<Op> ops = {
      {"quarter_ccw", [](CRalImage& i) { return CImgRotate(i).Do90(0, nullptr, 0); },
       [](double x, double y, double* nx, double* ny) { *nx = kH - 1 - y, *ny = x; }},
      {"quarter_cw", [](CRalImage& i) { return CImgRotate(i).Do90(1, nullptr, 0); },
       [](double x, double y, double* nx, double* ny) { *nx = y, *ny = kW - 1 - x; }},
      {"half", [](CRalImage& i) { return CImgRotate(i).Do180(nullptr, 0); },
       [](double x, double y, double* nx, double* ny) { *nx = kW - 1 - x, *ny = kH - 1 - y; }},
      {"turn17_fixed", [](CRalImage& i) { return CImgRotate(i).Do(17, 1, nullptr, 0); },
       [](double x, double y, double* nx, double* ny) { Turn(17, kW, kH, x, y, nx, ny); }},
      // 41 × 27 turned by −35°: |cos| 41 + |sin| 27 = 49.07 and |sin| 41 + |cos| 27 = 45.63,
      // so 49 × 46.
      {"turn-35_grown", [](CRalImage& i) { return CImgRotate(i).Do(-35, 0, nullptr, 0); },
       [](double x, double y, double* nx, double* ny) { Turn(-35, 49, 46, x, y, nx, ny); }},
      {"shrink", [](CRalImage& i) { return CImgResolution(i).Do(nullptr, 20, 9, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = (x + 0.5) * 20 / kW - 0.5, *ny = (y + 0.5) * 9 / kH - 0.5;
       }},
      {"enlarge", [](CRalImage& i) { return CImgResolution(i).Do(nullptr, 100, 60, 0); },
       [](double x, double y, double* nx, double* ny) {
         *nx = (x + 0.5) * 100 / kW - 0.5, *ny = (y + 0.5) * 60 / kH - 0.5;
       }},
      {"scroll", [](CRalImage& i) { return CImgScroll(i).Do(5, -4, nullptr, 0); },
       [](double x, double y, double* nx, double* ny) { *nx = x + 5, *ny = y - 4; }},
  };
  // Stars away from the edges, so that none wraps round in the scroll.
  const double stars[][2] = {{10, 8}, {20.3, 13.7}, {30.5, 20}, {14.25 - 1, 9.75 - 1}};
  TempDir dir;
  std::ostringstream cases;
  std::vector<std::string> names;
  for (Form form : {kCd, kPc, kCdelt, kSip})
    for (const Op& op : ops) {
      const std::string name = op.name + "_" + std::to_string(form);
      const CRalImage before = Image(form);
      CRalImage after = before;
      ASSERT_EQ(op.run(after), 1) << name;
      WriteFileOrDie(dir.File(name + ".0.hdr"), HeaderText(before));
      WriteFileOrDie(dir.File(name + ".1.hdr"), HeaderText(after));
      cases << name << " wcs before=" << dir.File(name + ".0.hdr")
            << " after=" << dir.File(name + ".1.hdr") << " pairs=";
      for (const auto& s : stars) {
        double nx, ny;
        op.moves(s[0], s[1], &nx, &ny);
        cases << (&s == stars ? "" : ";") << s[0] << ',' << s[1] << ',' << nx << ',' << ny;
      }
      cases << '\n';
      names.push_back(name);
    }
  WriteFileOrDie(dir.File("cases.txt"), cases.str());
  const int status = std::system(("/usr/bin/python3 " ENGINE_OPS_SCRIPT " " +
                                  dir.File("cases.txt") + " > " + dir.File("out.txt") + " 2>&1")
                                     .c_str());
  const std::string out = ReadFileOrEmpty(dir.File("out.txt"));
  for (const std::string& name : names)
    EXPECT_NE(out.find("ok " + name + "\n"), out.npos) << name << "\n" << out;
  EXPECT_EQ(status, 0) << out;
}

}  // namespace
