// Feeds arbitrary bytes to the FITS reader as a file, then runs what follows a read on
// whatever it accepted (world coordinates from a table, header composition, writing
// into a temporary file that is discarded): a malformed file must give an error code,
// never a crash, a hang or an allocation out of proportion to the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fits/fits.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/messagebox.h"

namespace {

// In memory when the machine has a tmpfs there: every input is written, read back and
// saved once, and a disk-backed folder would make file creation the bottleneck.
const std::string& WorkDir() {
  static const std::string dir = [] {
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(base) + "/fits-fuzz-XXXXXX";
      if (::mkdtemp(pattern.data())) return pattern;
    }
    return std::string("/tmp");
  }();
  return dir;
}

const std::string& InputPath() {
  static const std::string path = WorkDir() + "/input.fits";
  return path;
}

void RemoveWork() {
  ::unlink(InputPath().c_str());
  RemoveStaleTemporaries(WorkDir() + "/output.fits");
  ::rmdir(WorkDir().c_str());
}

bool WriteInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// The disagreeing-matrix warning is answered without being kept.
class SilentMessageBox : public MessageBox {
 public:
  int Show(const std::string&, const std::string&, unsigned) override { return IDOK; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Made before the exit handler is registered, so that they outlive it.
  (void)InputPath();
  // The pager and the settings store need a folder of their own.
  if (!std::getenv("VANTOREL_CONFIG_HOME")) {
    const std::string config = WorkDir() + "/config";
    ::setenv("VANTOREL_CONFIG_HOME", config.c_str(), 1);
  }
  static SilentMessageBox box;
  SetMessageBox(&box);
  std::atexit(RemoveWork);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteInput(data, size)) return 0;
  {
    CImage header;
    (void)CFits::ReadHeader(header, InputPath(), 1);
  }
  // The last byte picks how a cube is read: plane 0, planes 2, 1, 0 in colour, or plane 1.
  const int mode = size > 0 ? data[size - 1] % 3 : 0;
  CImage image;
  const int rc = CFits::Read(image, InputPath(), 1, mode == 1, mode == 2 ? 1 : (mode == 1 ? 2 : 0),
                             1, 0, nullptr, "", 0);
  if (rc != FITS_OK) return 0;
  if (image.GetWidth() <= 0 || image.GetHeight() <= 0 || image.IsEmpty()) __builtin_trap();
  for (int e = -1; e <= static_cast<int>(image.m_FitsExtensions.size()); ++e)
    (void)CFits::UpdateHeaderWCS(image, e, e + 1);
  const CFitsHeader composed = CFits::FormatHeader(image);
  if (composed.GetCount() == 0 || composed.GetAt(composed.GetCount() - 1).compare(0, 3, "END") != 0)
    __builtin_trap();
  AtomicFile out;
  if (out.Open(WorkDir() + "/output.fits") == 0) {
    (void)CFits::WriteHeader(image, out);
    (void)CFits::WriteImage(image, out, 1, 1, 1, nullptr, "");
    (void)CFits::WriteExtension(image, out);
    out.Discard();  // never committed: no flush to disk on every input
  }
  return 0;
}
