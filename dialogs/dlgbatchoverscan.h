// CDlgBatchOverScan: the bias level measured in an overscan rectangle is subtracted from
// every image of a list (files and open windows); the results are shown, saved over their
// files or saved into another folder. The dialog is modeless; while the run goes on its OK
// button reads "中断" and only asks the run to stop after the image at hand.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "dialogs/vumdialog.h"

class CListTarget;
class CComboDirectory;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace batchoverscan_text {
inline constexpr const char* kCaption = "ﾊﾞｯﾁ[ﾊﾞｲｱｽのｵｰﾊﾞｰｽｷｬﾝ領域減算]";
inline constexpr const char* kAbort = "中断";
inline constexpr const char* kFirst = "最初に";
inline constexpr const char* kLast = "最後に";
inline constexpr const char* kCloseOpened = "開いたファイルを閉じますか？";
inline constexpr const char* kNotANumber = "整数を入力してください。";
}  // namespace batchoverscan_text

class CDlgBatchOverScan : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 4069;
  static constexpr int IDC_CLIPPING = 1605;
  static constexpr int IDC_X1 = 2036;
  static constexpr int IDC_Y1 = 2037;
  static constexpr int IDC_X2 = 2038;
  static constexpr int IDC_Y2 = 2039;
  static constexpr int IDC_OPEN = 1244;
  static constexpr int IDC_OVERWRITE = 1245;
  static constexpr int IDC_OTHER_FOLDER = 1246;
  static constexpr int IDC_BROWSE = 1248;
  static constexpr int IDC_DIRECTORY = 1249;
  static constexpr int IDC_LIST = 1250;
  static constexpr int IDC_REMOVE = 1251;
  static constexpr int IDC_ADD = 1252;
  static constexpr int IDC_ADD_CHARACTERS = 1616;
  static constexpr int IDC_POSITION = 1619;
  static constexpr int IDC_CHARACTERS = 1620;
  static constexpr int IDC_CHARACTERS_LABEL = 1621;
  static constexpr const char* kSection = "Dialog\\BatchOverScan";

  // reference: the active image (null without one); its height is the bottom-up
  // reference of every target when it is a FITS image shown bottom-up.
  CDlgBatchOverScan(QWidget* parent, const CRalImage* reference);
  ~CDlgBatchOverScan() override;

  // Builds the dialog (the opening steps of DoModal) and shows it without blocking.
  void ShowModeless();
  bool IsRunning() const { return m_bRunning != 0; }
  CListTarget* GetList() const { return m_pList; }
  CComboDirectory* GetDirectory() const { return m_pDirectory; }

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  void UpdateStatus();
  void SetControlsEnabled(bool enabled);

  int m_bClipping = 0;
  int m_nX1 = 0, m_nX2 = 0, m_nY1 = 0, m_nY2 = 0;
  int m_nResult = -1;
  int m_bAddCharacters = 0;
  std::string m_strCharacters;
  int m_nPosition = 0;
  int m_bRunning = 0;
  std::atomic<bool> m_bAbort{false};
  int m_bBottomUp = 0;
  int m_nReferenceHeight = 0;
  std::vector<CVumDocument*> m_Opened;  // documents this run opened
  bool m_bBuilt = false;

  QCheckBox* m_pClipping = nullptr;
  QLineEdit* m_pEdit[4] = {};  // x1, x2, y1, y2
  QButtonGroup* m_pResult = nullptr;
  QCheckBox* m_pAddCharacters = nullptr;
  QComboBox* m_pPosition = nullptr;
  QLineEdit* m_pCharacters = nullptr;
  QLabel* m_pCharactersLabel = nullptr;
  CListTarget* m_pList = nullptr;
  CComboDirectory* m_pDirectory = nullptr;
  QPushButton* m_pBrowse = nullptr;
  QPushButton* m_pAdd = nullptr;
  QPushButton* m_pRemove = nullptr;
  QPushButton* m_pOK = nullptr;
};
