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
#include "fuzz/fuzz_input.h"
#include "imagemodel/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz_input::Write(data, size)) return 0;
  const std::string path = fuzz_input::Path();
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
