// CDlgBatchComposit: stacks a list of images (open windows and files) by adding,
// averaging or taking the median, optionally clipped at 3 σ and aligned on the destination
// first. The result goes into a new window or into the active window's image. The run is
// the batch library's; while it goes, OK reads "中断" and pressing it asks the run to stop
// at its next look at the abort flag.
#pragma once

#include <atomic>
#include <string>

#include "dialogs/vumdialog.h"

class CListTarget;
class QCheckBox;
class QComboBox;
class QPushButton;
class QRadioButton;

namespace batchcomp_text {
inline constexpr const char* kCaption = "ﾊﾞｯﾁ[加算平均と中央値]";
inline constexpr const char* kAbort = "中断";  // 2371
inline constexpr const char* kOk = "OK";       // 2372
inline constexpr const char* kCannotMakeNew = "新規画像を作ることができません: ";
inline constexpr const char* kUnaligned =
    "以下の画像は位置合わせができなかったため、ずらさずに合成しました。\n%s";
}  // namespace batchcomp_text

class CDlgBatchComposit : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2149;
  static constexpr int IDC_LIST = 1233;
  static constexpr int IDC_ADD = 1234;
  static constexpr int IDC_REMOVE = 1235;
  static constexpr int IDC_ALIGN = 1236;
  static constexpr int IDC_ALIGN_GRAVITY = 1238;
  static constexpr int IDC_ALIGN_MATCHING = 1464;
  static constexpr int IDC_MATCHING_SETTINGS = 1465;
  static constexpr int IDC_DEST_NEW = 1240;
  static constexpr int IDC_DEST_ACTIVE = 1241;
  static constexpr int IDC_METHOD = 1242;
  static constexpr int IDC_CLIPPING = 1603;
  static constexpr const char* kSection = "Dialog\\BatchComposit";

  explicit CDlgBatchComposit(QWidget* parent = nullptr);
  ~CDlgBatchComposit() override;

  // The active window's image is changed only when it is the destination.
  int IsImageChanged() const override { return m_nResult == 1; }
  bool IsRunning() const { return m_bRunning; }
  // Opens the dialog modeless (the program stays usable): the opening steps once, then
  // shown. Without Set, the destination "active window" is the window active when the
  // run starts, reached through the document template.
  void ShowModeless();

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  void changeEvent(QEvent* event) override;

 private:
  void UpdateStatus();
  void SetControlsEnabled(bool enabled);
  // Whether an image window is there to take the result.
  bool HasActiveImage() const;
  // The name of a new destination asked from the user; false when cancelled.
  bool AskNewName(std::string* name);
  // The run; 1 when the destination holds the result. newName: the title of a new
  // destination window.
  int Run(const std::string& newName);
  // The stacking into doc's image dest (null: a new window named newName).
  int Stack(CVumDocument* doc, CRalImage* dest, const std::string& newName);

  int m_bClipping = 0;
  int m_bAlign = 0;
  int m_nResult = 0;  // 0 new window, 1 the active window
  int m_nMethod = 0;  // 0 add, 1 average, 2 median
  int m_nAlignMethod = 0;
  bool m_bRunning = false;
  bool m_bBuilt = false;
  std::atomic<bool> m_bAbort{false};

  CListTarget* m_pList;
  QPushButton* m_pAdd;
  QPushButton* m_pRemove;
  QCheckBox* m_pClipping;
  QCheckBox* m_pAlign;
  QRadioButton* m_pGravity;
  QRadioButton* m_pMatching;
  QPushButton* m_pMatchingSettings;
  QRadioButton* m_pNew;
  QRadioButton* m_pActive;
  QComboBox* m_pMethod;
  QPushButton* m_pOk = nullptr;
};
