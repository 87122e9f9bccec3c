// The row-by-row median of 20 frames of 2048 × 2048 float beside numpy.median(axis=0) of
// a stack of the same shape, timed by a python script in the same run. Counters: our
// seconds, the peer's and the ratio (ours / peer; below 1 is faster).
//
// With --memory instead: 50 such frames stacked under a pager budget of 512 MB, and the
// peak resident size of the process (getrusage) printed in MB; run it on its own, since
// the peak covers the process's whole life.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/imgmedian.h"
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
