// The profile graph and crop tools in the program, offscreen, as a user works them: the
// tool chosen from the menu with the mouse, lines dragged on the image (a plain line, a
// Shift band, a short drag that adds nothing, a Ctrl-click that picks a line), the graph
// dialog following them, and a crop dragged and confirmed that cuts the image, keeps its
// sky and clears the lines.
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "graph/qt/ctrlgraph2d.h"
#include "graph/qt/dlggraph2d.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "wcs/wcs.h"

class GraphToolTest : public QObject {
  Q_OBJECT

 private:

  // A drag on the view between two image pixels (screen points of their middles).
  static void Drag(CKivImageView* view, QPoint a, QPoint b, Qt::KeyboardModifiers mod = {}) {
    const CViewInfo& info = view->GetImgWnd().GetViewInfo();
    POINT pa, pb;
    info.PtImageToView(POINT{a.x(), a.y()}, &pa);
    info.PtImageToView(POINT{b.x(), b.y()}, &pb);
    QWidget* vp = view->viewport();
    QTest::mousePress(vp, Qt::LeftButton, mod, QPoint(pa.x, pa.y));
    QTest::mouseMove(vp, QPoint((pa.x + pb.x) / 2, (pa.y + pb.y) / 2));
    QTest::mouseMove(vp, QPoint(pb.x, pb.y));
    QTest::mouseRelease(vp, Qt::LeftButton, mod, QPoint(pb.x, pb.y));
  }

 private slots:
  void profileAndCrop() {
    ScopedConfigHome home;
    TempDir dir;
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    const std::string path = dir.File("stars.fits");
    QCOMPARE(WriteSampleStarField(path, 160, 120), 0);
    CMainFrame frame;
    frame.resize(1000, 760);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(path));
    QVERIFY(doc);
    frame.MdiArea()->activeSubWindow()->resize(700, 560);
    CKivImageView* view = frame.ActiveView();
    QVERIFY(view);
    CRalImgWnd& wnd = doc->GetImgWnd();
    QTRY_VERIFY(wnd.GetViewInfo().GetWindowRect().Width() > 0);

    ChooseFromMenu(frame, 4503);  // ｸﾞﾗﾌ(&G)...
    QTRY_VERIFY(wnd.IsGraph2DDlgShown());
    CDlgGraph2D* dialog = wnd.GetDlgGraph2D();
    CGraph2D& lines = wnd.GetGraph2D();

    Drag(view, {10, 30}, {50, 30});
    QCOMPARE(lines.GetSize(), 1);
    QCOMPARE(dialog->GetControl()->GetGraphData(0)->m_nCount, 161);
    // Three pixels or less: nothing added, the line stays current.
    Drag(view, {70, 70}, {72, 72});
    QCOMPARE(lines.GetSize(), 1);
    QCOMPARE(lines.GetCurrent(), 0);
    // A Shift-drag is a band through the middle of the rectangle.
    Drag(view, {10, 10}, {50, 20}, Qt::ShiftModifier);
    QCOMPARE(lines.GetSize(), 2);
    const CCtrlGraph2DData* band = dialog->GetControl()->GetGraphData(1);
    QCOMPARE(band->m_dY1, 15.0);
    QCOMPARE(band->m_dWidth, 11.0);
    // Ctrl-click on the first line picks it again.
    POINT p;
    wnd.GetViewInfo().PtImageToView(POINT{30, 30}, &p);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, QPoint(p.x, p.y));
    QCOMPARE(lines.GetCurrent(), 0);
    QCOMPARE(dialog->GetControl()->GetCurrent(), 0);
    // A click in the graph sets the reference point, shown in the read-outs (rows
    // counted from the bottom: image row 30 of 120 is row 90).
    CCtrlGraph2D* graph = dialog->GetControl();
    QTest::mouseClick(graph, Qt::LeftButton, Qt::NoModifier,
                      QPoint(graph->GraphArea().left() + 20, graph->GraphArea().center().y()));
    QVERIFY(dialog->HaveSamplePt());
    QCOMPARE(dialog->findChild<QLineEdit*>("G2D_EDT_Y")->text(), QStringLiteral("90.0"));

    // Closing the graph dialog turns the tool off; the menu brings it back.
    QTest::mouseClick(dialog->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    QVERIFY(!wnd.IsGraph2DDlgShown());
    QCOMPARE(doc->GetToolMode(), 0);
    QVERIFY(!frame.Command(4503)->isChecked());
    ChooseFromMenu(frame, 4503);
    QTRY_VERIFY(wnd.IsGraph2DDlgShown());
    QCOMPARE(doc->GetToolMode(), 3);

    // The crop tool: a drag, the dialog confirmed, the image cut and the lines gone.
    // The sky of FITS pixel (21, 95), image pixel (20, 25) with rows counted from the
    // bottom; after the cut it is the corner pixel (1, 60).
    const auto sky = [&](double x, double y) {
      tagAD ad;
      unsigned int kind = 0;
      int first = 0, second = 0;
      const int ok =
          CWCS().ToWCS2(wnd.GetImagePtr(), tagSFPoint{x, y}, &ad, &kind, &first, &second);
      return std::make_pair(ok, ad);
    };
    const auto before = sky(21.0, 95.0);
    QVERIFY(before.first);
    ChooseFromMenu(frame, 4540);  // 切り抜き(&C)
    QTRY_VERIFY(!wnd.IsGraph2DDlgShown());
    bool accepted = false;
    QTimer::singleShot(0, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      QVERIFY(modal);
      QTest::mouseClick(modal->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      accepted = true;
    });
    Drag(view, {20, 25}, {100, 85});
    QTRY_VERIFY(accepted);
    QCOMPARE(wnd.GetImagePtr()->GetWidth(), 80);
    QCOMPARE(wnd.GetImagePtr()->GetHeight(), 60);
    QCOMPARE(lines.GetSize(), 0);
    QVERIFY(wnd.HasUndoBuff());
    const auto after = sky(1.0, 60.0);
    QVERIFY(after.first);
    QVERIFY(std::fabs(after.second.a - before.second.a) < 1e-9);
    QVERIFY(std::fabs(after.second.d - before.second.d) < 1e-9);
  }
};

QTEST_MAIN(GraphToolTest)
#include "graph_tool_test.moc"
