// Rebuilding the display bitmap of a 4096 × 4096 float image, resident in the pager, on a
// 32-bit screen (24-bit paged storage): one plane linear, three planes linear, one plane
// logarithmic. Each is set beside memcpy of the same source bytes (64 MiB for one plane,
// 192 MiB for three), measured in the same run; the counters vs_memcpy and vs_memcpy_cpu
// are the rebuild's wall and CPU time over those of a memcpy made in each iteration.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "display/imagebuffer.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"

namespace {

constexpr int kSide = 4096;
constexpr std::size_t kPlaneBytes = std::size_t{kSide} * kSide * sizeof(float);

void UseDefaultPager() {
  static std::string dir = [] {
    char pattern[] = "/tmp/vantorel-display-bench-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  ::setenv("VANTOREL_CONFIG_HOME", dir.c_str(), 1);
  CVmManager::Restart();
}

std::unique_ptr<CRalImage> Image(int planes) {
  auto img = std::make_unique<CRalImage>(kSide, kSide, -32, planes, 1.0, 0.0, 1);
  std::uint32_t s = 12345;
  for (int p = 0; p < planes; ++p) {
    for (int y = 0; y < kSide; ++y) {
      auto* row = static_cast<float*>(img->GetImageAdr(0, y, p));
      for (int x = 0; x < kSide; ++x) {
        s = s * 1664525u + 1013904223u;  // sky-like values spread over and past the levels
        row[x] = 50.0f + static_cast<float>(s >> 8) * (4000.0f / 16777216.0f);
      }
    }
    img->SetLevel(p, 200, 3000);
  }
  return img;
}

// Wall and process CPU seconds, for the ratios: on a loaded machine the CPU time is the
// steadier of the two.
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

void Memcpy(benchmark::State& state, int planes) {
  const std::size_t n = kPlaneBytes * static_cast<std::size_t>(planes);
  std::vector<char> from(n, 1), to(n, 2);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), n);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

// Each iteration also copies the source bytes once, outside the timed part, and the two
// are summed separately: the ratios compare runs made side by side under the same load.
void Rebuild(benchmark::State& state, int planes, bool log) {
  UseDefaultPager();
  auto img = Image(planes);
  CImageBuffer buf(1);
  if (!buf.Create(32, img.get(), nullptr, nullptr, nullptr)) {
    state.SkipWithError("the bitmap could not be created");
    return;
  }
  buf.SetLogScale(log ? 1 : 0);
  buf.Update(img.get(), nullptr, 0);  // first touch of the bitmap's blocks
  const std::size_t n = kPlaneBytes * static_cast<std::size_t>(planes);
  std::vector<char> from(n, 1), to(n, 2);
  double rebuildWall = 0, rebuildCpu = 0, copyWall = 0, copyCpu = 0;
  for (auto _ : state) {
    const Clock t0 = Clock::Now();
    buf.Update(img.get(), nullptr, 0);
    const Clock t1 = Clock::Now();
    rebuildWall += t1.wall - t0.wall;
    rebuildCpu += t1.cpu - t0.cpu;
    state.PauseTiming();
    const Clock c0 = Clock::Now();
    std::memcpy(to.data(), from.data(), n);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    const Clock c1 = Clock::Now();
    copyWall += c1.wall - c0.wall;
    copyCpu += c1.cpu - c0.cpu;
    state.ResumeTiming();
  }
  const double it = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.counters["memcpy_ms"] = copyWall / it * 1e3;
  state.counters["vs_memcpy"] = rebuildWall / copyWall;
  state.counters["vs_memcpy_cpu"] = rebuildCpu / copyCpu;
}

void BM_MemcpyOnePlane(benchmark::State& state) {
  Memcpy(state, 1);
}
void BM_MemcpyThreePlanes(benchmark::State& state) {
  Memcpy(state, 3);
}
void BM_RebuildGreyLinear(benchmark::State& state) {
  Rebuild(state, 1, false);
}
void BM_RebuildColourLinear(benchmark::State& state) {
  Rebuild(state, 3, false);
}
void BM_RebuildGreyLog(benchmark::State& state) {
  Rebuild(state, 1, true);
}

BENCHMARK(BM_MemcpyOnePlane)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildGreyLinear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildGreyLog)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyThreePlanes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildColourLinear)->Unit(benchmark::kMillisecond);

}  // namespace
