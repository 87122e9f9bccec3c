// The light-curve dialog in the program, offscreen, with real key and mouse events: the
// stars clicked with the photometry tool become the target and the comparison, the menu
// item opens the dialog, a folder typed in fills the frames, Run draws one point with its
// error bar per frame kept and lists the frame without a time, and 中断 pressed during a
// run stops it after the frame under way.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "graph/qt/ctrlgraph2d.h"
#include "graph/qt/dlggraph2d.h"
#include "graph/qt/dlglightcurve.h"
#include "measure/qt/dlgaperture.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSize = 64;
constexpr int kFrames = 6;
constexpr int kUntimed = 2;  // this frame has no DATE-OBS
// The target left, the comparison right, both on row 32 (0-based).
constexpr double kTargetX = 20.0, kCompX = 44.0, kStarY = 32.0;

void PutCard(std::string& h, const std::string& card) {
  std::string c = card;
  c.resize(80, ' ');
  h += c;
}

std::string Value(const char* key, const std::string& value) {
  char buf[81];
  std::snprintf(buf, sizeof buf, "%-8s= %20s", key, value.c_str());
  return buf;
}

// A 64×64 float frame: sky 100, a ripple of ±3 that differs from frame to frame, and two
// Gaussian stars; the target loses 4 % of its light per frame.
bool WriteFrame(const std::string& path, int index, bool timed) {
  std::string h;
  PutCard(h, Value("SIMPLE", "T"));
  PutCard(h, Value("BITPIX", "-32"));
  PutCard(h, Value("NAXIS", "2"));
  PutCard(h, Value("NAXIS1", std::to_string(kSize)));
  PutCard(h, Value("NAXIS2", std::to_string(kSize)));
  if (timed) {
    char date[40];
    std::snprintf(date, sizeof date, "'2026-03-14T20:%02d:00'", 10 + index * 5);
    PutCard(h, Value("DATE-OBS", date));
    PutCard(h, Value("EXPTIME", "60.0"));
  }
  PutCard(h, "END");
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  std::string data;
  const double target = 20000.0 * (1.0 - 0.04 * index), comp = 20000.0;
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      auto star = [&](double cx, double flux) {
        const double r2 = (x - cx) * (x - cx) + (y - kStarY) * (y - kStarY);
        return flux / (2 * M_PI * 2.0 * 2.0) * std::exp(-r2 / (2 * 2.0 * 2.0));
      };
      const double v = 100.0 + 3.0 * std::sin(0.7 * x + 1.3 * y + index) + star(kTargetX, target) +
                       star(kCompX, comp);
      const float f = static_cast<float>(v);
      std::uint32_t bits;
      std::memcpy(&bits, &f, 4);
      for (int s = 24; s >= 0; s -= 8) data += static_cast<char>((bits >> s) & 0xff);
    }
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  const bool ok = std::fwrite(h.data(), 1, h.size(), out) == h.size() &&
                  std::fwrite(data.data(), 1, data.size(), out) == data.size();
  return std::fclose(out) == 0 && ok;
}

template <typename T>
T* Find(QWidget* w, const char* name) {
  T* c = w->findChild<T*>(QString::fromLatin1(name));
  if (!c) qFatal("no control %s", name);
  return c;
}

QPoint Screen(CKivImageView* view, POINT pixel) {
  POINT p;
  view->GetImgWnd().GetViewInfo().PtImageToView(pixel, &p);
  return QPoint(p.x, p.y);
}

}  // namespace

class LightCurveDialogTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  QString folder_;

  static CDlgLightCurve* Fail(int step) {
    qWarning("opening the light-curve dialog failed at step %d", step);
    return nullptr;
  }

  // The program with the first frame open, the photometry tool on (circles, automatic)
  // and the target and the comparison clicked; then ﾗｲﾄｶｰﾌﾞ chosen from the menu.
  CDlgLightCurve* OpenDialog(CMainFrame& frame) {
    frame.resize(1000, 800);
    frame.show();
    if (!QTest::qWaitForWindowExposed(&frame)) return Fail(1);
    if (!frame.OpenDocumentFile(folder_ + QStringLiteral("/frame00.fits"))) return Fail(2);
    CKivImageView* view = frame.ActiveView();
    ChoosePhotometry(frame, "circle");
    if (QTest::currentTestFailed()) return Fail(3);
    for (double x : {kTargetX, kCompX})
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                        Screen(view, POINT{static_cast<int>(x), static_cast<int>(kStarY)}));
    if (view->GetImgWnd().GetApertureTool().GetAperture().GetLiveCount() != 2) return Fail(5);
    // The photometry dialog has the focus now: the menu is chosen with the mouse.
    ChooseFromMenu(frame, cmd::ID_LIGHTCURVE);
    return frame.LightCurveDialog();
  }

  void ChooseFolder(CDlgLightCurve* dlg) {
    QLineEdit* folder = Find<QLineEdit>(dlg, "LC_ED_FOLDER");
    folder->setFocus();
    QTest::keyClicks(folder, folder_);
    QTest::keyClick(folder, Qt::Key_Return);
  }

 private slots:
  void init() {
    SetUpApp();
    folder_ = QString::fromStdString(dir_->path());
    for (int i = 0; i < kFrames; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame%02d.fits", i);
      QVERIFY(WriteFrame(dir_->path() + name, i, i != kUntimed));
    }
  }
  void cleanup() { TearDownApp(); }

  void runPlotsTheKeptFramesAndListsTheOneLeftOut() {
    CMainFrame frame;
    CDlgLightCurve* dlg = OpenDialog(frame);
    QVERIFY(dlg);
    QVERIFY(dlg->isVisible());
    QCOMPARE(dlg->windowTitle(), QString::fromUtf8("ﾗｲﾄｶｰﾌﾞ"));
    // The two marks, target first, shown 1-based near where they were clicked.
    QListWidget* stars = Find<QListWidget>(dlg, "LC_STARS");
    QCOMPARE(stars->count(), 2);
    QVERIFY(stars->item(0)->text().startsWith(QString::fromUtf8("目的星")));
    QVERIFY(stars->item(0)->text().contains(QStringLiteral("(21.0, ")));
    QVERIFY(stars->item(1)->text().contains(QStringLiteral("(45.0, ")));
    QPushButton* run = Find<QPushButton>(dlg, "LC_BTN_RUN");
    QVERIFY(!run->isEnabled());  // no frames yet
    ChooseFolder(dlg);
    QCOMPARE(Find<QListWidget>(dlg, "LC_FILES")->count(), kFrames);
    QVERIFY(run->isEnabled());
    QTest::mouseClick(run, Qt::LeftButton);
    QVERIFY(!dlg->IsRunning());

    const LightCurveResult& r = dlg->Result();
    QVERIFY(!r.stopped);
    QCOMPARE(r.keptCount(), kFrames - 1);
    QCOMPARE(Find<QProgressBar>(dlg, "LC_PROGRESS")->value(), kFrames);
    CCtrlGraph2D* graph = dlg->Graph();
    QCOMPARE(graph->GetPoints().size(), std::size_t{kFrames - 1});
    QVERIFY(graph->IsYDown());
    // The target loses 4 % of its first light a frame: each later point is fainter, the
    // last (frame 5, 80 % of the light) by 2.5 log10(1 / 0.8); every point carries its
    // error bar.
    const std::vector<GraphPoint>& pts = graph->GetPoints();
    for (std::size_t i = 0; i < pts.size(); ++i) {
      QVERIFY(pts[i].error > 0.0 && pts[i].error < 0.05);
      if (i > 0) QVERIFY(pts[i].x > pts[i - 1].x && pts[i].y > pts[i - 1].y);
    }
    const double expected = 2.5 * std::log10(1.0 / 0.8);
    QVERIFY2(std::fabs(pts.back().y - pts.front().y - expected) < 0.02,
             qPrintable(QString::number(pts.back().y - pts.front().y)));
    // MJD of the first frame's middle: 2026-03-14 20:10:30 UTC.
    QVERIFY(std::fabs(pts.front().x - (61113.0 + (20 * 3600 + 10 * 60 + 30) / 86400.0)) < 1e-7);
    // The frame without a time is listed with its reason.
    QListWidget* left = Find<QListWidget>(dlg, "LC_LEFTOUT");
    QCOMPARE(left->count(), 1);
    QVERIFY(left->item(0)->text().startsWith(QStringLiteral("frame02.fits: ")));
    QVERIFY(left->item(0)->text().contains(QStringLiteral("DATE-OBS")));

    // The time axis zooms: twice the magnification, and the whole curve again.
    const double fit = graph->GetHrzMag();
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_ZOOMIN"), Qt::LeftButton);
    QCOMPARE(graph->GetHrzMag(), 2 * fit);
    QVERIFY(Find<QScrollBar>(dlg, "LC_SCROLL")->isEnabled());
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_ZOOMFIT"), Qt::LeftButton);
    QCOMPARE(graph->GetHrzMag(), fit);
    // JD instead of MJD moves every point by 2400000.5 days.
    const double mjd0 = pts.front().x;
    QComboBox* time = Find<QComboBox>(dlg, "LC_CB_TIME");
    time->setFocus();
    QTest::keyClick(time, Qt::Key_Down);
    QCOMPARE(time->currentIndex(), 1);
    QCOMPARE(graph->GetPoints().front().x, mjd0 + 2400000.5);
    QCOMPARE(QString::fromStdString(graph->PointsXTitle()),
             QString::fromUtf8(lightcurve_text::kJdTitle));

    // The points are exported as CSV, one row each under the heading.
    const QString csv = QString::fromStdString(dir_->File("curve.csv"));
    QVERIFY(dlg->WriteText(csv));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count('\n'), kFrames);
  }

  void stopDuringARunEndsItAfterTheFrame() {
    CMainFrame frame;
    CDlgLightCurve* dlg = OpenDialog(frame);
    QVERIFY(dlg);
    ChooseFolder(dlg);
    QPushButton* stop = Find<QPushButton>(dlg, "LC_BTN_STOP");
    QVERIFY(!stop->isEnabled());
    int calls = 0;
    bool stopEnabled = false, runDisabled = false;
    dlg->onFrameDone = [&](int done, int) {
      ++calls;
      if (done == 1) {
        stopEnabled = stop->isEnabled();
        runDisabled = !Find<QPushButton>(dlg, "LC_BTN_RUN")->isEnabled();
        QTest::mouseClick(stop, Qt::LeftButton);
      }
    };
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_RUN"), Qt::LeftButton);
    QVERIFY(stopEnabled);
    QVERIFY(runDisabled);
    QCOMPARE(calls, 1);
    QVERIFY(dlg->Result().stopped);
    QVERIFY(!dlg->IsRunning());
    QVERIFY(!stop->isEnabled());
    QVERIFY(Find<QPushButton>(dlg, "LC_BTN_RUN")->isEnabled());
    QVERIFY(Find<QLabel>(dlg, "LC_STATUS")->text().contains(QString::fromUtf8("中断しました")));
    QVERIFY(static_cast<int>(dlg->Graph()->GetPoints().size()) <= 1);
  }

  // The frames of the open windows, each read from its window; and the curve printed.
  void openWindowsAsFramesAndPrinting() {
    CMainFrame frame;
    CDlgLightCurve* dlg = OpenDialog(frame);
    QVERIFY(dlg);
    QVERIFY(frame.OpenDocumentFile(folder_ + QStringLiteral("/frame03.fits")));
    QVERIFY(frame.OpenDocumentFile(folder_ + QStringLiteral("/frame05.fits")));
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_WINDOWS"), Qt::LeftButton);
    QListWidget* files = Find<QListWidget>(dlg, "LC_FILES");
    QCOMPARE(files->count(), 3);
    QCOMPARE(files->item(0)->text(), QStringLiteral("frame00.fits"));
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_RUN"), Qt::LeftButton);
    QCOMPARE(dlg->Result().keptCount(), 3);
    const std::vector<GraphPoint>& pts = dlg->Graph()->GetPoints();
    QCOMPARE(pts.size(), std::size_t{3});
    // Frames 0, 3 and 5: 100 %, 88 % and 80 % of the target's light.
    QVERIFY(std::fabs(pts[1].y - pts[0].y - 2.5 * std::log10(1 / 0.88)) < 0.02);
    QVERIFY(std::fabs(pts[2].y - pts[0].y - 2.5 * std::log10(1 / 0.8)) < 0.02);

    const QString pdf = QString::fromStdString(dir_->File("curve.pdf"));
    dlg->onChoosePrinter = [&](QPrinter& printer) {
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(pdf);
      return true;
    };
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_PRINT"), Qt::LeftButton);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(box_.shown[0].text), QString::fromUtf8(graph_text::kPrinted));
    QFile printed(pdf);
    QVERIFY(printed.open(QIODevice::ReadOnly));
    QVERIFY(printed.read(5) == "%PDF-");
    QVERIFY(printed.size() > 1000);
  }

  // Closing the program while a run is under way stops the run and keeps the program.
  void closingTheFrameDuringARunStopsIt() {
    CMainFrame frame;
    CDlgLightCurve* dlg = OpenDialog(frame);
    QVERIFY(dlg);
    ChooseFolder(dlg);
    bool closed = true;
    dlg->onFrameDone = [&](int done, int) {
      if (done == 2) closed = frame.close();
    };
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_RUN"), Qt::LeftButton);
    QVERIFY(!closed);
    QVERIFY(frame.isVisible());
    QVERIFY(dlg->Result().stopped);
    QVERIFY(box_.shown.empty());  // the exit question was not reached
  }

  void noMarksNoRun() {
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(folder_ + QStringLiteral("/frame00.fits")));
    QTest::keyClick(&frame, Qt::Key_I, Qt::AltModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QTest::keyClick(menu, Qt::Key_L);
    CDlgLightCurve* dlg = frame.LightCurveDialog();
    QVERIFY(dlg && dlg->isVisible());
    ChooseFolder(dlg);
    QCOMPARE(Find<QListWidget>(dlg, "LC_STARS")->count(), 0);
    QVERIFY(!Find<QPushButton>(dlg, "LC_BTN_RUN")->isEnabled());
    QCOMPARE(Find<QLabel>(dlg, "LC_STATUS")->text(), QString::fromUtf8(lightcurve_text::kNoStars));
  }
  // A picture of the dialog after a run over a night of frames, for a person to look at:
  // VANTOREL_LC_NIGHT names the folder (night*.fits and stars.txt, 0-based x y per line,
  // the target first), VANTOREL_LC_SHOT the PNG to write. Skipped without them.
  void screenshotOfANight() {
    const QString night = qEnvironmentVariable("VANTOREL_LC_NIGHT");
    const QString shot = qEnvironmentVariable("VANTOREL_LC_SHOT");
    if (night.isEmpty() || shot.isEmpty()) QSKIP("VANTOREL_LC_NIGHT and VANTOREL_LC_SHOT unset");
    QFile list(night + QStringLiteral("/stars.txt"));
    QVERIFY(list.open(QIODevice::ReadOnly | QIODevice::Text));
    std::vector<POINT> stars;
    for (const QByteArray& line : list.readAll().split('\n')) {
      const QList<QByteArray> xy = line.simplified().split(' ');
      if (xy.size() == 2)
        stars.push_back(POINT{static_cast<int>(std::lround(xy[0].toDouble())),
                              static_cast<int>(std::lround(xy[1].toDouble()))});
    }
    QVERIFY(stars.size() >= 2);
    CMainFrame frame;
    frame.resize(1200, 950);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(night + QStringLiteral("/night000.fits")));
    CKivImageView* view = frame.ActiveView();
    // The mode question is answered once it shows (the menu's clicks run first).
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<CDlgApertureMode*>(QApplication::activeModalWidget());
      if (!dialog) return;
      answer.stop();
      auto* radio = dialog->findChild<QRadioButton*>(QStringLiteral("circle"));
      QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(5, radio->height() / 2));
      QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
    });
    answer.start(20);
    ChooseFromMenu(frame, cmd::ID_APERTURE);
    answer.stop();
    QVERIFY(view->GetImgWnd().IsApertureOpenDlgShown());
    // Semi-automatic: the disc and ring of the dialog's radii where clicked.
    CDlgAperture* aperture = view->GetImgWnd().GetDlgAperture();
    QVERIFY(aperture);
    QTest::mouseClick(aperture->findChild<QRadioButton*>(QStringLiteral("semi")), Qt::LeftButton,
                      {}, QPoint(5, 5));
    // The list counts rows as the file stores them; the window may keep them bottom-up.
    const CRalImage& image = *view->GetImgWnd().GetImagePtr();
    for (POINT p : stars) {
      const POINT flipped{p.x, image.GetHeight() - 1 - p.y};
      if (image.GetPixel(flipped.x, flipped.y) > image.GetPixel(p.x, p.y)) p = flipped;
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, Screen(view, p));
    }
    QCOMPARE(view->GetImgWnd().GetApertureTool().GetAperture().GetLiveCount(),
             static_cast<int>(stars.size()));
    ChooseFromMenu(frame, cmd::ID_LIGHTCURVE);
    CDlgLightCurve* dlg = frame.LightCurveDialog();
    QVERIFY(dlg);
    dlg->resize(1150, 720);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    folder_ = night;
    ChooseFolder(dlg);
    QTest::mouseClick(Find<QPushButton>(dlg, "LC_BTN_RUN"), Qt::LeftButton);
    QVERIFY(dlg->Result().keptCount() > 0);
    QCoreApplication::processEvents();
    QVERIFY(dlg->grab().save(shot));
  }
};

QTEST_MAIN(LightCurveDialogTest)
#include "lightcurve_dialog_test.moc"
