#include "dialogs/filelistbox.h"

#include <QDir>
#include <QFileInfo>

CFileListBox::CFileListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::ExtendedSelection);
}

void CFileListBox::SetPatterns(const std::vector<std::string>& patterns) {
  m_Patterns = patterns;
  Refresh();
}

int CFileListBox::SetDirectory(const std::string& dir) {
  m_Dir = dir;
  Refresh();
  return QFileInfo(QString::fromStdString(dir)).isDir() ? 1 : 0;
}

void CFileListBox::Refresh() {
  clear();
  if (m_Dir.empty()) return;
  QDir dir(QString::fromStdString(m_Dir));
  if (!dir.exists()) return;
  QStringList filters;
  for (const std::string& p : m_Patterns) filters << QString::fromStdString(p);
  const QFileInfoList files =
      dir.entryInfoList(filters, QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
  for (const QFileInfo& f : files)
    if (f.isFile()) addItem(f.fileName());
}

std::vector<std::string> CFileListBox::GetSelectedPaths() const {
  std::vector<std::string> out;
  const QDir dir(QString::fromStdString(m_Dir));
  for (int i = 0; i < count(); ++i)
    if (item(i)->isSelected()) out.push_back(dir.filePath(item(i)->text()).toStdString());
  return out;
}

std::vector<std::string> CFileListBox::GetAllPaths() const {
  std::vector<std::string> out;
  const QDir dir(QString::fromStdString(m_Dir));
  for (int i = 0; i < count(); ++i) out.push_back(dir.filePath(item(i)->text()).toStdString());
  return out;
}
