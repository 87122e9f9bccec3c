// Shared by the PNG, TIFF and JPEG tests: images made in code, their samples as one flat
// list (plane after plane, rows top to bottom), and other programs run as oracles
// (ImageMagick's convert, Debian's Python with Pillow, libtiff's tools) on the same file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imagemodel/image.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace raster_test {

// Samples of an image or of another program's decoding: plane after plane, rows from
// the top, each row left to right.
struct Raster {
  int width = 0, height = 0, planes = 0;
  std::vector<std::uint16_t> samples;
  std::uint16_t At(int x, int y, int p) const {
    return samples[(static_cast<std::size_t>(p) * height + y) * width + x];
  }
};

inline bool IsExecutable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}
inline bool HaveMagick() {
  return IsExecutable("/usr/bin/convert");
}
inline bool HavePillow() {
  return IsExecutable("/usr/bin/python3") &&
         std::filesystem::exists("/usr/lib/python3/dist-packages/PIL/Image.py");
}

// Runs a program with arguments, its output and errors discarded; true when it exits 0.
inline bool RunTool(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Interleaved samples (8 bits, or 16 bits big-endian) into planes.
inline bool FromInterleaved(const std::string& bytes, int width, int height, int planes, int bits,
                            Raster* out) {
  const std::size_t n = static_cast<std::size_t>(width) * height * planes;
  if (bytes.size() != n * (bits / 8)) return false;
  out->width = width;
  out->height = height;
  out->planes = planes;
  out->samples.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t pixel = i / planes, p = i % planes;
    const std::uint16_t v =
        bits == 8 ? static_cast<std::uint8_t>(bytes[i])
                  : static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[2 * i]) << 8 |
                                               static_cast<std::uint8_t>(bytes[2 * i + 1]));
    out->samples[p * width * height + pixel] = v;
  }
  return true;
}

// ImageMagick's reading of a file as grey (planes 1) or RGB (planes 3) samples of the given
// depth, alpha dropped. extra options go before the output (e.g. "-auto-orient").
inline bool MagickDecode(const std::string& in, int width, int height, int planes, int bits,
                         Raster* out, const std::vector<std::string>& extra = {}) {
  TempDir dir;
  const std::string raw = dir.File("out.raw");
  std::vector<std::string> argv = {"/usr/bin/convert", in};
  argv.insert(argv.end(), extra.begin(), extra.end());
  // Pixels as stored: a file that says it is linear (gamma 1) is not converted to sRGB.
  for (const char* a : {"-set", "colorspace", "sRGB", "-alpha", "off", "-endian", "MSB", "-depth"})
    argv.push_back(a);
  argv.push_back(std::to_string(bits));
  argv.push_back((planes == 1 ? "gray:" : "rgb:") + raw);
  if (!RunTool(argv)) return false;
  return FromInterleaved(ReadFileOrEmpty(raw), width, height, planes, bits, out);
}

// Pillow's reading of an 8-bit file converted to "L" (planes 1) or "RGB" (planes 3).
inline bool PillowDecode(const std::string& in, int width, int height, int planes, Raster* out) {
  TempDir dir;
  const std::string raw = dir.File("out.raw");
  const std::string script =
      "import sys\n"
      "from PIL import Image\n"
      "im = Image.open(sys.argv[1])\n"
      "im = im.convert(sys.argv[3])\n"
      "open(sys.argv[2], 'wb').write(im.tobytes())\n";
  if (!RunTool({"/usr/bin/python3", "-c", script, in, raw, planes == 1 ? "L" : "RGB"}))
    return false;
  return FromInterleaved(ReadFileOrEmpty(raw), width, height, planes, 8, out);
}

// The raw samples of an 8- or 16-bit unsigned image.
inline Raster Samples(const CImage& image) {
  Raster r;
  r.width = image.GetWidth();
  r.height = image.GetHeight();
  r.planes = image.GetPlanes();
  r.samples.reserve(static_cast<std::size_t>(r.width) * r.height * r.planes);
  for (int p = 0; p < r.planes; ++p)
    for (int y = 0; y < r.height; ++y) {
      const void* row = image.GetImageAdr(0, y, p);
      for (int x = 0; x < r.width; ++x)
        r.samples.push_back(image.GetBitsPixel() == 8 ? static_cast<const std::uint8_t*>(row)[x]
                                                      : static_cast<const std::uint16_t*>(row)[x]);
    }
  return r;
}

// An 8- or 16-bit unsigned image whose samples differ in every position and cover the
// whole range of the type, so that swapped bytes, planes, rows or columns show.
inline void FillPattern(CImage& image) {
  const int bits = image.GetBitsPixel();
  const std::uint32_t mask = bits == 8 ? 0xFFu : 0xFFFFu;
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < image.GetHeight(); ++y) {
      void* row = image.GetImageAdr(0, y, p);
      for (int x = 0; x < image.GetWidth(); ++x) {
        std::uint32_t v = static_cast<std::uint32_t>(x * 40503u + y * 9973u + p * 21011u +
                                                     static_cast<unsigned>(x * y) * 7u) &
                          mask;
        if (x == 0 && y == 0) v = 0;
        if (x == 1 && y == 0) v = mask;
        if (bits == 8)
          static_cast<std::uint8_t*>(row)[x] = static_cast<std::uint8_t>(v);
        else
          static_cast<std::uint16_t*>(row)[x] = static_cast<std::uint16_t>(v);
      }
    }
}

// A smooth picture (gradients and a soft disc) for lossy round trips.
inline void FillSmooth(CImage& image) {
  const int w = image.GetWidth(), h = image.GetHeight();
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < h; ++y) {
      auto* row = static_cast<std::uint8_t*>(image.GetImageAdr(0, y, p));
      for (int x = 0; x < w; ++x) {
        const double dx = x - w / 2.0, dy = y - h / 2.0;
        const double disc = 80.0 / (1.0 + (dx * dx + dy * dy) / (w * h / 16.0));
        const double v = 30.0 + 120.0 * x / w + 40.0 * y / h * (p + 1) / 3.0 + disc;
        row[x] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
      }
    }
}

// Where two rasters differ first, for a readable failure.
inline ::testing::AssertionResult SameSamples(const Raster& actual, const Raster& expected) {
  if (actual.width != expected.width || actual.height != expected.height ||
      actual.planes != expected.planes)
    return ::testing::AssertionFailure()
           << "geometry " << actual.width << "x" << actual.height << "x" << actual.planes
           << " against " << expected.width << "x" << expected.height << "x" << expected.planes;
  for (int p = 0; p < actual.planes; ++p)
    for (int y = 0; y < actual.height; ++y)
      for (int x = 0; x < actual.width; ++x)
        if (actual.At(x, y, p) != expected.At(x, y, p))
          return ::testing::AssertionFailure()
                 << "pixel (" << x << ", " << y << ") plane " << p << " is " << actual.At(x, y, p)
                 << ", expected " << expected.At(x, y, p);
  return ::testing::AssertionSuccess();
}

// Files of a folder with an extension, sorted; empty when the folder is missing.
inline std::vector<std::string> FilesIn(const std::string& folder, const std::string& ext) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (e.path().extension() == ext) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A copy of bytes cut to n, or with one byte inverted.
inline std::string Truncated(const std::string& bytes, std::size_t n) {
  return bytes.substr(0, n);
}
inline std::string Flipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(~bytes[at]);
  return bytes;
}

}  // namespace raster_test
