// Message boxes. File and image code never shows one itself: it returns a code and the
// caller decides. The code that does show one goes through the installed MessageBox
// service: Qt in the program, the standard error stream in the command-line tool, a
// recorder in tests. Style and answer values are those of the Windows API.
#pragma once

#include <deque>
#include <string>
#include <vector>

inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_RETRYCANCEL = 0x5;
inline constexpr unsigned MB_TYPEMASK = 0xF;
inline constexpr unsigned MB_ICONERROR = 0x10;  // also MB_ICONSTOP
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;  // also MB_ICONWARNING
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_ICONMASK = 0xF0;
inline constexpr unsigned MB_DEFBUTTON1 = 0x000;
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;
inline constexpr unsigned MB_DEFBUTTON3 = 0x200;
inline constexpr unsigned MB_DEFMASK = 0xF00;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The buttons a style shows, in order, and the one that is the default.
std::vector<int> MessageBoxButtons(unsigned style);
int MessageBoxDefaultButton(unsigned style);

class MessageBox {
 public:
  virtual ~MessageBox() = default;
  // Shows text with a caption and returns the button chosen (IDOK, IDYES, ...).
  virtual int Show(const std::string& text, const std::string& caption, unsigned style) = 0;
};

// Writes "caption: text" to standard error and answers with the default button: what a
// program without a window can honestly do.
class StderrMessageBox : public MessageBox {
 public:
  int Show(const std::string& text, const std::string& caption, unsigned style) override;
};

// Records every box and answers from a script; with the script empty, the default button.
class RecordingMessageBox : public MessageBox {
 public:
  struct Shown {
    std::string text;
    std::string caption;
    unsigned style;
  };
  int Show(const std::string& text, const std::string& caption, unsigned style) override;
  void Answer(int button) { answers_.push_back(button); }
  std::vector<Shown> shown;

 private:
  std::deque<int> answers_;
};

// The service in use; never null. Installing null restores the standard-error one.
MessageBox& GetMessageBox();
void SetMessageBox(MessageBox* box);

// The application title used as the caption when none is given.
const std::string& ApplicationTitle();
void SetApplicationTitle(const std::string& title);

// Shows text under the application title (the equivalent of AfxMessageBox).
int AfxMessageBox(const std::string& text, unsigned style = MB_OK);

// Installs a message box for the lifetime of the guard, then restores the previous one.
class ScopedMessageBox {
 public:
  explicit ScopedMessageBox(MessageBox* box);
  ~ScopedMessageBox();
  ScopedMessageBox(const ScopedMessageBox&) = delete;
  ScopedMessageBox& operator=(const ScopedMessageBox&) = delete;

 private:
  MessageBox* previous_;
};
