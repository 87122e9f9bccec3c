// The level dialog and the automatic level settings dialog, offscreen and without a
// document: the histogram range at opening, the thumbs and spin buttons against the gap,
// the range box, fields and slider in step, enlarging and shrinking the histogram, the
// planes of a colour image and the combined channel spread over them, and the automatic
// levels from the button and from Run.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <functional>

#include "controls/dualslider.h"
#include "controls/histogramview.h"
#include "controls/spinedit.h"
#include "dialogs/dlgautolevel.h"
#include "dialogs/dlglevel.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 64, kH = 48;

double GreyValue(int x, int y) {
  return 50.0 + (x * 7 + y * 13) % 200;
}

CRalImage MakeGrey() {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) row[x] = GreyValue(x, y);
    image.SetPhysicalRow(y, 0, row.data());
  }
  image.SetLevel(0, 100, 200);
  return image;
}

// The grey image in flux units: every value and the levels times 1e-20 (1e-18 … 2e-18,
// as erg/s/cm²/Å of a calibrated spectrum).
constexpr double kFlux = 1e-20;

CRalImage MakeFlux() {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) row[x] = GreyValue(x, y) * kFlux;
    image.SetPhysicalRow(y, 0, row.data());
  }
  image.SetLevel(0, 100 * kFlux, 200 * kFlux);
  return image;
}

bool Near(double a, double b) {
  return std::fabs(a - b) <= 1e-12 * std::max(std::fabs(a), std::fabs(b));
}

// Plane p: a ramp scaled by p + 1 with a few bright pixels; levels 10/110, 20/220, 30/330.
CRalImage MakeColour() {
  CRalImage image(kW, kH, -32, 3, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int p = 0; p < 3; ++p) {
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x)
        row[x] = (p + 1) * (100.0 + (x * 3 + y * 5) % 40) + ((x + y) % 29 == 0 ? 900.0 : 0.0);
      image.SetPhysicalRow(y, p, row.data());
    }
    image.SetLevel(p, 10.0 * (p + 1), 110.0 * (p + 1));
  }
  return image;
}

double Lum(double r, double g, double b) {
  return 0.299 * r + 0.587 * g + 0.114 * b;
}

// Runs the dialog modally with body acting inside its event loop; a body that returns
// without ending the dialog (a failed check) cancels it.
int RunModal(CVumDialog& dialog, const std::function<void()>& body) {
  bool ran = false;
  QTimer::singleShot(0, &dialog, [&] {
    if (QTest::qWaitForWindowExposed(&dialog)) {
      ran = true;
      body();
    }
    if (dialog.isVisible()) dialog.reject();
  });
  const int result = dialog.DoModal();
  if (!ran) QTest::qFail("the dialog never came up", __FILE__, __LINE__);
  return result;
}

template <typename T>
T* Child(QObject& dialog, int id) {
  return dialog.findChild<T*>(QString::number(id));
}
template <typename T>
T* Child(QObject& dialog, const char* name) {
  return dialog.findChild<T*>(name);
}

void TypeInto(CSpinEdit* edit, const QString& text, QWidget* next) {
  edit->setFocus();
  QTRY_VERIFY(edit->hasFocus());
  edit->selectAll();
  QTest::keyClicks(edit, text);
  next->setFocus();  // leaving the field finishes the edit
  QTRY_VERIFY(!edit->hasFocus());
}

void Drag(CDualSlider* slider, int from, int to) {
  const int y = slider->height() / 3;
  QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(from), y));
  QTest::mouseMove(slider, QPoint(slider->PositionToPixel(to), y));
  QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(to), y));
}

void Ok(QObject& dialog) {
  Child<QPushButton>(dialog, "IDOK")->click();
}

}  // namespace

class LevelDialogsTest : public QObject {
  Q_OBJECT

 private:
  ScopedConfigHome* home_ = nullptr;

 private slots:
  void init() { home_ = new ScopedConfigHome; }
  void cleanup() {
    delete home_;
    home_ = nullptr;
  }

  void greyImageOpensAroundItsLevels() {
    CRalImage target = MakeGrey(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    QString firstText;  // what the histogram shows when the dialog has just come up
    QTimer::singleShot(0, &dlg, [&] {
      if (dlg.isVisible()) firstText = Child<CHistogramView>(dlg, 1033)->GetBusyText();
    });
    RunModal(dlg, [&] {
      QCOMPARE(firstText, QString("ヒストグラム計算中"));
      auto* histogram = Child<CHistogramView>(dlg, CDlgLevel::IDC_HISTOGRAM);
      QCOMPARE(dlg.GetHistLow(), 80.0);
      QCOMPARE(dlg.GetHistHigh(), 220.0);
      QCOMPARE(dlg.GetTable(CDlgLevel::kOpenMax), 200.0);
      QCOMPARE(dlg.GetSliderWidth(), histogram->ContentWidth());
      QCOMPARE(Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER)->GetRangeMax(), dlg.GetSliderWidth());
      QCOMPARE(dlg.GetGap(), std::floor(140.0 / dlg.GetSliderWidth() * 10.0));
      QCOMPARE(Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN)->Text(), QString("100"));
      QCOMPARE(Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX)->Text(), QString("200"));
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_LOW_LABEL)->text(), QString("80"));
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_HIGH_LABEL)->text(), QString("220"));
      QVERIFY(!Child<QRadioButton>(dlg, "1052_1")->isEnabled());

      // Counted from the event loop: every pixel of 80 … 220, one bin per column.
      QTRY_VERIFY(histogram->GetBusyText().isEmpty());
      std::uint64_t inRange = 0, counted = 0;
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) inRange += GreyValue(x, y) >= 80 && GreyValue(x, y) <= 220;
      for (std::uint32_t n : histogram->GetCounts()) counted += n;
      QCOMPARE(histogram->GetCounts().size(), std::size_t(dlg.GetSliderWidth()));
      QCOMPARE(counted, inRange);
      QCOMPARE(histogram->GetSecondLevelPosition(), dlg.ValueToPos(200));
      Ok(dlg);
    });
  }

  void thumbsAndSpinsKeepTheGap() {
    CRalImage target = MakeGrey(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      const double gap = dlg.GetGap();
      QVERIFY(gap > 0);
      Drag(slider, slider->GetFirstPos(), slider->GetRangeMax());
      QCOMPARE(dlg.GetCurMin(), 200.0 - gap);
      QCOMPARE(min->Text(), QString::number(200.0 - gap));
      QCOMPARE(slider->GetFirstPos(), dlg.ValueToPos(200.0 - gap));
      min->stepUp();  // already at the limit
      QCOMPARE(dlg.GetCurMin(), 200.0 - gap);
      min->stepDown();
      QCOMPARE(dlg.GetCurMin(), 199.0 - gap);
      max->stepDown();
      max->stepDown();
      QCOMPARE(dlg.GetCurMax(), 199.0);  // stopped at minimum + gap
      Drag(slider, slider->GetSecondPos(), 0);
      QCOMPARE(dlg.GetCurMax(), dlg.GetCurMin() + gap);
      Ok(dlg);
    });
    QCOMPARE(target.GetLevelMin(0), 199.0 - dlg.GetGap());
    QCOMPARE(target.GetLevelMax(0), 199.0);
  }

  // The grey image in flux units behaves as the one in counts, scaled: histogram range,
  // end labels in e-notation, thumbs, gap and spin steps, and automatic levels that
  // follow the data instead of collapsing to zero.
  void fluxCalibratedImageKeepsItsScale() {
    CRalImage target = MakeFlux(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* histogram = Child<CHistogramView>(dlg, CDlgLevel::IDC_HISTOGRAM);
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      const int w = dlg.GetSliderWidth();
      QVERIFY(Near(dlg.GetHistLow(), 80 * kFlux));
      QVERIFY(Near(dlg.GetHistHigh(), 220 * kFlux));
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_LOW_LABEL)->text(), QString("8.00000e-19"));
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_HIGH_LABEL)->text(), QString("2.20000e-18"));
      QCOMPARE(min->Text().toDouble(), 100 * kFlux);
      QCOMPARE(slider->GetSecondPos(), dlg.ValueToPos(200 * kFlux));
      // Every stored pixel of the range counted, spread over the columns.
      QTRY_VERIFY(histogram->GetBusyText().isEmpty());
      std::uint64_t inRange = 0, counted = 0;
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const double v = static_cast<float>(GreyValue(x, y) * kFlux);
          inRange += v >= dlg.GetHistLow() && v <= dlg.GetHistHigh();
        }
      int used = 0;
      for (std::uint32_t n : histogram->GetCounts()) {
        counted += n;
        used += n > 0;
      }
      QCOMPARE(counted, inRange);
      QVERIFY(used > 100);

      // A thumb lands where it would in counts: the value of its position cut to the
      // digits of one column (a third of the way: 126.67 counts cut to 126).
      const double gap = dlg.GetGap();
      QVERIFY(Near(gap, 140 * kFlux / w * 10));
      Drag(slider, slider->GetFirstPos(), w / 3);
      const int pos = slider->GetFirstPos();
      QVERIFY(Near(dlg.GetCurMin(), CFltPtrCtrl::V(80.0 + 140.0 * pos / w, 140.0 / w) * kFlux));
      QVERIFY(Near(min->Text().toDouble(), dlg.GetCurMin()));
      Drag(slider, pos, w);
      QVERIFY(Near(dlg.GetCurMin(), 200 * kFlux - gap));
      // One spin click moves by the power of ten at or below the gap: 1e-20 here, as one
      // count does in counts.
      QCOMPARE(dlg.SpinStep(), std::pow(10.0, std::floor(std::log10(gap))));
      QVERIFY(Near(dlg.SpinStep(), kFlux));
      const double before = dlg.GetCurMin();
      min->stepDown();
      QVERIFY(Near(dlg.GetCurMin(), before - kFlux));

      // Automatic levels inside the data's range, as the processing gives them.
      CRalImage expected(target);
      QCOMPARE(CPrcAutoLevel::Do(expected, nullptr), 1);
      Child<QPushButton>(dlg, CDlgLevel::IDC_AUTO)->click();
      QCOMPARE(dlg.GetCurMin(), expected.GetLevelMin(0));
      QCOMPARE(dlg.GetCurMax(), expected.GetLevelMax(0));
      QVERIFY(dlg.GetCurMin() >= 49 * kFlux && dlg.GetCurMax() <= 250 * kFlux);
      QVERIFY(dlg.GetCurMax() - dlg.GetCurMin() > 100 * kFlux);
      QVERIFY(Child<QLineEdit>(dlg, CDlgLevel::IDC_LOW_LABEL)->text().contains("e-1"));
      Ok(dlg);
    });
    QCOMPARE(target.GetLevelMin(0), dlg.GetCurMin());
    QCOMPARE(target.GetLevelMax(0), dlg.GetCurMax());
  }

  void rangeBoxKeepsTheRange() {
    CRegistry::Write("Dialog\\Level", "UseRange", 1, CRegistry::TYPE_INT);
    CRalImage target = MakeGrey(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      auto* second = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      auto* label = Child<QLabel>(dlg, "1003_label");
      QVERIFY(Child<QCheckBox>(dlg, CDlgLevel::IDC_USE_RANGE)->isChecked());
      QCOMPARE(label->text(), QString("ﾚﾝｼﾞ(&X)："));
      QCOMPARE(second->Text(), QString("100"));
      const int to = slider->GetFirstPos() + 20;
      Drag(slider, slider->GetFirstPos(), to);
      const double step = 140.0 / dlg.GetSliderWidth();
      const double min = CFltPtrCtrl::V(80.0 + 140.0 * to / dlg.GetSliderWidth(), step);
      QCOMPARE(dlg.GetCurMin(), min);
      QCOMPARE(dlg.GetCurMax(), min + 100.0);
      QCOMPARE(second->Text(), QString("100"));
      QCOMPARE(slider->GetSecondPos(), dlg.ValueToPos(min + 100.0));
      // Unchecked, the second field is the maximum again.
      Child<QCheckBox>(dlg, CDlgLevel::IDC_USE_RANGE)->click();
      QCOMPARE(label->text(), QString("最大値(&X)："));
      QCOMPARE(second->Text(), QString::number(min + 100.0));
      Ok(dlg);
    });
    int useRange = -1;
    CRegistry::Read("Dialog\\Level", "UseRange", -1, useRange, CRegistry::TYPE_INT);
    QCOMPARE(useRange, 0);
    QCOMPARE(target.GetLevelMax(0) - target.GetLevelMin(0), 100.0);
  }

  void fieldsAndSliderInStep() {
    CRalImage target = MakeGrey(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      const int w = dlg.GetSliderWidth();
      TypeInto(min, "150", max);
      QCOMPARE(dlg.GetCurMin(), 150.0);
      QCOMPARE(slider->GetFirstPos(), static_cast<int>(std::lround(70.0 / 140.0 * w)));
      // A value beyond the histogram widens it.
      TypeInto(max, "300", min);
      QCOMPARE(dlg.GetHistHigh(), 300.0);
      QCOMPARE(dlg.GetHistLow(), 80.0);
      QCOMPARE(slider->GetSecondPos(), w);
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_HIGH_LABEL)->text(), QString("300"));
      // Dragging writes the field.
      QSignalSpy moved(slider, &CDualSlider::secondMoved);
      Drag(slider, w, w / 2 + 40);
      QVERIFY(moved.count() > 0);
      const int pos = moved.last().at(0).toInt();
      const double expected = CFltPtrCtrl::V(80.0 + 220.0 * pos / w, 220.0 / w);
      QCOMPARE(dlg.GetCurMax(), expected);
      QCOMPARE(max->Text().toDouble(), expected);
      TypeInto(min, "abc", max);  // no number: the value stays
      QCOMPARE(dlg.GetCurMin(), 150.0);
      Ok(dlg);
    });
    QCOMPARE(target.GetLevelMin(0), 150.0);
    QCOMPARE(target.GetLevelMax(0), dlg.GetCurMax());
  }

  void enlargeAndShrinkTheHistogram() {
    CRalImage target = MakeGrey(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* enlarge = Child<QPushButton>(dlg, CDlgLevel::IDC_ENLARGE);
      auto* shrink = Child<QPushButton>(dlg, CDlgLevel::IDC_SHRINK);
      QVERIFY(enlarge->isEnabled() && shrink->isEnabled());
      // Centre 150, half-width 140 / 4: 115 … 185 would cut the levels, which stay in.
      enlarge->click();
      QCOMPARE(dlg.GetHistLow(), 100.0);
      QCOMPARE(dlg.GetHistHigh(), 200.0);
      QVERIFY(!enlarge->isEnabled());
      // Outward by a fifth of the width on each side, three times, then enlarged.
      for (int i = 0; i < 3; ++i) shrink->click();
      const double width = 100.0 * 1.4 * 1.4 * 1.4;
      QVERIFY(std::fabs(dlg.GetHistHigh() - dlg.GetHistLow() - width) < 1e-9);
      enlarge->click();
      QVERIFY(std::fabs(dlg.GetHistLow() - (150.0 - width / 4)) < 1e-9);
      QVERIFY(std::fabs(dlg.GetHistHigh() - (150.0 + width / 4)) < 1e-9);
      // Thumbs ten pixels apart or closer: no more shrinking.
      for (int i = 0; i < 10; ++i) shrink->click();
      QVERIFY(!shrink->isEnabled());
      dlg.reject();
    });
    QCOMPARE(target.GetLevelMin(0), 100.0);
  }

  void planesOfAColourImage() {
    CRalImage target = MakeColour(), undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      QCOMPARE(dlg.GetTable(0), Lum(10, 20, 30));
      QCOMPARE(dlg.GetTable(4), Lum(110, 220, 330));
      Child<QRadioButton>(dlg, "1052_1")->click();
      QCOMPARE(max->Text(), QString("110"));
      QCOMPARE(dlg.GetHistLow(), -10.0);
      TypeInto(min, "40", max);
      // Ending on another plane keeps red's change.
      Child<QRadioButton>(dlg, "1052_3")->click();
      QCOMPARE(min->Text(), QString("30"));
      // The combined channel then starts from the planes as they are, changing none.
      Child<QRadioButton>(dlg, "1052_0")->click();
      QCOMPARE(dlg.GetCurMin(), Lum(40, 20, 30));
      Child<QRadioButton>(dlg, "1052_2")->click();
      Ok(dlg);
    });
    const double levels[3][2] = {{40, 110}, {20, 220}, {30, 330}};
    for (int p = 0; p < 3; ++p) {
      QCOMPARE(target.GetLevelMin(p), levels[p][0]);
      QCOMPARE(target.GetLevelMax(p), levels[p][1]);
    }
  }

  void combinedChannelSpreadsOverThePlanes() {
    CRalImage target = MakeColour(), undo(target);
    const double lmin = Lum(10, 20, 30), lmax = Lum(110, 220, 330);
    const double tmin = (30.0 - lmin) / (lmax - lmin), tmax = (300.0 - lmax) / (lmax - lmin);
    auto spreadMin = [&](int p) { return 10.0 * (p + 1) + tmin * 100.0 * (p + 1); };
    auto spreadMax = [&](int p) { return 110.0 * (p + 1) + tmax * 100.0 * (p + 1); };
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      TypeInto(min, "30", max);
      TypeInto(max, "300", min);
      // Leaving the combined channel moves the change onto the planes.
      Child<QRadioButton>(dlg, "1052_2")->click();
      QCOMPARE(dlg.GetCurMin(), spreadMin(1));
      QCOMPARE(dlg.GetTable(CDlgLevel::kCurMax + 3), spreadMax(2));
      // Back on it, it starts from the planes as they are: the same levels.
      Child<QRadioButton>(dlg, "1052_0")->click();
      QVERIFY(std::fabs(dlg.GetCurMin() - 30.0) < 1e-9);
      QVERIFY(std::fabs(dlg.GetCurMax() - 300.0) < 1e-9);
      Ok(dlg);
    });
    for (int p = 0; p < 3; ++p) {
      QVERIFY(std::fabs(target.GetLevelMin(p) - spreadMin(p)) < 1e-9);
      QVERIFY(std::fabs(target.GetLevelMax(p) - spreadMax(p)) < 1e-9);
    }
  }

  void automaticButtonTakesTheAutomaticLevels() {
    CRegistry::Write("PrcAutoLevel", "Plane", 1, CRegistry::TYPE_INT);  // planes differ
    CRalImage target = MakeColour(), undo(target), expected(target);
    QCOMPARE(CPrcAutoLevel::Do(expected, nullptr), 1);
    QVERIFY(expected.GetLevelMin(0) != expected.GetLevelMin(2));
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      Child<QPushButton>(dlg, CDlgLevel::IDC_AUTO)->click();
      for (int p = 0; p < 3; ++p)
        QCOMPARE(dlg.GetTable(CDlgLevel::kCurMax + 1 + p), expected.GetLevelMax(p));
      QCOMPARE(dlg.GetCurMin(),
               Lum(expected.GetLevelMin(0), expected.GetLevelMin(1), expected.GetLevelMin(2)));
      QVERIFY(dlg.GetHistLow() <= dlg.GetCurMin() && dlg.GetHistHigh() >= dlg.GetCurMax());
      QCOMPARE(dlg.GetTable(CDlgLevel::kOpenMin + 1), 10.0);
      Ok(dlg);
    });
    for (int p = 0; p < 3; ++p) {
      QVERIFY(std::fabs(target.GetLevelMin(p) - expected.GetLevelMin(p)) < 1e-9);
      QVERIFY(std::fabs(target.GetLevelMax(p) - expected.GetLevelMax(p)) < 1e-9);
    }
  }

  void autoLevelDialogStepsAndStoresOnOk() {
    CRegistry::Write("PrcAutoLevel", "Min", 2.5);
    CRegistry::Write("PrcAutoLevel", "Max", 49.5);
    CRegistry::Write("PrcAutoLevel", "Plane", 1, CRegistry::TYPE_INT);
    CRalImage target = MakeGrey(), undo(target);
    CDlgAutoLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* max = Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX);
      auto* min = Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN);
      QCOMPARE(max->Text(), QString("49.5"));
      QCOMPARE(min->Text(), QString("2.5"));
      QCOMPARE(Child<QRadioButton>(dlg, "1392_0")->text(), QString("RGB各ﾌﾟﾚｰﾝで調整"));
      QVERIFY(Child<QRadioButton>(dlg, "1392_0")->isChecked());
      max->stepUp();
      QCOMPARE(max->Text(), QString("50"));  // 50.5 kept at 50
      for (int i = 0; i < 6; ++i) min->stepUp();
      QCOMPARE(min->Text(), QString("4"));  // by tenths to 3, then by one
      min->stepDown();
      min->stepDown();
      QCOMPARE(min->Text(), QString("2"));
      TypeInto(min, "0.2", max);
      min->stepDown();
      min->stepDown();
      QCOMPARE(min->Text(), QString("0.1"));
      Child<QRadioButton>(dlg, "1392_1")->click();
      Ok(dlg);
    });
    QCOMPARE(dlg.GetOnOK(), 1);
    QCOMPARE(dlg.IsImageChanged(), 0);
    double min = 0, max = 0;
    int plane = -1;
    CRegistry::Read("PrcAutoLevel", "Min", 0.0, min);
    CRegistry::Read("PrcAutoLevel", "Max", 0.0, max);
    CRegistry::Read("PrcAutoLevel", "Plane", -1, plane, CRegistry::TYPE_INT);
    QCOMPARE(min, 0.1);
    QCOMPARE(max, 50.0);
    QCOMPARE(plane, 0);  // luminance
    QCOMPARE(target.GetLevelMin(0), 100.0);
  }

  void autoLevelRunAndCancel() {
    CRalImage target = MakeColour(), undo(target);
    {
      CDlgAutoLevel cancelled;
      cancelled.Set(nullptr, &target, &undo);
      RunModal(cancelled, [&] {
        TypeInto(Child<CSpinEdit>(cancelled, CDlgAutoLevel::IDC_MAX), "12",
                 Child<CSpinEdit>(cancelled, CDlgAutoLevel::IDC_MIN));
        Child<QPushButton>(cancelled, "IDCANCEL")->click();
      });
      double max = 0;
      QCOMPARE(CRegistry::Read("PrcAutoLevel", "Max", -1.0, max), 0);  // nothing stored
    }
    CDlgAutoLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    const int result = RunModal(dlg, [&] {
      TypeInto(Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN), "3",
               Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX));
      TypeInto(Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX), "12",
               Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN));
      Child<QRadioButton>(dlg, "1392_0")->click();
      Child<QPushButton>(dlg, CDlgAutoLevel::IDC_RUN)->click();
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(dlg.GetOnOK(), 0);
    QCOMPARE(dlg.IsImageChanged(), 1);
    int plane = -1;
    CRegistry::Read("PrcAutoLevel", "Plane", -1, plane, CRegistry::TYPE_INT);
    QCOMPARE(plane, 1);
    CRalImage expected(undo);  // the automatic levels with the stored factors
    QCOMPARE(CPrcAutoLevel::Do(expected, nullptr), 1);
    for (int p = 0; p < 3; ++p) {
      QCOMPARE(target.GetLevelMin(p), expected.GetLevelMin(p));
      QCOMPARE(target.GetLevelMax(p), expected.GetLevelMax(p));
    }
    QVERIFY(target.GetLevelMin(0) != 10.0);
  }
};

QTEST_MAIN(LevelDialogsTest)

#include "dlglevel_test.moc"
