// Feeds arbitrary bytes to the BMP reader as a file. Whatever it accepts is written back
// as a 24-bit bitmap and read again: the pixels must come back unchanged.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/ralimage.h"
#include "formats/bmp/bmpfile.h"
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"

namespace {

// Bitmaps larger than this are read only as far as their headers, so one input cannot
// take the whole run filling a picture of millions of pixels.
constexpr std::int64_t kMaxFuzzPixels = 1 << 20;

// Equal colours: a colour image whose pixels all happen to be grey comes back as one
// plane, so each image is read as red, green and blue.
bool SamePixels(const CImage& a, const CImage& b) {
  if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight()) return false;
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < a.GetHeight(); ++y) {
      const void* ra = a.GetImageAdr(0, y, a.GetPlanes() == 1 ? 0 : p);
      const void* rb = b.GetImageAdr(0, y, b.GetPlanes() == 1 ? 0 : p);
      if (!ra || !rb || std::memcmp(ra, rb, static_cast<std::size_t>(a.GetWidth())) != 0)
        return false;
    }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz_input::Write(data, size)) return 0;
  const std::string path = fuzz_input::Path();
  {
    CImage header;
    if (CBmp::ReadHeader(header, path) != FIO_OK) return 0;
    if (static_cast<std::int64_t>(header.GetWidth()) * header.GetHeight() > kMaxFuzzPixels)
      return 0;
  }
  CRalImage image;
  if (CBmp::Read(image, path) != FIO_OK) return 0;
  if (image.GetBitsPixel() != 8 || (image.GetPlanes() != 1 && image.GetPlanes() != 3))
    __builtin_trap();

  char folder[] = "/dev/shm/bmp-fuzz-out-XXXXXX";
  char fallback[] = "/tmp/bmp-fuzz-out-XXXXXX";
  const char* dir = ::mkdtemp(folder) ? folder : ::mkdtemp(fallback);
  if (!dir) return 0;
  const std::string out = std::string(dir) + "/copy.bmp";
  if (CBmp::Write(image, out, 24) == FIO_OK) {
    CImage back;
    if (CBmp::Read(back, out) != FIO_OK || !SamePixels(image, back)) __builtin_trap();
  }
  ::unlink(out.c_str());
  ::rmdir(dir);
  return 0;
}
