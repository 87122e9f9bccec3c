#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <thread>

namespace {

SaveFaultHook g_hook = nullptr;

int Fault(const char* stage) {
  return g_hook ? g_hook(stage) : 0;
}

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

// What follows ".NAME" in the name of a temporary: the marker, then mkostemp's six
// letters and digits. Earlier versions wrote the marker of kOldTempMarker, a name too
// plain to take from any file but the one being saved.
constexpr std::string_view kTempMarker = ".vtl-tmp-";
constexpr std::string_view kOldTempMarker = ".tmp-";
constexpr std::size_t kTempRandom = 6;

std::string TempPrefix(const std::string& target, std::string_view marker) {
  // Built by appending: GCC 12 misreads the operator+ chain here (-Wrestrict at -O3).
  std::string prefix(1, '.');
  prefix += BaseName(target);
  prefix += marker;
  return prefix;
}

bool IsTempRandom(std::string_view s) {
  if (s.size() != kTempRandom) return false;
  for (char c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

// Whether name is a temporary of a save into its folder: ".NAME.vtl-tmp-XXXXXX" for any
// NAME, or oldPrefix followed by the six random characters.
bool IsOurTemporaryName(std::string_view name, std::string_view oldPrefix) {
  if (name.size() == oldPrefix.size() + kTempRandom &&
      name.substr(0, oldPrefix.size()) == oldPrefix)
    return IsTempRandom(name.substr(oldPrefix.size()));
  const std::size_t tail = kTempMarker.size() + kTempRandom;
  if (name.size() < 2 + tail || name[0] != '.') return false;
  return name.substr(name.size() - tail, kTempMarker.size()) == kTempMarker &&
         IsTempRandom(name.substr(name.size() - kTempRandom));
}

// The temporaries of the saves in progress, for the signal handler. A handler may only
// touch lock-free atomics and call async-signal-safe functions, so the paths live in
// fixed buffers, each guarded by a state word: free, being filled, live, or taken by the
// handler (which unlinks the path and never gives the slot back: the process is ending).
// A save that finds no free slot still works; a kill then leaves its temporary to the
// sweep of the next save.
enum SlotState : int { kSlotFree = 0, kSlotFilling = 1, kSlotLive = 2, kSlotUnlinking = 3 };
constexpr int kLiveSlots = 32;
struct LiveSlot {
  std::atomic<int> state{kSlotFree};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free);
LiveSlot g_live[kLiveSlots];

int RegisterLive(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kLiveSlots; ++i) {
    int expected = kSlotFree;
    if (!g_live[i].state.compare_exchange_strong(expected, kSlotFilling)) continue;
    std::memcpy(g_live[i].path, path.c_str(), path.size() + 1);
    g_live[i].state.store(kSlotLive, std::memory_order_release);
    return i;
  }
  return -1;
}

void UnregisterLive(int& slot) {
  if (slot < 0) return;
  int expected = kSlotLive;
  g_live[slot].state.compare_exchange_strong(expected, kSlotFree);
  slot = -1;
}

void RemoveLiveTemporariesAndDie(int sig) {
  for (LiveSlot& slot : g_live) {
    int expected = kSlotLive;
    if (slot.state.compare_exchange_strong(expected, kSlotUnlinking)) ::unlink(slot.path);
  }
  // Die of the same signal with its default action. Every signal is blocked while this
  // handler runs, so the one raised here is delivered as soon as the handler returns.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

thread_local int g_lastSaveError = 0;

int SaveFailed(int e) {
  g_lastSaveError = e;
  return e;
}

// Whether the file behind fd has grown to the file-size limit of this process, so that
// the write that failed on it failed for that reason.
bool AtFileSizeLimit(int fd) {
  struct rlimit rl {};
  struct stat st {};
  if (::getrlimit(RLIMIT_FSIZE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return false;
  return ::fstat(fd, &st) == 0 && static_cast<rlim_t>(st.st_size) >= rl.rlim_cur;
}

// Creates the temporary for a save into dir and takes its flock. A sweep in another
// process may open the new file before the lock is taken and remove it; the name is
// checked again under the lock, and a fresh one made when it no longer names the file.
int CreateLockedTemporary(const std::string& pattern, int* fdOut, std::string* pathOut) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string buf = pattern;
    int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int rc = 0;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      int e = errno;
      ::unlink(buf.c_str());
      ::close(fd);
      return e;
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(buf.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      *fdOut = fd;
      *pathOut = buf;
      return 0;
    }
    ::close(fd);
  }
  return EAGAIN;
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
    case kSaveErrForeignLink:
      return "it is a symbolic link that another user made in a folder everyone may write to "
             "(such as /tmp); it is not followed, so that the file it points to stays as it is";
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

int WriteAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<std::uint64_t>(n);
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

bool MayFollowSaveLink(const struct stat& folder, const struct stat& link, uid_t user) {
  if (link.st_uid == user) return true;
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  if ((folder.st_mode & kShared) != kShared) return true;
  return folder.st_uid == link.st_uid;
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
    // The links are read here rather than by the kernel, which would apply this rule
    // itself (where protected_symlinks is on): without it a link planted in /tmp would
    // make the save replace whatever file it points to.
    struct stat folder {};
    if (::stat(DirectoryOf(resolved).c_str(), &folder) != 0) return errno;
    if (!MayFollowSaveLink(folder, st, ::geteuid())) return kSaveErrForeignLink;
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlink(resolved.c_str(), text.data(), text.size());
    if (n < 0) return errno;
    if (n == 0 || static_cast<std::size_t>(n) >= text.size()) return ENAMETOOLONG;
    text.resize(static_cast<std::size_t>(n));
    resolved = LinkDestination(resolved, text);
  }
}

std::string SaveTemporaryPattern(const std::string& target, std::size_t nameMax) {
  std::string name = BaseName(target);
  const std::size_t fixed = 1 + kTempMarker.size() + kTempRandom;
  const std::size_t room = nameMax > fixed + 1 ? nameMax - fixed : 1;
  if (name.size() > room) {
    // Never inside a character: what is kept of the name stays whole UTF-8 characters.
    std::size_t cut = room;
    while (cut > 1 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  std::string pattern(1, '.');
  pattern += name;
  pattern += kTempMarker;
  pattern.append(kTempRandom, 'X');
  return pattern;
}

AtomicFile::~AtomicFile() {
  Discard();
}

int AtomicFile::Open(const std::string& target) {
  Discard();
  target_ = target;
  // Only a regular file is replaced, the one that any symbolic links lead to.
  std::string resolved;
  if (int e = CheckSaveTarget(target, resolved)) return e;
  target_ = resolved;

  g_lastSaveError = 0;
  RemoveStaleTemporaries(target_);
  const std::string dir = DirectoryOf(target_);
  const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  std::string pattern =
      dir + "/" +
      SaveTemporaryPattern(target_, nameMax > 0 ? static_cast<std::size_t>(nameMax) : NAME_MAX);
  if (int e = CreateLockedTemporary(pattern, &fd_, &temp_)) return SaveFailed(e);
  slot_ = RegisterLive(temp_);

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
    if (int e = Fault("write")) return SaveFailed(e);
    size_t n = size < kChunk ? size : kChunk;
    if (int e = WriteAll(fd_, p, n)) return SaveFailed(e);
    p += n;
    size -= n;
  }
  return 0;
}

int AtomicFile::CopyFrom(int source, std::uint64_t offset, std::uint64_t size) {
  if (fd_ < 0) return EBADF;
  constexpr std::uint64_t kChunk = 8 << 20;
  bool inKernel = true;
  std::vector<char> buffer;
  while (size > 0) {
    if (int e = Fault("write")) return SaveFailed(e);
    const auto n = static_cast<std::size_t>(std::min(size, kChunk));
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - n))
      return SaveFailed(EOVERFLOW);
    if (inKernel) {
      loff_t from = static_cast<loff_t>(offset);
      const ssize_t r = ::copy_file_range(source, &from, fd_, nullptr, n, 0);
      if (r > 0) {
        offset += static_cast<std::uint64_t>(r);
        size -= static_cast<std::uint64_t>(r);
        continue;
      }
      if (r == 0) return SaveFailed(EIO);
      if (errno == EINTR) continue;
      // Across file systems, or where the kernel cannot: through memory instead.
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
        return SaveFailed(errno);
      inKernel = false;
    }
    buffer.resize(n);
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r =
          ::pread(source, buffer.data() + got, n - got, static_cast<off_t>(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return SaveFailed(errno);
      if (r == 0) return SaveFailed(EIO);
      got += static_cast<std::size_t>(r);
    }
    if (int e = WriteAll(fd_, buffer.data(), n)) return SaveFailed(e);
    offset += n;
    size -= n;
  }
  return 0;
}

int AtomicFile::Commit() {
  if (fd_ < 0) return EBADF;
  if (int e = Fault("sync")) return SaveFailed(e);
  if (::fsync(fd_) != 0) return SaveFailed(errno);
  if (int e = Fault("rename")) return SaveFailed(e);
  // What Open checked may have changed since: never rename over a name that has become a
  // folder, a device, a FIFO or a link in the meantime.
  struct stat now {};
  if (::lstat(target_.c_str(), &now) == 0 && !S_ISREG(now.st_mode))
    return SaveFailed(S_ISDIR(now.st_mode) ? EISDIR : EINVAL);
  // The descriptor, and with it the lock, is kept until the rename is done: without the
  // lock a sweep could take the finished temporary for a leftover.
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return SaveFailed(errno);
  temp_.clear();
  UnregisterLive(slot_);
  // The data are on disk (fsync above) and in place; a failing close has nothing left to
  // lose.
  CloseFd(fd_);
  if (int e = SyncDirectory(DirectoryOf(target_))) return SaveFailed(e);
  return 0;
}

void AtomicFile::Discard() {
  if (fd_ >= 0 && !temp_.empty() && g_lastSaveError == 0 && AtFileSizeLimit(fd_))
    g_lastSaveError = EFBIG;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  UnregisterLive(slot_);
  CloseFd(fd_);
}

int WriteTextFile(const std::string& path, std::string_view text) {
  AtomicFile file;
  if (int e = file.Open(path)) return e;
  int e = file.Write(text.data(), text.size());
  if (e == 0) e = file.Commit();
  if (e != 0) file.Discard();
  return e;
}

void RemoveStaleTemporaries(const std::string& target) {
  const std::string dir = DirectoryOf(target);
  const std::string oldPrefix = TempPrefix(target, kOldTempMarker);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const int dfd = ::dirfd(d);
  const uid_t me = ::geteuid();
  while (dirent* e = ::readdir(d)) {
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    if (!IsOurTemporaryName(e->d_name, oldPrefix)) continue;
    // Non-blocking and without following links: a FIFO or a link given our name is
    // never opened through, let alone removed.
    int fd = ::openat(dfd, e->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    struct stat now {};
    // A save in progress holds the lock; one that was killed released it with its life.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == me &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dfd, e->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino)
      ::unlinkat(dfd, e->d_name, 0);
    ::close(fd);
  }
  ::closedir(d);
}

void InstallSaveSignalCleanup() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction cleanup {};
  cleanup.sa_handler = RemoveLiveTemporariesAndDie;
  sigfillset(&cleanup.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    // Ignored (nohup, a background job) or handled by someone else: not ours to change.
    if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
    ::sigaction(sig, &cleanup, nullptr);
  }
}

int LastSaveError() {
  return g_lastSaveError;
}

void SetSaveFaultHook(SaveFaultHook hook) {
  g_hook = hook;
}

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

bool BufferedAtomicFile::Put(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  buffer_.insert(buffer_.end(), p, p + size);
  return buffer_.size() < kFlushAt || Flush();
}

bool BufferedAtomicFile::Flush() {
  if (buffer_.empty()) return true;
  const bool ok = file_.Write(buffer_.data(), buffer_.size()) == 0;
  buffer_.clear();
  return ok;
}

bool BufferedAtomicFile::Commit() {
  return Flush() && file_.Commit() == 0;
}

ScopedFd::~ScopedFd() {
  if (fd_ >= 0) ::close(fd_);
}
