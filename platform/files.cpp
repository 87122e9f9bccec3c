#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

SaveFaultHook g_hook = nullptr;

int Fault(const char* stage) { return g_hook ? g_hook(stage) : 0; }

int CloseFd(int& fd) {
  int rc = 0;
  if (fd >= 0 && ::close(fd) != 0) rc = errno;
  fd = -1;
  return rc;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TempPrefix(const std::string& target) {
  // Built by appending: GCC 12 misreads the operator+ chain here (-Wrestrict at -O3).
  std::string prefix(1, '.');
  prefix += BaseName(target);
  prefix += ".tmp-";
  return prefix;
}

int SyncDirectory(const std::string& dir) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return errno;
  int rc = ::fsync(dfd) == 0 ? 0 : errno;
  ::close(dfd);
  // Some file systems cannot sync a folder; the rename itself has happened.
  return rc == EINVAL ? 0 : rc;
}

int NotRegularError(mode_t mode) {
  return S_ISDIR(mode) ? EISDIR : EINVAL;
}

// The name a symbolic link's text stands for: a relative text counts from the link's folder.
std::string LinkDestination(const std::string& link, const std::string& text) {
  if (text.front() == '/') return text;
  std::string dir = DirectoryOf(link);
  if (dir.back() != '/') dir += '/';
  return dir + text;
}

mode_t CurrentUmask() {
  mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

}  // namespace

int OpenRegularFile(const std::string& path, int& fd, struct stat* status) {
  fd = -1;
  // The name is looked at before it is opened, so that a device is never opened at all
  // (opening some has effects of its own); the descriptor is looked at again because the
  // name may have changed in between.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return NotRegularError(st.st_mode);
  int f = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (f < 0) return errno;
  if (::fstat(f, &st) != 0) {
    int e = errno;
    ::close(f);
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(f);
    return NotRegularError(st.st_mode);
  }
  const int flags = ::fcntl(f, F_GETFL);
  if (flags < 0 || ::fcntl(f, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int e = errno;
    ::close(f);
    return e;
  }
  fd = f;
  if (status) *status = st;
  return 0;
}

std::string FileErrorText(int error) {
  switch (error) {
    case EISDIR:
      return "it is a folder, not a regular file";
    case EINVAL:
      return "it is not a regular file (a device, a FIFO or a socket)";
    case ELOOP:
      return "its symbolic links lead round in a loop";
    default:
      return std::strerror(error);
  }
}

int ReadFileToString(const std::string& path, std::uint64_t maxBytes, std::string& out) {
  out.clear();
  int fd = -1;
  struct stat st {};
  if (int e = OpenRegularFile(path, fd, &st)) return e;
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return EFBIG;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      out.clear();
      return e;
    }
    if (n == 0) break;  // the file shrank while we read it
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  ::close(fd);
  return 0;
}

int WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int MakeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return ENOENT;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (int rc = MakeDirectories(path.substr(0, slash), mode)) return rc;
  }
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return errno;
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (a.empty() || b.empty() || ::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0)
    return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int CheckSaveTarget(const std::string& target, std::string& resolved) {
  // As many links as the kernel follows in one name before it gives up.
  constexpr int kMaxLinks = 40;
  resolved = target;
  for (int links = 0;; ++links) {
    struct stat st {};
    if (::lstat(resolved.c_str(), &st) != 0) {
      // A name that does not exist is the file the save creates, also at the end of links.
      return errno == ENOENT ? 0 : errno;
    }
    if (S_ISREG(st.st_mode)) return 0;
    if (!S_ISLNK(st.st_mode)) return NotRegularError(st.st_mode);
    if (links == kMaxLinks) return ELOOP;
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlink(resolved.c_str(), text.data(), text.size());
    if (n < 0) return errno;
    if (n == 0 || static_cast<std::size_t>(n) >= text.size()) return ENAMETOOLONG;
    text.resize(static_cast<std::size_t>(n));
    resolved = LinkDestination(resolved, text);
  }
}

AtomicFile::~AtomicFile() { Discard(); }

int AtomicFile::Open(const std::string& target) {
  Discard();
  target_ = target;
  // Only a regular file is replaced, the one that any symbolic links lead to.
  std::string resolved;
  if (int e = CheckSaveTarget(target, resolved)) return e;
  target_ = resolved;

  std::string dir = DirectoryOf(target_);
  std::string pattern = dir + "/" + TempPrefix(target_) + "XXXXXX";
  std::string buf = pattern;
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  fd_ = fd;
  temp_ = buf;

  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0) {
    if (::fchmod(fd_, st.st_mode & 07777) != 0) { /* keep mkstemp's mode */
    }
    if (::fchown(fd_, st.st_uid, st.st_gid) != 0) { /* only root may give files away */
    }
  } else {
    if (::fchmod(fd_, 0666 & ~CurrentUmask()) != 0) {
    }
  }
  return 0;
}

int AtomicFile::Write(const void* data, std::size_t size) {
  if (fd_ < 0) return EBADF;
  constexpr size_t kChunk = 1 << 20;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    if (int e = Fault("write")) return e;
    size_t n = size < kChunk ? size : kChunk;
    if (int e = WriteAll(fd_, p, n)) return e;
    p += n;
    size -= n;
  }
  return 0;
}

int AtomicFile::Commit() {
  if (fd_ < 0) return EBADF;
  if (int e = Fault("sync")) return e;
  if (::fsync(fd_) != 0) return errno;
  if (int e = CloseFd(fd_)) return e;
  if (int e = Fault("rename")) return e;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return errno;
  temp_.clear();
  return SyncDirectory(DirectoryOf(target_));
}

void AtomicFile::Discard() {
  CloseFd(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

void RemoveStaleTemporaries(const std::string& target) {
  std::string dir = DirectoryOf(target);
  std::string prefix = TempPrefix(target);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
      ::unlink((dir + "/" + name).c_str());
  }
  ::closedir(d);
}

void SetSaveFaultHook(SaveFaultHook hook) { g_hook = hook; }

FileLock::FileLock(const std::string& lockPath, int timeoutMs) {
  // Non-blocking and checked, so that a FIFO or a device in the lock file's place is
  // refused rather than waited on or locked.
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
               0666 & ~CurrentUmask());
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    error_ = errno;
    CloseFd(fd_);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = NotRegularError(st.st_mode);
    CloseFd(fd_);
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = ETIMEDOUT;
      break;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
  error_ = errno;
  CloseFd(fd_);
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    CloseFd(fd_);
  }
}
