// The header editor's rules without Qt, where the dialog tests do not reach them: cards
// split as astropy splits them, the numbers of the axis settings, and the dispersion
// axis written into an image and read back by astropy from the saved file (fitsverify
// finds no error in it).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "engine/ralimage.h"
#include "fits/fits.h"
#include "fits/headeredit.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;
using namespace headeredit;

namespace {

// Runs a command and gives back what it printed; status receives its exit status.
std::string Capture(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  *status = ::pclose(pipe);
  return out;
}

bool HavePeers() {
  int status = 0;
  Capture("/usr/bin/python3 -c 'import astropy.io.fits' 2>/dev/null", &status);
  return status == 0 && std::system("command -v fitsverify >/dev/null 2>&1") == 0;
}

std::string Script() {
  return std::string("/usr/bin/python3 '") + HEADEREDIT_SCRIPT + "' ";
}

// Keyword, value and comment of every card agree with astropy's reading of it.
TEST(HeaderEditCard, PartsAgreeWithAstropy) {
  if (!HavePeers()) GTEST_SKIP() << "astropy or fitsverify is missing";
  const std::vector<std::string> cards = {
      "OBJECT  = 'M31     '           / the target",
      "OBSERVER= 'O''Neil'            / quote inside",
      "EXPTIME =                 60.5 / seconds",
      "NAXIS1  =                  512",
      "SIMPLE  =                    T / conforms",
      "TELESCOP= 'a/b slash'          / slash inside the string",
      "CRVAL1  =         6.563280E+03 / Physical value",
      "COMMENT   a plain comment card",
      "HISTORY  made by a test",
      "DATE-OBS= '2024-01-02T03:04:05'",
      "EMPTY   = ''                   / empty string",
      "NEG     =                 -7.0/no blank before",
  };
  TempDir dir;
  const std::string path = dir.File("cards.txt");
  {
    std::ofstream f(path);
    for (const std::string& c : cards) f << PadCard(c) << '\n';
  }
  int status = 0;
  const std::string out = Capture(Script() + "cards '" + path + "'", &status);
  ASSERT_EQ(status, 0) << out;
  std::istringstream lines(out);
  std::string line;
  for (const std::string& c : cards) {
    ASSERT_TRUE(std::getline(lines, line)) << c;
    std::vector<std::string> peer;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      peer.push_back(line.substr(start, tab - start));
    peer.push_back(line.substr(start));
    ASSERT_EQ(peer.size(), 3u) << line;
    const CardParts parts = ParseCard(PadCard(c));
    EXPECT_EQ(parts.keyword, peer[0]) << c;
    EXPECT_EQ(parts.comment, peer[2]) << c;
    if (parts.isString) {
      EXPECT_EQ(parts.value, peer[1]) << c;
    } else if (parts.valued && peer[1] != "T" && peer[1] != "F") {
      // Numbers: the same value, whatever the spelling.
      EXPECT_DOUBLE_EQ(std::strtod(parts.value.c_str(), nullptr),
                       std::strtod(peer[1].c_str(), nullptr))
          << c;
    } else {
      EXPECT_EQ(parts.value, peer[1]) << c;
    }
  }
}

TEST(HeaderEditAxis, NumbersAsTheSettingsShowThem) {
  const struct {
    double v;
    bool pixel;
    const char* text;
  } cases[] = {{1.0, true, "1.0"},          {12.34, true, "12.3"},    {-2.0, false, "-2.0"},
               {6563.28, false, "6563.28"}, {1e-5, false, "0.00001"}, {1e-9, false, "0.0"},
               {0.125, false, "0.125"},     {100.0, false, "100.0"}};
  for (const auto& c : cases) EXPECT_EQ(FormatAxisNumber(c.v, c.pixel), c.text) << c.v;
}

class HeaderEditAxisFile : public FitsTest {};

// Y axis, WAVE in log(m): the saved file carries CTYPE2 WAVE-LOG, CUNIT2 log(m) and
// DISPAXIS 2 as astropy reads them, no X axis type, and the PC matrix; fitsverify finds
// no error in it. A singular matrix changes nothing.
TEST_F(HeaderEditAxisFile, YAxisLogWavelengthReadByAstropy) {
  if (!HavePeers()) GTEST_SKIP() << "astropy or fitsverify is missing";
  CRalImage image(16, 8, -32, 1, 1.0, 0.0, 1);
  image.SetCType(0, "'RA---TAN'");
  image.SetCRVal(0, 10.0);
  AxisSettings s = LoadAxisSettings(image);
  s.axis = 2;
  s.type[1] = "WAVE";
  s.unit[1] = "log(m)";
  s.crpix[0] = 1.0;
  s.crpix[1] = 4.5;
  s.crval[1] = -6.5;
  s.cdelt[1] = 0.0001;
  s.matrix = true;
  s.mtx = {2.0, 1.0, 4.0, 2.0};  // determinant 0
  const AxisSettings untouched = LoadAxisSettings(image);
  EXPECT_EQ(ApplyAxisSettings(image, s), kAxisSingular);
  EXPECT_EQ(LoadAxisSettings(image), untouched);
  s.mtx = {1.0, 0.0, 0.5, 1.0};
  ASSERT_EQ(ApplyAxisSettings(image, s), kAxisOk);
  std::string text;
  image.GetCType(1, &text);
  EXPECT_EQ(text, "'WAVE-LOG'");
  image.GetCUnit(1, &text);
  EXPECT_EQ(text, "'log(m)'");

  const std::string path = Put("axis.fits", "");
  ASSERT_EQ(CFits::Write(image, path, nullptr, ""), FITS_OK);
  int status = 0;
  const std::string out = Capture(Script() + "axis '" + path + "'", &status);
  ASSERT_EQ(status, 0) << out;
  std::map<std::string, std::string> peer;
  std::istringstream lines(out);
  for (std::string key, value; lines >> key >> value;) peer[key] = value;
  EXPECT_EQ(peer["DISPAXIS"], "2");
  EXPECT_EQ(peer["CTYPE2"], "WAVE-LOG");
  EXPECT_EQ(peer["CUNIT2"], "log(m)");
  EXPECT_EQ(peer["CTYPE1"], "-");
  EXPECT_EQ(peer["CRVAL1"], "-");
  EXPECT_DOUBLE_EQ(std::strtod(peer["CRPIX2"].c_str(), nullptr), 4.5);
  EXPECT_DOUBLE_EQ(std::strtod(peer["CRVAL2"].c_str(), nullptr), -6.5);
  EXPECT_DOUBLE_EQ(std::strtod(peer["CDELT2"].c_str(), nullptr), 0.0001);
  EXPECT_DOUBLE_EQ(std::strtod(peer["PC2_1"].c_str(), nullptr), 0.5);
  const std::string verify = Capture("fitsverify '" + path + "' 2>&1", &status);
  // Only the dispersion axis is described, so fitsverify may miss the other axis's type
  // and value; anything else it says is a fault.
  EXPECT_NE(verify.find(" 0 error(s)"), std::string::npos) << verify;
  std::istringstream report(verify);
  for (std::string line; std::getline(report, line);) {
    if (line.find("*** Warning") == std::string::npos) continue;
    EXPECT_TRUE(line.find("CTYPEi keywords") != std::string::npos ||
                line.find("CRVALi keywords") != std::string::npos)
        << line;
  }

  // No axis clears it all again.
  s.axis = 0;
  ASSERT_EQ(ApplyAxisSettings(image, s), kAxisOk);
  int axis = -1;
  EXPECT_FALSE(image.GetDispAxis(&axis));
  EXPECT_FALSE(image.IsWCS());
}

}  // namespace
