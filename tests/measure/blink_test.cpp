// The blink frame list (order, removal, shifts and their index errors) and the frames
// prepared for showing, whose display bytes numpy computes independently.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "measure/blink.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(BlinkTarget, ThreeFramesRunInOrderAndWrap) {
  CRalImage a, b, c;
  CBlinkTarget t;
  EXPECT_EQ(t.GetBlinkItem(), nullptr);
  t.Add(&a, CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION);
  t.Add(&b, CImageBuffer::CM_NEGATIVE, CImageBuffer::CT_CYAN);
  t.Add(&c, CImageBuffer::CM_FALSE_COLOR, CImageBuffer::CT_RAINBOW);
  std::vector<CRalImage*> shown;
  for (int i = 0; i < 7; ++i) {
    shown.push_back(t.GetBlinkItem()->m_pImage);
    t.Next();
  }
  EXPECT_EQ(shown, (std::vector<CRalImage*>{&a, &b, &c, &a, &b, &c, &a}));
  EXPECT_EQ(t.GetItem(1)->m_nColorMode, CImageBuffer::CM_NEGATIVE);
  EXPECT_EQ(t.GetItem(2)->m_nColorType, CImageBuffer::CT_RAINBOW);
  // The current frame (2 after two steps) is removed: the number falls back to 0.
  t.Next();
  ASSERT_EQ(t.GetCurrentNo(), 2);
  ASSERT_EQ(t.RemoveAt(2), 1);
  EXPECT_EQ(t.GetBlinkItem()->m_pImage, &a);
  EXPECT_EQ(t.GetCurrentNo(), 0);
  t.Clear();
  EXPECT_EQ(t.GetCount(), 0);
  EXPECT_EQ(t.GetCurrentNo(), 0);
}

TEST(BlinkTarget, ShiftsAndIndexErrors) {
  CRalImage a, b;
  CBlinkTarget t;
  t.Add(&a, CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION);
  t.Add(&b, CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION);
  int x = 99, y = 99;
  double dx = 99, dy = 99;
  ASSERT_EQ(t.GetShift(1, &x, &y), 1);
  EXPECT_EQ(x, 0);  // a new frame is not shifted
  EXPECT_EQ(y, 0);
  ASSERT_EQ(t.SetShift(1, 7, -3), 1);
  ASSERT_EQ(t.GetShift(1, &dx, &dy), 1);
  EXPECT_EQ(dx, 7.0);
  EXPECT_EQ(dy, -3.0);
  ASSERT_EQ(t.SetShift(0, 2.5, -2.6), 1);
  ASSERT_EQ(t.GetShift(0, &x, &y), 1);
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, -3);
  ASSERT_EQ(t.GetShift(1, &x, &y), 1);  // the other frame keeps its own
  EXPECT_EQ(x, 7);
  for (int bad : {-1, 2, 1000}) {
    SCOPED_TRACE(bad);
    x = y = 5;
    EXPECT_EQ(t.GetShift(bad, &x, &y), 0);
    EXPECT_EQ(x, 5);
    EXPECT_EQ(t.GetShift(bad, &dx, &dy), 0);
    EXPECT_EQ(t.SetShift(bad, 1, 1), 0);
    EXPECT_EQ(t.SetShift(bad, 1.0, 1.0), 0);
    EXPECT_EQ(t.RemoveAt(bad), 0);
    EXPECT_EQ(t.GetCount(), 2);
  }
}

std::vector<float> Fill(CRalImage& img, std::mt19937& rng, float lo, float hi) {
  std::uniform_real_distribution<float> v(lo, hi);
  std::vector<float> all;
  for (int y = 0; y < img.GetHeight(); ++y) {
    auto* row = static_cast<float*>(img.GetImageAdr(0, y, 0));
    for (int x = 0; x < img.GetWidth(); ++x) {
      row[x] = (x * 7 + y * 3) % 41 == 0 ? NAN : v(rng);
      all.push_back(row[x]);
    }
  }
  return all;
}

void WriteRaw(const std::string& path, const std::vector<float>& v) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(v.data()),
            static_cast<std::streamsize>(v.size() * sizeof(float)));
}

// A frame smaller than the window's image, with its own levels (reaching below zero) and
// blank pixels, shows its values as its own levels map them, and the window's pixels
// where it has none.
TEST(BlinkTarget, PreparedFrameShowsTheFrameAsItsOwnLevelsMapIt) {
  TempDir dir;
  std::mt19937 rng(20240611u);
  const int bw = 61, bh = 47, fw = 50, fh = 40;
  const double blo = -50, bhi = 900, flo = -40, fhi = 260;
  CRalImage base(bw, bh, -32, 1, 1.0, 0.0, 1), frame(fw, fh, -32, 1, 1.0, 0.0, 1);
  const std::vector<float> bv = Fill(base, rng, -100.0f, 1000.0f);
  const std::vector<float> fv = Fill(frame, rng, -80.0f, 300.0f);
  base.SetLevel(0, blo, bhi);
  frame.SetLevel(0, flo, fhi);
  CBlinkTarget t;
  t.Add(&frame, CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION);
  ASSERT_EQ(t.PrepareFrame(0, base, nullptr, 0), 1);
  CBlinkFrame* prepared = t.GetPrepared(0);
  ASSERT_NE(prepared, nullptr);
  // The window's image is left as it was.
  EXPECT_EQ(static_cast<float*>(base.GetImageAdr(0, 3, 0))[5], bv[3 * bw + 5]);

  std::vector<unsigned char> got(static_cast<std::size_t>(bw) * bh, 0);
  CBaseDIB* dib = prepared->buffer->GetDIB();
  ASSERT_EQ(
      dib->BitBlt(
          0, 0, bw, bh, 0, 0,
          [&got, bw](const DIBBand& band) {
            for (int r = 0; r < band.height; ++r)
              for (int c = 0; c < band.width; ++c) {
                const unsigned char* p = band.bits + r * band.stride + c * band.bitsPerPixel / 8;
                EXPECT_EQ(p[0], p[2]);  // grey
                got[static_cast<std::size_t>(band.source.top + r) * bw + band.source.left + c] =
                    p[0];
              }
          }),
      1);

  WriteRaw(dir.File("base.raw"), bv);
  WriteRaw(dir.File("frame.raw"), fv);
  char args[256];
  std::snprintf(args, sizeof args, " %d %d %.17g %.17g ", bw, bh, blo, bhi);
  char fargs[256];
  std::snprintf(fargs, sizeof fargs, " %d %d %.17g %.17g ", fw, fh, flo, fhi);
  const std::string command = "/usr/bin/python3 " BLINK_ORACLE " " + dir.File("base.raw") + args +
                              dir.File("frame.raw") + fargs + dir.File("want.raw");
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(dir.File("want.raw"), std::ios::binary);
  const std::vector<unsigned char> want((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  ASSERT_EQ(want.size(), got.size());
  // The frame's values pass through the window's levels in single precision: a byte may
  // land one below or above at a step of the ramp, never farther.
  int off = 0, far = 0, black = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const int d = std::abs(int{got[i]} - int{want[i]});
    off += d == 1;
    far += d > 1;
    black += want[i] == 0;
  }
  EXPECT_EQ(far, 0);
  EXPECT_LT(off, static_cast<int>(got.size()) / 50);
  EXPECT_GT(black, 100);  // below-zero values and blanks were among them
}

}  // namespace
