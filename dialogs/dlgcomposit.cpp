// The composite runs the engine on each preview band and at OK with the source (the undo
// image) as a and the chosen image as b. The engine maps b onto the display levels the
// target carries, so the levels shown for the source when the dialog opened are set on
// the target around each call and the target's own put back after it.
#include "dialogs/dlgcomposit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "controls/directionbutton.h"
#include "controls/spinedit.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgmatching.h"
#include "dialogs/dlgsupport.h"
#include "engine/imgcomposit.h"
#include "engine/imgmatching.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"

namespace {

using dlg::Buddy;
using dlg::Format;
using dlg::Id;
using dlg::MakeSpin;
using dlg::Q;
using dlg::ReadValue;

constexpr const char* kHistoryKey = "CompositFile";

// The methods in list order with their numbers.
struct MethodItem {
  const char* text;
  int method;
};
constexpr MethodItem kMethods[] = {{composit_text::kAverage, 1},    {composit_text::kAdd, 0},
                                   {composit_text::kWeighted, 2},   {composit_text::kSubtract, 3},
                                   {composit_text::kMultiply, 4},   {composit_text::kDivide, 5},
                                   {composit_text::kDifference, 6}, {composit_text::kLighter, 7},
                                   {composit_text::kDarker, 8},     {composit_text::kNbr, 9}};

}  // namespace

CDlgComposit::CDlgComposit(QWidget* parent) : CVumPreviewDialog(kTemplateId, parent) {
  setWindowTitle(Q(composit_text::kCaption));

  m_pImage = new CComboImage(this);
  m_pImage->setObjectName(Id(IDC_IMAGE));
  m_pMethod = new QComboBox(this);
  m_pMethod->setObjectName(Id(IDC_METHOD));
  for (const MethodItem& m : kMethods) m_pMethod->addItem(Q(m.text), m.method);
  m_pShiftX = MakeSpin(this, IDC_SHIFT_X);
  m_pShiftY = MakeSpin(this, IDC_SHIFT_Y);
  m_pRotation = MakeSpin(this, IDC_ROTATION);
  m_pDirection = new CDirectionButton(this);
  m_pDirection->setObjectName(Id(IDC_DIRECTION));
  m_pRate = MakeSpin(this, IDC_RATE);
  m_pUseLevel = new QCheckBox(Q(composit_text::kUseLevel), this);
  m_pUseLevel->setObjectName(Id(IDC_USE_LEVEL));
  m_pCutMinus = new QCheckBox(Q(composit_text::kCutMinus), this);
  m_pCutMinus->setObjectName(Id(IDC_CUT_MINUS));
  m_pSaturation = MakeSpin(this, IDC_SATURATION);
  m_pDarkBand = MakeSpin(this, IDC_DARK_BAND);
  m_pAutoLevel = new QPushButton(Q(composit_text::kAutoLevel), this);
  m_pAutoLevel->setObjectName(Id(IDC_AUTO_LEVEL));
  m_pAutoLevel->setAutoDefault(false);
  m_pMatching = new QPushButton(Q(composit_text::kMatching), this);
  m_pMatching->setObjectName(Id(IDC_MATCHING));
  m_pMatching->setAutoDefault(false);

  auto* top = new QGridLayout;
  top->addWidget(Buddy(this, composit_text::kImageLabel, m_pImage), 0, 0);
  top->addWidget(m_pImage, 0, 1, 1, 3);
  top->addWidget(Buddy(this, composit_text::kMethodLabel, m_pMethod), 1, 0);
  top->addWidget(m_pMethod, 1, 1);
  top->addWidget(Buddy(this, composit_text::kRateLabel, m_pRate), 1, 2);
  auto* rateRow = new QHBoxLayout;
  rateRow->addWidget(m_pRate);
  rateRow->addWidget(new QLabel(QStringLiteral("%"), this));
  top->addLayout(rateRow, 1, 3);

  auto* place = new QGridLayout;
  place->addWidget(Buddy(this, composit_text::kShiftXLabel, m_pShiftX), 0, 0);
  place->addWidget(m_pShiftX, 0, 1);
  place->addWidget(new QLabel(Q(composit_text::kPixelUnit), this), 0, 2);
  place->addWidget(Buddy(this, composit_text::kShiftYLabel, m_pShiftY), 1, 0);
  place->addWidget(m_pShiftY, 1, 1);
  place->addWidget(new QLabel(Q(composit_text::kPixelUnit), this), 1, 2);
  place->addWidget(Buddy(this, composit_text::kRotationLabel, m_pRotation), 2, 0);
  place->addWidget(m_pRotation, 2, 1);
  place->addWidget(new QLabel(Q(composit_text::kDegreeUnit), this), 2, 2);
  place->addWidget(m_pDirection, 0, 3, 3, 1);
  place->addWidget(m_pMatching, 3, 0, 1, 4, Qt::AlignLeft);

  auto* options = new QGridLayout;
  options->addWidget(m_pUseLevel, 0, 0, 1, 3);
  options->addWidget(m_pCutMinus, 1, 0, 1, 3);
  options->addWidget(Buddy(this, composit_text::kSaturationLabel, m_pSaturation), 2, 0);
  options->addWidget(m_pSaturation, 2, 1);
  options->addWidget(new QLabel(QStringLiteral("%"), this), 2, 2);
  options->addWidget(Buddy(this, composit_text::kDarkBandLabel, m_pDarkBand), 3, 0);
  options->addWidget(m_pDarkBand, 3, 1);
  options->addWidget(new QLabel(Q(composit_text::kPixelUnit), this), 3, 2);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(place);
  layout->addLayout(options);
  layout->addWidget(PreviewCheckBox());
  layout->addLayout(dlg::ButtonRow(this, m_pAutoLevel, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(m_pImage, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  connect(m_pMethod, &QComboBox::currentIndexChanged, this, [this] { OnMethod(); });
  connect(m_pDirection, &CDirectionButton::DirectionPressed, this, &CDlgComposit::OnDirection);
  connect(m_pShiftX, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pShiftX, &m_dShiftX, steps, -kShiftLimit, kShiftLimit); });
  connect(m_pShiftY, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pShiftY, &m_dShiftY, steps, -kShiftLimit, kShiftLimit); });
  connect(m_pRotation, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pRotation, &m_dRotation, steps, -360.0, 360.0); });
  connect(m_pRate, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pRate, &m_dRate, steps, 0.0, RateLimit(m_nMethod)); });
  connect(m_pSaturation, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pSaturation, &m_dSaturation, steps, 0.0, 100.0); });
  connect(m_pDarkBand, &CSpinEdit::stepRequested, this, [this](int steps) {
    // A width in whole pixels: Ctrl's tenth is one pixel.
    const double step =
        std::max(1.0, CDirectionButton::StepFor(QGuiApplication::keyboardModifiers()));
    m_nDarkBand = static_cast<int>(
        std::clamp(ReadValue(m_pDarkBand, m_nDarkBand) + steps * step, 0.0, 10000.0));
    m_pDarkBand->SetText(QString::number(m_nDarkBand));
    Changed();
  });
  for (CSpinEdit* edit : {m_pShiftX, m_pShiftY, m_pRotation, m_pRate, m_pSaturation, m_pDarkBand})
    connect(edit, &CSpinEdit::textEdited, this, [this] { Changed(); });
  for (QCheckBox* box : {m_pUseLevel, m_pCutMinus})
    connect(box, &QCheckBox::toggled, this, [this] { Changed(); });
  connect(m_pAutoLevel, &QPushButton::clicked, this, &CDlgComposit::OnAutoLevel);
  connect(m_pMatching, &QPushButton::clicked, this, &CDlgComposit::OnMatching);
}

CDlgComposit::~CDlgComposit() = default;

double CDlgComposit::RateLimit(int method) {
  return UsesRate(method) ? 500.0 : 100.0;
}

void CDlgComposit::OnInitDialog() {
  m_bLoading = true;
  // The levels shown for the source now are the ones the composite maps onto.
  m_Levels.clear();
  if (m_pTarget)
    for (int p = 0; p < m_pTarget->GetPlanes(); ++p)
      m_Levels.push_back({m_pTarget->GetLevelMin(p), m_pTarget->GetLevelMax(p)});
  m_nMethod = kMethods[0].method;
  m_pMethod->setCurrentIndex(0);
  m_dRate = UsesRate(m_nMethod) ? (m_nMethod == 2 ? m_dRateWeight : m_dRateNbr) : 100.0;
  m_bLoading = false;
  CVumPreviewDialog::OnInitDialog();
  EnableControls();
}

void CDlgComposit::UpdateRegistry(int write, const char* /*section*/) {
  CVumPreviewDialog::UpdateRegistry(write, kSection);
  if (write) KeepRate();
  UpdateReg(kSection, "RateWeight", write, m_dRateWeight, 0.0);
  UpdateReg(kSection, "RateABR", write, m_dRateNbr, 100.0);
  UpdateReg(kSection, "UseLevel", write, m_bUseLevel, CRegistry::TYPE_BOOL, 0);
  UpdateReg(kSection, "CutMinus", write, m_bCutMinus, CRegistry::TYPE_BOOL, 0);
  UpdateReg(kSection, "LevelABR", write, m_dSaturation, 95.0);
  UpdateReg(kSection, "PixelABR", write, m_nDarkBand, CRegistry::TYPE_INT, 3);
  if (write) {
    m_pImage->WriteHistory(kSection, kHistoryKey);
  } else {
    const bool loading = m_bLoading;
    m_bLoading = true;
    m_pImage->ReadHistory(kSection, kHistoryKey);
    // The image's own window is the source, not a choice; another is offered first.
    if (m_pDocument && m_pImage->GetDocument() == m_pDocument)
      for (int i = 0; i < m_pImage->count(); ++i)
        if (i != m_pImage->currentIndex()) {
          m_pImage->setCurrentIndex(i);
          break;
        }
    m_dRateWeight = std::clamp(m_dRateWeight, 0.0, RateLimit(2));
    m_dRateNbr = std::clamp(m_dRateNbr, 0.0, RateLimit(9));
    m_dSaturation = std::clamp(m_dSaturation, 0.0, 100.0);
    m_nDarkBand = std::max(0, m_nDarkBand);
    if (UsesRate(m_nMethod)) m_dRate = m_nMethod == 2 ? m_dRateWeight : m_dRateNbr;
    m_bLoading = loading;
  }
}

void CDlgComposit::DoDataExchange(bool save) {
  CVumPreviewDialog::DoDataExchange(save);
  if (save) {
    const QVariant data = m_pMethod->currentData();
    if (data.isValid()) m_nMethod = data.toInt();
    m_dShiftX = std::clamp(ReadValue(m_pShiftX, m_dShiftX), -kShiftLimit, kShiftLimit);
    m_dShiftY = std::clamp(ReadValue(m_pShiftY, m_dShiftY), -kShiftLimit, kShiftLimit);
    m_dRotation = std::clamp(ReadValue(m_pRotation, m_dRotation), -360.0, 360.0);
    m_dRate = std::clamp(ReadValue(m_pRate, m_dRate), 0.0, RateLimit(m_nMethod));
    m_bUseLevel = m_pUseLevel->isChecked() ? 1 : 0;
    m_bCutMinus = m_pCutMinus->isChecked() ? 1 : 0;
    m_dSaturation = std::clamp(ReadValue(m_pSaturation, m_dSaturation), 0.0, 100.0);
    m_nDarkBand = static_cast<int>(std::clamp(ReadValue(m_pDarkBand, m_nDarkBand), 0.0, 10000.0));
  } else {
    const bool loading = m_bLoading;
    m_bLoading = true;
    const int index = m_pMethod->findData(m_nMethod);
    if (index >= 0) m_pMethod->setCurrentIndex(index);
    m_pShiftX->SetText(Format(m_dShiftX));
    m_pShiftY->SetText(Format(m_dShiftY));
    m_pRotation->SetText(Format(m_dRotation));
    m_pRate->SetText(Format(m_dRate));
    m_pUseLevel->setChecked(m_bUseLevel != 0);
    m_pCutMinus->setChecked(m_bCutMinus != 0);
    m_pSaturation->SetText(Format(m_dSaturation));
    m_pDarkBand->SetText(QString::number(m_nDarkBand));
    m_bLoading = loading;
  }
}

void CDlgComposit::KeepRate() {
  if (m_nMethod == 2) m_dRateWeight = m_dRate;
  if (m_nMethod == 9) m_dRateNbr = m_dRate;
}

void CDlgComposit::OnMethod() {
  if (m_bLoading) return;
  // The rate shown belongs to the method that was chosen until now.
  m_dRate = std::clamp(ReadValue(m_pRate, m_dRate), 0.0, RateLimit(m_nMethod));
  KeepRate();
  const QVariant data = m_pMethod->currentData();
  if (data.isValid()) m_nMethod = data.toInt();
  if (UsesRate(m_nMethod)) m_dRate = m_nMethod == 2 ? m_dRateWeight : m_dRateNbr;
  m_dRate = std::clamp(m_dRate, 0.0, RateLimit(m_nMethod));
  m_pRate->SetText(Format(m_dRate));
  EnableControls();
  Changed();
}

void CDlgComposit::EnableControls() {
  m_pUseLevel->setEnabled(UsesLevel(m_nMethod));
  m_pCutMinus->setEnabled(m_nMethod == 3);
  m_pRate->setEnabled(UsesRate(m_nMethod));
  m_pSaturation->setEnabled(m_nMethod == 9);
  m_pDarkBand->setEnabled(m_nMethod == 9);
}

bool CDlgComposit::MoveShift(CSpinEdit* xEdit, CSpinEdit* yEdit, double* x, double* y,
                             int direction, double step) {
  *x = ReadValue(xEdit, *x);
  *y = ReadValue(yEdit, *y);
  double dx = 0.0, dy = 0.0;
  if (!CDirectionButton::Offset(direction, step, &dx, &dy)) return false;
  // Sums of tenths are kept to the digits shown, so that 0.1 + 0.2 is 0.3.
  *x = std::clamp(Format(*x + dx).toDouble(), -kShiftLimit, kShiftLimit);
  *y = std::clamp(Format(*y + dy).toDouble(), -kShiftLimit, kShiftLimit);
  xEdit->SetText(Format(*x));
  yEdit->SetText(Format(*y));
  return true;
}

void CDlgComposit::OnDirection(int direction, double step) {
  if (MoveShift(m_pShiftX, m_pShiftY, &m_dShiftX, &m_dShiftY, direction, step)) Changed();
}

int CDlgComposit::StepCount(int steps, Qt::KeyboardModifiers modifiers) {
  // The spin box itself makes an arrow held with Ctrl ten steps; the tenth step of this
  // dialog already stands for Ctrl.
  if (modifiers & Qt::ControlModifier) return steps / 10 != 0 ? steps / 10 : steps;
  return steps;
}

void CDlgComposit::SpinValue(CSpinEdit* edit, double* value, int steps, double low, double high) {
  const Qt::KeyboardModifiers modifiers = QGuiApplication::keyboardModifiers();
  const double step = CDirectionButton::StepFor(modifiers);
  *value = ReadValue(edit, *value) + StepCount(steps, modifiers) * step;
  *value = std::clamp(Format(*value).toDouble(), low, high);
  edit->SetText(Format(*value));
}

void CDlgComposit::OnSpin(CSpinEdit* edit, double* value, int steps, double low, double high) {
  SpinValue(edit, value, steps, low, high);
  Changed();
}

void CDlgComposit::Changed() {
  if (m_bLoading || IsClosed()) return;
  RestartPreview();
}

int CDlgComposit::ImageProc(RECT* rect, int final) {
  if (!m_pTarget) return 1;
  CRalImage* source = m_pUndo && !m_pUndo->IsEmpty() ? m_pUndo : m_pTarget;
  // The image's own window stands for the image as it was.
  CVumDocument* otherDoc = m_pImage->GetDocument();
  const CRalImage* other = otherDoc && otherDoc == m_pDocument ? source : m_pImage->GetImage(0);
  if (!m_bMinMaxDone) {
    (void)source->CalcMinMax();
    m_bMinMaxDone = true;
  }
  const int planes = m_pTarget->GetPlanes();
  std::vector<std::array<double, 2>> saved;
  for (int p = 0; p < planes; ++p) {
    saved.push_back({m_pTarget->GetLevelMin(p), m_pTarget->GetLevelMax(p)});
    if (p < static_cast<int>(m_Levels.size()))
      m_pTarget->SetLevel(p, m_Levels[p][0], m_Levels[p][1]);
  }
  int done = 0;
  if (other && source != m_pTarget)
    done = CImgComposit(*m_pTarget)
               .Do(source, other, m_dShiftX, m_dShiftY, m_dRotation, m_nMethod, m_dRate / 100.0,
                   m_bUseLevel, m_bCutMinus, m_dSaturation / 100.0, m_nDarkBand, rect, final, -1);
  for (int p = 0; p < planes; ++p) m_pTarget->SetLevel(p, saved[p][0], saved[p][1]);
  if (!done && source != m_pTarget) {
    // Nothing to combine with: the rows keep the source's values.
    const int top = rect ? std::max(0, static_cast<int>(rect->top)) : 0;
    const int bottom = rect ? std::min(m_pTarget->GetHeight(), static_cast<int>(rect->bottom))
                            : m_pTarget->GetHeight();
    std::vector<double> row(static_cast<std::size_t>(std::max(0, m_pTarget->GetWidth())));
    for (int p = 0; p < planes; ++p)
      for (int y = top; y < bottom; ++y)
        if (!source->GetPhysicalRow(y, p, row.data()) ||
            !m_pTarget->SetPhysicalRow(y, p, row.data()))
          return 0;
  }
  return 1;
}

void CDlgComposit::OnOK() {
  UpdateData(true);
  KeepRate();
  CVumPreviewDialog::OnOK();
}

void CDlgComposit::OnAutoLevel() {
  if (!m_pTarget || m_pTarget->IsEmpty()) return;
  {
    dlg::WaitCursor wait;
    (void)CPrcAutoLevel::Do(*m_pTarget, nullptr);
  }
  if (m_pDocument) m_pDocument->UpdateAllVumViews();
}

void CDlgComposit::OnMatching() {
  CDlgMatching settings(this);
  if (settings.DoModal() != QDialog::Accepted) return;
  UpdateData(true);
  CRalImage* source = m_pUndo && !m_pUndo->IsEmpty() ? m_pUndo : m_pTarget;
  CVumDocument* otherDoc = m_pImage->GetDocument();
  const CRalImage* other = otherDoc && otherDoc == m_pDocument ? source : m_pImage->GetImage(0);
  if (!source || !other) {
    AfxMessageBox(composit_text::kNoOtherImage, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  double dx = 0.0, dy = 0.0;
  int found = 0;
  {
    dlg::WaitCursor wait;
    const MatchingParams params = settings.GetParams();
    found = CImgMatching(*source).Do(other, &dx, &dy, &params, 1);
  }
  if (!found) {
    AfxMessageBox(composit_text::kMatchingFailed, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  m_dShiftX = dx;
  m_dShiftY = dy;
  m_dRotation = 0.0;
  UpdateData(false);
  Changed();
}
