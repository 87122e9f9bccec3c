// Feeds arbitrary bytes to the SBIG reader as a file. Whatever it accepts is written back
// plain and compressed and read again: the pixels must come back unchanged.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "formats/sbig/sbig.h"
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"

namespace {

// The written copies go to a folder in shared memory made and removed for each input, so
// nothing is left behind between inputs and the saves' flushes cost no disk traffic.
bool SamePixels(const CImage& a, const CImage& b) {
  if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() ||
      a.GetBitsPixel() != b.GetBitsPixel())
    return false;
  const std::size_t bytes = static_cast<std::size_t>(a.GetWidth()) * a.GetBytesPixel();
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
  {
    CImage header;
    (void)CSbig::ReadHeader(header, path);
  }
  CImage image;
  if (CSbig::Read(image, path) != SBG_OK) return 0;
  const int type = CSbig::GetSbigType(image);
  if (type == 0) __builtin_trap();  // a read image always carries its tagged cards

  char folder[] = "/dev/shm/sbig-fuzz-out-XXXXXX";
  char fallback[] = "/tmp/sbig-fuzz-out-XXXXXX";
  const char* dir = ::mkdtemp(folder) ? folder : ::mkdtemp(fallback);
  if (!dir) return 0;
  const std::string out = std::string(dir) + "/copy.st7";
  for (int compressed : {0, SBIG_COMPRESSED}) {
    if (type == SBIG_ST4 && compressed) continue;
    // The header may be impossible to rebuild (too wide to compress, text without a
    // CP932 form); then nothing is written and there is nothing to compare.
    if (CSbig::Write(image, out, type | compressed) != SBG_OK) continue;
    CImage back;
    if (CSbig::Read(back, out) != SBG_OK || !SamePixels(image, back)) __builtin_trap();
  }
  ::unlink(out.c_str());
  ::rmdir(dir);
  return 0;
}
