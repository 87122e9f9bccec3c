// The information bar as the mouse moves: SetData for points spread over an image window
// that shows part of an 8192 × 8192 float image with a TAN world-coordinate header
// (pixel value, average, position, right ascension and declination, the labels' texts),
// beside a single GetPixelGrayRaw of the same pixels. A third figure adds the bar's own
// repaint, which SetData leaves to the event loop, so the cost of the whole move is seen.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_images.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "infobar/dlgbarimageinfo.h"

namespace {

constexpr int kSide = 8192;
constexpr int kClientW = 1200, kClientH = 900;
constexpr int kPoints = 4096;

QApplication& App() {
  static int argc = 1;
  static char name[] = "infobar_bench";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char pattern[] = "/tmp/vantorel-infobar-bench-XXXXXX";
    ::setenv("VANTOREL_CONFIG_HOME", ::mkdtemp(pattern), 1);
    CVmManager::Restart();
    return new QApplication(argc, argv);
  }();
  return *app;
}

// The window with its image, made once for every benchmark of the run.
CRalImgWnd& Window() {
  static CRalImgWnd* wnd = [] {
    auto* img = new CRalImage(kSide, kSide, -32, 1, 1.0, 0.0, 1);
    FillNoise(*img);
    img->SetOrgFileFormat("FITS");
    img->SetCType(0, "'RA---TAN'");
    img->SetCType(1, "'DEC--TAN'");
    img->SetCRPix(0, kSide / 2 + 0.5);
    img->SetCRPix(1, kSide / 2 + 0.5);
    img->SetCRVal(0, 83.8221);
    img->SetCRVal(1, -5.3911);
    img->SetLTMtx({-2.8e-4, 3.0e-6, 2.0e-6, 2.8e-4}, 1);
    auto* w = new CRalImgWnd;
    w->SetImagePrt(img);
    w->UpdateAverage();
    CViewInfo& view = w->GetViewInfo();
    view.SetImageSize(kSide, kSide);
    view.SetWindowSize(kClientW, kClientH);
    return w;
  }();
  return *wnd;
}

// View points inside the shown part of the image, and their image pixels.
const std::vector<POINT>& ViewPoints() {
  static const std::vector<POINT> points = [] {
    std::vector<POINT> v;
    std::uint32_t s = 777;
    const RECT shown = Window().GetViewInfo().GetWindowView();
    for (int i = 0; i < kPoints; ++i) {
      s = s * 1664525u + 1013904223u;
      const int x = shown.left + static_cast<int>((s >> 8) % (shown.right - shown.left));
      s = s * 1664525u + 1013904223u;
      const int y = shown.top + static_cast<int>((s >> 8) % (shown.bottom - shown.top));
      v.push_back({x, y});
    }
    return v;
  }();
  return points;
}

void BM_SetData(benchmark::State& state) {
  App();
  CRalImgWnd& wnd = Window();
  CDlgBarImageInfo bar;
  const std::vector<POINT>& points = ViewPoints();
  std::size_t i = 0;
  for (auto _ : state) {
    bar.SetData(&wnd, points[i++ % points.size()]);
    benchmark::DoNotOptimize(bar.PhysicalText().data());
  }
  if (bar.PhysicalText().empty()) state.SkipWithError("no sky position was shown");
}
BENCHMARK(BM_SetData)->Unit(benchmark::kMicrosecond);

void BM_GetPixelGrayRaw(benchmark::State& state) {
  App();
  CRalImgWnd& wnd = Window();
  const CRalImage* image = wnd.GetImagePtr();
  std::vector<POINT> pixels;
  for (const POINT& p : ViewPoints()) {
    POINT q{};
    (void)wnd.GetViewInfo().PtViewToImage(p, &q);
    pixels.push_back(q);
  }
  std::size_t i = 0;
  for (auto _ : state) {
    const POINT& p = pixels[i++ % pixels.size()];
    benchmark::DoNotOptimize(image->GetPixelGrayRaw(p.x, p.y, 0));
  }
}
BENCHMARK(BM_GetPixelGrayRaw)->Unit(benchmark::kMicrosecond);

void BM_SetDataAndRepaintBar(benchmark::State& state) {
  App();
  CRalImgWnd& wnd = Window();
  CDlgBarImageInfo bar;
  bar.resize(1200, bar.sizeHint().height());
  bar.show();
  const std::vector<POINT>& points = ViewPoints();
  std::size_t i = 0;
  for (auto _ : state) {
    bar.SetData(&wnd, points[i++ % points.size()]);
    bar.repaint();
  }
}
BENCHMARK(BM_SetDataAndRepaintBar)->Unit(benchmark::kMicrosecond);

}  // namespace
