#include "platform/inistore.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/files.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kHexPrefix = "hex:";
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// True when child is section itself or lies below it ("section\child").
bool IsSameOrBelow(std::string_view child, std::string_view section) {
  if (EqualsNoCase(child, section)) return true;
  return child.size() > section.size() && child[section.size()] == '\\' &&
         StartsWithNoCase(child, section);
}

void AppendHexByte(std::string& out, unsigned char c) {
  out.push_back(kHexDigits[c >> 4]);
  out.push_back(kHexDigits[c & 15]);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    out += "\\x";
    AppendHexByte(out, c);
  } else {
    out.push_back(static_cast<char>(c));
  }
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out.push_back(c);
      continue;
    }
    char n = text[i + 1];
    if (n == '\\' || n == 'n' || n == 'r' || n == 't') {
      out.push_back(n == 'n' ? '\n' : n == 'r' ? '\r' : n == 't' ? '\t' : '\\');
      ++i;
    } else if (n == 'x' && i + 3 < text.size() && HexDigit(text[i + 2]) >= 0 &&
               HexDigit(text[i + 3]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3])));
      i += 3;
    } else {
      out.push_back(c);  // not an escape: keep the backslash
    }
  }
  return out;
}

bool DecodeHex(std::string_view hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]);
    int lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string EscapeIniName(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    bool edge = i == 0 || i + 1 == name.size();
    if (c == '=' || (edge && c == ' ') || (i == 0 && (c == '[' || c == ';' || c == '#'))) {
      out += "\\x";
      AppendHexByte(out, c);
    } else {
      AppendEscaped(out, c);
    }
  }
  return out;
}

std::string EncodeIniValue(const IniValue& value) {
  std::string out;
  if (value.binary) {
    out.reserve(kHexPrefix.size() + value.data.size() * 2);
    out += kHexPrefix;
    for (char c : value.data) AppendHexByte(out, static_cast<unsigned char>(c));
    return out;
  }
  out.reserve(value.data.size());
  for (size_t i = 0; i < value.data.size(); ++i) {
    auto c = static_cast<unsigned char>(value.data[i]);
    // Text that happens to begin with the binary marker must not read back as binary.
    if (i == 0 && value.data.compare(0, kHexPrefix.size(), kHexPrefix) == 0) {
      out += "\\x";
      AppendHexByte(out, c);
    } else {
      AppendEscaped(out, c);
    }
  }
  return out;
}

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(pos, end - pos);
    pos = end + 1;

    std::string_view line = raw;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = TrimSpaces(line);

    if (!trimmed.empty() && trimmed.front() == '[') {
      size_t close = trimmed.rfind(']');
      if (close != std::string_view::npos && close > 0) {
        Section s;
        s.hasHeader = true;
        s.name = std::string(trimmed.substr(1, close - 1));
        s.rawHeader = std::string(raw);
        doc.sections_.push_back(std::move(s));
        continue;
      }
    }
    Line l;
    l.raw = std::string(raw);
    size_t eq = line.find('=');
    bool comment = !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
    if (doc.sections_.size() > 1 && eq != std::string_view::npos && !comment) {
      std::string_view value = line.substr(eq + 1);
      l.name = Unescape(TrimSpaces(line.substr(0, eq)));
      if (value.substr(0, kHexPrefix.size()) == kHexPrefix) {
        l.isValue = DecodeHex(value.substr(kHexPrefix.size()), l.value.data);
        l.value.binary = true;
      } else {
        l.isValue = true;
        l.value.data = Unescape(value);
      }
      if (!l.isValue) {
        l.name.clear();
        l.value = {};
      }
    }
    doc.sections_.back().lines.push_back(std::move(l));
  }
  return doc;
}

std::string IniDocument::Serialize() const {
  std::string out;
  for (const Section& s : sections_) {
    if (s.hasHeader) {
      if (s.rawHeader.empty()) {
        // A section made here: set it off from the one before by an empty line.
        if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\n\n") != 0)
          out += '\n';
        out += '[' + s.name + "]\n";
      } else {
        out += s.rawHeader + '\n';
      }
    }
    for (const Line& l : s.lines) {
      if (l.isValue && l.dirty)
        out += EscapeIniName(l.name) + '=' + EncodeIniValue(l.value) + '\n';
      else
        out += l.raw + '\n';
    }
  }
  return out;
}

IniDocument::Section* IniDocument::FindSection(std::string_view section) {
  for (size_t i = 1; i < sections_.size(); ++i)
    if (EqualsNoCase(sections_[i].name, section)) return &sections_[i];
  return nullptr;
}

const IniValue* IniDocument::Find(std::string_view section, std::string_view name) const {
  for (size_t i = 1; i < sections_.size(); ++i) {
    if (!EqualsNoCase(sections_[i].name, section)) continue;
    for (const Line& l : sections_[i].lines)
      if (l.isValue && EqualsNoCase(l.name, name)) return &l.value;
  }
  return nullptr;
}

bool IniDocument::HasSection(std::string_view section) const {
  for (size_t i = 1; i < sections_.size(); ++i)
    if (EqualsNoCase(sections_[i].name, section)) return true;
  return false;
}

bool IniDocument::AddSection(std::string_view section) {
  if (HasSection(section)) return false;
  Section s;
  s.hasHeader = true;
  s.name = std::string(section);
  sections_.push_back(std::move(s));
  return true;
}

bool IniDocument::Set(std::string_view section, std::string_view name, const IniValue& value) {
  for (size_t i = 1; i < sections_.size(); ++i) {
    if (!EqualsNoCase(sections_[i].name, section)) continue;
    for (Line& l : sections_[i].lines) {
      if (!l.isValue || !EqualsNoCase(l.name, name)) continue;
      if (l.value == value) return false;
      l.value = value;
      l.dirty = true;
      return true;
    }
  }
  AddSection(section);
  Section* s = FindSection(section);
  Line l;
  l.isValue = true;
  l.dirty = true;
  l.name = std::string(name);
  l.value = value;
  // Keep new values together with the section's other values, ahead of trailing blanks.
  auto at = s->lines.end();
  while (at != s->lines.begin() && !(at - 1)->isValue && TrimSpaces((at - 1)->raw).empty()) --at;
  s->lines.insert(at, std::move(l));
  return true;
}

bool IniDocument::Erase(std::string_view section, std::string_view name) {
  bool changed = false;
  for (size_t i = 1; i < sections_.size(); ++i) {
    if (!EqualsNoCase(sections_[i].name, section)) continue;
    auto& lines = sections_[i].lines;
    for (auto it = lines.begin(); it != lines.end();) {
      if (it->isValue && EqualsNoCase(it->name, name)) {
        it = lines.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
  }
  return changed;
}

bool IniDocument::EraseSection(std::string_view section) {
  size_t before = sections_.size();
  for (size_t i = sections_.size(); i-- > 1;)
    if (IsSameOrBelow(sections_[i].name, section)) sections_.erase(sections_.begin() + i);
  return sections_.size() != before;
}

std::vector<std::string> IniDocument::SectionNames() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < sections_.size(); ++i) {
    bool seen = false;
    for (const auto& n : names) seen = seen || EqualsNoCase(n, sections_[i].name);
    if (!seen) names.push_back(sections_[i].name);
  }
  return names;
}

std::vector<std::pair<std::string, IniValue>> IniDocument::Values(std::string_view section) const {
  std::vector<std::pair<std::string, IniValue>> out;
  for (size_t i = 1; i < sections_.size(); ++i) {
    if (!EqualsNoCase(sections_[i].name, section)) continue;
    for (const Line& l : sections_[i].lines) {
      if (!l.isValue) continue;
      bool seen = false;
      for (const auto& v : out) seen = seen || EqualsNoCase(v.first, l.name);
      if (!seen) out.emplace_back(l.name, l.value);
    }
  }
  return out;
}

IniStore::IniStore(std::string path) : path_(std::move(path)) {}

bool IniStore::Stat(const std::string& path, Identity& id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

int IniStore::Load(std::shared_ptr<const IniDocument>& out) {
  Identity id;
  if (!Stat(path_, id)) {
    int e = errno;
    if (!cache_ || cachedError_ != e) {
      cache_ = std::make_shared<const IniDocument>(IniDocument::Parse(""));
      cachedId_ = Identity{};
      cachedError_ = e;
    }
    out = cache_;
    return e;
  }
  if (cache_ && cachedError_ >= 0 && id == cachedId_) {
    out = cache_;
    return cachedError_;
  }
  std::string text;
  int rc = ReadFileToString(path_, kMaxBytes, text);
  cache_ = std::make_shared<const IniDocument>(IniDocument::Parse(rc == 0 ? text : ""));
  cachedId_ = id;
  cachedError_ = rc;
  out = cache_;
  return rc;
}

namespace {

SettingsLockWaitHandler& LockWaitHandler() {
  static SettingsLockWaitHandler handler;
  return handler;
}

// Takes the lock, telling the handler when the wait grows long enough to be noticed.
std::unique_ptr<FileLock> TakeLock(const std::string& lockPath) {
  auto lock = std::make_unique<FileLock>(lockPath, IniStore::kLockNoticeMs);
  if (lock->error() != ETIMEDOUT) return lock;
  if (LockWaitHandler()) LockWaitHandler()(lockPath, true);
  lock = std::make_unique<FileLock>(lockPath, IniStore::kLockTimeoutMs - IniStore::kLockNoticeMs);
  if (LockWaitHandler()) LockWaitHandler()(lockPath, false);
  return lock;
}

}  // namespace

void SetSettingsLockWaitHandler(SettingsLockWaitHandler handler) {
  LockWaitHandler() = std::move(handler);
}

int IniStore::Update(const std::function<bool(IniDocument&)>& change) {
  // Most writes store what is already there (a pager figure, a dialog position that did
  // not move). Try the change on the current content first: when it changes nothing, the
  // lock is not taken, so a process that only reads never waits for another's lock. What
  // is stored now is the value asked for, so no writer can be overtaken by skipping.
  {
    std::shared_ptr<const IniDocument> current;
    if (int rc = Load(current); rc == 0 || rc == ENOENT) {
      IniDocument trial = *current;
      if (!change(trial)) return 0;
    }
  }

  if (int rc = MakeDirectories(DirectoryOf(path_), 0700)) return rc;
  std::unique_ptr<FileLock> lock = TakeLock(path_ + ".lock");
  if (lock->error()) return lock->error();

  std::string text;
  int rc = ReadFileToString(path_, kMaxBytes, text);
  if (rc == EFBIG) {
    // Not a settings file any more; keep it for whoever wants to look, and start afresh.
    if (::rename(path_.c_str(), (path_ + ".bad").c_str()) != 0) return errno;
    text.clear();
    rc = ENOENT;
  }
  if (rc != 0 && rc != ENOENT) return rc;  // unreadable: never write over what we cannot see
  if (rc == ENOENT)
    text =
        "; Vantorel settings. Escapes in values: \\\\ \\n \\r \\t \\xHH; \"hex:\" marks binary "
        "values.\n";

  IniDocument doc = IniDocument::Parse(text);
  if (!change(doc)) return 0;

  std::string content = doc.Serialize();
  AtomicFile file;
  if (int e = file.Open(path_)) return e;
  if (int e = file.Write(content.data(), content.size())) return e;
  if (int e = file.Commit()) return e;

  Identity id;
  if (Stat(path_, id)) {
    cache_ = std::make_shared<const IniDocument>(std::move(doc));
    cachedId_ = id;
    cachedError_ = 0;
  }
  return 0;
}

namespace {

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

}  // namespace

std::string SettingsFilePath(bool machine) {
  constexpr const char* kFile = "Vantorel-2.0.ini";
  if (const char* dir = std::getenv("VANTOREL_CONFIG_HOME"); dir && *dir)
    return std::string(dir) + (machine ? "/machine/" : "/") + kFile;
  if (machine) return std::string("/etc/xdg/Quorvane/") + kFile;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : HomeDirectory() + "/.config";
  return base + "/Quorvane/" + kFile;
}

IniStore& SettingsStore(bool machine) {
  static std::unique_ptr<IniStore> stores[2];
  std::unique_ptr<IniStore>& store = stores[machine ? 1 : 0];
  std::string path = SettingsFilePath(machine);
  if (!store || store->path() != path) store = std::make_unique<IniStore>(path);
  return *store;
}
