#include "platform/messagebox.h"

#include <cstdio>

namespace {
StderrMessageBox g_stderrBox;
MessageBox* g_box = nullptr;
std::string g_title = "Vantorel";
}  // namespace

std::vector<int> MessageBoxButtons(unsigned style) {
  switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    default:
      return {IDOK};
  }
}

int MessageBoxDefaultButton(unsigned style) {
  std::vector<int> buttons = MessageBoxButtons(style);
  size_t index = (style & MB_DEFMASK) >> 8;
  return index < buttons.size() ? buttons[index] : buttons.front();
}

int StderrMessageBox::Show(const std::string& text, const std::string& caption, unsigned style) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  return MessageBoxDefaultButton(style);
}

int RecordingMessageBox::Show(const std::string& text, const std::string& caption,
                              unsigned style) {
  shown.push_back({text, caption, style});
  if (answers_.empty()) return MessageBoxDefaultButton(style);
  int answer = answers_.front();
  answers_.pop_front();
  return answer;
}

MessageBox& GetMessageBox() { return g_box ? *g_box : g_stderrBox; }

void SetMessageBox(MessageBox* box) { g_box = box; }

const std::string& ApplicationTitle() { return g_title; }

void SetApplicationTitle(const std::string& title) { g_title = title; }

int AfxMessageBox(const std::string& text, unsigned style) {
  return GetMessageBox().Show(text, g_title, style);
}

ScopedMessageBox::ScopedMessageBox(MessageBox* box) : previous_(g_box) { g_box = box; }

ScopedMessageBox::~ScopedMessageBox() { g_box = previous_; }
