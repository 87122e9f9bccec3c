// CComboDirectory: a folder, typed or chosen, with the five folders used last stored as
// key0...key4 of the owner's section.
#pragma once

#include <QComboBox>
#include <functional>
#include <string>
#include <vector>

class QAbstractButton;

class CComboDirectory : public QComboBox {
  Q_OBJECT

 public:
  static constexpr int kHistory = 5;

  explicit CComboDirectory(QWidget* parent = nullptr);

  void ReadHistory(const std::string& section, const std::string& key);
  // The folder in the field (typed or selected) goes to the top first.
  void WriteHistory(const std::string& section, const std::string& key);

  // The browse button runs the folder chooser starting at the folder in the field.
  void SetBrowseButton(QAbstractButton* button);
  // Runs the chooser; the chosen folder goes to the top and is selected. 1 when chosen.
  int Browse();
  // Puts a folder at the top (a same entry removed) and selects it.
  void AddDirectory(const std::string& dir);

  std::string GetDirectory() const;
  std::vector<std::string> GetDirectories() const;

  // Replaces the chooser (tests): given the start folder, gives the chosen one, or
  // nothing when cancelled.
  using Chooser = std::function<bool(const std::string& start, std::string* chosen)>;
  void SetChooser(Chooser chooser) { m_Chooser = std::move(chooser); }

 private:
  Chooser m_Chooser;
};
