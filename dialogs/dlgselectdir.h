// CDlgSelectDir: chooses a folder from the folder tree, or typed as a path.
#pragma once

#include <QDialog>
#include <string>

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QTreeView;

namespace picker_text {
inline constexpr const char* kSelectDirCaption = "ﾌｫﾙﾀﾞ選択";
inline constexpr const char* kSelectDirTitle = "ﾌｫﾙﾀﾞを選択";
}  // namespace picker_text

class CDlgSelectDir : public QDialog {
  Q_OBJECT

 public:
  explicit CDlgSelectDir(QWidget* parent = nullptr);

  // The text above the tree (the caller's question).
  void SetTitle(const std::string& title);
  // The folder shown and selected at the start; a missing one leaves the home folder.
  void SetDirectory(const std::string& dir);
  // The chosen folder, without a trailing '/' (except the root).
  std::string GetDirectory() const;

  void accept() override;

 private:
  QFileSystemModel* m_pModel;
  QTreeView* m_pTree;
  QLineEdit* m_pPath;
  QLabel* m_pTitle;
};
