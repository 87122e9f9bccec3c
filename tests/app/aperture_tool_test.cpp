// Aperture photometry in the program, offscreen, with real key and mouse events: the
// menu and the mode question, clicks on stars filling the list, a rectangle dragged, the
// save question writing the tables and the restore question bringing the marks back.
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "measure/phottable.h"
#include "measure/qt/dlgaperture.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

class ApertureToolTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  // The brightest pixels of the image at least 25 pixels apart and 20 inside the edges.
  static std::vector<POINT> Stars(const CRalImage& image, std::size_t count) {
    struct Peak {
      double v;
      int x, y;
    };
    std::vector<Peak> all;
    for (int y = 20; y < image.GetHeight() - 20; ++y)
      for (int x = 20; x < image.GetWidth() - 20; ++x) all.push_back({image.GetPixel(x, y), x, y});
    std::sort(all.begin(), all.end(), [](const Peak& a, const Peak& b) { return a.v > b.v; });
    std::vector<POINT> stars;
    for (const Peak& p : all) {
      bool apart = true;
      for (const POINT& s : stars)
        apart = apart && (s.x - p.x) * (s.x - p.x) + (s.y - p.y) * (s.y - p.y) >= 625;
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

 private slots:
  void init() { SetUpApp(); }
  void cleanup() { TearDownApp(); }

  void clickedStarsAreListedSavedAndRestored() {
    const std::string path = dir_->File("sample.fits");
    QCOMPARE(WriteSampleStarField(path, 320, 240), 0);
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    ChoosePhotometry(frame, "circle");
    QVERIFY(wnd.IsApertureOpenDlgShown());
    CDlgAperture* dlg = wnd.GetDlgAperture();
    QVERIFY(dlg);
    QTest::mouseClick(dlg->findChild<QRadioButton*>(QStringLiteral("auto")), Qt::LeftButton, {},
                      QPoint(5, 5));
    const std::vector<POINT> stars = Stars(*wnd.GetImagePtr(), 5);
    QCOMPARE(stars.size(), std::size_t{5});
    for (const POINT& s : stars)
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, Screen(view, s));
    QCOMPARE(dlg->List()->count(), 15);
    QVERIFY(dlg->List()->item(2)->text().contains(QStringLiteral("Method = AUTO")));
    QCOMPARE(wnd.GetApertureTool().GetAperture().GetLiveCount(), 5);
    // The marks are painted: the star colour appears in a grab of the view.
    QImage grab(view->viewport()->size(), QImage::Format_RGB32);
    {
      QPainter painter(&grab);
      view->DrawImage(painter);
    }
    const QPoint at = Screen(view, stars[0]);
    bool starColour = false;
    for (int y = 0; y < grab.height() && !starColour; ++y)
      for (int x = std::max(0, at.x() - 60); x < std::min(grab.width(), at.x() + 60); ++x)
        starColour = starColour || grab.pixel(x, y) == qRgb(255, 0, 192) ||
                     grab.pixel(x, y) == qRgb(0, 255, 255);
    QVERIFY(starColour);

    const QString saved = dir_->File("measured.fits").c_str();
    box_.Answer(IDYES);
    QVERIFY(frame.ActiveDocument()->OnSaveDocument(saved));
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].style & MB_TYPEMASK, MB_YESNOCANCEL);
    QCOMPARE(box_.shown[0].text, std::string(kPhotSaveQuestion));

    // Opened again as another document (the saved one stays open under its name).
    const QString copy = dir_->File("reopened.fits").c_str();
    QVERIFY(QFile::copy(saved, copy));
    box_.Answer(IDYES);
    CKivImageDoc* again = frame.OpenDocumentFile(copy);
    QVERIFY(&again->GetImgWnd() != &wnd);
    QVERIFY(again);
    QCOMPARE(QString::fromStdString(box_.shown.back().text),
             QString::fromUtf8(kPhotRestoreQuestion));
    const CAperture& restored = again->GetImgWnd().GetApertureTool().GetAperture();
    QCOMPARE(restored.GetLiveCount(), 5);
    for (int i = 0; i < 10; ++i) {
      const CApertureMark& a = wnd.GetApertureTool().GetAperture().GetMark(i);
      const CApertureMark& b = restored.GetMark(i);
      QVERIFY(std::fabs(a.m_dCx - b.m_dCx) < 0.006 && std::fabs(a.m_dCy - b.m_dCy) < 0.006);
      QCOMPARE(b.m_dOuterX, std::round(a.m_dOuterX * 100) / 100);
    }
    // Undo copies replace the image object the marks were measured on; the lists still
    // rebuild from the live image, and a mirror carries the marks with the pixels.
    QVERIFY(wnd.MakeUndoBuff());
    QVERIFY(wnd.MakeUndoBuff());
    wnd.GetApertureTool().UpdateLists();
    QCOMPARE(dlg->List()->count(), 15);
    const double x0 = wnd.GetApertureTool().GetAperture().GetMark(0).m_dCx;
    QVERIFY(wnd.Horizontal());
    QCOMPARE(dlg->List()->count(), 15);
    QCOMPARE(wnd.GetApertureTool().GetAperture().GetMark(0).m_dCx, 319 - x0);
  }

  void draggedRectangleIsListedOnce() {
    const std::string path = dir_->File("sample.fits");
    QCOMPARE(WriteSampleStarField(path, 200, 150), 0);
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    ChoosePhotometry(frame, "rect");
    QVERIFY(wnd.IsApertureRectDlgShown());
    for (int i = 0; i < 2; ++i) {
      const QPoint a = Screen(view, POINT{10, 12}), b = Screen(view, POINT{40, 30});
      QTest::mousePress(view->viewport(), Qt::LeftButton, {}, a);
      QMouseEvent move(QEvent::MouseMove, QPointF(b), view->viewport()->mapToGlobal(QPointF(b)),
                       Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(view->viewport(), &move);
      QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, b);
    }
    CDlgApertureRect* dlg = wnd.GetDlgApertureRect();
    QVERIFY(dlg);
    QCOMPARE(dlg->List()->count(), 1);
    const CApertureRectItem& it = wnd.GetApertureTool().GetApertureRect().GetItem(0);
    QCOMPARE(it.m_nLeft, 10);
    QCOMPARE(it.m_nBottom, 30);
    QCOMPARE(it.m_nPixels, 31u * 19u);
  }
};

QTEST_MAIN(ApertureToolTest)
#include "aperture_tool_test.moc"
