// A 4096-pixel diagonal profile of width 51 on a 4096 x 4096 float image (16 381 points,
// each the mean of 51 bilinear values across the line), beside scipy's map_coordinates of
// the same points in the same run. Counters: our seconds, the peer's, and ours / peer's.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_images.h"
#include "graph/graph2ddata.h"

namespace {

constexpr int kSize = 4096, kWidth = 51;
constexpr double kX1 = 0.0, kY1 = 0.0, kX2 = kSize - 1, kY2 = kSize - 1;

CRalImage& Image() {
  static CRalImage* image = [] {
    auto* img = new CRalImage(kSize, kSize, -32, 1, 1.0, 0.0, 1);
    FillNoise(*img);
    img->AllocLevel();
    img->SetLevel(0, 50.0, 4050.0);
    return img;
  }();
  return *image;
}

// The peer's best time and its profile sum, or a negative time when python, numpy or
// scipy is missing.
std::pair<double, double> PeerSeconds(const CRalImage& image) {
  char raw[] = "/tmp/profile_benchXXXXXX";
  const int fd = mkstemp(raw);
  if (fd < 0) return {-1.0, 0.0};
  for (int y = 0; y < kSize; ++y)
    if (write(fd, image.GetImageAdr(0, y, 0), kSize * sizeof(float)) != kSize * 4) break;
  close(fd);
  char cmd[1024];
  std::snprintf(cmd, sizeof cmd, "/usr/bin/python3 %s %s %d %d %g %g %g %g %d 10",
                PROFILE_PEER_SCRIPT, raw, kSize, kSize, kX1, kY1, kX2, kY2, kWidth);
  double seconds = -1.0, sum = 0.0;
  if (FILE* p = popen(cmd, "r")) {
    if (std::fscanf(p, "%lf %lf", &seconds, &sum) != 2) seconds = -1.0;
    pclose(p);
  }
  unlink(raw);
  return {seconds, sum};
}

void BM_DiagonalProfileWidth51(benchmark::State& state) {
  const CRalImage& image = Image();
  static const std::pair<double, double> peer = PeerSeconds(image);
  double sum = 0.0, best = 1e300;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const CCtrlGraph2DData d = SampleProfile(image, kX1, kY1, kX2, kY2, kWidth);
    benchmark::DoNotOptimize(d.m_Value[0].data());
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    sum = 0.0;
    for (float v : d.m_Value[0]) sum += v;
  }
  // Best against best: both sides are timed the same way on a noisy machine.
  state.counters["ours_s"] = best;
  state.counters["peer_s"] = peer.first;
  if (peer.first > 0.0) {
    state.counters["ratio"] = best / peer.first;
    // The same profile on both sides, as a check that they did the same work.
    state.counters["sum_rel_diff"] = std::fabs(sum - peer.second) / std::fabs(peer.second);
  }
}

BENCHMARK(BM_DiagonalProfileWidth51)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
