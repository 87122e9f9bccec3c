// Region files from the dialogs, offscreen, with real mouse and key events: apertures
// clicked on stars saved on the sky from the photometry dialog, positions and a profile
// line saved in image pixels, each file read by python3-regions and put on the pixels by
// astropy; points and a circle written by python3-regions read into the positioning and
// the photometry dialogs where astropy puts them, the shapes passed over reported.
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "graph/drawline.h"
#include "graph/qt/dlggraph2d.h"
#include "measure/phottable.h"
#include "measure/qt/dlgaperture.h"
#include "measure/qt/dlgpositioning.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

class RegionsDialogTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  AcceptingPrompts accept_;

  static QPoint Screen(CKivImageView* view, POINT pixel) {
    POINT p;
    view->GetImgWnd().GetViewInfo().PtImageToView(pixel, &p);
    return QPoint(p.x, p.y);
  }

  static void Click(QWidget* w) {
    QVERIFY(w);
    QVERIFY(w->isEnabled());
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() / 2, w->height() / 2));
  }

  // Clicks `button` and answers the file dialog that comes up: the file type `filterDowns`
  // steps down the list, the name typed into the name field, Return.
  static void FileDialog(QPushButton* button, const std::string& name, int filterDowns,
                         QStringList* filters = nullptr) {
    bool answered = false;
    WhenModal([&](QWidget* w) {
      auto* files = qobject_cast<QFileDialog*>(w);
      QVERIFY(files);
      auto* types = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
      auto* edit = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      QVERIFY(types && edit);
      if (filters) *filters = files->nameFilters();
      types->setFocus();
      for (int i = 0; i < filterDowns; ++i) QTest::keyClick(types, Qt::Key_Down);
      // In the test's folder, where no name completes what is typed.
      const QFileInfo info(QString::fromStdString(name));
      files->setDirectory(info.absolutePath());
      edit->setFocus();
      edit->clear();
      QTest::keyClicks(edit, info.fileName());
      QTest::keyClick(edit, Qt::Key_Return);
      answered = true;
    });
    Click(button);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(answered);
  }

  static int Python(const std::string& args) {
    return std::system(("/usr/bin/python3 " REGIONS_DIALOG_CHECK " " + args).c_str());
  }

 private slots:
  void initTestCase() {
    if (std::system("/usr/bin/python3 -c 'import regions, astropy' 2>/dev/null") != 0)
      QSKIP("python3-regions or astropy missing");
  }

  void savedAndReadFromTheDialogs() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScopedUserPrompts prompts(&accept_);
    TempDir dir;
    const std::string path = dir.File("sample.fits");
    std::vector<SampleStar> placed;
    QCOMPARE(WriteSampleStarField(path, 320, 240, 20240601u, &placed), 0);
    std::vector<SampleStar> inner;
    for (const SampleStar& s : placed)
      if (s.x > 30 && s.y > 30 && s.x < 290 && s.y < 210) inner.push_back(s);
    QVERIFY(inner.size() >= 3);
    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    const CRalImage& image = *wnd.GetImagePtr();

    // Photometry, semi-automatic, two stars clicked, saved on the sky.
    QTimer::singleShot(0, [] {
      auto* mode = qobject_cast<CDlgApertureMode*>(QApplication::activeModalWidget());
      if (!mode) return;
      Click(mode->findChild<QRadioButton*>(QStringLiteral("circle")));
      Click(mode->findChild<QPushButton*>(QStringLiteral("IDOK")));
    });
    QTest::keyClick(&frame, Qt::Key_I, Qt::AltModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QTest::keyClick(menu, Qt::Key_A);
    CDlgAperture* aperture = wnd.GetDlgAperture();
    QVERIFY(aperture && aperture->isVisible());
    auto* save = aperture->findChild<QPushButton*>(QStringLiteral("regionsSave"));
    QVERIFY(save && !save->isEnabled());  // nothing to save yet
    Click(aperture->findChild<QRadioButton*>(QStringLiteral("semi")));
    for (int i = 0; i < 2; ++i)
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                        Screen(view, POINT{static_cast<int>(std::lround(inner[i].x)),
                                           static_cast<int>(std::lround(inner[i].y))}));
    const CAperture& ap = wnd.GetApertureTool().GetAperture();
    QCOMPARE(ap.GetLiveCount(), 2);
    QStringList filters;
    FileDialog(save, dir.File("apertures.reg"), 1, &filters);
    QCOMPARE(filters.size(), 2);  // image pixels and, the sample having a WCS, the sky
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown[0].text.c_str());
    {
      std::ofstream want(dir.File("apertures.txt"));
      for (int m = 0; m < ap.GetMarkCount(); ++m) {
        const CApertureMark& k = ap.GetMark(m);
        want << (k.m_nType == CApertureMark::STAR ? "circle " : "annulus ") << PhotShownX(k.m_dCx)
             << ' ' << PhotShownY(image, k.m_dCy) << ' ' << k.m_dOuterX << '\n';
      }
    }
    {
      std::ifstream text(dir.File("apertures.reg"));
      std::string all((std::istreambuf_iterator<char>(text)), {});
      // On the sky of the sample, which is in ICRS.
      QVERIFY2(
          all.find("\nicrs\ncircle(") != std::string::npos,
          (all + QDir(QString::fromStdString(dir.File(""))).entryList().join(' ').toStdString())
              .c_str());
    }
    QCOMPARE(
        Python("check " + dir.File("apertures.reg") + " " + path + " " + dir.File("apertures.txt")),
        0);

    // Points and a circle written by python3-regions on the sky at three stars.
    std::string xy;
    for (int i = 0; i < 3; ++i)
      xy += " " + std::to_string(inner[i].x + 1.0) + " " +
            std::to_string(PhotShownY(image, inner[i].y));
    QCOMPARE(Python("write " + dir.File("peer.reg") + " " + path + xy), 0);

    // Into the photometry dialog: the circle becomes a third measurement, the points are
    // reported as passed over.
    box_.shown.clear();
    FileDialog(aperture->findChild<QPushButton*>(QStringLiteral("regionsLoad")),
               dir.File("peer.reg"), 0);
    QCOMPARE(ap.GetLiveCount(), 3);
    const CApertureMark& star = ap.GetMark(4);
    QVERIFY(std::fabs(star.m_dCx - inner[0].x) < 0.01);
    QVERIFY(std::fabs(star.m_dCy - inner[0].y) < 0.01);
    QVERIFY(std::fabs(star.m_dOuterX - 3.0) < 0.03);
    QCOMPARE(aperture->List()->count(), 9);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QVERIFY2(box_.shown[0].text.find("1 個の図形を読み込み、3 個") != std::string::npos,
             box_.shown[0].text.c_str());

    // Positioning: the points read where astropy puts them, then saved in image pixels.
    ChooseFromMenu(frame, 4501);  // 位置測定(&P)...
    CDlgPositioning* positions = wnd.GetPositionTool().GetDlg();
    QVERIFY(positions && positions->isVisible());
    FileDialog(positions->findChild<QPushButton*>(QStringLiteral("regionsLoad")),
               dir.File("peer.reg"), 0);
    const CPositioning& pos = wnd.GetPositionTool().GetPositioning();
    QCOMPARE(pos.GetLiveCount(), 3);
    QCOMPARE(positions->List()->count(), 3);
    for (int i = 0; i < 3; ++i) {
      QVERIFY(std::fabs(pos.GetItem(i).m_dX - inner[i].x) < 0.01);
      QVERIFY(std::fabs(pos.GetItem(i).m_dY - inner[i].y) < 0.01);
    }
    FileDialog(positions->findChild<QPushButton*>(QStringLiteral("regionsSave")),
               dir.File("positions"), 0);
    {
      std::ofstream want(dir.File("positions.txt"));
      for (int i = 0; i < 3; ++i)
        want << "point " << inner[i].x + 1.0 << ' ' << PhotShownY(image, inner[i].y) << '\n';
    }
    // The name typed without its extension gets ".reg".
    QCOMPARE(
        Python("check " + dir.File("positions.reg") + " " + path + " " + dir.File("positions.txt")),
        0);

    // A profile line from the graph dialog.
    ChooseFromMenu(frame, 4503);  // ｸﾞﾗﾌ(&G)...
    QTRY_VERIFY(wnd.IsGraph2DDlgShown());
    const QPoint a = Screen(view, POINT{40, 50}), b = Screen(view, POINT{90, 70});
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, a);
    QTest::mouseMove(view->viewport(), b);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, b);
    QCOMPARE(wnd.GetGraph2D().GetSize(), 1);
    FileDialog(wnd.GetDlgGraph2D()->findChild<QPushButton*>(QStringLiteral("G2D_BTN_REGIONS")),
               dir.File("line.reg"), 0);
    {
      std::ofstream want(dir.File("line.txt"));
      want << "line 41 " << PhotShownY(image, 50) << '\n';
    }
    QCOMPARE(Python("check " + dir.File("line.reg") + " " + path + " " + dir.File("line.txt")), 0);
  }
};

QTEST_MAIN(RegionsDialogTest)
#include "regions_dialog_test.moc"
