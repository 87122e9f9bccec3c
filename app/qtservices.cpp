#include "app/qtservices.h"

#include <algorithm>

#include <QCoreApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTranslator>

int QtMessageBox::Show(const std::string& text, const std::string& caption, unsigned style) {
  QMessageBox box(parent_);
  box.setWindowTitle(QString::fromStdString(caption.empty() ? ApplicationTitle() : caption));
  box.setText(QString::fromStdString(text));
  switch (style & MB_ICONMASK) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  static const struct {
    int id;
    QMessageBox::StandardButton button;
  } kButtons[] = {{IDOK, QMessageBox::Ok},       {IDCANCEL, QMessageBox::Cancel},
                  {IDABORT, QMessageBox::Abort}, {IDRETRY, QMessageBox::Retry},
                  {IDIGNORE, QMessageBox::Ignore}, {IDYES, QMessageBox::Yes},
                  {IDNO, QMessageBox::No}};
  auto standard = [](int id) {
    for (const auto& b : kButtons)
      if (b.id == id) return b.button;
    return QMessageBox::Ok;
  };
  QMessageBox::StandardButtons buttons;
  for (int id : MessageBoxButtons(style)) buttons |= standard(id);
  box.setStandardButtons(buttons);
  box.setDefaultButton(standard(MessageBoxDefaultButton(style)));
  const int chosen = box.exec();
  for (const auto& b : kButtons)
    if (b.button == chosen) return b.id;
  // Closed with the window's close button: the answer Escape would give.
  const std::vector<int> shown = MessageBoxButtons(style);
  for (int id : shown)
    if (id == IDCANCEL || id == IDNO) return id;
  return shown.empty() ? IDOK : shown.front();
}

StatusBarProgress::StatusBarProgress(QStatusBar* bar) : bar_(bar) {
  // The status bar keeps the height it has while a progress bar shows, so that the work
  // area above it does not grow and shrink (moving the windows in it) as files load.
  if (!bar_) return;
  auto* probe = new QProgressBar(bar_);
  bar_->addWidget(probe);
  const int height = bar_->sizeHint().height();
  bar_->removeWidget(probe);
  delete probe;
  bar_->setMinimumHeight(std::max(bar_->minimumHeight(), height));
}

void StatusBarProgress::Begin(const std::string& caption) {
  if (!bar_) return;
  if (depth_++ == 0) {
    label_ = new QLabel(QString::fromStdString(caption), bar_);
    progress_ = new QProgressBar(bar_);
    progress_->setRange(0, 100);
    progress_->setMaximumWidth(200);
    bar_->addWidget(label_);
    bar_->addWidget(progress_);
  } else if (label_) {
    label_->setText(QString::fromStdString(caption));
  }
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void StatusBarProgress::Percent(int percent) {
  if (progress_) progress_->setValue(percent);
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void StatusBarProgress::End() {
  if (depth_ > 0 && --depth_ == 0) {
    delete label_;
    delete progress_;
  }
}

bool InstallQtTranslations() {
  // The program's own texts are Japanese whatever the locale, so Qt's are too.
  static QPointer<QTranslator> translator;
  if (translator) return true;
  auto* t = new QTranslator(QCoreApplication::instance());
  if (!t->load(QStringLiteral("qt_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete t;
    return false;
  }
  QCoreApplication::installTranslator(t);
  translator = t;
  return true;
}
