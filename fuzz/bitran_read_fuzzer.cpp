// Feeds arbitrary bytes to the Bitran reader as a file, then runs the second stage on
// whatever it accepted: a malformed file must give an error code, never a crash, a hang
// or an allocation out of proportion to the file.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/bitran/bitran.h"
#include "imagemodel/image.h"

namespace {

// The input lives in a memory file reached through /proc: no disk traffic, and nothing is
// left behind however the fuzzer ends.
int InputFd() {
  static const int fd = ::memfd_create("bitran-fuzz-input", 0);
  return fd;
}

std::string InputPath() {
  return "/proc/self/fd/" + std::to_string(InputFd());
}

bool WriteInput(const std::uint8_t* data, std::size_t size) {
  const int fd = InputFd();
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteInput(data, size)) return 0;
  const std::string path = InputPath();
  {
    CImage header;
    (void)CBitran::ReadHeader(header, path);
  }
  CImage image;
  CBitranParam param;
  if (CBitran::Read(image, path, &param) != BRN_OK) return 0;
  if (image.GetWidth() <= 0 || image.GetHeight() <= 0 || image.IsEmpty()) __builtin_trap();
  CBitran::DlkFltCorrection(image, -3);
  (void)CBitran::Conversion(image, &param);
  return 0;
}
