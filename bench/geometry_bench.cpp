// A free turn by 17° and halving the resolution of a resident 4096 × 4096 float image,
// each beside its peer timed in the same run by a python script: scipy.ndimage.rotate with
// order 1, and a numpy 2 × 2 block mean. Counters: our seconds, the peer's and the ratio
// (ours / peer; below 1 is faster).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/bench_images.h"
#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"

namespace {

constexpr int kSide = 4096;

// The peer's best time in seconds, or a negative value when it cannot run.
double PeerSeconds(const char* op) {
  const std::string command = "/usr/bin/python3 " GEOMETRY_PEER_SCRIPT " " + std::string(op) + " " +
                              std::to_string(kSide) + " 3 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  double seconds = -1;
  if (pipe) {
    if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
    ::pclose(pipe);
  }
  return seconds;
}

template <typename F>
void Compare(benchmark::State& state, const char* peerOp, F op) {
  UsePager();
  CRalImage source(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  FillNoise(source);
  const double peer = PeerSeconds(peerOp);
  if (peer <= 0) {
    state.SkipWithError("the python peer (numpy, scipy) did not run");
    return;
  }
  double best = 1e300;
  for (auto _ : state) {
    CRalImage img;
    const auto t0 = std::chrono::steady_clock::now();
    if (!op(img, source)) state.SkipWithError("refused");
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  state.counters["ours_s"] = best;
  state.counters["peer_s"] = peer;
  state.counters["ratio"] = best / peer;
}

void BM_Rotate17VsScipy(benchmark::State& state) {
  Compare(state, "rotate", [](CRalImage& img, const CRalImage& src) {
    return CImgRotate(img).Do(17.0, 0, &src, 0);
  });
}
BENCHMARK(BM_Rotate17VsScipy)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HalveVsNumpyBlockMean(benchmark::State& state) {
  Compare(state, "halve", [](CRalImage& img, const CRalImage& src) {
    return CImgResolution(img).Do(&src, kSide / 2, kSide / 2, 0);
  });
}
BENCHMARK(BM_HalveVsNumpyBlockMean)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
