// Blink in the program, offscreen, with real key and mouse events: the menu opens the
// dialog, frames are added and removed through the list, three frames are shown in the
// order 0, 1, 2, 0, 1, a shifted frame is drawn displaced by its shift, a blinking window
// and the program refuse to close, and stopping paints exactly the image shown before.
#include <QDialogButtonBox>
#include <QListWidget>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QWindow>
#include <QtTest>

#include "app/apptexts.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "controls/directionbutton.h"
#include "dialogs/listtarget.h"
#include "display/qt/ralimgwnd.h"
#include "measure/qt/dlgblink.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

class BlinkToolTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  static void Click(QWidget* w, Qt::KeyboardModifiers mods = {}) {
    QTest::mouseClick(w, Qt::LeftButton, mods, QPoint(w->width() / 2, w->height() / 2));
  }

  static QImage Grab(CKivImageView* view) {
    QImage grab(view->viewport()->size(), QImage::Format_RGB32);
    grab.fill(Qt::magenta);
    QPainter painter(&grab);
    view->DrawImage(painter);
    return grab;
  }

  // Opens the files, the first one active, and its blink dialog through the menu.
  CDlgBlink* OpenAndBlink(CMainFrame& frame, const std::vector<std::string>& paths) {
    for (const std::string& p : paths)
      if (!frame.OpenDocumentFile(QString::fromStdString(p))) return nullptr;
    frame.MdiArea()->setActiveSubWindow(frame.Frames().front());
    QTest::keyClick(&frame, Qt::Key_I, Qt::AltModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return nullptr;
    QTest::keyClick(menu, Qt::Key_B);
    return frame.ActiveView()->GetImgWnd().GetDlgBlink();
  }

  // Adds the candidate in row of the add dialog.
  static void AddRow(CDlgBlink* dlg, int row) {
    QTimer::singleShot(0, dlg, [row] {
      auto* add = qobject_cast<CDlgAddBlink*>(QApplication::activeModalWidget());
      QVERIFY(add);
      QTest::mouseClick(add->List()->viewport(), Qt::LeftButton, {},
                        add->List()->visualItemRect(add->List()->item(row)).center());
      Click(add->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))
                ->button(QDialogButtonBox::Ok));
    });
    Click(dlg->findChild<QPushButton*>(QStringLiteral("add")));
  }

  static void SelectRow(QListWidget* list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
  }

  std::vector<std::string> Samples(int n) {
    std::vector<std::string> paths;
    for (int i = 0; i < n; ++i) {
      paths.push_back(dir_->File("frame" + std::to_string(i) + ".fits"));
      if (WriteSampleStarField(paths.back(), 320, 240, 20240601u + i) != 0) return {};
    }
    return paths;
  }

 private slots:
  void init() { SetUpApp(); }
  void cleanup() { TearDownApp(); }

  void framesInTurnClosingRefusedAndStopRestores() {
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CDlgBlink* dlg = OpenAndBlink(frame, Samples(3));
    QVERIFY(dlg);
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    QVERIFY(wnd.IsBlinkDlgShown());
    QCOMPARE(dlg->List()->count(), 1);  // the window's own image
    auto* add = dlg->findChild<QPushButton*>(QStringLiteral("add"));
    auto* del = dlg->findChild<QPushButton*>(QStringLiteral("delete"));
    AddRow(dlg, 1);
    AddRow(dlg, 0);
    QCOMPARE(dlg->List()->count(), 3);
    QVERIFY(!add->isEnabled());  // no candidate left
    // Sorted by file: frame0, frame1, frame2.
    for (int i = 0; i < 3; ++i)
      QVERIFY(dlg->List()->item(i)->text().startsWith(QStringLiteral("frame%1").arg(i)));

    // Removing the last entry selects the new last one; it comes back as a candidate.
    SelectRow(dlg->List(), 2);
    Click(del);
    QCOMPARE(dlg->List()->count(), 2);
    QCOMPARE(dlg->List()->currentRow(), 1);
    QVERIFY(add->isEnabled());
    AddRow(dlg, 0);
    QCOMPARE(dlg->List()->count(), 3);

    auto* time = dlg->findChild<QSpinBox*>(QStringLiteral("time"));
    time->selectAll();
    QTest::keyClicks(time, QStringLiteral("20"));
    QTest::keyClick(time, Qt::Key_Tab);
    QCOMPARE(dlg->GetBlinkTime(), 20);

    const QImage before = Grab(view);
    QSignalSpy shown(dlg, &CDlgBlink::showFrame);
    auto* start = dlg->findChild<QPushButton*>(QStringLiteral("start"));
    Click(start);
    QVERIFY(wnd.IsBlink());
    QCOMPARE(start->text(), QString::fromUtf8(blink_text::kStop));
    QTRY_VERIFY(shown.count() >= 5);
    for (int i = 0; i < 5; ++i) QCOMPARE(shown.at(i).at(0).toInt(), i % 3);

    // The window's own frame looks as the window did; another frame does not.
    QTRY_COMPARE(wnd.GetBlinkFrame(), 0);
    QCOMPARE(Grab(view), before);
    QTRY_COMPARE(wnd.GetBlinkFrame(), 1);
    QVERIFY(Grab(view) != before);

    // Neither the blinking window nor the program closes.
    const std::size_t messages = box_.shown.size();
    QVERIFY(!frame.Frames().front()->close());
    QCOMPARE(box_.shown.size(), messages + 1);
    QCOMPARE(box_.shown.back().text, std::string(app_text::kBlinkRunning));
    QVERIFY(!frame.close());
    QCOMPARE(box_.shown.back().text, std::string(app_text::kBlinkRunning));
    QCOMPARE(frame.Frames().size(), 3);

    // Stopping paints exactly what was shown before, and the frames stop at once.
    Click(start);
    QVERIFY(!wnd.IsBlink());
    QCOMPARE(start->text(), QString::fromUtf8(blink_text::kStart));
    QCOMPARE(dlg->List()->currentRow(), 0);  // the window's own entry
    QCOMPARE(Grab(view), before);
    const int count = shown.count();
    QTest::qWait(80);
    QCOMPARE(shown.count(), count);

    // Now the window closes.
    QVERIFY(frame.Frames().front()->close());
  }

  // Blink leaves the image as it was, so the undo of the command before it survives: a
  // flip, blink started and stopped, and Ctrl+Z still brings back the unflipped image.
  void blinkKeepsTheUndoOfTheCommandBefore() {
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const std::vector<std::string> paths = Samples(2);
    QCOMPARE(paths.size(), std::size_t{2});
    for (const std::string& p : paths) QVERIFY(frame.OpenDocumentFile(QString::fromStdString(p)));
    frame.MdiArea()->setActiveSubWindow(frame.Frames().front());
    CRalImgWnd& wnd = frame.ActiveView()->GetImgWnd();
    auto column = [&wnd] {
      std::vector<double> v;
      for (int y = 0; y < wnd.GetImagePtr()->GetHeight(); ++y)
        v.push_back(wnd.GetImagePtr()->GetPixel(7, y));
      return v;
    };
    const std::vector<double> original = column();
    ChooseFromMenu(frame, cmd::ID_VERTICAL);
    const std::vector<double> flipped = column();
    QVERIFY(flipped != original);
    QCOMPARE(flipped.front(), original.back());

    // The blink tool from the menu, one other frame, started, stopped and closed again.
    ChooseFromMenu(frame, cmd::ID_BLINK);
    CDlgBlink* dlg = wnd.GetDlgBlink();
    QVERIFY(dlg && wnd.IsBlinkDlgShown());
    AddRow(dlg, 0);
    QCOMPARE(dlg->List()->count(), 2);
    QSignalSpy shown(dlg, &CDlgBlink::showFrame);
    auto* start = dlg->findChild<QPushButton*>(QStringLiteral("start"));
    Click(start);
    QVERIFY(wnd.IsBlink());
    QTRY_VERIFY(shown.count() >= 2);
    Click(start);
    QVERIFY(!wnd.IsBlink());
    ChooseFromMenu(frame, cmd::ID_BLINK);
    QVERIFY(!wnd.IsBlinkDlgShown());
    QCOMPARE(column(), flipped);

    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QVERIFY(frame.Command(cmd::ID_EDIT_UNDO)->isEnabled());
    QTest::keyClick(frame.ActiveView(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(column(), original);
  }

  // The blink dialog is the main frame's tool window (above it, not lost behind it), and
  // the Window menu lists it after the image windows; choosing it there brings it up.
  // With more than nine entries the rest is reached through the window list.
  void toolDialogInTheWindowMenu() {
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const std::vector<std::string> paths = Samples(2);
    QCOMPARE(paths.size(), std::size_t{2});
    for (const std::string& p : paths) QVERIFY(frame.OpenDocumentFile(QString::fromStdString(p)));
    frame.MdiArea()->setActiveSubWindow(frame.Frames().front());
    CRalImgWnd& wnd = frame.ActiveView()->GetImgWnd();
    ChooseFromMenu(frame, cmd::ID_BLINK);
    CDlgBlink* dlg = wnd.GetDlgBlink();
    QVERIFY(dlg && dlg->isVisible());
    QCOMPARE(dlg->windowType(), Qt::Tool);
    QVERIFY(dlg->windowHandle());
    QCOMPARE(dlg->windowHandle()->transientParent(), frame.windowHandle());

    // Opens the Window menu with the mouse; its entries after the arrangement commands.
    QMenuBar* bar = frame.menuBar();
    QMenu* menu = frame.WindowMenu();
    auto openMenu = [&] {
      QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
      QTRY_VERIFY(menu->isVisible());
    };
    auto entries = [&] {
      QList<QAction*> list;
      bool past = false;
      for (QAction* a : menu->actions()) {
        if (a->isSeparator())
          past = true;
        else if (past)
          list << a;
      }
      return list;
    };
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    openMenu();
    QList<QAction*> list = entries();
    QCOMPARE(list.size(), 3);
    QCOMPARE(list[0]->text(), QStringLiteral("&1 frame0.fits"));
    QCOMPARE(list[1]->text(), QStringLiteral("&2 frame1.fits"));
    QCOMPARE(list[2]->text(), QStringLiteral("&3 ") + dlg->windowTitle());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(list[2]).center());
    QTRY_VERIFY(dlg->isActiveWindow());

    // Nine entries, then the window list, where the dialog comes last.
    for (int i = 0; i < 8; ++i) {
      const std::string more = dir_->File("more" + std::to_string(i) + ".fits");
      QCOMPARE(WriteSampleStarField(more, 40, 30, 7u + i), 0);
      QVERIFY(frame.OpenDocumentFile(QString::fromStdString(more)));
    }
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    openMenu();
    list = entries();
    QCOMPARE(list.size(), 10);
    QCOMPARE(list[8]->text().left(3), QStringLiteral("&9 "));
    QCOMPARE(list[9]->text(), QString::fromUtf8(app_text::kMoreWindows));
    QStringList listed;
    WhenModal([&](QWidget* w) {
      auto* windows = w->findChild<QListWidget*>(QStringLiteral("windows"));
      QVERIFY(windows);
      for (int i = 0; i < windows->count(); ++i) listed << windows->item(i)->text();
      QListWidgetItem* last = windows->item(windows->count() - 1);
      windows->scrollToItem(last);
      QTest::mouseClick(windows->viewport(), Qt::LeftButton, {},
                        windows->visualItemRect(last).center());
      QTest::keyClick(windows, Qt::Key_Return);
    });
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(list[9]).center());
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(listed.size(), 11);
    QCOMPARE(listed.last(), dlg->windowTitle());
    QTRY_VERIFY(dlg->isActiveWindow());
  }

  void shiftStepsAndDisplacesTheFrame() {
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CDlgBlink* dlg = OpenAndBlink(frame, Samples(2));
    QVERIFY(dlg);
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    AddRow(dlg, 0);
    QCOMPARE(dlg->List()->count(), 2);
    SelectRow(dlg->List(), 1);
    auto* x = dlg->findChild<QSpinBox*>(QStringLiteral("shiftX"));
    auto* y = dlg->findChild<QSpinBox*>(QStringLiteral("shiftY"));
    auto* arrows = dlg->findChild<CDirectionButton*>(QStringLiteral("direction"));
    QVERIFY(arrows);
    // Ctrl's fine step still moves a whole pixel.
    const struct {
      int direction;
      Qt::KeyboardModifiers mods;
      int x, y;
    } steps[] = {{CDirectionButton::kRight, Qt::ShiftModifier, 10, 0},
                 {CDirectionButton::kDown, {}, 10, 1},
                 {CDirectionButton::kLeft, Qt::ControlModifier, 9, 1},
                 {CDirectionButton::kUp, Qt::ShiftModifier, 9, -9},
                 {CDirectionButton::kDown, Qt::ShiftModifier, 9, 1}};
    for (const auto& s : steps) {
      QTest::mouseClick(arrows, Qt::LeftButton, s.mods, arrows->ArrowRect(s.direction).center());
      QCOMPARE(x->value(), s.x);
      QCOMPARE(y->value(), s.y);
      int tx = 0, ty = 0;
      QVERIFY(dlg->GetTarget().GetShift(1, &tx, &ty));
      QCOMPARE(tx, s.x);
      QCOMPARE(ty, s.y);
    }
    // The window's own frame keeps no shift.
    SelectRow(dlg->List(), 0);
    QCOMPARE(x->value(), 0);

    // Frame 1 drawn with its shift is the unshifted frame moved by (9, 1) image pixels.
    auto* time = dlg->findChild<QSpinBox*>(QStringLiteral("time"));
    time->setValue(60000);  // one frame, then still
    Click(dlg->findChild<QPushButton*>(QStringLiteral("start")));
    QVERIFY(wnd.IsBlink());
    wnd.UpdateBlink(1);
    const QImage shifted = Grab(view);
    QVERIFY(dlg->GetTarget().SetShift(1, 0, 0));
    const QImage plain = Grab(view);
    const int m = wnd.GetZoom();
    QVERIFY(m >= 1);
    const RECT img = wnd.GetViewInfo().GetWindowView();
    int compared = 0;
    for (int sy = img.top; sy < img.bottom - m; ++sy)
      for (int sx = img.left; sx < img.right - 9 * m; ++sx) {
        QCOMPARE(shifted.pixel(sx + 9 * m, sy + m), plain.pixel(sx, sy));
        ++compared;
      }
    QVERIFY(compared > 10000);
    QCOMPARE(shifted.pixel(img.left, img.top), qRgb(0, 0, 0));  // uncovered: black
    Click(dlg->findChild<QPushButton*>(QStringLiteral("close")));
    QVERIFY(!wnd.IsBlink());
    QVERIFY(!wnd.IsBlinkDlgShown());
  }
};

QTEST_MAIN(BlinkToolTest)
#include "blink_tool_test.moc"
