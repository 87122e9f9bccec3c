// The histogram, mirroring and inversion of a resident 4096 × 4096 float image, beside
// the plainest full pass over the same image: every row read as physical values and summed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_images.h"
#include "engine/imgflip.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"

namespace {

constexpr int kSide = 4096;
constexpr std::int64_t kPixels = std::int64_t{kSide} * kSide;

std::unique_ptr<CRalImage> FilledImage() {
  UsePager();
  auto img = std::make_unique<CRalImage>(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  for (int y = 0; y < kSide; ++y) {
    auto* row = static_cast<float*>(img->GetImageAdr(0, y));
    for (int x = 0; x < kSide; ++x) row[x] = static_cast<float>((x * 7 + y * 13) % 65536);
  }
  return img;
}

void BM_PhysicalRowsBaseline(benchmark::State& state) {
  auto img = FilledImage();
  std::vector<double> row(kSide);
  for (auto _ : state) {
    double sum = 0;
    for (int y = 0; y < kSide; ++y) {
      if (!img->GetPhysicalRow(y, 0, row.data())) state.SkipWithError("a row could not be read");
      for (double v : row) sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_PhysicalRowsBaseline)->Unit(benchmark::kMillisecond);

void BM_Histogram(benchmark::State& state) {
  auto img = FilledImage();
  std::vector<std::uint32_t> counts;
  for (auto _ : state)
    if (!img->GetHistGram(0, 0, 100.0, 60000.0, 1024, &counts)) state.SkipWithError("refused");
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_Histogram)->Unit(benchmark::kMillisecond);

void BM_FlipInPlace(benchmark::State& state) {
  auto img = FilledImage();
  for (auto _ : state)
    if (!CImgFlip(*img).Do(static_cast<int>(state.range(0)), nullptr, 0))
      state.SkipWithError("refused");
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_FlipInPlace)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_InvertInPlace(benchmark::State& state) {
  auto img = FilledImage();
  for (auto _ : state)
    if (!CImgInvert(*img).Do(nullptr, nullptr, 0)) state.SkipWithError("refused");
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_InvertInPlace)->Unit(benchmark::kMillisecond);

}  // namespace
