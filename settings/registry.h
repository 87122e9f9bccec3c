// CRegistry: the system's settings as typed values under one application key, one
// section per subkey ("Dialog\Level", "VMManager", ...). Each overload turns a value into
// text and back in a fixed form, so settings written by one version read in the next.
//
// Every function returns 1 on success and 0 otherwise. `machine` selects the machine
// scope instead of the user's; `error`, when given, receives the system error code when
// the settings cannot be opened or created (0 when the key was there but the value not).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

class CRegistry {
 public:
  // How an integer setting is stored: as a number ("%d") or as "yes"/"no".
  enum DATATYPE { TYPE_BOOL = 0, TYPE_INT = 1 };

  // The application key that sections hang under, as the design names it.
  static constexpr const char* kApplicationKey = "Software\\Quorvane\\Vantorel\\2.0";

  // Held Shift at start-up, or --default-settings: every read sees its default.
  static void SetDefaultSettings(bool on);
  static bool IsDefaultSettings();

  // A process that only reads (the command-line tool's describing commands) turns this on:
  // every write and delete then returns 0 with EROFS and touches nothing on disk, neither
  // the settings file nor its lock, so it never waits for another process.
  static void SetReadOnly(bool on);
  static bool IsReadOnly();

  // Text. A missing or empty value gives the default and 0.
  static int Read(std::string_view section, std::string_view name, std::string_view def,
                  std::string& result, int machine = 0, long* error = nullptr);
  // Integer (type TYPE_INT) or yes/no (any other type).
  static int Read(std::string_view section, std::string_view name, int def, int& result,
                  int type, int machine = 0, long* error = nullptr);
  // Colour, stored as six hexadecimal digits of its low 24 bits.
  static int Read(std::string_view section, std::string_view name, COLORREF def,
                  COLORREF& result, int machine = 0, long* error = nullptr);
  static int Read(std::string_view section, std::string_view name, double def, double& result,
                  int machine = 0, long* error = nullptr);
  // Font and its colour; a text that does not parse completely gives the default font.
  static int Read(std::string_view section, std::string_view name, const LOGFONT& def,
                  LOGFONT& result, COLORREF& colour, int machine = 0, long* error = nullptr);
  // Raw bytes: up to length bytes; when nothing was read, length bytes of def.
  static int Read(std::string_view section, std::string_view name, const void* def,
                  void* result, std::size_t length, int machine = 0, long* error = nullptr);
  // Window placement. The show command to use goes to *showCmd (SW_SHOWNORMAL when the
  // value is missing); frame gives the sizing frame that a maximized window hides.
  static int Read(std::string_view section, std::string_view name, WINDOWPLACEMENT& window,
                  int* showCmd, int machine = 0, long* error = nullptr, FrameMetrics frame = {});
  // Dialog position: moves dialog (size kept) to the stored corner when that lies on the
  // screen, or centres it on the screen and returns 0.
  static int Read(std::string_view section, std::string_view name, RECT& dialog,
                  const ScreenArea& screen, int machine = 0, long* error = nullptr);

  static int Write(std::string_view section, std::string_view name, std::string_view value,
                   int machine = 0, long* error = nullptr);
  // Keeps a string literal from being taken for raw bytes with a length.
  static int Write(std::string_view section, std::string_view name, const char* value,
                   int machine = 0, long* error = nullptr) {
    return Write(section, name, std::string_view(value), machine, error);
  }
  static int Write(std::string_view section, std::string_view name, int value, int type,
                   int machine = 0, long* error = nullptr);
  static int Write(std::string_view section, std::string_view name, COLORREF colour,
                   int machine = 0, long* error = nullptr);
  static int Write(std::string_view section, std::string_view name, double value,
                   int machine = 0, long* error = nullptr);
  static int Write(std::string_view section, std::string_view name, const LOGFONT& font,
                   COLORREF colour, int machine = 0, long* error = nullptr);
  static int Write(std::string_view section, std::string_view name, const void* data,
                   std::size_t length, int machine = 0, long* error = nullptr);
  static int Write(std::string_view section, std::string_view name, const WINDOWPLACEMENT& window,
                   int machine = 0, long* error = nullptr);
  // Stores the dialog's top-left corner.
  static int Write(std::string_view section, std::string_view name, const RECT& dialog,
                   int machine = 0, long* error = nullptr);

  // Writes value when write is non-zero, else reads it into value.
  static int UpdateReg(std::string_view section, std::string_view name, std::string_view def,
                       std::string& value, int write, int machine = 0, long* error = nullptr);
  static int UpdateReg(std::string_view section, std::string_view name, int def, int& value,
                       DATATYPE type, int write, int machine = 0, long* error = nullptr);
  static int UpdateReg(std::string_view section, std::string_view name, double def,
                       double& value, int write, int machine = 0, long* error = nullptr);
  static int UpdateReg(std::string_view section, std::string_view name, RECT& dialog,
                       const ScreenArea& screen, int write, int machine = 0,
                       long* error = nullptr);

  // Deletes one value, or a whole section with the sections below it, in the user scope.
  // The error code, when given, is set as for writes (0 when there was nothing to delete).
  static int DeleteValue(std::string_view section, std::string_view name, long* error = nullptr);
  static int RemoveRegKey(std::string_view section, long* error = nullptr);

  // What is stored, for tools that list settings.
  static std::vector<std::string> EnumSections(int machine = 0);
  static std::vector<std::pair<std::string, std::string>> EnumValues(std::string_view section,
                                                                      int machine = 0);
  // The file that holds a scope's settings.
  static std::string StorePath(int machine = 0);
  // Why a write to a scope's settings failed, naming the file: the error code of a failed
  // write in words, or that another process kept the file locked.
  static std::string ErrorText(long error, int machine = 0);

  // The text forms, exposed so that callers storing a value by other means match them.
  static std::string FormatReal(double value);
  static std::string FormatColour(COLORREF colour);
  static std::string FormatFont(const LOGFONT& font, COLORREF colour);
  static bool ParseYesNo(std::string_view text);
};
