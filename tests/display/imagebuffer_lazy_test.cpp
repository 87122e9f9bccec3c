// The display buffer built on demand: what a window shows after scrolling over rows built
// late is the picture a buffer built all at once gives, at every magnification code; a
// reduced magnification builds only the reduced bitmap; columns out of view are built
// only once scrolled to; two threads map rows exactly as one does.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "display/imagebuffer.h"
#include "display/viewinfo.h"
#include "display_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

// A field with detail at every pixel, so a row or column out of place shows.
float Field(int x, int y, int p) {
  return static_cast<float>((x * 7 + y * 13 + p * 31) % 251) + 0.25f * std::sin(0.1f * x * y);
}

// The picture as the window paints it: every band's destination and pixels.
std::vector<std::uint8_t> Picture(CImageBuffer& buf, CViewInfo& view) {
  std::vector<std::uint8_t> out;
  auto sink = [&](const DIBBand& band) {
    const int d[4] = {band.destination.left, band.destination.top, band.destination.right,
                      band.destination.bottom};
    out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(d),
               reinterpret_cast<const std::uint8_t*>(d) + sizeof d);
    const std::size_t bytes = static_cast<std::size_t>(band.width) * band.bitsPerPixel / 8;
    for (int r = 0; r < band.height; ++r)
      out.insert(out.end(), band.bits + static_cast<std::size_t>(r) * band.stride,
                 band.bits + static_cast<std::size_t>(r) * band.stride + bytes);
  };
  if (view.GetMag() < 1 && buf.GetReducedDIB())
    EXPECT_EQ(view.ShowReducedImage(*buf.GetReducedDIB(), buf.GetReduction(), nullptr, sink), 1);
  else
    EXPECT_EQ(view.ShowImage(*buf.GetDIB(), nullptr, sink), 1);
  return out;
}

struct Shown {
  CViewInfo view;
  CImageBuffer buf{1};
  Shown(CRalImage& image, int screenBits, int mag) {
    view.SetImageSize(image.GetWidth(), image.GetHeight());
    view.SetWindowSize(160, 120);
    EXPECT_EQ(view.SetMag(mag, -1, -1) || view.GetMag() == mag, true);
    EXPECT_EQ(buf.Create(screenBits, &image, nullptr, nullptr, nullptr), 1);
    buf.SetViewInfo(&view);
  }
};

class LateRowsTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(LateRowsTest, ScrollingOverLateRowsShowsThePictureBuiltAllAtOnce) {
  const auto [mag, screenBits] = GetParam();
  ScopedConfigHome home;
  // Tall enough that the reduced views too have rows a first paint does not show.
  auto image = MakeImage(420, 1300, 1, Field, 10, 240);
  Shown whole(*image, screenBits, mag), late(*image, screenBits, mag);
  ASSERT_EQ(whole.view.GetMag(), mag);

  whole.buf.UpdateShown(image.get(), nullptr, 0);
  late.buf.Invalidate(image.get(), nullptr);
  late.buf.Prepare();
  // The first paint left rows to build.
  const int pending = mag < 1 ? late.buf.GetPendingReducedRows() : late.buf.GetPendingRows();
  EXPECT_GT(pending, 0);
  if (mag < 1) {
    EXPECT_EQ(late.buf.GetPendingRows(), image->GetHeight());
  }

  const SCROLLBARSTATE v = whole.view.GetScrollBar(1), h = whole.view.GetScrollBar(0);
  ASSERT_TRUE(v.shown);
  for (int step = 0; step <= 4; ++step) {
    const int y = v.max * step / 4, x = h.shown ? h.max * (4 - step) / 4 : 0;
    for (Shown* s : {&whole, &late}) {
      s->view.SetScrollPos(1, y);
      if (h.shown) s->view.SetScrollPos(0, x);
    }
    late.buf.Prepare();
    ASSERT_EQ(Picture(late.buf, late.view), Picture(whole.buf, whole.view))
        << "scrolled to " << x << ", " << y;
  }
  // Idle steps finish the rows within a screen of the visible ones, and no others (the
  // smaller reduced bitmaps lie wholly within that reach).
  while (late.buf.BuildIdle(1 << 14)) {
  }
  if (mag >= 0) {
    EXPECT_GT(mag < 1 ? late.buf.GetPendingReducedRows() : late.buf.GetPendingRows(), 0);
  }
  EXPECT_EQ(Picture(late.buf, late.view), Picture(whole.buf, whole.view));
}

std::vector<std::tuple<int, int>> EveryCode() {
  std::vector<std::tuple<int, int>> out;
  for (int m = CViewInfo::kMinMag; m <= CViewInfo::kMaxMag; ++m) out.emplace_back(m, 32);
  for (int m : {-2, 1, 3}) out.emplace_back(m, 16);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Codes, LateRowsTest, ::testing::ValuesIn(EveryCode()),
                         [](const auto& info) {
                           const int m = std::get<0>(info.param);
                           return (m < 0 ? "minus" + std::to_string(-m) : std::to_string(m)) +
                                  "_bits" + std::to_string(std::get<1>(info.param));
                         });

TEST(LateColumnsTest, ColumnsOutOfViewWaitUntilScrolledTo) {
  ScopedConfigHome home;
  // Every pixel maps to a non-zero byte, so a bitmap pixel still zero was never built.
  const int w = 1400, h = 300;
  auto image = MakeImage(w, h, 1, [](int x, int y, int p) { return 40.0f + Field(x, y, p) / 2; });
  Shown whole(*image, 32, 1), late(*image, 32, 1);
  for (Shown* s : {&whole, &late}) {
    s->view.SetScrollPos(0, 0);
    s->view.SetScrollPos(1, 0);
  }
  whole.buf.UpdateShown(image.get(), nullptr, 0);
  late.buf.Invalidate(image.get(), nullptr);
  late.buf.Prepare();
  while (late.buf.BuildIdle(1 << 14)) {
  }
  // Shown: the top left corner. Built: the stripe of its columns, and no other column.
  const RECT vis = late.view.GetVisibleImageRect();
  ASSERT_LT(vis.right, CDirtyRows::kMinStripe);
  for (int y = 0; y < h; y += 7) {
    const bool rowBuilt = StoredPixel(late.buf.GetDIB(), 0, y) != Bgr{0, 0, 0};
    if (y < vis.bottom) {
      ASSERT_TRUE(rowBuilt) << "row " << y;
    }
    for (int x = 0; x < w; x += 5) {
      const Bgr got = StoredPixel(late.buf.GetDIB(), x, y);
      if (rowBuilt && x < CDirtyRows::kMinStripe)
        ASSERT_EQ(got, StoredPixel(whole.buf.GetDIB(), x, y)) << x << ", " << y;
      else
        ASSERT_EQ(got, (Bgr{0, 0, 0})) << x << ", " << y;
    }
  }
  EXPECT_EQ(late.buf.GetPendingRows(), h);
  // Scrolled to the right edge, the window shows what a buffer built at once shows.
  const SCROLLBARSTATE hs = whole.view.GetScrollBar(0);
  ASSERT_TRUE(hs.shown);
  for (Shown* s : {&whole, &late}) s->view.SetScrollPos(0, hs.max);
  late.buf.Prepare();
  EXPECT_EQ(Picture(late.buf, late.view), Picture(whole.buf, whole.view));
  // A reader of the whole bitmap gets every pixel.
  late.buf.BuildAll();
  EXPECT_EQ(late.buf.GetPendingRows(), 0);
  for (int y = 0; y < h; y += 3)
    for (int x = 0; x < w; x += 3)
      ASSERT_EQ(StoredPixel(late.buf.GetDIB(), x, y), StoredPixel(whole.buf.GetDIB(), x, y))
          << x << ", " << y;
}

TEST(ReducedBitmapTest, EachReducedPixelIsTheFirstPixelOfItsGroup) {
  ScopedConfigHome home;
  auto image = MakeImage(203, 157, 3, Field, 10, 240);
  for (int mag : {0, -1, -6}) {
    const int k = 2 - mag;
    Shown reduced(*image, 32, mag), full(*image, 32, 1);
    reduced.buf.UpdateShown(image.get(), nullptr, 0);
    full.buf.Update(image.get(), nullptr, 0);
    CBaseDIB* r = reduced.buf.GetReducedDIB();
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->GetWidth(), (203 + k - 1) / k);
    ASSERT_EQ(r->GetHeight(), (157 + k - 1) / k);
    for (int i = 0; i < r->GetHeight(); ++i)
      for (int j = 0; j < r->GetWidth(); ++j)
        ASSERT_EQ(StoredPixel(r, j, i), StoredPixel(full.buf.GetDIB(), j * k, i * k))
            << "code " << mag << " at " << j << ", " << i;
  }
}

// ---- two threads against one

struct ThreadCase {
  int planes;
  int screenBits;
  int log;
  int bits;  // pixel type of the image
  int mag;
};

class ThreadedMappingTest : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(ThreadedMappingTest, TwoThreadsMapEveryRowAsOneDoes) {
  const ThreadCase c = GetParam();
  ScopedConfigHome home;
  // Wide enough that a chunk of rows is split between the threads.
  const int w = 1500, h = 230;
  CRalImage image(w, h, c.bits, c.planes, c.bits == 16 ? 0.5 : 1.0, c.bits == 16 ? 7.0 : 0.0, 1);
  std::vector<double> row(w);
  for (int p = 0; p < c.planes; ++p)
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) row[x] = Field(x, y, p) * (c.bits == 16 ? 10 : 1);
      ASSERT_TRUE(image.SetPhysicalRow(y, p, row.data()));
    }
  for (int p = 0; p < c.planes; ++p) image.SetLevel(p, 5, c.bits == 16 ? 2000 : 230);
  auto build = [&](int threads) {
    Shown s(image, c.screenBits, c.mag);
    s.buf.SetLogScale(c.log);
    s.buf.SetThreadCount(threads);
    s.buf.UpdateShown(&image, nullptr, 0);
    std::vector<std::uint8_t> bytes;
    CBaseDIB* dib = c.mag < 1 ? s.buf.GetReducedDIB() : s.buf.GetDIB();
    EXPECT_NE(dib, nullptr);
    if (!dib) return bytes;
    dib->BitBlt(0, 0, dib->GetWidth(), dib->GetHeight(), 0, 0, [&](const DIBBand& band) {
      for (int r = 0; r < band.height; ++r)
        bytes.insert(bytes.end(), band.bits + static_cast<std::size_t>(r) * band.stride,
                     band.bits + static_cast<std::size_t>(r) * band.stride +
                         static_cast<std::size_t>(band.width) * band.bitsPerPixel / 8);
    });
    return bytes;
  };
  const std::vector<std::uint8_t> one = build(1), two = build(2);
  ASSERT_FALSE(one.empty());
  EXPECT_EQ(one, two);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThreadedMappingTest,
    ::testing::Values(ThreadCase{1, 32, 0, -32, 1}, ThreadCase{1, 32, 1, -32, 1},
                      ThreadCase{1, 16, 0, -32, 1}, ThreadCase{1, 8, 1, -32, 1},
                      ThreadCase{3, 32, 0, -32, 1}, ThreadCase{3, 16, 1, -32, 1},
                      ThreadCase{1, 32, 0, 16, 1}, ThreadCase{3, 24, 1, 16, 1},
                      ThreadCase{1, 32, 0, -32, 0}, ThreadCase{3, 16, 0, 16, -3}),
    [](const auto& info) {
      const ThreadCase& c = info.param;
      return "planes" + std::to_string(c.planes) + "_screen" + std::to_string(c.screenBits) +
             (c.log ? "_log" : "_linear") + (c.bits == 16 ? "_int16" : "_float") + "_code" +
             (c.mag < 0 ? "minus" + std::to_string(-c.mag) : std::to_string(c.mag));
    });

}  // namespace
