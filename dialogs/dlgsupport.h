// Small pieces the dialogs share: UTF-8 texts to Qt, control names from control ids, a
// value shown with every digit a double holds, and a wait cursor for the span of a call.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <cmath>
#include <utility>

#include "controls/spinedit.h"

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

// A value read from a field, or the old one when the text is not a finite number.
inline double ReadValue(const CSpinEdit* edit, double old) {
  bool ok = false;
  const double v = edit->Text().trimmed().toDouble(&ok);
  return ok && std::isfinite(v) ? v : old;
}

inline CSpinEdit* MakeSpin(QWidget* parent, int id) {
  auto* edit = new CSpinEdit(parent);
  edit->setObjectName(Id(id));
  edit->setMinimumWidth(80);
  return edit;
}

// A label whose mnemonic moves the focus to buddy.
inline QLabel* Buddy(QWidget* parent, const char* text, QWidget* buddy) {
  auto* label = new QLabel(Q(text), parent);
  label->setBuddy(buddy);
  return label;
}

// The width and height rows of the size dialogs, in pixels.
inline QGridLayout* SizeGrid(QWidget* parent, QWidget* width, QWidget* height) {
  auto* grid = new QGridLayout;
  grid->addWidget(Buddy(parent, "幅(&W)：", width), 0, 0);
  grid->addWidget(width, 0, 1);
  grid->addWidget(new QLabel(Q("ﾋﾟｸｾﾙ"), parent), 0, 2);
  grid->addWidget(Buddy(parent, "高さ(&H)：", height), 1, 0);
  grid->addWidget(height, 1, 1);
  grid->addWidget(new QLabel(Q("ﾋﾟｸｾﾙ"), parent), 1, 2);
  return grid;
}

class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// A dialog's OK (the default button, "IDOK") and Cancel ("IDCANCEL"), not yet wired.
inline std::pair<QPushButton*, QPushButton*> OkCancel(QDialog* dialog) {
  auto* ok = new QPushButton(QStringLiteral("OK"), dialog);
  ok->setObjectName(QStringLiteral("IDOK"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(Q("ｷｬﾝｾﾙ"), dialog);
  cancel->setObjectName(QStringLiteral("IDCANCEL"));
  cancel->setAutoDefault(false);
  return {ok, cancel};
}

// The bottom row of a dialog: first (may be null) at the left, then OK, Cancel and the
// help button, wired to accept and reject.
inline QHBoxLayout* ButtonRow(QDialog* dialog, QWidget* first, QPushButton* help) {
  const auto [ok, cancel] = OkCancel(dialog);
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

// A batch dialog while its run goes: every control it holds is disabled except ok, which
// reads the abort caption and stops the run when pressed; Restore gives the controls back
// as they were, with ok's own caption.
class RunningState {
 public:
  RunningState(QDialog* dialog, QPushButton* ok, const QString& abortCaption) : m_pOk(ok) {
    for (QWidget* w : dialog->findChildren<QWidget*>())
      if (w != ok && w->isEnabled() && w->parentWidget() == dialog) m_Disabled << w;
    for (QGroupBox* g : dialog->findChildren<QGroupBox*>()) m_Disabled << g;
    for (const QPointer<QWidget>& w : m_Disabled) w->setEnabled(false);
    ok->setText(abortCaption);
  }
  void Restore(const QString& okCaption) {
    for (const QPointer<QWidget>& w : m_Disabled)
      if (w) w->setEnabled(true);
    m_Disabled.clear();
    if (m_pOk) m_pOk->setText(okCaption);
  }

 private:
  QPointer<QPushButton> m_pOk;
  QList<QPointer<QWidget>> m_Disabled;
};

}  // namespace dlg
