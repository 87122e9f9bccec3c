// A window that closes leaves every list of open images, in the program offscreen with
// real key and mouse events: the blink dialog's frames and candidates (then adding and
// deleting entries works on what is left; a running blink goes on with the other frames),
// the image pickers of the modeless batch calibration (whose settings a finished run then
// writes) and the target list of the batch overscan. Before, the lists kept the closed
// window's document and used it after it was freed.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QMdiArea>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "dialogs/combodirectory.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgbatchdarkflat.h"
#include "dialogs/dlgbatchoverscan.h"
#include "dialogs/listtarget.h"
#include "display/qt/ralimgwnd.h"
#include "measure/qt/dlgblink.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

class ClosedWindowsTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  static void Click(QWidget* w) {
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() / 2, w->height() / 2));
  }

  static void ClickRow(QListWidget* list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
  }

  static QStringList Texts(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
  }

  std::vector<std::string> Samples(int n, const std::string& stem = "frame") {
    std::vector<std::string> paths;
    for (int i = 0; i < n; ++i) {
      paths.push_back(dir_->File(stem + std::to_string(i) + ".fits"));
      if (WriteSampleStarField(paths.back(), 160, 120, 20240701u + i) != 0) return {};
    }
    return paths;
  }

  static CChildFrame* FrameOf(CMainFrame& frame, const QString& title) {
    for (CChildFrame* f : frame.Frames())
      if (f->GetDocument()->GetTitle() == title) return f;
    return nullptr;
  }

  // Closes the window of that title as a user does: a click into it, then Ctrl+W (the
  // File menu's Close, which closes the active window). Waits until it is gone.
  static void CloseWindow(CMainFrame& frame, const QString& title) {
    QPointer<CChildFrame> child = FrameOf(frame, title);
    QVERIFY(child);
    // The program's window comes to the front (a modeless dialog may have been there).
    frame.activateWindow();
    QTRY_VERIFY(frame.isActiveWindow());
    QWidget* viewport = child->GetView()->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(3, 3));
    QTRY_COMPARE(frame.MdiArea()->activeSubWindow(), child.data());
    QTest::keyClick(&frame, Qt::Key_W, Qt::ControlModifier);
    QTRY_VERIFY(!child);
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

  // Presses ﾘｽﾄに追加 and chooses row in the dialog it opens; what that dialog offered.
  static QStringList AddRow(CDlgBlink* dlg, int row) {
    QStringList offered;
    QTimer::singleShot(0, dlg, [row, &offered] {
      auto* add = qobject_cast<CDlgAddBlink*>(QApplication::activeModalWidget());
      if (!add) return;
      offered = Texts(add->List());
      if (row < add->List()->count()) ClickRow(add->List(), row);
      Click(add->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))
                ->button(QDialogButtonBox::Ok));
    });
    Click(dlg->findChild<QPushButton*>(QStringLiteral("add")));
    return offered;
  }

 private slots:
  void init() { SetUpApp(); }
  void cleanup() { TearDownApp(); }

  void blinkListsLoseAClosedWindowThenAddAndDeleteWork() {
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CDlgBlink* dlg = OpenAndBlink(frame, Samples(3));
    QVERIFY(dlg);
    auto* add = dlg->findChild<QPushButton*>(QStringLiteral("add"));
    auto* del = dlg->findChild<QPushButton*>(QStringLiteral("delete"));
    QCOMPARE(AddRow(dlg, 0), QStringList({"frame1.fits", "frame2.fits"}));
    QCOMPARE(Texts(dlg->List()), QStringList({"frame0.fits", "frame1.fits"}));

    // A listed window closes; then ﾘｽﾄに追加 and ﾘｽﾄから削除 on another entry, with clicks.
    // (Before, the list kept the closed window's document and the add used it.)
    CloseWindow(frame, "frame1.fits");
    QVERIFY(add->isEnabled());
    const QStringList offered = AddRow(dlg, 0);
    QCOMPARE(Texts(dlg->List()), QStringList({"frame0.fits", "frame2.fits"}));
    ClickRow(dlg->List(), 1);
    Click(del);
    QCOMPARE(Texts(dlg->List()), QStringList({"frame0.fits"}));
    // The closed window neither stayed listed nor came back as a candidate.
    QCOMPARE(offered, QStringList({"frame2.fits"}));
    QCOMPARE(dlg->Entries().size(), 1u);
    QCOMPARE(dlg->GetTarget().GetCount(), 1);
    QCOMPARE(dlg->Candidates().size(), 1u);
    QVERIFY(add->isEnabled());

    // A candidate's window closes: nothing is left to add.
    CloseWindow(frame, "frame2.fits");
    QVERIFY(dlg->Candidates().empty());
    QVERIFY(!add->isEnabled());
    ClickRow(dlg->List(), 0);
    Click(del);
    QVERIFY(Texts(dlg->List()).isEmpty());
    QVERIFY(add->isEnabled());  // the window's own image can come back
    QCOMPARE(AddRow(dlg, 0), QStringList({"frame0.fits"}));
    QCOMPARE(Texts(dlg->List()), QStringList({"frame0.fits"}));
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
  }

  void aRunningBlinkGoesOnWithoutAClosedFrame() {
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CDlgBlink* dlg = OpenAndBlink(frame, Samples(3));
    QVERIFY(dlg);
    CRalImgWnd& wnd = frame.ActiveView()->GetImgWnd();
    QCOMPARE(AddRow(dlg, 1), QStringList({"frame1.fits", "frame2.fits"}));
    QCOMPARE(AddRow(dlg, 0), QStringList({"frame1.fits"}));
    QCOMPARE(dlg->List()->count(), 3);
    dlg->findChild<QSpinBox*>(QStringLiteral("time"))->setValue(20);
    Click(dlg->findChild<QPushButton*>(QStringLiteral("start")));
    QVERIFY(wnd.IsBlink());

    CloseWindow(frame, "frame2.fits");
    QVERIFY(wnd.IsBlink());
    QCOMPARE(Texts(dlg->List()), QStringList({"frame0.fits", "frame1.fits"}));
    QCOMPARE(dlg->GetTarget().GetCount(), 2);
    QCOMPARE(dlg->GetTarget().GetPreparedCount(), 2);
    QSignalSpy shown(dlg, &CDlgBlink::showFrame);
    QTRY_VERIFY(shown.count() >= 5);
    for (const QList<QVariant>& s : shown) QVERIFY(s.at(0).toInt() < 2);

    // The other frame's window too: the blink goes on with the window's own image.
    CloseWindow(frame, "frame1.fits");
    QCOMPARE(Texts(dlg->List()), QStringList({"frame0.fits"}));
    shown.clear();
    QTRY_VERIFY(shown.count() >= 3);
    for (const QList<QVariant>& s : shown) QCOMPARE(s.at(0).toInt(), 0);
    Click(dlg->findChild<QPushButton*>(QStringLiteral("start")));
    QVERIFY(!wnd.IsBlink());
  }

  // The batch calibration is modeless: windows close while it is open. The closed
  // window's entry goes from every picker; the bias picker, unchecked, had it selected,
  // and the finished run stores every picker's choice.
  void batchPickersLoseAClosedWindow() {
    using D = CDlgBatchDarkFlat;
    const std::vector<std::string> windows = Samples(2, "win");
    const std::vector<std::string> targets = Samples(3, "target");
    const std::string dark = Samples(1, "dark").front();
    TempDir out;
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    for (const std::string& p : windows) QVERIFY(frame.OpenDocumentFile(QString::fromStdString(p)));
    ChooseFromMenu(frame, 4523);
    QPointer<D> dlg;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<D*>(w); d && d->isVisible()) dlg = d;
    QVERIFY(dlg);
    CComboImage* bias = dlg->Picker(0);
    QCOMPARE(bias->count(), 2);
    // Nothing was chosen before: no window is put in the picker unasked.
    QCOMPARE(bias->currentIndex(), -1);
    bias->setFocus();
    QTest::keyClick(bias, Qt::Key_Down);
    QTest::keyClick(bias, Qt::Key_Down);
    QCOMPARE(bias->currentText(), QString("win1.fits"));

    CloseWindow(frame, "win1.fits");
    // What the pickers list is looked at after the run, which stores their choices.
    QStringList listed;
    for (int i = 0; i < 4; ++i) listed << dlg->Picker(i)->itemText(0);
    const int counts = dlg->Picker(0)->count() + dlg->Picker(1)->count() + dlg->Picker(2)->count() +
                       dlg->Picker(3)->count();
    const QString biasChoice = bias->currentText();

    auto check = [&](int id, bool on) {
      auto* box = dlg->findChild<QCheckBox*>(QString::number(id));
      QVERIFY(box);
      if (box->isChecked() != on) QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, 5));
      QCOMPARE(box->isChecked(), on);
    };
    check(D::IDC_BIAS_CHECK, false);
    check(D::IDC_FLAT_CHECK, false);
    check(D::IDC_FLATDARK_CHECK, false);
    check(D::IDC_DARK_CHECK, true);
    dlg->Picker(1)->AddFile(dark);
    dlg->Targets()->AddFiles(targets);
    auto* folder = dlg->findChild<QRadioButton*>(QString::number(D::IDC_RESULT_FOLDER));
    QTest::mouseClick(folder, Qt::LeftButton, {}, QPoint(5, folder->height() / 2));
    dlg->Directory()->AddDirectory(out.path());
    auto* ok = dlg->findChild<QPushButton*>("IDOK");
    QVERIFY(ok->isEnabled());
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    for (const char* n : {"target0.fits", "target1.fits", "target2.fits"})
      QVERIFY(QFile::exists(QString::fromStdString(out.File(n))));
    QCOMPARE(counts, 4);
    QCOMPARE(listed, QStringList({"win0.fits", "win0.fits", "win0.fits", "win0.fits"}));
    QCOMPARE(biasChoice, QString("win0.fits"));
  }

  void batchOverscanTargetsLoseAClosedWindow() {
    const std::vector<std::string> windows = Samples(3, "scan");
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    for (const std::string& p : windows) QVERIFY(frame.OpenDocumentFile(QString::fromStdString(p)));
    ChooseFromMenu(frame, cmd::ID_BATCH_OVERSCAN);
    QPointer<CDlgBatchOverScan> dlg;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<CDlgBatchOverScan*>(w); d && d->isVisible()) dlg = d;
    QVERIFY(dlg);
    CListTarget* list = dlg->GetList();
    QCOMPARE(list->count(), 3);
    ClickRow(list, 1);
    CloseWindow(frame, "scan1.fits");
    list->SortByFile();  // looks into every listed document
    QCOMPARE(Texts(list), QStringList({"scan0.fits", "scan2.fits"}));
    QCOMPARE(list->currentRow(), 1);  // the entry that took the closed one's place
    CloseWindow(frame, "scan2.fits");
    QCOMPARE(Texts(list), QStringList({"scan0.fits"}));
    QCOMPARE(list->currentRow(), 0);
    QCOMPARE(list->GetDocumentAt(0),
             static_cast<CVumDocument*>(frame.Frames().front()->GetDocument()));
    Click(dlg->findChild<QPushButton*>("IDCANCEL"));
    QTRY_VERIFY(!dlg);
  }
};

QTEST_MAIN(ClosedWindowsTest)
#include "closed_windows_test.moc"
