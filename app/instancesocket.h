// Where the running copy of a user listens, and whom it trusts: a socket in a folder
// that only the user can enter ($XDG_RUNTIME_DIR, else one made under /tmp), peers
// checked by their kernel-reported user id, and the reasons the socket can be missing.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace instance_socket {

// Why a copy has no socket of its own. Each has one text (ProblemText).
inline constexpr int kOk = 0;
inline constexpr int kNoFolder = 1;        // the private folder could not be made
inline constexpr int kNotAFolder = 2;      // the folder's path holds something else
inline constexpr int kFolderNotOwned = 3;  // the folder belongs to another user
inline constexpr int kFolderOpen = 4;      // others may enter or write the folder
inline constexpr int kFileInPlace = 5;     // something that is not a socket has the name
inline constexpr int kOtherUser = 6;       // a socket of another user listens there
inline constexpr int kNoAnswer = 7;        // a copy listens there but did not answer
inline constexpr int kListenFailed = 8;    // the system refused the socket

// The message shown once when there is no socket: path, reason.
const char* ProblemText(int problem);

// The folder a socket may live in, or why there is none. A folder passes when it is a
// real folder (not a link), owned by uid, with no access for group or others.
struct Folder {
  std::string path;  // the folder taken, or with a problem the one refused
  int problem = kOk;
};
// runtimeDir ($XDG_RUNTIME_DIR, may be null or empty) is taken when it passes; else
// fallback is created (mode 0700) when missing and taken when it passes.
Folder PrivateFolder(const char* runtimeDir, const std::string& fallback, uid_t uid);
// The folder of this process's user: $XDG_RUNTIME_DIR or /tmp/vantorel-<uid>.
Folder UserFolder();

// The user id of the process at the other end of a connected local socket.
std::optional<uid_t> PeerUid(long long fd);
// True only when the peer is known to run as expected.
bool IsPeerOf(long long fd, uid_t expected);

// Makes path free for a new socket of uid: nothing there is fine; a socket nobody
// listens on (left by a copy that crashed) and owned by uid is removed. Anything else
// is left as it is and its problem returned (kFileInPlace, kOtherUser, kNoAnswer).
int ClearStaleSocket(const std::string& path, uid_t uid);

}  // namespace instance_socket
