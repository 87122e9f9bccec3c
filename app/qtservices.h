// The Qt answers to the core's services: message boxes as QMessageBox, and progress in
// the main frame's status bar.
#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/messagebox.h"
#include "platform/progress.h"

class QLabel;
class QProgressBar;
class QStatusBar;

class QtMessageBox : public MessageBox {
 public:
  explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  int Show(const std::string& text, const std::string& caption, unsigned style) override;

 private:
  QPointer<QWidget> parent_;
};

// Shows the caption and a bar in the status bar while long work runs; events are let
// through at each percent so the window repaints.
class StatusBarProgress : public ProgressSink {
 public:
  explicit StatusBarProgress(QStatusBar* bar);
  void Begin(const std::string& caption) override;
  void Percent(int percent) override;
  void End() override;

 private:
  QPointer<QStatusBar> bar_;
  QPointer<QLabel> label_;
  QPointer<QProgressBar> progress_;
  int depth_ = 0;
};

// Loads Qt's own Japanese texts (standard buttons, file and print dialogs) so that they
// speak the program's language. Returns false when the translation files are missing;
// the program then runs with Qt's English texts.
bool InstallQtTranslations();
