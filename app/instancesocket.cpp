// The running copy's socket: a private folder checked with lstat (a link or a folder
// open to others could let another user take the name or read the files handed over),
// peers identified with SO_PEERCRED, and a stale socket told from a live one by
// connecting to it.
#include "app/instancesocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/apptexts.h"

namespace instance_socket {

const char* ProblemText(int problem) {
  switch (problem) {
    case kNoFolder:
      return app_text::kSocketNoFolder;
    case kNotAFolder:
      return app_text::kSocketNotAFolder;
    case kFolderNotOwned:
      return app_text::kSocketFolderNotOwned;
    case kFolderOpen:
      return app_text::kSocketFolderOpen;
    case kFileInPlace:
      return app_text::kSocketFileInPlace;
    case kOtherUser:
      return app_text::kSocketOtherUser;
    case kNoAnswer:
      return app_text::kSocketNoAnswer;
    case kListenFailed:
      return app_text::kSocketListenFailed;
    default:
      return "";
  }
}

namespace {

// kOk when path is a real folder of uid that nobody else may enter.
int CheckFolder(const std::string& path, uid_t uid) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? kNoFolder : kNotAFolder;
  if (!S_ISDIR(st.st_mode)) return kNotAFolder;
  if (st.st_uid != uid) return kFolderNotOwned;
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) return kFolderOpen;
  return kOk;
}

}  // namespace

Folder PrivateFolder(const char* runtimeDir, const std::string& fallback, uid_t uid) {
  if (runtimeDir && *runtimeDir == '/' && CheckFolder(runtimeDir, uid) == kOk)
    return {runtimeDir, kOk};
  // The fallback usually lies in a folder everybody may write, so whatever already
  // has its name is only taken after the same checks.
  if (mkdir(fallback.c_str(), S_IRWXU) != 0 && errno != EEXIST) return {fallback, kNoFolder};
  return {fallback, CheckFolder(fallback, uid)};
}

Folder UserFolder() {
  const uid_t uid = getuid();
  return PrivateFolder(std::getenv("XDG_RUNTIME_DIR"), "/tmp/vantorel-" + std::to_string(uid), uid);
}

std::optional<uid_t> PeerUid(long long fd) {
  if (fd < 0) return std::nullopt;
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
      len != sizeof cred)
    return std::nullopt;
  return cred.uid;
}

bool IsPeerOf(long long fd, uid_t expected) {
  const std::optional<uid_t> uid = PeerUid(fd);
  return uid && *uid == expected;
}

int ClearStaleSocket(const std::string& path, uid_t uid) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? kOk : kListenFailed;
  if (!S_ISSOCK(st.st_mode)) return kFileInPlace;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return kListenFailed;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kListenFailed;
  int result = kOk;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    // Someone listens: a copy of ours that was too slow, or another user's program.
    result = IsPeerOf(fd, uid) ? kNoAnswer : kOtherUser;
  } else if (errno == EAGAIN) {
    result = kNoAnswer;  // a listener whose queue is full
  } else if (errno == ECONNREFUSED) {
    // Nobody listens: left behind by a copy that ended without removing it.
    if (st.st_uid != uid)
      result = kOtherUser;
    else if (unlink(path.c_str()) != 0 && errno != ENOENT)
      result = kListenFailed;
  } else if (errno != ENOENT) {
    result = kListenFailed;
  }
  close(fd);
  return result;
}

}  // namespace instance_socket
