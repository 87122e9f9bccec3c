// One progressive preview pass over a 4096 × 4096 float image shown whole at
// magnification 1, as the level dialog drives it (the band from the view, new levels on
// the image, the band rebuilt into the display bitmap and its screen area marked for
// painting), beside a single rebuild of the whole bitmap measured in the same iteration.
// The counter vs_rebuild is the pass's wall time over the rebuild's.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "bench/bench_images.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"

namespace {

constexpr int kSide = 4096;
constexpr int kBand = 40;  // what the preview dialogs pass

void UseOwnSettings() {
  static std::string dir = [] {
    char pattern[] = "/tmp/vantorel-preview-bench-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  ::setenv("VANTOREL_CONFIG_HOME", dir.c_str(), 1);
  CVmManager::Restart();
}

CRalImage* Image() {
  auto* img = new CRalImage(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  FillNoise(*img);
  img->SetLevel(0, 200, 3000);
  return img;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void BM_PreviewPassBesideRebuild(benchmark::State& state) {
  UseOwnSettings();
  CRalImgWnd wnd;
  wnd.SetImagePrt(Image());
  // A client area larger than the image: every row is visible at code 1.
  wnd.GetViewInfo().SetWindowSize(kSide + 64, kSide + 64);
  wnd.Update(0);
  if (!wnd.IsBufferCreated()) {
    state.SkipWithError("the bitmap could not be created");
    return;
  }
  CRalImage* image = wnd.GetImagePtr();
  int marked = 0;
  wnd.SetInvalidateRect([&marked](const RECT&) { ++marked; });
  double passWall = 0, rebuildWall = 0;
  int bands = 0;
  float low = 200;
  for (auto _ : state) {
    state.PauseTiming();
    const double r0 = Now();
    wnd.GetImageBuffer().Update(image, nullptr, 0);
    rebuildWall += Now() - r0;
    state.ResumeTiming();

    const double p0 = Now();
    low = low == 200 ? 300 : 200;
    wnd.InitPreView(kBand);
    RECT band;
    int more = 1;
    bands = 0;
    while (more) {
      more = wnd.GetPreViewRect(&band);
      image->SetLevel(0, low, 3000);
      wnd.PreView(&band);
      ++bands;
    }
    passWall += Now() - p0;
  }
  const double it = static_cast<double>(state.iterations());
  state.counters["bands"] = bands;
  state.counters["rebuild_ms"] = rebuildWall / it * 1e3;
  state.counters["vs_rebuild"] = passWall / rebuildWall;
  benchmark::DoNotOptimize(marked);
}

}  // namespace

BENCHMARK(BM_PreviewPassBesideRebuild)->Unit(benchmark::kMillisecond)->MinTime(2.0);
