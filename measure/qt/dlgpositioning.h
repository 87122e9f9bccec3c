// The positioning dialog: the modeless list of the positions measured on an image window,
// the method and its settings, and writing and deleting the rows.
#pragma once

#include <QDialog>
#include <functional>

class CPositioning;
class QDoubleSpinBox;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace positioning_text {
inline constexpr const char* kTitle = "位置測定";
}  // namespace positioning_text

// What the dialog tells its window: marks to redraw, results changed.
struct PositioningDlgHooks {
  std::function<void()> redraw;
  std::function<void()> modified;
  // The user asked to see the marks: the window shows marks it had hidden as well.
  std::function<void()> marksShown;
};

class CDlgPositioning : public QDialog {
  Q_OBJECT
 public:
  CDlgPositioning(CPositioning* positioning, PositioningDlgHooks hooks, QWidget* parent = nullptr);
  ~CDlgPositioning() override;
  // Rebuilds the list from the tool and sets what is enabled.
  void UpdateList();
  QListWidget* List() const { return m_pList; }

 private:
  void Apply();
  void UpdateEnabling();
  void Delete(bool all);
  void WriteText();
  void LoadRegions();
  // Folds the settings part away (style 0) or shows it (style 1).
  void SetFolded(bool folded);

  CPositioning* m_pPos;
  PositioningDlgHooks m_Hooks;
  QListWidget* m_pList;
  QRadioButton *m_pCentroid, *m_pSearch, *m_pAuto, *m_pSemi;
  QSpinBox* m_pRadius;
  QDoubleSpinBox* m_pFactor;
  QWidget* m_pSettings;
  QPushButton *m_pHide, *m_pShow, *m_pDeleteOne, *m_pDeleteAll, *m_pText, *m_pStyle, *m_pClose;
  QPushButton *m_pRegSave, *m_pRegLoad;
  int m_nStyle = 1;
  bool m_bLoading = false;
};
