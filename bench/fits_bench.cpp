// Reading and writing a 4096 × 4096 FITS image of BITPIX 16 and of BITPIX -32, beside
// cfitsio doing the same in the same run:
//  - read: from the page cache into a new image (CFits::Read) / a new buffer
//    (fits_read_img);
//  - write: the image to a file (CFits::Write, which saves through a temporary file,
//    flushes it to disk and renames it) / the buffer (fits_write_img), and cfitsio
//    followed by the same flush and rename, the baseline for a save that cannot lose
//    the old file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fitsio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fits/fits.h"
#include "imagemodel/image.h"
#include "imagemodel/vmmanager.h"

namespace {

constexpr long kSide = 4096;
constexpr long kPixels = kSide * kSide;

const std::string& Dir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/vantorel-fits-bench-XXXXXX";
    std::string made = ::mkdtemp(pattern);
    if (!std::getenv("VANTOREL_CONFIG_HOME"))
      ::setenv("VANTOREL_CONFIG_HOME", (made + "/config").c_str(), 1);
    return made;
  }();
  return dir;
}

// A file made by cfitsio, read once so that it sits in the page cache.
const std::string& Source(int bits) {
  static std::string paths[2];
  std::string& path = paths[bits == 16 ? 0 : 1];
  if (!path.empty()) return path;
  path = Dir() + (bits == 16 ? "/source16.fits" : "/source32f.fits");
  fitsfile* f = nullptr;
  int status = 0;
  long axes[2] = {kSide, kSide};
  fits_create_file(&f, ("!" + path).c_str(), &status);
  fits_create_img(f, bits == 16 ? SHORT_IMG : FLOAT_IMG, 2, axes, &status);
  if (bits == 16) {
    std::vector<short> v(kPixels);
    for (long i = 0; i < kPixels; ++i) v[i] = static_cast<short>((i * 2654435761u) >> 17);
    fits_write_img(f, TSHORT, 1, kPixels, v.data(), &status);
  } else {
    std::vector<float> v(kPixels);
    for (long i = 0; i < kPixels; ++i) v[i] = static_cast<float>((i * 2654435761u) >> 9) * 1e-3f;
    fits_write_img(f, TFLOAT, 1, kPixels, v.data(), &status);
  }
  fits_close_file(f, &status);
  if (status) std::fprintf(stderr, "cfitsio could not write %s: %d\n", path.c_str(), status);
  std::vector<char> sink(1 << 20);
  int fd = ::open(path.c_str(), O_RDONLY);
  while (::read(fd, sink.data(), sink.size()) > 0) {
  }
  ::close(fd);
  return path;
}

void BM_CFitsRead(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const std::string& path = Source(bits);
  for (auto _ : state) {
    CImage img;
    if (CFits::Read(img, path, 1, 0, 0, 1, 2, nullptr, "", 0) != FITS_OK)
      state.SkipWithError("CFits::Read failed");
    benchmark::DoNotOptimize(img.GetImageAdr(0, 0));
  }
  state.SetBytesProcessed(state.iterations() * kPixels * (bits == 16 ? 2 : 4));
}
BENCHMARK(BM_CFitsRead)->Arg(16)->Arg(-32)->Unit(benchmark::kMillisecond);

void BM_CfitsioReadBaseline(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const std::string& path = Source(bits);
  for (auto _ : state) {
    fitsfile* f = nullptr;
    int status = 0, any = 0;
    fits_open_file(&f, path.c_str(), READONLY, &status);
    if (bits == 16) {
      std::unique_ptr<short[]> v(new short[kPixels]);
      fits_read_img(f, TSHORT, 1, kPixels, nullptr, v.get(), &any, &status);
      benchmark::DoNotOptimize(v.get());
    } else {
      std::unique_ptr<float[]> v(new float[kPixels]);
      fits_read_img(f, TFLOAT, 1, kPixels, nullptr, v.get(), &any, &status);
      benchmark::DoNotOptimize(v.get());
    }
    fits_close_file(f, &status);
    if (status) state.SkipWithError("fits_read_img failed");
  }
  state.SetBytesProcessed(state.iterations() * kPixels * (bits == 16 ? 2 : 4));
}
BENCHMARK(BM_CfitsioReadBaseline)->Arg(16)->Arg(-32)->Unit(benchmark::kMillisecond);

void BM_CFitsWrite(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  CImage img;
  if (CFits::Read(img, Source(bits), 1, 0, 0, 1, 2, nullptr, "", 0) != FITS_OK)
    state.SkipWithError("CFits::Read failed");
  const std::string out = Dir() + "/ours.fits";
  for (auto _ : state)
    if (CFits::Write(img, out, nullptr, "") != FITS_OK) state.SkipWithError("CFits::Write failed");
  state.SetBytesProcessed(state.iterations() * kPixels * (bits == 16 ? 2 : 4));
}
BENCHMARK(BM_CFitsWrite)->Arg(16)->Arg(-32)->Unit(benchmark::kMillisecond)->UseRealTime();

// cfitsio writing the buffer; with flush set, through a temporary file flushed to disk
// and renamed over the target, as a save that cannot lose the old file must.
void CfitsioWrite(benchmark::State& state, bool flush) {
  const int bits = static_cast<int>(state.range(0));
  std::vector<short> shorts;
  std::vector<float> floats;
  {
    fitsfile* f = nullptr;
    int status = 0, any = 0;
    fits_open_file(&f, Source(bits).c_str(), READONLY, &status);
    if (bits == 16) {
      shorts.resize(kPixels);
      fits_read_img(f, TSHORT, 1, kPixels, nullptr, shorts.data(), &any, &status);
    } else {
      floats.resize(kPixels);
      fits_read_img(f, TFLOAT, 1, kPixels, nullptr, floats.data(), &any, &status);
    }
    fits_close_file(f, &status);
  }
  const std::string out = Dir() + "/cfitsio.fits";
  const std::string temp = Dir() + "/.cfitsio.fits.tmp";
  long axes[2] = {kSide, kSide};
  for (auto _ : state) {
    fitsfile* f = nullptr;
    int status = 0;
    const std::string& target = flush ? temp : out;
    fits_create_file(&f, ("!" + target).c_str(), &status);
    fits_create_img(f, bits == 16 ? SHORT_IMG : FLOAT_IMG, 2, axes, &status);
    if (bits == 16)
      fits_write_img(f, TSHORT, 1, kPixels, shorts.data(), &status);
    else
      fits_write_img(f, TFLOAT, 1, kPixels, floats.data(), &status);
    fits_close_file(f, &status);
    if (status) state.SkipWithError("fits_write_img failed");
    if (flush) {
      int fd = ::open(temp.c_str(), O_RDONLY);
      ::fsync(fd);
      ::close(fd);
      ::rename(temp.c_str(), out.c_str());
      int dir = ::open(Dir().c_str(), O_RDONLY | O_DIRECTORY);
      ::fsync(dir);
      ::close(dir);
    }
  }
  state.SetBytesProcessed(state.iterations() * kPixels * (bits == 16 ? 2 : 4));
}

void BM_CfitsioWriteBaseline(benchmark::State& state) {
  CfitsioWrite(state, false);
}
BENCHMARK(BM_CfitsioWriteBaseline)->Arg(16)->Arg(-32)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CfitsioWriteFlushedBaseline(benchmark::State& state) {
  CfitsioWrite(state, true);
}
BENCHMARK(BM_CfitsioWriteFlushedBaseline)
    ->Arg(16)
    ->Arg(-32)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
