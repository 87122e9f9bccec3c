#include "dialogs/combodirectory.h"

#include <QAbstractButton>
#include <QLineEdit>

#include "dialogs/dlgselectdir.h"
#include "dialogs/pickersupport.h"

CComboDirectory::CComboDirectory(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  setMinimumContentsLength(24);
}

void CComboDirectory::ReadHistory(const std::string& section, const std::string& key) {
  clear();
  for (const std::string& dir : picker::ReadHistory(section, key, kHistory))
    addItem(QString::fromStdString(dir));
  setCurrentIndex(count() > 0 ? 0 : -1);
}

void CComboDirectory::WriteHistory(const std::string& section, const std::string& key) {
  std::vector<std::string> dirs = GetDirectories();
  const std::string current = GetDirectory();
  if (!current.empty()) picker::MoveToFront(dirs, current, kHistory);
  picker::WriteHistory(section, key, dirs, kHistory);
}

void CComboDirectory::SetBrowseButton(QAbstractButton* button) {
  connect(button, &QAbstractButton::clicked, this, [this] { (void)Browse(); });
}

int CComboDirectory::Browse() {
  std::string chosen;
  if (m_Chooser) {
    if (!m_Chooser(GetDirectory(), &chosen)) return 0;
  } else {
    CDlgSelectDir dlg(this);
    dlg.SetTitle(picker_text::kSelectDirTitle);
    dlg.SetDirectory(GetDirectory());
    if (dlg.exec() != QDialog::Accepted) return 0;
    chosen = dlg.GetDirectory();
  }
  if (chosen.empty()) return 0;
  AddDirectory(chosen);
  return 1;
}

void CComboDirectory::AddDirectory(const std::string& dir) {
  const QString text = QString::fromStdString(dir);
  for (int i = count() - 1; i >= 0; --i)
    if (itemText(i) == text) removeItem(i);
  insertItem(0, text);
  while (count() > kHistory) removeItem(count() - 1);
  setCurrentIndex(0);
  setEditText(text);
}

std::string CComboDirectory::GetDirectory() const {
  return currentText().trimmed().toStdString();
}

std::vector<std::string> CComboDirectory::GetDirectories() const {
  std::vector<std::string> out;
  for (int i = 0; i < count(); ++i) out.push_back(itemText(i).toStdString());
  return out;
}
