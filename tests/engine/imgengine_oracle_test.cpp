// The arithmetic, compositing and geometry operations against numpy and scipy: each test
// writes its inputs and the engine's outputs as float64 arrays with one case a line, and
// engine_ops_check.py runs the oracle once over all of them. Inputs are random frames made
// here and a real camera frame from astropy's test data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "engine/imgcalc.h"
#include "engine/imgcomposit.h"
#include "engine/imgfilter.h"
#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"

namespace {

const char* const kRealFrame =
    "/usr/lib/python3/dist-packages/astropy/io/fits/tests/data/o4sp040b0_raw.fits";

bool HaveOracle() {
  return std::system("/usr/bin/python3 -c 'import scipy.ndimage, astropy.wcs' 2>/dev/null") == 0;
}

// A frame of random values with a few NaN (float) and a bright source or two, so the
// saturation repair and the contours have something to find.
CRalImage Random(int w, int h, int planes, int bits, std::uint32_t seed, bool nans = true) {
  CRalImage img(w, h, bits, planes, 1.0, 0.0, 1);
  std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        const double r = static_cast<double>(s % 1000000) / 1000000.0;
        const double star =
            900.0 *
            std::exp(-((x - w / 3.0) * (x - w / 3.0) + (y - h / 2.0) * (y - h / 2.0)) / 8.0);
        row[x] = std::round((r * 200.0 - 50.0 + star) * 16.0) / 16.0;
        if (nans && bits < 0 && s % 97 == 3) row[x] = std::numeric_limits<double>::quiet_NaN();
      }
      img.SetPhysicalRow(y, p, row.data());
    }
  return img;
}

class Oracle {
 public:
  // Writes an image as float64 (planes, h, w) and gives its key=PATH:P,H,W.
  std::string Array(const CImage& img) {
    const std::string path = dir_.File("a" + std::to_string(files_++) + ".bin");
    std::ofstream out(path, std::ios::binary);
    std::vector<double> row(static_cast<std::size_t>(img.GetWidth()));
    for (int p = 0; p < img.GetPlanes(); ++p)
      for (int y = 0; y < img.GetHeight(); ++y) {
        EXPECT_EQ(img.GetPhysicalRow(y, p, row.data()), 1);
        out.write(reinterpret_cast<const char*>(row.data()),
                  static_cast<std::streamsize>(row.size() * sizeof(double)));
      }
    return path + ":" + std::to_string(img.GetPlanes()) + "," + std::to_string(img.GetHeight()) +
           "," + std::to_string(img.GetWidth());
  }
  void Case(const std::string& name, const std::string& line) {
    names_.push_back(name);
    cases_ << name << ' ' << line << '\n';
  }
  void Check() {
    const std::string list = dir_.File("cases.txt"), log = dir_.File("out.txt");
    WriteFileOrDie(list, cases_.str());
    const int status = std::system(
        ("/usr/bin/python3 " ENGINE_OPS_SCRIPT " " + list + " > " + log + " 2>&1").c_str());
    const std::string out = ReadFileOrEmpty(log);
    for (const std::string& name : names_)
      EXPECT_NE(out.find("ok " + name + "\n"), out.npos) << name << "\n" << out;
    EXPECT_EQ(status, 0) << out;
  }
  // The real frame as a 32-bit float image (its 16-bit values are exact there).
  CRalImage RealFrame() {
    const std::string path = dir_.File("real.bin");
    FILE* pipe = popen(
        ("/usr/bin/python3 " ENGINE_OPS_SCRIPT " export " + std::string(kRealFrame) + " 1 " + path)
            .c_str(),
        "r");
    int w = 0, h = 0, planes = 0;
    if (!pipe || std::fscanf(pipe, "%d %d %d", &w, &h, &planes) != 3) w = 0;
    if (pipe) pclose(pipe);
    if (w <= 0) return CRalImage();
    CRalImage img(w, h, -32, planes, 1.0, 0.0, 1);
    std::ifstream in(path, std::ios::binary);
    std::vector<double> row(static_cast<std::size_t>(w));
    for (int p = 0; p < planes; ++p)
      for (int y = 0; y < h; ++y) {
        in.read(reinterpret_cast<char*>(row.data()),
                static_cast<std::streamsize>(row.size() * sizeof(double)));
        img.SetPhysicalRow(y, p, row.data());
      }
    return img;
  }

 private:
  TempDir dir_;
  int files_ = 0;
  std::vector<std::string> names_;
  std::ostringstream cases_;
};

class EngineOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveOracle()) GTEST_SKIP() << "/usr/bin/python3 lacks scipy or astropy";
  }
  ScopedConfigHome home_;
  Oracle oracle_;
};

TEST_F(EngineOracleTest, GeometryMatchesNumpyAndScipy) {
  const CRalImage real = oracle_.RealFrame();
  ASSERT_FALSE(real.IsEmpty()) << "cannot read " << kRealFrame;
  struct Input {
    std::string name;
    CRalImage image;
  };
  const Input inputs[] = {{"float", Random(37, 23, 2, -32, 1)},
                          {"double", Random(30, 41, 1, -64, 2)},
                          {"int16", Random(26, 19, 1, 16, 3)},
                          {"real", real}};
  for (const Input& in : inputs) {
    const std::string a = oracle_.Array(in.image);
    for (int clockwise : {0, 1}) {
      CRalImage img = in.image;
      ASSERT_EQ(CImgRotate(img).Do90(clockwise, nullptr, 0), 1);
      oracle_.Case(in.name + "_quarter" + std::to_string(clockwise),
                   "rot90 k=" + std::string(clockwise ? "1" : "-1") + " in=" + a +
                       " out=" + oracle_.Array(img));
    }
    CRalImage half = in.image;
    ASSERT_EQ(CImgRotate(half).Do180(nullptr, 0), 1);
    oracle_.Case(in.name + "_half", "rot90 k=2 in=" + a + " out=" + oracle_.Array(half));

    CRalImage scrolled;
    ASSERT_EQ(CImgScroll(scrolled).Do(-7, 4, &in.image, 0), 1);
    oracle_.Case(in.name + "_scroll",
                 "scroll dx=-7 dy=4 in=" + a + " out=" + oracle_.Array(scrolled));

    // Rounding to integers would exceed the oracle's tolerance: floats only.
    if (in.image.GetBitsPixel() > 0) continue;
    for (double angle : {17.0, -33.5, 120.0})
      for (int fixed : {0, 1}) {
        CRalImage img = in.image;
        ASSERT_EQ(CImgRotate(img).Do(angle, fixed, nullptr, 0), 1);
        std::ostringstream line;
        line << "rotate angle=" << angle << " fixed=" << fixed << " in=" << a
             << " out=" << oracle_.Array(img);
        oracle_.Case(in.name + "_rotate" + std::to_string(static_cast<int>(angle)) + "_" +
                         std::to_string(fixed),
                     line.str());
      }
    const int w = in.image.GetWidth(), h = in.image.GetHeight();
    CRalImage big;
    ASSERT_EQ(CImgResolution(big).Do(&in.image, w * 5 / 2, h * 2 + 1, 0), 1);
    // A 32-bit float result holds the interpolation to float precision.
    const char* rtol = in.image.GetBitsPixel() == -32 ? " rtol=1e-6" : "";
    oracle_.Case(in.name + "_enlarge", "enlarge in=" + a + " out=" + oracle_.Array(big) + rtol);
  }
  // Shrinking by whole factors, each axis its own, against block means.
  const CRalImage even = Random(36, 24, 2, -64, 4);
  const std::string a = oracle_.Array(even);
  for (const auto& [fx, fy] : {std::pair{2, 2}, {3, 4}, {1, 3}, {36, 1}}) {
    CRalImage img = even;
    ASSERT_EQ(CImgResolution(img).Do(nullptr, 36 / fx, 24 / fy, 0), 1);
    oracle_.Case("shrink" + std::to_string(fx) + "x" + std::to_string(fy),
                 "shrink in=" + a + " out=" + oracle_.Array(img));
  }
  CRalImage halfReal;
  ASSERT_EQ(CImgResolution(halfReal).Do(&real, real.GetWidth() / 2, real.GetHeight() / 2, 1), 1);
  oracle_.Case("real_shrink",
               "shrink in=" + oracle_.Array(real) + " out=" + oracle_.Array(halfReal));
  oracle_.Check();
}

TEST_F(EngineOracleTest, ArithmeticCompositingAndContoursMatchNumpy) {
  const CRalImage a = Random(33, 21, 2, -64, 5), b = Random(33, 21, 2, -64, 6);
  CRalImage zeros = b;  // the divisor has zeros
  ASSERT_EQ(CImgCalculation(zeros).Do(0.5, CImgCalculation::kMultiply, 0, nullptr, nullptr, 0), 1);
  {
    std::vector<double> row(33);
    zeros.GetPhysicalRow(3, 1, row.data());
    for (int x = 0; x < 33; x += 3) row[x] = 0;
    zeros.SetPhysicalRow(3, 1, row.data());
  }
  const std::string sa = oracle_.Array(a), sb = oracle_.Array(zeros);
  for (int op = 0; op < 4; ++op)
    for (double value : {2.5, -3.0, 0.0})
      for (int cut : {0, 1}) {
        CRalImage out;
        ASSERT_EQ(CImgCalculation(out = a).Do(value, op, cut, &a, nullptr, 0), 1);
        std::ostringstream line, name;
        line << "calc op=" << op << " value=" << value << " cut=" << cut << " in=" << sa
             << " out=" << oracle_.Array(out);
        name << "calc" << op << "_" << value << "_" << cut;
        oracle_.Case(name.str(), line.str());
      }
  for (int method = 0; method <= 9; ++method)
    for (int cut : {0, 1}) {
      CRalImage out = a;
      // Rate 0.3 for the weighted average, 1.7 for the saturation repair.
      const double rate = method == 9 ? 1.7 : 0.3;
      ASSERT_EQ(
          CImgComposit(out).Do(&a, &zeros, 0, 0, 0, method, rate, 0, cut, 0.6, 2, nullptr, 0, -1),
          1);
      std::ostringstream line;
      line << "composit method=" << method << " rate=" << rate << " cut=" << cut
           << " sat=0.6 band=2 in=" << sa << " other=" << sb << " out=" << oracle_.Array(out);
      oracle_.Case("composit" + std::to_string(method) + "_" + std::to_string(cut), line.str());
    }
  // A whole-pixel shift moves the other image exactly; where it has no value the source
  // stays.
  for (int method : {0, 3, 7}) {
    CRalImage out = a;
    ASSERT_EQ(CImgComposit(out).Do(nullptr, &b, 4, -3, 0, method, 0, 0, 0, 0, 0, nullptr, 1, -1),
              1);
    oracle_.Case("shifted" + std::to_string(method),
                 "composit dx=4 dy=-3 method=" + std::to_string(method) + " in=" + sa +
                     " other=" + oracle_.Array(b) + " out=" + oracle_.Array(out));
  }
  // Levelled values: the other image's display levels are brought onto the target's.
  {
    CRalImage out = a, levelled = b;
    out.SetLevel(0, -20, 300);
    out.SetLevel(1, 0, 100);
    levelled.SetLevel(0, 10, 90);
    levelled.SetLevel(1, -5, 500);
    ASSERT_EQ(CImgComposit(out).Do(&a, &levelled, 0, 0, 0, CImgComposit::kSubtract, 0, 1, 0, 0, 0,
                                   nullptr, 0, -1),
              1);
    oracle_.Case("levelled", "composit method=3 levels=10,90,-20,300,-5,500,0,100 in=" + sa +
                                 " other=" + oracle_.Array(b) + " out=" + oracle_.Array(out));
  }
  // The weighted average at rate 1 is the other image turned onto the source's grid.
  const CRalImage whole = Random(33, 21, 2, -64, 7, false);
  CRalImage turned = Random(33, 21, 2, -64, 8, false);
  ASSERT_EQ(
      CImgComposit(turned).Do(nullptr, &whole, 0, 0, 21, 2, 1.0, 0, 0, 0, 0, nullptr, 1, 2343), 1);
  oracle_.Case("composit_turned", "rotate angle=21 fixed=1 in=" + oracle_.Array(whole) +
                                      " out=" + oracle_.Array(turned));
  // The real frame with itself turned half round: the difference, the saturation repair
  // and the contours of a camera frame.
  const CRalImage real = oracle_.RealFrame();
  ASSERT_FALSE(real.IsEmpty()) << "cannot read " << kRealFrame;
  CRalImage turnedReal = real;
  ASSERT_EQ(CImgRotate(turnedReal).Do180(nullptr, 0), 1);
  const std::string sr = oracle_.Array(real), st = oracle_.Array(turnedReal);
  for (int method : {CImgComposit::kDifference, CImgComposit::kNbr}) {
    CRalImage out = real;
    ASSERT_EQ(CImgComposit(out).Do(nullptr, &turnedReal, 0, 0, 0, method, 0.5, 0, 0, 0.9, 1,
                                   nullptr, 0, -1),
              1);
    oracle_.Case("real_composit" + std::to_string(method),
                 "composit method=" + std::to_string(method) + " rate=0.5 sat=0.9 band=1 in=" + sr +
                     " other=" + st + " out=" + oracle_.Array(out));
  }
  CRalImage realContour = real;
  ASSERT_EQ(CImgFilter(realContour).ContourFilter(3, 1, nullptr, nullptr, 0), 1);
  oracle_.Case("real_contour",
               "contour step=3 mode=1 in=" + sr + " out=" + oracle_.Array(realContour));
  for (int mode : {0, 1})
    for (double step : {25.0, 110.0}) {
      CRalImage out = a;
      ASSERT_EQ(CImgFilter(out).ContourFilter(step, mode, nullptr, nullptr, 0), 1);
      std::ostringstream line, name;
      line << "contour step=" << step << " mode=" << mode << " in=" << sa
           << " out=" << oracle_.Array(out);
      name << "contour" << mode << "_" << step;
      oracle_.Case(name.str(), line.str());
    }
  oracle_.Check();
}

}  // namespace
