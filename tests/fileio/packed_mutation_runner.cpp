// Opens each file of a list as `vantorel-cli info` does (the header read, the unit
// listing, the whole read through the dispatcher), each in a child process of its own
// forked from this one, so that thousands of damaged files cost a fork each rather than a
// program start. Prints one line per file:
//   PATH CODE MS KB
// CODE is the child's exit status (the file I/O code of the read, 0 when it opened), or
// 128 + the signal that ended it; MS its wall time; KB the peak resident memory of the
// child and of its own children (the decoding processes), as wait4 reports it. A child
// that runs for kGiveUpMs is killed (CODE 128 + 9) so that the run ends whatever happens.
// Usage: packed_mutation_runner LISTFILE (one path a line)
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "engine/ralimage.h"
#include "fileio/fitssource.h"
#include "fileio/ralimageio.h"
#include "formats/fitscomp/cfitsiolib.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"

namespace {

constexpr long long kGiveUpMs = 120000;

long long NowMs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int OpenAsInfoDoes(const std::string& path) {
  RecordingMessageBox box;
  ScopedMessageBox scopedBox(&box);
  AcceptingPrompts accept;
  ScopedUserPrompts scopedPrompts(&accept);
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  CRalImage header;
  (void)CRalImageIO::ReadHeader(header, path, &param);
  std::vector<FitsHdu> units;
  (void)ListFitsUnits(path, &units);
  CRalImage image;
  int autoLevel = 0;
  CReadParam full;
  full.SetFileTypeDefaulted(path);
  if (CRalImageIO::ReadFile(image, path, &full, -32, &autoLevel)) return 0;
  const int code = CRalImageIO::GetLastError();
  return code > 0 && code < 128 ? code : 127;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: packed_mutation_runner LISTFILE\n", stderr);
    return 2;
  }
  // Loaded once, as the program loads it once: every child would load it (and the
  // libraries it brings) again otherwise.
  (void)fitscomp::Cfitsio();
  std::ifstream list(argv[1]);
  for (std::string path; std::getline(list, path);) {
    if (path.empty()) continue;
    std::fflush(stdout);
    const long long start = NowMs();
    const pid_t pid = ::fork();
    if (pid < 0) {
      std::perror("fork");
      return 1;
    }
    if (pid == 0) ::_exit(OpenAsInfoDoes(path));
    // The child's pidfd turns readable when it ends; without one, the wait is unbounded.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      pollfd ended{pidfd, POLLIN, 0};
      if (::poll(&ended, 1, static_cast<int>(kGiveUpMs)) == 0) ::kill(pid, SIGKILL);
      ::close(pidfd);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%s %d %lld %ld\n", path.c_str(), code, NowMs() - start, usage.ru_maxrss);
  }
  return 0;
}
