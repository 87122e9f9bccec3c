// Reading camera files of 4096 × 4096 pixels, each beside baselines measured in the same
// run on the same pixels:
//  - FITS: the 16-bit frame as a FITS file read with CFits::Read;
//  - raw: a plain pread of the same pixels, little-endian, copied row by row into a
//    16-bit CImage (the least any reader of these pixels must do);
//  - SBIG: the frame as a compressed SBIG file (sky noise with stars), and plain;
//  - Bitran: a colour frame read and converted at full resolution (three float planes)
//    and at half resolution.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fits/fits.h"
#include "formats/bitran/bitran.h"
#include "formats/sbig/sbig.h"
#include "imagemodel/image.h"

namespace {

constexpr int kSide = 4096;
constexpr std::int64_t kPixels = std::int64_t{kSide} * kSide;

// The files of the run and the settings folder, removed when the run ends.
class BenchFolder {
 public:
  BenchFolder() {
    char pattern[] = "/tmp/vantorel-camera-bench-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    path_ = pattern;
    ::setenv("VANTOREL_CONFIG_HOME", path_.c_str(), 1);
  }
  ~BenchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& Folder() {
  static const BenchFolder folder;
  return folder.path();
}

// A sky of about 1000 counts with noise, and a star every so often.
const std::vector<std::uint16_t>& Frame() {
  static const std::vector<std::uint16_t> pixels = [] {
    std::vector<std::uint16_t> p(static_cast<std::size_t>(kPixels));
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < p.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      int v = 1000 + static_cast<int>((state >> 16) % 41) - 20;
      if ((state >> 8) % 997 == 0) v += 20000 + static_cast<int>(state % 30000);
      p[i] = static_cast<std::uint16_t>(v);
    }
    return p;
  }();
  return pixels;
}

void PutFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

std::string LittleEndianPixels() {
  const auto& p = Frame();
  std::string s(p.size() * 2, '\0');
  for (std::size_t i = 0; i < p.size(); ++i) {
    s[2 * i] = static_cast<char>(p[i] & 0xFF);
    s[2 * i + 1] = static_cast<char>(p[i] >> 8);
  }
  return s;
}

std::string FitsCard(const std::string& text) {
  std::string c = text;
  c.resize(80, ' ');
  return c;
}

const std::string& FitsFile() {
  static const std::string path = [] {
    std::string h =
        FitsCard("SIMPLE  =                    T") + FitsCard("BITPIX  =                   16") +
        FitsCard("NAXIS   =                    2") + FitsCard("NAXIS1  =                 4096") +
        FitsCard("NAXIS2  =                 4096") + FitsCard("BZERO   =                32768") +
        FitsCard("BSCALE  =                    1") + FitsCard("END");
    h.resize(2880, ' ');
    const auto& p = Frame();
    std::string data(p.size() * 2, '\0');
    for (std::size_t i = 0; i < p.size(); ++i) {
      const auto v = static_cast<std::uint16_t>(p[i] - 32768);  // stored signed, big-endian
      data[2 * i] = static_cast<char>(v >> 8);
      data[2 * i + 1] = static_cast<char>(v & 0xFF);
    }
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    std::string path = Folder() + "/frame.fits";
    PutFile(path, h + data);
    return path;
  }();
  return path;
}

const std::string& RawFile() {
  static const std::string path = [] {
    std::string path = Folder() + "/frame.raw";
    PutFile(path, LittleEndianPixels());
    return path;
  }();
  return path;
}

std::string SbigHeader(const char* first) {
  std::string h = std::string(first) +
                  "\n\rFile_version = 3\n\rData_version = 1\n\rWidth = 4096\n\rHeight = 4096\n\r"
                  "Exposure = 6000\n\rEnd\n\r\x1a";
  h.resize(2048, '\0');
  return h;
}

const std::string& SbigPlainFile() {
  static const std::string path = [] {
    std::string path = Folder() + "/frame-plain.st7";
    PutFile(path, SbigHeader("ST-7 Image") + LittleEndianPixels());
    return path;
  }();
  return path;
}

// Written by the writer under test, so the records are what the camera software makes.
const std::string& SbigCompressedFile() {
  static const std::string path = [] {
    CImage image;
    if (CSbig::Read(image, SbigPlainFile()) != SBG_OK) std::abort();
    std::string path = Folder() + "/frame-packed.st7";
    if (CSbig::Write(image, path, SBIG_ST7 | SBIG_COMPRESSED) != SBG_OK) std::abort();
    return path;
  }();
  return path;
}

std::string I32(std::int32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

const std::string& BitranFile(bool highRes) {
  static std::string paths[2];
  std::string& path = paths[highRes ? 1 : 0];
  if (path.empty()) {
    // "カラー" in CP932: a colour camera.
    const std::string camera = "BT-214E \x83\x4A\x83\x89\x81\x5B";
    std::string f = "BITRAN CCD original format  1.7";
    f += static_cast<char>(highRes ? 0x40 : 0x01);
    f += I32(1) + I32(static_cast<std::int32_t>(camera.size())) + camera;
    f += I32(0) + I32(kSide) + I32(kSide) + I32(0) + I32(0);
    f += I32(0) + I32(0) + "CCD=word";
    path = Folder() + (highRes ? "/colour-high.ccd" : "/colour-low.ccd");
    PutFile(path, f + LittleEndianPixels());
  }
  return path;
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kPixels);
  state.SetBytesProcessed(state.iterations() * kPixels * 2);
}

// ---------------------------------------------------------------- baselines

void BM_Baseline_FitsRead16(benchmark::State& state) {
  const std::string& path = FitsFile();
  for (auto _ : state) {
    CImage image;
    if (CFits::Read(image, path, 1, 0, 0, 1, 2, nullptr, {}, 1) != FITS_OK) {
      state.SkipWithError("FITS read failed");
      return;
    }
    benchmark::DoNotOptimize(image.GetImageAdr(0, kSide - 1));
  }
  Report(state);
}
BENCHMARK(BM_Baseline_FitsRead16)->Unit(benchmark::kMillisecond);

void BM_Baseline_PreadCopy16(benchmark::State& state) {
  const std::string& path = RawFile();
  std::vector<unsigned char> buffer(std::size_t{1} << 20);
  const std::size_t rowBytes = std::size_t{kSide} * 2;
  for (auto _ : state) {
    CImage image(16, kSide, kSide, 1, 1.0, 0.0, 0);
    int fd = ::open(path.c_str(), O_RDONLY);
    off_t offset = 0;
    for (int y = 0; y < kSide;) {
      const int rows = static_cast<int>(std::min<std::size_t>(buffer.size() / rowBytes, kSide - y));
      if (::pread(fd, buffer.data(), rowBytes * rows, offset) !=
          static_cast<ssize_t>(rowBytes * rows)) {
        state.SkipWithError("pread failed");
        ::close(fd);
        return;
      }
      offset += static_cast<off_t>(rowBytes * rows);
      for (int r = 0; r < rows; ++r, ++y)
        std::memcpy(image.GetImageAdr(0, y), buffer.data() + rowBytes * r, rowBytes);
    }
    ::close(fd);
    benchmark::DoNotOptimize(image.GetImageAdr(0, kSide - 1));
  }
  Report(state);
}
BENCHMARK(BM_Baseline_PreadCopy16)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- camera files

void BM_SbigReadCompressed(benchmark::State& state) {
  const std::string& path = SbigCompressedFile();
  for (auto _ : state) {
    CImage image;
    if (CSbig::Read(image, path) != SBG_OK) {
      state.SkipWithError("SBIG read failed");
      return;
    }
    benchmark::DoNotOptimize(image.GetImageAdr(0, kSide - 1));
  }
  Report(state);
}
BENCHMARK(BM_SbigReadCompressed)->Unit(benchmark::kMillisecond);

void BM_SbigReadPlain(benchmark::State& state) {
  const std::string& path = SbigPlainFile();
  for (auto _ : state) {
    CImage image;
    if (CSbig::Read(image, path) != SBG_OK) {
      state.SkipWithError("SBIG read failed");
      return;
    }
    benchmark::DoNotOptimize(image.GetImageAdr(0, kSide - 1));
  }
  Report(state);
}
BENCHMARK(BM_SbigReadPlain)->Unit(benchmark::kMillisecond);

void BitranColour(benchmark::State& state, bool highRes) {
  const std::string& path = BitranFile(highRes);
  for (auto _ : state) {
    CImage image;
    CBitranParam param;
    if (CBitran::Read(image, path, &param) != BRN_OK ||
        CBitran::Conversion(image, &param) != BRN_OK || image.GetPlanes() != 3) {
      state.SkipWithError("Bitran read failed");
      return;
    }
    benchmark::DoNotOptimize(image.GetImageAdr(0, image.GetHeight() - 1, 2));
  }
  Report(state);
}

void BM_BitranColourFullRes(benchmark::State& state) {
  BitranColour(state, true);
}
BENCHMARK(BM_BitranColourFullRes)->Unit(benchmark::kMillisecond);

void BM_BitranColourHalfRes(benchmark::State& state) {
  BitranColour(state, false);
}
BENCHMARK(BM_BitranColourHalfRes)->Unit(benchmark::kMillisecond);

// The first stage alone: the raw frame into a float image, as the calibration frames are read.
void BM_BitranReadRaw(benchmark::State& state) {
  const std::string& path = BitranFile(true);
  for (auto _ : state) {
    CImage image;
    if (CBitran::Read(image, path) != BRN_OK) {
      state.SkipWithError("Bitran read failed");
      return;
    }
    benchmark::DoNotOptimize(image.GetImageAdr(0, kSide - 1));
  }
  Report(state);
}
BENCHMARK(BM_BitranReadRaw)->Unit(benchmark::kMillisecond);

}  // namespace
