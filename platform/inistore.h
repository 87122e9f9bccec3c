// The settings backend: an INI text file with one [section] per key path and one
// name=value line per value, standing in for the registry key of the application.
//
// Values are text, written so that they read back byte for byte: "\\", "\n", "\r", "\t"
// and "\xHH" are escapes, nothing is trimmed after '=', and a value that starts with
// "hex:" holds binary bytes in hexadecimal. Section and value names compare without
// regard to ASCII case, as registry keys do. Lines the parser does not understand
// (comments, junk, hand edits) are kept verbatim when the file is written again.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct IniValue {
  bool binary = false;
  std::string data;
  bool operator==(const IniValue&) const = default;
};

class IniDocument {
 public:
  IniDocument() : sections_(1) {}
  static IniDocument Parse(std::string_view text);
  std::string Serialize() const;

  const IniValue* Find(std::string_view section, std::string_view name) const;
  bool HasSection(std::string_view section) const;

  // Each returns true when the document changed.
  bool AddSection(std::string_view section);
  bool Set(std::string_view section, std::string_view name, const IniValue& value);
  bool Erase(std::string_view section, std::string_view name);
  // Removes the section together with its subsections ("section\...").
  bool EraseSection(std::string_view section);

  std::vector<std::string> SectionNames() const;
  std::vector<std::pair<std::string, IniValue>> Values(std::string_view section) const;

 private:
  struct Line {
    bool isValue = false;
    bool dirty = false;  // changed since parsing: raw no longer describes it
    std::string name;
    IniValue value;
    std::string raw;
  };
  struct Section {
    bool hasHeader = false;
    std::string name;
    std::string rawHeader;
    std::vector<Line> lines;
  };
  Section* FindSection(std::string_view section);
  std::vector<Section> sections_;  // [0] holds the lines before the first header
};

// Escaping used in the file; exposed for tests and tools.
std::string EscapeIniName(std::string_view name);
std::string EncodeIniValue(const IniValue& value);

// One settings file on disk. Reads are cached and reloaded when the file changes; every
// change is made under an advisory lock on "<file>.lock" to the file's current content
// and written atomically, so concurrent writers lose nothing and a crash loses nothing.
class IniStore {
 public:
  // Files above this size are not settings; they read as empty and are set aside
  // (renamed to "<file>.bad") by the next write instead of being parsed.
  static constexpr std::uint64_t kMaxBytes = 16u << 20;

  explicit IniStore(std::string path);
  const std::string& path() const { return path_; }

  // The current content. Returns 0, or the errno value why the file could not be read
  // (ENOENT when it does not exist); the document is then empty.
  int Load(std::shared_ptr<const IniDocument>& out);

  // Applies change to the current content and saves when it returns true. A change that
  // leaves the current content as it is returns 0 without taking the lock or touching the
  // folder, so a value that is already stored costs no write. Returns 0 or the errno value
  // of the failure: ETIMEDOUT when another process held the lock for the whole wait
  // (kLockTimeoutMs). On failure the file is as it was.
  int Update(const std::function<bool(IniDocument&)>& change);

  // How long a change waits for another process's lock in all, and after how long the
  // wait is announced to the lock-wait handler.
  static constexpr int kLockTimeoutMs = 10000;
  static constexpr int kLockNoticeMs = 1000;

 private:
  struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    bool operator==(const Identity&) const = default;
  };
  static bool Stat(const std::string& path, Identity& id);

  std::string path_;
  std::shared_ptr<const IniDocument> cache_;
  Identity cachedId_;
  int cachedError_ = -1;  // -1 until the first load
};

// Told when a change to the settings has waited kLockNoticeMs for a lock that another
// process holds (waiting true), and again when that wait is over, whether or not the lock
// was had (waiting false). The command-line tool prints a line, the program shows it in
// its status bar. Called on the thread that writes; an empty handler silences it.
using SettingsLockWaitHandler = std::function<void(const std::string& lockPath, bool waiting)>;
void SetSettingsLockWaitHandler(SettingsLockWaitHandler handler);

// Where the settings live: $VANTOREL_CONFIG_HOME/Vantorel-2.0.ini (machine scope in its
// "machine" subfolder) when that variable is set; otherwise
// $XDG_CONFIG_HOME/Quorvane/Vantorel-2.0.ini for the user (~/.config when unset) and
// /etc/xdg/Quorvane/Vantorel-2.0.ini for the machine.
std::string SettingsFilePath(bool machine);

// The store of the current settings file for a scope. It follows a change of the
// environment (tests point VANTOREL_CONFIG_HOME at a new folder for each case).
IniStore& SettingsStore(bool machine);
