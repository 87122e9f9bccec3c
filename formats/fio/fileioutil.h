// Small helpers shared by the file readers and writers (header only, so the format
// libraries need not link the message library): opening a regular file for reading
// without hanging on a FIFO, the read-only test behind the saveable-file flag, and stdio on the
// descriptor of an AtomicFile.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "fits/fileiocodes.h"
#include "platform/files.h"

namespace fileio {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for binary reading (as OpenRegularFile does: never blocking on a
// FIFO or a device) and gives its size. Null for anything else, with *code the result
// code that says why: FIO_ERR_FOLDER, FIO_ERR_NOT_REGULAR, FIO_ERR_LINK_LOOP or
// FIO_ERR_OPEN.
inline FilePtr OpenForReading(const std::string& path, std::uint64_t* size, int* code) {
  int fd = -1;
  struct stat st {};
  if (int e = OpenRegularFile(path, fd, &st)) {
    *code = FioOpenCode(e);
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "rb");
  if (!f) {
    ::close(fd);
    *code = FIO_ERR_OPEN;
    return nullptr;
  }
  *size = static_cast<std::uint64_t>(st.st_size);
  *code = FIO_OK;
  return FilePtr(f);
}

// A read-only file cannot be saved over in place.
inline bool IsReadOnly(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return true;
  return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

// A stdio stream on a duplicate of fd (the caller's descriptor stays open), for libraries
// that write through FILE*. Null when the duplicate cannot be had.
inline FilePtr StreamOnDuplicate(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  std::FILE* f = ::fdopen(copy, "wb");
  if (!f) ::close(copy);
  return FilePtr(f);
}

// Flushes and closes a stream; false when any write or the close failed.
inline bool FinishStream(FilePtr& stream) {
  std::FILE* f = stream.release();
  bool ok = std::fflush(f) == 0 && !std::ferror(f);
  return std::fclose(f) == 0 && ok;
}

}  // namespace fileio
