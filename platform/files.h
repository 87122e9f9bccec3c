// Files on disk: whole-file reads with a size limit, complete writes, and saving through
// a temporary file so that a save replaces its target all at once or not at all.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Opens a file by name for reading only when the name leads, through any symbolic links,
// to a regular file, and never blocks doing so: the open is non-blocking (a FIFO without
// a writer or a device cannot hold it up) and the descriptor is checked before anything
// is read. On success fd is open, close-on-exec and back in blocking mode, and st (when
// given) holds its status. Returns 0 or an errno value: EISDIR for a folder, EINVAL for
// anything else that is no regular file (a FIFO, a device, a socket), ELOOP for symbolic
// links that lead round in a loop, ENOENT, EACCES and the like as the open gives them.
[[nodiscard]] int OpenRegularFile(const std::string& path, int& fd, struct stat* st = nullptr);

// A short English text for an errno value of the file functions here, saying plainly
// what EISDIR, EINVAL, ELOOP and kSaveErrForeignLink mean for a file name; strerror for
// the rest.
std::string FileErrorText(int error);

// Reads a whole regular file (opened as OpenRegularFile does). Returns 0, or an errno
// value: EFBIG when the file holds more than maxBytes (nothing is allocated for it then),
// ENOENT when it does not exist, EISDIR or EINVAL when it is no regular file.
[[nodiscard]] int ReadFileToString(const std::string& path, std::uint64_t maxBytes,
                                   std::string& out);

// Writes a text file (UTF-8, as every text the system writes) through an AtomicFile, so
// the target is replaced whole or not at all. Returns 0 or an errno value.
[[nodiscard]] int WriteTextFile(const std::string& path, std::string_view text);

// Writes every byte, retrying short writes and interrupted calls. Returns 0 or errno.
[[nodiscard]] int WriteAll(int fd, const void* data, std::size_t size);
// The same at a place in the file, leaving the file offset alone.
[[nodiscard]] int WriteAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset);

// Creates a directory and its missing parents. Returns 0 or errno.
[[nodiscard]] int MakeDirectories(const std::string& path, mode_t mode = 0755);

// The folder part of a path ("." when there is none).
std::string DirectoryOf(const std::string& path);

// Whether two paths name the same file on disk, however they are spelled (relative or
// absolute, through symbolic links or hard links): both exist and have the same device
// and inode. A path that does not exist is never the same file as another.
bool SameFile(const std::string& a, const std::string& b);

// The error of a save refused because its name is a symbolic link that another user put
// in a folder everyone may write to (see MayFollowSaveLink). Not an errno value of the
// system: FileErrorText and the file I/O codes name it.
inline constexpr int kSaveErrForeignLink = 0x10000 + 1;

// Whether a save may follow a symbolic link, given the status of the link (lstat) and of
// the folder that holds it, for the user saving: the rule of the kernel's
// protected_symlinks. In a folder that is sticky and writable by all (such as /tmp), where
// anyone may plant a link under a name someone else is going to save to, only a link of
// the user or of the folder's owner is followed; anywhere else every link is.
[[nodiscard]] bool MayFollowSaveLink(const struct stat& folder, const struct stat& link,
                                     uid_t user);

// Where a save of target may write, checked before anything is created. A target that
// does not exist or is a regular file is saved as it is named. A symbolic link is followed
// one level after another (a relative link text counts from the link's own folder) to
// the name it finally leads to: the save replaces that file and the links keep pointing
// at it. A dangling link (its last name does not exist) makes the save create the file
// the link names, so the link then leads to the new file. resolved receives the name to
// write. Returns 0, or an errno value, and nothing may be written then: EISDIR when the
// target is or leads to a folder, EINVAL when it is or leads to a FIFO, a device or a
// socket, ELOOP when its links lead round in a loop, kSaveErrForeignLink when one of its
// links may not be followed (MayFollowSaveLink, for the effective user), or what lstat,
// stat or readlink gave.
[[nodiscard]] int CheckSaveTarget(const std::string& target, std::string& resolved);

// The name of the temporary a save of target writes beside it, before mkostemp fills in
// the six X: ".NAME.vtl-tmp-XXXXXX", NAME the target's file name cut (at a whole UTF-8
// character) so that the whole name fits in nameMax bytes, the longest file name of the
// target's folder. A target whose own name is near that limit is saved all the same.
std::string SaveTemporaryPattern(const std::string& target, std::size_t nameMax);

// Writes a new version of a file beside it, then renames it over the target. Until
// Commit succeeds the target is untouched. The new version is written to a hidden
// temporary file in the target's folder (SaveTemporaryPattern) that this object holds
// under an exclusive flock for its whole life, so no other save takes it for a leftover.
// Closes a file descriptor when it goes out of scope (a negative one is left alone).
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd();
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A save killed by a catchable signal removes its temporary (InstallSaveSignalCleanup);
// one killed outright leaves it, and the next save into that folder removes it. An
// existing target keeps its permissions; a symbolic link keeps pointing at the file it
// named.
// Open refuses, with CheckSaveTarget's errno value and without creating anything, a
// target that is no regular file; through symbolic links it saves into the file they lead
// to (creating the file a dangling link names), so the links keep pointing at it.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  [[nodiscard]] int Open(const std::string& target);
  [[nodiscard]] int Write(const void* data, std::size_t size);
  // Appends `size` bytes of another open file from `offset` on, copied inside the kernel
  // where the file systems allow it. 0, the errno of the failure, or EIO when the other
  // file ends early.
  [[nodiscard]] int CopyFrom(int source, std::uint64_t offset, std::uint64_t size);
  // Flushes the data to disk, renames it over the target and flushes the folder.
  [[nodiscard]] int Commit();
  // Removes the temporary file; the target stays as it was.
  void Discard();

  int fd() const { return fd_; }
  const std::string& target() const { return target_; }
  const std::string& temp_path() const { return temp_; }

 private:
  int fd_ = -1;
  int slot_ = -1;  // the entry of the temporary in the signal cleanup registry
  std::string target_;
  std::string temp_;
};

// An AtomicFile written through a buffer, for writers that hand over many small pieces
// (a header, then a row at a time). Nothing reaches the target unless Commit succeeds.
class BufferedAtomicFile {
 public:
  // 0 or the errno of creating the temporary file.
  [[nodiscard]] int Open(const std::string& target) { return file_.Open(target); }
  // False when a write to the temporary file failed.
  [[nodiscard]] bool Put(const void* data, std::size_t size);
  // Writes what is buffered and renames the file over the target; false on any failure.
  [[nodiscard]] bool Commit();

 private:
  bool Flush();
  static constexpr std::size_t kFlushAt = 1 << 20;
  AtomicFile file_;
  std::vector<unsigned char> buffer_;
};

// Removes the temporary files that saves into target's folder left behind when they were
// killed: every ".NAME.vtl-tmp-XXXXXX" there, and the ".NAME.tmp-XXXXXX" of target
// itself that earlier versions wrote. Only regular files owned by this user whose flock
// can be taken are removed, so a save still running (in this process or another) keeps
// its temporary. AtomicFile::Open calls it.
void RemoveStaleTemporaries(const std::string& target);

// Makes the catchable signals that end a process by default (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE) first remove the temporaries of the saves in progress, then end the
// process by the same signal, so the exit status stays what it would have been. Signals
// that the process ignores or handles itself are left alone. Also ignores SIGXFSZ, so
// that a save running into the file-size limit (ulimit -f) fails with EFBIG and is
// reported instead of killing the process. Call once at start, before threads start.
void InstallSaveSignalCleanup();

// The errno value that made the last failed save on this thread fail (0 after a save
// opened): what a write, sync or rename of an AtomicFile returned, or EFBIG when the
// temporary was abandoned at the file-size limit (the writers that write through stdio
// report only that a write failed). Lets the caller name the cause.
int LastSaveError();

// Fault injection for tests: called at "write" (before each chunk), "sync" and "rename".
// A non-zero return fails that step with the returned errno value.
using SaveFaultHook = int (*)(const char* stage);
void SetSaveFaultHook(SaveFaultHook hook);

// An exclusive advisory lock on a lock file, taken for the lifetime of the object. Waits
// at most timeoutMs for another holder, so a hung process cannot hang this one.
class FileLock {
 public:
  explicit FileLock(const std::string& lockPath, int timeoutMs = 10000);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // 0 when the lock is held, otherwise the errno value of the failure.
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};
