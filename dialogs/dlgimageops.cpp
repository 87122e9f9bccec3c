// The rotation, resolution, scroll, contour and overscan dialogs: fields laid out in
// code, settings read at opening and written when the dialog goes, checks at OK, and
// each ImageProc a single engine call from the undo image into the target.
#include "dialogs/dlgimageops.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "dialogs/dlgsupport.h"
#include "engine/imgfilter.h"
#include "engine/imgoverscan.h"
#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"

namespace {

using dlg::Format;
using dlg::Id;
using dlg::Q;

QLineEdit* Edit(QWidget* parent, int id, int width = 90) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(Id(id));
  edit->setMinimumWidth(width);
  return edit;
}

// Radio buttons named "<id>_<index>" in a group named by the id.
QButtonGroup* Radios(QWidget* parent, QLayout* layout, int id,
                     std::initializer_list<const char*> labels) {
  auto* group = new QButtonGroup(parent);
  group->setObjectName(Id(id));
  int i = 0;
  for (const char* label : labels) {
    auto* radio = new QRadioButton(Q(label), parent);
    radio->setObjectName(QStringLiteral("%1_%2").arg(id).arg(i));
    group->addButton(radio, i);
    layout->addWidget(radio);
    ++i;
  }
  return group;
}

void Check(QButtonGroup* group, int id) {
  if (QAbstractButton* b = group->button(id)) b->setChecked(true);
}

bool ParseInt(const QLineEdit* edit, int* value) {
  bool ok = false;
  const int v = edit->text().trimmed().toInt(&ok);
  if (ok) *value = v;
  return ok;
}

bool ParseDouble(const QLineEdit* edit, double* value) {
  bool ok = false;
  const double v = edit->text().trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// Shows text, puts the focus on the field at fault and answers 0 (the dialog stays).
int Refuse(const char* text, QLineEdit* field) {
  AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
  if (field) {
    field->setFocus();
    field->selectAll();
  }
  return 0;
}

void Finish(QDialog* dialog, QVBoxLayout* layout, QPushButton* help, QWidget* first = nullptr) {
  layout->addLayout(dlg::ButtonRow(dialog, first, help));
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace

// ---- CDlgRotate

CDlgRotate::CDlgRotate(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(imageops_text::kRotateCaption));
  m_pAngle = Edit(this, IDC_ANGLE);
  auto* angleRow = new QHBoxLayout;
  auto* label = new QLabel(Q("角度(&A)："), this);
  label->setBuddy(m_pAngle);
  angleRow->addWidget(label);
  angleRow->addWidget(m_pAngle);
  angleRow->addWidget(new QLabel(Q("度"), this));
  angleRow->addStretch(1);

  auto* senseBox = new QGroupBox(Q("回転方向"), this);
  auto* senseLayout = new QHBoxLayout(senseBox);
  m_pClock = Radios(senseBox, senseLayout, IDC_CLOCK, {"反時計回り(&L)", "時計回り(&R)"});

  m_pSizeFixed = new QCheckBox(Q("画像ｻｲｽﾞを変えない(&F)"), this);
  m_pSizeFixed->setObjectName(Id(IDC_SIZE_FIXED));

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(angleRow);
  layout->addWidget(senseBox);
  layout->addWidget(m_pSizeFixed);
  Finish(this, layout, HelpButton());
}

CDlgRotate::Path CDlgRotate::PathFor(double angle) {
  switch (CImgRotate::QuarterTurnsOf(angle)) {
    case 0:
      return kNone;
    case 1:
      return kQuarterLeft;
    case 2:
      return kHalf;
    case 3:
      return kQuarterRight;
    default:
      return kGeneral;
  }
}

void CDlgRotate::DoDataExchange(bool save) {
  if (save) {
    ParseDouble(m_pAngle, &m_dAngle);
    if (m_pClock->checkedId() >= 0) m_nClock = m_pClock->checkedId();
    m_bSizeFixed = m_pSizeFixed->isChecked() ? 1 : 0;
  } else {
    m_pAngle->setText(Format(m_dAngle));
    Check(m_pClock, m_nClock ? 1 : 0);
    m_pSizeFixed->setChecked(m_bSizeFixed != 0);
  }
}

int CDlgRotate::CheckValue() {
  double angle = 0;
  if (!ParseDouble(m_pAngle, &angle)) return Refuse(imageops_text::kNotANumber, m_pAngle);
  return CVumDialog::CheckValue();
}

void CDlgRotate::UpdateRegistry(int write, const char*) {
  static constexpr const char* kSection = "Dialog\\Rotate";
  CVumDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "Angle", write, m_dAngle, 90.0);
  UpdateReg(kSection, "Clock", write, m_nClock, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "SizeFixed", write, m_bSizeFixed, CRegistry::TYPE_BOOL, 0);
}

int CDlgRotate::ImageProc(RECT*, int final) {
  if (!m_pTarget || !m_pUndo) return 0;
  const double angle = GetAngle();
  m_LastPath = PathFor(angle);
  return CImgRotate(*m_pTarget).DoShown(angle, m_bSizeFixed, m_pUndo, final);
}

CPixelMove CDlgRotate::GetPixelMove(int width, int height) const {
  return CImgRotate::MoveShown(GetAngle(), m_bSizeFixed, width, height);
}

// ---- CDlgResolution

CDlgResolution::CDlgResolution(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(imageops_text::kResolutionCaption));
  m_pWidth = Edit(this, IDC_WIDTH);
  m_pHeight = Edit(this, IDC_HEIGHT);
  m_pKeepRatio = new QCheckBox(Q("縦横比を保つ(&K)"), this);
  m_pKeepRatio->setObjectName(Id(IDC_KEEP_RATIO));
  QGridLayout* grid = dlg::SizeGrid(this, m_pWidth, m_pHeight);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(m_pKeepRatio);
  Finish(this, layout, HelpButton());
  connect(m_pWidth, &QLineEdit::textEdited, this, [this] { Follow(true); });
  connect(m_pHeight, &QLineEdit::textEdited, this, [this] { Follow(false); });
}

void CDlgResolution::OnInitDialog() {
  // The fields open with the image's own size.
  const CRalImage* image = m_pTarget ? m_pTarget : m_pUndo;
  if (image && !image->IsEmpty()) {
    m_nWidth = image->GetWidth();
    m_nHeight = image->GetHeight();
  }
  CVumDialog::OnInitDialog();
}

void CDlgResolution::Follow(bool widthChanged) {
  const CRalImage* image = m_pTarget ? m_pTarget : m_pUndo;
  if (m_bFollowing || !m_pKeepRatio->isChecked() || !image || image->GetWidth() < 1 ||
      image->GetHeight() < 1)
    return;
  int v = 0;
  if (!ParseInt(widthChanged ? m_pWidth : m_pHeight, &v)) return;
  const double ratio = static_cast<double>(image->GetHeight()) / image->GetWidth();
  const double other = widthChanged ? v * ratio : v / ratio;
  m_bFollowing = true;
  (widthChanged ? m_pHeight : m_pWidth)->setText(QString::number(std::lround(other)));
  m_bFollowing = false;
}

void CDlgResolution::DoDataExchange(bool save) {
  if (save) {
    ParseInt(m_pWidth, &m_nWidth);
    ParseInt(m_pHeight, &m_nHeight);
    m_bKeepRatio = m_pKeepRatio->isChecked() ? 1 : 0;
  } else {
    m_pWidth->setText(QString::number(m_nWidth));
    m_pHeight->setText(QString::number(m_nHeight));
    m_pKeepRatio->setChecked(m_bKeepRatio != 0);
  }
}

int CDlgResolution::CheckValue() {
  int w = 0, h = 0;
  if (!ParseInt(m_pWidth, &w) || w < 1) return Refuse(imageops_text::kSizeAboveZero, m_pWidth);
  if (!ParseInt(m_pHeight, &h) || h < 1) return Refuse(imageops_text::kSizeAboveZero, m_pHeight);
  return CVumDialog::CheckValue();
}

void CDlgResolution::UpdateRegistry(int write, const char*) {
  static constexpr const char* kSection = "Dialog\\Resolution";
  CVumDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "KeepRatio", write, m_bKeepRatio, CRegistry::TYPE_BOOL, 0);
}

int CDlgResolution::ImageProc(RECT*, int final) {
  if (!m_pTarget || !m_pUndo) return 0;
  return CImgResolution(*m_pTarget).Do(m_pUndo, m_nWidth, m_nHeight, final);
}

// ---- CDlgScroll

CDlgScroll::CDlgScroll(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(imageops_text::kScrollCaption));
  auto* directionBox = new QGroupBox(Q("方向"), this);
  auto* directionLayout = new QHBoxLayout(directionBox);
  m_pDirection =
      Radios(directionBox, directionLayout, IDC_DIRECTION, {"水平(右へ)(&H)", "垂直(上へ)(&V)"});
  m_pAmount = Edit(this, IDC_AMOUNT);
  auto* row = new QHBoxLayout;
  auto* label = new QLabel(Q("移動量(&M)："), this);
  label->setBuddy(m_pAmount);
  row->addWidget(label);
  row->addWidget(m_pAmount);
  row->addWidget(new QLabel(Q("ﾋﾟｸｾﾙ"), this));
  row->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(directionBox);
  layout->addLayout(row);
  Finish(this, layout, HelpButton());
}

void CDlgScroll::Shift(int direction, int amount, int* dx, int* dy) {
  // The first stored row is shown at the top: upward is toward lower row numbers.
  *dx = direction == 0 ? amount : 0;
  *dy = direction == 0 ? 0 : -amount;
}

void CDlgScroll::DoDataExchange(bool save) {
  if (save) {
    if (m_pDirection->checkedId() >= 0) m_nDirection = m_pDirection->checkedId();
    ParseInt(m_pAmount, &m_nAmount);
  } else {
    Check(m_pDirection, m_nDirection ? 1 : 0);
    m_pAmount->setText(QString::number(m_nAmount));
  }
}

int CDlgScroll::CheckValue() {
  int amount = 0;
  if (!ParseInt(m_pAmount, &amount)) return Refuse(imageops_text::kNotANumber, m_pAmount);
  return CVumDialog::CheckValue();
}

void CDlgScroll::UpdateRegistry(int write, const char*) {
  static constexpr const char* kSection = "Dialog\\Scroll";
  CVumDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "Direction", write, m_nDirection, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "Amount", write, m_nAmount, CRegistry::TYPE_INT, 1);
}

int CDlgScroll::ImageProc(RECT*, int final) {
  if (!m_pTarget || !m_pUndo) return 0;
  int dx = 0, dy = 0;
  Shift(m_nDirection, m_nAmount, &dx, &dy);
  return CImgScroll(*m_pTarget).Do(dx, dy, m_pUndo, final);
}

CPixelMove CDlgScroll::GetPixelMove(int width, int height) const {
  int dx = 0, dy = 0;
  Shift(m_nDirection, m_nAmount, &dx, &dy);
  return CPixelMove::Scroll(width, height, dx, dy);
}

// ---- CDlgContour

CDlgContour::CDlgContour(QWidget* parent) : CVumPreviewDialog(kTemplateId, parent) {
  setWindowTitle(Q(imageops_text::kContourCaption));
  m_pStep = Edit(this, IDC_STEP);
  auto* row = new QHBoxLayout;
  auto* label = new QLabel(Q("間隔(&S)："), this);
  label->setBuddy(m_pStep);
  row->addWidget(label);
  row->addWidget(m_pStep);
  row->addStretch(1);
  auto* modeBox = new QGroupBox(Q("表示"), this);
  auto* modeLayout = new QHBoxLayout(modeBox);
  m_pMode = Radios(modeBox, modeLayout, IDC_MODE, {"段彩(&B)", "等高線(&L)"});
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(modeBox);
  layout->addWidget(PreviewCheckBox());
  Finish(this, layout, HelpButton());
  connect(m_pStep, &QLineEdit::editingFinished, this, [this] { RestartPreview(); });
  connect(m_pMode, &QButtonGroup::idClicked, this, [this] { RestartPreview(); });
}

void CDlgContour::OnInitDialog() {
  // A stored step, read by the base, replaces this one.
  if (m_pUndo && !m_pUndo->IsEmpty()) {
    // Ten levels over the source's range to begin with.
    CRalImage& source = *m_pUndo;
    if (source.CalcMinMax()) {
      const double range = source.GetDataMax(0) - source.GetDataMin(0);
      m_dStep = range > 0 ? range / 10.0 : 1.0;
    }
  }
  if (!(m_dStep > 0)) m_dStep = 1.0;
  CVumPreviewDialog::OnInitDialog();
}

void CDlgContour::DoDataExchange(bool save) {
  CVumPreviewDialog::DoDataExchange(save);
  if (save) {
    double step = 0;
    if (ParseDouble(m_pStep, &step) && step > 0) m_dStep = step;
    if (m_pMode->checkedId() >= 0) m_nMode = m_pMode->checkedId();
  } else {
    m_pStep->setText(Format(m_dStep));
    Check(m_pMode, m_nMode ? 1 : 0);
  }
}

void CDlgContour::OnOK() {
  double step = 0;
  if (!ParseDouble(m_pStep, &step) || !(step > 0)) {
    Refuse(imageops_text::kAboveZero, m_pStep);
    return;
  }
  CVumPreviewDialog::OnOK();
}

void CDlgContour::UpdateRegistry(int write, const char* section) {
  static constexpr const char* kSection = "Dialog\\Contour";
  CVumPreviewDialog::UpdateRegistry(write, section ? section : kSection);
  // No stored step yet (0): the one made from the source's range stays.
  double step = m_dStep;
  UpdateReg(kSection, "Step", write, step, 0.0);
  if (!write && step > 0) m_dStep = step;
  UpdateReg(kSection, "Mode", write, m_nMode, CRegistry::TYPE_INT, 1);
}

int CDlgContour::ImageProc(RECT* rect, int final) {
  if (!m_pTarget || !m_pUndo) return 0;
  return CImgFilter(*m_pTarget).ContourFilter(m_dStep, m_nMode, m_pUndo, rect, final);
}

// ---- CDlgOverscan

CDlgOverscan::CDlgOverscan(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(imageops_text::kOverscanCaption));
  auto* regionBox = new QGroupBox(Q("ｵｰﾊﾞｰｽｷｬﾝ領域"), this);
  auto* grid = new QGridLayout(regionBox);
  const int ids[4] = {IDC_X1, IDC_X2, IDC_Y1, IDC_Y2};
  for (int i = 0; i < 4; ++i) m_pEdit[i] = Edit(regionBox, ids[i], 70);
  grid->addWidget(new QLabel(Q("X："), regionBox), 0, 0);
  grid->addWidget(m_pEdit[0], 0, 1);
  grid->addWidget(new QLabel(Q("～"), regionBox), 0, 2);
  grid->addWidget(m_pEdit[1], 0, 3);
  grid->addWidget(new QLabel(Q("Y："), regionBox), 1, 0);
  grid->addWidget(m_pEdit[2], 1, 1);
  grid->addWidget(new QLabel(Q("～"), regionBox), 1, 2);
  grid->addWidget(m_pEdit[3], 1, 3);
  m_pClipping = new QCheckBox(Q("3σｸﾘｯﾋﾟﾝｸﾞ(&C)"), this);
  m_pClipping->setObjectName(Id(IDC_CLIPPING));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(regionBox);
  layout->addWidget(m_pClipping);
  Finish(this, layout, HelpButton());
}

void CDlgOverscan::Rows(int y1, int y2, int height, bool rowsUpward, int* r1, int* r2) {
  *r1 = rowsUpward ? height - y1 : y1 - 1;
  *r2 = rowsUpward ? height - y2 : y2 - 1;
}

void CDlgOverscan::DoDataExchange(bool save) {
  int* values[4] = {&m_nX1, &m_nX2, &m_nY1, &m_nY2};
  for (int i = 0; i < 4; ++i) {
    if (save)
      ParseInt(m_pEdit[i], values[i]);
    else
      m_pEdit[i]->setText(QString::number(*values[i]));
  }
  if (save)
    m_bClipping = m_pClipping->isChecked() ? 1 : 0;
  else
    m_pClipping->setChecked(m_bClipping != 0);
}

int CDlgOverscan::CheckValue() {
  int v[4] = {};
  for (int i = 0; i < 4; ++i)
    if (!ParseInt(m_pEdit[i], &v[i])) return Refuse(imageops_text::kNotANumber, m_pEdit[i]);
  const CRalImage* image = m_pUndo && !m_pUndo->IsEmpty() ? m_pUndo : m_pTarget;
  if (image) {
    const int w = image->GetWidth(), h = image->GetHeight();
    // Some of the region must lie on the image.
    if (std::max(v[0], v[1]) < 1 || std::min(v[0], v[1]) > w)
      return Refuse(imageops_text::kRegionOutside, m_pEdit[0]);
    if (std::max(v[2], v[3]) < 1 || std::min(v[2], v[3]) > h)
      return Refuse(imageops_text::kRegionOutside, m_pEdit[2]);
  }
  return CVumDialog::CheckValue();
}

void CDlgOverscan::UpdateRegistry(int write, const char*) {
  static constexpr const char* kSection = "Dialog\\Overscan";
  CVumDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "X1", write, m_nX1, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "X2", write, m_nX2, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "Y1", write, m_nY1, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "Y2", write, m_nY2, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "Clipping", write, m_bClipping, CRegistry::TYPE_BOOL, 1);
}

int CDlgOverscan::ImageProc(RECT*, int final) {
  if (!m_pTarget || !m_pUndo) return 0;
  // The engine works in place: the target starts as the source.
  if (!m_pTarget->CopyImage(*m_pUndo)) return 0;
  int r1 = 0, r2 = 0;
  Rows(m_nY1, m_nY2, m_pTarget->GetHeight(), FitsRowsBottomUp(*m_pUndo), &r1, &r2);
  return CImgOverScan(*m_pTarget).Do(m_nX1 - 1, m_nX2 - 1, r1, r2, m_bClipping, final);
}
