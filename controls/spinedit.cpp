// CSpinEdit: the arrows and keys of a spin box, the stepping left to the owner.
#include "controls/spinedit.h"

#include <QLineEdit>
#include <QSignalBlocker>

CSpinEdit::CSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  setAccelerated(false);
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
  connect(lineEdit(), &QLineEdit::textEdited, this, &CSpinEdit::textEdited);
}

void CSpinEdit::SetText(const QString& text) {
  const QSignalBlocker block(lineEdit());
  lineEdit()->setText(text);
}

void CSpinEdit::SetMaxLength(int length) {
  lineEdit()->setMaxLength(length);
}

void CSpinEdit::stepBy(int steps) {
  if (steps != 0) emit stepRequested(steps);
}

QAbstractSpinBox::StepEnabled CSpinEdit::stepEnabled() const {
  if (isReadOnly() || !isEnabled()) return StepNone;
  return StepUpEnabled | StepDownEnabled;
}
