// A night's light curve: FRAMES 16-bit frames of SIDE × SIDE (500 of 2048 × 2048 by
// default, LIGHTCURVE_BENCH_FRAMES and LIGHTCURVE_BENCH_SIDE to change them) with ten
// drifting stars, written once into a temporary folder by the peer script; each frame
// read as the command line reads it, the stars followed and measured, the curve built.
// Beside it the same measurement with astropy and photutils (lightcurve_peer.py), timed
// in the same run. Both in processor seconds, the whole series once each: the files are
// read from the page cache on both sides after the writing. Counters: our seconds, the
// peer's, ours / peer, and seconds per frame.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "batch/batchrun.h"
#include "engine/ralimage.h"
#include "measure/lightcurve.h"

namespace {

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// The peer's output (seconds), or a negative number when it cannot run.
double RunPeer(const std::string& args) {
  const std::string command = "/usr/bin/python3 " LIGHTCURVE_PEER_SCRIPT " " + args + " 2>/dev/null";
  double seconds = -1.0;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1.0;
    if (::pclose(pipe) != 0) seconds = -1.0;
  }
  return seconds;
}

void BM_NightLightCurve(benchmark::State& state) {
  const int frames = EnvInt("LIGHTCURVE_BENCH_FRAMES", 500);
  const int side = EnvInt("LIGHTCURVE_BENCH_SIDE", 2048);
  char pattern[] = "/tmp/vantorel-lightcurve-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  ::setenv("VANTOREL_CONFIG_HOME", (dir + "/config").c_str(), 1);
  const std::string generate =
      "generate " + dir + " " + std::to_string(frames) + " " + std::to_string(side);
  if (std::system(("/usr/bin/python3 " LIGHTCURVE_PEER_SCRIPT " " + generate).c_str()) != 0) {
    state.SkipWithError("the frames could not be written (numpy, astropy, photutils?)");
    std::filesystem::remove_all(dir);
    return;
  }
  std::vector<std::pair<double, double>> stars;
  {
    std::ifstream in(dir + "/stars.txt");
    double x, y;
    // numpy's rows count from FITS row 1; the image holds the top row first.
    while (in >> x >> y) stars.emplace_back(x, side - 1 - y);
  }
  std::vector<std::string> files;
  char name[32];
  for (int i = 0; i < frames; ++i) {
    std::snprintf(name, sizeof name, "/frame%04d.fits", i);
    files.push_back(dir + name);
  }
  LightCurveParams params;  // disc 5, ring 10 to 12, as the peer's
  params.searchRadius = 8;  // the peer's 17 × 17 box
  const LightCurveReader reader = [](const std::string& file, CRalImage& image, std::string*) {
    return ReadBatchImage(file, image);
  };
  double ours = 0.0;
  int kept = 0;
  for (auto _ : state) {
    const std::clock_t t0 = std::clock();
    CLightCurve curve(stars, params);
    const LightCurveResult result = curve.Run(files, reader);
    ours = static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    kept = result.keptCount();
  }
  const double peer = RunPeer("measure " + dir + " " + std::to_string(frames));
  state.counters["frames"] = frames;
  state.counters["kept"] = kept;
  state.counters["ours_s"] = ours;
  state.counters["peer_s"] = peer;
  state.counters["ratio"] = peer > 0 ? ours / peer : -1.0;
  state.counters["ours_s_per_frame"] = ours / frames;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_NightLightCurve)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
