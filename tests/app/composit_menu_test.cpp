// The composite from the program's menu, with real keys and clicks: the sample field and a
// copy of it moved by whole pixels with numpy; image matching in the dialog finds the move
// and the subtraction of the matched copy leaves only noise where a plain subtraction
// leaves the stars.
#include <QApplication>
#include <QComboBox>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cmath>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "controls/spinedit.h"
#include "dialogs/dlgcomposit.h"
#include "dialogs/dlgmatching.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 240, kH = 200, kMoveX = 9, kMoveY = -5;

// The largest |value| inside the part both frames cover, away from its edges.
double LargestInside(const CRalImage& image) {
  double most = 0.0;
  for (int y = 15; y < kH - 15; ++y)
    for (int x = 15 + kMoveX; x < kW - 15; ++x)
      most = std::max(most, std::fabs(image.GetPixel(x, y)));
  return most;
}

}  // namespace

class CompositMenuTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Chooses the composite from the keyboard; body runs in the dialog.
  static bool RunComposit(CMainFrame& frame, const std::function<void(CDlgComposit*)>& body) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CDlgComposit*>(QApplication::activeModalWidget());
      if (!dlg) return;
      ran = true;
      body(dlg);
      if (dlg->isVisible()) dlg->reject();
    });
    // The arithmetic menu clicked in the menu bar, then its composite entry.
    QMenuBar* bar = frame.menuBar();
    QAction* arith = nullptr;
    for (QAction* a : bar->actions())
      if (a->text() == QString::fromUtf8("画像演算(&C)")) arith = a;
    if (!arith) return false;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(arith).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return false;
    QAction* entry = frame.Command(cmd::ID_COMPOSIT);
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    return ran;
  }

 private slots:
  void matchedSubtractionFromTheMenu() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    AcceptingPrompts accept;
    ScopedUserPrompts prompts(&accept);
    TempDir dir;
    const std::string a = dir.File("a.fits"), b = dir.File("b.fits");
    QCOMPARE(WriteSampleStarField(a, kW, kH), 0);
    // b: a moved right by kMoveX and along the rows by kMoveY, the uncovered part the sky.
    const QString script = QStringLiteral(
        "import sys, numpy as np\nfrom astropy.io import fits\n"
        "d = fits.getdata(sys.argv[1]).astype(np.float32)\n"
        "sx, sy = int(sys.argv[3]), int(sys.argv[4])\n"
        "out = np.full_like(d, np.median(d))\n"
        "h, w = d.shape\n"
        "out[max(sy,0):h+min(sy,0), max(sx,0):w+min(sx,0)] = "
        "d[max(-sy,0):h-max(sy,0), max(-sx,0):w-max(sx,0)]\n"
        "fits.PrimaryHDU(out).writeto(sys.argv[2])\n");
    QProcess py;
    py.start("/usr/bin/python3",
             {"-c", script, QString::fromStdString(a), QString::fromStdString(b),
              QString::number(kMoveX), QString::number(kMoveY)});
    QVERIFY(py.waitForFinished(60000));
    QCOMPARE(py.exitCode(), 0);

    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(b)));
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(a));
    QVERIFY(doc);
    frame.OpenDocumentFile(QString::fromStdString(a));  // a in front
    QVERIFY(frame.Command(cmd::ID_COMPOSIT)->isEnabled());
    CRalImgWnd& wnd = doc->GetImgWnd();
    const CRalImage original(*wnd.GetImagePtr());

    // A plain subtraction previewed leaves the stars; Cancel takes it back.
    double plain = 0;
    QVERIFY(RunComposit(frame, [&](CDlgComposit* dlg) {
      auto* method = dlg->findChild<QComboBox*>(QString::number(CDlgComposit::IDC_METHOD));
      QCOMPARE(dlg->findChild<QComboBox*>(QString::number(CDlgComposit::IDC_IMAGE))->currentText(),
               QString("b.fits"));
      method->setFocus();
      for (int i = 0; i < 3; ++i) QTest::keyClick(method, Qt::Key_Down);
      QTRY_VERIFY(dlg->IsPreviewApplied() && !dlg->IsPreviewRunning() &&
                  wnd.GetImagePtr()->GetPixel(kW / 2, kH / 2) != original.GetPixel(kW / 2, kH / 2));
      plain = LargestInside(*wnd.GetImagePtr());
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    }));
    int differing = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        differing += !(wnd.GetImagePtr()->GetPixel(x, y) == original.GetPixel(x, y));
    QCOMPARE(differing, 0);
    QCOMPARE(wnd.GetImagePtr()->GetLevelMin(0), original.GetLevelMin(0));

    // Matched first: only noise is left.
    double dx = 0, dy = 0;
    QVERIFY(RunComposit(frame, [&](CDlgComposit* dlg) {
      auto* method = dlg->findChild<QComboBox*>(QString::number(CDlgComposit::IDC_METHOD));
      method->setFocus();
      for (int i = 0; i < 3; ++i) QTest::keyClick(method, Qt::Key_Down);
      QTimer::singleShot(0, [] {
        auto* settings = qobject_cast<CDlgMatching*>(QApplication::activeModalWidget());
        if (settings) QTest::mouseClick(settings->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      });
      QTest::mouseClick(dlg->findChild<QPushButton*>(QString::number(CDlgComposit::IDC_MATCHING)),
                        Qt::LeftButton);
      dx = dlg->GetShiftX();
      dy = dlg->GetShiftY();
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    }));
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    // The rows of the image run as the file's; the move along them may show either sign.
    QVERIFY2(std::fabs(dx + kMoveX) < 0.05, qPrintable(QString::number(dx)));
    QVERIFY2(std::fabs(std::fabs(dy) - std::abs(kMoveY)) < 0.05, qPrintable(QString::number(dy)));
    const double matched = LargestInside(*wnd.GetImagePtr());
    QVERIFY2(matched < plain / 20, qPrintable(QString("%1 %2").arg(matched).arg(plain)));
    QCOMPARE(QString::fromStdString(wnd.GetImagePtr()->GetUndoDialogName()),
             QString::fromUtf8("ｺﾝﾎﾟｼﾞｯﾄ"));
  }
};

QTEST_MAIN(CompositMenuTest)
#include "composit_menu_test.moc"
