// Feeds arbitrary bytes to the Bitran reader as a file, then runs the second stage on
// whatever it accepted: a malformed file must give an error code, never a crash, a hang
// or an allocation out of proportion to the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "formats/bitran/bitran.h"
#include "imagemodel/image.h"

namespace {

const std::string& InputPath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/bitran-fuzz-XXXXXX";
    int fd = ::mkstemp(pattern);
    if (fd >= 0) ::close(fd);
    return std::string(pattern);
  }();
  return path;
}

void RemoveInput() {
  ::unlink(InputPath().c_str());
}

bool WriteInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(RemoveInput);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteInput(data, size)) return 0;
  {
    CImage header;
    (void)CBitran::ReadHeader(header, InputPath());
  }
  CImage image;
  CBitranParam param;
  if (CBitran::Read(image, InputPath(), &param) != BRN_OK) return 0;
  if (image.GetWidth() <= 0 || image.GetHeight() <= 0 || image.IsEmpty()) __builtin_trap();
  CBitran::DlkFltCorrection(image, -3);
  (void)CBitran::Conversion(image, &param);
  return 0;
}
