// The batch dialogs opened from the program's menu with clicks, closed with their Cancel
// button and opened again: the second time each comes up at the place it was left and at
// the size (and list height) it had the first time, since only the place is remembered.
#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/mainframe.h"
#include "app/samplefits.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace {

// What a user sees of an open dialog.
struct Seen {
  QRect geometry;  // the dialog's, without the window frame
  QSize list;      // its list (or table) of targets
};

}  // namespace

class BatchDialogSizeTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Chooses the entry from the menu bar with clicks; once the dialog of type shows (within
  // its own loop when it is modal), moves it by shift, notes what it looks like and clicks
  // its Cancel button.
  static bool OpenAndCancel(CMainFrame& frame, int command, const char* type, QPoint shift,
                            Seen* seen) {
    QAction* entry = frame.Command(command);
    if (!entry || !entry->isEnabled()) return false;
    QMenuBar* bar = frame.menuBar();
    QAction* menuAction = nullptr;
    for (QAction* a : bar->actions())
      if (a->menu() && a->menu()->actions().contains(entry)) menuAction = a;
    if (!menuAction) return false;

    bool done = false;
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, &poll, [&] {
      QDialog* dlg = nullptr;
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits(type) && w->isVisible()) dlg = qobject_cast<QDialog*>(w);
      if (!dlg || !QTest::qWaitForWindowExposed(dlg)) return;
      poll.stop();
      if (!shift.isNull()) {
        dlg->move(dlg->pos() + shift);
        QTest::qWait(0);
      }
      auto* list = dlg->findChild<QAbstractItemView*>();
      seen->geometry = dlg->geometry();
      seen->list = list ? list->size() : QSize();
      auto* cancel = dlg->findChild<QPushButton*>("IDCANCEL");
      if (cancel) QTest::mouseClick(cancel, Qt::LeftButton);
      done = cancel && !dlg->isVisible();
      if (!done) dlg->reject();  // never leave a modal loop hanging
    });
    poll.start();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menuAction).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return false;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    return QTest::qWaitFor([&] { return done; }, 5000);
  }

 private slots:
  void reopensAsFirstShown_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("type");
    QTest::newRow("common calibration") << 4523 << "CDlgBatchDarkFlat";
    QTest::newRow("calibration per image") << 4524 << "CDlgBatchDarkFlat2";
    QTest::newRow("overscan") << cmd::ID_BATCH_OVERSCAN << "CDlgBatchOverScan";
  }

  void reopensAsFirstShown() {
    QFETCH(int, command);
    QFETCH(QString, type);
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    AcceptingPrompts accept;
    ScopedUserPrompts prompts(&accept);
    TempDir dir;
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    // The batch entries show while an image is open.
    QCOMPARE(WriteSampleStarField(dir.File("open.fits"), 40, 30), 0);
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(dir.File("open.fits"))));

    const QByteArray name = type.toLatin1();
    Seen first, second;
    // Moved away from where it first comes up, so that its place is seen to be kept.
    QVERIFY(OpenAndCancel(frame, command, name.constData(), QPoint(37, 41), &first));
    QVERIFY(!first.list.isEmpty());  // the list was found and laid out
    QVERIFY(OpenAndCancel(frame, command, name.constData(), QPoint(), &second));
    QCOMPARE(second.geometry, first.geometry);
    QCOMPARE(second.list, first.list);
  }
};

QTEST_MAIN(BatchDialogSizeTest)
#include "batch_dialog_size_test.moc"
