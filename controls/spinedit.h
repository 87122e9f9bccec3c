// CSpinEdit: an edit field with up and down arrows whose steps the owner decides (the
// level fields step by one, the automatic level factors by 0.1 or 1 depending on the
// value). The text is free; the owner reads and checks it.
#pragma once

#include <QAbstractSpinBox>

class CSpinEdit : public QAbstractSpinBox {
  Q_OBJECT

 public:
  explicit CSpinEdit(QWidget* parent = nullptr);

  // Sets the text without reporting an edit.
  void SetText(const QString& text);
  QString Text() const { return text(); }
  void SetMaxLength(int length);

  // The arrows, the Up and Down keys, Page Up and Page Down and the wheel come here.
  void stepBy(int steps) override;

 signals:
  // Positive steps up, negative down.
  void stepRequested(int steps);
  // The text as the user changes it, key by key.
  void textEdited(const QString& text);

 protected:
  StepEnabled stepEnabled() const override;
};
