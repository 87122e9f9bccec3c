// CDlgAutoLevel: the automatic level factors and colour mode, stored in "PrcAutoLevel"
// when the dialog ends with OK or Run; Run also applies the automatic levels to the
// image. The dialog changes no pixel, so it never prepares an undo copy of its own.
#include "dialogs/dlgautolevel.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "controls/spinedit.h"
#include "dialogs/dlgsupport.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

constexpr const char* kSection = "Dialog\\AutoLevel";
constexpr const char* kPrcSection = "PrcAutoLevel";

using dlg::Format;
using dlg::Id;
using dlg::Q;

}  // namespace

CDlgAutoLevel::CDlgAutoLevel(QWidget* parent) : CVumPreviewDialog(kTemplateId, parent) {
  setWindowTitle(Q(autolevel_text::kCaption));
  SetUndoPreparation(0);

  m_pMax = new CSpinEdit(this);
  m_pMax->setObjectName(Id(IDC_MAX));
  m_pMin = new CSpinEdit(this);
  m_pMin->setObjectName(Id(IDC_MIN));
  for (CSpinEdit* edit : {m_pMax, m_pMin}) edit->setMinimumWidth(90);

  auto* values = new QGridLayout;
  auto* maxLabel = new QLabel(Q("最大値(&X)："), this);
  maxLabel->setBuddy(m_pMax);
  auto* minLabel = new QLabel(Q("最小値(&N)："), this);
  minLabel->setBuddy(m_pMin);
  values->addWidget(maxLabel, 0, 0);
  values->addWidget(m_pMax, 0, 1);
  values->addWidget(new QLabel(Q("σ"), this), 0, 2);
  values->addWidget(minLabel, 1, 0);
  values->addWidget(m_pMin, 1, 1);
  values->addWidget(new QLabel(Q("σ"), this), 1, 2);
  values->setColumnStretch(3, 1);

  auto* colourBox = new QGroupBox(Q("ｶﾗｰ画像"), this);
  auto* colourLayout = new QVBoxLayout(colourBox);
  m_pColorMode = new QButtonGroup(this);
  m_pColorMode->setObjectName(Id(IDC_COLOR_MODE));
  const char* modes[] = {autolevel_text::kPerPlane, autolevel_text::kLuminance};
  for (int i = 0; i < 2; ++i) {
    auto* radio = new QRadioButton(Q(modes[i]), colourBox);
    radio->setObjectName(QStringLiteral("%1_%2").arg(IDC_COLOR_MODE).arg(i));
    m_pColorMode->addButton(radio, i);
    colourLayout->addWidget(radio);
  }

  // The preview shows nothing here but what Run did; the box is kept out of sight.
  PreviewCheckBox()->setVisible(false);

  auto* run = new QPushButton(Q("実行(&R)"), this);
  run->setObjectName(Id(IDC_RUN));
  run->setAutoDefault(false);
  QHBoxLayout* buttons = dlg::ButtonRow(this, run, HelpButton());

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(values);
  layout->addWidget(colourBox);
  layout->addWidget(PreviewCheckBox());
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(run, &QPushButton::clicked, this, &CDlgAutoLevel::OnRun);
  connect(m_pMax, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pMax, &m_dMax, steps); });
  connect(m_pMin, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pMin, &m_dMin, steps); });
}

double CDlgAutoLevel::Step(double value, int up) {
  const double step = value < 3.0 ? 0.1 : 1.0;
  value += up ? step : -step;
  // Sums of tenths are kept to the digits shown, so that 2.9 + 0.1 is 3.
  value = Format(value).toDouble();
  return std::clamp(value, kLowest, kHighest);
}

void CDlgAutoLevel::OnSpin(CSpinEdit* edit, double* value, int steps) {
  bool ok = false;
  const double typed = edit->Text().trimmed().toDouble(&ok);
  if (ok) *value = typed;
  for (int i = 0; i < std::abs(steps); ++i) *value = Step(*value, steps > 0);
  edit->SetText(Format(*value));
}

void CDlgAutoLevel::DoDataExchange(bool save) {
  CVumPreviewDialog::DoDataExchange(save);
  if (save) {
    bool ok = false;
    double v = m_pMax->Text().trimmed().toDouble(&ok);
    if (ok) m_dMax = v;
    v = m_pMin->Text().trimmed().toDouble(&ok);
    if (ok) m_dMin = v;
    if (m_pColorMode->checkedId() >= 0) m_nColorMode = m_pColorMode->checkedId();
  } else {
    m_pMax->SetText(Format(m_dMax));
    m_pMin->SetText(Format(m_dMin));
    if (QAbstractButton* b = m_pColorMode->button(m_nColorMode)) b->setChecked(true);
  }
}

void CDlgAutoLevel::UpdateRegistry(int write, const char* /*section*/) {
  CVumPreviewDialog::UpdateRegistry(write, kSection);
  if (write) return;  // the factors are stored by OK and Run only
  UpdateReg(kPrcSection, "Min", 0, m_dMin, 6.0);
  UpdateReg(kPrcSection, "Max", 0, m_dMax, 30.0);
  int plane = 0;
  UpdateReg(kPrcSection, "Plane", 0, plane, CRegistry::TYPE_INT, 0);
  m_nColorMode = plane == 0 ? 1 : 0;
}

void CDlgAutoLevel::StoreSettings() {
  UpdateReg(kPrcSection, "Min", 1, m_dMin, 6.0);
  UpdateReg(kPrcSection, "Max", 1, m_dMax, 30.0);
  int plane = m_nColorMode == 0 ? 1 : 0;
  UpdateReg(kPrcSection, "Plane", 1, plane, CRegistry::TYPE_INT, 0);
}

void CDlgAutoLevel::OnOK() {
  UpdateData(true);
  StoreSettings();
  m_bOnOK = 1;
  CVumPreviewDialog::OnOK();
}

void CDlgAutoLevel::OnRun() {
  UpdateData(true);
  StoreSettings();
  if (m_pTarget) {
    {
      const dlg::WaitCursor wait;
      (void)CPrcAutoLevel::Do(*m_pTarget, nullptr);
    }
    m_bRun = 1;
  }
  RestartPreview();
  CVumPreviewDialog::OnOK();
}
