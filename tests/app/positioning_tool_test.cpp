// Positioning in the program, offscreen, with real key and mouse events: the menu opens
// the dialog, two clicks on one star give one row, a detection rectangle dragged over the
// image lists its stars and draws their crosses, and the save and restore questions carry
// the rows through a FITS file.
#include <QDoubleSpinBox>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QtTest>
#include <cmath>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "measure/phottable.h"
#include "measure/qt/dlgpositioning.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/temp_dir.h"

class PositioningToolTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  static QPoint Screen(CKivImageView* view, POINT pixel) {
    POINT p;
    view->GetImgWnd().GetViewInfo().PtImageToView(pixel, &p);
    return QPoint(p.x, p.y);
  }

  static void Click(QWidget* w) {
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(5, w->height() / 2));
  }

  static void Drag(CKivImageView* view, POINT from, POINT to) {
    const QPoint a = Screen(view, from), b = Screen(view, to);
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, a);
    QMouseEvent move(QEvent::MouseMove, QPointF(b), view->viewport()->mapToGlobal(QPointF(b)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, b);
  }

 private slots:
  void init() { SetUpApp(); }
  void cleanup() { TearDownApp(); }

  void clicksAndDetectionListedDrawnSavedAndRestored() {
    const std::string path = dir_->File("sample.fits");
    std::vector<SampleStar> placed;
    QCOMPARE(WriteSampleStarField(path, 320, 240, 20240601u, &placed), 0);
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();

    QTest::keyClick(&frame, Qt::Key_I, Qt::AltModifier);
    QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QTest::keyClick(menu, Qt::Key_P);
    QVERIFY(wnd.IsPositioningDlgShown());
    CDlgPositioning* dlg = wnd.GetPositionTool().GetDlg();
    QVERIFY(dlg);
    const CPositioning& pos = wnd.GetPositionTool().GetPositioning();

    // Centroid, automatic: two clicks near the brightest star inside the edges (of those
    // centred near a pixel's middle, so both centres round alike) give one row.
    Click(dlg->findChild<QRadioButton*>(QStringLiteral("centroid")));
    Click(dlg->findChild<QRadioButton*>(QStringLiteral("auto")));
    const SampleStar* bright = nullptr;
    for (const SampleStar& s : placed)
      if (s.x > 20 && s.y > 20 && s.x < 300 && s.y < 220 &&
          std::fabs(s.x - std::round(s.x)) < 0.15 && std::fabs(s.y - std::round(s.y)) < 0.15 &&
          (!bright || s.amplitude > bright->amplitude))
        bright = &s;
    QVERIFY(bright);
    const POINT star{static_cast<int>(std::lround(bright->x)),
                     static_cast<int>(std::lround(bright->y))};
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, Screen(view, star));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      Screen(view, POINT{star.x + 1, star.y}));
    QCOMPARE(dlg->List()->count(), 1);
    QVERIFY(dlg->List()->item(0)->text().contains(QStringLiteral("CENTROID")));
    QVERIFY(std::hypot(pos.GetItem(0).m_dX - bright->x, pos.GetItem(0).m_dY - bright->y) < 0.5);

    // Detection over the whole image.
    Click(dlg->findChild<QRadioButton*>(QStringLiteral("search")));
    QVERIFY(!dlg->findChild<QRadioButton*>(QStringLiteral("auto"))->isEnabled());
    Drag(view, POINT{0, 0}, POINT{319, 239});
    const int rows = pos.GetLiveCount();
    QVERIFY(rows > 5);
    QCOMPARE(dlg->List()->count(), rows);
    QVERIFY(dlg->List()->item(rows - 1)->text().contains(QStringLiteral("SEARCH")));
    // The crosses are painted in their colours.
    QImage grab(view->viewport()->size(), QImage::Format_RGB32);
    {
      QPainter painter(&grab);
      view->DrawImage(painter);
    }
    int green = 0;
    for (int y = 0; y < grab.height(); ++y)
      for (int x = 0; x < grab.width(); ++x) green += grab.pixel(x, y) == qRgb(0, 255, 0);
    QVERIFY(green >= 16 * (rows - 1));

    const QString saved = dir_->File("measured.fits").c_str();
    box_.Answer(IDYES);
    QVERIFY(frame.ActiveDocument()->OnSaveDocument(saved));
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].style & MB_TYPEMASK, MB_YESNOCANCEL);
    QCOMPARE(box_.shown[0].text, std::string(kPosSaveQuestion));

    const QString copy = dir_->File("reopened.fits").c_str();
    QVERIFY(QFile::copy(saved, copy));
    box_.Answer(IDYES);
    CKivImageDoc* again = frame.OpenDocumentFile(copy);
    QVERIFY(again);
    QCOMPARE(QString::fromStdString(box_.shown.back().text),
             QString::fromUtf8(kPosRestoreQuestion));
    const CPositioning& restored = again->GetImgWnd().GetPositionTool().GetPositioning();
    QCOMPARE(restored.GetLiveCount(), rows);
    for (int i = 0; i < rows; ++i) {
      QVERIFY(std::fabs(restored.GetItem(i).m_dX - pos.GetItem(i).m_dX) < 0.006);
      QVERIFY(std::fabs(restored.GetItem(i).m_dY - pos.GetItem(i).m_dY) < 0.006);
      QCOMPARE(restored.GetItem(i).m_nMethod, pos.GetItem(i).m_nMethod);
    }
  }

  void factorSpinKeepsItsLimits() {
    CPositioning pos;
    CDlgPositioning dlg(&pos, {});
    dlg.show();
    Click(dlg.findChild<QRadioButton*>(QStringLiteral("search")));
    auto* factor = dlg.findChild<QDoubleSpinBox*>(QStringLiteral("factor"));
    QVERIFY(factor && factor->isEnabled());
    factor->setFocus();
    for (int i = 0; i < 40; ++i) QTest::keyClick(factor, Qt::Key_Up);
    QCOMPARE(pos.GetFactor(), 3.0);
    QTest::keyClick(factor, Qt::Key_Up);
    QCOMPARE(pos.GetFactor(), 3.0);
    for (int i = 0; i < 40; ++i) QTest::keyClick(factor, Qt::Key_Down);
    QCOMPARE(pos.GetFactor(), 0.1);
    QTest::keyClick(factor, Qt::Key_Down);
    QCOMPARE(pos.GetFactor(), 0.1);
    // The radius belongs to semi-automatic centroids only.
    auto* radius = dlg.findChild<QSpinBox*>(QStringLiteral("radius"));
    QVERIFY(!radius->isEnabled());
    Click(dlg.findChild<QRadioButton*>(QStringLiteral("centroid")));
    Click(dlg.findChild<QRadioButton*>(QStringLiteral("semi")));
    QVERIFY(radius->isEnabled());
    radius->selectAll();
    QTest::keyClicks(radius, QStringLiteral("12345"));
    QCOMPARE(pos.GetRadius(), 9999);
    QCOMPARE(radius->value(), 9999);
  }

  // While a centroid square is dragged, the ellipse the measurement uses is drawn inside
  // it along pixel edges: going out from the middle of each row, the first drag-coloured
  // pixel lies where the ellipse x²/a² + y²/b² = 1 crosses that row (or the next row
  // toward the middle, where the outline steps), not at the square's side.
  void centroidDragDrawsItsEllipse() {
    const std::string path = dir_->File("ellipse.fits");
    QCOMPARE(WriteSampleStarField(path, 200, 160), 0);
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    QTest::keyClick(&frame, Qt::Key_I, Qt::AltModifier);
    QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QTest::keyClick(menu, Qt::Key_P);
    CDlgPositioning* dlg = wnd.GetPositionTool().GetDlg();
    QVERIFY(dlg);
    Click(dlg->findChild<QRadioButton*>(QStringLiteral("centroid")));
    Click(dlg->findChild<QRadioButton*>(QStringLiteral("semi")));
    auto* radius = dlg->findChild<QSpinBox*>(QStringLiteral("radius"));
    radius->selectAll();
    QTest::keyClicks(radius, QStringLiteral("12"));
    QCOMPARE(wnd.GetPositionTool().GetPositioning().GetRadius(), 12);

    const POINT centre{100, 80};
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, Screen(view, centre));
    QImage grab(view->viewport()->size(), QImage::Format_RGB32);
    {
      QPainter painter(&grab);
      view->DrawImage(painter);
    }
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, Screen(view, centre));
    const CViewInfo& info = wnd.GetViewInfo();
    const QRgb cyan = qRgb(0, 255, 255);
    const int r = 12;
    auto truth = [&](int dy) {
      dy = std::abs(dy);
      return dy > r ? 0.0 : r * std::sqrt(1.0 - double(dy) * dy / (double(r) * r));
    };
    RECT mid;
    QVERIFY(info.PtImageToView(centre, &mid));
    const int block = mid.right - mid.left;
    for (int dy = -(r - 1); dy <= r - 1; ++dy) {
      RECT row;
      QVERIFY(info.PtImageToView(POINT{centre.x, centre.y + dy}, &row));
      const int sy = (row.top + row.bottom - 1) / 2;
      for (int side : {-1, 1}) {
        int sx = mid.left + block / 2;
        while (grab.pixel(sx, sy) != cyan && std::abs(sx - mid.left) < (r + 3) * block) sx += side;
        QVERIFY2(grab.pixel(sx, sy) == cyan, qPrintable(QStringLiteral("row %1").arg(dy)));
        // Whole pixels from the middle pixel to the outline.
        const double half =
            side < 0 ? double(mid.left - sx) / block : double(sx - mid.right + 1) / block;
        const double lo = truth(std::abs(dy) + 1) - 1.0, hi = truth(std::abs(dy) - 1) + 1.0;
        QVERIFY2(half >= lo && half <= hi,
                 qPrintable(QStringLiteral("row %1 side %2: %3 not in %4 … %5")
                                .arg(dy)
                                .arg(side)
                                .arg(half)
                                .arg(lo)
                                .arg(hi)));
      }
    }
  }

  // The style button folds the settings away and unfolds them; the dialog opens as it
  // was left.
  void styleButtonFoldsAndIsKept() {
    CPositioning pos;
    {
      CDlgPositioning dlg(&pos, {});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      auto* style = dlg.findChild<QPushButton*>(QStringLiteral("style"));
      QVERIFY(style);
      QWidget* settings = dlg.findChild<QWidget*>(QStringLiteral("settings"));
      QVERIFY(settings && settings->isVisible());
      QVERIFY(settings->isAncestorOf(dlg.findChild<QRadioButton*>(QStringLiteral("search"))));
      QTest::mouseClick(style, Qt::LeftButton);
      QVERIFY(!settings->isVisible());
      QVERIFY(dlg.findChild<QPushButton*>(QStringLiteral("deleteAll"))->isVisible());
    }
    CDlgPositioning again(&pos, {});
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QWidget* settings = again.findChild<QWidget*>(QStringLiteral("settings"));
    QVERIFY(!settings->isVisible());
    QTest::mouseClick(again.findChild<QPushButton*>(QStringLiteral("style")), Qt::LeftButton);
    QVERIFY(settings->isVisible());
  }
};

QTEST_MAIN(PositioningToolTest)
#include "positioning_tool_test.moc"
