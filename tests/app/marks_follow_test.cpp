// The marks of an image window follow its pixels, offscreen with real key and mouse
// events: stars clicked with the aperture tool stay on their stars through a mirror from
// the Edit menu and a quarter turn from the rotation dialog, undo takes them back
// with the image and a second undo brings them again; a free turn drops every mark and
// says so once, and undo brings them back.
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "dialogs/dlgimageops.h"
#include "display/qt/ralimgwnd.h"
#include "measure/qt/dlgaperture.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/app_harness.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

constexpr int kW = 200, kH = 150;  // not square: a quarter turn trades width and height

struct Mark {
  double x, y;
  int pixels;
  double total;
};

std::vector<Mark> MarksOf(const CAperture& a) {
  std::vector<Mark> out;
  for (int i = 0; i < a.GetMarkCount(); ++i) {
    const CApertureMark& m = a.GetMark(i);
    if (!m.m_bDeleted) out.push_back({m.m_dCx, m.m_dCy, m.m_nPixels, m.m_dTotal});
  }
  return out;
}

int Round(double v) {
  return static_cast<int>(v + 0.5);
}

}  // namespace

class MarksFollowTest : public QObject, private AppHarness {
  Q_OBJECT

 private:
  CMainFrame* frame_ = nullptr;

  CKivImageView* View() { return frame_->ActiveView(); }
  CRalImgWnd& Wnd() { return View()->GetImgWnd(); }
  const CAperture& Aperture() { return Wnd().GetApertureTool().GetAperture(); }

  QPoint Screen(POINT pixel) {
    POINT p;
    Wnd().GetViewInfo().PtImageToView(pixel, &p);
    return QPoint(p.x, p.y);
  }

  // The brightest pixels at least 30 apart and 25 inside the edges.
  std::vector<POINT> Stars(std::size_t count) {
    const CRalImage& image = *Wnd().GetImagePtr();
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

  void Activate() {
    if (!frame_->isActiveWindow()) {
      // Offscreen, a menu closed by its command keeps the focus, and the frame counts as
      // active through it, so asking the frame alone changes nothing: another window is
      // activated first, as a user's click elsewhere would.
      QWidget elsewhere;
      elsewhere.show();
      elsewhere.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
    }
    frame_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame_));
  }

  // Alt + menu letter, then the entry's letter.
  void Menu(Qt::Key menu, Qt::Key entry) {
    Activate();
    QTest::keyClick(frame_, menu, Qt::AltModifier);
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(popup);
    QTest::keyClick(popup, entry);
  }

  // Turns by angle degrees counterclockwise through the rotation dialog.
  bool Rotate(const char* angle) {
    bool ran = false;
    WhenModal([&](QWidget* d) {
      auto* edit = d->findChild<QLineEdit*>(QString::number(CDlgRotate::IDC_ANGLE));
      QTest::mouseDClick(edit, Qt::LeftButton);
      edit->setFocus();
      QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClicks(edit, QString::fromLatin1(angle));
      auto* ccw = d->findChild<QRadioButton*>(QStringLiteral("1101_0"));
      QTest::mouseClick(ccw, Qt::LeftButton, {}, QPoint(6, ccw->height() / 2));
      QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
      ran = true;
    });
    Menu(Qt::Key_E, Qt::Key_R);
    return ran;
  }

  // 元に戻す(&U) from the Edit menu.
  void Undo() { Menu(Qt::Key_E, Qt::Key_U); }

  // Opens a star field, chooses circular photometry in automatic mode and clicks stars.
  std::vector<POINT> ClickStars(std::size_t count) {
    const std::string path = dir_->File("field.fits");
    if (WriteSampleStarField(path, kW, kH) != 0) return {};
    if (!frame_->OpenDocumentFile(QString::fromStdString(path))) return {};
    bool answered = false;
    WhenModal([&](QWidget* dialog) {
      auto* radio = dialog->findChild<QRadioButton*>(QStringLiteral("circle"));
      QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(5, radio->height() / 2));
      QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
      answered = true;
    });
    Menu(Qt::Key_I, Qt::Key_A);
    if (!answered || !Wnd().GetDlgAperture()) return {};
    QTest::mouseClick(Wnd().GetDlgAperture()->findChild<QRadioButton*>(QStringLiteral("auto")),
                      Qt::LeftButton, {}, QPoint(5, 5));
    const std::vector<POINT> stars = Stars(count);
    for (const POINT& s : stars)
      QTest::mouseClick(View()->viewport(), Qt::LeftButton, {}, Screen(s));
    return stars;
  }

  // Whether the star mark's colour is painted within reach of an image pixel.
  bool PaintedNear(POINT pixel) {
    QImage grab(View()->viewport()->size(), QImage::Format_RGB32);
    {
      QPainter painter(&grab);
      View()->DrawImage(painter);
    }
    const QPoint at = Screen(pixel);
    for (int y = std::max(0, at.y() - 80); y < std::min(grab.height(), at.y() + 80); ++y)
      for (int x = std::max(0, at.x() - 80); x < std::min(grab.width(), at.x() + 80); ++x)
        if (grab.pixel(x, y) == qRgb(255, 0, 192) || grab.pixel(x, y) == qRgb(0, 255, 255))
          return true;
    return false;
  }

 private slots:
  void init() {
    SetUpApp();
    frame_ = new CMainFrame;
    frame_->resize(1000, 800);
    frame_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame_));
  }
  void cleanup() {
    for (CChildFrame* f : frame_->Frames()) f->GetDocument()->SetModifiedFlag(false);
    delete frame_;
    TearDownApp();
  }

  void mirrorAndQuarterTurnCarryTheMarks() {
    const std::vector<POINT> stars = ClickStars(4);
    QCOMPARE(stars.size(), std::size_t{4});
    QCOMPARE(Aperture().GetLiveCount(), 4);
    const std::vector<Mark> before = MarksOf(Aperture());
    CRalImage original(*Wnd().GetImagePtr());

    // 上下反転(&H): the rows as stored trade places.
    Menu(Qt::Key_E, Qt::Key_H);
    const CRalImage& flipped = *Wnd().GetImagePtr();
    std::vector<Mark> after = MarksOf(Aperture());
    QCOMPARE(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      QCOMPARE(after[i].x, before[i].x);
      QCOMPARE(after[i].y, kH - 1 - before[i].y);
      // The same star under it: the same pixel values, all of them.
      QCOMPARE(flipped.GetPixel(Round(after[i].x), Round(after[i].y)),
               original.GetPixel(Round(before[i].x), Round(before[i].y)));
      QCOMPARE(after[i].pixels, before[i].pixels);
      QCOMPARE(after[i].total, before[i].total);
    }
    QCOMPARE(Wnd().GetDlgAperture()->List()->count(), 12);
    QVERIFY(PaintedNear(POINT{stars[0].x, kH - 1 - stars[0].y}));

    // Undo takes the marks back with the image; undo again brings the mirror again.
    Undo();
    std::vector<Mark> back = MarksOf(Aperture());
    QCOMPARE(back.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      QCOMPARE(back[i].x, before[i].x);
      QCOMPARE(back[i].y, before[i].y);
      QCOMPARE(back[i].total, before[i].total);
    }
    Undo();
    QCOMPARE(MarksOf(Aperture())[0].y, kH - 1 - before[0].y);
    Undo();

    // A quarter turn counterclockwise on the screen: stored (x, y) goes to (y, w − 1 − x).
    QVERIFY(Rotate("90"));
    const CRalImage& turned = *Wnd().GetImagePtr();
    QCOMPARE(turned.GetWidth(), kH);
    after = MarksOf(Aperture());
    QCOMPARE(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      QCOMPARE(after[i].x, before[i].y);
      QCOMPARE(after[i].y, kW - 1 - before[i].x);
      QCOMPARE(turned.GetPixel(Round(after[i].x), Round(after[i].y)),
               original.GetPixel(Round(before[i].x), Round(before[i].y)));
    }
    QVERIFY(box_.shown.empty());
  }

  void cropKeepsTheMarksInside() {
    const std::vector<POINT> stars = ClickStars(4);
    QCOMPARE(stars.size(), std::size_t{4});
    const std::vector<Mark> before = MarksOf(Aperture());
    Activate();
    ChooseFromMenu(*frame_, 4540);  // 切り抜き(&C)
    // A drag round the first two stars; the cut runs from the pixel under the press up to
    // the one under the release, which the crop dialog leaves out.
    const QPoint a = Screen(POINT{std::max(0, std::min(stars[0].x, stars[1].x) - 6),
                                  std::max(0, std::min(stars[0].y, stars[1].y) - 6)});
    const QPoint b = Screen(POINT{std::min(kW - 1, std::max(stars[0].x, stars[1].x) + 6),
                                  std::min(kH - 1, std::max(stars[0].y, stars[1].y) + 6)});
    POINT pa, pb;
    QVERIFY(Wnd().GetViewInfo().PtViewToImage(POINT{a.x(), a.y()}, &pa));
    QVERIFY(Wnd().GetViewInfo().PtViewToImage(POINT{b.x(), b.y()}, &pb));
    const RECT cut{pa.x, pa.y, pb.x, pb.y};
    bool accepted = false;
    WhenModal([&](QWidget* modal) {
      QTest::mouseClick(modal->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      accepted = true;
    });
    QWidget* vp = View()->viewport();
    QTest::mousePress(vp, Qt::LeftButton, {}, a);
    QTest::mouseMove(vp, b);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, b);
    QTRY_VERIFY(accepted);
    QCOMPARE(Wnd().GetImagePtr()->GetWidth(), cut.right - cut.left);
    std::vector<Mark> inside;
    for (std::size_t i = 0; i < before.size(); i += 2)
      if (before[i].x >= cut.left - 0.5 && before[i].x < cut.right - 0.5 &&
          before[i].y >= cut.top - 0.5 && before[i].y < cut.bottom - 0.5) {
        inside.push_back(before[i]);
        inside.push_back(before[i + 1]);
      }
    QVERIFY(inside.size() >= 4 && inside.size() < before.size());
    const std::vector<Mark> after = MarksOf(Aperture());
    QCOMPARE(after.size(), inside.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      QCOMPARE(after[i].x, inside[i].x - cut.left);
      QCOMPARE(after[i].y, inside[i].y - cut.top);
    }
    QCOMPARE(Wnd().GetDlgAperture()->List()->count(), static_cast<int>(inside.size() / 2 * 3));
  }

  void freeTurnDropsTheMarksAndSaysSoOnce() {
    QCOMPARE(ClickStars(3).size(), std::size_t{3});
    const std::vector<Mark> before = MarksOf(Aperture());
    box_.shown.clear();
    box_.Answer(IDOK);
    QVERIFY(Rotate("30"));
    QCOMPARE(Aperture().GetLiveCount(), 0);
    QCOMPARE(Wnd().GetDlgAperture()->List()->count(), 0);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(wnd_text::kMeasurementsDropped));
    QCOMPARE(box_.shown[0].style & MB_TYPEMASK, MB_OK);

    // Undo brings the image and its marks back.
    Undo();
    QCOMPARE(Wnd().GetImagePtr()->GetWidth(), kW);
    const std::vector<Mark> back = MarksOf(Aperture());
    QCOMPARE(back.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      QCOMPARE(back[i].x, before[i].x);
      QCOMPARE(back[i].y, before[i].y);
    }
    QCOMPARE(Wnd().GetDlgAperture()->List()->count(), 9);
    // Undo again: the turned image, its marks gone; turning it again says nothing.
    Undo();
    QCOMPARE(Aperture().GetLiveCount(), 0);
    QVERIFY(Rotate("30"));
    QCOMPARE(box_.shown.size(), std::size_t{1});
  }
};

QTEST_MAIN(MarksFollowTest)
#include "marks_follow_test.moc"
