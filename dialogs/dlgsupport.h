// Small pieces the dialogs share: UTF-8 texts to Qt, control names from control ids, a
// value shown with every digit a double holds, and a wait cursor for the span of a call.
#pragma once

#include <QApplication>
#include <QString>

namespace dlg {

inline QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// Controls are named by their id as text, so tests and the dialogs find them alike.
inline QString Id(int id) {
  return QString::number(id);
}

// As many digits as a double holds, so that a value shown and read back is the same.
inline QString Format(double value) {
  return QString::number(value, 'g', 15);
}

class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace dlg
