// Small helpers shared by the raster readers and writers (header only, so the format
// libraries need not link the message library): opening a file for reading without
// hanging on a FIFO, the read-only test behind the saveable-file flag, and stdio on the
// descriptor of an AtomicFile.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace fileio {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for binary reading and gives its size. Null for anything else
// (missing, unreadable, a folder, a FIFO: the open does not block on one).
inline FilePtr OpenForReading(const std::string& path, std::uint64_t* size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "rb");
  if (!f) {
    ::close(fd);
    return nullptr;
  }
  *size = static_cast<std::uint64_t>(st.st_size);
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
