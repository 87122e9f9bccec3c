// For Qt tests of the main frame: chooses a menu command with the mouse, as a person does,
// clicking its menu's title in the bar and then the item; and the photometry command from
// the keyboard with its mode question answered.
#pragma once

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "app/mainframe.h"
#include "measure/qt/dlgaperture.h"

inline void ChooseFromMenu(CMainFrame& frame, int id) {
  QAction* action = frame.Command(id);
  QVERIFY(action && action->isEnabled());
  QMenu* menu = nullptr;
  // An action may sit in more than one menu of the bar; the one shown is clicked.
  for (QObject* o : action->associatedObjects())
    if (auto* m = qobject_cast<QMenu*>(o); m && m->menuAction()->isVisible()) menu = m;
  QVERIFY(menu);
  QMenuBar* bar = frame.menuBar();
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier,
                    bar->actionGeometry(menu->menuAction()).center());
  QTRY_VERIFY(menu->isVisible());
  QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, menu->actionGeometry(action).center());
  QTRY_VERIFY(!menu->isVisible());
}

// 画像情報 → 測光 from the keyboard (Alt+I, A), the mode question answered with a click on
// the radio button named mode ("circle" or "rect") and on OK.
inline void ChoosePhotometry(CMainFrame& frame, const char* mode) {
  bool answered = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<CDlgApertureMode*>(QApplication::activeModalWidget());
    if (!dialog) return;
    auto* radio = dialog->findChild<QRadioButton*>(QString::fromLatin1(mode));
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(5, radio->height() / 2));
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
    answered = true;
  });
  QTest::keyClick(&frame, Qt::Key_I, Qt::AltModifier);
  QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  QVERIFY(menu);
  QTest::keyClick(menu, Qt::Key_A);
  QVERIFY(answered);
}
