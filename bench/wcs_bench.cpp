// One million pixel positions of a TAN image (CD matrix, 2000 × 2000 frame) to right
// ascension and declination: CWCS::ToWCS2 one position at a time, as the information bar
// and the profile graph call it, beside wcslib's wcsp2s converting the same positions in
// one call with its set-up done beforehand.
// Then what vantorel-cli wcs does around that for each position, each beside the C
// library calls it replaces: the texts of x, y, a, d and the sexagesimal angles
// (std::to_chars beside snprintf and strtod), the reading of the pairs (WcsPairReader
// beside scanf), and the information bar's text that --json adds (beside ToWCS2).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wcslib/wcs.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/wcs_lines.h"
#include "imagemodel/image.h"
#include "wcs/wcs.h"
#include "wcs/wcstext.h"

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

// Right ascension and declination of every position, as ToWCS2 gives them.
const std::vector<double>& World() {
  static const std::vector<double> ad = [] {
    const CImage img = TanImage();
    const std::vector<double>& xy = Positions();
    std::vector<double> v(2 * kPositions);
    for (int i = 0; i < kPositions; ++i) {
      tagAD w;
      unsigned int kind = 0;
      int first = 0, second = 0;
      const bool ok = CWCS().ToWCS2(&img, tagSFPoint{xy[2 * i], xy[2 * i + 1]}, &w, &kind, &first,
                                    &second) == 1;
      v[2 * i] = ok ? w.a : NAN;
      v[2 * i + 1] = ok ? w.d : NAN;
    }
    return v;
  }();
  return ad;
}

// The texts as they were made before std::to_chars: numbers by WcsWritePrintfNumber (up
// to three snprintf and strtod a number), the angles by snprintf.
char* SnprintfAngles(char* out, double a, double d) {
  const WcsSexagesimal h = WcsSplitSexagesimal(a / 15.0, 3, 24);
  const WcsSexagesimal s = WcsSplitSexagesimal(d, 2);
  return out + std::snprintf(out, 64, "%02lld:%02d:%02d.%03lld %c%02lld:%02d:%02d.%02lld", h.units,
                             h.minutes, h.seconds, h.fraction, s.negative ? '-' : '+', s.units,
                             s.minutes, s.seconds, s.fraction);
}

// x, y, a, d and the two angles of each position: the numbers and angles of a plain line.
template <bool kToChars>
void BM_LineTexts(benchmark::State& state) {
  const std::vector<double>& xy = Positions();
  const std::vector<double>& ad = World();
  char line[8 * kWcsFieldChars];
  for (auto _ : state) {
    std::size_t total = 0;
    for (int i = 0; i < kPositions; ++i) {
      char* p = line;
      for (const double v : {xy[2 * i], xy[2 * i + 1], ad[2 * i], ad[2 * i + 1]})
        p = kToChars ? WcsWriteNumber(p, v) : WcsWritePrintfNumber(p, v);
      if (kToChars) {
        p = WcsWriteDegrees(WcsWriteHours(p, ad[2 * i]), ad[2 * i + 1]);
      } else {
        p = SnprintfAngles(p, ad[2 * i], ad[2 * i + 1]);
      }
      total += static_cast<std::size_t>(p - line);
      benchmark::DoNotOptimize(line);
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kPositions);
}
BENCHMARK(BM_LineTexts<false>)->Name("BM_LineTexts/snprintf")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineTexts<true>)->Name("BM_LineTexts/to_chars")->Unit(benchmark::kMillisecond);

// The information bar's text of each position, which --json carries beside the numbers.
void BM_BarText(benchmark::State& state) {
  const CImage img = TanImage();
  const std::vector<double>& ad = World();
  for (auto _ : state) {
    std::size_t total = 0;
    for (int i = 0; i < kPositions; ++i)
      total +=
          WcsPhysicalText(img, tagAD{ad[2 * i], ad[2 * i + 1]}, WCS_KIND_CELESTIAL, 1, 1).size();
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kPositions);
}
BENCHMARK(BM_BarText)->Unit(benchmark::kMillisecond);

// The positions as "x y" lines of shortest texts, as a script would send them.
const std::string& PairText() {
  static const std::string text = [] {
    const std::vector<double>& xy = Positions();
    std::string t;
    char line[2 * kWcsFieldChars + 2];
    for (int i = 0; i < kPositions; ++i) {
      char* p = WcsWriteNumber(line, xy[2 * i]);
      *p++ = ' ';
      p = WcsWriteNumber(p, xy[2 * i + 1]);
      *p++ = '\n';
      t.append(line, p);
    }
    return t;
  }();
  return text;
}

void BM_ReadScanf(benchmark::State& state) {
  std::string text = PairText();
  for (auto _ : state) {
    FILE* f = fmemopen(text.data(), text.size(), "r");
    double x = 0.0, y = 0.0, sum = 0.0;
    int pairs = 0;
    while (std::fscanf(f, "%lf %lf", &x, &y) == 2) {
      sum += x + y;
      ++pairs;
    }
    std::fclose(f);
    if (pairs != kPositions) state.SkipWithError("scanf read the wrong number of pairs");
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPositions);
}
BENCHMARK(BM_ReadScanf)->Unit(benchmark::kMillisecond);

void BM_ReadPairs(benchmark::State& state) {
  const std::string& text = PairText();
  const int fd = memfd_create("pairs", 0);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("memfd_create or write failed");
    return;
  }
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    WcsPairReader reader(fd);
    double x = 0.0, y = 0.0, sum = 0.0;
    int pairs = 0;
    while (reader.Next(&x, &y) == WcsPairReader::kPair) {
      sum += x + y;
      ++pairs;
    }
    if (pairs != kPositions) state.SkipWithError("the reader read the wrong number of pairs");
    benchmark::DoNotOptimize(sum);
  }
  close(fd);
  state.SetItemsProcessed(state.iterations() * kPositions);
}
BENCHMARK(BM_ReadPairs)->Unit(benchmark::kMillisecond);

}  // namespace
