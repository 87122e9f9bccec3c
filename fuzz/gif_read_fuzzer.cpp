// Feeds arbitrary bytes to the GIF reader as a file. What it reads must agree with the
// header read and with the signature of the bytes, and a second read of the same bytes
// must give the same pixels (a colour looked up outside its map would not). An image it
// accepts is written back in the variant it was read as and read again: geometry and
// variant come back.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/ralimage.h"
#include "formats/gif/giffile.h"
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"

namespace {

// Screens larger than this are read only as far as their headers, so one input cannot
// take the whole run filling a picture of millions of pixels.
constexpr std::int64_t kMaxFuzzPixels = 1 << 20;
// Only smaller images are written back: the palette bitmap of a save costs far more.
constexpr std::int64_t kMaxWrittenPixels = 1 << 16;

bool SamePixels(const CImage& a, const CImage& b) {
  if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() ||
      a.GetPlanes() != b.GetPlanes())
    return false;
  for (int p = 0; p < a.GetPlanes(); ++p)
    for (int y = 0; y < a.GetHeight(); ++y) {
      const void* ra = a.GetImageAdr(0, y, p);
      const void* rb = b.GetImageAdr(0, y, p);
      if (!ra || !rb || std::memcmp(ra, rb, static_cast<std::size_t>(a.GetWidth())) != 0)
        return false;
    }
  return true;
}

// "GIF87a" in any case is version 87a; anything else counts as 89a.
bool Is87a(const std::uint8_t* data, std::size_t size) {
  return size >= 6 && (data[0] | 0x20) == 'g' && (data[1] | 0x20) == 'i' &&
         (data[2] | 0x20) == 'f' && data[3] == '8' && data[4] == '7' && (data[5] | 0x20) == 'a';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz_input::Write(data, size)) return 0;
  const std::string path = fuzz_input::Path();
  CImage header;
  const int headerCode = CGif::ReadHeader(header, path);
  if (headerCode != FIO_OK) {
    if (headerCode != FIO_ERR_HEADER && headerCode != FIO_ERR_MEMORY) __builtin_trap();
    // Whatever the header read refuses, the whole read refuses as well.
    CImage image;
    if (CGif::Read(image, path) == FIO_OK) __builtin_trap();
    return 0;
  }
  const std::int64_t pixels = static_cast<std::int64_t>(header.GetWidth()) * header.GetHeight();
  if (pixels > kMaxFuzzPixels) return 0;

  CRalImage image;
  const int code = CGif::Read(image, path);
  if (code != FIO_OK) {
    if (code != FIO_ERR_FORMAT && code != FIO_ERR_MEMORY) __builtin_trap();
    return 0;
  }
  if (image.GetBitsPixel() != 8 || image.GetPlanes() != 3 ||
      image.GetWidth() != header.GetWidth() || image.GetHeight() != header.GetHeight() ||
      image.GetOrgFileFormat() != header.GetOrgFileFormat())
    __builtin_trap();
  const int variant = CGif::GetType(image.GetOrgFileFormat());
  if (CGif::GetTypeString(variant) != image.GetOrgFileFormat() ||
      (variant <= 1) != Is87a(data, size))
    __builtin_trap();
  {
    CImage again;
    if (CGif::Read(again, path) != FIO_OK || !SamePixels(image, again)) __builtin_trap();
  }
  if (pixels > kMaxWrittenPixels) return 0;

  char folder[] = "/dev/shm/gif-fuzz-out-XXXXXX";
  char fallback[] = "/tmp/gif-fuzz-out-XXXXXX";
  const char* dir = ::mkdtemp(folder) ? folder : ::mkdtemp(fallback);
  if (!dir) return 0;
  const std::string out = std::string(dir) + "/copy.gif";
  if (CGif::Write(image, out, variant) == FIO_OK) {
    CImage back;
    if (CGif::Read(back, out) != FIO_OK || back.GetWidth() != image.GetWidth() ||
        back.GetHeight() != image.GetHeight() ||
        back.GetOrgFileFormat() != image.GetOrgFileFormat())
      __builtin_trap();
  }
  ::unlink(out.c_str());
  ::rmdir(dir);
  return 0;
}
