// For Qt tests that drive nested modal dialogs: runs a body on the next modal dialog
// that comes up above the one open now, inside that dialog's own event loop. A body
// that leaves its dialog open (a failed check) cancels it, so the test does not hang.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>

inline void WhenModal(const std::function<void(QWidget*)>& body) {
  QWidget* current = QApplication::activeModalWidget();
  auto* timer = new QTimer(qApp);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, current, body] {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || w == current || !w->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    QPointer<QWidget> alive(w);
    body(w);
    if (alive && alive->isVisible())
      if (auto* dialog = qobject_cast<QDialog*>(alive.data())) dialog->reject();
  });
  timer->start();
}
