// The batch calibration of 8 files of 2048 × 2048 16-bit FITS (BZERO 32768) with a bias,
// a dark and a flat, each saved into a folder, beside two baselines measured in the same
// run: the same targets read, corrected by the per-image entry points (DoDark twice and
// FlatClbrtn, which find the frames' means afresh for every target) and saved; and the
// targets only read and saved, the floor that the files themselves set.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "batch/batchdarkflat.h"
#include "bench/bench_images.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

constexpr int kSide = 2048;
constexpr int kTargets = 8;

bool WriteFrame(const std::string& path, double level, std::uint32_t seed) {
  CRalImage image(kSide, kSide, 16, 1, 1.0, 32768.0, 1);
  image.SetOrgFileFormat("FITS");
  image.SetOrgBitsPixel(16);
  image.SetOrgScaling(1.0, 32768.0);
  std::vector<double> row(kSide);
  std::uint32_t s = seed * 2654435761u + 1;
  for (int y = 0; y < kSide; ++y) {
    for (double& v : row) {
      s = s * 1664525u + 1013904223u;
      v = level + static_cast<double>(s >> 22);  // level … level + 1023
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  return CRalImageIO::WriteImageFile(image, path, 0) == 1;
}

// The frames and targets, written once into a folder of their own.
struct Files {
  std::string dir, bias, dark, flat;
  std::vector<std::string> targets;
  Files() {
    UsePager();
    char pattern[] = "/tmp/vantorel-calibrate-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    bias = dir + "/bias.fits";
    dark = dir + "/dark.fits";
    flat = dir + "/flat.fits";
    bool ok = WriteFrame(bias, 300, 1) && WriteFrame(dark, 400, 2) && WriteFrame(flat, 20000, 3);
    std::filesystem::create_directory(dir + "/out");
    for (int i = 0; i < kTargets; ++i) {
      targets.push_back(dir + "/light" + std::to_string(i) + ".fits");
      ok = ok && WriteFrame(targets.back(), 1500, 10 + i);
    }
    if (!ok) dir.clear();
  }
  ~Files() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string Out(int i) const { return dir + "/out/light" + std::to_string(i) + ".fits"; }
};

const Files& TheFiles() {
  static Files files;
  return files;
}

void BM_CalibrateBatch(benchmark::State& state) {
  const Files& f = TheFiles();
  if (f.dir.empty()) return state.SkipWithError("the files could not be written");
  BatchDarkFlatSettings s;
  s.bias.path = f.bias;
  s.dark.path = f.dark;
  s.flat.path = f.flat;
  s.result = 2;
  s.folder = f.dir + "/out";
  std::vector<BatchTarget> targets;
  for (const std::string& t : f.targets) targets.push_back({t, nullptr});
  for (auto _ : state) {
    CBatchDarkFlat run(s, targets);
    if (!run.ImageProc() || !run.GetFailures().empty()) state.SkipWithError("the run failed");
  }
  state.SetItemsProcessed(state.iterations() * kTargets);
}
BENCHMARK(BM_CalibrateBatch)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the frames prepared once as the run prepares them, then each target read,
// corrected by the per-image entry points and saved.
void BM_CalibratePerImage(benchmark::State& state) {
  const Files& f = TheFiles();
  if (f.dir.empty()) return state.SkipWithError("the files could not be written");
  CRalImage bias, dark, flat;
  if (!ReadBatchImage(f.bias, bias) || !ReadBatchImage(f.dark, dark) ||
      !ReadBatchImage(f.flat, flat) || !DoDark(dark, bias) || !DoDark(flat, bias))
    return state.SkipWithError("the frames could not be read");
  for (auto _ : state) {
    for (int i = 0; i < kTargets; ++i) {
      CRalImage image;
      if (!ReadBatchImage(f.targets[i], image) || !DoDark(image, bias) || !DoDark(image, dark) ||
          !image.FlatClbrtn(flat, 0) || CRalImageIO::WriteImageFile(image, f.Out(i), 0) != 1)
        state.SkipWithError("a target failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kTargets);
}
BENCHMARK(BM_CalibratePerImage)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: each target read and saved, nothing else.
void BM_ReadAndSaveOnly(benchmark::State& state) {
  const Files& f = TheFiles();
  if (f.dir.empty()) return state.SkipWithError("the files could not be written");
  for (auto _ : state) {
    for (int i = 0; i < kTargets; ++i) {
      CRalImage image;
      if (!ReadBatchImage(f.targets[i], image) ||
          CRalImageIO::WriteImageFile(image, f.Out(i), 0) != 1)
        state.SkipWithError("a target failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kTargets);
}
BENCHMARK(BM_ReadAndSaveOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// In memory, one target of 2048 × 2048 floats (as a 16-bit file reads): the bias, the
// dark and the flat applied in one pass over the rows, beside the baseline of the three
// separate steps (DarkClbrtn, DarkClbrtn, FlatClbrtn) in the same run. Each iteration
// starts from a fresh copy of the target, in both.
struct InMemory {
  CRalImage bias, dark, flat, target;
  std::vector<double> means;
  bool ok = false;
  InMemory() {
    const Files& f = TheFiles();
    ok = !f.dir.empty() && ReadBatchImage(f.bias, bias) && ReadBatchImage(f.dark, dark) &&
         ReadBatchImage(f.flat, flat) && ReadBatchImage(f.targets[0], target) &&
         CRalImage::GetFlatMeans(flat, &means);
  }
};

const InMemory& TheImages() {
  static InMemory images;
  return images;
}

void BM_CalibrateRowsOnePass(benchmark::State& state) {
  const InMemory& m = TheImages();
  if (!m.ok) return state.SkipWithError("the images could not be read");
  for (auto _ : state) {
    state.PauseTiming();
    CRalImage image(m.target);
    state.ResumeTiming();
    if (image.CalibrateInOnePass(&m.bias, &m.dark, &m.flat, &m.means, 0) != 1)
      state.SkipWithError("the one pass was refused");
  }
}
BENCHMARK(BM_CalibrateRowsOnePass)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same three steps one after another.
void BM_CalibrateRowsThreeSteps(benchmark::State& state) {
  const InMemory& m = TheImages();
  if (!m.ok) return state.SkipWithError("the images could not be read");
  for (auto _ : state) {
    state.PauseTiming();
    CRalImage image(m.target);
    state.ResumeTiming();
    if (!image.DarkClbrtn(m.bias, 0) || !image.DarkClbrtn(m.dark, 0) ||
        !image.FlatClbrtn(m.flat, m.means, 0))
      state.SkipWithError("a step failed");
  }
}
BENCHMARK(BM_CalibrateRowsThreeSteps)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
