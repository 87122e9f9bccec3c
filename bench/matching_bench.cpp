// The image matching of one pair of star fields (400 Gaussian stars of FWHM 3 pixels,
// shifted by a fractional amount, with noise) at 1024² and 2048²:
//   Matching/N      a fresh CImgMatching per pair (reference read, filtered, transformed),
//   MatchingKept/N  a matching that keeps its reference's spectrum (the batch stack's way),
//   PlainMatching/N the radix-2 computation with the full refinement grids it replaced,
// all in the same run, so the ratios hold on a busy machine. The row pool uses every
// processor unless --threads-like limits are set by the caller (taskset).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/imgmatching.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "tests/support/plain_matching.h"

namespace {

// Pixel (u, v) shows the sky at (u + dx, v + dy).
CRalImage Field(int n, double dx, double dy, std::uint32_t noiseSeed) {
  std::vector<double> v(static_cast<std::size_t>(n) * n, 1000.0);
  std::uint32_t s = 12345;
  auto next = [&s] {
    s = s * 1664525u + 1013904223u;
    return (s >> 8) / 16777216.0;
  };
  const double sigma = 3.0 / 2.3548;
  for (int i = 0; i < 400; ++i) {
    const double x = next() * n - dx, y = next() * n - dy, a = 200 + 4000 * next() * next();
    for (int yy = static_cast<int>(y) - 6; yy <= static_cast<int>(y) + 6; ++yy)
      for (int xx = static_cast<int>(x) - 6; xx <= static_cast<int>(x) + 6; ++xx)
        if (xx >= 0 && yy >= 0 && xx < n && yy < n)
          v[static_cast<std::size_t>(yy) * n + xx] +=
              a * std::exp(-((xx - x) * (xx - x) + (yy - y) * (yy - y)) / (2 * sigma * sigma));
  }
  s = noiseSeed;
  for (double& p : v) p += 40 * (next() + next() + next() - 1.5);
  CRalImage image(n, n, -32, 1, 1.0, 0.0, 1);
  for (int y = 0; y < n; ++y)
    imgsample::WriteSpan(image, 0, n, y, 0, &v[static_cast<std::size_t>(y) * n]);
  return image;
}

struct Pair {
  CRalImage ref, tgt;
  explicit Pair(int n) : ref(Field(n, 0, 0, 1)), tgt(Field(n, 17.35, -9.8, 2)) {}
};

void Check(benchmark::State& state, int rc, double dx, double dy) {
  if (rc != 1 || std::abs(dx - 17.35) > 0.05 || std::abs(dy + 9.8) > 0.05)
    state.SkipWithError("the pair was not matched at its shift");
}

void Matching(benchmark::State& state) {
  Pair pair(static_cast<int>(state.range(0)));
  double dx = 0, dy = 0;
  int rc = 0;
  for (auto _ : state) {
    CImgMatching matching(pair.ref);
    rc = matching.Do(&pair.tgt, &dx, &dy);
  }
  Check(state, rc, dx, dy);
}

void MatchingKept(benchmark::State& state) {
  Pair pair(static_cast<int>(state.range(0)));
  CImgMatching matching(pair.ref);
  matching.KeepReference(true);
  double dx = 0, dy = 0;
  int rc = matching.Do(&pair.tgt, &dx, &dy);  // makes the reference's spectrum
  for (auto _ : state) rc = matching.Do(&pair.tgt, &dx, &dy);
  Check(state, rc, dx, dy);
}

void PlainMatching(benchmark::State& state) {
  Pair pair(static_cast<int>(state.range(0)));
  double dx = 0, dy = 0, score = 0;
  int rc = 0;
  for (auto _ : state) rc = plain_matching::Match(pair.ref, &pair.tgt, &dx, &dy, &score);
  Check(state, rc, dx, dy);
}

BENCHMARK(Matching)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(MatchingKept)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainMatching)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
