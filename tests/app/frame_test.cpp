// The frame as a user meets it, offscreen: every menu shortcut pressed as keys, dialog
// positions that survive many openings, Qt's standard texts in the program's language,
// usable windows for tiny images, many windows kept inside the work area, cascading and
// arranging minimised windows, fit to window, and the small programs' --help.
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QPrintDialog>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/qtservices.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "fileio/prompts.h"
#include "fileio/qt/iodialogs.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

QRect Room(const CMainFrame& frame) {
  return QRect(QPoint(0, 0), frame.MdiArea()->viewport()->size());
}

}  // namespace

class FrameTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  ScriptedPrompts prompts_;
  ScopedUserPrompts* scopedPrompts_ = nullptr;
  TempDir* dir_ = nullptr;

  QString Sample(const std::string& name, int w, int h) {
    const std::string path = dir_->File(name);
    if (WriteSampleStarField(path, w, h) != 0) return {};
    return QString::fromStdString(path);
  }

  // A shown, active frame of a given size.
  static void Show(CMainFrame& frame, int w = 1024, int h = 768) {
    frame.resize(w, h);
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
  }

  static void Press(CMainFrame& frame, QKeySequence keys) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &frame;
    const QKeyCombination k = keys[0];
    QTest::keyClick(target, k.key(), k.keyboardModifiers());
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    prompts_ = ScriptedPrompts();
    scopedPrompts_ = new ScopedUserPrompts(&prompts_);
    dir_ = new TempDir;
    box_.shown.clear();
  }
  void cleanup() {
    delete scopedPrompts_;
    delete scoped_;
    delete home_;
    delete dir_;
  }

  void everyMenuShortcutWorksFromTheKeyboard() {
    CMainFrame frame;
    Show(frame);
    const QString path = Sample("keys.fits", 300, 200);
    QVERIFY(frame.OpenDocumentFile(path));
    CKivImageView* view = frame.ActiveView();
    view->setFocus();
    CRalImgWnd& wnd = view->GetImgWnd();
    QSet<QString> pressed;
    const auto press = [&](const char* keys) {
      pressed << QKeySequence(QString::fromLatin1(keys)).toString();
      Press(frame, QKeySequence(QString::fromLatin1(keys)));
    };

    press("Ctrl++");
    QCOMPARE(wnd.GetZoom(), 2);
    press("Ctrl+-");
    press("Ctrl+-");
    QCOMPARE(wnd.GetZoom(), 0);
    press("Ctrl+Alt+0");
    QCOMPARE(wnd.GetZoom(), 1);
    view->resize(100, 80);
    frame.resize(400, 300);
    press("Ctrl+0");
    QVERIFY(wnd.GetZoom() < 1);

    // Undo takes back a flip made through the menu.
    const double top = wnd.GetImagePtr()->GetPixel(7, 0, 0);
    frame.Command(cmd::ID_VERTICAL)->trigger();
    QVERIFY(wnd.GetImagePtr()->GetPixel(7, 0, 0) != top);
    press("Ctrl+Z");
    QCOMPARE(wnd.GetImagePtr()->GetPixel(7, 0, 0), top);

    // Copy and paste: the image comes back in a window of its own.
    press("Ctrl+C");
    press("Ctrl+V");
    QCOMPARE(frame.Frames().size(), 2);
    QCOMPARE(frame.ActiveDocument()->GetImgWnd().GetImagePtr()->GetPixel(7, 0, 0), top);
    frame.Command(cmd::ID_FILE_CLOSE)->trigger();
    QTRY_COMPARE(frame.Frames().size(), 1);
    frame.ActiveView()->setFocus();

    // Saving the modified image writes it (the FITS options are accepted as asked).
    frame.Command(cmd::ID_HORIZONTAL)->trigger();
    QVERIFY(frame.ActiveDocument()->IsModified());
    prompts_.Always("SaveFits", [](Prompt&) { return true; });
    prompts_.Always("ChangeBitsFits", [](Prompt&) { return true; });
    press("Ctrl+S");
    QVERIFY(!frame.ActiveDocument()->IsModified());

    // The open dialog is asked for (and cancelled by the script).
    press("Ctrl+O");
    QVERIFY(prompts_.asked().size() > 0);
    QCOMPARE(QString::fromStdString(prompts_.asked().back()), QString("FileOpen"));

    // Printing brings up the print dialog.
    QString modal;
    QTimer::singleShot(0, [&modal] {
      QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget() != nullptr, 5000);
      QWidget* w = QApplication::activeModalWidget();
      modal = QString::fromLatin1(w->metaObject()->className());
      if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
    });
    press("Ctrl+P");
    QCOMPARE(modal, QString("QPrintDialog"));

    // Close: the one shortcut two menus once claimed.
    QTest::failOnWarning(QRegularExpression(".*Ambiguous.*"));
    // The window the dialog came from is the active one again.
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    press("Ctrl+W");
    QTRY_COMPARE(frame.Frames().size(), 0);

    // Every shortcut of the frame's menus was pressed above.
    QSet<QString> declared;
    for (QAction* a : frame.findChildren<QAction*>())
      for (const QKeySequence& k : a->shortcuts())
        if (!k.isEmpty() && !a->data().isNull()) declared << k.toString();
    QCOMPARE(declared - pressed, QSet<QString>());
  }

  void dialogsStayWhereTheyWere() {
    QWidget parent;
    parent.resize(800, 600);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QPoint first;
    for (int i = 0; i < 50; ++i) {
      SaveJpegPrompt prompt;
      CDlgSaveJpeg dlg(prompt, &parent);
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      if (i == 0) {
        dlg.move(dlg.pos() + QPoint(37, 41));
        QTest::qWait(0);
        first = dlg.geometry().topLeft();
      }
      QCOMPARE(dlg.geometry().topLeft(), first);
      dlg.done(QDialog::Rejected);
    }
  }

  void standardTextsSpeakJapanese() {
    QVERIFY(InstallQtTranslations());
    QMessageBox box(QMessageBox::Question, "t", "q",
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QVERIFY2(box.button(QMessageBox::Yes)->text().contains(QString::fromUtf8("はい")),
             qPrintable(box.button(QMessageBox::Yes)->text()));
    QVERIFY(box.button(QMessageBox::No)->text().contains(QString::fromUtf8("いいえ")));
    QVERIFY(box.button(QMessageBox::Cancel)->text().contains(QString::fromUtf8("キャンセル")));
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QVERIFY(
        buttons.button(QDialogButtonBox::Cancel)->text().contains(QString::fromUtf8("キャンセル")));
    // The file dialog's own labels and the print preview's title.
    QVERIFY(QCoreApplication::translate("QFileDialog", "Look in:") != QString("Look in:"));
    QVERIFY(QCoreApplication::translate("QPrintPreviewDialog", "Print Preview") !=
            QString("Print Preview"));
  }

  void tinyImagesGetAWindowWithItsTitleAndButtons() {
    CMainFrame frame;
    Show(frame);
    for (const auto& [w, h] : {std::pair{20, 21}, std::pair{100, 100}}) {
      const QString path = Sample("tiny" + std::to_string(w) + ".fits", w, h);
      QVERIFY(frame.OpenDocumentFile(path));
      CChildFrame* child = frame.Frames().back();
      QTest::qWait(50);
      QFont bold = child->font();
      bold.setBold(true);
      const int title = QFontMetrics(bold).horizontalAdvance(QFileInfo(path).fileName());
      QVERIFY2(child->width() >= title + 64, qPrintable(QString::number(child->width())));
      QVERIFY(child->height() >= 48);
      // The image sits in the middle of the larger view, grey around it.
      CKivImageView* view = child->GetView();
      view->UpdateLayout();
      const RECT on = view->GetImgWnd().GetViewInfo().GetWindowView();
      const int left = on.left, right = view->viewport()->width() - on.right;
      QVERIFY2(std::abs(left - right) <= 1, qPrintable(QString("%1 %2").arg(left).arg(right)));
    }
  }

  void manyWindowsStayInsideTheArea() {
    CMainFrame frame;
    Show(frame, 1024, 768);
    const QRect areaBefore = Room(frame);
    for (int i = 0; i < 12; ++i) {
      const QString path = Sample("w" + std::to_string(i) + ".fits", 200 + 60 * i, 150 + 45 * i);
      QVERIFY(frame.OpenDocumentFile(path));
    }
    QTest::qWait(50);
    const QRect room = Room(frame);
    // Loading shows a progress bar in the status bar; the work area keeps its size.
    QCOMPARE(room, areaBefore);
    for (CChildFrame* f : frame.Frames())
      QVERIFY2(room.contains(f->geometry()),
               qPrintable(QString("%1 outside").arg(f->windowTitle())));

    // Cascade: inside, stepped, and no window shrunk below half the room or its own size.
    const QList<QSize> before = [&] {
      QList<QSize> s;
      for (CChildFrame* f : frame.Frames()) s << f->size();
      return s;
    }();
    frame.Command(cmd::ID_WINDOW_CASCADE)->trigger();
    const QList<CChildFrame*> frames = frame.Frames();
    for (int i = 0; i < frames.size(); ++i) {
      const QRect g = frames[i]->geometry();
      QVERIFY(room.contains(g));
      QVERIFY(g.width() >= std::min(before[i].width(), room.width() / 2));
      QVERIFY(g.height() >= std::min(before[i].height(), room.height() / 2));
    }

    // Arranging icons lines up the minimised windows along the bottom and leaves the
    // others where they are.
    const QRect kept = frames[0]->geometry();
    for (int i = 1; i <= 3; ++i) frames[i]->showMinimized();
    // Each window's first picture and its fitting run from the event loop; let them end.
    QTest::qWait(300);
    frame.Command(cmd::ID_WINDOW_ARRANGE)->trigger();
    // The area as it is when the icons are arranged.
    const QRect area = Room(frame);
    QCOMPARE(frames[0]->geometry(), kept);
    int x = 0;
    for (int i = 1; i <= 3; ++i) {
      const QRect g = frames[i]->geometry();
      QVERIFY(g.height() < 100);
      QCOMPARE(g.bottom(), area.bottom());
      QCOMPARE(g.left(), x);
      x += g.width();
    }
  }

  void fitToWindowShowsTheWholeImageInOneStep() {
    CMainFrame frame;
    Show(frame, 900, 700);
    QVERIFY(frame.OpenDocumentFile(Sample("wide.fits", 3000, 2000)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    frame.Command(cmd::ID_ZOOM_FIT)->trigger();
    QTest::qWait(20);
    const int code = wnd.GetZoom();
    const QSize room = Room(frame).size();
    const auto scaled = [](int n, int m) { return m >= 1 ? n * m : n / (2 - m); };
    QVERIFY(scaled(3000, code) <= room.width() && scaled(2000, code) <= room.height());
    QVERIFY(scaled(3000, code + 1) > room.width() || scaled(2000, code + 1) > room.height());
    QVERIFY(!wnd.GetViewInfo().GetScrollBar(0).shown);
    QVERIFY(!wnd.GetViewInfo().GetScrollBar(1).shown);
    QVERIFY(Room(frame).contains(frame.Frames().back()->geometry()));
    // A small image is enlarged to the room.
    QVERIFY(frame.OpenDocumentFile(Sample("small.fits", 40, 30)));
    frame.Command(cmd::ID_ZOOM_FIT)->trigger();
    QVERIFY(frame.ActiveView()->GetImgWnd().GetZoom() > 4);
  }

  void smallProgramsAnswerHelpAndRefuseUnknownOptions() {
    const QString bin = QString::fromStdString(TestBinDir());
    struct Case {
      const char* exe;
      QStringList args;
      int status;
      const char* out;
    } cases[] = {{"vantorel-sample", {"--help"}, 0, "Usage: vantorel-sample"},
                 {"vantorel-sample", {"--bogus"}, 2, "unknown option '--bogus'"},
                 {"vantorel-sample", {"x.fits", "12x"}, 2, "size must be"},
                 {"vantorel", {"--help"}, 0, "Usage: vantorel"},
                 {"vantorel", {"--bogus"}, 2, "unknown option '--bogus'"}};
    for (const Case& c : cases) {
      QProcess p;
      p.setWorkingDirectory(QString::fromStdString(dir_->path()));
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.remove("DISPLAY");
      env.remove("QT_QPA_PLATFORM");
      p.setProcessEnvironment(env);
      p.start(bin + "/" + c.exe, c.args);
      QVERIFY(p.waitForFinished(20000));
      QCOMPARE(p.exitCode(), c.status);
      const QString all = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
      QVERIFY2(all.contains(QString::fromLatin1(c.out)), qPrintable(all));
    }
    // Nothing was written under an option's name.
    QVERIFY(!QFile::exists(QString::fromStdString(dir_->File("--help"))));
    QVERIFY(!QFile::exists(QString::fromStdString(dir_->File("--bogus"))));
  }
};

QTEST_MAIN(FrameTest)
#include "frame_test.moc"
