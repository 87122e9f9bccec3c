// The blink comparator from the program's menu, with real keys and clicks: the sample field
// and a copy of it moved by whole pixels with numpy and given one new bright spot. Moved
// back by the dialog, the two painted frames agree everywhere but at the spot; stopping
// paints the image as before, and the image keeps its pixels through start, stop and
// Cancel.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <vector>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "controls/spinedit.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgblinkcompareter.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 240, kH = 200, kMoveX = 9, kMoveY = -5;
// The bright spot's corner in the moved copy (numpy's columns and rows), 5 x 5 pixels.
constexpr int kSpotX = 150, kSpotY = 90;

QImage Grab(const CKivImageView* view) {
  QImage grab(view->viewport()->size(), QImage::Format_RGB32);
  grab.fill(Qt::magenta);
  QPainter painter(&grab);
  view->DrawImage(painter);
  return grab;
}

int Grey(QRgb c) {
  return (qRed(c) + qGreen(c) + qBlue(c)) / 3;
}

int DifferingPixels(const CRalImage& a, const CRalImage& b) {
  int n = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) n += !(a.GetPixel(x, y) == b.GetPixel(x, y));
  return n;
}

}  // namespace

class BlinkCompareterTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Chooses the entry from the menu bar with clicks; body runs in the dialog.
  static bool Run(CMainFrame& frame, const std::function<void(CDlgBlinkCompareter*)>& body) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CDlgBlinkCompareter*>(QApplication::activeModalWidget());
      if (!dlg) return;
      ran = true;
      body(dlg);
      if (dlg->isVisible()) dlg->reject();
    });
    QMenuBar* bar = frame.menuBar();
    QAction* arith = nullptr;
    for (QAction* a : bar->actions())
      if (a->text() == QString::fromUtf8("画像演算(&C)")) arith = a;
    if (!arith) return false;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(arith).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return false;
    QAction* entry = frame.Command(cmd::ID_BLINK_COMPARETER);
    if (!entry || entry->text() != QString::fromUtf8("ﾌﾞﾘﾝｸｺﾝﾊﾟﾚｰﾀ(&K)...")) return false;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    return ran;
  }

  static void Type(CSpinEdit* edit, int value) {
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, QString::number(value));
  }

 private slots:
  void framesAlternateAlignedAndTheImageStays() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    AcceptingPrompts accept;
    ScopedUserPrompts prompts(&accept);
    TempDir dir;
    const std::string a = dir.File("a.fits"), b = dir.File("b.fits");
    QCOMPARE(WriteSampleStarField(a, kW, kH), 0);
    const QString script = QStringLiteral(
        "import sys, numpy as np\nfrom astropy.io import fits\n"
        "d = fits.getdata(sys.argv[1]).astype(np.float32)\n"
        "sx, sy, px, py = (int(v) for v in sys.argv[3:7])\n"
        "out = np.full_like(d, np.median(d))\n"
        "h, w = d.shape\n"
        "out[max(sy,0):h+min(sy,0), max(sx,0):w+min(sx,0)] = "
        "d[max(-sy,0):h-max(sy,0), max(-sx,0):w-max(sx,0)]\n"
        "out[py:py+5, px:px+5] = d.max()\n"
        "iy, ix = np.unravel_index(np.argmax(d[20:-20, 20:-20]), (h - 40, w - 40))\n"
        "iy, ix = iy + 20 + sy, ix + 20 + sx\n"
        "out[iy-6:iy+7, ix-6:ix+7] = np.median(d)\n"
        "fits.PrimaryHDU(out).writeto(sys.argv[2])\n");
    QProcess py;
    py.start("/usr/bin/python3",
             {"-c", script, QString::fromStdString(a), QString::fromStdString(b),
              QString::number(kMoveX), QString::number(kMoveY), QString::number(kSpotX),
              QString::number(kSpotY)});
    QVERIFY(py.waitForFinished(60000));
    QCOMPARE(py.exitCode(), 0);

    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* docB = frame.OpenDocumentFile(QString::fromStdString(b));
    QVERIFY(docB);
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(a));
    QVERIFY(doc);
    QVERIFY(frame.Command(cmd::ID_BLINK_COMPARETER)->isEnabled());
    CRalImgWnd& wnd = doc->GetImgWnd();
    const CRalImage original(*wnd.GetImagePtr());
    const CRalImage& moved = *docB->GetImgWnd().GetImagePtr();
    // The rows in memory may run either way from the file's: the copy tells which (all but
    // the few pixels changed in it agree).
    int rowSign = 0;
    for (int s : {1, -1}) {
      int agree = 0, all = 0;
      for (int y = 20; y < kH - 20; y += 7)
        for (int x = 20; x < kW - 20; x += 5, ++all)
          agree += moved.GetPixel(x + kMoveX, y + s * kMoveY) == original.GetPixel(x, y);
      if (agree > all * 9 / 10) rowSign = s;
    }
    QVERIFY(rowSign != 0);
    CKivImageView* view = frame.ActiveView();
    QVERIFY(view && &view->GetImgWnd() == &wnd);
    // The new window settles to its size first.
    QSize size;
    do {
      size = view->viewport()->size();
      QTest::qWait(100);
    } while (size != view->viewport()->size());
    const QImage before = Grab(view);

    // Where the spot lies in the source's pixels and on the screen.
    int spotX = -1, spotY = -1;
    double brightest = -1e300;
    for (int y = 10; y < kH - 10; ++y)
      for (int x = 10; x < kW - 10; ++x) {
        const double d = moved.GetPixel(x + kMoveX, y + rowSign * kMoveY) - original.GetPixel(x, y);
        if (d > brightest) brightest = d, spotX = x, spotY = y;
      }
    QVERIFY(brightest > 0);
    // The brightest star inside, gone from the copy.
    int starX = -1, starY = -1;
    double peak = -1e300;
    for (int y = 20; y < kH - 20; ++y)
      for (int x = 20; x < kW - 20; ++x)
        if (original.GetPixel(x, y) > peak) peak = original.GetPixel(x, y), starX = x, starY = y;

    QVERIFY(Run(frame, [&](CDlgBlinkCompareter* dlg) {
      QCOMPARE(dlg->findChild<CComboImage*>(QString::number(CDlgBlinkCompareter::IDC_IMAGE))
                   ->currentText(),
               QString("b.fits"));
      auto* sx = dlg->findChild<CSpinEdit*>(QString::number(CDlgBlinkCompareter::IDC_SHIFT_X));
      auto* sy = dlg->findChild<CSpinEdit*>(QString::number(CDlgBlinkCompareter::IDC_SHIFT_Y));
      Type(sx, -kMoveX);
      Type(sy, -rowSign * kMoveY);
      // The average is previewed on the image.
      QTRY_VERIFY(dlg->IsPreviewApplied() && !dlg->IsPreviewRunning() &&
                  DifferingPixels(*wnd.GetImagePtr(), original) > 0);
      auto* start = dlg->findChild<QPushButton*>(QString::number(CDlgBlinkCompareter::IDC_START));
      QTest::mouseClick(start, Qt::LeftButton);
      QVERIFY(dlg->IsRunning());
      QCOMPARE(start->text(), QString::fromUtf8("停止(&E)"));
      QVERIFY(!dlg->IsPreviewOn());
      QCOMPARE(DifferingPixels(*wnd.GetImagePtr(), original), 0);
      QTRY_VERIFY(wnd.IsBlink() && wnd.GetBlinkFrame() == 1);
      const QImage second = Grab(view);
      QTRY_VERIFY(wnd.IsBlink() && wnd.GetBlinkFrame() == 0);
      const QImage first = Grab(view);
      QTRY_VERIFY(wnd.IsBlink() && wnd.GetBlinkFrame() == 1);
      QCOMPARE(Grab(view), second);
      // The first frame is the image as painted before.
      QCOMPARE(first, before);
      // The second agrees with it inside the part both cover, but at the spot.
      int off = 0, inside = 0;
      for (int y = 0; y < second.height(); ++y)
        for (int x = 0; x < second.width(); ++x) {
          POINT p{};
          if (!wnd.GetViewInfo().PtViewToImage(POINT{x, y}, &p)) continue;
          if (p.x < 15 || p.x >= kW - 15 - kMoveX || p.y < 15 || p.y >= kH - 15) continue;
          if (std::abs(p.x - spotX) <= 8 && std::abs(p.y - spotY) <= 8) continue;
          if (std::abs(p.x - starX) <= 8 && std::abs(p.y - starY) <= 8) continue;
          ++inside;
          off += std::abs(Grey(second.pixel(x, y)) - Grey(first.pixel(x, y))) > 2;
        }
      QVERIFY(inside > 1000);
      QVERIFY2(off == 0, qPrintable(QString("%1 of %2").arg(off).arg(inside)));
      POINT spot{};
      QVERIFY(wnd.GetViewInfo().PtImageToView(POINT{spotX, spotY}, &spot));
      QVERIFY(Grey(second.pixel(spot.x, spot.y)) > Grey(first.pixel(spot.x, spot.y)) + 50);
      // Only the other image is shown: where its star is gone, the sky's grey (the median
      // of the first frame inside), not a trace of the star.
      std::vector<int> greys;
      for (int y = 0; y < first.height(); y += 3)
        for (int x = 0; x < first.width(); x += 3) {
          POINT p{};
          if (wnd.GetViewInfo().PtViewToImage(POINT{x, y}, &p) && p.x >= 15 && p.x < kW - 15 &&
              p.y >= 15 && p.y < kH - 15)
            greys.push_back(Grey(first.pixel(x, y)));
        }
      QVERIFY(!greys.empty());
      std::nth_element(greys.begin(), greys.begin() + greys.size() / 2, greys.end());
      const int sky = greys[greys.size() / 2];
      POINT star{};
      QVERIFY(wnd.GetViewInfo().PtImageToView(POINT{starX, starY}, &star));
      QVERIFY(Grey(first.pixel(star.x, star.y)) > sky + 50);
      QVERIFY2(std::abs(Grey(second.pixel(star.x, star.y)) - sky) <= 3,
               qPrintable(QString("%1 %2").arg(Grey(second.pixel(star.x, star.y))).arg(sky)));

      QTest::mouseClick(start, Qt::LeftButton);
      QVERIFY(!dlg->IsRunning());
      QCOMPARE(start->text(), QString::fromUtf8("開始(&S)"));
      QVERIFY(dlg->IsPreviewOn());
      QVERIFY(!wnd.IsBlink());
      QCOMPARE(Grab(view), before);
      QCOMPARE(DifferingPixels(*wnd.GetImagePtr(), original), 0);
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    }));
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    QVERIFY(!wnd.IsBlink());
    QCOMPARE(DifferingPixels(*wnd.GetImagePtr(), original), 0);

    // Cancel while blinking: the blink ends and the image is as it was.
    QVERIFY(Run(frame, [&](CDlgBlinkCompareter* dlg) {
      QTest::mouseClick(
          dlg->findChild<QPushButton*>(QString::number(CDlgBlinkCompareter::IDC_START)),
          Qt::LeftButton);
      QTRY_VERIFY(wnd.IsBlink());
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    }));
    QVERIFY(!wnd.IsBlink());
    QCOMPARE(DifferingPixels(*wnd.GetImagePtr(), original), 0);
    QCOMPARE(Grab(view), before);
  }
};

QTEST_MAIN(BlinkCompareterTest)
#include "blink_compareter_test.moc"
