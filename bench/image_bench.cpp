// Reading every pixel of a 4096 × 4096 float image row by row through the pager:
//  - resident in memory, beside memcpy of the same 64 MiB;
//  - at twice the memory budget (every block comes back from the swap file), beside a
//    sequential pread of as many bytes from a file in the swap folder.
// Each sweep is measured twice: folding the words (a pure read) and copying every row out
// (read and write, like the memcpy).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imagemodel/image.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"

namespace {

constexpr int kSide = 4096;
constexpr std::size_t kBytes = std::size_t{kSide} * kSide * sizeof(float);

void UsePager(int budgetMB) {
  static std::string dir = [] {
    char pattern[] = "/tmp/vantorel-bench-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  ::setenv("VANTOREL_CONFIG_HOME", dir.c_str(), 1);
  (void)CRegistry::Write("VMManager", "MemoryRatio", budgetMB > 0 ? 0 : 70, CRegistry::TYPE_INT);
  (void)CRegistry::Write("VMManager", "MinMemorySize", budgetMB > 0 ? budgetMB : 32,
                         CRegistry::TYPE_INT);
  CVmManager::Restart();
}

std::unique_ptr<CImage> FilledImage() {
  auto img = std::make_unique<CImage>(-32, kSide, kSide, 1, 1.0, 0.0, 1);
  for (int y = 0; y < kSide; ++y) {
    auto* row = static_cast<float*>(img->GetImageAdr(0, y));
    for (int x = 0; x < kSide; ++x) row[x] = static_cast<float>(x ^ y);
  }
  return img;
}

// Reads every pixel once: folds the rows' 32-bit words together (the compiler vectorises
// this), so the figure is the cost of reaching the bytes, not of arithmetic on them.
std::uint32_t Fold(CImage& img, bool& ok) {
  std::uint32_t acc = 0;
  ok = true;
  for (int y = 0; y < kSide; ++y) {
    const auto* row = static_cast<const std::uint32_t*>(img.GetImageAdr(0, y, 0, IMG_READONLY));
    if (!row) {
      ok = false;
      return 0;
    }
    for (int x = 0; x < kSide; ++x) acc ^= row[x];
  }
  return acc;
}

// Reads every row out of the image, so that the same bytes move as in the memcpy.
bool Sweep(CImage& img, float* out) {
  for (int y = 0; y < kSide; ++y) {
    const auto* row = static_cast<const float*>(img.GetImageAdr(0, y, 0, IMG_READONLY));
    if (!row) return false;
    std::memcpy(out + std::size_t{kSide} * y, row, kSide * sizeof(float));
  }
  return true;
}

void BM_MemcpyBaseline(benchmark::State& state) {
  std::vector<char> from(kBytes, 1), to(kBytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);

void BM_SweepResident(benchmark::State& state) {
  UsePager(0);
  auto img = FilledImage();
  std::vector<float> out(std::size_t{kSide} * kSide);
  for (auto _ : state) {
    if (!Sweep(*img, out.data())) state.SkipWithError("a row could not be read");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
  img.reset();
}
BENCHMARK(BM_SweepResident)->Unit(benchmark::kMillisecond);

void BM_FoldResident(benchmark::State& state) {
  UsePager(0);
  auto img = FilledImage();
  bool ok = true;
  for (auto _ : state) benchmark::DoNotOptimize(Fold(*img, ok));
  if (!ok) state.SkipWithError("a row could not be read");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
  img.reset();
}
BENCHMARK(BM_FoldResident)->Unit(benchmark::kMillisecond);

void BM_PreadBaseline(benchmark::State& state) {
  UsePager(32);
  std::string path = CVmManager::Instance().GetSwapDirectory() + "/vantorel-bench-XXXXXX";
  int fd = ::mkstemp(path.data());
  ::unlink(path.c_str());
  const std::size_t block = CVmManager::Instance().GetBlockSize();
  std::vector<char> buffer(block, 2);
  for (std::size_t off = 0; off < kBytes; off += block)
    if (::pwrite(fd, buffer.data(), block, static_cast<off_t>(off)) < 0) state.SkipWithError("write");
  for (auto _ : state) {
    for (std::size_t off = 0; off < kBytes; off += block)
      benchmark::DoNotOptimize(::pread(fd, buffer.data(), block, static_cast<off_t>(off)));
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}
BENCHMARK(BM_PreadBaseline)->Unit(benchmark::kMillisecond);

void BM_SweepTwiceTheBudget(benchmark::State& state) {
  UsePager(32);  // the image needs 64 MiB
  auto img = FilledImage();
  std::vector<float> out(std::size_t{kSide} * kSide);
  Sweep(*img, out.data());  // every block now has its copy in the swap file
  for (auto _ : state) {
    if (!Sweep(*img, out.data())) state.SkipWithError("a row could not be read");
    benchmark::ClobberMemory();
  }
  state.counters["disk_reads"] = static_cast<double>(CVmManager::Instance().GetDiskReads());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
  img.reset();
}
BENCHMARK(BM_SweepTwiceTheBudget)->Unit(benchmark::kMillisecond);

void BM_FoldTwiceTheBudget(benchmark::State& state) {
  UsePager(32);
  auto img = FilledImage();
  bool ok = true;
  Fold(*img, ok);
  for (auto _ : state) benchmark::DoNotOptimize(Fold(*img, ok));
  if (!ok) state.SkipWithError("a row could not be read");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
  img.reset();
}
BENCHMARK(BM_FoldTwiceTheBudget)->Unit(benchmark::kMillisecond);

}  // namespace
