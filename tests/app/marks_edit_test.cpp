// The marks over an image as a user works them, offscreen with real mouse, key and wheel
// events: hidden and shown again from the tool bar and the View menu with every row kept,
// a click in a tool showing them again; an aperture dragged to another star and resized,
// its rows measured again; Ctrl and the wheel zooming about the pixel under the mouse.
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest>

#include "app/barimage.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "measure/qt/dlgaperture.h"
#include "measure/qt/dlgpositioning.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

class MarksEditTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  // The brightest pixels at least 30 pixels apart and 25 inside the edges.
  static std::vector<POINT> Stars(const CRalImage& image, std::size_t count) {
    struct Peak {
      double v;
      int x, y;
    };
    std::vector<Peak> all;
    for (int y = 25; y < image.GetHeight() - 25; ++y)
      for (int x = 25; x < image.GetWidth() - 25; ++x) all.push_back({image.GetPixel(x, y), x, y});
    std::sort(all.begin(), all.end(), [](const Peak& a, const Peak& b) { return a.v > b.v; });
    std::vector<POINT> stars;
    for (const Peak& p : all) {
      bool apart = true;
      for (const POINT& s : stars)
        apart = apart && (s.x - p.x) * (s.x - p.x) + (s.y - p.y) * (s.y - p.y) >= 900;
      if (apart) stars.push_back(POINT{p.x, p.y});
      if (stars.size() == count) break;
    }
    return stars;
  }

  static QPoint Screen(CKivImageView* view, POINT pixel) {
    POINT p;
    view->GetImgWnd().GetViewInfo().PtImageToView(pixel, &p);
    return QPoint(p.x, p.y);
  }

  static RECT PixelsUnder(CKivImageView* view, QPoint at) {
    RECT r{};
    view->GetImgWnd().GetViewInfo().PtViewToImage(POINT{at.x(), at.y()}, &r);
    return r;
  }

  // The view as painted, and how many of its pixels carry colour (the sample is grey,
  // every mark is drawn in colour).
  static QImage Grab(CKivImageView* view) {
    QImage grab(view->viewport()->size(), QImage::Format_RGB32);
    QPainter painter(&grab);
    view->DrawImage(painter);
    return grab;
  }
  static int Coloured(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QRgb c = image.pixel(x, y);
        n += qRed(c) != qGreen(c) || qGreen(c) != qBlue(c);
      }
    return n;
  }

  static QStringList Rows(QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
  }

  // The photometry command from the keyboard, the mode question answered with a click on
  // the circle radio and OK; then the semi-automatic method with its radii.
  static void ChooseCircles(CMainFrame& frame) {
    ChoosePhotometry(frame, "circle");
    if (QTest::currentTestFailed()) return;
    CDlgAperture* dlg = frame.ActiveView()->GetImgWnd().GetDlgAperture();
    QVERIFY(dlg);
    QTest::mouseClick(dlg->findChild<QRadioButton*>(QStringLiteral("semi")), Qt::LeftButton, {},
                      QPoint(5, 5));
  }

  static void Drag(QWidget* vp, QPoint a, QPoint b, Qt::KeyboardModifiers mod = {}) {
    QTest::mousePress(vp, Qt::LeftButton, mod, a);
    QTest::mouseMove(vp, (a + b) / 2);
    QTest::mouseMove(vp, b);
    QTest::mouseRelease(vp, Qt::LeftButton, mod, b);
  }

  static void Wheel(QWidget* vp, QPoint at, int delta, Qt::KeyboardModifiers mod) {
    QWheelEvent event(QPointF(at), QPointF(vp->mapToGlobal(at)), QPoint(), QPoint(0, delta),
                      Qt::NoButton, mod, Qt::NoScrollPhase, false);
    QApplication::sendEvent(vp, &event);
  }

  CMainFrame* OpenSample(const char* name, int w, int h) {
    const std::string path = dir_->File(name);
    if (WriteSampleStarField(path, w, h) != 0) return nullptr;
    auto* frame = new CMainFrame;
    frame->resize(1400, 900);
    frame->show();
    if (!QTest::qWaitForWindowExposed(frame) ||
        !frame->OpenDocumentFile(QString::fromStdString(path))) {
      delete frame;
      return nullptr;
    }
    return frame;
  }

 private slots:
  void init() { SetUpApp(); }
  void cleanup() { TearDownApp(); }

  void hiddenMarksComeBackWithEveryRow() {
    std::unique_ptr<CMainFrame> frame(OpenSample("marks.fits", 320, 240));
    QVERIFY(frame);
    CKivImageView* view = frame->ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    QWidget* vp = view->viewport();
    const std::vector<POINT> stars = Stars(*wnd.GetImagePtr(), 3);
    QCOMPARE(stars.size(), std::size_t{3});

    // A profile line across the image, apertures on two stars, a position on the third.
    ChooseFromMenu(*frame, 4503);  // ｸﾞﾗﾌ(&G)...
    Drag(vp, Screen(view, POINT{10, 200}), Screen(view, POINT{300, 30}));
    QCOMPARE(wnd.GetGraph2D().GetSize(), 1);
    ChooseCircles(*frame);
    for (int i = 0; i < 2; ++i) QTest::mouseClick(vp, Qt::LeftButton, {}, Screen(view, stars[i]));
    CDlgAperture* aperture = wnd.GetDlgAperture();
    QCOMPARE(aperture->List()->count(), 6);
    ChooseFromMenu(*frame, 4501);  // 位置測定(&P)...
    QTest::mouseClick(vp, Qt::LeftButton, {}, Screen(view, stars[2]));
    QListWidget* positions = wnd.GetPositionTool().GetDlg()->List();
    QCOMPARE(positions->count(), 1);
    const QStringList apertureRows = Rows(aperture->List()), positionRows = Rows(positions);
    const QImage shown = Grab(view);
    QVERIFY(Coloured(shown) > 100);

    // The tool bar's button hides them all; it stays pressed and the menu item checked.
    QAction* command = frame->Command(4509);
    QVERIFY(command->isCheckable());
    auto* button = frame->findChild<CBarImage*>()->findChild<QPushButton*>(QStringLiteral("4509"));
    QVERIFY(button && button->isVisible() && button->isEnabled());
    QVERIFY(!button->isChecked() && !command->isChecked());
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(wnd.AreMarksHidden());
    QVERIFY(button->isChecked());
    QVERIFY(command->isChecked());
    QCOMPARE(Coloured(Grab(view)), 0);
    // Nothing was deleted.
    QCOMPARE(Rows(aperture->List()), apertureRows);
    QCOMPARE(Rows(positions), positionRows);
    QCOMPARE(wnd.GetGraph2D().GetSize(), 1);
    QCOMPARE(wnd.GetApertureTool().GetAperture().GetLiveCount(), 2);

    // The View menu shows them again, exactly as they were drawn.
    ChooseFromMenu(*frame, 4509);
    QVERIFY(!wnd.AreMarksHidden());
    QVERIFY(!button->isChecked() && !command->isChecked());
    QVERIFY(Grab(view) == shown);
    QCOMPARE(Rows(aperture->List()), apertureRows);

    // Hidden from the menu, shown by the button.
    ChooseFromMenu(*frame, 4509);
    QVERIFY(command->isChecked() && button->isChecked());
    QCOMPARE(Coloured(Grab(view)), 0);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!command->isChecked() && !button->isChecked());
    QVERIFY(Grab(view) == shown);

    // Hidden, then the positioning dialog's 表示 button: the user asked to see marks, so
    // the window's marks come back too.
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(wnd.AreMarksHidden());
    auto* show = wnd.GetPositionTool().GetDlg()->findChild<QPushButton*>(QStringLiteral("show"));
    QVERIFY(show && show->isVisible());
    QTest::mouseClick(show, Qt::LeftButton);
    QVERIFY(!wnd.AreMarksHidden());
    QVERIFY(!command->isChecked() && !button->isChecked());
    QVERIFY(Grab(view) == shown);

    // Hidden, then a click that adds a mark: the marks show again, the new one with them,
    // and the commands follow.
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(wnd.AreMarksHidden());
    QTest::mouseClick(vp, Qt::LeftButton, {}, Screen(view, POINT{stars[0].x + 12, 60}));
    QVERIFY(!wnd.AreMarksHidden());
    QVERIFY(!command->isChecked() && !button->isChecked());
    QCOMPARE(Rows(positions).mid(0, 1), positionRows);
    QCOMPARE(Rows(positions).size(), 2);
    QVERIFY(Coloured(Grab(view)) > Coloured(shown) / 2);

    // Each window keeps its own state: the check follows the active one.
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(wnd.AreMarksHidden());
    const std::string other = dir_->File("other.fits");
    QCOMPARE(WriteSampleStarField(other, 200, 150), 0);
    QVERIFY(frame->OpenDocumentFile(QString::fromStdString(other)));
    QVERIFY(frame->ActiveView() != view);
    QVERIFY(!frame->ActiveView()->GetImgWnd().AreMarksHidden());
    QVERIFY(!command->isChecked() && !button->isChecked());
    auto* first = qobject_cast<QMdiSubWindow*>(view->parentWidget());
    first->mdiArea()->setActiveSubWindow(first);
    QTRY_COMPARE(frame->ActiveView(), view);
    QVERIFY(command->isChecked() && button->isChecked());
    QCOMPARE(Coloured(Grab(view)), 0);
  }

  void apertureDraggedAndResizedIsMeasuredAgain() {
    std::unique_ptr<CMainFrame> frame(OpenSample("drag.fits", 320, 240));
    QVERIFY(frame);
    CKivImageView* view = frame->ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    QWidget* vp = view->viewport();
    QVERIFY(wnd.GetZoom() >= 1);
    const std::vector<POINT> stars = Stars(*wnd.GetImagePtr(), 2);
    QCOMPARE(stars.size(), std::size_t{2});
    ChooseCircles(*frame);
    CDlgAperture* dlg = wnd.GetDlgAperture();
    const POINT a = stars[0], b = stars[1];
    QTest::mouseClick(vp, Qt::LeftButton, {}, Screen(view, a));
    QCOMPARE(dlg->List()->count(), 3);
    const QStringList atFirst = Rows(dlg->List());
    QVERIFY(atFirst[2].contains(QStringLiteral("Method = SEMI")));

    // What a click on the second star gives, on a window of its own: the oracle.
    auto measuredAt = [&](POINT at, int starR, int skyR) {
      CAperture fresh;
      int shape, method, r, s, w, g, sr;
      wnd.GetApertureTool().GetAperture().GetParams(&shape, &method, &r, &s, &w, &g, &sr);
      fresh.SetParams(shape, method, starR < 0 ? r : starR, skyR < 0 ? s : skyR, w, g, sr);
      fresh.AddStar(at.x, at.y, wnd.GetImagePtr());
      fresh.UpdateItems();
      QStringList rows;
      for (int i = 0; i < fresh.GetItemCount(); ++i)
        rows << QString::fromStdString(fresh.FormatListLine(i));
      return rows;
    };

    // Ctrl-drag from a point inside the sky ring (off the centre) to the second star.
    const QPoint press = Screen(view, POINT{a.x + 3, a.y - 2});
    const QPoint release = Screen(view, POINT{b.x + 3, b.y - 2});
    QTest::mousePress(vp, Qt::LeftButton, Qt::ControlModifier, press);
    QTest::mouseMove(vp, (press + release) / 2);
    QVERIFY(wnd.GetApertureTool().GetAperture().IsEditing());
    QVERIFY(Rows(dlg->List()) != atFirst);  // the list follows the drag
    QTest::mouseMove(vp, release);
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::ControlModifier, release);
    QVERIFY(!wnd.GetApertureTool().GetAperture().IsEditing());
    QCOMPARE(dlg->List()->count(), 3);
    QCOMPARE(Rows(dlg->List()), measuredAt(b, -1, -1));
    QVERIFY(Rows(dlg->List()) != atFirst);
    QCOMPARE(wnd.GetApertureExtModified(), 1);

    // Shift-drag on the star disc's right edge, four pixels outwards.
    int starR = 0, skyR = 0;
    wnd.GetApertureTool().GetAperture().GetParams(nullptr, nullptr, &starR, &skyR, nullptr, nullptr,
                                                  nullptr);
    Drag(vp, Screen(view, POINT{b.x + starR, b.y}), Screen(view, POINT{b.x + starR + 4, b.y}),
         Qt::ShiftModifier);
    QCOMPARE(Rows(dlg->List()), measuredAt(b, starR + 4, -1));
    // And the sky ring's inner edge from the left, three pixels further out.
    Drag(vp, Screen(view, POINT{b.x - skyR, b.y}), Screen(view, POINT{b.x - skyR - 3, b.y}),
         Qt::ShiftModifier);
    QCOMPARE(Rows(dlg->List()), measuredAt(b, starR + 4, skyR + 3));
    QCOMPARE(wnd.GetApertureTool().GetAperture().GetLiveCount(), 1);

    // A plain click still adds a measurement, also on top of the moved one.
    QTest::mouseClick(vp, Qt::LeftButton, {}, Screen(view, b));
    QCOMPARE(dlg->List()->count(), 6);
  }

  void wheelWithCtrlZoomsAboutThePixelUnderTheMouse() {
    std::unique_ptr<CMainFrame> frame(OpenSample("wheel.fits", 640, 480));
    QVERIFY(frame);
    CKivImageView* view = frame->ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    QWidget* vp = view->viewport();
    QWidget* child = view->parentWidget();
    QTRY_VERIFY(!wnd.GetViewInfo().IsFitPending());
    QTest::qWait(20);
    const QSize frameSize = child->size();
    const int m0 = wnd.GetZoom();
    // A star off the centre of the view.
    const POINT star = Stars(*wnd.GetImagePtr(), 1)[0];
    const QPoint at = Screen(view, star);
    // In, notch by notch, then out again past where it started: the scroll bars come
    // and go on the way.
    bool barsCame = false, barsWent = false;
    for (int step = 0; step < 8; ++step) {
      const bool in = step < 4;
      const RECT before = PixelsUnder(view, at);
      const bool hadBars = view->horizontalScrollBar()->isVisible();
      const int m = wnd.GetZoom();
      Wheel(vp, at, in ? 120 : -120, Qt::ControlModifier);
      QCOMPARE(wnd.GetZoom(), m + (in ? 1 : -1));
      QTest::qWait(20);  // whatever the view does after the step, it has done
      const RECT after = PixelsUnder(view, at);
      const bool nested = in ? after.left >= before.left && after.right <= before.right &&
                                   after.top >= before.top && after.bottom <= before.bottom
                             : before.left >= after.left && before.right <= after.right &&
                                   before.top >= after.top && before.bottom <= after.bottom;
      QVERIFY2(nested, qPrintable(QStringLiteral("code %1 to %2: (%3,%4) then (%5,%6)")
                                      .arg(m)
                                      .arg(wnd.GetZoom())
                                      .arg(before.left)
                                      .arg(before.top)
                                      .arg(after.left)
                                      .arg(after.top)));
      barsCame = barsCame || (!hadBars && view->horizontalScrollBar()->isVisible());
      barsWent = barsWent || (hadBars && !view->horizontalScrollBar()->isVisible());
      QCOMPARE(child->size(), frameSize);  // the window keeps its size
    }
    QVERIFY(barsCame);
    QVERIFY(barsWent);
    QCOMPARE(wnd.GetZoom(), m0);

    // Half notches add up to one step.
    Wheel(vp, at, 60, Qt::ControlModifier);
    QCOMPARE(wnd.GetZoom(), m0);
    Wheel(vp, at, 60, Qt::ControlModifier);
    QCOMPARE(wnd.GetZoom(), m0 + 1);
    Wheel(vp, at, 120, Qt::ControlModifier);
    QCOMPARE(wnd.GetZoom(), m0 + 2);
    QVERIFY(view->verticalScrollBar()->isVisible());

    // Without Ctrl the wheel scrolls and leaves the magnification alone.
    const int top = wnd.GetViewInfo().GetVisibleImageRect().top;
    Wheel(vp, at, -120, Qt::NoModifier);
    QCOMPARE(wnd.GetZoom(), m0 + 2);
    QVERIFY(wnd.GetViewInfo().GetVisibleImageRect().top > top);
    QCOMPARE(view->verticalScrollBar()->value(), wnd.GetViewInfo().GetVisibleImageRect().top);
  }
};

QTEST_MAIN(MarksEditTest)
#include "marks_edit_test.moc"
