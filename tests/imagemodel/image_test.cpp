#include "imagemodel/image.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "imagemodel/vmmanager.h"
#include "platform/progress.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

// Each case runs on a pager made from its own settings.
class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { Pager(256, 32); }
  void TearDown() override { CVmManager::Restart(); }

  // A pager of exactly minMB of memory in blocks of blockKB.
  static void Pager(int blockKB, int minMB) {
    CRegistry::Write("VMManager", "BlockSize", blockKB, CRegistry::TYPE_INT);
    CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
    CRegistry::Write("VMManager", "MinMemorySize", minMB, CRegistry::TYPE_INT);
    CVmManager::Restart();
  }

  // Fills a float image with a value that encodes its position.
  static void FillFloat(CImage& img, float (*f)(int x, int y, int p)) {
    for (int p = 0; p < img.GetPlanes(); ++p)
      for (int y = 0; y < img.GetHeight(); ++y) {
        auto* row = static_cast<float*>(img.GetImageAdr(0, y, p));
        ASSERT_NE(row, nullptr);
        for (int x = 0; x < img.GetWidth(); ++x) row[x] = f(x, y, p);
      }
  }

  ScopedConfigHome home_;
};

float Ramp(int x, int y, int p) { return static_cast<float>(x + 1000 * y + 1000000 * p); }

}  // namespace

TEST_F(ImageTest, NewImageHasItsGeometryAndZeroLevels) {
  CImage img(16, 100, 50, 3, 2.0, 32768.0, 1);
  EXPECT_FALSE(img.IsEmpty());
  EXPECT_EQ(img.GetDimension(), 3);
  EXPECT_TRUE(img.IsColor());
  EXPECT_EQ(img.GetBytesPixel(), 2);
  EXPECT_EQ(img.GetPixelCount(), 15000u);
  EXPECT_EQ(img.GetImageSize(), 30000u);
  EXPECT_EQ(img.GetLevelMax(2), 0.0);
  EXPECT_EQ(img.GetStore()->GetStride(), 208u);  // 200 bytes rounded up to 16
  auto* p = static_cast<std::int16_t*>(img.GetImageAdr(99, 49, 2));
  ASSERT_NE(p, nullptr);
  *p = -7;
  EXPECT_DOUBLE_EQ(img.GetPixel(99, 49, 2), -7 * 2.0 + 32768.0);
  EXPECT_EQ(img.GetImageAdr(100, 0, 0), nullptr);  // outside the image
  EXPECT_EQ(img.GetImageAdr(0, 0, 3), nullptr);

  CImage empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.GetDimension(), -1);
  EXPECT_EQ(empty.IsSigned(), 1);
  EXPECT_EQ(empty.IsOverwriteAllowed(), 1);
  EXPECT_EQ(empty.GetPixel(0, 0), 0.0);
}

TEST_F(ImageTest, PixelTypesReadAsPhysicalValues) {
  struct Case {
    int bits, isSigned;
    unsigned char bytes[8];
    double expected;
  };
  const Case cases[] = {
      {8, 1, {200}, 200.0},
      {16, 1, {0xFF, 0xFF}, -1.0},
      {16, 0, {0xFF, 0xFF}, 65535.0},
      {32, 1, {0xFF, 0xFF, 0xFF, 0xFF}, -1.0},
      {32, 0, {0xFF, 0xFF, 0xFF, 0xFF}, 4294967295.0},
  };
  for (const Case& c : cases) {
    CImage img(c.bits, 4, 4, 1, 1.0, 0.0, c.isSigned);
    std::memcpy(img.GetImageAdr(1, 1), c.bytes, static_cast<size_t>(img.GetBytesPixel()));
    EXPECT_DOUBLE_EQ(img.GetPixel(1, 1), c.expected) << c.bits << "/" << c.isSigned;
  }
  CImage f(-64, 2, 2, 1, 0.5, 1.0, 1);
  *static_cast<double*>(f.GetImageAdr(0, 0)) = 3.0;
  EXPECT_DOUBLE_EQ(f.GetPixel(0, 0), 2.5);
  f.SetBitsPixel(0);
  EXPECT_EQ(f.GetPixel(0, 0), 0.0);  // an unknown pixel type reads as 0
}

TEST_F(ImageTest, UnusableGeometryIsRefused) {
  EXPECT_THROW(CImage(16, 0, 10, 1, 1, 0, 1), std::bad_alloc);
  EXPECT_THROW(CImage(16, 10, -1, 1, 1, 0, 1), std::bad_alloc);
  EXPECT_THROW(CImage(12, 10, 10, 1, 1, 0, 1), std::bad_alloc);
  EXPECT_THROW(CImage(16, 1, 2000000000, 2000000000, 1, 0, 1), std::bad_alloc);
  // A row of 16 GB would need blocks larger than the whole 32 MB budget: no amount of
  // swapping brings one into memory.
  EXPECT_THROW(CImage(-64, 2000000000, 1, 1, 1, 0, 1), std::bad_alloc);
  CImage img(16, 10, 10, 1, 1, 0, 1);
  img.SetWidth(2000000000);
  img.SetBitsPixel(-64);
  CVmImage* before = img.GetStore();
  EXPECT_EQ(img.AllocImage(), 0);
  EXPECT_EQ(img.GetStore(), before);  // the old store stays
  EXPECT_EQ(img.ChangeSize(1000000000, 10), 0);
  EXPECT_EQ(img.GetStore(), before);
}

// Rows longer than a pager block (a long spectrum) lie whole in wide blocks: 256 KB
// blocks hold 65536 floats, and one more takes two units. With 4 KB blocks and a 1 MB
// budget, 93260-pixel rows are 92 units each, so only two rows fit in memory and the
// others come and go through the swap file while they are written, copied, converted
// and read back.
TEST_F(ImageTest, RowsLongerThanABlockLieInWideBlocks) {
  {
    CImage img(-32, 65537, 3, 1, 1, 0, 1);
    EXPECT_EQ(img.GetStore()->GetBlockUnits(), 2);
    EXPECT_EQ(img.GetStore()->GetRowsPerBlock(), 1);
    auto* row = static_cast<float*>(img.GetImageAdr(0, 2, 0));
    ASSERT_NE(row, nullptr);
    row[65536] = 5.0f;  // the last pixel of the row, in the same block
    EXPECT_EQ(img.GetPixel(65536, 2, 0), 5.0);
  }
  Pager(4, 1);
  const int width = 93260;
  CImage img(-32, width, 5, 2, 1, 0, 1);
  EXPECT_EQ(img.GetStore()->GetBlockUnits(), 92);
  EXPECT_FALSE(img.IsOnMemory());
  auto value = [](int x, int y, int p) { return static_cast<float>(x % 1000 + 1000 * y + 7 * p); };
  FillFloat(img, value);
  CImage copy;
  copy.CopyImage(img);
  ASSERT_EQ(copy.ChangeBits(-64, 1, 0), 1);  // wider still: 746080-byte rows in 183 units
  EXPECT_EQ(copy.GetStore()->GetBlockUnits(), 183);
  for (const CImage* image : {&img, &copy})
    for (int p = 0; p < 2; ++p)
      for (int y = 0; y < 5; ++y)
        for (int x : {0, 1, 46630, width - 2, width - 1})
          ASSERT_EQ(image->GetPixel(x, y, p), value(x, y, p)) << x << "," << y << "," << p;
  double lo = 0, hi = 0;
  copy.GetMinMax(-1, &lo, &hi);
  EXPECT_EQ(lo, 0.0);
  EXPECT_EQ(hi, 999.0 + 4000.0 + 7.0);
}

TEST_F(ImageTest, LevelsKeepMaximumAboveMinimum) {
  CImage img(16, 4, 4, 3, 1, 0, 1);
  img.SetLevel(1, 5, 5);
  EXPECT_EQ(img.GetLevelMin(1), 5.0);
  EXPECT_EQ(img.GetLevelMax(1), 6.0);
  EXPECT_EQ(img.GetLevelRange(1), 1.0);
  img.SetLevel(2, 10, 4);
  EXPECT_EQ(img.GetLevelMax(2), 11.0);
  img.SetLevelMin(2, 20);
  EXPECT_EQ(img.GetLevelMax(2), 21.0);
  img.SetLevelMax(2, 100);
  EXPECT_EQ(img.GetLevelRange(2), 80.0);
  img.SetLevel(7, 1, 2);  // no such plane: nothing happens
  img.SetOrgDefaultLevel(0, 3, 3);
  EXPECT_EQ(img.GetOrgDefaultLevelMax(0), 4.0);

  CImage noLevels;
  noLevels.SetPlanes(2);
  noLevels.SetLevel(1, 0, 10);  // arrays are made on demand
  EXPECT_EQ(noLevels.GetLevelMax(1), 10.0);
  EXPECT_EQ(noLevels.GetLevelMax(0), 1.0);
}

TEST_F(ImageTest, MinMaxSkipsBlanksAndDefaultLevelsFollowTheData) {
  CImage img(16, 3, 2, 2, 2.0, 10.0, 1);
  std::int16_t values[2][6] = {{1, 2, 3, -4, 99, 5}, {7, 7, 7, 7, 7, 7}};
  for (int p = 0; p < 2; ++p)
    for (int y = 0; y < 2; ++y)
      std::memcpy(img.GetImageAdr(0, y, p), &values[p][y * 3], 6);
  double lo, hi;
  ASSERT_EQ(img.GetMinMax(0, &lo, &hi), 1);
  EXPECT_EQ(lo, 2.0);    // -4 × 2 + 10
  EXPECT_EQ(hi, 208.0);  // 99 × 2 + 10
  img.SetBlankUsed(1);
  img.SetBlank(208);  // a physical value never makes a blank: the stored one does
  ASSERT_EQ(img.GetMinMax(0, &lo, &hi), 1);
  EXPECT_EQ(hi, 208.0);
  img.SetBlank(99);
  ASSERT_EQ(img.GetMinMax(0, &lo, &hi), 1);
  EXPECT_EQ(hi, 20.0);
  EXPECT_TRUE(std::isnan(img.GetPixel(1, 1, 0)));  // a blank pixel reads as NaN
  ASSERT_EQ(img.GetMinMax(-1, &lo, &hi), 1);
  EXPECT_EQ(hi, 24.0);
  img.SetBlank(7);
  ASSERT_EQ(img.GetMinMax(1, &lo, &hi), 1);  // every pixel blank
  EXPECT_EQ(lo, DBL_MAX);
  EXPECT_EQ(hi, -DBL_MAX);
  img.SetBlankUsed(0);
  ASSERT_EQ(img.SetDefaultLevel(), 1);
  EXPECT_EQ(img.GetLevelMin(0), 2.0);
  EXPECT_EQ(img.GetLevelMax(0), 208.0);
  EXPECT_EQ(img.GetLevelMin(1), 24.0);
  EXPECT_EQ(img.GetLevelMax(1), 25.0);  // a flat plane gets a range of 1
}

TEST_F(ImageTest, MinMaxIgnoresNaNAndFollowsANegativeScale) {
  double lo, hi;
  for (double scale : {2.0, -2.0}) {
    CImage img(-32, 3, 2, 1, scale, 1.0, 1);
    auto* r0 = static_cast<float*>(img.GetImageAdr(0, 0));
    auto* r1 = static_cast<float*>(img.GetImageAdr(0, 1));
    r0[0] = NAN, r0[1] = NAN, r0[2] = NAN;  // a row with nothing to measure
    r1[0] = 4, r1[1] = NAN, r1[2] = -3;
    ASSERT_EQ(img.GetMinMax(0, &lo, &hi), 1);
    EXPECT_EQ(lo, std::min(4 * scale + 1, -3 * scale + 1)) << scale;
    EXPECT_EQ(hi, std::max(4 * scale + 1, -3 * scale + 1)) << scale;
    // Infinities: +inf is never the minimum, -inf never the maximum.
    r1[0] = INFINITY, r1[1] = INFINITY, r1[2] = INFINITY;
    ASSERT_EQ(img.GetMinMax(0, &lo, &hi), 1);
    EXPECT_EQ(scale > 0 ? lo : hi, scale > 0 ? DBL_MAX : -DBL_MAX);
    EXPECT_EQ(scale > 0 ? hi : lo, scale > 0 ? INFINITY : -INFINITY);
  }
  CImage s16(16, 2, 1, 1, -1.0, 0.0, 1);
  static_cast<std::int16_t*>(s16.GetImageAdr(0, 0))[0] = -5;
  static_cast<std::int16_t*>(s16.GetImageAdr(0, 0))[1] = 9;
  ASSERT_EQ(s16.GetMinMax(0, &lo, &hi), 1);
  EXPECT_EQ(lo, -9.0);
  EXPECT_EQ(hi, 5.0);
  CImage u(32, 2, 1, 1, 1.0, 0.0, 0);
  static_cast<std::uint32_t*>(u.GetImageAdr(0, 0))[0] = 4000000000u;
  ASSERT_EQ(u.GetMinMax(-1, &lo, &hi), 1);
  EXPECT_EQ(lo, 0.0);
  EXPECT_EQ(hi, 4000000000.0);
}

TEST_F(ImageTest, ChangeBitsRawShiftsIntoTheTargetRange) {
  CImage img(-32, 1101, 1, 1, 1, 0, 1);
  FillFloat(img, [](int x, int, int) { return static_cast<float>(x - 100); });
  RecordingProgress progress;
  ASSERT_EQ(img.ChangeBits(16, 0, 0, &progress, "変換"), 1);
  EXPECT_EQ(img.GetBitsPixel(), 16);
  EXPECT_EQ(img.IsSigned(), 0);
  EXPECT_EQ(img.GetBscale(), 1.0);
  EXPECT_EQ(img.GetBzero(), -100.0);
  auto* raw = static_cast<std::uint16_t*>(img.GetImageAdr(0, 0));
  EXPECT_EQ(raw[0], 0);
  EXPECT_EQ(raw[1100], 1100);
  EXPECT_DOUBLE_EQ(img.GetPixel(0, 0), -100.0);
  EXPECT_DOUBLE_EQ(img.GetPixel(1100, 0), 1000.0);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().caption, "変換");
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
}

TEST_F(ImageTest, ChangeBitsScaledByDataRange) {
  CImage img(-64, 11, 1, 1, 1, 0, 1);
  for (int x = 0; x <= 10; ++x) static_cast<double*>(img.GetImageAdr(0, 0))[x] = 10.0 + x;
  ASSERT_EQ(img.ChangeBits(8, 0, 3), 1);
  auto* raw = static_cast<std::uint8_t*>(img.GetImageAdr(0, 0));
  EXPECT_EQ(raw[0], 0);
  EXPECT_EQ(raw[10], 255);
  EXPECT_EQ(raw[5], 127);  // 127.5 truncated toward zero
  EXPECT_DOUBLE_EQ(img.GetBscale(), 10.0 / 255.0);
  EXPECT_DOUBLE_EQ(img.GetBzero(), 10.0);
  EXPECT_NEAR(img.GetPixel(10, 0), 20.0, 1e-9);
}

TEST_F(ImageTest, ChangeBitsScaledByLevelsClampsOutsideThem) {
  CImage img(-32, 3, 1, 1, 1, 0, 1);
  auto* v = static_cast<float*>(img.GetImageAdr(0, 0));
  v[0] = -50;
  v[1] = 50;
  v[2] = 500;
  img.SetLevel(0, 0, 100);
  ASSERT_EQ(img.ChangeBits(16, 1, 2), 1);
  auto* raw = static_cast<std::int16_t*>(img.GetImageAdr(0, 0));
  EXPECT_EQ(raw[0], -32768);
  EXPECT_EQ(raw[1], 0);  // (50 / 100) × 65535 − 32768 = −0.5, truncated toward zero
  EXPECT_EQ(raw[2], 32767);
}

TEST_F(ImageTest, ChangeBitsModeOneChoosesRawOnlyWhenTheLevelsFit) {
  CImage fits(-32, 2, 1, 1, 1, 0, 1);
  static_cast<float*>(fits.GetImageAdr(0, 0))[1] = 200;
  fits.SetLevel(0, 0, 200);
  EXPECT_TRUE(fits.IsBitsChangeable(8, 0));
  ASSERT_EQ(fits.ChangeBits(8, 0, 1), 1);
  EXPECT_EQ(fits.GetBscale(), 1.0);
  EXPECT_EQ(static_cast<std::uint8_t*>(fits.GetImageAdr(0, 0))[1], 200);

  CImage wide(-32, 2, 1, 1, 1, 0, 1);
  static_cast<float*>(wide.GetImageAdr(0, 0))[1] = 1000;
  wide.SetLevel(0, 0, 1000);
  EXPECT_FALSE(wide.IsBitsChangeable(8, 0));
  EXPECT_TRUE(wide.IsBitsChangeable(-32, 0));
  ASSERT_EQ(wide.ChangeBits(8, 0, 1), 1);
  EXPECT_DOUBLE_EQ(wide.GetBscale(), 1000.0 / 255.0);
  EXPECT_EQ(static_cast<std::uint8_t*>(wide.GetImageAdr(0, 0))[1], 255);

  const double minima[2] = {0, -10}, maxima[2] = {100, 400};
  CImage two(16, 1, 1, 2, 1, 0, 1);
  EXPECT_FALSE(two.IsBitsChangeableRaw(8, 0, minima, maxima, 2));  // 410 > 256
  EXPECT_TRUE(two.IsBitsChangeableRaw(8, 0, minima, maxima, 1));
}

TEST_F(ImageTest, ChangeBitsToTheSameTypeOnlySetsTheFlag) {
  CImage img(16, 4, 4, 1, 1, 0, 1);
  CVmImage* store = img.GetStore();
  EXPECT_EQ(img.ChangeBits(16, 1, 0), 1);
  EXPECT_EQ(img.GetStore(), store);
  CImage f(-32, 4, 4, 1, 1, 0, 1);
  CVmImage* fstore = f.GetStore();
  EXPECT_EQ(f.ChangeBits(-32, 0, 0), 1);
  EXPECT_EQ(f.GetStore(), fstore);
  EXPECT_EQ(f.IsSigned(), 0);
  EXPECT_EQ(img.ChangeBits(12, 1, 0), 0);

  // 16 signed to 16 unsigned converts: the physical values stay.
  *static_cast<std::int16_t*>(img.GetImageAdr(0, 0)) = -5;
  *static_cast<std::int16_t*>(img.GetImageAdr(1, 0)) = 5;
  ASSERT_EQ(img.ChangeBits(16, 0, 0), 1);
  EXPECT_NE(img.GetStore(), store);
  EXPECT_EQ(img.IsSigned(), 0);
  EXPECT_DOUBLE_EQ(img.GetPixel(0, 0), -5.0);
  EXPECT_DOUBLE_EQ(img.GetPixel(1, 0), 5.0);
}

TEST_F(ImageTest, ChangeBitsToRealKeepsRawValuesAndScaling) {
  CImage img(16, 3, 1, 1, 2.0, 32768.0, 0);
  auto* raw = static_cast<std::uint16_t*>(img.GetImageAdr(0, 0));
  raw[0] = 0;
  raw[1] = 40000;
  raw[2] = 65535;
  ASSERT_EQ(img.ChangeBits(-32, 1, 0), 1);
  auto* f = static_cast<float*>(img.GetImageAdr(0, 0));
  EXPECT_EQ(f[1], 40000.0f);
  EXPECT_EQ(f[2], 65535.0f);
  EXPECT_EQ(img.GetBscale(), 2.0);
  EXPECT_EQ(img.GetBzero(), 32768.0);
  EXPECT_EQ(img.IsSigned(), 1);
  // A large byte image converts exactly as a small one.
  CImage big(8, 1024, 600, 1, 1, 0, 1);
  for (int y = 0; y < 600; ++y) {
    auto* row = static_cast<std::uint8_t*>(big.GetImageAdr(0, y));
    for (int x = 0; x < 1024; ++x) row[x] = static_cast<std::uint8_t>(x ^ y);
  }
  ASSERT_EQ(big.ChangeBits(-64, 1, 0), 1);
  EXPECT_EQ(big.GetPixel(1023, 599), static_cast<double>((1023 ^ 599) & 0xff));
}

TEST_F(ImageTest, ReferencePixelAndOtherWorldCoordinateDefaults) {
  CImage img;
  double v = -1;
  EXPECT_FALSE(img.GetCRPix(0, &v));
  EXPECT_EQ(v, 1.0);
  img.SetCRPix(0, 10.5);
  EXPECT_TRUE(img.GetCRPix(0, &v));
  EXPECT_EQ(v, 10.5);
  EXPECT_FALSE(img.GetCRVal(1, &v));
  EXPECT_EQ(v, 0.0);
  EXPECT_FALSE(img.GetCDelt(1, &v));
  EXPECT_EQ(v, 1.0);
  std::string s = "x";
  EXPECT_FALSE(img.GetCType(0, &s));
  EXPECT_EQ(s, "");
  img.SetType("RA---TAN", 0);
  EXPECT_TRUE(img.GetCType(0, &s));
  EXPECT_EQ(s, "RA---TAN");
  int axis = -1;
  img.SetDispAxis(3);
  EXPECT_FALSE(img.GetDispAxis(&axis));
  EXPECT_EQ(axis, 3);
  tagMATRIX2_2 m{2, 3, 4, 5};
  img.SetLTMtx(m, 0);
  tagMATRIX2_2 out;
  EXPECT_EQ(img.GetLTMtx(&out), 0);
  EXPECT_EQ(out, tagMATRIX2_2{});  // identity while the kind is 0
  img.SetLTMtx(m, 2);
  EXPECT_EQ(img.GetLTMtx(&out), 2);
  EXPECT_EQ(out, m);
  EXPECT_TRUE(img.IsWCS());
  tagMATRIX2_4 pv;
  pv.m[1][3] = 7;
  img.SetPVMtx(pv, 0);
  tagMATRIX2_4 pvOut;
  pvOut.m[0][0] = 9;
  EXPECT_EQ(img.GetPVMtx(&pvOut), 0);
  EXPECT_EQ(pvOut, tagMATRIX2_4{});

  img.SetCDelt(0, 2);
  img.SetCUnit(1, "deg");
  img.SetCDelt(1, 3);
  img.ClearPhysicalCoord(-1);
  EXPECT_FALSE(img.GetCRPix(0, &v));
  EXPECT_FALSE(img.IsWCS());
  EXPECT_FALSE(img.GetCType(0, &s));
  EXPECT_FALSE(img.GetCDelt(0, &v));
  EXPECT_TRUE(img.GetCDelt(1, &v));  // axis 1 untouched by a negative count
  img.ClearPhysicalCoord(2);
  EXPECT_FALSE(img.GetCDelt(1, &v));
  EXPECT_FALSE(img.GetCUnit(1, &s));
}

namespace {

// Sets every attribute that copies treat differently to a value unlike its default.
void Decorate(CImage& img) {
  img.SetBlankUsed(1);
  img.SetBlank(-999);
  img.SetOverwriteAllowed(0);
  img.SetSITypeRGB(1);
  img.SetAuthor("observer");
  img.SetUndoDialogName("Level");
  img.SetUndoMode(3);
  img.SetContourMap(1);
  img.SetFirstFitsHeight(77);
  img.SetFirstFits(1);
  img.SetLogScale(1);
  img.SetLonPole(180);
  img.SetLatPole(30);
  img.SetRestFreq(0, 1.4e9);
  img.SetPVMtx(tagMATRIX2_4{}, 1);
  img.SetCD(1);
  img.SetCRVal(0, 83.8);
  img.SetCType(1, "DEC--TAN");
  img.SetOrgFileName("/data/m42.fts");
  img.SetLevel(0, 1, 9);
  img.SetExtend(1);
  img.m_FitsHeader.Add("OBJECT  = 'M42'");
  CFitsExtension ext;
  ext.SetData({1});
  img.m_FitsExtensions.push_back(ext);
  img.m_KeptExtensions.emplace_back(std::string(2880, ' '), std::vector<std::uint8_t>(2880, 7));
}

struct Carried {
  bool blank, overwrite, colourOrder, author, undo, log, lonpole;
};

void ExpectCarried(const CImage& img, Carried c, const char* op) {
  SCOPED_TRACE(op);
  // Carried by every operation.
  double v;
  std::string s;
  EXPECT_TRUE(img.GetCRVal(0, &v));
  EXPECT_TRUE(img.GetCType(1, &s));
  EXPECT_EQ(img.GetOrgFileName(), "/data/m42.fts");
  EXPECT_EQ(img.GetLevelMax(0), 9.0);
  EXPECT_EQ(img.GetExtend(), 1);
  EXPECT_EQ(img.m_FitsHeader.GetCount(), 1);
  EXPECT_EQ(img.m_FitsExtensions.size(), 1u);
  EXPECT_EQ(img.m_KeptExtensions.size(), 1u);
  // Carried by none.
  EXPECT_FALSE(img.IsLatPole());
  EXPECT_EQ(img.GetRestFreq(0, &v), 0);
  EXPECT_EQ(img.GetPVMtx(nullptr), 0);
  EXPECT_EQ(img.UsedCD(), 0);
  // The table of differences.
  EXPECT_EQ(img.IsBlankUsed() == 1 && img.GetBlank() == -999, c.blank);
  EXPECT_EQ(img.IsOverwriteAllowed() == 0, c.overwrite);
  EXPECT_EQ(img.IsSITypeRGB() == 1, c.colourOrder);
  EXPECT_EQ(img.GetAuthor(nullptr) == 1, c.author);
  EXPECT_EQ(img.GetUndoDialogName() == "Level" && img.GetUndoMode() == 3 &&
                img.GetContourMap() == 1 && img.GetFirstFitsHeight() == 77 &&
                img.GetFirstFits() == 1,
            c.undo);
  EXPECT_EQ(img.GetLogScale() == 1, c.log);
  EXPECT_EQ(img.IsLonPole(), c.lonpole);
}

}  // namespace

TEST_F(ImageTest, EachCopyCarriesItsOwnSetOfAttributes) {
  CImage src(16, 8, 8, 1, 1, 0, 1);
  Decorate(src);
  *static_cast<std::int16_t*>(src.GetImageAdr(3, 3)) = 1234;

  CImage copied;
  copied.CopyImage(src);
  ExpectCarried(copied, {true, true, false, false, true, true, true}, "CopyImage");
  EXPECT_EQ(copied.GetPixel(3, 3), 1234.0);

  CImage constructed(src);
  ExpectCarried(constructed, {true, true, true, true, true, true, false}, "copy constructor");
  EXPECT_EQ(constructed.GetPixel(3, 3), 1234.0);
  EXPECT_NE(constructed.GetStore(), src.GetStore());

  CImage assigned;
  assigned = src;
  ExpectCarried(assigned, {true, true, false, false, true, true, true}, "operator=");

  CImage created;
  ASSERT_EQ(created.Create(src), 1);
  ExpectCarried(created, {true, false, true, false, false, false, false}, "Create");
  EXPECT_EQ(created.GetWidth(), 8);
  EXPECT_FALSE(created.IsEmpty());

  CImage swapped(8, 2, 2, 1, 1, 0, 1);
  CImage other(src);
  swapped.Swap(other);
  ExpectCarried(swapped, {false, true, false, false, false, false, false}, "Swap");
  EXPECT_EQ(swapped.GetPixel(3, 3), 1234.0);
  EXPECT_EQ(other.GetWidth(), 2);
  EXPECT_EQ(other.GetBitsPixel(), 8);
  EXPECT_EQ(other.IsSITypeRGB(), 1);  // stays with its image

  // Kept extensions are never changed, so every copy shares their bytes, also the copies
  // made at another pixel type.
  CImage asReal, scaled;
  ASSERT_EQ(asReal.CopyImageAs(src, -32, 1, 0), 1);
  ASSERT_EQ(scaled.CopyImageScaled(src, 32, 1, 2.0, 0.0), 1);
  const std::uint8_t* bytes = src.m_KeptExtensions[0].GetData();
  for (const CImage* copy :
       {&copied, &constructed, &assigned, &created, &swapped, &asReal, &scaled})
    EXPECT_EQ(copy->m_KeptExtensions.at(0).GetData(), bytes);
}

TEST_F(ImageTest, EmptyKeepsAttributesAndPlanesChangeResetsLevels) {
  CImage img(16, 4, 4, 1, 1, 0, 1);
  Decorate(img);
  img.Empty();
  EXPECT_TRUE(img.IsEmpty());
  EXPECT_EQ(img.m_FitsHeader.GetCount(), 0);
  EXPECT_EQ(img.m_FitsExtensions.size(), 1u);
  EXPECT_EQ(img.GetWidth(), 4);
  EXPECT_FALSE(img.HasLevel());

  CImage grey(16, 4, 4, 1, 1, 0, 1);
  CVmImage* store = grey.GetStore();
  EXPECT_EQ(grey.ChangePlanes(1), 1);
  EXPECT_EQ(grey.GetStore(), store);
  EXPECT_EQ(grey.ChangePlanes(3), 1);
  EXPECT_EQ(grey.GetDimension(), 3);
  EXPECT_EQ(grey.GetLevelMax(2), 1.0);
  EXPECT_EQ(grey.GetLevelRange(2), 1.0);
  EXPECT_NE(grey.GetImageAdr(0, 3, 2), nullptr);
  EXPECT_EQ(grey.ChangeSize(10, 20), 1);
  EXPECT_EQ(grey.GetHeight(), 20);
  EXPECT_NE(grey.GetImageAdr(9, 19, 2), nullptr);
}

TEST_F(ImageTest, AnImageTwiceTheBudgetPagesOutAndReadsBackExactly) {
  Pager(64, 4);  // 64 slots of 64 KB
  CImage img(-32, 1024, 2048, 1, 1, 0, 1);  // 8 MB: twice the memory
  EXPECT_GT(img.GetStore()->GetBlockCount(), CVmManager::Instance().GetSlotCount());
  FillFloat(img, Ramp);
  EXPECT_FALSE(img.IsOnMemory());
  for (int y = 0; y < img.GetHeight(); ++y) {
    const auto* row = static_cast<const float*>(img.GetImageAdr(0, y, 0, IMG_READONLY));
    ASSERT_NE(row, nullptr);
    for (int x = 0; x < img.GetWidth(); ++x) ASSERT_EQ(row[x], Ramp(x, y, 0)) << x << "," << y;
  }
  // A deep copy through the pager is exact too.
  CImage copy(img);
  for (int y = 0; y < img.GetHeight(); y += 97)
    EXPECT_EQ(copy.GetPixel(1000, y), Ramp(1000, y, 0));
}

TEST_F(ImageTest, LockedRowsStayValidWhileOtherBlocksPage) {
  Pager(64, 2);  // 32 slots of 64 KB
  CImage img(-32, 1024, 1024, 1, 1, 0, 1);  // 4 MB
  FillFloat(img, Ramp);
  CPixelLock first(img, 0, 0, 0);
  CPixelLock middle(img, 0, 512, 0);
  ASSERT_TRUE(first);
  ASSERT_TRUE(middle);
  auto* row0 = static_cast<float*>(first.get());
  auto* row512 = static_cast<float*>(middle.get());
  for (int pass = 0; pass < 2; ++pass)
    for (int y = 0; y < 1024; ++y) ASSERT_NE(img.GetImageAdr(5, y, 0, IMG_READONLY), nullptr);
  EXPECT_EQ(row0[10], Ramp(10, 0, 0));
  EXPECT_EQ(row512[1023], Ramp(1023, 512, 0));
  row0[0] = -1;  // still writable where it was
  EXPECT_EQ(img.GetPixel(0, 0), -1.0);
}
