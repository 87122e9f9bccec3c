// CDlgEnviroment: the general settings read at start and the file associations of the
// user. CDlgWindow: the list of all windows, when the Window menu has no room for them.
#pragma once

#include <QDialog>
#include <QStringList>
#include <vector>

class QCheckBox;
class QListWidget;
class QPushButton;
class QSpinBox;
class PositionKeeper;

class CDlgEnviroment : public QDialog {
  Q_OBJECT

 public:
  explicit CDlgEnviroment(bool administrator, QWidget* parent = nullptr);
  ~CDlgEnviroment() override;
  int FitsBottomUp() const { return m_bFitsBottomUp; }

  void accept() override;
  void done(int result) override;

 private:
  void UpdateButtons();
  void AllOn();
  void AllOff();

  bool m_bAdmin;
  std::vector<QCheckBox*> m_Families;
  std::vector<bool> m_Initial;
  QPushButton* m_pAllOn;
  QPushButton* m_pAllOff;
  QSpinBox* m_pHeight;
  QCheckBox* m_pMaximized;
  QCheckBox* m_pDlgBkGnd;
  QCheckBox* m_pBottomUp;
  QCheckBox* m_pKeepCards;
  int m_nInitialHeight = 100;
  bool m_bBkGndClicked = false;
  bool m_bBottomUpClicked = false;
  int m_bFitsBottomUp = 1;
  PositionKeeper* m_pPosition;
};

class CDlgWindow : public QDialog {
  Q_OBJECT

 public:
  CDlgWindow(const QStringList& titles, QWidget* parent = nullptr);
  // The index of the window whose title equals the selected text (the last of equal
  // titles), or -1.
  int SelectedIndex() const;

 private:
  QStringList m_Titles;
  QListWidget* m_pList;
};
