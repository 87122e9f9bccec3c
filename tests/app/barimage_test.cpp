// The image tool bar offscreen, driven by real key and mouse events: the level texts and
// thumb rules, typing and dragging levels into the view, the bar following level
// commands and the active window (colour list, logarithmic box, levels), the disabled bar
// without an image; and the frame's tool state, zoom steps and running-copy keys.
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QStatusBar>
#include <QtTest>
#include <cmath>
#include <random>
#include <vector>

#include "app/apptexts.h"
#include "app/barimage.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "controls/dualslider.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

class BarImageTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  TempDir* dir_ = nullptr;

  QString Sample(const char* name, int w, int h) {
    const std::string path = dir_->File(name);
    return WriteSampleStarField(path, w, h) == 0 ? QString::fromStdString(path) : QString();
  }
  template <typename T>
  static T* Control(CMainFrame& frame, int id) {
    return frame.ImageBar()->findChild<T*>(QString::number(id));
  }
  static QString Text(double level) { return QString::fromStdString(CBarImage::LevelText(level)); }
  static void Levels(CRalImgWnd& wnd, float* min, float* max, float* low, float* high) {
    wnd.GetLevel(min, max);
    wnd.GetLevelSliderRange(low, high);
  }
  // Types text over the whole content of an edit box, key by key.
  static void Retype(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    dir_ = new TempDir;
  }
  void cleanup() {
    delete scoped_;
    delete home_;
    delete dir_;
  }

  void levelTextsAndThumbRules_data() {
    QTest::addColumn<double>("level");
    QTest::addColumn<QString>("text");
    QTest::newRow("fraction") << 1234.5 << "1234.5";
    QTest::newRow("whole") << 12.0 << "12";
    QTest::newRow("cut to eight") << 123456.789 << "123456.7";
    QTest::newRow("small") << 0.000001 << "0.000001";
    QTest::newRow("negative") << -0.25 << "-0.25";
    QTest::newRow("zeros of the whole part stay") << -1000000.5 << "-1000000";
    QTest::newRow("ten million is not cut") << 10000000.0 << "10000000.000000";
    // Where the box's eight characters of the fixed text would lose the level.
    QTest::newRow("flux") << 1.23456789e-18 << "1.23e-18";
    QTest::newRow("negative flux, not -0") << -3.2e-19 << "-3.2e-19";
    QTest::newRow("below a millionth") << 0.0000012346 << "1.235e-6";
    QTest::newRow("huge") << 1e20 << "1e20";
    QTest::newRow("past eight digits") << 123456789.0 << "1.2346e8";
    QTest::newRow("negative past seven digits") << -12345678.9 << "-1.235e7";
  }
  void levelTextsAndThumbRules() {
    QFETCH(double, level);
    QFETCH(QString, text);
    QCOMPARE(Text(level), text);
  }

  void partialLevelTexts() {
    for (const char* partial : {"", "-", "1.", "1.50", "1.5e", "1.5E", "1.5e-", "1e+"})
      QVERIFY2(CBarImage::IsPartialLevel(partial), partial);
    for (const char* whole : {"1.5", "150", "1.5e-18", "1.5e-10", "2e20"})
      QVERIFY2(!CBarImage::IsPartialLevel(whole), whole);
  }

  void thumbRules() {
    // Positions from levels on a span of 0 … 1000, truncated and kept on the slider.
    QCOMPARE(CBarImage::SliderPos(100, 0, 1000), 30);
    QCOMPARE(CBarImage::SliderPos(3.3, 0, 1000), 0);
    QCOMPARE(CBarImage::SliderPos(-50, 0, 1000), 0);
    QCOMPARE(CBarImage::SliderPos(999.9, 0, 1000), 299);
    QCOMPARE(CBarImage::SliderPos(5000, 0, 1000), 300);
    QCOMPARE(CBarImage::SliderPos(5, 7, 7), 0);
    // Dragged past the other thumb: the gap of 30 behind it, never off the slider.
    QCOMPARE(CBarImage::LowerThumb(250, 200), 170);
    QCOMPARE(CBarImage::LowerThumb(40, 20), 0);
    QCOMPARE(CBarImage::UpperThumb(10, 50), 80);
    QCOMPARE(CBarImage::UpperThumb(100, 290), 300);
    QCOMPARE(CBarImage::UpperThumb(-5, 0), 30);
    // Span 1000, levels 100 and 200: a maximum needs 200 at least, a minimum 100 at most.
    QVERIFY(!CBarImage::AcceptMaximum(150, 100, 1000));
    QVERIFY(CBarImage::AcceptMaximum(300, 100, 1000));
    QVERIFY(CBarImage::AcceptMinimum(100, 200, 1000));
    QVERIFY(!CBarImage::AcceptMinimum(101, 200, 1000));
  }

  void typingAndDraggingMoveTheViewsLevels() {
    CMainFrame frame;
    frame.resize(1100, 700);
    frame.show();
    QVERIFY(frame.OpenDocumentFile(Sample("a.fits", 200, 120)));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    wnd.SetLevel(100, 200);
    frame.ImageBar()->Bind(view);
    auto* minEdit = Control<QLineEdit>(frame, CBarImage::IDC_LEVEL_MIN);
    auto* maxEdit = Control<QLineEdit>(frame, CBarImage::IDC_LEVEL_MAX);
    auto* slider = Control<CDualSlider>(frame, CBarImage::IDC_SLIDER);
    QVERIFY(minEdit && maxEdit && slider);
    QCOMPARE(maxEdit->maxLength(), 8);
    float min, max, low, high;
    Levels(wnd, &min, &max, &low, &high);
    QCOMPARE(maxEdit->text(), QString("200"));
    QCOMPARE(slider->GetSecondPos(), CBarImage::SliderPos(200, low, high));
    // The span is the levels widened by 2/11 on each side: 136.36; a tenth of it is the
    // least gap a typed level keeps. 110 as the maximum is refused key by key ...
    Retype(maxEdit, "110");
    Levels(wnd, &min, &max, &low, &high);
    QCOMPARE(max, 200.0f);
    QTest::keyClick(maxEdit, Qt::Key_Return);
    QCOMPARE(maxEdit->text(), QString("200"));
    // ... 150 is taken at its last key; the image is painted again.
    const int paints = view->PaintCount();
    Retype(maxEdit, "150");
    Levels(wnd, &min, &max, &low, &high);
    QCOMPARE(min, 100.0f);
    QCOMPARE(max, 150.0f);
    QCOMPARE(slider->GetSecondPos(), CBarImage::SliderPos(150, low, high));
    QTRY_VERIFY(view->PaintCount() > paints);
    // The minimum follows every key that keeps the gap: 1, 13, 130.
    Retype(minEdit, "130");
    Levels(wnd, &min, &max, &low, &high);
    QCOMPARE(min, 130.0f);
    QCOMPARE(slider->GetFirstPos(), CBarImage::SliderPos(130, low, high));
    // Another colour mode keeps the slider's span, and so the thumbs.
    const int kept = slider->GetFirstPos();
    QTest::keyClick(Control<QComboBox>(frame, CBarImage::IDC_COLOR_MODE), Qt::Key_Down);
    QCOMPARE(int(wnd.GetColorMode()), 1);
    QCOMPARE(slider->GetFirstPos(), kept);

    // Dragging the lower thumb moves the minimum by the same share of the way to the
    // maximum as the thumb went towards the upper one.
    const int lower = slider->GetFirstPos(), upper = slider->GetSecondPos();
    const int y = slider->height() / 2;
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(lower), y));
    QTest::mouseMove(slider, QPoint(slider->PositionToPixel(lower + 20), y));
    const int moved = slider->GetFirstPos();
    QVERIFY(moved > lower && moved < upper);
    float min2, max2;
    wnd.GetLevel(&min2, &max2);
    QCOMPARE(max2, 150.0f);
    QVERIFY(qAbs(min2 - (130.0 + (moved - lower) * 20.0 / (upper - lower))) < 1e-3);
    QCOMPARE(minEdit->text(), Text(min2));
    // Past the upper thumb it stays 30 positions below it.
    QTest::mouseMove(slider, QPoint(slider->PositionToPixel(upper + 25), y));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(upper + 25), y));
    QCOMPARE(slider->GetFirstPos(), upper - 30);
    QCOMPARE(slider->GetSecondPos(), upper);
  }

  // A flux-calibrated image (1e-18): the bar shows its automatic levels in e-notation,
  // takes a level typed with an exponent, and its thumbs move the levels by shares of
  // their range, not by a fixed amount.
  void fluxLevelsInTheBar() {
    CRalImage image(160, 100, -32, 1, 1.0, 0.0, 1);
    std::mt19937 rng(4);
    std::normal_distribution<double> noise(0.3, 1.0);
    std::vector<double> row(160);
    for (int y = 0; y < 100; ++y) {
      for (int x = 0; x < 160; ++x)
        row[x] = (noise(rng) + 50 * std::exp(-((x - 80) * (x - 80) + (y - 50) * (y - 50)) / 9.0)) *
                 1.3e-18;
      QVERIFY(image.SetPhysicalRow(y, 0, row.data()));
    }
    image.SetOrgFileFormat("FITS");
    const std::string path = dir_->File("flux.fits");
    QCOMPARE(CRalImageIO::WriteImageFile(image, path, 0), 1);

    CMainFrame frame;
    frame.resize(1100, 700);
    frame.show();
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CRalImgWnd& wnd = frame.ActiveView()->GetImgWnd();
    // The file carries the levels it was written with; the command sets automatic ones.
    frame.Command(cmd::ID_AUTO_LEVEL)->trigger();
    auto* minEdit = Control<QLineEdit>(frame, CBarImage::IDC_LEVEL_MIN);
    auto* maxEdit = Control<QLineEdit>(frame, CBarImage::IDC_LEVEL_MAX);
    auto* slider = Control<CDualSlider>(frame, CBarImage::IDC_SLIDER);
    float min, max, low, high;
    Levels(wnd, &min, &max, &low, &high);
    // Automatic levels around the sky noise, not collapsed to zero.
    QVERIFY2(min < 0 && min > -10e-18 && max > 1e-18 && max < 70e-18,
             qPrintable(QString("%1 .. %2").arg(min).arg(max)));
    for (auto [edit, level] : {std::pair{minEdit, min}, std::pair{maxEdit, max}}) {
      QCOMPARE(edit->text(), Text(level));
      QVERIFY2(edit->text().contains("e-"), qPrintable(edit->text()));
      QVERIFY(qAbs(edit->text().toDouble() - level) <= 5e-3 * qAbs(level));
    }
    QVERIFY(slider->GetFirstPos() > 0 && slider->GetSecondPos() < CBarImage::kSliderMax);

    // A maximum typed key by key with its exponent is taken at its last key.
    const double typed = min + 0.6 * (static_cast<double>(max) - min);
    const QString text = QString::asprintf("%.2e", typed);
    Retype(maxEdit, text);
    Levels(wnd, &min, &max, &low, &high);
    QCOMPARE(max, static_cast<float>(text.toDouble()));
    QCOMPARE(maxEdit->text(), text);
    QCOMPARE(slider->GetSecondPos(), CBarImage::SliderPos(max, low, high));
    QTest::keyClick(maxEdit, Qt::Key_Return);

    // The lower thumb dragged halfway to the upper one: the minimum halfway to the maximum.
    const int lower = slider->GetFirstPos(), upper = slider->GetSecondPos();
    const int y = slider->height() / 2;
    const int to = (lower + upper) / 2;
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(lower), y));
    QTest::mouseMove(slider, QPoint(slider->PositionToPixel(to), y));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(to), y));
    const int moved = slider->GetFirstPos();
    QVERIFY(moved > lower && moved < upper);
    float min2, max2;
    wnd.GetLevel(&min2, &max2);
    QCOMPARE(max2, max);
    const double share = static_cast<double>(moved - lower) / (upper - lower);
    QVERIFY(qAbs(min2 - (min + share * (static_cast<double>(max) - min))) <= 1e-5 * (max - min));
    QCOMPARE(minEdit->text(), Text(min2));
  }

  void barFollowsCommandsAndTheActiveWindow() {
    CMainFrame frame;
    frame.resize(1100, 700);
    frame.show();
    auto* combo = Control<QComboBox>(frame, CBarImage::IDC_COLOR_MODE);
    auto* log = Control<QCheckBox>(frame, 4554);
    auto* minEdit = Control<QLineEdit>(frame, CBarImage::IDC_LEVEL_MIN);
    auto* maxEdit = Control<QLineEdit>(frame, CBarImage::IDC_LEVEL_MAX);
    auto* slider = Control<CDualSlider>(frame, CBarImage::IDC_SLIDER);
    QVERIFY(combo && log && minEdit && slider);
    // No image: everything off, the thumbs at rest.
    QVERIFY(!combo->isEnabled() && !slider->isEnabled() && !minEdit->isEnabled());
    QCOMPARE(slider->GetFirstPos(), 40);
    QCOMPARE(slider->GetSecondPos(), 260);

    CKivImageDoc* a = frame.OpenDocumentFile(Sample("a.fits", 200, 120));
    QVERIFY(a);
    QMdiSubWindow* frameA = frame.MdiArea()->activeSubWindow();
    QVERIFY(combo->isEnabled() && slider->isEnabled());
    QCOMPARE(combo->count(), 10);
    QCOMPARE(combo->currentText(), QString::fromUtf8("ｸﾞﾚｰｽｹｰﾙ"));
    // Two steps down the list: cyan, on the window and in the menu.
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QString::fromUtf8("ｼｱﾝ"));
    QCOMPARE(int(a->GetImgWnd().GetColorMode()), 4);
    QCOMPARE(int(a->GetImgWnd().GetColorType()), 1);
    QVERIFY(frame.Command(cmd::ID_CYAN)->isChecked());
    // The logarithmic box clicked: the window shows logarithmically, the menu agrees.
    QTest::mouseClick(log, Qt::LeftButton);
    QVERIFY(a->GetImgWnd().IsLogScale());
    QVERIFY(frame.Command(cmd::ID_LOG_SCALE)->isChecked());
    // Automatic levels through the menu command: the bar shows the new levels.
    CRegistry::Write("PrcAutoLevel", "Min", 0.5);
    CRegistry::Write("PrcAutoLevel", "Max", 2.0);
    frame.Command(cmd::ID_AUTO_LEVEL)->trigger();
    float minA, maxA;
    a->GetImgWnd().GetLevel(&minA, &maxA);
    QCOMPARE(minEdit->text(), Text(minA));
    QCOMPARE(maxEdit->text(), Text(maxA));

    CKivImageDoc* b = frame.OpenDocumentFile(Sample("b.fits", 160, 100));
    QVERIFY(b);
    float minB, maxB;
    b->GetImgWnd().GetLevel(&minB, &maxB);
    QVERIFY(minB != minA || maxB != maxA);
    QCOMPARE(combo->currentText(), QString::fromUtf8("ｸﾞﾚｰｽｹｰﾙ"));
    QVERIFY(!log->isChecked());
    QCOMPARE(maxEdit->text(), Text(maxB));
    float low, high;
    b->GetImgWnd().GetLevelSliderRange(&low, &high);
    QCOMPARE(slider->GetSecondPos(), CBarImage::SliderPos(maxB, low, high));

    // Back to the first window: its colour, box and levels come back to the bar.
    frame.MdiArea()->setActiveSubWindow(frameA);
    QCOMPARE(frame.ImageBar()->GetView(), frame.ActiveView());
    QCOMPARE(combo->currentText(), QString::fromUtf8("ｼｱﾝ"));
    QVERIFY(log->isChecked());
    QCOMPARE(minEdit->text(), Text(minA));
    // Levels of reading again: the bar follows the command.
    frame.Command(cmd::ID_LEVEL_AT_LOAD)->trigger();
    a->GetImgWnd().GetLevel(&minA, &maxA);
    QCOMPARE(maxEdit->text(), Text(maxA));

    a->SetModifiedFlag(false);
    frame.MdiArea()->closeAllSubWindows();
    QTRY_VERIFY(!combo->isEnabled());
    QCOMPARE(minEdit->text(), QString());
    QCOMPARE(slider->GetFirstPos(), 40);
  }

  void toolStateZoomAndRunningCopyKeys() {
    std::string value;
    {
      CMainFrame frame;
      frame.resize(900, 700);
      frame.show();
      QVERIFY(CRegistry::Read("Exchange", "ProcessId", "", value));
      QCOMPARE(value, std::to_string(getpid()));
      QVERIFY(CRegistry::Read("Exchange", "hWnd", "", value));
      QCOMPARE(value, std::to_string(static_cast<long long>(frame.winId())));
      CKivImageDoc* doc = frame.OpenDocumentFile(Sample("a.fits", 200, 120));
      QVERIFY(doc);
      // The tools the window carries are offered: photometry, positioning, crop, the profile
      // graph and blink; marks and lines can be hidden.
      for (int id : {cmd::ID_APERTURE, cmd::ID_POSITIONING, cmd::ID_CROP, cmd::ID_GRAPH,
                     cmd::ID_BLINK, cmd::ID_HIDE_MARKS})
        QVERIFY2(frame.Command(id)->isEnabled(), qPrintable(QString::number(id)));
      QVERIFY(Control<QWidget>(frame, 4509)->isEnabled());
      QCOMPARE(frame.ToolStatusText(), QString::fromUtf8("ﾃﾞｰﾀ処理表示 ： OFF"));
      // A zoom step leaves the window's size alone.
      QMdiSubWindow* child = frame.MdiArea()->activeSubWindow();
      QTest::qWait(50);
      const QSize size = child->size();
      frame.Command(cmd::ID_ZOOM_IN)->trigger();
      QCOMPARE(doc->GetImgWnd().GetZoom(), 2);
      QVERIFY(!doc->GetImgWnd().GetViewInfo().IsFitPending());
      QTest::qWait(50);
      QCOMPARE(child->size(), size);
    }
    QVERIFY(!CRegistry::Read("Exchange", "ProcessId", "", value));
  }
};

QTEST_MAIN(BarImageTest)
#include "barimage_test.moc"
