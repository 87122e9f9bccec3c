// Showing one prepared blink frame of a 4096 × 4096 float image in an image window, set
// beside a whole rebuild of the same image's display bitmap measured in the same run. The
// frame is painted as the view paints it: every band copied into a screen-sized 32-bit
// picture. Two views: 1600 × 1000 at 1:1 (a part of the image) and the whole image at a
// quarter. Counters: show_ms (ours), rebuild_ms (the baseline) and ratio = show / rebuild,
// wall and CPU.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "measure/blink.h"

namespace {

constexpr int kSide = 4096;

void UseDefaultPager() {
  static std::string dir = [] {
    char pattern[] = "/tmp/vantorel-blink-bench-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  ::setenv("VANTOREL_CONFIG_HOME", dir.c_str(), 1);
  CVmManager::Restart();
}

CRalImage* Image() {
  auto* img = new CRalImage(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  std::uint32_t s = 12345;
  for (int y = 0; y < kSide; ++y) {
    auto* row = static_cast<float*>(img->GetImageAdr(0, y, 0));
    for (int x = 0; x < kSide; ++x) {
      s = s * 1664525u + 1013904223u;
      row[x] = 50.0f + static_cast<float>(s >> 8) * (4000.0f / 16777216.0f);
    }
  }
  img->SetLevel(0, 200, 3000);
  return img;
}

struct Clock {
  double wall, cpu;
  static Clock Now() {
    timespec t;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return {
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
        static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec)};
  }
};

void ShowFrame(benchmark::State& state, int width, int height, int mag) {
  UseDefaultPager();
  CRalImgWnd wnd;
  wnd.SetImagePrt(Image());
  wnd.GetViewInfo().SetWindowSize(width, height);
  wnd.Update(0);
  (void)wnd.SetZoom(mag, -1, -1);
  CBlinkTarget target;
  target.Add(wnd.GetImagePtr(), CImageBuffer::CM_POSITIVE, CImageBuffer::CT_VERMILION);
  (void)target.SetShift(0, 7, 3);
  if (!wnd.StartBlink(&target, 1) || !target.GetPrepared(0)) {
    state.SkipWithError("the frame could not be prepared");
    return;
  }
  // The screen the bands land on.
  std::vector<std::uint32_t> screen(static_cast<std::size_t>(width) * height);
  const auto bands = [&screen, width, height](const DIBBand& band) {
    const RECT& d = band.destination;
    for (int y = std::max(0, d.top); y < std::min(height, d.bottom); ++y) {
      const int row = (y - d.top) * band.height / std::max(1, d.bottom - d.top);
      const int x0 = std::max(0, d.left), x1 = std::min(width, d.right);
      if (x1 <= x0 || d.right - d.left != band.width) continue;
      std::memcpy(&screen[static_cast<std::size_t>(y) * width + x0],
                  band.bits + static_cast<std::ptrdiff_t>(row) * band.stride +
                      static_cast<std::ptrdiff_t>(x0 - d.left) * 4,
                  static_cast<std::size_t>(x1 - x0) * 4);
    }
  };
  const auto fill = [&screen, width, height](const RECT& r, COLORREF c) {
    for (int y = std::max(0, r.top); y < std::min(height, r.bottom); ++y)
      for (int x = std::max(0, r.left); x < std::min(width, r.right); ++x)
        screen[static_cast<std::size_t>(y) * width + x] = c;
  };
  CImageBuffer rebuild(1);
  CRalImage* image = wnd.GetImagePtr();
  if (!rebuild.Create(32, image, nullptr, nullptr, nullptr)) {
    state.SkipWithError("the bitmap could not be created");
    return;
  }
  rebuild.Update(image, nullptr, 0);  // first touch of the bitmap's blocks
  wnd.DrawBlink(bands, fill, 0);
  double showWall = 0, showCpu = 0, rebuildWall = 0, rebuildCpu = 0;
  for (auto _ : state) {
    const Clock t0 = Clock::Now();
    wnd.DrawBlink(bands, fill, 0);
    benchmark::DoNotOptimize(screen.data());
    const Clock t1 = Clock::Now();
    showWall += t1.wall - t0.wall;
    showCpu += t1.cpu - t0.cpu;
    state.PauseTiming();
    const Clock r0 = Clock::Now();
    rebuild.Update(image, nullptr, 0);
    const Clock r1 = Clock::Now();
    rebuildWall += r1.wall - r0.wall;
    rebuildCpu += r1.cpu - r0.cpu;
    state.ResumeTiming();
  }
  wnd.EndBlink();
  const double it = static_cast<double>(state.iterations());
  state.counters["show_ms"] = showWall / it * 1e3;
  state.counters["rebuild_ms"] = rebuildWall / it * 1e3;
  state.counters["ratio"] = showWall / rebuildWall;
  state.counters["ratio_cpu"] = showCpu / rebuildCpu;
}

void BM_ShowFrameOneToOne(benchmark::State& state) {
  ShowFrame(state, 1600, 1000, 1);
}
void BM_ShowFrameQuarter(benchmark::State& state) {
  ShowFrame(state, 1100, 1100, -2);
}

BENCHMARK(BM_ShowFrameOneToOne)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShowFrameQuarter)->Unit(benchmark::kMillisecond);

}  // namespace
