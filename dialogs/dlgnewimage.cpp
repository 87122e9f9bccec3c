// The new-image dialogs: a title checked against the open documents (letter case
// ignored, as titles are compared everywhere), and a size checked to be above zero.
#include "dialogs/dlgnewimage.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "dialogs/dlgsupport.h"
#include "platform/messagebox.h"

namespace {

using dlg::Id;
using dlg::Q;

int Refuse(const char* text, QLineEdit* field) {
  AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
  field->setFocus();
  field->selectAll();
  return 0;
}

}  // namespace

// ---- CDlgNewImage

CDlgNewImage::CDlgNewImage(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(newimage_text::kCaption));
  m_pName = new QLineEdit(this);
  m_pName->setObjectName(Id(IDC_NAME));
  m_pName->setMinimumWidth(260);
  auto* label = new QLabel(Q("ﾀｲﾄﾙ(&T)："), this);
  label->setBuddy(m_pName);
  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(m_pName, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);
  // The image window this dialog belongs to stays as it is.
  SetUndoPreparation(0);
}

void CDlgNewImage::SetCaption(const std::string& caption) {
  setWindowTitle(Q(caption.c_str()));
}

void CDlgNewImage::DoDataExchange(bool save) {
  if (save)
    m_strName = m_pName->text().trimmed().toStdString();
  else
    m_pName->setText(QString::fromStdString(m_strName));
}

int CDlgNewImage::CheckValue() {
  const std::string name = m_pName->text().trimmed().toStdString();
  if (name.empty() || !CVumDoc::IsUniqueTitle(name))
    return Refuse(newimage_text::kDuplicateTitle, m_pName);
  return CVumDialog::CheckValue();
}

void CDlgNewImage::UpdateRegistry(int write, const char*) {
  CVumDialog::UpdateRegistry(write, "DlgNewImage");
}

// ---- CDlgNewImageWithSize

CDlgNewImageWithSize::CDlgNewImageWithSize(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(newimage_text::kCaption));
  m_pWidth = new QLineEdit(this);
  m_pWidth->setObjectName(Id(IDC_WIDTH));
  m_pHeight = new QLineEdit(this);
  m_pHeight->setObjectName(Id(IDC_HEIGHT));
  QGridLayout* grid = dlg::SizeGrid(this, m_pWidth, m_pHeight);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);
  SetUndoPreparation(0);
}

void CDlgNewImageWithSize::SetCaption(const std::string& caption) {
  setWindowTitle(Q(caption.c_str()));
}

void CDlgNewImageWithSize::DoDataExchange(bool save) {
  if (save) {
    bool ok = false;
    int v = m_pWidth->text().trimmed().toInt(&ok);
    if (ok) m_nWidth = v;
    v = m_pHeight->text().trimmed().toInt(&ok);
    if (ok) m_nHeight = v;
  } else {
    m_pWidth->setText(QString::number(m_nWidth));
    m_pHeight->setText(QString::number(m_nHeight));
  }
}

int CDlgNewImageWithSize::CheckValue() {
  bool ok = false;
  if (m_pWidth->text().trimmed().toInt(&ok) < 1 || !ok)
    return Refuse(newimage_text::kAboveZero, m_pWidth);
  if (m_pHeight->text().trimmed().toInt(&ok) < 1 || !ok)
    return Refuse(newimage_text::kAboveZero, m_pHeight);
  return CVumDialog::CheckValue();
}

void CDlgNewImageWithSize::UpdateRegistry(int write, const char*) {
  CVumDialog::UpdateRegistry(write, "DlgNewImageWithSize");
}
