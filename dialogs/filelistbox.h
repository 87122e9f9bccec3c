// CFileListBox: the files of one folder that match the image patterns, sorted by name,
// several selectable at once.
#pragma once

#include <QListWidget>
#include <string>
#include <vector>

class CFileListBox : public QListWidget {
  Q_OBJECT

 public:
  explicit CFileListBox(QWidget* parent = nullptr);

  // Patterns such as "*.fts" (case ignored); empty lists every file.
  void SetPatterns(const std::vector<std::string>& patterns);
  // Lists the folder's regular files; 0 when it is not a folder (the list is then empty).
  int SetDirectory(const std::string& dir);
  // Lists the folder again.
  void Refresh();
  const std::string& GetDirectory() const { return m_Dir; }

  // Full paths: of the selected entries, or of every entry.
  std::vector<std::string> GetSelectedPaths() const;
  std::vector<std::string> GetAllPaths() const;

 private:
  std::string m_Dir;
  std::vector<std::string> m_Patterns;
};
