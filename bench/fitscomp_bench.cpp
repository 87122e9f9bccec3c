// Opening a 4096 x 4096 16-bit RICE-compressed FITS file through the dispatcher, timed
// in the same iteration as two baselines: funpack unpacking the file followed by our
// read of the result, and cfitsio reading the compressed file into a buffer itself.
// Counters: seconds of each, and ours / cfitsio (the goal is 1.0 or less).
#include <benchmark/benchmark.h>
#include <fitsio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "formats/fitscomp/fitscomp.h"

namespace {

constexpr int kSide = 4096;

std::string Dir() {
  static const std::string dir = [] {
    static std::string pattern = "/tmp/vantorel-fitscomp-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    // The files go with the run.
    std::atexit([] {
      for (const char* name : {"/sky.fits.fz", "/unpacked.fits", "/sky.fits"})
        std::remove((pattern + name).c_str());
      ::rmdir(pattern.c_str());
    });
    return pattern;
  }();
  return dir;
}

// A sky of about 1000 counts with noise and a few hundred stars, as RICE sees in practice.
const std::string& CompressedFile() {
  static const std::string path = [] {
    const std::string plain = Dir() + "/sky.fits", packed = Dir() + "/sky.fits.fz";
    std::string header;
    auto card = [&](std::string text) {
      text.resize(80, ' ');
      header += text;
    };
    card("SIMPLE  =                    T");
    card("BITPIX  =                   16");
    card("NAXIS   =                    2");
    card("NAXIS1  =                 4096");
    card("NAXIS2  =                 4096");
    card("BZERO   =                32768");
    card("END");
    header.resize(2880, ' ');
    std::vector<unsigned char> data(static_cast<std::size_t>(kSide) * kSide * 2);
    std::uint32_t s = 12345;
    for (std::size_t i = 0; i < data.size() / 2; ++i) {
      s = s * 1664525u + 1013904223u;
      // Roughly normal noise of sigma 10 from the sum of four uniform bytes.
      const int noise =
          static_cast<int>((s & 255) + (s >> 8 & 255) + (s >> 16 & 255) + (s >> 24)) / 6 - 85;
      int v = 1000 + noise + ((i % 9973 == 0) ? 30000 : 0);
      const auto u = static_cast<std::uint16_t>(v - 32768);
      data[2 * i] = static_cast<unsigned char>(u >> 8);
      data[2 * i + 1] = static_cast<unsigned char>(u & 255);
    }
    std::FILE* f = std::fopen(plain.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(header.data(), 1, header.size(), f);
    std::fwrite(data.data(), 1, data.size(), f);
    const std::vector<char> pad((2880 - data.size() % 2880) % 2880, 0);
    std::fwrite(pad.data(), 1, pad.size(), f);
    std::fclose(f);
    if (fitscomp::RiceCompressFile(plain, packed) != 0) std::abort();
    std::remove(plain.c_str());
    return packed;
  }();
  return path;
}

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool OurRead(const std::string& path) {
  CRalImage image;
  CReadParam param;
  param.SetFileType(FILETYPE_FITS);
  return CRalImageIO::ReadFile(image, path, &param, 16, nullptr) == 1;
}

void BM_OpenRiceCompressed(benchmark::State& state) {
  const std::string& fz = CompressedFile();
  const std::string unpacked = Dir() + "/unpacked.fits";
  double ours = 0, funpack = 0, cfitsio = 0;
  std::vector<short> buffer(static_cast<std::size_t>(kSide) * kSide);
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    if (!OurRead(fz)) state.SkipWithError("our read");
    ours += Seconds(t);

    t = std::chrono::steady_clock::now();
    std::remove(unpacked.c_str());
    const std::string command = "funpack -O '" + unpacked + "' '" + fz + "'";
    if (std::system(command.c_str()) != 0 || !OurRead(unpacked)) state.SkipWithError("funpack");
    funpack += Seconds(t);

    t = std::chrono::steady_clock::now();
    int status = 0, any = 0;
    fitsfile* f = nullptr;
    fits_open_file(&f, (fz + "[1]").c_str(), READONLY, &status);
    fits_read_img(f, TSHORT, 1, static_cast<LONGLONG>(buffer.size()), nullptr, buffer.data(), &any,
                  &status);
    fits_close_file(f, &status);
    if (status) state.SkipWithError("cfitsio");
    cfitsio += Seconds(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_s"] = ours / n;
  state.counters["funpack_then_ours_s"] = funpack / n;
  state.counters["cfitsio_s"] = cfitsio / n;
  state.counters["ours_per_cfitsio"] = ours / cfitsio;
}

}  // namespace

BENCHMARK(BM_OpenRiceCompressed)->Unit(benchmark::kMillisecond)->Iterations(5);
