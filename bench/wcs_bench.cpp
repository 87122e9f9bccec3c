// One million pixel positions of a TAN image (CD matrix, 2000 × 2000 frame) to right
// ascension and declination: CWCS::ToWCS2 one position at a time, as the information bar
// and the profile graph call it, beside wcslib's wcsp2s converting the same positions in
// one call with its set-up done beforehand.
#include <benchmark/benchmark.h>
#include <wcslib/wcs.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "imagemodel/image.h"
#include "wcs/wcs.h"

namespace {

constexpr int kPositions = 1000000;
constexpr double kCrpix[2] = {1000.5, 1000.5};
constexpr double kCrval[2] = {83.8221, -5.3911};
constexpr double kCd[2][2] = {{-2.8e-4, 3.0e-6}, {2.0e-6, 2.8e-4}};

const std::vector<double>& Positions() {
  static const std::vector<double> xy = [] {
    std::vector<double> v(2 * kPositions);
    std::uint64_t s = 0x9E3779B97F4A7C15u;
    for (double& p : v) {
      s = s * 6364136223846793005u + 1442695040888963407u;
      p = 1.0 + 1999.0 * static_cast<double>(s >> 11) / 9007199254740992.0;
    }
    return v;
  }();
  return xy;
}

CImage TanImage() {
  CImage img;
  img.SetCType(0, "'RA---TAN'");
  img.SetCType(1, "'DEC--TAN'");
  for (int i = 0; i < 2; ++i) {
    img.SetCRPix(i, kCrpix[i]);
    img.SetCRVal(i, kCrval[i]);
  }
  img.SetLTMtx({kCd[0][0], kCd[0][1], kCd[1][0], kCd[1][1]}, 1);
  return img;
}

void BM_ToWCS2(benchmark::State& state) {
  const CImage img = TanImage();
  const std::vector<double>& xy = Positions();
  const CWCS wcs;
  for (auto _ : state) {
    double sum = 0.0;
    for (int i = 0; i < kPositions; ++i) {
      tagAD ad;
      unsigned int kind = 0;
      int first = 0, second = 0;
      if (wcs.ToWCS2(&img, tagSFPoint{xy[2 * i], xy[2 * i + 1]}, &ad, &kind, &first, &second))
        sum += ad.a + ad.d;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPositions);
}
BENCHMARK(BM_ToWCS2)->Unit(benchmark::kMillisecond);

void BM_WcslibP2s(benchmark::State& state) {
  wcsprm w{};
  w.flag = -1;
  wcsini(1, 2, &w);
  std::snprintf(w.ctype[0], 72, "RA---TAN");
  std::snprintf(w.ctype[1], 72, "DEC--TAN");
  for (int i = 0; i < 2; ++i) {
    w.crpix[i] = kCrpix[i];
    w.crval[i] = kCrval[i];
  }
  w.altlin = 2;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) w.cd[2 * i + j] = kCd[i][j];
  if (wcsset(&w) != 0) state.SkipWithError("wcsset failed");
  const std::vector<double>& xy = Positions();
  std::vector<double> img(2 * kPositions), phi(kPositions), theta(kPositions),
      world(2 * kPositions);
  std::vector<int> stat(kPositions);
  for (auto _ : state) {
    wcsp2s(&w, kPositions, 2, xy.data(), img.data(), phi.data(), theta.data(), world.data(),
           stat.data());
    double sum = 0.0;
    for (int i = 0; i < kPositions; ++i)
      if (stat[i] == 0) sum += world[2 * i] + world[2 * i + 1];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPositions);
  wcsfree(&w);
}
BENCHMARK(BM_WcslibP2s)->Unit(benchmark::kMillisecond);

}  // namespace
