// The batch overscan subtraction from the program's menu, with real clicks and keys: three
// frames with a bias strip in their first columns are added to the list, the region typed,
// the save folder chosen; numpy checks that every output is its frame minus the strip's
// mean, in the files saved or in the windows opened without saving. Another run is stopped
// with the "中断" button after its first frame.
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <filesystem>

#include "app/apptexts.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "dialogs/combodirectory.h"
#include "dialogs/dlgbatchoverscan.h"
#include "dialogs/listtarget.h"
#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 40, kH = 30, kStrip = 4;
const char* const kNames[] = {"f1.fits", "f2.fits", "f3.fits"};

// Frames with a sloped sky and, in their first kStrip columns, an uneven bias strip
// (argv: folder, names...); with "check" first, the largest difference between each
// output in the folder argv[2] and its frame in argv[3] minus the strip's mean.
const char* kScript = R"(
import sys, os, numpy as np
from astropy.io import fits
if sys.argv[1] == 'make':
    for i, name in enumerate(sys.argv[3:]):
        y, x = np.mgrid[0:%H%, 0:%W%]
        d = (1000 + 3 * x + 5 * y + 50 * i).astype(np.float32)
        d[:, :%S%] = 100 + (7 * x[:, :%S%] + 3 * y[:, :%S%]) % 11 + 10 * i
        fits.PrimaryHDU(d).writeto(os.path.join(sys.argv[2], name))
else:
    worst = 0.0
    for name in sys.argv[4:]:
        src = fits.getdata(os.path.join(sys.argv[3], name)).astype(np.float64)
        out = fits.getdata(os.path.join(sys.argv[2], name)).astype(np.float64)
        worst = max(worst, float(np.abs(out - (src - src[:, :%S%].mean())).max()))
    print(worst)
)";

QString Script() {
  return QString::fromUtf8(kScript)
      .replace("%H%", QString::number(kH))
      .replace("%W%", QString::number(kW))
      .replace("%S%", QString::number(kStrip));
}

QString RunPython(const QStringList& args) {
  QProcess py;
  py.start("/usr/bin/python3", QStringList{"-c", Script()} + args);
  if (!py.waitForFinished(60000) || py.exitCode() != 0)
    return "failed: " + QString::fromUtf8(py.readAllStandardError());
  return QString::fromUtf8(py.readAllStandardOutput()).trimmed();
}

QStringList Names() {
  QStringList out;
  for (const char* n : kNames) out << n;
  return out;
}

}  // namespace

class BatchOverscanMenuTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Opens the dialog from the first-order menu with mouse clicks.
  static CDlgBatchOverScan* OpenFromMenu(CMainFrame& frame) {
    QMenuBar* bar = frame.menuBar();
    QAction* first = nullptr;
    for (QAction* a : bar->actions())
      if (a->text() == QString::fromUtf8(app_text::kMenuFirstOrder)) first = a;
    if (!first) return nullptr;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(first).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QAction* entry = frame.Command(cmd::ID_BATCH_OVERSCAN);
    if (!menu || !entry || !entry->isEnabled()) return nullptr;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    return frame.findChild<CDlgBatchOverScan*>();
  }

  static void Type(QWidget* dlg, int id, const QString& text) {
    auto* edit = dlg->findChild<QLineEdit*>(QString::number(id));
    QVERIFY(edit);
    QTest::mouseDClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
  }

  // The region typed, the three frames added with the list's button, the reference
  // window's entry removed and the save folder chosen with the browse button.
  void Fill(CDlgBatchOverScan* dlg, ScriptedPrompts& prompts, const TempDir& in,
            const std::string& out) {
    std::vector<std::string> files;
    for (const char* n : kNames) files.push_back(in.File(n));
    prompts.Expect("FileOpen", [files](Prompt& p) {
      static_cast<FileOpenPrompt&>(p).paths = files;
      return true;
    });
    // Typed first: adding to the list must not take the typed region back.
    Type(dlg, CDlgBatchOverScan::IDC_X1, "1");
    Type(dlg, CDlgBatchOverScan::IDC_X2, QString::number(kStrip));
    Type(dlg, CDlgBatchOverScan::IDC_Y1, "1");
    Type(dlg, CDlgBatchOverScan::IDC_Y2, QString::number(kH));
    CListTarget* list = dlg->GetList();
    QCOMPARE(list->GetCount(), 1);  // the open window
    QTest::mouseClick(dlg->findChild<QPushButton*>(QString::number(CDlgBatchOverScan::IDC_ADD)),
                      Qt::LeftButton);
    QCOMPARE(list->GetCount(), 4);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(3)).center());
    QTest::mouseClick(dlg->findChild<QPushButton*>(QString::number(CDlgBatchOverScan::IDC_REMOVE)),
                      Qt::LeftButton);
    QCOMPARE(list->GetCount(), 3);
    QVERIFY(!list->GetDocumentAt(0) && !list->GetDocumentAt(2));

    auto* other =
        dlg->findChild<QRadioButton*>(QString::number(CDlgBatchOverScan::IDC_OTHER_FOLDER));
    QTest::mouseClick(other, Qt::LeftButton, {}, QPoint(8, other->height() / 2));
    QVERIFY(other->isChecked());
    auto* browse = dlg->findChild<QPushButton*>(QString::number(CDlgBatchOverScan::IDC_BROWSE));
    QVERIFY(browse->isEnabled());
    dlg->GetDirectory()->SetChooser([out](const std::string&, std::string* chosen) {
      *chosen = out;
      return true;
    });
    QTest::mouseClick(browse, Qt::LeftButton);
  }

  struct Setup {
    ScopedConfigHome home;
    TempDir in, out;
    ScriptedPrompts prompts;
    std::unique_ptr<ScopedUserPrompts> scoped;
  };

  static CKivImageDoc* OpenReference(CMainFrame& frame, const TempDir& in) {
    frame.resize(900, 700);
    frame.show();
    if (!QTest::qWaitForWindowExposed(&frame)) return nullptr;
    return frame.OpenDocumentFile(QString::fromStdString(in.File("ref.fits")));
  }

 private slots:
  void eachOutputIsItsFrameMinusTheStripMean() {
    Setup s;
    ScopedMessageBox box(&box_);
    box_.shown.clear();
    s.scoped = std::make_unique<ScopedUserPrompts>(&s.prompts);
    QCOMPARE(RunPython(QStringList{"make", QString::fromStdString(s.in.path())} + Names() +
                       QStringList{"ref.fits"}),
             QString());
    CMainFrame frame;
    QVERIFY(OpenReference(frame, s.in));
    CDlgBatchOverScan* dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    QVERIFY(dlg->isVisible() && !dlg->isModal());
    Fill(dlg, s.prompts, s.in, s.out.path());
    if (QTest::currentTestFailed()) return;
    QPointer<CDlgBatchOverScan> alive(dlg);
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(alive.isNull());  // closed once every frame is done
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());

    const QString worst = RunPython(QStringList{"check", QString::fromStdString(s.out.path()),
                                                QString::fromStdString(s.in.path())} +
                                    Names());
    bool ok = false;
    const double diff = worst.toDouble(&ok);
    QVERIFY2(ok, qPrintable(worst));
    QVERIFY2(diff < 1e-3, qPrintable(worst));
    // The reference window was taken off the list: nothing written for it.
    QVERIFY(!std::filesystem::exists(s.out.File("ref.fits")));
  }

  // Open without saving: every frame comes up in a window of its own holding the result,
  // checked by numpy after the windows' images are written out by the test.
  void openWithoutSavingShowsEachResult() {
    Setup s;
    ScopedMessageBox box(&box_);
    box_.shown.clear();
    s.scoped = std::make_unique<ScopedUserPrompts>(&s.prompts);
    QCOMPARE(RunPython(QStringList{"make", QString::fromStdString(s.in.path())} + Names() +
                       QStringList{"ref.fits"}),
             QString());
    CMainFrame frame;
    QVERIFY(OpenReference(frame, s.in));
    CDlgBatchOverScan* dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    Fill(dlg, s.prompts, s.in, s.out.path());
    if (QTest::currentTestFailed()) return;
    auto* open = dlg->findChild<QRadioButton*>(QString::number(CDlgBatchOverScan::IDC_OPEN));
    QTest::mouseClick(open, Qt::LeftButton, {}, QPoint(8, open->height() / 2));
    QVERIFY(open->isChecked());
    QPointer<CDlgBatchOverScan> alive(dlg);
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(alive.isNull());
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    int shown = 0;
    for (CChildFrame* f : frame.Frames()) {
      CKivImageDoc* doc = f->GetDocument();
      const std::string name = doc->GetTitle().toStdString();
      if (name == "ref.fits") continue;
      QVERIFY(doc->IsModified());
      QCOMPARE(CRalImageIO::WriteImageFile(*doc->GetImgWnd().GetImagePtr(), s.out.File(name), 0),
               1);
      ++shown;
    }
    QCOMPARE(shown, 3);
    const QString worst = RunPython(QStringList{"check", QString::fromStdString(s.out.path()),
                                                QString::fromStdString(s.in.path())} +
                                    Names());
    bool ok = false;
    const double diff = worst.toDouble(&ok);
    QVERIFY2(ok && diff < 1e-3, qPrintable(worst));
  }

  void abortStopsAfterTheFirstFrame() {
    Setup s;
    ScopedMessageBox box(&box_);
    box_.shown.clear();
    s.scoped = std::make_unique<ScopedUserPrompts>(&s.prompts);
    QCOMPARE(RunPython(QStringList{"make", QString::fromStdString(s.in.path())} + Names() +
                       QStringList{"ref.fits"}),
             QString());
    CMainFrame frame;
    QVERIFY(OpenReference(frame, s.in));
    CDlgBatchOverScan* dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    Fill(dlg, s.prompts, s.in, s.out.path());
    if (QTest::currentTestFailed()) return;
    auto* ok = dlg->findChild<QPushButton*>("IDOK");
    QString during;
    // Pressed as soon as the first output is on disk, while the run lets events through.
    QTimer poll;
    poll.setInterval(0);
    connect(&poll, &QTimer::timeout, dlg, [&] {
      for (const char* n : kNames) {
        if (!std::filesystem::exists(s.out.File(n))) continue;
        poll.stop();
        during = ok->text();
        QTest::mouseClick(ok, Qt::LeftButton);
        return;
      }
    });
    poll.start();
    QTest::mouseClick(ok, Qt::LeftButton);
    poll.stop();
    QCOMPARE(during, QString::fromUtf8(batchoverscan_text::kAbort));
    QVERIFY(dlg->isVisible() && !dlg->IsRunning());
    QCOMPARE(ok->text(), QString("OK"));
    QVERIFY(dlg->GetList()->isEnabled());
    int written = 0;
    for (const char* n : kNames) written += std::filesystem::exists(s.out.File(n)) ? 1 : 0;
    QCOMPARE(written, 1);
    dlg->close();
  }
};

QTEST_MAIN(BatchOverscanMenuTest)
#include "batch_overscan_menu_test.moc"
