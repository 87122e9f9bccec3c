// The composite dialog offscreen with real key and mouse events, on a real image window:
// the rate kept per method, the controls each method uses, the steps of the spin arrows
// and of the direction button by modifier, and OK against the engine called with the
// values the dialog shows (the preview and Cancel are run from the menu in tests/app).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionSpinBox>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "controls/directionbutton.h"
#include "controls/spinedit.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgcomposit.h"
#include "display/qt/ralimgwnd.h"
#include "engine/imgcomposit.h"
#include "engine/ralimage.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 80, kH = 60;

// A document of one view that hands the dialogs' messages to its window.
class WindowDocument : public CVumDocument, public CVumView {
 public:
  WindowDocument(std::string title, CRalImage* image) : title_(std::move(title)) {
    wnd.SetImagePrt(image);
    wnd.GetViewInfo().SetWindowSize(160, 120);
    wnd.Update(0);
    wnd.SetParentWnd(nullptr, this);
  }
  std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t w, std::intptr_t l) override {
    return wnd.OnVumMessage(msg, w, l);
  }
  std::string GetVumTitle() const override { return title_; }
  std::vector<CVumView*> GetVumViews() const override {
    return {const_cast<WindowDocument*>(this)};
  }
  void UpdateAllVumViews() override { wnd.Update(1); }
  std::string GetVumPathName() const override { return {}; }
  void SetVumTitle(const std::string&) override {}
  void SetVumPathName(const std::string&) override {}
  void SetVumModified(bool) override {}
  void SetVumImage(CRalImage* image, const CReadParam*) override { delete image; }
  void InitialUpdateVum() override {}
  void CloseVum() override {}
  CRalImgWnd wnd;

 private:
  std::string title_;
};

class Windows : public CVumDocTemplate {
 public:
  CVumDocument* CreateVumDocument() override { return nullptr; }
  std::vector<CVumDocument*> GetVumDocuments() const override { return docs; }
  std::vector<CVumDocument*> docs;
};

// A field with a bright blob (saturated above 900) on a slope; other images shift it.
CRalImage* Field(double scale, int ox, int oy) {
  auto* image = new CRalImage(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const double r2 = (x - 40.0 - ox) * (x - 40.0 - ox) + (y - 30.0 - oy) * (y - 30.0 - oy);
      row[x] = scale * (100.0 + 2.0 * x + y + 900.0 * std::exp(-r2 / 18.0));
    }
    image->SetPhysicalRow(y, 0, row.data());
  }
  image->SetLevel(0, 50.0 * scale, 800.0 * scale);
  return image;
}

template <typename T>
T* Find(QWidget* dlg, int id) {
  return dlg->findChild<T*>(QString::number(id));
}

// Runs body inside the dialog's event loop; a body that leaves it open cancels it.
int RunModal(const std::function<int()>& run, const std::function<void(CDlgComposit*)>& body) {
  bool ran = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<CDlgComposit*>(QApplication::activeModalWidget());
    if (dlg && QTest::qWaitForWindowExposed(dlg)) {
      ran = true;
      body(dlg);
    }
    if (dlg && dlg->isVisible()) dlg->reject();
  });
  const int result = run();
  if (!ran) QTest::qFail("the dialog never came up", __FILE__, __LINE__);
  return result;
}

void TypeInto(CSpinEdit* edit, const QString& text) {
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(edit, text);
}

// Clicks the up or down arrow of a spin field.
void ClickArrow(CSpinEdit* edit, bool up, Qt::KeyboardModifiers modifiers) {
  QStyleOptionSpinBox option;
  option.initFrom(edit);
  option.subControls = QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
  option.buttonSymbols = edit->buttonSymbols();
  option.frame = edit->hasFrame();
  const QRect r = edit->style()->subControlRect(
      QStyle::CC_SpinBox, &option, up ? QStyle::SC_SpinBoxUp : QStyle::SC_SpinBoxDown, edit);
  QTest::mouseClick(edit, Qt::LeftButton, modifiers, r.center());
}

bool SamePixels(const CRalImage& a, const CRalImage& b) {
  std::vector<double> ra(kW), rb(kW);
  for (int y = 0; y < kH; ++y) {
    if (!a.GetPhysicalRow(y, 0, ra.data()) || !b.GetPhysicalRow(y, 0, rb.data())) return false;
    for (int x = 0; x < kW; ++x)
      if (!(ra[x] == rb[x])) return false;
  }
  return true;
}

}  // namespace

class DlgCompositTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    home_ = std::make_unique<ScopedConfigHome>();
    source_ = std::make_unique<WindowDocument>("a.fts", Field(1.0, 0, 0));
    other_ = std::make_unique<WindowDocument>("b.fts", Field(0.5, 3, -2));
    windows_.docs = {source_.get(), other_.get()};
    CVumDoc::SetDocTemplate(&windows_);
    CRegistry::Write(CDlgComposit::kSection, "Preview", "0");
  }
  void cleanup() {
    CVumDoc::SetDocTemplate(nullptr);
    other_.reset();
    source_.reset();
    home_.reset();
  }

  void rateIsKeptPerMethod() {
    CRegistry::Write(CDlgComposit::kSection, "RateWeight", "40");
    CDlgComposit dialog;
    RunModal([&] { return dialog.DoModal(); },
             [&](CDlgComposit* dlg) {
               auto* method = Find<QComboBox>(dlg, CDlgComposit::IDC_METHOD);
               auto* rate = Find<CSpinEdit>(dlg, CDlgComposit::IDC_RATE);
               QCOMPARE(method->currentText(), QString::fromUtf8("加算平均"));
               method->setFocus();
               QTest::keyClick(method, Qt::Key_Down);
               QTest::keyClick(method, Qt::Key_Down);
               QCOMPARE(dlg->GetMethod(), 2);
               QCOMPARE(rate->Text(), QString("40"));
               TypeInto(rate, "30");
               method->setFocus();
               QTest::keyClick(method, Qt::Key_End);  // NBR
               QCOMPARE(dlg->GetMethod(), 9);
               QCOMPARE(rate->Text(), QString("100"));
               TypeInto(rate, "250");
               method->setFocus();
               QTest::keyClick(method, Qt::Key_Home);
               QVERIFY(!rate->isEnabled());
               QTest::keyClick(method, Qt::Key_Down);
               QTest::keyClick(method, Qt::Key_Down);
               QCOMPARE(rate->Text(), QString("30"));
               QTest::keyClick(method, Qt::Key_End);
               QCOMPARE(rate->Text(), QString("250"));
               // Above the method's limit the rate is cut to it.
               TypeInto(rate, "900");
               QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
             });
    double weight = 0, nbr = 0;
    CRegistry::Read(CDlgComposit::kSection, "RateWeight", 0.0, weight);
    CRegistry::Read(CDlgComposit::kSection, "RateABR", 0.0, nbr);
    QCOMPARE(weight, 30.0);
    QCOMPARE(nbr, 500.0);
  }

  void controlsFollowTheMethod_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("enabled");  // use level, cut minus, rate, saturation, band
    QTest::newRow("average") << 0 << 1 << "10000";
    QTest::newRow("add") << 1 << 0 << "10000";
    QTest::newRow("weighted") << 2 << 2 << "10100";
    QTest::newRow("subtract") << 3 << 3 << "11000";
    QTest::newRow("multiply") << 4 << 4 << "00000";
    QTest::newRow("divide") << 5 << 5 << "00000";
    QTest::newRow("difference") << 6 << 6 << "10000";
    QTest::newRow("lighter") << 7 << 7 << "10000";
    QTest::newRow("darker") << 8 << 8 << "10000";
    QTest::newRow("NBR") << 9 << 9 << "10111";
  }
  void controlsFollowTheMethod() {
    QFETCH(int, index);
    QFETCH(int, method);
    QFETCH(QString, enabled);
    CDlgComposit dialog;
    RunModal([&] { return dialog.DoModal(); },
             [&](CDlgComposit* dlg) {
               auto* combo = Find<QComboBox>(dlg, CDlgComposit::IDC_METHOD);
               combo->setFocus();
               for (int i = 0; i < index; ++i) QTest::keyClick(combo, Qt::Key_Down);
               QCOMPARE(dlg->GetMethod(), method);
               const QWidget* controls[] = {Find<QWidget>(dlg, CDlgComposit::IDC_USE_LEVEL),
                                            Find<QWidget>(dlg, CDlgComposit::IDC_CUT_MINUS),
                                            Find<QWidget>(dlg, CDlgComposit::IDC_RATE),
                                            Find<QWidget>(dlg, CDlgComposit::IDC_SATURATION),
                                            Find<QWidget>(dlg, CDlgComposit::IDC_DARK_BAND)};
               QString shown;
               for (const QWidget* w : controls) shown += w->isEnabled() ? '1' : '0';
               QCOMPARE(shown, enabled);
             });
  }

  void stepsFollowTheModifiers() {
    CDlgComposit dialog;
    RunModal([&] { return dialog.DoModal(); },
             [&](CDlgComposit* dlg) {
               auto* button = Find<CDirectionButton>(dlg, CDlgComposit::IDC_DIRECTION);
               auto press = [&](int d, Qt::KeyboardModifiers m) {
                 QTest::mouseClick(button, Qt::LeftButton, m, button->ArrowRect(d).center());
               };
               press(CDirectionButton::kRight, Qt::ShiftModifier);
               press(CDirectionButton::kUp, Qt::ControlModifier);
               press(CDirectionButton::kDown, Qt::NoModifier);
               for (int i = 0; i < 3; ++i) press(CDirectionButton::kLeft, Qt::ControlModifier);
               QCOMPARE(dlg->GetShiftX(), 9.7);
               QCOMPARE(dlg->GetShiftY(), 0.9);
               QCOMPARE(Find<CSpinEdit>(dlg, CDlgComposit::IDC_SHIFT_X)->Text(), QString("9.7"));
               QCOMPARE(Find<CSpinEdit>(dlg, CDlgComposit::IDC_SHIFT_Y)->Text(), QString("0.9"));
               // The saturation level: Ctrl a tenth, Shift ten, held to 100.
               auto* saturation = Find<CSpinEdit>(dlg, CDlgComposit::IDC_SATURATION);
               auto* combo = Find<QComboBox>(dlg, CDlgComposit::IDC_METHOD);
               combo->setFocus();
               QTest::keyClick(combo, Qt::Key_End);
               ClickArrow(saturation, false, Qt::ControlModifier);
               QCOMPARE(saturation->Text(), QString("94.9"));
               ClickArrow(saturation, true, Qt::ShiftModifier);
               QCOMPARE(saturation->Text(), QString("100"));
               // The rate of NBR goes to 500 and no further.
               auto* rate = Find<CSpinEdit>(dlg, CDlgComposit::IDC_RATE);
               TypeInto(rate, "495");
               ClickArrow(rate, true, Qt::ShiftModifier);
               QCOMPARE(rate->Text(), QString("500"));
               ClickArrow(rate, false, Qt::NoModifier);
               QCOMPARE(rate->Text(), QString("499"));
             });
  }

  void okGivesTheEngineResultOfTheValuesShown() {
    CRalImgWnd& wnd = source_->wnd;
    const CRalImage before(*wnd.GetImagePtr());
    // OK with NBR, a rate, a saturation level, a band, levelled values and a shift: the
    // result is the engine's with the values as the dialog shows them.
    const int changed = RunModal(
        [&] { return wnd.Composit(); },
        [&](CDlgComposit* dlg) {
          auto* combo = Find<QComboBox>(dlg, CDlgComposit::IDC_METHOD);
          combo->setFocus();
          QTest::keyClick(combo, Qt::Key_End);
          TypeInto(Find<CSpinEdit>(dlg, CDlgComposit::IDC_RATE), "250");
          TypeInto(Find<CSpinEdit>(dlg, CDlgComposit::IDC_SATURATION), "60");
          TypeInto(Find<CSpinEdit>(dlg, CDlgComposit::IDC_DARK_BAND), "2");
          auto* useLevel = Find<QCheckBox>(dlg, CDlgComposit::IDC_USE_LEVEL);
          QTest::mouseClick(useLevel, Qt::LeftButton, {}, QPoint(5, useLevel->height() / 2));
          auto* button = Find<CDirectionButton>(dlg, CDlgComposit::IDC_DIRECTION);
          for (int i = 0; i < 3; ++i)
            QTest::mouseClick(button, Qt::LeftButton, {},
                              button->ArrowRect(CDirectionButton::kLeft).center());
          QTest::mouseClick(button, Qt::LeftButton, {},
                            button->ArrowRect(CDirectionButton::kDown).center());
          QTest::mouseClick(button, Qt::LeftButton, {},
                            button->ArrowRect(CDirectionButton::kDown).center());
          QTRY_VERIFY(!dlg->IsPreviewRunning());
          QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
        });
    QCOMPARE(changed, 1);
    CRalImage expected(before);
    CRalImage source(before);
    QCOMPARE(CImgComposit(expected).Do(&source, other_->wnd.GetImagePtr(), -3.0, 2.0, 0.0, 9, 2.5,
                                       1, 0, 0.6, 2, nullptr, 0, -1),
             1);
    QVERIFY(!SamePixels(expected, before));
    QVERIFY(SamePixels(*wnd.GetImagePtr(), expected));
    QCOMPARE(wnd.GetImagePtr()->GetLevelMin(0), before.GetLevelMin(0));
    QCOMPARE(QString::fromStdString(wnd.GetImagePtr()->GetUndoDialogName()),
             QString::fromUtf8("ｺﾝﾎﾟｼﾞｯﾄ"));
  }

 private:
  std::unique_ptr<ScopedConfigHome> home_;
  std::unique_ptr<WindowDocument> source_, other_;
  Windows windows_;
};

QTEST_MAIN(DlgCompositTest)
#include "dlgcomposit_test.moc"
