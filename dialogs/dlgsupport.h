// Small pieces the dialogs share: UTF-8 texts to Qt, control names from control ids, a
// value shown with every digit a double holds, and a wait cursor for the span of a call.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
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

// The bottom row of a dialog: first (may be null) at the left, then OK (the default
// button, "IDOK"), Cancel ("IDCANCEL") and the help button, wired to accept and reject.
inline QHBoxLayout* ButtonRow(QDialog* dialog, QWidget* first, QPushButton* help) {
  auto* ok = new QPushButton(QStringLiteral("OK"), dialog);
  ok->setObjectName(QStringLiteral("IDOK"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(Q("ｷｬﾝｾﾙ"), dialog);
  cancel->setObjectName(QStringLiteral("IDCANCEL"));
  cancel->setAutoDefault(false);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  auto* row = new QHBoxLayout;
  if (first) row->addWidget(first);
  row->addStretch(1);
  row->addWidget(ok);
  row->addWidget(cancel);
  row->addWidget(help);
  return row;
}

}  // namespace dlg
