// The centre of gravity above the sky of a 4096 × 4096 float star field (a sample of the
// sky ordered twice by nth_element, then one weighted pass), beside the plain centre of
// gravity of the whole frame and the plainest full pass: every row read and summed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_images.h"
#include "engine/imgcentroid.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"

namespace {

constexpr int kSide = 4096;
constexpr std::int64_t kPixels = std::int64_t{kSide} * kSide;

// Sky 1000 with noise of 30 and a star every 256 pixels in both directions.
const CRalImage& Field() {
  static std::unique_ptr<CRalImage> img = [] {
    UsePager();
    auto image = std::make_unique<CRalImage>(kSide, kSide, -32, 1, 1.0, 0.0, 1);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 30.0f);
    for (int y = 0; y < kSide; ++y) {
      auto* row = static_cast<float*>(image->GetImageAdr(0, y));
      for (int x = 0; x < kSide; ++x) {
        const int dx = (x % 256) - 128, dy = (y % 256) - 128;
        row[x] = 1000.0f + noise(rng) + (dx * dx + dy * dy < 9 ? 5000.0f : 0.0f);
      }
    }
    return image;
  }();
  return *img;
}

void BM_PhysicalRowsBaseline(benchmark::State& state) {
  const CRalImage& img = Field();
  std::vector<double> row(kSide);
  for (auto _ : state) {
    double sum = 0;
    for (int y = 0; y < kSide; ++y) {
      if (!img.GetPhysicalRow(y, 0, row.data())) state.SkipWithError("a row could not be read");
      for (double v : row) sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_PhysicalRowsBaseline)->Unit(benchmark::kMillisecond);

void BM_CenterOfGravityPlain(benchmark::State& state) {
  const CRalImage& img = Field();
  for (auto _ : state) {
    double x = 0, y = 0;
    if (!img.GetCenterOfGravity(x, y, nullptr)) state.SkipWithError("refused");
    benchmark::DoNotOptimize(x + y);
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_CenterOfGravityPlain)->Unit(benchmark::kMillisecond);

void BM_CenterOfGravityAboveSky(benchmark::State& state) {
  const CRalImage& img = Field();
  for (auto _ : state) {
    double x = 0, y = 0;
    if (!CenterOfGravityAboveSky(img, x, y)) state.SkipWithError("refused");
    benchmark::DoNotOptimize(x + y);
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_CenterOfGravityAboveSky)->Unit(benchmark::kMillisecond);

}  // namespace
