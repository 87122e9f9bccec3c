// Batch stacking from the program's menu, with real clicks: three frames written with
// numpy are added through the open dialog, the open window that entered the list is
// removed, and the median run gives a new window whose pixels are the per-pixel median
// of the three; a run stopped with "中断" after its first frame leaves no new window; frames
// that image matching cannot align are named in a warning after the run.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <functional>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "batch/batchnaming.h"
#include "dialogs/dlgbatchcomposit.h"
#include "dialogs/pickersupport.h"
#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

constexpr int kW = 23, kH = 17;

ScriptedPrompts::Answer Choose(std::vector<std::string> paths) {
  return [paths](Prompt& p) {
    static_cast<FileOpenPrompt&>(p).paths = paths;
    return true;
  };
}

template <typename T>
T* Child(QWidget* dlg, int id) {
  return dlg->findChild<T*>(QString::number(id));
}

}  // namespace

class BatchCompositMenuTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Chooses the entry from the menu bar with the mouse; body runs with the dialog, which
  // is modeless.
  static bool RunBatch(CMainFrame& frame, const std::function<void(CDlgBatchComposit*)>& body) {
    ChooseFromMenu(frame, cmd::ID_BATCH_COMPOSIT);
    QPointer<CDlgBatchComposit> dlg;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<CDlgBatchComposit*>(w); d && d->isVisible()) dlg = d;
    if (!dlg || dlg->isModal()) return false;
    body(dlg);
    if (dlg && dlg->isVisible()) dlg->reject();
    return true;
  }

  // The next name question of a new window is answered with the name proposed.
  static void AcceptProposedName() {
    WhenModal([](QWidget* named) {
      QTest::mouseClick(named->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    });
  }

  // Adds the files with the add button, removes the open windows' entries (the last ones)
  // by clicking each and the remove button, and chooses the median with the keyboard.
  static void ListFramesForMedian(CDlgBatchComposit* dlg, ScriptedPrompts& prompts,
                                  const std::vector<std::string>& files, int windows = 1) {
    auto* list = Child<QListWidget>(dlg, CDlgBatchComposit::IDC_LIST);
    QCOMPARE(list->count(), windows);
    prompts.Expect("FileOpen", Choose(files));
    QTest::mouseClick(Child<QPushButton>(dlg, CDlgBatchComposit::IDC_ADD), Qt::LeftButton);
    const int listed = static_cast<int>(files.size());
    QCOMPARE(list->count(), listed + windows);
    for (int last = listed + windows - 1; last >= listed; --last) {
      QListWidgetItem* window = list->item(last);
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualItemRect(window).center());
      QCOMPARE(list->currentRow(), last);
      QTest::mouseClick(Child<QPushButton>(dlg, CDlgBatchComposit::IDC_REMOVE), Qt::LeftButton);
    }
    QCOMPARE(list->count(), listed);
    auto* method = Child<QComboBox>(dlg, CDlgBatchComposit::IDC_METHOD);
    method->setFocus();
    QTest::keyClick(method, Qt::Key_Down);
    QTest::keyClick(method, Qt::Key_Down);
    QCOMPARE(method->currentData().toInt(), 2);
  }

 private slots:
  void medianIntoNewWindowAndAbort() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir dir;
    const std::string other = dir.File("other.fits");
    const std::vector<std::string> files = {dir.File("a.fits"), dir.File("b.fits"),
                                            dir.File("c.fits")};
    // Independent random frames: the median of a pixel comes from any of the three.
    const QString script = QStringLiteral(
                               "import sys, numpy as np\nfrom astropy.io import fits\n"
                               "rng = np.random.default_rng(7)\n"
                               "for p in sys.argv[1:]:\n"
                               "    d = rng.uniform(-500, 3000, (%1, %2)).astype(np.float32)\n"
                               "    fits.PrimaryHDU(d).writeto(p)\n")
                               .arg(kH)
                               .arg(kW);
    QProcess py;
    py.start("/usr/bin/python3",
             {"-c", script, QString::fromStdString(other), QString::fromStdString(files[0]),
              QString::fromStdString(files[1]), QString::fromStdString(files[2])});
    QVERIFY(py.waitForFinished(60000));
    QCOMPARE(py.exitCode(), 0);

    // The expected result from the frames as the program reads them.
    std::vector<CRalImage> frames(3);
    for (int i = 0; i < 3; ++i) QVERIFY(picker::ReadImageForProcessing(frames[i], files[i]));
    std::vector<double> median(kW * kH);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        double v[3] = {frames[0].GetPixel(x, y), frames[1].GetPixel(x, y),
                       frames[2].GetPixel(x, y)};
        std::sort(v, v + 3);
        median[y * kW + x] = v[1];
      }

    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    // The command is there with no image open too.
    QVERIFY(frame.Command(cmd::ID_BATCH_COMPOSIT)->isEnabled());
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(other));
    QVERIFY(doc);
    QVERIFY(frame.Command(cmd::ID_BATCH_COMPOSIT)->isEnabled());
    const CRalImage original(*doc->GetImgWnd().GetImagePtr());

    // Stopped after the first frame: the button read "中断" while running, the dialog stays
    // open with OK again, and no window is made.
    QVERIFY(RunBatch(frame, [&](CDlgBatchComposit* dlg) {
      ListFramesForMedian(dlg, prompts, files);
      auto* ok = dlg->findChild<QPushButton*>("IDOK");
      QString textWhileRunning;
      auto* stopper = new QTimer(dlg);
      stopper->setInterval(0);
      connect(stopper, &QTimer::timeout, dlg, [&, stopper] {
        if (!dlg->IsRunning()) return;
        stopper->stop();
        textWhileRunning = ok->text();
        QTest::mouseClick(ok, Qt::LeftButton);
      });
      stopper->start();
      AcceptProposedName();
      QTest::mouseClick(ok, Qt::LeftButton);
      stopper->stop();
      QCOMPARE(textWhileRunning, QString::fromUtf8("中断"));
      QVERIFY(dlg->isVisible());
      QVERIFY(!dlg->IsRunning());
      QCOMPARE(ok->text(), QString("OK"));
      QVERIFY(Child<QPushButton>(dlg, CDlgBatchComposit::IDC_ADD)->isEnabled());
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    }));
    QCOMPARE(frame.Frames().size(), 1);

    // The median run to its end.
    QVERIFY(RunBatch(frame, [&](CDlgBatchComposit* dlg) {
      ListFramesForMedian(dlg, prompts, files);
      QVERIFY(Child<QRadioButton>(dlg, CDlgBatchComposit::IDC_DEST_NEW)->isChecked());
      AcceptProposedName();
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QVERIFY(!dlg->isVisible());
    }));
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    QVERIFY2(prompts.unexpected().empty(),
             prompts.unexpected().empty() ? "" : prompts.unexpected().front().c_str());
    const QList<CChildFrame*> after = frame.Frames();
    QCOMPARE(after.size(), 2);
    CKivImageDoc* made =
        after[0]->GetDocument() == doc ? after[1]->GetDocument() : after[0]->GetDocument();
    QVERIFY(made->GetTitle().startsWith("NewImage"));
    // Named as a FITS file, the stack is offered FITS among the formats to save it in.
    QCOMPARE(made->GetImgWnd().IsSaveableFitsFormat(), 1);
    FileSavePrompt offered;
    prompts.Expect("FileSave", [&](Prompt& p) {
      offered = static_cast<FileSavePrompt&>(p);
      return false;
    });
    QVERIFY(!made->DoSave(true));
    QCOMPARE(offered.initialName, made->GetTitle().toStdString());
    // The type preselected is the one whose patterns hold the title's extension.
    const QStringList parts = QString::fromStdString(offered.filter).split('|');
    const int pattern = 2 * (offered.filterIndex - 1) + 1;
    QVERIFY(offered.filterIndex >= 1 && pattern < parts.size());
    QVERIFY2(parts[pattern].contains("*.fts"), qPrintable(parts[pattern]));
    const CRalImage* result = made->GetImgWnd().GetImagePtr();
    QVERIFY(result);
    QCOMPARE(result->GetWidth(), kW);
    QCOMPARE(result->GetHeight(), kH);
    int wrong = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        wrong += std::fabs(result->GetPixel(x, y) - median[y * kW + x]) > 1e-3;
    QCOMPARE(wrong, 0);
    // The open window, taken out of the list, is left as it was, with nothing to undo.
    QVERIFY(!doc->GetImgWnd().HasUndoBuff());
    const CRalImage* kept = doc->GetImgWnd().GetImagePtr();
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) wrong += kept->GetPixel(x, y) != original.GetPixel(x, y);
    QCOMPARE(wrong, 0);

    // Aligned by image matching, the random frames have nothing in common with the model
    // (the first): the run still ends, and a warning names the two combined unshifted.
    QVERIFY(RunBatch(frame, [&](CDlgBatchComposit* dlg) {
      ListFramesForMedian(dlg, prompts, files, 2);
      QTest::mouseClick(Child<QCheckBox>(dlg, CDlgBatchComposit::IDC_ALIGN), Qt::LeftButton);
      QTest::mouseClick(Child<QRadioButton>(dlg, CDlgBatchComposit::IDC_ALIGN_MATCHING),
                        Qt::LeftButton);
      AcceptProposedName();
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QVERIFY(!dlg->isVisible());
    }));
    QCOMPARE(frame.Frames().size(), 3);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text,
             batch::Format(batchcomp_text::kUnaligned, files[1] + "\n" + files[2]));
  }
};

QTEST_MAIN(BatchCompositMenuTest)
#include "batch_composit_menu_test.moc"
