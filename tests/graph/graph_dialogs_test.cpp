// The graph and crop dialogs offscreen, driven by real keys and clicks: the magnification
// field's steps and limits, the vertical value list of a grey image, the scale dialog's
// refusals, and the crop dialog's range from a drag, its refusals and the bottom-up case.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "controls/spinedit.h"
#include "engine/ralimage.h"
#include "graph/drawline.h"
#include "graph/qt/ctrlgraph2d.h"
#include "graph/qt/dlggraph2d.h"
#include "measure/qt/dlgcrop.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

template <typename T>
T* Find(QWidget* w, const char* name) {
  T* c = w->findChild<T*>(QString::fromLatin1(name));
  if (!c) qFatal("no control %s", name);
  return c;
}

void Type(QLineEdit* e, const QString& text) {
  e->setFocus();
  e->selectAll();
  QTest::keyClick(e, Qt::Key_Delete);
  QTest::keyClicks(e, text);
}

// A click near the left end: on a check or radio button's indicator, which a layout may
// have stretched far past its label.
void Click(QWidget* w) {
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier,
                    QPoint(std::min(8, w->width() / 2), w->height() / 2));
}

}  // namespace

class GraphDialogsTest : public QObject {
  Q_OBJECT

 private:
  ScopedConfigHome* home_ = nullptr;
  RecordingMessageBox box_;
  ScopedMessageBox* scoped_ = nullptr;

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    box_.shown.clear();
    scoped_ = new ScopedMessageBox(&box_);
  }
  void cleanup() {
    delete scoped_;
    delete home_;
  }

  void magnificationSteps() {
    CDlgGraph2D dialog;
    dialog.show();
    CSpinEdit* mag = Find<CSpinEdit>(&dialog, "G2D_EDT_HMAG");
    QLineEdit* edit = mag->findChild<QLineEdit*>();
    const struct {
      const char* typed;
      Qt::Key key;  // Qt::Key_unknown: only typed
      double want;
    } cases[] = {{"4.95", Qt::Key_Up, 5.05},  {"5.0", Qt::Key_Up, 6.0},
                 {"20", Qt::Key_Up, 20.0},    {"0.1", Qt::Key_Down, 0.1},
                 {"6", Qt::Key_Down, 5.0},    {"5.0", Qt::Key_Down, 4.9},
                 {"0", Qt::Key_unknown, 0.1}, {"25", Qt::Key_unknown, 20.0}};
    for (const auto& c : cases) {
      Type(edit, QString::fromLatin1(c.typed));
      if (c.key == Qt::Key_unknown)
        QTest::keyClick(edit, Qt::Key_Return);
      else
        QTest::keyClick(mag, c.key);
      QVERIFY2(std::fabs(dialog.GetHrzMag() - c.want) < 1e-9,
               qPrintable(QStringLiteral("%1 → %2").arg(c.typed).arg(dialog.GetHrzMag())));
      QCOMPARE(mag->Text().toDouble(), c.want);
    }
    // A typed value confirmed first: the field shows it as kept, and the steps go on from
    // there, not from a rounded copy.
    const struct {
      Qt::Key key;
      double want;
    } confirmed[] = {
        {Qt::Key_Up, 5.05}, {Qt::Key_Up, 6.05}, {Qt::Key_Down, 5.05}, {Qt::Key_Down, 4.05}};
    Type(edit, QStringLiteral("4.95"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(dialog.GetHrzMag(), 4.95);
    QCOMPARE(mag->Text(), QStringLiteral("4.95"));
    for (const auto& c : confirmed) {
      QTest::keyClick(mag, c.key);
      QVERIFY2(std::fabs(dialog.GetHrzMag() - c.want) < 1e-9,
               qPrintable(QString::number(dialog.GetHrzMag())));
      QCOMPARE(mag->Text().toDouble(), c.want);
    }
  }

  // A magnification kept in the settings is stepped from as it was kept.
  void storedMagnificationSteps() {
    CRegistry::Write(graph_text::kSection, "HRZMAG", 4.95);
    CDlgGraph2D dialog;
    dialog.show();
    CSpinEdit* mag = Find<CSpinEdit>(&dialog, "G2D_EDT_HMAG");
    QCOMPARE(mag->Text(), QStringLiteral("4.95"));
    mag->setFocus();
    QTest::keyClick(mag, Qt::Key_Up);
    QVERIFY2(std::fabs(dialog.GetHrzMag() - 5.05) < 1e-9,
             qPrintable(QString::number(dialog.GetHrzMag())));
  }

  // On its first showing the dialog plots every sample of the line inside its ranges:
  // vertically whatever the values and the display levels (negative, a spike far above
  // the levels), horizontally a line longer than the plot at the magnification 1.0. A
  // short line keeps 1.0, and a magnification the user left is not fitted again.
  void firstShowPlotsTheWholeProfile() {
    struct Case {
      int width;
      std::function<double(int, int)> value;
      double levelMin, levelMax;
      int x1, x2;
    };
    const Case cases[] = {
        {2400, [](int x, int y) { return -500.0 + 300.0 * std::sin(x / 7.0) + y; }, -100.0, 100.0,
         5, 2300},
        {300, [](int x, int) { return x == 150 ? 65000.0 : -3.0 - x * 0.01; }, -5.0, -2.0, 2, 290},
        {60, [](int, int) { return -42.0; }, 0.0, 1000.0, 1, 50},
    };
    for (const Case& c : cases) {
      ScopedConfigHome fresh;
      CRalImage image(c.width, 40, -32, 1, 1.0, 0.0, 1);
      std::vector<double> row(static_cast<std::size_t>(c.width));
      for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < c.width; ++x) row[static_cast<std::size_t>(x)] = c.value(x, y);
        image.SetPhysicalRow(y, 0, row.data());
      }
      image.AllocLevel();
      image.SetLevel(0, c.levelMin, c.levelMax);
      CGraph2D lines;
      lines.OnLButtonDown(c.x1, 20, false, false);
      lines.OnLButtonUp(c.x2, 20);
      double fittedMag = 0.0;
      {
        CDlgGraph2D dialog;
        dialog.Show(&lines, &image, QStringLiteral("profile.fits"));
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        CCtrlGraph2D* graph = dialog.GetControl();
        const CCtrlGraph2DData* data = graph->GetGraphData(graph->GetCurrent());
        QVERIFY(data && data->m_nCount > 1);
        double lo = 0.0, hi = 0.0;
        graph->GetMinMax(&lo, &hi, 0, graph->GetCurrent());
        for (float v : data->m_Value[0])
          QVERIFY2(v >= lo && v <= hi,
                   qPrintable(QStringLiteral("%1 outside %2 … %3").arg(double(v)).arg(lo).arg(hi)));
        // The plot as painted: the line's last sample inside the graph area.
        QTRY_VERIFY(graph->GraphArea().isValid());
        QVERIFY(graph->GetH(0.0) >= 0.0);
        QVERIFY2(graph->GetH(data->m_dLength) <= graph->GraphArea().width() - 1,
                 qPrintable(QStringLiteral("%1 > %2")
                                .arg(graph->GetH(data->m_dLength))
                                .arg(graph->GraphArea().width())));
        const bool fitsAtOne = data->m_dLength <= graph->GraphArea().width() - 1;
        if (fitsAtOne) QCOMPARE(dialog.GetHrzMag(), 1.0);
        QCOMPARE(graph->GetHrzMag(), dialog.GetHrzMag());
        fittedMag = dialog.GetHrzMag();
      }
      // The second showing keeps the magnification the first one left, as the user's.
      CRegistry::Write(graph_text::kSection, "HRZMAG", 1.0);
      CDlgGraph2D again;
      again.Show(&lines, &image, QStringLiteral("profile.fits"));
      QCOMPARE(again.GetHrzMag(), 1.0);
      QVERIFY(fittedMag > 0.0);
    }
  }

  // Text output: the save dialog lists CSV first; a name typed without an extension gets
  // that of the chosen type, which decides between CSV and column text.
  void textOutputTakesTheChosenType() {
    TempDir dir;
    CRalImage image(40, 30, -32, 1, 1.0, 0.0, 1);
    std::vector<double> row(40);
    for (int y = 0; y < 30; ++y) {
      for (int x = 0; x < 40; ++x) row[x] = x - 2.0 * y;
      image.SetPhysicalRow(y, 0, row.data());
    }
    image.SetDefaultLevel();
    CGraph2D lines;
    lines.OnLButtonDown(2, 3, false, false);
    lines.OnLButtonUp(12, 3);  // 10 pixels: 41 samples
    CDlgGraph2D dialog;
    dialog.Show(&lines, &image, QStringLiteral("ramp.fits"));
    const struct {
      const char* typed;
      int filterDowns;  // key presses down the file type list
      const char* file;
      bool csv;
    } cases[] = {{"plain", 0, "plain.csv", true},
                 {"columns", 1, "columns.txt", false},
                 {"named.csv", 1, "named.csv", true}};
    for (const auto& c : cases) {
      QString filterFirst;
      WhenModal([&](QWidget* w) {
        auto* files = qobject_cast<QFileDialog*>(w);
        QVERIFY(files);
        auto* types = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(types && name);
        filterFirst = types->itemText(0);
        types->setFocus();
        for (int i = 0; i < c.filterDowns; ++i) QTest::keyClick(types, Qt::Key_Down);
        // In the test's folder, where no name completes what is typed.
        files->setDirectory(QString::fromStdString(dir.File("")));
        Type(name, QString::fromLatin1(c.typed));
        QTest::keyClick(name, Qt::Key_Return);
      });
      Click(Find<QPushButton>(&dialog, "G2D_BTN_TEXT"));
      QTRY_VERIFY(!QApplication::activeModalWidget());
      QVERIFY2(filterFirst.startsWith(QStringLiteral("CSV")), qPrintable(filterFirst));
      QFile file(QString::fromStdString(dir.File(c.file)));
      QVERIFY2(file.open(QIODevice::ReadOnly),
               qPrintable(QDir(QString::fromStdString(dir.File(""))).entryList().join(' ')));
      const QStringList text = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
      // CSV: a heading and 41 rows of comma-separated numbers; text: heading, rule, rows.
      QCOMPARE(text.size(), c.csv ? 42 : 43);
      QCOMPARE(text[c.csv ? 1 : 2].split(',').size(), c.csv ? 3 : 1);
      QCOMPARE(text[1].startsWith(QStringLiteral("------")), !c.csv);
      // The first row: x 3.0, y 4.0 (from the top here) and the value 2 - 2 * 3.
      const QStringList first = text[c.csv ? 1 : 2].split(
          c.csv ? QRegularExpression(",\\s*") : QRegularExpression("\\s+"), Qt::SkipEmptyParts);
      QCOMPARE(first.size(), 3);
      QCOMPARE(first[2].toDouble(), -4.0);
    }
  }

  void greyImageOffersOnlyLuminance() {
    CRalImage image(20, 10, -32, 1, 1.0, 0.0, 1);
    image.AllocLevel();
    CGraph2D lines;
    CDlgGraph2D dialog;
    dialog.Show(&lines, &image, QStringLiteral("grey.fits"));
    QComboBox* combo = Find<QComboBox>(&dialog, "G2D_CB_VVALUE");
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->itemText(0), QString::fromUtf8("輝度"));
    QVERIFY(!combo->isEnabled());
    CRalImage colour(20, 10, -32, 3, 1.0, 0.0, 1);
    colour.AllocLevel();
    dialog.Show(&lines, &colour, QStringLiteral("colour.fits"));
    QCOMPARE(combo->count(), 5);
    QVERIFY(combo->isEnabled());
  }

  // Printing goes to a PDF file without a printer: the graph of a line with its memo is
  // one page, and the user is told it was printed.
  void printsToPdf() {
    TempDir dir;
    CRalImage image(40, 30, -32, 1, 1.0, 0.0, 1);
    std::vector<double> row(40);
    for (int y = 0; y < 30; ++y) {
      for (int x = 0; x < 40; ++x) row[x] = 100.0 + x * y;
      image.SetPhysicalRow(y, 0, row.data());
    }
    image.AllocLevel();
    image.SetLevel(0, 0.0, 1000.0);
    CGraph2D lines;
    lines.OnLButtonDown(2, 3, false, false);
    lines.OnLButtonUp(35, 20);
    CDlgGraph2D dialog;
    const QString pdf = QString::fromStdString(dir.File("graph.pdf"));
    dialog.onChoosePrinter = [&](QPrinter& printer) {
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(pdf);
      return true;
    };
    dialog.Show(&lines, &image, QStringLiteral("ramp.fits"));
    Click(Find<QPushButton>(&dialog, "G2D_BTN_PRINT"));
    QCOMPARE(box_.shown.size(), size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(graph_text::kPrinted));
    QFile file(pdf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("%PDF"));
    QCOMPARE(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r"), 1);
    // A file that cannot be written is a failed print.
    box_.shown.clear();
    dialog.onChoosePrinter = [&](QPrinter& printer) {
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(QString::fromStdString(dir.File("no/such/folder/g.pdf")));
      return true;
    };
    Click(Find<QPushButton>(&dialog, "G2D_BTN_PRINT"));
    QCOMPARE(box_.shown.size(), size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(graph_text::kPrintFailed));
  }

  // Fixed ranges: minimum 10 and maximum 10 refused; in logarithmic mode a minimum of 0
  // refused; the dialog stays open with the values; a good range is accepted.
  void scaleDialogRefusesBadRanges() {
    CGraphScale scale;
    CDlgGraph2dSet set(scale, false);
    int step = 0;
    std::function<void()> drive = [&] {
      if (!set.isVisible()) return QTimer::singleShot(10, &set, drive);
      Click(Find<QRadioButton>(&set, "G2S_RD_V2"));
      Type(Find<QLineEdit>(&set, "G2S_EDT_MIN_L"), "10");
      Type(Find<QLineEdit>(&set, "G2S_EDT_MAX_L"), "10");
      Click(Find<QPushButton>(&set, "IDOK"));
      step = 1;
      QVERIFY(set.isVisible());
      Type(Find<QLineEdit>(&set, "G2S_EDT_MIN_L"), "0");
      Type(Find<QLineEdit>(&set, "G2S_EDT_MAX_L"), "100");
      Click(Find<QCheckBox>(&set, "G2S_CHK_LOG"));
      Click(Find<QPushButton>(&set, "IDOK"));
      step = 2;
      QVERIFY(set.isVisible());
      Type(Find<QLineEdit>(&set, "G2S_EDT_MIN_L"), "0.5");
      Click(Find<QPushButton>(&set, "IDOK"));
      step = 3;
    };
    QTimer::singleShot(0, &set, drive);
    QCOMPARE(set.DoModal(), int(QDialog::Accepted));
    QCOMPARE(step, 3);
    QCOMPARE(box_.shown.size(), size_t{2});
    QCOMPARE(box_.shown[0].text, std::string(graph_text::kRangeOrder));
    QCOMPARE(box_.shown[1].text, std::string(graph_text::kRangeLogMin));
    QCOMPARE(set.GetScale().vrtScale, 2);
    QCOMPARE(set.GetScale().min[0], 0.5);
    QCOMPARE(set.GetScale().log, 1);
  }

  // A drag from (10, 20) to (5, 8) shows 6, 10, 9, 20; x1 = x2 is refused; the previous
  // range is stored for the next crop.
  void cropDialogFromADrag() {
    CRegistry::Write("IO", "FitsBottomUp", 0, CRegistry::TYPE_BOOL);
    CDlgCrop dialog;
    dialog.SetImageInfo(50, 100, "FITS");
    dialog.SetSelection(10, 20, 5, 8);
    QVERIFY(!dialog.IsBottomUp());
    QTimer::singleShot(0, &dialog, [&] {
      QCOMPARE(Find<QLineEdit>(&dialog, "CROP_EDT_X1")->text(), QStringLiteral("6"));
      QCOMPARE(Find<QLineEdit>(&dialog, "CROP_EDT_X2")->text(), QStringLiteral("10"));
      QCOMPARE(Find<QLineEdit>(&dialog, "CROP_EDT_Y1")->text(), QStringLiteral("9"));
      QCOMPARE(Find<QLineEdit>(&dialog, "CROP_EDT_Y2")->text(), QStringLiteral("20"));
      QCOMPARE(Find<QLabel>(&dialog, "CROP_TXT_CURRENT")->text(),
               QStringLiteral("[     6,    10;     9,    20 ]"));
      Type(Find<QLineEdit>(&dialog, "CROP_EDT_X2"), "6");
      Click(Find<QPushButton>(&dialog, "IDOK"));
      QVERIFY(dialog.isVisible());
      Type(Find<QLineEdit>(&dialog, "CROP_EDT_X2"), "12");
      Click(Find<QPushButton>(&dialog, "IDOK"));
    });
    QCOMPARE(dialog.DoModal(), int(QDialog::Accepted));
    QCOMPARE(box_.shown.size(), size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(kCropX1X2Message));
    const RECT r = dialog.GetRect();
    QCOMPARE(r.left, 5);
    QCOMPARE(r.right, 12);
    QCOMPARE(r.top, 8);
    QCOMPARE(r.bottom, 20);
    // The next crop offers it as the previous range.
    CDlgCrop next;
    next.SetImageInfo(50, 100, "FITS");
    next.SetSelection(0, 0, 3, 3);
    QTimer::singleShot(0, &next, [&] {
      QCOMPARE(Find<QLabel>(&next, "CROP_TXT_PREVIOUS")->text(),
               QStringLiteral("[     6,    12;     9,    20 ]"));
      Click(Find<QPushButton>(&next, "CROP_BTN_PREVIOUS"));
      QCOMPARE(Find<QLineEdit>(&next, "CROP_EDT_X2")->text(), QStringLiteral("12"));
      Click(Find<QPushButton>(&next, "IDCANCEL"));
    });
    QCOMPARE(next.DoModal(), int(QDialog::Rejected));
  }

  // Bottom-up (the default) with height 100: rows 0 … 9 show as y1 = 100, y2 = 91, and
  // 91, 100 is refused with the bottom-up message. Another file type is never bottom-up.
  void cropDialogBottomUp() {
    CDlgCrop dialog;
    dialog.SetImageInfo(50, 100, "FITS");
    QVERIFY(dialog.IsBottomUp());
    dialog.SetSelection(0, 0, 49, 10);
    QTimer::singleShot(0, &dialog, [&] {
      QCOMPARE(Find<QLineEdit>(&dialog, "CROP_EDT_Y1")->text(), QStringLiteral("100"));
      QCOMPARE(Find<QLineEdit>(&dialog, "CROP_EDT_Y2")->text(), QStringLiteral("91"));
      Type(Find<QLineEdit>(&dialog, "CROP_EDT_Y1"), "91");
      Type(Find<QLineEdit>(&dialog, "CROP_EDT_Y2"), "100");
      Click(Find<QPushButton>(&dialog, "IDOK"));
      QVERIFY(dialog.isVisible());
      Type(Find<QLineEdit>(&dialog, "CROP_EDT_Y2"), "101");
      Click(Find<QPushButton>(&dialog, "IDOK"));
      QVERIFY(dialog.isVisible());
      Click(Find<QPushButton>(&dialog, "IDCANCEL"));
    });
    QCOMPARE(dialog.DoModal(), int(QDialog::Rejected));
    QCOMPARE(box_.shown.size(), size_t{2});
    QCOMPARE(box_.shown[0].text, std::string(kCropY1Y2BottomUpMessage));
    QVERIFY(box_.shown[1].text.find("Y座標：1 から 100") != std::string::npos);
    CDlgCrop tiff;
    tiff.SetImageInfo(50, 100, "TIFF");
    QVERIFY(!tiff.IsBottomUp());
  }
  // A point series drawn by the control: each error bar spans its ±error at the vertical
  // scale of the graph, points without an error have none, and larger values lie lower.
  void pointSeriesErrorBars() {
    CCtrlGraph2D graph;
    graph.resize(400, 300);
    graph.SetPoints({{0.0, 0.0, 0.0}, {1.0, 1.0, 0.5}, {2.0, 0.0, 0.0}}, "MJD", "dmag", true);
    const QRect area = graph.PlotArea();
    graph.HrzMag(area.width() / graph.GetLength());
    const QImage image = graph.Render(graph.size(), {});
    auto bluish = [&](int x, int y) {
      const QColor c = image.pixelColor(x, y);
      return c.blue() > c.red() + 80;
    };
    auto barExtent = [&](double px) {
      const int x = static_cast<int>(std::lround(px));
      int top = -1, bottom = -1;
      for (int y = area.top() + 1; y < area.bottom(); ++y)
        if (bluish(x, y)) {
          if (top < 0) top = y;
          bottom = y;
        }
      return top < 0 ? 0 : bottom - top + 1;
    };
    // y from 0 to 1.5 widened by 5 % of 1.5 each way: the bar of ±0.5 is 1/1.65 of the
    // height.
    const double want = area.height() / 1.65;
    const int middle = barExtent(graph.PointScreenX(1.0, area));
    QVERIFY2(std::abs(middle - want) <= 4.0, qPrintable(QString::number(middle)));
    QCOMPARE(barExtent(graph.PointScreenX(0.0, area)), 0);
    // The darkest pixel of a column is the point itself.
    auto dotY = [&](double px) {
      const int x = static_cast<int>(std::lround(px));
      int best = -1, value = 256;
      for (int y = area.top() + 1; y < area.bottom(); ++y)
        if (qGray(image.pixel(x, y)) < value) value = qGray(image.pixel(x, y)), best = y;
      return best;
    };
    QVERIFY(dotY(graph.PointScreenX(1.0, area)) > dotY(graph.PointScreenX(0.0, area)) + 50);
  }
};

QTEST_MAIN(GraphDialogsTest)
#include "graph_dialogs_test.moc"
