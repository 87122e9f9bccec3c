// Detection by the positioning tool over a whole 4096 × 4096 float frame (factor 0.5, so
// every local peak of the noise above half a deviation becomes a row with its centre of
// gravity), beside the same rule in numpy and scipy (maximum_filter 5 × 5 and the
// threshold, without centres) timed by the peer script in the same run. Both sides are
// timed in processor seconds, best of three. Counters: our seconds, the peer's, ours /
// peer, and the rows and peaks each found.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_images.h"
#include "measure/positioning.h"

namespace {

constexpr int kSide = 4096;
constexpr double kFactor = 0.5;

// The peer's seconds and peak count, or a negative time when it cannot run.
double PeerSeconds(const CRalImage& image, double* peaks) {
  char pattern[] = "/tmp/vantorel-pos-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  {
    std::ofstream f(dir + "/frame.raw", std::ios::binary);
    for (int y = 0; y < kSide; ++y)
      f.write(static_cast<const char*>(image.GetImageAdr(0, y, 0)), kSide * sizeof(float));
  }
  const std::string command = "/usr/bin/python3 " POSITIONING_PEER_SCRIPT " " + dir +
                              "/frame.raw " + std::to_string(kFactor) + " 2>/dev/null";
  double seconds = -1.0;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf %lf", &seconds, peaks) != 2) seconds = -1.0;
    ::pclose(pipe);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return seconds;
}

void BM_DetectWholeFrame(benchmark::State& state) {
  char pattern[] = "/tmp/vantorel-bench-XXXXXX";
  const std::string home = ::mkdtemp(pattern);
  ::setenv("VANTOREL_CONFIG_HOME", home.c_str(), 1);
  CRalImage image(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  FillNoise(image);
  double best = 0.0;
  int rows = 0;
  for (auto _ : state) {
    const std::clock_t t0 = std::clock();
    CPositioning pos;
    pos.SetMethod(CPositioning::SEARCH);
    pos.SetFactor(kFactor);
    pos.Measure(&image, 0, 0, kSide - 1, kSide - 1);
    rows = pos.GetItemCount();
    benchmark::DoNotOptimize(rows);
    const double s = static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    best = best == 0.0 || s < best ? s : best;
  }
  double peaks = 0.0;
  const double peer = PeerSeconds(image, &peaks);
  state.counters["ours_s"] = best;
  state.counters["peer_s"] = peer;
  state.counters["ratio"] = peer > 0 ? best / peer : -1.0;
  state.counters["rows"] = rows;
  state.counters["peer_peaks"] = peaks;
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}
BENCHMARK(BM_DetectWholeFrame)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
