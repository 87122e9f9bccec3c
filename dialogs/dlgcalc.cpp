// CDlgCalc: with a value the engine's calculation; with an image the composite operation
// with the matching method, run under the source's levels at opening so that the target's
// own levels are left as they were. An image from a file is read once per path through
// the file dispatcher and given automatic levels when it has none.
#include "dialogs/dlgcalc.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cmath>

#include "dialogs/comboimage.h"
#include "dialogs/dlgimageops.h"
#include "dialogs/dlgsupport.h"
#include "engine/imgcalc.h"
#include "engine/imgcomposit.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"

namespace {

constexpr const char* kSection = "Dialog\\Calc";

using dlg::Format;
using dlg::Id;
using dlg::Q;

bool ParseDouble(const QLineEdit* edit, double* value) {
  bool ok = false;
  const double v = edit->text().trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

QLineEdit* Edit(QWidget* parent, int id, int width) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(Id(id));
  edit->setMinimumWidth(width);
  return edit;
}

}  // namespace

CDlgCalc::CDlgCalc(QWidget* parent) : CVumPreviewDialog(kTemplateId, parent) {
  m_pOperation = new QComboBox(this);
  m_pOperation->setObjectName(Id(IDC_OPERATION));
  for (const char* name : calc_text::kOperation) m_pOperation->addItem(Q(name));

  auto* sourceBox = new QGroupBox(Q("演算対象"), this);
  auto* grid = new QGridLayout(sourceBox);
  m_pSource = new QButtonGroup(this);
  m_pSource->setObjectName(Id(IDC_SOURCE));
  const char* labels[] = {"数値(&N)：", "画像(&I)："};
  for (int i = 0; i < 2; ++i) {
    auto* radio = new QRadioButton(Q(labels[i]), sourceBox);
    radio->setObjectName(QStringLiteral("%1_%2").arg(IDC_SOURCE).arg(i));
    m_pSource->addButton(radio, i);
    grid->addWidget(radio, i, 0);
  }
  m_pValue = Edit(sourceBox, IDC_VALUE, 120);
  grid->addWidget(m_pValue, 0, 1, 1, 2);
  m_pImage = new CComboImage(sourceBox);
  m_pImage->setObjectName(Id(IDC_IMAGE));
  m_pImage->setMinimumWidth(220);
  grid->addWidget(m_pImage, 1, 1);
  m_pBrowse = new QPushButton(Q("参照(&B)..."), sourceBox);
  m_pBrowse->setObjectName(Id(IDC_BROWSE));
  m_pBrowse->setAutoDefault(false);
  grid->addWidget(m_pBrowse, 1, 2);

  auto* shiftRow = new QHBoxLayout;
  m_pShiftX = Edit(this, IDC_SHIFT_X, 70);
  m_pShiftY = Edit(this, IDC_SHIFT_Y, 70);
  shiftRow->addWidget(new QLabel(Q("ずらし X："), this));
  shiftRow->addWidget(m_pShiftX);
  shiftRow->addWidget(new QLabel(Q("Y："), this));
  shiftRow->addWidget(m_pShiftY);
  shiftRow->addStretch(1);

  m_pCutMinus = new QCheckBox(Q("0以下をｶｯﾄ(&C)"), this);
  m_pCutMinus->setObjectName(Id(IDC_CUT_MINUS));

  auto* opRow = new QHBoxLayout;
  opRow->addWidget(new QLabel(Q("演算(&O)："), this));
  opRow->addWidget(m_pOperation);
  opRow->addStretch(1);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(opRow);
  layout->addWidget(sourceBox);
  layout->addLayout(shiftRow);
  layout->addWidget(m_pCutMinus);
  layout->addWidget(PreviewCheckBox());
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);
  SetOperation(0);

  const auto restart = [this] {
    EnableControls();
    RestartPreview();
  };
  connect(m_pOperation, &QComboBox::activated, this, [this, restart](int index) {
    SetOperation(index);
    restart();
  });
  connect(m_pSource, &QButtonGroup::idClicked, this, restart);
  for (QLineEdit* edit : {m_pValue, m_pShiftX, m_pShiftY})
    connect(edit, &QLineEdit::editingFinished, this, restart);
  connect(m_pImage, QOverload<int>::of(&QComboBox::activated), this, [this, restart] {
    ChoiceChanged();
    restart();
  });
  connect(m_pCutMinus, &QCheckBox::toggled, this, restart);
  connect(m_pBrowse, &QPushButton::clicked, this, &CDlgCalc::OnBrowse);
}

CDlgCalc::~CDlgCalc() = default;

void CDlgCalc::SetOperation(int operation) {
  m_nOperation = operation >= 0 && operation < 4 ? operation : 0;
  m_pOperation->setCurrentIndex(m_nOperation);
  // The caption names the operation; it also names what undo takes back.
  QString caption = Q(calc_text::kOperation[m_nOperation]);
  const QString title = windowTitle();
  const qsizetype bracket = title.lastIndexOf('[');
  if (bracket >= 0) caption += QStringLiteral(" ") + title.mid(bracket);
  setWindowTitle(caption);
}

int CDlgCalc::CompositMethod(int operation) {
  switch (operation) {
    case CImgCalculation::kSubtract:
      return CImgComposit::kSubtract;
    case CImgCalculation::kMultiply:
      return CImgComposit::kMultiply;
    case CImgCalculation::kDivide:
      return CImgComposit::kDivide;
    default:
      return CImgComposit::kAdd;
  }
}

void CDlgCalc::OnInitDialog() {
  if (m_pUndo || m_pTarget) {
    // The levels shown for the source when the dialog opens.
    const CRalImage& image = m_pTarget && !m_pTarget->IsEmpty() ? *m_pTarget : *m_pUndo;
    for (int p = 0; p < image.GetPlanes(); ++p) {
      m_LevelMin.push_back(image.GetLevelMin(p));
      m_LevelMax.push_back(image.GetLevelMax(p));
    }
  }
  CVumPreviewDialog::OnInitDialog();
  EnableControls();
}

void CDlgCalc::EnableControls() {
  const int source = m_pSource->checkedId();
  m_pValue->setEnabled(source == kValue);
  m_pImage->setEnabled(source == kImage);
  m_pBrowse->setEnabled(source == kImage);
  m_pShiftX->setEnabled(source != kValue);
  m_pShiftY->setEnabled(source != kValue);
  m_pCutMinus->setEnabled(m_pOperation->currentIndex() == CImgCalculation::kSubtract);
}

void CDlgCalc::DoDataExchange(bool save) {
  CVumPreviewDialog::DoDataExchange(save);
  const QSignalBlocker block(m_pCutMinus);
  if (save) {
    if (m_pSource->checkedId() >= 0) m_nSource = m_pSource->checkedId();
    ParseDouble(m_pValue, &m_dValue);
    ParseDouble(m_pShiftX, &m_dShiftX);
    ParseDouble(m_pShiftY, &m_dShiftY);
    m_bCutMinus = m_pCutMinus->isChecked() ? 1 : 0;
  } else {
    if (QAbstractButton* b = m_pSource->button(m_nSource)) b->setChecked(true);
    m_pValue->setText(Format(m_dValue));
    m_pShiftX->setText(Format(m_dShiftX));
    m_pShiftY->setText(Format(m_dShiftY));
    m_pCutMinus->setChecked(m_bCutMinus != 0);
  }
}

void CDlgCalc::UpdateRegistry(int write, const char* section) {
  CVumPreviewDialog::UpdateRegistry(write, section ? section : kSection);
  UpdateReg(kSection, "Source", write, m_nSource, CRegistry::TYPE_INT, kValue);
  UpdateReg(kSection, "Value", write, m_dValue, 0.0);
  UpdateReg(kSection, "ShiftX", write, m_dShiftX, 0.0);
  UpdateReg(kSection, "ShiftY", write, m_dShiftY, 0.0);
  UpdateReg(kSection, "CutMinus", write, m_bCutMinus, CRegistry::TYPE_BOOL, 0);
  if (m_nSource != kImage) m_nSource = kValue;
  if (write)
    m_pImage->WriteHistory(kSection, "Image");
  else
    m_pImage->ReadHistory(kSection, "Image");
}

void CDlgCalc::OnBrowse() {
  if (!m_pImage->SelectFile()) return;
  ChoiceChanged();
  EnableControls();
  RestartPreview();
}

void CDlgCalc::ChoiceChanged() {
  m_bOtherKnown = false;
  m_pOther = nullptr;
}

const CRalImage* CDlgCalc::OtherImage() {
  if (m_nSource != kImage) return nullptr;
  if (!m_bOtherKnown) {
    m_bOtherKnown = true;
    CRalImage* image = m_pImage->GetImage(0);
    // This window's own image is being written: it takes part as it was.
    if (image && m_pDocument && m_pImage->GetDocument() == m_pDocument) image = m_pUndo;
    // A file without levels of its own is shown, and so composed, at automatic levels.
    if (image && m_pImage->IsFileSelected() && !image->HasOwnLevel())
      CPrcAutoLevel::Do(*image, nullptr);
    m_pOther = image;
  }
  return m_pOther;
}

void CDlgCalc::OnOK() {
  UpdateData(true);
  if (m_nSource == kValue) {
    double v = 0;
    if (!ParseDouble(m_pValue, &v)) {
      AfxMessageBox(calc_text::kNotANumber, MB_OK | MB_ICONEXCLAMATION);
      m_pValue->setFocus();
      return;
    }
    if (m_nOperation == CImgCalculation::kDivide && v == 0.0) {
      AfxMessageBox(calc_text::kDivideByZero, MB_OK | MB_ICONEXCLAMATION);
      m_pValue->setFocus();
      m_pValue->selectAll();
      return;
    }
  } else if (!OtherImage()) {
    AfxMessageBox(calc_text::kNoImage, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  CVumPreviewDialog::OnOK();
}

int CDlgCalc::ImageProc(RECT* rect, int final) {
  if (!m_pTarget || !m_pUndo) return 0;
  const int cut = m_nOperation == CImgCalculation::kSubtract ? m_bCutMinus : 0;
  if (m_nSource == kValue) {
    // A division by 0 is refused at OK; until then the preview shows the source.
    if (m_nOperation == CImgCalculation::kDivide && m_dValue == 0.0)
      return CImgCalculation(*m_pTarget).Do(0.0, CImgCalculation::kAdd, 0, m_pUndo, rect, final);
    return CImgCalculation(*m_pTarget).Do(m_dValue, m_nOperation, cut, m_pUndo, rect, final);
  }
  const CRalImage* other = OtherImage();
  if (!other) {
    // Nothing to combine with: the band shows the source.
    return CImgCalculation(*m_pTarget).Do(0.0, CImgCalculation::kAdd, 0, m_pUndo, rect, final);
  }
  // Shown rows of a FITS image read bottom-up count upward: the shift goes the other way
  // in stored rows.
  const double dy = FitsRowsBottomUp(*m_pUndo) ? -m_dShiftY : m_dShiftY;
  const int planes = m_pTarget->GetPlanes();
  std::vector<double> savedMin(planes), savedMax(planes);
  for (int p = 0; p < planes; ++p) {
    savedMin[p] = m_pTarget->GetLevelMin(p);
    savedMax[p] = m_pTarget->GetLevelMax(p);
    if (p < static_cast<int>(m_LevelMin.size()))
      m_pTarget->SetLevel(p, m_LevelMin[p], m_LevelMax[p]);
  }
  const int ok = CImgComposit(*m_pTarget)
                     .Do(m_pUndo, other, m_dShiftX, dy, 0.0, CompositMethod(m_nOperation), 1.0, 0,
                         cut, 1.0, 0, rect, final, -1);
  for (int p = 0; p < planes; ++p) m_pTarget->SetLevel(p, savedMin[p], savedMax[p]);
  return ok;
}
