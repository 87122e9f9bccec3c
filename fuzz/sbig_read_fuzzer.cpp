// Feeds arbitrary bytes to the SBIG reader as a file. Whatever it accepts is written back
// plain and compressed and read again: the pixels must come back unchanged.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "formats/sbig/sbig.h"
#include "imagemodel/image.h"

namespace {

std::string TempPath(const char* stem) {
  std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd >= 0) ::close(fd);
  return pattern;
}

const std::string& InputPath() {
  static const std::string path = TempPath("sbig-fuzz-in");
  return path;
}

const std::string& OutputPath() {
  static const std::string path = TempPath("sbig-fuzz-out");
  return path;
}

void RemoveFiles() {
  ::unlink(InputPath().c_str());
  ::unlink(OutputPath().c_str());
}

bool WriteInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(RemoveFiles);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteInput(data, size)) return 0;
  {
    CImage header;
    (void)CSbig::ReadHeader(header, InputPath());
  }
  CImage image;
  if (CSbig::Read(image, InputPath()) != SBG_OK) return 0;
  const int type = CSbig::GetSbigType(image);
  if (type == 0) __builtin_trap();  // a read image always carries its tagged cards
  for (int compressed : {0, SBIG_COMPRESSED}) {
    if (type == SBIG_ST4 && compressed) continue;
    // The header may be impossible to rebuild (too wide to compress, text without a
    // CP932 form); then nothing is written and there is nothing to compare.
    if (CSbig::Write(image, OutputPath(), type | compressed) != SBG_OK) continue;
    CImage back;
    if (CSbig::Read(back, OutputPath()) != SBG_OK || !SamePixels(image, back)) __builtin_trap();
  }
  return 0;
}
