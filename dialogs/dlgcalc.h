// CDlgCalc: adds, subtracts, multiplies or divides the image by a value, or by another
// open image or an image file chosen in the image picker, with a preview. The other image may be
// shifted by whole or fractional pixels (rows counted upward for a FITS image shown bottom-up).
#pragma once

#include <string>
#include <vector>

#include "dialogs/vumdialog.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class CComboImage;

namespace calc_text {
inline constexpr const char* kOperation[4] = {"加算", "減算", "乗算", "除算"};
inline constexpr const char* kNoImage = "画像が指定されていません。";
inline constexpr const char* kNotANumber = "数値を入力してください。";
inline constexpr const char* kDivideByZero = "０で割ることはできません。";  // 2305
}  // namespace calc_text

class CDlgCalc : public CVumPreviewDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2105;
  static constexpr int IDC_OPERATION = 1200;  // combo: add, subtract, multiply, divide
  static constexpr int IDC_SOURCE = 1201;     // radios "1201_0" value, "1201_1" image
  static constexpr int IDC_VALUE = 1202;
  static constexpr int IDC_IMAGE = 1203;
  static constexpr int IDC_BROWSE = 1205;
  static constexpr int IDC_SHIFT_X = 1206;
  static constexpr int IDC_SHIFT_Y = 1207;
  static constexpr int IDC_CUT_MINUS = 1208;

  enum Source { kValue = 0, kImage = 1 };

  explicit CDlgCalc(QWidget* parent = nullptr);
  ~CDlgCalc() override;

  // 0 add, 1 subtract, 2 multiply, 3 divide (the value operation's codes); the caption
  // names it.
  void SetOperation(int operation);
  int GetOperation() const { return m_nOperation; }
  // The composite method that does the operation with an image.
  static int CompositMethod(int operation);

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  // The image the operation takes, null when none is chosen or the file cannot be read;
  // looked up again only after the choice changed.
  const CRalImage* OtherImage();
  void ChoiceChanged();
  void OnBrowse();
  void EnableControls();

  int m_nOperation = 0;
  int m_nSource = kValue;
  double m_dValue = 0.0;
  double m_dShiftX = 0.0, m_dShiftY = 0.0;
  int m_bCutMinus = 0;
  // The levels of the source's planes at opening, which the other image is composed
  // under.
  std::vector<double> m_LevelMin, m_LevelMax;
  const CRalImage* m_pOther = nullptr;
  bool m_bOtherKnown = false;

  QComboBox* m_pOperation = nullptr;
  QButtonGroup* m_pSource = nullptr;
  QLineEdit* m_pValue = nullptr;
  CComboImage* m_pImage = nullptr;
  QPushButton* m_pBrowse = nullptr;
  QLineEdit* m_pShiftX = nullptr;
  QLineEdit* m_pShiftY = nullptr;
  QCheckBox* m_pCutMinus = nullptr;
};
