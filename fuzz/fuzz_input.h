// The input of a fuzz target as a file: a memory file reached through /proc, so there is
// no disk traffic and nothing is left behind however the fuzzer ends.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_input {

inline int Fd() {
  static const int fd = ::memfd_create("vantorel-fuzz-input", 0);
  return fd;
}

inline std::string Path() { return "/proc/self/fd/" + std::to_string(Fd()); }

// Replaces the file's content with the input; false when it cannot be written.
inline bool Write(const std::uint8_t* data, std::size_t size) {
  const int fd = Fd();
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace fuzz_input
