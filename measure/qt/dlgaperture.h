// The photometry dialogs: the choice of circular or rectangle photometry, and the two
// modeless result dialogs that list the measurements of an image window, change the
// settings of the circular tool and write, copy and delete the results.
#pragma once

#include <QDialog>
#include <functional>

class CAperture;
class CApertureRect;
class QCheckBox;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QWidget;

namespace aperture_text {
inline constexpr const char* kModeTitle = "測光モードの選択";
inline constexpr const char* kModePrompt = "測光モードを選択してください。";
inline constexpr const char* kApertureTitle = "開口測光";
inline constexpr const char* kRectTitle = "矩形測光";
}  // namespace aperture_text

// Asks for the photometry mode: 1 circular apertures, 0 rectangles.
class CDlgApertureMode : public QDialog {
  Q_OBJECT
 public:
  CDlgApertureMode(int mode, QWidget* parent = nullptr);
  int GetMode() const;
  // Shows the dialog; 0 on cancel, else 1 with *mode set.
  static int Ask(QWidget* parent, int* mode);

 private:
  QRadioButton* m_pCircle;
  QRadioButton* m_pRect;
};

// What the result dialogs tell their window: marks to redraw, results changed.
struct ApertureDlgHooks {
  std::function<void()> redraw;
  std::function<void()> modified;
  // The user asked to see every mark: the window shows marks it had hidden as well.
  std::function<void()> marksShown;
};

class CDlgAperture : public QDialog {
  Q_OBJECT
 public:
  CDlgAperture(CAperture* aperture, ApertureDlgHooks hooks, QWidget* parent = nullptr);
  ~CDlgAperture() override;
  // Rebuilds the list from the tool and sets what is enabled.
  void UpdateList();
  QListWidget* List() const { return m_pList; }

 private:
  void ApplyParams();
  void UpdateEnabling();
  void SetFolded(bool folded);
  void Delete(bool all);
  void WriteText();
  void SaveRegions();
  void LoadRegions();

  CAperture* m_pAperture;
  ApertureDlgHooks m_Hooks;
  QListWidget* m_pList;
  QRadioButton* m_pSemi;
  QRadioButton* m_pAuto;
  QCheckBox* m_pSearchG;
  QSpinBox* m_pStarR;
  QSpinBox* m_pSkyIR;
  QSpinBox* m_pSkyDR;
  QSpinBox* m_pSearchR;
  QPushButton *m_pDefault, *m_pHide, *m_pShowAll, *m_pText, *m_pDeleteOne, *m_pDeleteAll;
  QPushButton* m_pStyle;
  QPushButton *m_pRegSave, *m_pRegLoad;
  QWidget* m_pSettings;
  bool m_bFolded = false;
  bool m_bLoading = false;
};

class CDlgApertureRect : public QDialog {
  Q_OBJECT
 public:
  CDlgApertureRect(CApertureRect* rect, ApertureDlgHooks hooks, QWidget* parent = nullptr);
  ~CDlgApertureRect() override;
  void UpdateList();
  QListWidget* List() const { return m_pList; }
  // Puts the rows on the clipboard as tab-separated text; nothing without rows.
  void Copy();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Delete(bool all);
  void UpdateEnabling();

  CApertureRect* m_pRect;
  QPushButton* m_pRegSave;
  ApertureDlgHooks m_Hooks;
  QListWidget* m_pList;
  QPushButton *m_pHide, *m_pShowAll, *m_pText, *m_pCopy, *m_pDeleteOne, *m_pDeleteAll, *m_pStyle;
  bool m_bFolded = false;
};
