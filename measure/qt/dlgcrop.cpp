#include "measure/qt/dlgcrop.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

#include "dialogs/dlgsupport.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

using dlg::Q;

namespace {

QString RangeText(const CCropRange& r) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "[ %5d, %5d; %5d, %5d ]", r.x1, r.x2, r.y1, r.y2);
  return QString::fromUtf8(buf);
}

}  // namespace

CDlgCrop::CDlgCrop(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(crop_text::kCaption));
  auto* layout = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Q("現在選択している範囲(&N)："), this), 0, 0);
  auto* row = new QHBoxLayout;
  const char* labels[4] = {"[ x1 ：", ", x2 ：", "; y1 ：", ", y2 ："};
  const char* names[4] = {"CROP_EDT_X1", "CROP_EDT_X2", "CROP_EDT_Y1", "CROP_EDT_Y2"};
  for (int i = 0; i < 4; ++i) {
    m_pEdit[i] = new QLineEdit(this);
    m_pEdit[i]->setObjectName(names[i]);
    m_pEdit[i]->setMaximumWidth(70);
    row->addWidget(new QLabel(Q(labels[i]), this));
    row->addWidget(m_pEdit[i]);
  }
  row->addWidget(new QLabel(QStringLiteral("]"), this));
  grid->addLayout(row, 0, 1);
  grid->addWidget(new QLabel(Q("ﾏｳｽ選択した範囲："), this), 1, 0);
  m_pCurrent = new QLabel(this);
  m_pCurrent->setObjectName("CROP_TXT_CURRENT");
  grid->addWidget(m_pCurrent, 1, 1);
  grid->addWidget(new QLabel(Q("前回選択された範囲："), this), 2, 0);
  m_pPrevious = new QLabel(this);
  m_pPrevious->setObjectName("CROP_TXT_PREVIOUS");
  grid->addWidget(m_pPrevious, 2, 1);
  layout->addLayout(grid);
  auto* previous = new QPushButton(Q("前回選択範囲(&S)"), this);
  previous->setObjectName("CROP_BTN_PREVIOUS");
  previous->setAutoDefault(false);
  connect(previous, &QPushButton::clicked, this, [this] {
    m_Entered = m_Previous;
    DoDataExchange(false);
  });
  layout->addLayout(dlg::ButtonRow(this, previous, HelpButton()));
  for (QLineEdit* e : m_pEdit) e->setFont(QFont(QStringLiteral("monospace")));
}

void CDlgCrop::SetImageInfo(int width, int height, const std::string& fileFormat) {
  m_nWidth = width;
  m_nHeight = height;
  int bottomUp = 1;
  CRegistry::Read("IO", "FitsBottomUp", 1, bottomUp, CRegistry::TYPE_BOOL);
  m_bBottomUp = bottomUp != 0 && fileFormat == "FITS";
}

void CDlgCrop::SetSelection(int ax, int ay, int bx, int by) {
  m_Current = CropRangeFromCorners(ax, ay, bx, by, m_nHeight, m_bBottomUp);
  m_Entered = m_Current;
}

void CDlgCrop::ShowRanges() {
  m_pCurrent->setText(RangeText(m_Current));
  m_pPrevious->setText(RangeText(m_Previous));
}

void CDlgCrop::DoDataExchange(bool save) {
  int* values[4] = {&m_Entered.x1, &m_Entered.x2, &m_Entered.y1, &m_Entered.y2};
  for (int i = 0; i < 4; ++i) {
    if (save) {
      bool ok = false;
      const int v = m_pEdit[i]->text().trimmed().toInt(&ok);
      // Text that is no number counts as 0, which the range check refuses.
      *values[i] = ok ? v : 0;
    } else {
      m_pEdit[i]->setText(QString::number(*values[i]));
    }
  }
  if (!save) ShowRanges();
}

void CDlgCrop::UpdateRegistry(int write, const char* section) {
  int* values[4] = {&m_Previous.x1, &m_Previous.x2, &m_Previous.y1, &m_Previous.y2};
  const char* keys[4] = {"X1", "X2", "Y1", "Y2"};
  for (int i = 0; i < 4; ++i)
    UpdateReg(crop_text::kSection, keys[i], write, *values[i], CRegistry::TYPE_INT, 1);
  CVumDialog::UpdateRegistry(write, section);
}

void CDlgCrop::OnOK() {
  UpdateData(true);
  std::string message;
  if (!CheckCropRange(m_Entered, m_nWidth, m_nHeight, m_bBottomUp, &m_Rect, &message)) {
    AfxMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  // The range entered becomes the previous range of the next crop.
  m_Previous = m_Entered;
  UpdateRegistry(1, nullptr);
  EndDialog(QDialog::Accepted);
}
