// For Qt tests of the main frame: chooses a menu command with the mouse, as a person does,
// clicking its menu's title in the bar and then the item.
#pragma once

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QtTest>

#include "app/mainframe.h"

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
