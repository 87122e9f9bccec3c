// The common-set batch calibration dialog from the program's menu, with real clicks: three
// targets, a dark and a flat written by numpy; the outputs in another folder, or in the
// windows the run opens, are compared by astropy with the calibration numpy computes from
// the same files.
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "batch/batchtexts.h"
#include "dialogs/combodirectory.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgbatchdarkflat.h"
#include "dialogs/listtarget.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace {

using D = CDlgBatchDarkFlat;

// Runs python with the script and arguments; its standard output, or "failed: ...".
QString Python(const QString& script, const QStringList& args) {
  QProcess py;
  py.start("/usr/bin/python3", QStringList{"-c", script} + args);
  if (!py.waitForFinished(60000) || py.exitCode() != 0)
    return "failed: " + QString::fromUtf8(py.readAllStandardError());
  return QString::fromUtf8(py.readAllStandardOutput()).trimmed();
}

// The targets t1..t3, the dark and the flat in dir: float32, 40 × 30, the flat positive.
const char* kMake =
    "import sys, numpy as np\nfrom astropy.io import fits\n"
    "rng = np.random.default_rng(7)\n"
    "for n in ['t1', 't2', 't3']:\n"
    "    fits.PrimaryHDU(rng.uniform(500, 3000, (30, 40)).astype(np.float32))"
    ".writeto(sys.argv[1] + '/' + n + '.fits')\n"
    "fits.PrimaryHDU(rng.uniform(50, 200, (30, 40)).astype(np.float32))"
    ".writeto(sys.argv[1] + '/dark.fits')\n"
    "fits.PrimaryHDU(rng.uniform(0.5, 1.5, (30, 40)).astype(np.float32))"
    ".writeto(sys.argv[1] + '/flat.fits')\n";

// Prints the largest relative difference between each output and its expected value
// ("dark": target − dark; "flat": target × mean(flat) / flat).
const char* kCompare =
    "import sys, numpy as np\nfrom astropy.io import fits\n"
    "src, out, mode = sys.argv[1:4]\n"
    "g = lambda p: fits.getdata(p).astype(np.float64)\n"
    "worst = 0.0\n"
    "for n in ['t1', 't2', 't3']:\n"
    "    t = g(src + '/' + n + '.fits')\n"
    "    if mode == 'dark':\n"
    "        e = t - g(src + '/dark.fits')\n"
    "    else:\n"
    "        f = g(src + '/flat.fits')\n"
    "        e = t * f.mean() / f\n"
    "    worst = max(worst, float(np.max(np.abs(g(out + '/' + n + '.fits') - e) / np.abs(e))))\n"
    "print(worst)\n";

}  // namespace

class BatchDarkFlatDialogTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Chooses the dialog from the menu bar with clicks; the dialog that opened.
  static D* OpenFromMenu(CMainFrame& frame) {
    QMenuBar* bar = frame.menuBar();
    QAction* entry = frame.Command(4523);
    if (!entry || !entry->isEnabled()) return nullptr;
    QAction* menuAction = nullptr;
    for (QAction* a : bar->actions())
      if (a->menu() && a->menu()->actions().contains(entry)) menuAction = a;
    if (!menuAction) return nullptr;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menuAction).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return nullptr;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dlg = qobject_cast<D*>(w); dlg && dlg->isVisible()) return dlg;
    return nullptr;
  }

  template <typename T>
  static T* Control(D* dlg, int id) {
    return dlg->findChild<T*>(QString::number(id));
  }

  // Sets the check box to on with a click when it differs.
  static void SetCheck(D* dlg, int id, bool on) {
    auto* box = Control<QCheckBox>(dlg, id);
    QVERIFY(box && box->isEnabled());
    if (box->isChecked() != on)
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    QCOMPARE(box->isChecked(), on);
  }

 private slots:
  void darkThenOnlyFlatIntoAnotherFolder() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    AcceptingPrompts accept;
    ScopedUserPrompts prompts(&accept);
    TempDir src, out1, out2;
    QCOMPARE(Python(kMake, {QString::fromStdString(src.File(""))}), QString());
    std::vector<std::string> targets;
    for (const char* n : {"t1.fits", "t2.fits", "t3.fits"}) targets.push_back(src.File(n));

    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    // The processing menu shows while an image is open.
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(src.File("flat.fits"))));

    const struct {
      bool bias, dark, flat;
      std::string folder;
      const char* mode;
    } runs[] = {{false, true, false, out1.File(""), "dark"},
                {false, false, true, out2.File(""), "flat"}};
    for (const auto& run : runs) {
      QPointer<D> dlg = OpenFromMenu(frame);
      QVERIFY(dlg);
      QVERIFY(QTest::qWaitForWindowExposed(dlg.data()));
      auto* ok = dlg->findChild<QPushButton*>("IDOK");
      QVERIFY(!ok->isEnabled());  // nothing to calibrate yet
      SetCheck(dlg, D::IDC_FLAT_CHECK, true);
      SetCheck(dlg, D::IDC_FLATDARK_CHECK, false);
      SetCheck(dlg, D::IDC_BIAS_CHECK, run.bias);
      SetCheck(dlg, D::IDC_DARK_CHECK, run.dark);
      SetCheck(dlg, D::IDC_FLAT_CHECK, run.flat);
      // Both frames are chosen; only the checked one may be applied.
      dlg->Picker(1)->AddFile(src.File("dark.fits"));
      dlg->Picker(2)->AddFile(src.File("flat.fits"));
      dlg->Targets()->AddFiles(targets);
      auto* folder = Control<QRadioButton>(dlg, D::IDC_RESULT_FOLDER);
      QTest::mouseClick(folder, Qt::LeftButton, {}, QPoint(5, folder->height() / 2));
      QVERIFY(folder->isChecked());
      QVERIFY(Control<CComboDirectory>(dlg, D::IDC_DIRECTORY)->isEnabled());
      dlg->Directory()->AddDirectory(run.folder);
      QVERIFY(ok->isEnabled());
      QTest::mouseClick(ok, Qt::LeftButton);
      // A finished run closes the dialog.
      QTRY_VERIFY(!dlg || !dlg->isVisible());
      QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
      const QString worst = Python(kCompare, {QString::fromStdString(src.File("")),
                                              QString::fromStdString(run.folder), run.mode});
      bool number = false;
      const double w = worst.toDouble(&number);
      QVERIFY2(number && w < 1e-5, qPrintable(worst));
    }
  }

  // OK reads "中断" while the run goes; pressing it then stops the run between targets and
  // the dialog stays open for another try.
  void okAbortsTheRun() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    AcceptingPrompts accept;
    ScopedUserPrompts prompts(&accept);
    TempDir src, out;
    QCOMPARE(Python(kMake, {QString::fromStdString(src.File(""))}), QString());
    CMainFrame frame;
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(src.File("flat.fits"))));
    QPointer<D> dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    SetCheck(dlg, D::IDC_BIAS_CHECK, false);
    SetCheck(dlg, D::IDC_FLAT_CHECK, false);
    dlg->Picker(1)->AddFile(src.File("dark.fits"));
    dlg->Targets()->AddFiles({src.File("t1.fits"), src.File("t2.fits"), src.File("t3.fits")});
    auto* folder = Control<QRadioButton>(dlg, D::IDC_RESULT_FOLDER);
    QTest::mouseClick(folder, Qt::LeftButton, {}, QPoint(5, folder->height() / 2));
    dlg->Directory()->AddDirectory(out.File(""));
    auto* ok = dlg->findChild<QPushButton*>("IDOK");
    QString during;
    // Runs at the first events the run lets through.
    QTimer::singleShot(0, [&] {
      during = ok->text();
      QTest::mouseClick(ok, Qt::LeftButton);
    });
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(during, QString::fromUtf8("中断"));
    QVERIFY(dlg && dlg->isVisible());
    QCOMPARE(dlg->GetLastResult(), 0);
    QCOMPARE(ok->text(), QString("OK"));
    QVERIFY(Control<QCheckBox>(dlg, D::IDC_DARK_CHECK)->isEnabled());
    int written = 0;
    for (const char* n : {"t1.fits", "t2.fits", "t3.fits"})
      written += QFileInfo::exists(QString::fromStdString(out.File(n)));
    QVERIFY2(written < 3, qPrintable(QString::number(written)));
    dlg->close();
  }

  // Open without saving: each target opens in a window holding target − dark while the
  // files stay as they were; stopped during the third target, the two windows the run
  // opened are offered for closing, and Yes closes them.
  void openWithoutSavingThenStopInTheThird() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    AcceptingPrompts accept;
    ScopedUserPrompts prompts(&accept);
    TempDir src;
    QCOMPARE(Python(kMake, {QString::fromStdString(src.File(""))}), QString());
    const std::vector<std::string> targets = {src.File("t1.fits"), src.File("t2.fits"),
                                              src.File("t3.fits")};
    const QString before = Python(kCompare, {QString::fromStdString(src.File("")),
                                             QString::fromStdString(src.File("")), "dark"});
    CMainFrame frame;
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(src.File("flat.fits"))));
    auto prepare = [&](D* dlg) {
      SetCheck(dlg, D::IDC_BIAS_CHECK, false);
      SetCheck(dlg, D::IDC_DARK_CHECK, true);
      SetCheck(dlg, D::IDC_FLAT_CHECK, false);
      dlg->Picker(1)->AddFile(src.File("dark.fits"));
      dlg->Targets()->AddFiles(targets);
      auto* open = Control<QRadioButton>(dlg, D::IDC_RESULT_OPEN);
      QTest::mouseClick(open, Qt::LeftButton, {}, QPoint(5, open->height() / 2));
      QVERIFY(open->isChecked());
    };

    QPointer<D> dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    prepare(dlg);
    auto* ok = dlg->findChild<QPushButton*>("IDOK");
    QTimer stopper;
    stopper.setInterval(0);
    connect(&stopper, &QTimer::timeout, this, [&] {
      if (frame.Frames().size() < 3) return;
      stopper.stop();
      QTest::mouseClick(ok, Qt::LeftButton);
    });
    stopper.start();
    box_.Answer(IDYES);
    QTest::mouseClick(ok, Qt::LeftButton);
    stopper.stop();
    QCOMPARE(dlg->GetLastResult(), 0);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(batch_text::kCloseOpened));
    QTRY_COMPARE(frame.Frames().size(), 1);
    dlg->close();
    box_.shown.clear();

    dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    prepare(dlg);
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    const QList<CChildFrame*> frames = frame.Frames();
    QCOMPARE(frames.size(), 4);
    // Each window's pixels against the files: saved beside them, compared by numpy.
    TempDir shown;
    for (CChildFrame* f : frames) {
      CKivImageDoc* doc = f->GetDocument();
      const std::string name = doc->GetTitle().toStdString();
      if (name == "flat.fits") continue;
      QVERIFY(doc->IsModified());
      QCOMPARE(CRalImageIO::WriteImageFile(*doc->GetImgWnd().GetImagePtr(), shown.File(name), 0),
               1);
    }
    const QString worst = Python(kCompare, {QString::fromStdString(src.File("")),
                                            QString::fromStdString(shown.File("")), "dark"});
    bool number = false;
    const double w = worst.toDouble(&number);
    QVERIFY2(number && w < 1e-5, qPrintable(worst));
    // The files themselves are untouched.
    QCOMPARE(Python(kCompare, {QString::fromStdString(src.File("")),
                               QString::fromStdString(src.File("")), "dark"}),
             before);
  }
};

QTEST_MAIN(BatchDarkFlatDialogTest)
#include "batch_darkflat_dialog_test.moc"
