// The row-by-row median of 20 frames of 2048 × 2048 float beside numpy.median(axis=0) of
// a stack of the same shape, timed by a python script in the same run. Counters: our
// seconds, the peer's and the ratio (ours / peer; below 1 is faster).
//
// The time per pixel and frame of the median by depth (32 … 200 frames), so that a step
// in it shows: BM_MedianRowPerFrame reduces one gathered row of 2048 columns as a stack's
// Calc does (whole numbers: the keyed selection from mediannet::kKeyedFrom frames, else
// and for fractions the network, up to its largest count, then the selection), beside the plain
// per-pixel selection (imgclip::Median) on the same values in the same iterations;
// BM_Stack16PerFrame runs the whole row-by-row median of 16-bit frames (reading included) beside
// the same plain selection of the gathered values.
//
// BM_StoreShifted: Store of frames shifted by fractions of a pixel, the shortcut for
// shifted frames beside the general loop.
//
// With --memory instead: 50 such frames stacked under a pager budget of 512 MB, and the
// peak resident size of the process (getrusage) printed in MB; run it on its own, since
// the peak covers the process's whole life.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/imgclip.h"
#include "engine/imgmedian.h"
#include "engine/imgsample.h"
#include "engine/mediannet.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"

namespace {

constexpr int kSide = 2048;

struct ConfigHome {
  std::string path;
  ConfigHome() {
    char pattern[] = "/tmp/vantorel-bench-XXXXXX";
    path = ::mkdtemp(pattern);
    ::setenv("VANTOREL_CONFIG_HOME", path.c_str(), 1);
  }
  ~ConfigHome() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

void Fill(CRalImage& img, std::uint32_t seed) {
  std::vector<double> row(static_cast<std::size_t>(img.GetWidth()));
  std::uint32_t s = seed * 2654435761u + 12345;
  for (int y = 0; y < img.GetHeight(); ++y) {
    for (double& v : row) {
      s = s * 1664525u + 1013904223u;
      v = 50.0f + static_cast<float>(s >> 8) * (4000.0f / 16777216.0f);
    }
    img.SetPhysicalRow(y, 0, row.data());
  }
}

bool Median(std::vector<CRalImage>& frames, CRalImage& dest) {
  CImgMedianComposit median(dest);
  for (int y = 0; y < dest.GetHeight(); ++y) {
    for (const auto& f : frames)
      if (!median.Store(&f, y, 0, 0, 0)) return false;
    if (!median.Calc()) return false;
  }
  return true;
}

double CpuNow() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The peer's wall-clock and CPU seconds; negative when it cannot run.
double PeerSeconds(int frames, double* cpu) {
  const std::string command = "/usr/bin/python3 " STACK_PEER_SCRIPT " " + std::to_string(frames) +
                              " " + std::to_string(kSide) + " 2 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  double seconds = -1;
  if (pipe) {
    if (std::fscanf(pipe, "%lf %lf", &seconds, cpu) != 2) seconds = -1;
    ::pclose(pipe);
  }
  return seconds;
}

void BM_Median20VsNumpy(benchmark::State& state) {
  // A budget that holds the stack, as numpy holds it in memory.
  static ConfigHome home;
  CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MinMemorySize", 2048, CRegistry::TYPE_INT);
  CVmManager::Restart();
  std::vector<CRalImage> frames;
  for (int f = 0; f < 20; ++f) {
    frames.emplace_back(kSide, kSide, -32, 1, 1.0, 0.0, 1);
    Fill(frames.back(), f);
  }
  double peerCpu = 0;
  const double peer = PeerSeconds(20, &peerCpu);
  if (peer <= 0) {
    state.SkipWithError("the python peer (numpy) did not run");
    return;
  }
  double best = 1e300, bestCpu = 1e300;
  for (auto _ : state) {
    CRalImage dest(kSide, kSide, -32, 1, 1.0, 0.0, 1);
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuNow();
    if (!Median(frames, dest)) state.SkipWithError("refused");
    bestCpu = std::min(bestCpu, CpuNow() - c0);
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  state.counters["ours_s"] = best;
  state.counters["peer_s"] = peer;
  state.counters["ratio"] = best / peer;
  state.counters["ours_cpu_s"] = bestCpu;
  state.counters["peer_cpu_s"] = peerCpu;
  state.counters["cpu_ratio"] = bestCpu / peerCpu;
}
BENCHMARK(BM_Median20VsNumpy)->Unit(benchmark::kMillisecond)->Iterations(2);

// Sky values of a column: whole numbers round 1000 with one in twenty far out (a star or
// a cosmic-ray hit), or the same with fractions.
double Sky(std::uint32_t& s, bool whole) {
  s = s * 1664525u + 1013904223u;
  double v = 1000.0 + static_cast<double>(s >> 8) * (160.0 / 16777216.0);
  if ((s & 31) == 0) v += 20000.0 * ((s >> 5) & 3);
  return whole ? std::round(v) : v;
}

// The processor seconds of the calling thread, which other programs on the machine
// disturb less than the wall clock does.
double ThreadCpuNow() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The plain path beside the measured one: each column's finite values gathered and
// reduced by the selection, as a block that neither method takes goes.

void PlainRow(const std::vector<double>& values, int frames, int width, double* out) {
  std::vector<double> scratch(static_cast<std::size_t>(frames));
  for (int x = 0; x < width; ++x) {
    int n = 0;
    for (int f = 0; f < frames; ++f) {
      const double v = values[static_cast<std::size_t>(f) * width + x];
      if (std::isfinite(v)) scratch[n++] = v;
    }
    out[x] = imgclip::Median(scratch.data(), n);
  }
}

void BM_MedianRowPerFrame(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  const bool whole = state.range(1) != 0;
  const int width = kSide;
  std::vector<double> values(static_cast<std::size_t>(frames) * width);
  std::uint32_t s = 77;
  for (double& v : values) v = Sky(s, whole);
  const mediannet::Network network(frames);
  std::vector<std::int16_t> keys(static_cast<std::size_t>(frames) * mediannet::kColumns);
  std::vector<double> out(width), plain(width);
  double ours = 0, base = 0;
  for (auto _ : state) {
    const double t0 = ThreadCpuNow();
    for (int x = 0; x < width; x += mediannet::kColumns) {
      const double* in = &values[x];
      if (whole && frames >= mediannet::kKeyedFrom &&
          mediannet::KeyedBlock(in, width, frames, keys.data(), &out[x]))
        continue;
      if (network.Block(in, width, &out[x])) continue;
      for (int c = x; c < x + mediannet::kColumns; ++c) {
        std::vector<double> column(static_cast<std::size_t>(frames));
        for (int f = 0; f < frames; ++f)
          column[f] = values[static_cast<std::size_t>(f) * width + c];
        out[c] = imgclip::Median(column.data(), frames);
      }
    }
    const double t1 = ThreadCpuNow();
    PlainRow(values, frames, width, plain.data());
    ours += t1 - t0;
    base += ThreadCpuNow() - t1;
    benchmark::DoNotOptimize(out.data());
  }
  if (out != plain) state.SkipWithError("the medians differ from the plain selection's");
  const double per = 1e9 / (static_cast<double>(state.iterations()) * width * frames);
  state.counters["ns_per_px_frame"] = ours * per;
  state.counters["plain_ns_per_px_frame"] = base * per;
  state.counters["ratio"] = ours / base;
}
BENCHMARK(BM_MedianRowPerFrame)
    ->ArgNames({"frames", "whole"})
    ->ArgsProduct({{5, 12, 16, 20, 32, 64, 65, 100, 128, 200, 256, 257, 512, 1024}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);

void BM_Stack16PerFrame(benchmark::State& state) {
  static ConfigHome home;
  const int frames = static_cast<int>(state.range(0));
  constexpr int kRows = 16;
  std::vector<CRalImage> stack;
  std::vector<double> row(kSide);
  std::uint32_t s = 99;
  for (int f = 0; f < frames; ++f) {
    stack.emplace_back(kSide, kRows, 16, 1, 1.0, 32768.0, 1);
    for (int y = 0; y < kRows; ++y) {
      for (double& v : row) v = Sky(s, true);
      imgsample::WriteSpan(stack.back(), 0, kSide, y, 0, row.data());
    }
  }
  CRalImage dest(kSide, kRows, -64, 1, 1.0, 0.0, 1);
  double ours = 0, base = 0;
  std::vector<double> gathered(static_cast<std::size_t>(frames) * kSide), plain(kSide), got(kSide);
  bool same = true;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!Median(stack, dest)) state.SkipWithError("refused");
    ours += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The baseline: the same rows gathered, then the plain selection.
    for (int y = 0; y < kRows; ++y) {
      const auto t1 = std::chrono::steady_clock::now();
      for (int f = 0; f < frames; ++f)
        imgsample::ReadSpan(stack[f], 0, kSide, y, 0,
                            &gathered[static_cast<std::size_t>(f) * kSide]);
      PlainRow(gathered, frames, kSide, plain.data());
      base += std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
      imgsample::ReadSpan(dest, 0, kSide, y, 0, got.data());
      same = same && got == plain;
    }
  }
  if (!same) state.SkipWithError("the medians differ from the plain selection's");
  const double per = 1e9 / (static_cast<double>(state.iterations()) * kSide * kRows * frames);
  state.counters["ns_per_px_frame"] = ours * per;
  state.counters["plain_ns_per_px_frame"] = base * per;
  state.counters["ratio"] = ours / base;
}
BENCHMARK(BM_Stack16PerFrame)
    ->ArgName("frames")
    ->Arg(20)
    ->Arg(32)
    ->Arg(64)
    ->Arg(65)
    ->Arg(100)
    ->Arg(128)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond);

// Storing rows of 16-bit frames shifted by fractions of a pixel (no turn), as an aligned
// stack does: the sampling shortcut for shifted frames beside the general loop of turned
// frames on the same frames, shifts and rows in the same iterations (Store alone; the
// rows are dropped by a Calc outside the timing). The stored values are compared.
void BM_StoreShifted(benchmark::State& state) {
  static ConfigHome home;
  const int frames = static_cast<int>(state.range(0));
  constexpr int kRows = 32;
  std::vector<CRalImage> stack;
  std::vector<double> row(kSide);
  std::uint32_t s = 5;
  for (int f = 0; f < frames; ++f) {
    stack.emplace_back(kSide, kRows + 16, 16, 1, 1.0, 32768.0, 1);
    for (int y = 0; y < kRows + 16; ++y) {
      for (double& v : row) v = Sky(s, true);
      imgsample::WriteSpan(stack.back(), 0, kSide, y, 0, row.data());
    }
  }
  CRalImage dest[2] = {CRalImage(kSide, kRows, -64, 1, 1.0, 0.0, 1),
                       CRalImage(kSide, kRows, -64, 1, 1.0, 0.0, 1)};
  double seconds[2] = {0, 0};
  for (auto _ : state) {
    for (int way = 0; way < 2; ++way) {
      CImgMedianComposit median(dest[way]);
      median.SetShiftShortcut(way == 0);
      for (int y = 0; y < kRows; ++y) {
        const double t0 = ThreadCpuNow();
        for (int f = 0; f < frames; ++f)
          median.Store(&stack[f], y, 1.37 * f - 6.1, -0.83 * f - 4.3, 0.0);
        seconds[way] += ThreadCpuNow() - t0;
        median.Calc();
      }
    }
  }
  std::vector<double> a(kSide), b(kSide);
  for (int y = 0; y < kRows; ++y) {
    imgsample::ReadSpan(dest[0], 0, kSide, y, 0, a.data());
    imgsample::ReadSpan(dest[1], 0, kSide, y, 0, b.data());
    if (std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) != 0) {
      state.SkipWithError("the shortcut's stack differs from the general loop's");
      return;
    }
  }
  const double per = 1e9 / (static_cast<double>(state.iterations()) * kSide * kRows * frames);
  state.counters["ns_per_px_frame"] = seconds[0] * per;
  state.counters["general_ns_per_px_frame"] = seconds[1] * per;
  state.counters["ratio"] = seconds[0] / seconds[1];
}
BENCHMARK(BM_StoreShifted)->ArgName("frames")->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);

int MemoryRun() {
  ConfigHome home;
  CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MinMemorySize", 512, CRegistry::TYPE_INT);
  CVmManager::Restart();
  std::vector<CRalImage> frames;
  for (int f = 0; f < 50; ++f) {
    frames.emplace_back(kSide, kSide, -32, 1, 1.0, 0.0, 1);
    Fill(frames.back(), f);
  }
  CRalImage dest(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = Median(frames, dest);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  rusage use{};
  ::getrusage(RUSAGE_SELF, &use);
  std::printf(
      "median of 50 frames of %d x %d float, budget 512 MB: %s, %.1f s, peak RSS %.0f MB, "
      "swap %.0f MB\n",
      kSide, kSide, ok ? "done" : "FAILED", seconds, use.ru_maxrss / 1024.0,
      CVmManager::GetCurrentSwapSize() / 1048576.0);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--memory") == 0) return MemoryRun();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
