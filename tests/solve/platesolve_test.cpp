// Plate solving's core without astrometry.net: a stand-in solve-field (a shell script)
// records what it was handed and answers as each case needs, so the star list, the
// options, the outcomes, the time limit and the cancel are checked on any machine. The
// xylist is read back by astropy. The real solver is exercised by tests/cli/solve_test.py.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/ralimage.h"
#include "imagemodel/fitsheader.h"
#include "settings/registry.h"
#include "solve/platesolve.h"
#include "tests/support/temp_dir.h"
#include "wcs/wcs.h"

namespace {

std::string Card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

// A solution header as solve-field leaves it: cards the solution keeps and cards it drops.
std::string WcsFile() {
  std::string text;
  for (const char* c : {"SIMPLE  =                    T",
                        "BITPIX  =                    8",
                        "NAXIS   =                    0",
                        "WCSAXES =                    2",
                        "CTYPE1  = 'RA---TAN-SIP'",
                        "CTYPE2  = 'DEC--TAN-SIP'",
                        "EQUINOX =               2000.0",
                        "LONPOLE =                  180",
                        "LATPOLE =                    0",
                        "CRVAL1  =        150.300000000",
                        "CRVAL2  =        32.7000000000",
                        "CRPIX1  =        512.500000000",
                        "CRPIX2  =        512.500000000",
                        "CUNIT1  = 'deg     '",
                        "CUNIT2  = 'deg     '",
                        "CD1_1   =    -0.000894970000000",
                        "CD1_2   =     0.000379900000000",
                        "CD2_1   =     0.000379900000000",
                        "CD2_2   =     0.000894970000000",
                        "IMAGEW  =                 1024",
                        "IMAGEH  =                 1024",
                        "A_ORDER =                    2",
                        "A_0_2   =    1.00000000000E-07",
                        "A_1_1   =   -2.00000000000E-07",
                        "A_2_0   =    3.00000000000E-07",
                        "B_ORDER =                    2",
                        "B_0_2   =    4.00000000000E-07",
                        "B_1_1   =    5.00000000000E-07",
                        "B_2_0   =   -6.00000000000E-07",
                        "HISTORY Created by the Astrometry.net suite.",
                        "END"})
    text += Card(c);
  text.resize(2880 * ((text.size() + 2879) / 2880), ' ');
  return text;
}

// The stand-in: copies its arguments and the star list into $FAKE_OUT, then acts as
// $FAKE_MODE says.
constexpr const char* kScript = R"(#!/bin/bash
out="$FAKE_OUT"
printf '%s\n' "$@" > "$out/args.txt"
for last; do :; done
cp "$last" "$out/stars.xyls"
wcs=; solved=; config=
while [ $# -gt 0 ]; do
  case "$1" in
    --wcs) wcs="$2"; shift ;;
    --solved) solved="$2"; shift ;;
    --config) config="$2"; shift ;;
  esac
  shift
done
cp "$config" "$out/solve.cfg"
echo "Field 1: solved with index index-test-09.fits."
case "$FAKE_MODE" in
  solve) cp "$out/solution.wcs" "$wcs"; touch "$solved" ;;
  garbage) echo "not a header" > "$wcs"; touch "$solved" ;;
  unsolved) ;;
  fail) exit 3 ;;
  hang) sleep 300 & echo $! > "$out/child.pid"; wait ;;
esac
exit 0
)";

class PlateSolveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = dir_.File("solve-field");
    WriteFileOrDie(script_, kScript);
    ASSERT_EQ(chmod(script_.c_str(), 0755), 0);
    index_ = dir_.File("index");
    ASSERT_EQ(mkdir(index_.c_str(), 0755), 0);
    WriteFileOrDie(index_ + "/index-test-09.fits", "");
    out_ = dir_.File("out");
    ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
    WriteFileOrDie(out_ + "/solution.wcs", WcsFile());
    setenv("FAKE_OUT", out_.c_str(), 1);
    options_.solveField = script_;
    options_.indexDir = index_;
    options_.timeout = 30;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> pos(1.0, 1000.0);
    for (int i = 0; i < 40; ++i) stars_.push_back({pos(rng), pos(rng), 1000.0 - 10.0 * i});
  }
  void TearDown() override { unsetenv("FAKE_MODE"); }

  int Solve(const char* mode, const std::function<bool()>& cancel = {}) {
    setenv("FAKE_MODE", mode, 1);
    return PlateSolveStars(stars_, 1024, 768, options_, &solution_, &message_, &log_, cancel);
  }

  std::vector<std::string> Args() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileOrEmpty(out_ + "/args.txt"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The value after an option in the arguments, or "(absent)".
  std::string After(const std::string& option) const {
    const std::vector<std::string> args = Args();
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == option) return args[i + 1];
    return "(absent)";
  }

  // Waits (without a time assertion) until the process is gone or a zombie.
  static bool Ended(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
      const std::string stat = ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
      const std::size_t close = stat.rfind(')');
      if (stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z"))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  TempDir dir_;
  std::string script_, index_, out_;
  PlateSolveOptions options_;
  std::vector<PlateSolveStar> stars_;
  PlateSolution solution_;
  std::string message_, log_;
};

TEST_F(PlateSolveTest, HandsOverTheBrightestStarsAndTheOptions) {
  options_.maxStars = 25;
  options_.scaleLow = 3.0;
  options_.scaleHigh = 4.5;
  options_.ra = 150.25;
  options_.dec = -32.5;
  options_.radius = 2.0;
  ASSERT_EQ(Solve("solve"), PSOLVE_OK) << message_;
  EXPECT_EQ(After("--width"), "1024");
  EXPECT_EQ(After("--height"), "768");
  EXPECT_EQ(After("--x-column"), "X");
  EXPECT_EQ(After("--y-column"), "Y");
  EXPECT_EQ(After("--sort-column"), "FLUX");
  EXPECT_EQ(After("--scale-units"), "arcsecperpix");
  EXPECT_EQ(After("--scale-low"), "3");
  EXPECT_EQ(After("--scale-high"), "4.5");
  EXPECT_EQ(After("--ra"), "150.25");
  EXPECT_EQ(After("--dec"), "-32.5");
  EXPECT_EQ(After("--radius"), "2");
  EXPECT_EQ(After("--cpulimit"), "30");
  const std::string config = ReadFileOrEmpty(out_ + "/solve.cfg");
  EXPECT_NE(config.find("add_path " + index_ + "\n"), std::string::npos) << config;

  // The xylist as astropy reads it: the 25 brightest, brightest first, values exact.
  const std::string command =
      "/usr/bin/python3 -c \"import sys; from astropy.io import fits; "
      "t = fits.open(sys.argv[1])[1].data; "
      "[print(repr(float(r['X'])), repr(float(r['Y'])), "
      "repr(float(r['FLUX']))) for r in t]\" " +
      out_ + "/stars.xyls";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<PlateSolveStar> read;
  double x, y, f;
  while (std::fscanf(pipe, "%lf %lf %lf", &x, &y, &f) == 3) read.push_back({x, y, f});
  if (pclose(pipe) != 0) GTEST_SKIP() << "astropy cannot read the star list (is it installed?)";
  ASSERT_EQ(read.size(), 25u);
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].x, stars_[i].x);
    EXPECT_EQ(read[i].y, stars_[i].y);
    EXPECT_EQ(read[i].flux, stars_[i].flux);
  }
}

TEST_F(PlateSolveTest, KeepsTheSolutionCardsAndAppliesThemOverOldCoordinates) {
  ASSERT_EQ(Solve("solve"), PSOLVE_OK) << message_;
  EXPECT_EQ(solution_.indexName, "index-test-09.fits");
  std::vector<std::string> keys;
  for (const std::string& c : solution_.cards) {
    EXPECT_EQ(c.size(), 80u);
    keys.push_back(c.substr(0, 8));
  }
  const std::vector<std::string> expected = {
      "CTYPE1  ", "CTYPE2  ", "EQUINOX ", "LONPOLE ", "LATPOLE ", "CRVAL1  ",
      "CRVAL2  ", "CRPIX1  ", "CRPIX2  ", "CUNIT1  ", "CUNIT2  ", "CD1_1   ",
      "CD1_2   ", "CD2_1   ", "CD2_2   ", "A_ORDER ", "A_0_2   ", "A_1_1   ",
      "A_2_0   ", "B_ORDER ", "B_0_2   ", "B_1_1   ", "B_2_0   "};
  EXPECT_EQ(keys, expected);

  // An image with another solution: a rotation, a PC matrix, projection parameters,
  // other SIP terms and a plate's solution, all of which would bend the new one.
  CRalImage image(1024, 1024, -32, 1, 1.0, 0.0, 1);
  CFitsHeader& header = image.m_FitsHeader;
  for (const char* c :
       {"CTYPE1  = 'RA---TAN-SIP'", "CTYPE2  = 'DEC--TAN-SIP'", "CRVAL1  =                 10.0",
        "CRVAL2  =                 20.0", "CRPIX1  =                100.0",
        "CRPIX2  =                100.0", "CDELT1  =               -0.001",
        "CDELT2  =                0.001", "PC1_1   =                  0.5",
        "PC1_2   =                  0.5", "PV2_1   =                  0.1",
        "A_ORDER =                    3", "A_3_0   =                 1E-5",
        "PLTRAH  =                    1", "OBJECT  = 'M 42    '"})
    header.Add(c);
  image.SetCType(0, "'RA---TAN-SIP'");
  image.SetCType(1, "'DEC--TAN-SIP'");
  image.SetCRVal(0, 10.0);
  image.SetCRVal(1, 20.0);
  image.SetCRPix(0, 100.0);
  image.SetCRPix(1, 100.0);
  image.SetCDelt(0, -0.001);
  image.SetCDelt(1, 0.001);
  image.SetPC(1);
  image.SetPCMtx({0.5, 0.5, 0.0, 1.0});
  image.SetLTMtx({0.5, 0.5, 0.0, 1.0}, 2);
  ASSERT_EQ(PlateSolveApply(image, solution_), 0);
  std::vector<std::string> cards;
  for (const std::string& c : header.Cards()) cards.push_back(c.substr(0, 8));
  for (const char* gone : {"CDELT1  ", "PC1_1   ", "PV2_1   ", "A_3_0   ", "PLTRAH  "})
    EXPECT_EQ(std::count(cards.begin(), cards.end(), gone), 0) << gone;
  for (const char* once : {"CTYPE1  ", "CD1_1   ", "A_ORDER ", "B_2_0   ", "OBJECT  "})
    EXPECT_EQ(std::count(cards.begin(), cards.end(), once), 1) << once;
  tagMATRIX2_2 m;
  EXPECT_EQ(image.GetLTMtx(&m), 1);
  EXPECT_DOUBLE_EQ(m.m11, -0.00089497);
  EXPECT_DOUBLE_EQ(m.m12, 0.0003799);
  EXPECT_DOUBLE_EQ(m.m21, 0.0003799);
  EXPECT_DOUBLE_EQ(m.m22, 0.00089497);
  double v = 0;
  EXPECT_FALSE(image.GetCDelt(0, &v));
  // At the reference pixel the sky is the reference value, SIP being zero there.
  tagAD ad;
  unsigned int kind = 0;
  ASSERT_EQ(CWCS().ToWCS2(&image, tagSFPoint{512.5, 512.5}, &ad, &kind, nullptr, nullptr), 1);
  EXPECT_NEAR(ad.a, 150.3, 1e-9);
  EXPECT_NEAR(ad.d, 32.7, 1e-9);
}

// The summary printed after a solve is the same wherever the field lies: across 0h, where
// right ascension jumps from 360° to 0°, the scale and the rotation are those of a field
// anywhere else.
TEST(PlateSolveSummaryTest, ScaleAndRotationHoldAcrossZeroHours) {
  const double scale = 3.5 / 3600.0, theta = 30.0 * M_PI / 180.0;
  PlateSolveSummary first;  // of the field away from 0h
  for (double ra : {150.3, 0.0, 359.9999, 0.0001}) {
    SCOPED_TRACE(ra);
    PlateSolution solution;
    char text[81];
    for (const auto& [key, value] :
         std::vector<std::pair<const char*, double>>{{"CRVAL1", ra},
                                                     {"CRVAL2", 24.1},
                                                     {"CRPIX1", 512.5},
                                                     {"CRPIX2", 512.5},
                                                     {"CD1_1", -scale * std::cos(theta)},
                                                     {"CD1_2", scale * std::sin(theta)},
                                                     {"CD2_1", scale * std::sin(theta)},
                                                     {"CD2_2", scale * std::cos(theta)}}) {
      std::snprintf(text, sizeof text, "%-8s= %20.12E", key, value);
      solution.cards.push_back(Card(text));
    }
    solution.cards.push_back(Card("CTYPE1  = 'RA---TAN'"));
    solution.cards.push_back(Card("CTYPE2  = 'DEC--TAN'"));
    CRalImage image(1024, 1024, -32, 1, 1.0, 0.0, 1);
    ASSERT_EQ(PlateSolveApply(image, solution), 0);
    PlateSolveSummary summary;
    ASSERT_TRUE(PlateSolveSummarize(image, &summary));
    EXPECT_NEAR(std::remainder(summary.ra - ra, 360.0), 0.0, 1e-9);
    EXPECT_NEAR(summary.dec, 24.1, 1e-9);
    // One pixel's step, measured on the sphere: within 1e-4 ″ and 1e-3 ° of the matrix's,
    // and the same wherever the field lies.
    EXPECT_NEAR(summary.scale, 3.5, 1e-4);
    EXPECT_NEAR(std::fabs(summary.rotation), 30.0, 1e-3);
    if (ra == 150.3) first = summary;
    EXPECT_NEAR(summary.scale, first.scale, 1e-8);
    EXPECT_NEAR(summary.rotation, first.rotation, 1e-8);
  }
}

// Hints as observers type them and as capture programs write them into headers.
TEST(PlateSolveHintTest, AnglesInDegreesOrSexagesimal) {
  struct Case {
    const char* text;
    bool ra;
    double expect;  // NAN: refused
  };
  const Case cases[] = {
      {"56.75", true, 56.75},
      {"03:47:24", true, 56.85},
      {"3 47 24.0", true, 56.85},
      {"03h47m24s", true, 56.85},
      {"3.79h", true, 56.85},
      {"23:59:59.9", true, 359.99958333333333},
      {"24:00:00", true, NAN},
      {"360", true, NAN},
      {"-1", true, NAN},
      {"03:60:00", true, NAN},
      {"03:47.5:10", true, NAN},  // a fraction before the last field
      {"3 47 24 1", true, NAN},
      {"abc", true, NAN},
      {"", true, NAN},
      {"+24:07:00", false, 24.116666666666667},
      {"-00 30 00", false, -0.5},
      {"-0.5", false, -0.5},
      {"24d07m", false, 24.116666666666667},
      {"90", false, 90.0},
      {"-90:00:01", false, NAN},
      {"12h", false, NAN},
      {"24:7:", false, 24.116666666666667},
      {"1..5", false, NAN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    double v = -1000.0;
    const bool ok = c.ra ? PlateSolveParseRa(c.text, &v) : PlateSolveParseDec(c.text, &v);
    if (std::isnan(c.expect)) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(v, -1000.0);
    } else {
      EXPECT_TRUE(ok);
      EXPECT_NEAR(v, c.expect, 1e-12);
    }
  }
}

TEST(PlateSolveHintTest, FromWorldCoordinatesElseTheTelescopeCards) {
  auto hint = [](const std::vector<std::string>& cards, double* ra, double* dec) {
    CRalImage image(64, 64, -32, 1, 1.0, 0.0, 1);
    for (const std::string& c : cards) image.m_FitsHeader.Add(Card(c));
    return PlateSolveHint(image, ra, dec);
  };
  double ra = 0.0, dec = 0.0;
  EXPECT_FALSE(hint({}, &ra, &dec));
  EXPECT_FALSE(hint({"RA      =                 56.8"}, &ra, &dec));  // no declination
  EXPECT_FALSE(
      hint({"RA      =                400.0", "DEC     =                 24.1"}, &ra, &dec));
  ASSERT_TRUE(
      hint({"RA      =                 56.8", "DEC     =                 24.1"}, &ra, &dec));
  EXPECT_DOUBLE_EQ(ra, 56.8);
  EXPECT_DOUBLE_EQ(dec, 24.1);
  // Strings are hours and degrees, a one-field right ascension included.
  ASSERT_TRUE(hint({"OBJCTRA = '03 47 24.0'", "OBJCTDEC= '+24 07 00'"}, &ra, &dec));
  EXPECT_NEAR(ra, 56.85, 1e-12);
  EXPECT_NEAR(dec, 24.116666666666667, 1e-12);
  ASSERT_TRUE(hint({"RA      = '3.79'", "DEC     = '-5.5'"}, &ra, &dec));
  EXPECT_NEAR(ra, 56.85, 1e-12);
  EXPECT_NEAR(dec, -5.5, 1e-12);
  // Unreadable RA/DEC fall through to OBJCTRA/OBJCTDEC.
  ASSERT_TRUE(hint({"RA      = 'unknown'", "DEC     = 'unknown'", "OBJCTRA = '12:00:00'",
                    "OBJCTDEC= '-30:00:00'"},
                   &ra, &dec));
  EXPECT_NEAR(ra, 180.0, 1e-12);
  EXPECT_NEAR(dec, -30.0, 1e-12);
  // World coordinates, when the image has them, come before the cards.
  CRalImage image(64, 64, -32, 1, 1.0, 0.0, 1);
  PlateSolution solution;
  for (const char* c : {"CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'",
                        "CRVAL1  =                150.3", "CRVAL2  =                 32.7",
                        "CRPIX1  =                 32.5", "CRPIX2  =                 32.5",
                        "CD1_1   =              -0.0003", "CD2_2   =               0.0003"})
    solution.cards.push_back(Card(c));
  ASSERT_EQ(PlateSolveApply(image, solution), 0);
  image.m_FitsHeader.Add(Card("RA      =                 56.8"));
  image.m_FitsHeader.Add(Card("DEC     =                 24.1"));
  ASSERT_TRUE(PlateSolveHint(image, &ra, &dec));
  EXPECT_NEAR(ra, 150.3, 1e-9);
  EXPECT_NEAR(dec, 32.7, 1e-9);
}

TEST_F(PlateSolveTest, OutcomesWithoutASolution) {
  EXPECT_EQ(Solve("unsolved"), PSOLVE_NO_SOLUTION);
  EXPECT_NE(message_.find("no solution"), std::string::npos) << message_;
  EXPECT_NE(log_.find("solved with index"), std::string::npos) << log_;
  EXPECT_EQ(Solve("fail"), PSOLVE_FAILED);
  EXPECT_NE(message_.find("exit status 3"), std::string::npos) << message_;
  EXPECT_EQ(Solve("garbage"), PSOLVE_FAILED);
  EXPECT_NE(message_.find("cannot be read"), std::string::npos) << message_;
}

TEST_F(PlateSolveTest, TimeLimitAndCancelStopTheProgramAndItsChildren) {
  options_.timeout = 0.5;
  EXPECT_EQ(Solve("hang"), PSOLVE_NO_SOLUTION);
  EXPECT_NE(message_.find("within 0.5 seconds"), std::string::npos) << message_;
  const pid_t first = std::atoi(ReadFileOrEmpty(out_ + "/child.pid").c_str());
  ASSERT_GT(first, 0);
  EXPECT_TRUE(Ended(first));

  options_.timeout = 3600;
  int polls = 0;
  EXPECT_EQ(Solve("hang", [&] { return ++polls > 10; }), PSOLVE_CANCELLED);
  EXPECT_GT(polls, 10);
  const pid_t second = std::atoi(ReadFileOrEmpty(out_ + "/child.pid").c_str());
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  EXPECT_TRUE(Ended(second));
}

TEST_F(PlateSolveTest, MissingProgramIndexFilesOrStarsNameTheRemedy) {
  options_.solveField = dir_.File("no-such-program");
  EXPECT_EQ(Solve("solve"), PSOLVE_NO_PROGRAM);
  EXPECT_NE(message_.find("install the packages astrometry.net"), std::string::npos) << message_;

  options_.solveField = script_;
  options_.indexDir = dir_.File("empty");
  ASSERT_EQ(mkdir(options_.indexDir.c_str(), 0755), 0);
  EXPECT_EQ(Solve("solve"), PSOLVE_NO_INDEX);
  EXPECT_NE(message_.find(options_.indexDir), std::string::npos) << message_;
  EXPECT_NE(message_.find("astrometry-data-tycho2"), std::string::npos) << message_;
  // The program was not started.
  EXPECT_EQ(ReadFileOrEmpty(out_ + "/args.txt"), "");

  options_.indexDir = index_;
  stars_.resize(3);
  EXPECT_EQ(Solve("solve"), PSOLVE_FEW_STARS);
}

TEST_F(PlateSolveTest, IndexFolderFromTheSettingUnlessGiven) {
  ScopedConfigHome config;
  EXPECT_EQ(PlateSolveIndexDir(""), kPlateSolveDefaultIndexDir);
  ASSERT_EQ(CRegistry::Write(kPlateSolveSection, kPlateSolveIndexDirKey, index_), 1);
  EXPECT_EQ(PlateSolveIndexDir(""), index_);
  EXPECT_EQ(PlateSolveIndexDir("/elsewhere"), "/elsewhere");
}

TEST(PlateSolveOptionsTest, RefusesIncompleteOrOutOfRangeOptions) {
  auto why = [](auto change) {
    PlateSolveOptions o;
    change(o);
    return PlateSolveCheckOptions(o);
  };
  EXPECT_EQ(why([](PlateSolveOptions&) {}), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.scaleLow = 1; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.scaleLow = 2, o.scaleHigh = 1; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.scaleLow = 0, o.scaleHigh = 1; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.ra = 10, o.dec = 10; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.ra = 360, o.dec = 10, o.radius = 1; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.ra = 10, o.dec = 91, o.radius = 1; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.ra = 10, o.dec = 10, o.radius = 0; }), "");
  EXPECT_EQ(why([](PlateSolveOptions& o) { o.ra = 0, o.dec = -90, o.radius = 180; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.timeout = 0; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.timeout = NAN; }), "");
  EXPECT_NE(why([](PlateSolveOptions& o) { o.indexDir = "a\nadd_path /x"; }), "");
}

// The detection's stars: 1-based positions to a few hundredths of a pixel on a noisy sky,
// brightest first.
TEST(PlateSolveDetectTest, FindsStarsAtTheirCentresBrightestFirst) {
  const int w = 200, h = 150;
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  struct Truth {
    double x, y, amp;
  } truth[] = {{40.3, 30.7, 900}, {150.8, 40.2, 3000}, {100.45, 110.6, 1800}, {20.1, 120.9, 500}};
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 3.0);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double v = 200.0 + noise(rng);
      for (const Truth& t : truth)
        v += t.amp * std::exp(-((x - t.x) * (x - t.x) + (y - t.y) * (y - t.y)) / (2 * 1.3 * 1.3));
      row[static_cast<std::size_t>(x)] = v;
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  const std::vector<PlateSolveStar> stars = PlateSolveDetect(image, 3.0);
  ASSERT_GE(stars.size(), 4u);
  const int order[] = {1, 2, 0, 3};
  for (int i = 0; i < 4; ++i) {
    const Truth& t = truth[order[i]];
    EXPECT_NEAR(stars[static_cast<std::size_t>(i)].x, t.x + 1.0, 0.05) << i;
    EXPECT_NEAR(stars[static_cast<std::size_t>(i)].y, t.y + 1.0, 0.05) << i;
    // The 7 x 7 box holds nearly all of a star of this width.
    EXPECT_NEAR(stars[static_cast<std::size_t>(i)].flux, t.amp * 2 * M_PI * 1.3 * 1.3,
                0.03 * t.amp * 2 * M_PI * 1.3 * 1.3)
        << i;
  }
  for (std::size_t i = 4; i < stars.size(); ++i) EXPECT_LT(stars[i].flux, stars[3].flux);
}

}  // namespace
