// Feeds arbitrary bytes to the Mutoh reader as an MTF and as a BIN file. Whatever it
// accepts is written back in the same type and read again: the pixels must come back
// unchanged.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "formats/mtf/mutoh.h"
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"

namespace {

bool SamePixels(const CImage& a, const CImage& b) {
  if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight()) return false;
  const std::size_t bytes = static_cast<std::size_t>(a.GetWidth()) * 2;
  for (int y = 0; y < a.GetHeight(); ++y) {
    const void* ra = a.GetImageAdr(0, y, 0);
    const void* rb = b.GetImageAdr(0, y, 0);
    if (!ra || !rb || std::memcmp(ra, rb, bytes) != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz_input::Write(data, size)) return 0;
  const std::string path = fuzz_input::Path();
  for (int type : {CMutoh::MTF, CMutoh::BIN}) {
    {
      CImage header;
      (void)CMutoh::ReadHeader(header, path, type);
    }
    CImage image;
    if (CMutoh::Read(image, path, type) != MTF_OK) continue;
    char folder[] = "/dev/shm/mutoh-fuzz-out-XXXXXX";
    char fallback[] = "/tmp/mutoh-fuzz-out-XXXXXX";
    const char* dir = ::mkdtemp(folder) ? folder : ::mkdtemp(fallback);
    if (!dir) continue;
    const std::string out = std::string(dir) + "/copy";
    if (CMutoh::Write(image, out, type) == MTF_OK) {
      CImage back;
      if (CMutoh::Read(back, out, type) != MTF_OK || !SamePixels(image, back)) __builtin_trap();
    }
    ::unlink(out.c_str());
    ::rmdir(dir);
  }
  return 0;
}
