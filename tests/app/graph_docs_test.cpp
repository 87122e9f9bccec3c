// The graph dialog in the program with several documents, offscreen, worked with the mouse:
// the other documents' graphs gathered into one dialog and turned into a new image, the
// sky along a line on an image with world coordinates (checked by astropy.wcs), the frame's
// menus following a finished line, and the dialog's place kept above the frame.
#include <QCheckBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QWindow>
#include <QtTest>
#include <cmath>
#include <cstdio>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "engine/imgpixelinfo.h"
#include "graph/qt/ctrlgraph2d.h"
#include "graph/qt/dlggraph2d.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

class GraphDocsTest : public QObject {
  Q_OBJECT

 private:
  static void Drag(CKivImageView* view, QPoint a, QPoint b) {
    const CViewInfo& info = view->GetImgWnd().GetViewInfo();
    POINT pa, pb;
    info.PtImageToView(POINT{a.x(), a.y()}, &pa);
    info.PtImageToView(POINT{b.x(), b.y()}, &pb);
    QWidget* vp = view->viewport();
    QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(pa.x, pa.y));
    QTest::mouseMove(vp, QPoint((pa.x + pb.x) / 2, (pa.y + pb.y) / 2));
    QTest::mouseMove(vp, QPoint(pb.x, pb.y));
    QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(pb.x, pb.y));
  }

  // Opens a sample field in the frame with the graph tool on and one line dragged.
  static CKivImageDoc* OpenWithLine(CMainFrame& frame, const std::string& path, QPoint a,
                                    QPoint b) {
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(path));
    if (!doc) return nullptr;
    frame.MdiArea()->activeSubWindow()->resize(420, 340);
    CKivImageView* view = frame.ActiveView();
    if (!QTest::qWaitFor(
            [&] { return view->GetImgWnd().GetViewInfo().GetWindowRect().Width() > 0; }))
      return nullptr;
    ChooseFromMenu(frame, 4503);  // ｸﾞﾗﾌ(&G)...
    if (!doc->GetImgWnd().IsGraph2DDlgShown()) return nullptr;
    Drag(view, a, b);
    return doc->GetImgWnd().GetGraph2D().GetSize() == 1 ? doc : nullptr;
  }

  ScopedConfigHome* home_ = nullptr;
  TempDir* dir_ = nullptr;
  RecordingMessageBox box_;
  ScopedMessageBox* scoped_ = nullptr;

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    dir_ = new TempDir;
    scoped_ = new ScopedMessageBox(&box_);
  }
  void cleanup() {
    delete scoped_;
    delete dir_;
    delete home_;
  }

  // With 「別画像のｸﾞﾗﾌ表示」 checked, the dialog of the second image holds the first image's
  // current line as that image's own dialog sampled it, in a colour of its own; 「画像化」
  // then opens the graph as a new colour image of the graph's size and pixels.
  void otherDocumentsGathered() {
    const std::string a = dir_->File("a.fits"), b = dir_->File("b.fits");
    QCOMPARE(WriteSampleStarField(a, 160, 120, 11u), 0);
    QCOMPARE(WriteSampleStarField(b, 160, 120, 12u), 0);
    CMainFrame frame;
    frame.resize(1100, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* docA = OpenWithLine(frame, a, {10, 30}, {110, 30});
    QVERIFY(docA);
    CKivImageDoc* docB = OpenWithLine(frame, b, {20, 90}, {100, 40});
    QVERIFY(docB);
    CDlgGraph2D* dialogA = docA->GetImgWnd().GetDlgGraph2D();
    CDlgGraph2D* dialogB = docB->GetImgWnd().GetDlgGraph2D();
    QVERIFY(dialogA && dialogB && dialogA != dialogB);
    CCtrlGraph2D* graph = dialogB->GetControl();
    QCOMPARE(graph->GetAllDocDataSize(), 0);

    auto* allDoc = dialogB->findChild<QCheckBox*>("G2D_CHK_GRAPHALLDOC");
    QVERIFY(allDoc && allDoc->isVisible());
    QTest::mouseClick(allDoc, Qt::LeftButton, {}, QPoint(6, allDoc->height() / 2));
    QVERIFY(allDoc->isChecked());
    QCOMPARE(graph->GetAllDocDataSize(), 1);
    // What image A's own dialog sampled along its line.
    const CCtrlGraph2DData* own = dialogA->GetControl()->GetGraphData(0);
    QVERIFY(own);
    QCOMPARE(own->m_nCount, 401);
    const CCtrlGraph2DData2* other = graph->GetAllDocData(0);
    QVERIFY(other);
    QCOMPARE(other->m_pDocument, static_cast<const void*>(static_cast<CVumDocument*>(docA)));
    QCOMPARE(other->m_nCount, own->m_nCount);
    QCOMPARE(other->m_dY1, own->m_dY1);
    QVERIFY(other->m_Value[0] == own->m_Value[0]);
    // Unchecked, the other image's graph is gone again.
    QTest::mouseClick(allDoc, Qt::LeftButton, {}, QPoint(6, allDoc->height() / 2));
    QCOMPARE(graph->GetAllDocDataSize(), 0);
    QTest::mouseClick(allDoc, Qt::LeftButton, {}, QPoint(6, allDoc->height() / 2));
    QCOMPARE(graph->GetAllDocDataSize(), 1);

    // 「画像化」 with the mouse: a new document of the graph's size.
    const int before = frame.Frames().size();
    const QImage expected = graph->Render(graph->size(), {});
    auto* toImage = dialogB->findChild<QPushButton*>("G2D_BTN_IMAGE");
    QVERIFY(toImage && toImage->isEnabled());
    QTest::mouseClick(toImage, Qt::LeftButton);
    QTRY_COMPARE(frame.Frames().size(), before + 1);
    CKivImageDoc* made = nullptr;
    for (CChildFrame* f : frame.Frames())
      if (f->GetDocument() != docA && f->GetDocument() != docB) made = f->GetDocument();
    QVERIFY(made);
    QVERIFY(QString::fromStdString(made->GetVumTitle()).contains(QStringLiteral("-2DGraph")));
    const CRalImage* image = made->GetImgWnd().GetImagePtr();
    QVERIFY(image);
    QCOMPARE(image->GetWidth(), graph->width());
    QCOMPARE(image->GetHeight(), graph->height());
    QCOMPARE(image->GetPlanes(), 3);
    // Every pixel as the graph draws itself, planes in the order R, G, B; the other
    // image's curve is there in its orange.
    std::vector<double> row[3];
    int orange = 0, mismatched = 0;
    for (auto& r : row) r.resize(static_cast<std::size_t>(image->GetWidth()));
    for (int y = 0; y < image->GetHeight(); ++y) {
      for (int p = 0; p < 3; ++p)
        QVERIFY(ReadPhysicalSpan(*image, 0, y, image->GetWidth(), p, row[p].data()));
      for (int x = 0; x < image->GetWidth(); ++x) {
        const std::size_t i = static_cast<std::size_t>(x);
        const QRgb want = expected.pixel(x, y);
        mismatched +=
            row[0][i] != qRed(want) || row[1][i] != qGreen(want) || row[2][i] != qBlue(want);
        orange += row[0][i] == 230 && row[1][i] == 120 && row[2][i] == 0;
      }
    }
    QCOMPARE(mismatched, 0);
    QVERIFY(orange > 50);
  }

  // On an image with a TAN header, the read-out at the reference point and the ruler's
  // labels along the line give the sky there as astropy.wcs computes it for the same FITS
  // pixels.
  void celestialReadout() {
    if (std::system("/usr/bin/python3 -c 'import astropy.wcs' 2>/dev/null") != 0)
      QSKIP("astropy is not installed");
    const std::string path = dir_->File("sky.fits");
    QCOMPARE(WriteSampleStarField(path, 160, 120), 0);
    CMainFrame frame;
    frame.resize(1100, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = OpenWithLine(frame, path, {15, 20}, {140, 100});
    QVERIFY(doc);
    CDlgGraph2D* dialog = doc->GetImgWnd().GetDlgGraph2D();
    CCtrlGraph2D* graph = dialog->GetControl();
    QTest::mouseClick(graph, Qt::LeftButton, {},
                      QPoint(graph->GraphArea().left() + 57, graph->GraphArea().center().y()));
    QVERIFY(dialog->HaveSamplePt());
    const QString text = dialog->findChild<QLineEdit*>("G2D_EDT_PHYVAL")->text();
    const QRegularExpression form(
        QString::fromUtf8("^赤道座標 赤経:(\\d\\d)h(\\d\\d)m(\\d\\d)s\\.(\\d) "
                          "赤緯:([+-])(\\d\\d)ﾟ(\\d\\d)'(\\d\\d)\"\\.(\\d)$"));
    const QRegularExpressionMatch m = form.match(text);
    QVERIFY2(m.hasMatch(), qPrintable(text));
    auto n = [&](int i) { return m.captured(i).toDouble(); };
    const double ra = (n(1) + n(2) / 60.0 + (n(3) + n(4) / 10.0) / 3600.0) * 15.0;
    const double dec =
        (m.captured(5) == "-" ? -1 : 1) * (n(6) + n(7) / 60.0 + (n(8) + n(9) / 10.0) / 3600.0);

    // The FITS pixels of the reference point and of three places along the line the
    // ruler labels: 1-based, rows counted from the bottom.
    const int height = doc->GetImgWnd().GetImagePtr()->GetHeight();
    const double length = graph->GetLength();
    const double along[3] = {0.0, length / 2, length};
    std::string command = "/usr/bin/python3 " GRAPH_WCS_SCRIPT " " + path + " " +
                          std::to_string(dialog->GetSampleX() + 1.0) + " " +
                          std::to_string(height - dialog->GetSampleY());
    for (double d : along)
      command += " " + std::to_string(graph->GetX(d, 0) + 1.0) + " " +
                 std::to_string(height - graph->GetY(d, 0));
    FILE* pipe = ::popen(command.c_str(), "r");
    QVERIFY(pipe);
    double want[4][2] = {};
    int got = 0;
    for (auto& w : want) got += std::fscanf(pipe, "%lf %lf", &w[0], &w[1]);
    ::pclose(pipe);
    QCOMPARE(got, 8);
    // Shown to a tenth of a second of time and of arc.
    QVERIFY2(std::fabs(ra - want[0][0]) * 3600.0 / 15.0 <= 0.051,
             qPrintable(QStringLiteral("%1 vs %2").arg(ra, 0, 'f', 8).arg(want[0][0], 0, 'f', 8)));
    QVERIFY2(std::fabs(dec - want[0][1]) * 3600.0 <= 0.051,
             qPrintable(QStringLiteral("%1 vs %2").arg(dec, 0, 'f', 8).arg(want[0][1], 0, 'f', 8)));

    // The ruler: right ascension to a tenth of a second over the declination in whole
    // arc seconds.
    const QRegularExpression raForm(QStringLiteral("^(\\d\\d)h(\\d\\d)m(\\d\\d)s\\.(\\d)$"));
    const QRegularExpression decForm(QString::fromUtf8("^([+-])(\\d\\d)ﾟ(\\d\\d)'(\\d\\d)\"$"));
    for (int i = 0; i < 3; ++i) {
      const QStringList labels = graph->CelestialTickLabels(along[i]);
      QCOMPARE(labels.size(), 2);
      const QRegularExpressionMatch r = raForm.match(labels[0]), d = decForm.match(labels[1]);
      QVERIFY2(r.hasMatch() && d.hasMatch(), qPrintable(labels.join(QLatin1Char('|'))));
      const double tickRa =
          (r.captured(1).toDouble() + r.captured(2).toDouble() / 60.0 +
           (r.captured(3).toDouble() + r.captured(4).toDouble() / 10.0) / 3600.0) *
          15.0;
      const double tickDec = (d.captured(1) == "-" ? -1 : 1) *
                             (d.captured(2).toDouble() + d.captured(3).toDouble() / 60.0 +
                              d.captured(4).toDouble() / 3600.0);
      QVERIFY(std::fabs(tickRa - want[i + 1][0]) * 3600.0 / 15.0 <= 0.051);
      QVERIFY(std::fabs(tickDec - want[i + 1][1]) * 3600.0 <= 0.51);
    }
    QCOMPARE(graph->CelestialRulerTitle(), QString::fromUtf8("赤道座標 赤経 / 赤緯"));
  }

  // A command may hide the tool dialogs while the tool stays on; the next finished line
  // shows the graph again, and the frame's menu check follows at once.
  void finishedLineRefreshesTheFrame() {
    const std::string a = dir_->File("a.fits"), b = dir_->File("b.fits");
    QCOMPARE(WriteSampleStarField(a, 160, 120, 21u), 0);
    QCOMPARE(WriteSampleStarField(b, 160, 120, 22u), 0);
    CMainFrame frame;
    frame.resize(1100, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* docA = OpenWithLine(frame, a, {10, 30}, {110, 30});
    QVERIFY(docA);
    QMdiSubWindow* subA = frame.MdiArea()->activeSubWindow();
    QVERIFY(frame.Command(4503)->isChecked());
    docA->GetImgWnd().HideGraph2DDlg();
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(b)));
    frame.MdiArea()->setActiveSubWindow(subA);
    QTRY_COMPARE(frame.ActiveDocument(), docA);
    QCOMPARE(docA->GetToolMode(), 3);
    QVERIFY(!frame.Command(4503)->isChecked());
    Drag(frame.ActiveView(), {20, 60}, {120, 80});
    QCOMPARE(docA->GetImgWnd().GetGraph2D().GetSize(), 2);
    QVERIFY(docA->GetImgWnd().IsGraph2DDlgShown());
    QVERIFY(frame.Command(4503)->isChecked());
  }

  // The dialog stays above the frame as its tool window, and opens where it was closed.
  void placeKeptAboveTheFrame() {
    const std::string a = dir_->File("a.fits");
    QCOMPARE(WriteSampleStarField(a, 160, 120), 0);
    CMainFrame frame;
    frame.resize(1100, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = OpenWithLine(frame, a, {10, 30}, {110, 30});
    QVERIFY(doc);
    CDlgGraph2D* dialog = doc->GetImgWnd().GetDlgGraph2D();
    QVERIFY(dialog->windowFlags().testFlag(Qt::Tool));
    QVERIFY(dialog->windowHandle());
    QCOMPARE(dialog->windowHandle()->transientParent(), frame.windowHandle());
    dialog->move(137, 171);
    QTRY_COMPARE(dialog->pos(), QPoint(137, 171));
    QTest::mouseClick(dialog->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
    RECT saved{};
    QVERIFY(
        CRegistry::Read("Dialog\\Graph2D", "Window", saved, ScreenArea{RECT{0, 0, 4000, 4000}}));
    QCOMPARE(saved.left, 137);
    QCOMPARE(saved.top, 171);
    CDlgGraph2D again;
    QCOMPARE(again.pos(), QPoint(137, 171));
  }
};

QTEST_MAIN(GraphDocsTest)
#include "graph_docs_test.moc"
