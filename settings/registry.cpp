#include "settings/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/inistore.h"
#include "platform/text.h"

namespace {

bool g_defaultSettings = false;
bool g_readOnly = false;

void SetError(long* error, long code) {
  if (error) *error = code;
}

// Looks a value up. Returns the value, or null with *error set: the errno value when the
// settings cannot be read or the section does not exist, 0 when only the value is missing.
// Defaults mode makes every value missing.
const IniValue* Lookup(std::string_view section, std::string_view name, int machine,
                       std::shared_ptr<const IniDocument>& holder, long* error) {
  SetError(error, 0);
  if (g_defaultSettings) return nullptr;
  int rc = SettingsStore(machine != 0).Load(holder);
  if (rc != 0) {
    SetError(error, rc);
    return nullptr;
  }
  if (!holder->HasSection(section)) {
    SetError(error, ENOENT);
    return nullptr;
  }
  return holder->Find(section, name);
}

// The stored text of a value, or false when it is missing or empty.
bool LookupText(std::string_view section, std::string_view name, int machine, std::string& text,
                long* error) {
  std::shared_ptr<const IniDocument> holder;
  const IniValue* v = Lookup(section, name, machine, holder, error);
  if (!v || v->data.empty()) return false;
  text = v->data;
  return true;
}

// Applies a change to a scope's settings, unless this process only reads them.
int Change(int machine, const std::function<bool(IniDocument&)>& change) {
  if (g_readOnly) return EROFS;
  return SettingsStore(machine != 0).Update(change);
}

int Store(std::string_view section, std::string_view name, IniValue value, int machine,
          long* error) {
  int rc = Change(machine, [&](IniDocument& doc) { return doc.Set(section, name, value); });
  SetError(error, rc);
  return rc == 0 ? 1 : 0;
}

int StoreText(std::string_view section, std::string_view name, std::string text, int machine,
              long* error) {
  return Store(section, name, IniValue{false, std::move(text)}, machine, error);
}

}  // namespace

void CRegistry::SetDefaultSettings(bool on) { g_defaultSettings = on; }

void CRegistry::SetReadOnly(bool on) { g_readOnly = on; }

bool CRegistry::IsReadOnly() { return g_readOnly; }

bool CRegistry::IsDefaultSettings() { return g_defaultSettings; }

std::string CRegistry::FormatReal(double value) {
  return value < 0 ? FormatC("%14.6e", value) : FormatC("%13.6e", value);
}

std::string CRegistry::FormatColour(COLORREF colour) {
  return FormatC("%06lX", static_cast<unsigned long>(colour & 0xFFFFFF));
}

std::string CRegistry::FormatFont(const LOGFONT& f, COLORREF colour) {
  return FormatC("%ld,%ld,%ld,%ld,%ld,%d,%d,%d,%d,%d,%d,%d,%d,%06lX", f.lfHeight, f.lfWidth,
                 f.lfEscapement, f.lfOrientation, f.lfWeight, f.lfItalic, f.lfUnderline,
                 f.lfStrikeOut, f.lfCharSet, f.lfOutPrecision, f.lfClipPrecision, f.lfQuality,
                 f.lfPitchAndFamily, static_cast<unsigned long>(colour & 0xFFFFFF)) +
         "," + f.lfFaceName;
}

bool CRegistry::ParseYesNo(std::string_view text) {
  return EqualsNoCase(text, "YES") || EqualsNoCase(text, "TRUE") || EqualsNoCase(text, "ON") ||
         text == "1";
}

int CRegistry::Read(std::string_view section, std::string_view name, std::string_view def,
                    std::string& result, int machine, long* error) {
  // The whole stored text is returned: a fixed buffer would cut long paths short.
  if (LookupText(section, name, machine, result, error)) return 1;
  result = std::string(def);
  return 0;
}

int CRegistry::Read(std::string_view section, std::string_view name, int def, int& result,
                    int type, int machine, long* error) {
  std::string text;
  if (!LookupText(section, name, machine, text, error)) {
    result = def;
    return 0;
  }
  result = type == TYPE_INT ? AtoiC(text.c_str()) : (ParseYesNo(text) ? 1 : 0);
  return 1;
}

int CRegistry::Read(std::string_view section, std::string_view name, COLORREF def,
                    COLORREF& result, int machine, long* error) {
  std::string text;
  unsigned long colour = 0;
  if (!LookupText(section, name, machine, text, error) ||
      ScanC(text.c_str(), "%06lX", &colour) != 1) {
    result = def;
    return 0;
  }
  result = static_cast<COLORREF>(colour);
  return 1;
}

int CRegistry::Read(std::string_view section, std::string_view name, double def, double& result,
                    int machine, long* error) {
  std::string text;
  if (!LookupText(section, name, machine, text, error)) {
    result = def;
    return 0;
  }
  result = AtofC(text.c_str());
  return 1;
}

int CRegistry::Read(std::string_view section, std::string_view name, const LOGFONT& def,
                    LOGFONT& result, COLORREF& colour, int machine, long* error) {
  std::string text;
  if (LookupText(section, name, machine, text, error)) {
    LOGFONT f;
    unsigned long c = 0;
    int n = ScanC(text.c_str(), "%ld,%ld,%ld,%ld,%ld,%d,%d,%d,%d,%d,%d,%d,%d,%lX", &f.lfHeight,
                  &f.lfWidth, &f.lfEscapement, &f.lfOrientation, &f.lfWeight, &f.lfItalic,
                  &f.lfUnderline, &f.lfStrikeOut, &f.lfCharSet, &f.lfOutPrecision,
                  &f.lfClipPrecision, &f.lfQuality, &f.lfPitchAndFamily, &c);
    // The face name is whatever follows the fourteenth comma.
    size_t at = 0;
    for (int commas = 0; commas < 14 && at != std::string::npos; ++commas) {
      at = text.find(',', at);
      if (at != std::string::npos) ++at;
    }
    if (n == 14 && at != std::string::npos && at < text.size()) {
      f.lfFaceName = std::string(Utf8Prefix(std::string_view(text).substr(at), LF_FACESIZE - 1));
      result = f;
      colour = static_cast<COLORREF>(c);
      return 1;
    }
  }
  result = def;
  return 0;
}

int CRegistry::Read(std::string_view section, std::string_view name, const void* def,
                    void* result, std::size_t length, int machine, long* error) {
  std::shared_ptr<const IniDocument> holder;
  const IniValue* v = Lookup(section, name, machine, holder, error);
  if (!v || v->data.empty()) {
    if (length > 0) std::memcpy(result, def, length);
    return 0;
  }
  std::memcpy(result, v->data.data(), std::min(length, v->data.size()));
  return 1;
}

int CRegistry::Read(std::string_view section, std::string_view name, WINDOWPLACEMENT& window,
                    int* showCmd, int machine, long* error, FrameMetrics frame) {
  std::string text;
  int left, top, width, height, maximized, minimized;
  if (!LookupText(section, name, machine, text, error) ||
      ScanC(text.c_str(), "%d,%d,%d,%d,%d,%d", &left, &top, &width, &height, &maximized,
            &minimized) != 6) {
    // A placement that does not parse completely would make a window of no size.
    if (showCmd) *showCmd = SW_SHOWNORMAL;
    return 0;
  }
  window.rcNormalPosition = RECT{left, top, left + width, top + height};
  window.ptMaxPosition = POINT{-frame.cxFrame, -frame.cyFrame};
  int cmd;
  if (minimized) {
    cmd = SW_SHOWMINNOACTIVE;
    window.flags = maximized ? WPF_RESTORETOMAXIMIZED : WPF_SETMINPOSITION;
  } else if (maximized) {
    cmd = SW_SHOWMAXIMIZED;
    window.flags = WPF_RESTORETOMAXIMIZED;
  } else {
    cmd = SW_SHOWNORMAL;
    window.flags = WPF_SETMINPOSITION;
  }
  window.showCmd = cmd;
  if (showCmd) *showCmd = cmd;
  return 1;
}

int CRegistry::Read(std::string_view section, std::string_view name, RECT& dialog,
                    const ScreenArea& screen, int machine, long* error) {
  const int width = dialog.Width();
  const int height = dialog.Height();
  std::string text;
  int x, y;
  if (LookupText(section, name, machine, text, error) &&
      ScanC(text.c_str(), "%d,%d", &x, &y) == 2) {
    // Anywhere a part of the dialog and its caption stays reachable on the screen.
    RECT allowed{screen.rect.left - width, screen.rect.top - screen.captionHeight,
                 screen.rect.right, screen.rect.bottom};
    if (allowed.Contains(x, y)) {
      dialog = RECT{x, y, x + width, y + height};
      return 1;
    }
  }
  int x0 = screen.rect.left + (screen.rect.Width() - width) / 2;
  int y0 = screen.rect.top + (screen.rect.Height() - height) / 2;
  dialog = RECT{x0, y0, x0 + width, y0 + height};
  return 0;
}

int CRegistry::Write(std::string_view section, std::string_view name, std::string_view value,
                     int machine, long* error) {
  return StoreText(section, name, std::string(value), machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name, int value, int type,
                     int machine, long* error) {
  std::string text = type == TYPE_INT ? FormatC("%d", value) : (value ? "yes" : "no");
  return StoreText(section, name, std::move(text), machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name, COLORREF colour,
                     int machine, long* error) {
  return StoreText(section, name, FormatColour(colour), machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name, double value, int machine,
                     long* error) {
  return StoreText(section, name, FormatReal(value), machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name, const LOGFONT& font,
                     COLORREF colour, int machine, long* error) {
  return StoreText(section, name, FormatFont(font, colour), machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name, const void* data,
                     std::size_t length, int machine, long* error) {
  IniValue value{true, std::string(static_cast<const char*>(data), length)};
  return Store(section, name, std::move(value), machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name,
                     const WINDOWPLACEMENT& window, int machine, long* error) {
  const bool minimized = IsMinimizedShowCommand(window.showCmd);
  const bool maximized = window.showCmd == SW_SHOWMAXIMIZED ||
                         (minimized && (window.flags & WPF_RESTORETOMAXIMIZED) != 0);
  const RECT& r = window.rcNormalPosition;
  return StoreText(section, name,
                   FormatC("%d,%d,%d,%d,%d,%d", r.left, r.top, r.Width(), r.Height(),
                           maximized ? 1 : 0, minimized ? 1 : 0),
                   machine, error);
}

int CRegistry::Write(std::string_view section, std::string_view name, const RECT& dialog,
                     int machine, long* error) {
  return StoreText(section, name, FormatC("%d,%d", dialog.left, dialog.top), machine, error);
}

int CRegistry::UpdateReg(std::string_view section, std::string_view name, std::string_view def,
                         std::string& value, int write, int machine, long* error) {
  return write ? Write(section, name, std::string_view(value), machine, error)
               : Read(section, name, def, value, machine, error);
}

int CRegistry::UpdateReg(std::string_view section, std::string_view name, int def, int& value,
                         DATATYPE type, int write, int machine, long* error) {
  return write ? Write(section, name, value, type, machine, error)
               : Read(section, name, def, value, type, machine, error);
}

int CRegistry::UpdateReg(std::string_view section, std::string_view name, double def,
                         double& value, int write, int machine, long* error) {
  return write ? Write(section, name, value, machine, error)
               : Read(section, name, def, value, machine, error);
}

int CRegistry::UpdateReg(std::string_view section, std::string_view name, RECT& dialog,
                         const ScreenArea& screen, int write, int machine, long* error) {
  return write ? Write(section, name, dialog, machine, error)
               : Read(section, name, dialog, screen, machine, error);
}

int CRegistry::DeleteValue(std::string_view section, std::string_view name, long* error) {
  bool found = false;
  int rc = Change(0, [&](IniDocument& doc) {
    found = doc.Erase(section, name);
    return found;
  });
  SetError(error, rc);
  return rc == 0 && found ? 1 : 0;
}

int CRegistry::RemoveRegKey(std::string_view section, long* error) {
  bool found = false;
  int rc = Change(0, [&](IniDocument& doc) {
    found = doc.EraseSection(section);
    return found;
  });
  SetError(error, rc);
  return rc == 0 && found ? 1 : 0;
}

std::vector<std::string> CRegistry::EnumSections(int machine) {
  std::shared_ptr<const IniDocument> doc;
  SettingsStore(machine != 0).Load(doc);
  return doc->SectionNames();
}

std::vector<std::pair<std::string, std::string>> CRegistry::EnumValues(std::string_view section,
                                                                       int machine) {
  std::shared_ptr<const IniDocument> doc;
  SettingsStore(machine != 0).Load(doc);
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& [name, value] : doc->Values(section))
    out.emplace_back(name, value.binary ? EncodeIniValue(value) : value.data);
  return out;
}

std::string CRegistry::StorePath(int machine) { return SettingsFilePath(machine != 0); }

std::string CRegistry::ErrorText(long error, int machine) {
  const std::string path = StorePath(machine);
  switch (error) {
    case ETIMEDOUT:
      return "the settings file " + path + " stayed locked by another process (" + path +
             ".lock); nothing was changed";
    case EROFS:
      if (g_readOnly) return "the settings file " + path + " is opened for reading only";
      break;
    default:
      break;
  }
  // A folder, a device or a link loop where the settings file belongs is named as such.
  return path + ": " + FileErrorText(static_cast<int>(error));
}
