// The level dialog and the automatic level settings dialog, offscreen and without a
// document: the histogram range at opening, the thumbs against the gap, the range box,
// fields and slider in step, channels of a colour image and the combined channel spread
// over the planes, enlarging and shrinking the histogram, the automatic levels from the
// button and from Run, and the spin buttons' limits.
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
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

CRalImage MakeGrey(double min, double max) {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) row[x] = GreyValue(x, y);
    image.SetPhysicalRow(y, 0, row.data());
  }
  image.SetLevel(0, min, max);
  return image;
}

// Plane p holds a ramp scaled by p + 1, a few bright pixels on top.
CRalImage MakeColour() {
  CRalImage image(kW, kH, -32, 3, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x)
        row[x] = (p + 1) * (100.0 + (x * 3 + y * 5) % 40) + ((x + y) % 29 == 0 ? 900.0 : 0.0);
      image.SetPhysicalRow(y, p, row.data());
    }
  image.SetLevel(0, 10, 110);
  image.SetLevel(1, 20, 220);
  image.SetLevel(2, 30, 330);
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
  QTest::mousePress(slider, Qt::LeftButton, Qt::NoModifier,
                    QPoint(slider->PositionToPixel(from), y));
  QTest::mouseMove(slider, QPoint(slider->PositionToPixel(to), y));
  QTest::mouseRelease(slider, Qt::LeftButton, Qt::NoModifier,
                      QPoint(slider->PositionToPixel(to), y));
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
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    // What the histogram shows when the dialog has just come up.
    QString firstText;
    bool firstVisible = false;
    QTimer::singleShot(0, &dlg, [&] {
      firstText = Child<CHistogramView>(dlg, CDlgLevel::IDC_HISTOGRAM)->GetBusyText();
      firstVisible = dlg.isVisible();
    });
    RunModal(dlg, [&] {
      QVERIFY(firstVisible);
      QCOMPARE(firstText, QString("ヒストグラム計算中"));
      auto* histogram = Child<CHistogramView>(dlg, CDlgLevel::IDC_HISTOGRAM);
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      QVERIFY(histogram && slider);
      QCOMPARE(dlg.GetHistLow(), 80.0);
      QCOMPARE(dlg.GetHistHigh(), 220.0);
      QCOMPARE(dlg.GetTable(CDlgLevel::kOpenMin), 100.0);
      QCOMPARE(dlg.GetTable(CDlgLevel::kOpenMax), 200.0);
      QCOMPARE(dlg.GetSliderWidth(), histogram->ContentWidth());
      QCOMPARE(slider->GetRangeMax(), dlg.GetSliderWidth());
      // 140 / width × 10 is above 1, so it is cut to whole units.
      const double gap = std::floor(140.0 / dlg.GetSliderWidth() * 10.0);
      QCOMPARE(dlg.GetGap(), gap);
      QCOMPARE(Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN)->Text(), QString("100"));
      QCOMPARE(Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX)->Text(), QString("200"));
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_LOW_LABEL)->text(), QString("80"));
      QCOMPARE(Child<QLineEdit>(dlg, CDlgLevel::IDC_HIGH_LABEL)->text(), QString("220"));
      for (int c = 0; c < 4; ++c)
        QVERIFY(!dlg.findChild<QRadioButton*>(QString("1052_%1").arg(c))->isEnabled());

      // The histogram is counted once the dialog is up: every pixel of 80 … 220.
      QTRY_VERIFY(histogram->GetBusyText().isEmpty());
      std::uint64_t inRange = 0, counted = 0;
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) inRange += GreyValue(x, y) >= 80 && GreyValue(x, y) <= 220;
      for (std::uint32_t n : histogram->GetCounts()) counted += n;
      QCOMPARE(histogram->GetCounts().size(), std::size_t(dlg.GetSliderWidth()));
      QCOMPARE(counted, inRange);
      QCOMPARE(histogram->GetFirstLevelPosition(), dlg.ValueToPos(100));
      QCOMPARE(histogram->GetSecondLevelPosition(), dlg.ValueToPos(200));
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(target.GetLevelMin(0), 100.0);
    QCOMPARE(target.GetLevelMax(0), 200.0);
  }

  void minimumThumbStopsShortOfTheMaximum() {
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    const int result = RunModal(dlg, [&] {
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      const double gap = dlg.GetGap();
      QVERIFY(gap > 0);
      Drag(slider, slider->GetFirstPos(), slider->GetRangeMax());
      QCOMPARE(dlg.GetCurMin(), 200.0 - gap);
      QCOMPARE(dlg.GetCurMax(), 200.0);
      QCOMPARE(Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN)->Text(), QString::number(200.0 - gap));
      QCOMPARE(slider->GetFirstPos(), dlg.ValueToPos(200.0 - gap));
      QVERIFY(slider->GetFirstPos() < slider->GetSecondPos());

      // And the maximum the other way.
      Drag(slider, slider->GetSecondPos(), 0);
      QCOMPARE(dlg.GetCurMax(), dlg.GetCurMin() + gap);
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(target.GetLevelMin(0), 200.0 - dlg.GetGap());
    QCOMPARE(target.GetLevelMax(0), 200.0);
  }

  void rangeBoxKeepsTheRange() {
    CRegistry::Write("Dialog\\Level", "UseRange", 1, CRegistry::TYPE_INT);
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      auto* second = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      auto* box = Child<QCheckBox>(dlg, CDlgLevel::IDC_USE_RANGE);
      QVERIFY(box->isChecked());
      QCOMPARE(dlg.findChild<QLabel*>("1003_label")->text(), QString("ﾚﾝｼﾞ(&X)："));
      QCOMPARE(second->Text(), QString("100"));

      const int to = slider->GetFirstPos() + 20;
      QSignalSpy moved(slider, &CDualSlider::firstMoved);
      Drag(slider, slider->GetFirstPos(), to);
      QCOMPARE(moved.count(), 1);
      const double step = (dlg.GetHistHigh() - dlg.GetHistLow()) / dlg.GetSliderWidth();
      const double expected = CFltPtrCtrl::V(80.0 + 140.0 * to / dlg.GetSliderWidth(), step);
      QCOMPARE(dlg.GetCurMin(), expected);
      QCOMPARE(dlg.GetCurMax(), expected + 100.0);
      QCOMPARE(second->Text(), QString("100"));
      QCOMPARE(slider->GetSecondPos(), dlg.ValueToPos(expected + 100.0));

      // Unchecked, the second field is the maximum again.
      box->click();
      QCOMPARE(dlg.findChild<QLabel*>("1003_label")->text(), QString("最大値(&X)："));
      QCOMPARE(second->Text(), QString::number(expected + 100.0));
      QCOMPARE(dlg.GetCurMax(), expected + 100.0);
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    int useRange = -1;
    CRegistry::Read("Dialog\\Level", "UseRange", -1, useRange, CRegistry::TYPE_INT);
    QCOMPARE(useRange, 0);
    QCOMPARE(target.GetLevelMax(0) - target.GetLevelMin(0), 100.0);
  }

  void fieldsAndSliderInStep() {
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* slider = Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER);
      auto* histogram = Child<CHistogramView>(dlg, CDlgLevel::IDC_HISTOGRAM);
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      const int w = dlg.GetSliderWidth();

      TypeInto(min, "150", max);
      QCOMPARE(dlg.GetCurMin(), 150.0);
      QCOMPARE(slider->GetFirstPos(), static_cast<int>(std::lround(70.0 / 140.0 * w)));
      QCOMPARE(histogram->GetFirstLevelPosition(), slider->GetFirstPos());

      // A value beyond the histogram widens it.
      TypeInto(max, "300", min);
      QCOMPARE(dlg.GetCurMax(), 300.0);
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

      // A text that is no number leaves the value as it was.
      TypeInto(min, "abc", max);
      QCOMPARE(dlg.GetCurMin(), 150.0);
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(target.GetLevelMin(0), 150.0);
    QCOMPARE(target.GetLevelMax(0), dlg.GetCurMax());
  }

  void spinButtonsKeepTheGap() {
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      const double gap = dlg.GetGap();
      min->stepUp();
      QCOMPARE(dlg.GetCurMin(), 101.0);
      min->stepDown();
      min->stepDown();
      QCOMPARE(dlg.GetCurMin(), 99.0);
      max->stepDown();
      QCOMPARE(dlg.GetCurMax(), 199.0);
      QCOMPARE(max->Text(), QString("199"));

      TypeInto(min, QString::number(199.0 - gap - 0.5), max);
      min->stepUp();
      QCOMPARE(dlg.GetCurMin(), 199.0 - gap);
      min->stepUp();
      QCOMPARE(dlg.GetCurMin(), 199.0 - gap);
      max->stepDown();
      QCOMPARE(dlg.GetCurMax(), 199.0);
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(target.GetLevelMin(0), 199.0 - dlg.GetGap());
  }

  void enlargeAndShrinkTheHistogram() {
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* enlarge = Child<QPushButton>(dlg, CDlgLevel::IDC_ENLARGE);
      auto* shrink = Child<QPushButton>(dlg, CDlgLevel::IDC_SHRINK);
      QVERIFY(enlarge->isEnabled());
      QVERIFY(shrink->isEnabled());
      // Centre 150, half-width 140 / 4: the range would be 115 … 185, but keeps the levels.
      enlarge->click();
      QCOMPARE(dlg.GetHistLow(), 100.0);
      QCOMPARE(dlg.GetHistHigh(), 200.0);
      QVERIFY(!enlarge->isEnabled());
      QCOMPARE(Child<CDualSlider>(dlg, CDlgLevel::IDC_SLIDER)->GetFirstPos(), 0);
      QCOMPARE(dlg.GetTable(CDlgLevel::kHistLow), 100.0);
      // Outward by a fifth of the width on each side.
      shrink->click();
      QCOMPARE(dlg.GetHistLow(), 80.0);
      QCOMPARE(dlg.GetHistHigh(), 220.0);
      QVERIFY(enlarge->isEnabled());
      // Wide enough for the half-width to reach past the levels: 80 … 220 widened twice
      // more, then enlarged round the centre.
      shrink->click();
      shrink->click();
      const double width = 140.0 * 1.4 * 1.4;
      QVERIFY(std::fabs(dlg.GetHistHigh() - dlg.GetHistLow() - width) < 1e-9);
      enlarge->click();
      QVERIFY(std::fabs(dlg.GetHistLow() - (150.0 - width / 4)) < 1e-9);
      QVERIFY(std::fabs(dlg.GetHistHigh() - (150.0 + width / 4)) < 1e-9);
      // Thumbs ten pixels apart or closer: no more shrinking.
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      for (int i = 0; i < 10; ++i) shrink->click();
      QVERIFY(!shrink->isEnabled());
      QVERIFY(min->isEnabled());
      dlg.reject();
    });
    // Cancelled: the levels stay.
    QCOMPARE(target.GetLevelMin(0), 100.0);
  }

  void oneChannelOfAColourImage() {
    CRalImage target = MakeColour();
    CRalImage undo(target);
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      QCOMPARE(dlg.GetPlanesInUse(), 3);
      QCOMPARE(dlg.GetTable(0), Lum(10, 20, 30));
      QCOMPARE(dlg.GetTable(4), Lum(110, 220, 330));
      QCOMPARE(dlg.GetTable(CDlgLevel::kHistLow + 3), 30.0 - 60.0);
      auto* red = dlg.findChild<QRadioButton*>("1052_1");
      QVERIFY(red->isEnabled());
      red->click();
      QCOMPARE(dlg.GetChannel(), 1);
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      QCOMPARE(min->Text(), QString("10"));
      QCOMPARE(max->Text(), QString("110"));
      QCOMPARE(dlg.GetHistLow(), -10.0);
      QCOMPARE(dlg.GetHistHigh(), 130.0);
      TypeInto(min, "40", max);
      QCOMPARE(dlg.GetTable(1), 40.0);
      // Over to blue and back: red keeps its change.
      dlg.findChild<QRadioButton*>("1052_3")->click();
      QCOMPARE(min->Text(), QString("30"));
      red->click();
      QCOMPARE(min->Text(), QString("40"));
      // The combined channel starts from the planes as they are now, so choosing it
      // changes no plane.
      dlg.findChild<QRadioButton*>("1052_0")->click();
      QCOMPARE(dlg.GetCurMin(), Lum(40, 20, 30));
      QCOMPARE(dlg.GetCurMax(), Lum(110, 220, 330));
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(target.GetLevelMin(0), 40.0);
    QCOMPARE(target.GetLevelMax(0), 110.0);
    QCOMPARE(target.GetLevelMin(1), 20.0);
    QCOMPARE(target.GetLevelMax(1), 220.0);
    QCOMPARE(target.GetLevelMin(2), 30.0);
    QCOMPARE(target.GetLevelMax(2), 330.0);

    // Ending on another plane keeps the change made to the first, preview or not.
    CRalImage second = MakeColour();
    CRalImage secondUndo(second);
    CDlgLevel again;
    again.Set(nullptr, &second, &secondUndo);
    RunModal(again, [&] {
      again.findChild<QRadioButton*>("1052_1")->click();
      TypeInto(Child<CSpinEdit>(again, CDlgLevel::IDC_MAX), "90",
               Child<CSpinEdit>(again, CDlgLevel::IDC_MIN));
      again.findChild<QRadioButton*>("1052_2")->click();
      again.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(second.GetLevelMax(0), 90.0);
    QCOMPARE(second.GetLevelMax(1), 220.0);
  }

  void combinedChannelSpreadsOverThePlanes() {
    CRalImage target = MakeColour();
    CRalImage undo(target);
    const double lmin = Lum(10, 20, 30), lmax = Lum(110, 220, 330);
    const double newMin = 30.0, newMax = 300.0;
    const double tmin = (newMin - lmin) / (lmax - lmin);
    const double tmax = (newMax - lmax) / (lmax - lmin);
    const double mins[3] = {10, 20, 30}, maxs[3] = {110, 220, 330};
    auto spreadMin = [&](int p) { return mins[p] + tmin * (maxs[p] - mins[p]); };
    auto spreadMax = [&](int p) { return maxs[p] + tmax * (maxs[p] - mins[p]); };

    // Straight to OK on the combined channel.
    {
      CRalImage t(target), u(target);
      CDlgLevel dlg;
      dlg.Set(nullptr, &t, &u);
      RunModal(dlg, [&] {
        auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
        auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
        TypeInto(min, "30", max);
        TypeInto(max, "300", min);
        dlg.findChild<QPushButton*>("IDOK")->click();
      });
      for (int p = 0; p < 3; ++p) {
        QCOMPARE(t.GetLevelMin(p), spreadMin(p));
        QCOMPARE(t.GetLevelMax(p), spreadMax(p));
      }
    }
    // Over to green: the planes take the spread values at once, and choosing the
    // combined channel again changes nothing.
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      auto* min = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MIN);
      auto* max = Child<CSpinEdit>(dlg, CDlgLevel::IDC_MAX);
      TypeInto(min, "30", max);
      TypeInto(max, "300", min);
      dlg.findChild<QRadioButton*>("1052_2")->click();
      QCOMPARE(dlg.GetCurMin(), spreadMin(1));
      QCOMPARE(dlg.GetCurMax(), spreadMax(1));
      QCOMPARE(dlg.GetTable(1), spreadMin(0));
      QCOMPARE(dlg.GetTable(7), spreadMax(2));
      dlg.findChild<QRadioButton*>("1052_0")->click();
      QVERIFY(std::fabs(dlg.GetCurMin() - newMin) < 1e-9);
      QVERIFY(std::fabs(dlg.GetCurMax() - newMax) < 1e-9);
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    for (int p = 0; p < 3; ++p) {
      QVERIFY(std::fabs(target.GetLevelMin(p) - spreadMin(p)) < 1e-9);
      QVERIFY(std::fabs(target.GetLevelMax(p) - spreadMax(p)) < 1e-9);
    }
  }

  void automaticButtonTakesTheAutomaticLevels() {
    // Plane by plane, so that the planes get different levels.
    CRegistry::Write("PrcAutoLevel", "Plane", 1, CRegistry::TYPE_INT);
    CRalImage target = MakeColour();
    CRalImage undo(target);
    CRalImage expected(target);
    QCOMPARE(CPrcAutoLevel::Do(expected, nullptr), 1);
    QVERIFY(expected.GetLevelMin(0) != expected.GetLevelMin(2));
    CDlgLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    RunModal(dlg, [&] {
      Child<QPushButton>(dlg, CDlgLevel::IDC_AUTO)->click();
      for (int p = 0; p < 3; ++p) {
        QCOMPARE(dlg.GetTable(CDlgLevel::kCurMin + 1 + p), expected.GetLevelMin(p));
        QCOMPARE(dlg.GetTable(CDlgLevel::kCurMax + 1 + p), expected.GetLevelMax(p));
      }
      QCOMPARE(dlg.GetCurMin(),
               Lum(expected.GetLevelMin(0), expected.GetLevelMin(1), expected.GetLevelMin(2)));
      QVERIFY(dlg.GetHistLow() <= dlg.GetCurMin());
      QVERIFY(dlg.GetHistHigh() >= dlg.GetCurMax());
      QCOMPARE(dlg.GetTable(CDlgLevel::kOpenMin + 1), 10.0);  // the opening levels stay
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    for (int p = 0; p < 3; ++p) {
      QVERIFY(std::fabs(target.GetLevelMin(p) - expected.GetLevelMin(p)) < 1e-9);
      QVERIFY(std::fabs(target.GetLevelMax(p) - expected.GetLevelMax(p)) < 1e-9);
    }
  }

  void autoLevelDialogReadsAndStepsItsFactors() {
    CRegistry::Write("PrcAutoLevel", "Min", 2.5);
    CRegistry::Write("PrcAutoLevel", "Max", 49.5);
    CRegistry::Write("PrcAutoLevel", "Plane", 1, CRegistry::TYPE_INT);
    CRalImage target = MakeGrey(100, 200);
    CRalImage undo(target);
    CDlgAutoLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    const int result = RunModal(dlg, [&] {
      auto* max = Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX);
      auto* min = Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN);
      QCOMPARE(max->Text(), QString("49.5"));
      QCOMPARE(min->Text(), QString("2.5"));
      auto* perPlane = dlg.findChild<QRadioButton*>("1392_0");
      QCOMPARE(perPlane->text(), QString("RGB各ﾌﾟﾚｰﾝで調整"));
      QVERIFY(perPlane->isChecked());
      QCOMPARE(dlg.findChild<QRadioButton*>("1392_1")->text(), QString("輝度で調整"));

      max->stepUp();
      QCOMPARE(max->Text(), QString("50"));  // 50.5 kept at 50
      max->stepUp();
      QCOMPARE(max->Text(), QString("50"));
      for (int i = 0; i < 5; ++i) min->stepUp();
      QCOMPARE(min->Text(), QString("3"));  // by tenths up to 3
      min->stepUp();
      QCOMPARE(min->Text(), QString("4"));  // then by ones
      min->stepDown();
      min->stepDown();
      QCOMPARE(min->Text(), QString("2"));  // 3 goes down by one
      TypeInto(min, "0.2", max);
      min->stepDown();
      min->stepDown();
      QCOMPARE(min->Text(), QString("0.1"));

      dlg.findChild<QRadioButton*>("1392_1")->click();
      dlg.findChild<QPushButton*>("IDOK")->click();
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(dlg.GetOnOK(), 1);
    QCOMPARE(dlg.GetRun(), 0);
    QCOMPARE(dlg.IsImageChanged(), 0);
    double min = 0, max = 0;
    int plane = -1;
    CRegistry::Read("PrcAutoLevel", "Min", 0.0, min);
    CRegistry::Read("PrcAutoLevel", "Max", 0.0, max);
    CRegistry::Read("PrcAutoLevel", "Plane", -1, plane, CRegistry::TYPE_INT);
    QCOMPARE(min, 0.1);
    QCOMPARE(max, 50.0);
    QCOMPARE(plane, 0);  // by luminance
    // OK alone leaves the image.
    QCOMPARE(target.GetLevelMin(0), 100.0);
    QCOMPARE(target.GetLevelMax(0), 200.0);

    QCOMPARE(CDlgAutoLevel::Step(2.9, 1), 3.0);
    QCOMPARE(CDlgAutoLevel::Step(0.1, 0), 0.1);
    QCOMPARE(CDlgAutoLevel::Step(50, 1), 50.0);
  }

  void autoLevelRunAndCancel() {
    CRalImage target = MakeColour();
    CRalImage undo(target);
    // Cancel stores no factor, but the position.
    {
      CDlgAutoLevel dlg;
      dlg.Set(nullptr, &target, &undo);
      RunModal(dlg, [&] {
        TypeInto(Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX), "12",
                 Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN));
        dlg.findChild<QPushButton*>("IDCANCEL")->click();
      });
      QCOMPARE(dlg.GetOnOK(), 0);
      double max = 0;
      QCOMPARE(CRegistry::Read("PrcAutoLevel", "Max", -1.0, max), 0);
      std::string position;
      CRegistry::Read("Dialog\\AutoLevel", "Position", "", position);
      QVERIFY(!position.empty());
    }

    CDlgAutoLevel dlg;
    dlg.Set(nullptr, &target, &undo);
    const int result = RunModal(dlg, [&] {
      TypeInto(Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN), "3",
               Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX));
      TypeInto(Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MAX), "12",
               Child<CSpinEdit>(dlg, CDlgAutoLevel::IDC_MIN));
      dlg.findChild<QRadioButton*>("1392_0")->click();
      Child<QPushButton>(dlg, CDlgAutoLevel::IDC_RUN)->click();
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(dlg.GetRun(), 1);
    QCOMPARE(dlg.GetOnOK(), 0);
    QCOMPARE(dlg.IsImageChanged(), 1);
    int plane = -1;
    CRegistry::Read("PrcAutoLevel", "Plane", -1, plane, CRegistry::TYPE_INT);
    QCOMPARE(plane, 1);
    // The levels the automatic computation gives with the stored factors.
    CRalImage expected(undo);
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
