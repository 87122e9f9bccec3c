// Converting a 16-bit FITS file of 4096 x 4096 and of 8192 x 8192 pixels to FITS with
// vantorel-cli (read into floats with the scaling folded in, automatic levels, a plain
// save back to 16-bit integers through a temporary file, fsync and rename), beside
// cfitsio's fitscopy of the same file followed by sync of its output, in the same run:
// both then pay for a flush to disk, and both run as processes, so both pay a process
// start. The vantorel figure carries its ratio to the fitscopy one (goal: at most 1.2).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fits/fits.h"

extern char** environ;

namespace {

std::string BinDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<std::size_t>(n));
  return p.substr(0, p.find_last_of('/'));
}

struct Files {
  std::string dir, in, outVantorel, outCfitsio;
  explicit Files(int side) {
    char tmpl[] = "/tmp/vtl-convert-bench-XXXXXX";
    dir = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    in = dir + "/in.fits";
    outVantorel = dir + "/out-vantorel.fits";
    outCfitsio = dir + "/out-cfitsio.fits";
    // Unsigned 16-bit sky with a gradient and stars, written as FITS does (BZERO 32768).
    CRalImage image(side, side, 16, 1, 1.0, 32768.0, 1);
    for (int y = 0; y < side; ++y) {
      auto* row = static_cast<std::int16_t*>(image.GetImageAdr(0, y, 0));
      for (int x = 0; x < side; ++x) {
        const unsigned v = 1000u + static_cast<unsigned>(x + y) / 4u +
                           ((x * 7919u + y * 104729u) % 997u == 0 ? 40000u : (x ^ y) % 64u);
        row[x] = static_cast<std::int16_t>(static_cast<int>(v) - 32768);
      }
    }
    image.SetOrgFileFormat("FITS");
    image.SetOrgBitsPixel(16);
    if (CFits::Write(image, in, nullptr, {}) != FITS_OK) std::abort();
  }
  ~Files() {
    for (const std::string& f : {in, outVantorel, outCfitsio}) ::unlink(f.c_str());
    ::rmdir(dir.c_str());
  }
};

Files& TheFiles(int side) {
  static std::map<int, std::unique_ptr<Files>> files;
  auto& f = files[side];
  if (!f) f = std::make_unique<Files>(side);
  return *f;
}

int Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return rc;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<int, double> g_cfitsioSeconds;

void BM_FitscopySyncBaseline(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  Files& f = TheFiles(side);
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    // "!" tells cfitsio to replace an existing output.
    const std::string target = std::string("!").append(f.outCfitsio);
    if (Run({"fitscopy", f.in, target}) != 0 || Run({"sync", f.outCfitsio}) != 0)
      state.SkipWithError("fitscopy failed");
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  g_cfitsioSeconds[side] = total / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * std::int64_t{side} * side * 2);
}

void BM_VantorelConvert(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  Files& f = TheFiles(side);
  const std::string cli = BinDir() + "/vantorel-cli";
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (Run({cli, "convert", f.in, f.outVantorel}) != 0) state.SkipWithError("convert failed");
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  const double mine = total / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * std::int64_t{side} * side * 2);
  if (g_cfitsioSeconds[side] > 0)
    state.counters["ratio_to_fitscopy_sync"] = mine / g_cfitsioSeconds[side];
}

}  // namespace

BENCHMARK(BM_FitscopySyncBaseline)
    ->Arg(4096)
    ->Arg(8192)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_VantorelConvert)
    ->Arg(4096)
    ->Arg(8192)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
