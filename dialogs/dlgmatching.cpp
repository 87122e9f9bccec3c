// The values are read as typed; a negative or unreadable one keeps the dialog open.
#include "dialogs/dlgmatching.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "dialogs/dlgsupport.h"
#include "platform/messagebox.h"

using dlg::Id;
using dlg::Q;

CDlgMatching::CDlgMatching(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(matching_text::kCaption));
  SetUndoPreparation(0);
  m_pMaxShift = new QLineEdit(this);
  m_pMaxShift->setObjectName(Id(IDC_MAX_SHIFT));
  m_pMinScore = new QLineEdit(this);
  m_pMinScore->setObjectName(Id(IDC_MIN_SCORE));
  auto* grid = new QGridLayout;
  auto* shiftLabel = new QLabel(Q(matching_text::kMaxShiftLabel), this);
  shiftLabel->setBuddy(m_pMaxShift);
  auto* scoreLabel = new QLabel(Q(matching_text::kMinScoreLabel), this);
  scoreLabel->setBuddy(m_pMinScore);
  grid->addWidget(shiftLabel, 0, 0);
  grid->addWidget(m_pMaxShift, 0, 1);
  grid->addWidget(new QLabel(Q(matching_text::kMaxShiftUnit), this), 0, 2);
  grid->addWidget(scoreLabel, 1, 0);
  grid->addWidget(m_pMinScore, 1, 1);
  grid->addWidget(new QLabel(Q(matching_text::kMinScoreUnit), this), 1, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

MatchingParams CDlgMatching::LoadParams() {
  MatchingParams p;
  UpdateReg(kSection, "MaxShift", 0, p.maxShift, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "MinScore", 0, p.minScore, 0.0);
  if (p.maxShift < 0) p.maxShift = 0;
  if (!(p.minScore >= 0.0)) p.minScore = 0.0;
  return p;
}

int CDlgMatching::CheckValue() {
  bool okShift = false, okScore = false;
  const int shift = m_pMaxShift->text().trimmed().toInt(&okShift);
  const double score = m_pMinScore->text().trimmed().toDouble(&okScore);
  if (!okShift || shift < 0 || !okScore || !(score >= 0.0)) {
    AfxMessageBox(matching_text::kBadValue, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  return CVumDialog::CheckValue();
}

void CDlgMatching::DoDataExchange(bool save) {
  CVumDialog::DoDataExchange(save);
  if (save) {
    bool ok = false;
    const int shift = m_pMaxShift->text().trimmed().toInt(&ok);
    if (ok && shift >= 0) m_Params.maxShift = shift;
    const double score = m_pMinScore->text().trimmed().toDouble(&ok);
    if (ok && score >= 0.0) m_Params.minScore = score;
  } else {
    m_pMaxShift->setText(QString::number(m_Params.maxShift));
    m_pMinScore->setText(dlg::Format(m_Params.minScore));
  }
}

void CDlgMatching::UpdateRegistry(int write, const char* /*section*/) {
  CVumDialog::UpdateRegistry(write, kSection);
  if (!write) {
    m_Params = LoadParams();
    return;
  }
  // Only an accepted dialog stores its values.
  if (!m_bAccepted) return;
  UpdateReg(kSection, "MaxShift", 1, m_Params.maxShift, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "MinScore", 1, m_Params.minScore, 0.0);
}

void CDlgMatching::OnOK() {
  UpdateData(true);
  if (!CheckValue()) return;
  m_bAccepted = 1;
  CVumDialog::OnOK();
}

int CDlgMatching::ImageProc(RECT*, int) {
  return 1;
}
