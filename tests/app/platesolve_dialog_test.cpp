// Plate solving from the menu, offscreen, with real key and mouse events, beside a
// stand-in solve-field on PATH (the real solver is checked from the command line): the
// dialog takes its hint from the frame's telescope cards, a solution becomes the image's
// coordinates (the information bar shows the sky, the document is changed, undo takes it
// back), 中断 and Escape kill a solver that hangs and leave the image as it was, a bad
// hint or a folder without index files is refused with the remedy, a search without a
// solution says so and changes nothing, and the options are
// remembered.
#include <signal.h>
#include <sys/stat.h>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "infobar/dlgbarimageinfo.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "solve/qt/dlgplatesolve.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSize = 128;

std::string Card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

// The solution the stand-in hands back: TAN, 2"/px, north up, the sky at FITS pixel
// (65, 64) is 03h47m24s +24°07'00" (56.85°, 24.1166…°).
std::string SolutionFile() {
  std::string text;
  for (const char* c :
       {"SIMPLE  =                    T", "BITPIX  =                    8",
        "NAXIS   =                    0", "CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'",
        "CRVAL1  =                56.85", "CRVAL2  =   24.116666666666667",
        "CRPIX1  =                 65.0", "CRPIX2  =                 64.0",
        "CD1_1   = -5.5555555555555556E-4", "CD1_2   =                  0.0",
        "CD2_1   =                  0.0", "CD2_2   =  5.5555555555555556E-4", "END"})
    text += Card(c);
  text.resize(2880, ' ');
  return text;
}

// The stand-in: records its arguments, then solves, finds nothing, or hangs with a child
// as $FAKE_MODE says.
constexpr const char* kScript = R"(#!/bin/bash
printf '%s\n' "$@" > "$FAKE_OUT/args.txt"
wcs=; solved=
while [ $# -gt 0 ]; do
  case "$1" in
    --wcs) wcs="$2"; shift ;;
    --solved) solved="$2"; shift ;;
  esac
  shift
done
case "$FAKE_MODE" in
  solve) cp "$FAKE_OUT/solution.wcs" "$wcs"; touch "$solved" ;;
  hang) sleep 300 & echo $! > "$FAKE_OUT/child.pid"; wait ;;
esac
exit 0
)";

// A 128×128 float frame: sky 100 with a ripple and 24 Gaussian stars; the telescope's
// pointing in OBJCTRA/OBJCTDEC as capture programs write it.
bool WriteFrame(const std::string& path) {
  CRalImage image(kSize, kSize, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kSize);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      double v = 100.0 + 2.0 * std::sin(0.9 * x + 1.7 * y);
      for (int s = 0; s < 24; ++s) {
        const double cx = 8.0 + (s * 37) % 112, cy = 8.0 + (s * 53) % 112;
        const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        v += (3000.0 + 400.0 * s) * std::exp(-r2 / 4.5);
      }
      row[x] = v;
    }
    if (!image.SetPhysicalRow(y, 0, row.data())) return false;
  }
  image.SetOrgFileFormat("FITS");
  if (CFits::UpdateHeader(image, Card("OBJCTRA = '03 47 24.0'")) != 0 ||
      CFits::UpdateHeader(image, Card("OBJCTDEC= '+24 07 00'")) != 0)
    return false;
  // Kept as live cards, as the capture program wrote them.
  CFits::SetKeepCardsOverride(1);
  const bool written = CRalImageIO::WriteImageFile(image, path, 0) == 1;
  CFits::SetKeepCardsOverride(-1);
  return written;
}

template <typename T>
T* Find(QWidget* w, const char* name) {
  T* c = w->findChild<T*>(QString::fromLatin1(name));
  if (!c) qFatal("no control %s", name);
  return c;
}

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

}  // namespace

class PlateSolveDialogTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  std::string frame_, index_, out_;
  QByteArray path_;

  // The program with the frame open, and the menu's ﾌﾟﾚｰﾄｿﾙﾌﾞ chosen with the mouse;
  // work is done on the dialog while it is open (it is modal), and it must close by then.
  CKivImageDoc* OpenAndSolve(CMainFrame& frame, const std::function<void(CDlgPlateSolve*)>& work) {
    frame.resize(900, 700);
    frame.show();
    if (!QTest::qWaitForWindowExposed(&frame)) return nullptr;
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(frame_));
    if (!doc) return nullptr;
    bool worked = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<CDlgPlateSolve*>(QApplication::activeModalWidget());
      if (!dialog) return;
      work(dialog);
      // A check that failed inside leaves the dialog open: it is closed so the test ends.
      if (QTest::currentTestFailed()) dialog->done(QDialog::Rejected);
      worked = true;
    });
    ChooseFromMenu(frame, cmd::ID_PLATE_SOLVE);
    if (!worked || QApplication::activeModalWidget()) return nullptr;
    return doc;
  }

  static void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
  }

  static bool Running(const std::string& pidFile) {
    const std::string text = ReadFileOrEmpty(pidFile);
    return !text.empty() && ::kill(std::stoi(text), 0) == 0;
  }

 private slots:
  void init() {
    SetUpApp();
    frame_ = dir_->File("frame.fits");
    QVERIFY(WriteFrame(frame_));
    const std::string bin = dir_->File("bin");
    QCOMPARE(mkdir(bin.c_str(), 0755), 0);
    WriteFileOrDie(bin + "/solve-field", kScript);
    QCOMPARE(chmod((bin + "/solve-field").c_str(), 0755), 0);
    index_ = dir_->File("index");
    QCOMPARE(mkdir(index_.c_str(), 0755), 0);
    WriteFileOrDie(index_ + "/index-test-09.fits", "");
    out_ = dir_->File("out");
    QCOMPARE(mkdir(out_.c_str(), 0755), 0);
    WriteFileOrDie(out_ + "/solution.wcs", SolutionFile());
    qputenv("FAKE_OUT", QByteArray::fromStdString(out_));
    path_ = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin) + ":" + path_);
  }
  void cleanup() {
    qputenv("PATH", path_);
    TearDownApp();
  }

  void solutionGivesTheSkyAndUndoTakesItBack() {
    qputenv("FAKE_MODE", "solve");
    CMainFrame frame;
    CKivImageDoc* doc = OpenAndSolve(frame, [&](CDlgPlateSolve* dlg) {
      QCOMPARE(dlg->windowTitle(), Q(platesolve_text::kTitle));
      // The hint from OBJCTRA/OBJCTDEC, ticked; the scale off until asked for.
      QVERIFY(Find<QGroupBox>(dlg, "PS_GB_HINT")->isChecked());
      QCOMPARE(Find<QLineEdit>(dlg, "PS_ED_RA")->text(), QStringLiteral("03:47:24.00"));
      QCOMPARE(Find<QLineEdit>(dlg, "PS_ED_DEC")->text(), QStringLiteral("+24:07:00.0"));
      QGroupBox* scale = Find<QGroupBox>(dlg, "PS_GB_SCALE");
      QVERIFY(!scale->isChecked());
      scale->setFocus();
      QTest::keyClick(scale, Qt::Key_Space);
      QVERIFY(scale->isChecked());
      QDoubleSpinBox* high = Find<QDoubleSpinBox>(dlg, "PS_ED_SCALEHIGH");
      high->setFocus();
      high->selectAll();
      QTest::keyClicks(high, QStringLiteral("2.5"));
      Type(Find<QLineEdit>(dlg, "PS_ED_INDEX"), QString::fromStdString(index_));
      QTest::keyClick(Find<QLineEdit>(dlg, "PS_ED_INDEX"), Qt::Key_Return);  // 実行 is the default
      QCOMPARE(dlg->LastResult(), PSOLVE_OK);
    });
    QVERIFY(doc);
    // What the solver was handed: the hint and the scale typed.
    const QString args = QString::fromStdString(ReadFileOrEmpty(out_ + "/args.txt"));
    QVERIFY2(args.contains(QStringLiteral("--ra\n56.85")), qPrintable(args));
    QVERIFY(args.contains(QStringLiteral("--dec\n24.1166")));
    QVERIFY(args.contains(QStringLiteral("--scale-high\n2.5\n")));

    CRalImgWnd& wnd = doc->GetImgWnd();
    QVERIFY(doc->IsModified());
    const CRalImage* image = wnd.GetImagePtr();
    PlateSolveSummary s;
    QVERIFY(PlateSolveSummarize(*image, &s));
    QVERIFY(std::fabs(s.scale - 2.0) < 1e-6);
    QVERIFY(frame.statusBar()->currentMessage().startsWith(Q("解: 中心 赤道座標 赤経:")));
    // The information bar at FITS pixel (65, 64), image row 128 − 64, reads the sky there.
    POINT p{};
    QVERIFY(wnd.GetViewInfo().PtImageToView(POINT{64, kSize - 64}, &p));
    CKivImageView* view = frame.ActiveView();
    QTest::mouseMove(view->viewport(), QPoint(p.x, p.y));
    const auto* physical = frame.InfoBar()->findChild<QLabel*>(QStringLiteral("physical"));
    QTRY_COMPARE(physical->text(), Q("赤道座標 赤経:03h47m24s.0 赤緯:+24ﾟ07'00\".0"));

    // Undo (Ctrl+Z) takes the coordinates back.
    QCOMPARE(QString::fromStdString(image->GetUndoDialogName()), Q("ﾌﾟﾚｰﾄｿﾙﾌﾞ"));
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(!PlateSolveSummarize(*wnd.GetImagePtr(), &s));

    // The options come back next time: the scale ticked with its bound, the folder.
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CDlgPlateSolve*>(QApplication::activeModalWidget());
      QVERIFY(dlg);
      const bool scale = Find<QGroupBox>(dlg, "PS_GB_SCALE")->isChecked();
      const double high = Find<QDoubleSpinBox>(dlg, "PS_ED_SCALEHIGH")->value();
      const QString folder = Find<QLineEdit>(dlg, "PS_ED_INDEX")->text();
      QTest::keyClick(dlg, Qt::Key_Escape);
      QVERIFY(scale);
      QCOMPARE(high, 2.5);
      QCOMPARE(folder, QString::fromStdString(index_));
    });
    ChooseFromMenu(frame, cmd::ID_PLATE_SOLVE);
    QVERIFY(!QApplication::activeModalWidget());
  }

  void stopAndEscapeKillTheSolverAndLeaveTheImage() {
    qputenv("FAKE_MODE", "hang");
    CRegistry::Write(kPlateSolveSection, kPlateSolveIndexDirKey, index_);
    CMainFrame frame;
    const std::string pid = out_ + "/child.pid";
    CKivImageDoc* doc = OpenAndSolve(frame, [&](CDlgPlateSolve* dlg) {
      QPushButton* stop = Find<QPushButton>(dlg, "PS_BTN_STOP");
      QPushButton* run = Find<QPushButton>(dlg, "PS_BTN_RUN");
      QVERIFY(!stop->isEnabled());
      // 中断 clicked once the solver has started its child.
      dlg->onProgress = [&](int) {
        if (!Running(pid) || !stop->isEnabled()) return;
        QVERIFY(!run->isEnabled());
        QTest::mouseClick(stop, Qt::LeftButton);
      };
      QTest::mouseClick(run, Qt::LeftButton);
      QCOMPARE(dlg->LastResult(), PSOLVE_CANCELLED);
      QVERIFY(dlg->isVisible());
      QCOMPARE(Find<QLabel>(dlg, "PS_STATUS")->text(), Q(platesolve_text::kStopped));
      QTRY_VERIFY(!Running(pid));
      QVERIFY(run->isEnabled() && !stop->isEnabled());
      // Escape during a run stops it and closes the dialog.
      QFile::remove(QString::fromStdString(pid));
      dlg->onProgress = [&](int) {
        if (Running(pid)) QTest::keyClick(dlg, Qt::Key_Escape);
      };
      QTest::mouseClick(run, Qt::LeftButton);
      QCOMPARE(dlg->LastResult(), PSOLVE_CANCELLED);
      QTRY_VERIFY(!Running(pid));
    });
    QVERIFY(doc);
    QVERIFY(!doc->IsModified());
    PlateSolveSummary s;
    QVERIFY(!PlateSolveSummarize(*doc->GetImgWnd().GetImagePtr(), &s));
    QVERIFY(!frame.Command(cmd::ID_EDIT_UNDO)->isEnabled());
  }

  void badHintMissingIndexFilesAndNoSolutionChangeNothing() {
    qputenv("FAKE_MODE", "solve");
    CMainFrame frame;
    CKivImageDoc* doc = OpenAndSolve(frame, [&](CDlgPlateSolve* dlg) {
      QPushButton* run = Find<QPushButton>(dlg, "PS_BTN_RUN");
      QLineEdit* ra = Find<QLineEdit>(dlg, "PS_ED_RA");
      Type(ra, QStringLiteral("25:00:00"));
      QTest::mouseClick(run, Qt::LeftButton);
      QCOMPARE(dlg->LastResult(), -1);  // nothing was run
      QCOMPARE(Find<QLabel>(dlg, "PS_STATUS")->text(), Q(platesolve_text::kBadRa));
      QCOMPARE(dlg->focusWidget(), ra);
      Type(ra, QStringLiteral("56.85"));
      // The default folder holds no index files here: the packages are named.
      Type(Find<QLineEdit>(dlg, "PS_ED_INDEX"), QString::fromStdString(out_));
      QTest::mouseClick(run, Qt::LeftButton);
      QCOMPARE(dlg->LastResult(), PSOLVE_NO_INDEX);
      QCOMPARE(box_.shown.size(), std::size_t{1});
      QVERIFY(box_.shown[0].text.find("astrometry-data-tycho2") != std::string::npos);
      QVERIFY(ReadFileOrEmpty(out_ + "/args.txt").empty());  // nothing was run
      // A search that ends without a solution says so and changes nothing.
      qputenv("FAKE_MODE", "unsolved");
      Type(Find<QLineEdit>(dlg, "PS_ED_INDEX"), QString::fromStdString(index_));
      QTest::mouseClick(run, Qt::LeftButton);
      QCOMPARE(dlg->LastResult(), PSOLVE_NO_SOLUTION);
      QVERIFY(Find<QLabel>(dlg, "PS_STATUS")->text().startsWith(Q("解けませんでした: ")));
      QVERIFY(dlg->isVisible());
      QTest::mouseClick(Find<QPushButton>(dlg, "PS_BTN_CLOSE"), Qt::LeftButton);
    });
    QVERIFY(doc);
    QVERIFY(!doc->IsModified());
    PlateSolveSummary s;
    QVERIFY(!PlateSolveSummarize(*doc->GetImgWnd().GetImagePtr(), &s));
  }

  // Pictures for a person to look at, with the real solver: VANTOREL_PS_FRAME names a
  // frame without coordinates, VANTOREL_PS_SHOT the start of the PNG names (the screen
  // while the dialog runs, and after the solve with the mouse on FITS pixel (400, 600)).
  // Skipped without them.
  void screenshotsOfARealSolve() {
    const QString path = qEnvironmentVariable("VANTOREL_PS_FRAME");
    const QString shot = qEnvironmentVariable("VANTOREL_PS_SHOT");
    if (path.isEmpty() || shot.isEmpty()) QSKIP("VANTOREL_PS_FRAME and VANTOREL_PS_SHOT unset");
    qputenv("PATH", path_);
    frame_ = path.toStdString();
    CMainFrame frame;
    bool grabbed = false;
    CKivImageDoc* doc = OpenAndSolve(frame, [&](CDlgPlateSolve* dlg) {
      dlg->onProgress = [&](int percent) {
        if (grabbed || percent < 1) return;
        grabbed = dlg->screen()->grabWindow(0).save(shot + QStringLiteral("-running.png"));
      };
      QTest::mouseClick(Find<QPushButton>(dlg, "PS_BTN_RUN"), Qt::LeftButton);
      QCOMPARE(dlg->LastResult(), PSOLVE_OK);
    });
    QVERIFY(doc);
    CKivImageView* view = frame.ActiveView();
    POINT p{};
    const int height = doc->GetImgWnd().GetImagePtr()->GetHeight();
    QVERIFY(doc->GetImgWnd().GetViewInfo().PtImageToView(POINT{399, height - 600}, &p));
    QTest::mouseMove(view->viewport(), QPoint(p.x, p.y));
    QTest::qWait(300);
    QVERIFY(frame.screen()->grabWindow(0).save(shot + QStringLiteral("-solved.png")));
    qInfo("%s",
          qPrintable(frame.InfoBar()->findChild<QLabel*>(QStringLiteral("physical"))->text()));
  }
};

QTEST_MAIN(PlateSolveDialogTest)
#include "platesolve_dialog_test.moc"
