// CDlgComposit: combines the image with another open image (or a recent file), the other
// one shifted and turned to lie on it, by one of ten methods; previewed while the dialog
// is open. The rate is kept per method: one for the weighted average, one for the
// saturation repair ("NBR"). Control names are the control ids as text.
#pragma once

#include <array>
#include <vector>

#include "dialogs/vumdialog.h"

class CComboImage;
class CDirectionButton;
class CSpinEdit;
class QCheckBox;
class QComboBox;
class QPushButton;

namespace composit_text {
inline constexpr const char* kCaption = "ｺﾝﾎﾟｼﾞｯﾄ";
inline constexpr const char* kAverage = "加算平均";       // 2310
inline constexpr const char* kAdd = "加算";               // 2306
inline constexpr const char* kWeighted = "加重平均";      // 2323
inline constexpr const char* kSubtract = "減算";          // 2307
inline constexpr const char* kMultiply = "乗算";          // 2308
inline constexpr const char* kDivide = "除算";            // 2309
inline constexpr const char* kDifference = "差の絶対値";  // 2330
inline constexpr const char* kLighter = "明るい方";       // 2348
inline constexpr const char* kDarker = "暗い方";          // 2349
inline constexpr const char* kNbr = "NBR";
inline constexpr const char* kImageLabel = "合成する画像(&I)：";
inline constexpr const char* kMethodLabel = "合成方法(&M)：";
inline constexpr const char* kShiftXLabel = "X方向移動量(&X)：";
inline constexpr const char* kShiftYLabel = "Y方向移動量(&Y)：";
inline constexpr const char* kRotationLabel = "回転角(&R)：";
inline constexpr const char* kRateLabel = "比率(&T)：";
inline constexpr const char* kUseLevel = "ﾚﾍﾞﾙ調整した値で合成する(&L)";
inline constexpr const char* kCutMinus = "0未満を0にする(&C)";
inline constexpr const char* kSaturationLabel = "飽和ﾚﾍﾞﾙ(&S)：";
inline constexpr const char* kDarkBandLabel = "境界の幅(&W)：";
inline constexpr const char* kAutoLevel = "自動ﾚﾍﾞﾙ調整(&A)";
inline constexpr const char* kMatching = "画像ﾏｯﾁﾝｸﾞ(&G)...";
inline constexpr const char* kPixelUnit = "ﾋﾟｸｾﾙ";
inline constexpr const char* kDegreeUnit = "度";
inline constexpr const char* kMatchingFailed = "画像ﾏｯﾁﾝｸﾞで移動量を求めることができませんでした。";
inline constexpr const char* kNoOtherImage = "合成する画像を選択してください。";
}  // namespace composit_text

class CDlgComposit : public CVumPreviewDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2111;
  static constexpr int IDC_IMAGE = 1031;
  static constexpr int IDC_METHOD = 1041;
  static constexpr int IDC_SHIFT_X = 1225;
  static constexpr int IDC_SHIFT_Y = 1226;
  static constexpr int IDC_ROTATION = 1042;
  static constexpr int IDC_DIRECTION = 1035;
  static constexpr int IDC_RATE = 1178;
  static constexpr int IDC_USE_LEVEL = 1167;
  static constexpr int IDC_CUT_MINUS = 1179;
  static constexpr int IDC_SATURATION = 1563;
  static constexpr int IDC_DARK_BAND = 1561;
  static constexpr int IDC_AUTO_LEVEL = 1227;
  static constexpr int IDC_MATCHING = 1228;
  static constexpr const char* kSection = "DlgComposit";

  explicit CDlgComposit(QWidget* parent = nullptr);
  ~CDlgComposit() override;

  // What the dialog holds now (for its owner and tests).
  int GetMethod() const { return m_nMethod; }
  double GetShiftX() const { return m_dShiftX; }
  double GetShiftY() const { return m_dShiftY; }
  double GetRotation() const { return m_dRotation; }
  double GetRate() const { return m_dRate; }
  double GetRateWeight() const { return m_dRateWeight; }
  double GetRateNbr() const { return m_dRateNbr; }
  double GetSaturation() const { return m_dSaturation; }
  int GetDarkBand() const { return m_nDarkBand; }
  int GetUseLevel() const { return m_bUseLevel; }
  int GetCutMinus() const { return m_bCutMinus; }

  // The highest rate a method accepts: 500 % for the weighted average and "NBR", else 100 %.
  static double RateLimit(int method);
  // Whether a control is in use with a method.
  static bool UsesLevel(int method) { return method != 4 && method != 5; }
  static bool UsesRate(int method) { return method == 2 || method == 9; }
  // The number of this dialog's steps in a spin box's steps with the modifiers held.
  static int StepCount(int steps, Qt::KeyboardModifiers modifiers);
  // The largest shift either way, in pixels.
  static constexpr double kShiftLimit = 1.0e6;
  // A spin of the field by steps (the step by the keys held), kept within low and high and
  // to the digits shown; the field shows the new value.
  static void SpinValue(CSpinEdit* edit, double* value, int steps, double low, double high);
  // The shift moved by a press of the direction button; false for no direction.
  static bool MoveShift(CSpinEdit* xEdit, CSpinEdit* yEdit, double* x, double* y, int direction,
                        double step);

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  // The shown rate goes into the store of the method it belongs to.
  void KeepRate();
  void OnMethod();
  void OnDirection(int direction, double step);
  // A spin arrow of a value: the step by the modifiers held, the value clamped.
  void OnSpin(CSpinEdit* edit, double* value, int steps, double low, double high);
  void OnAutoLevel();
  void OnMatching();
  void EnableControls();
  void Changed();

  // Fields.
  int m_nMethod = 1;
  double m_dShiftX = 0.0, m_dShiftY = 0.0, m_dRotation = 0.0;
  double m_dRate = 0.0;
  double m_dRateWeight = 0.0, m_dRateNbr = 100.0;
  int m_bUseLevel = 0, m_bCutMinus = 0;
  double m_dSaturation = 95.0;
  int m_nDarkBand = 3;
  // The levels shown for the source when the dialog opened, per plane.
  std::vector<std::array<double, 2>> m_Levels;
  bool m_bMinMaxDone = false;
  bool m_bLoading = false;

  // Controls.
  CComboImage* m_pImage;
  QComboBox* m_pMethod;
  CSpinEdit* m_pShiftX;
  CSpinEdit* m_pShiftY;
  CSpinEdit* m_pRotation;
  CDirectionButton* m_pDirection;
  CSpinEdit* m_pRate;
  QCheckBox* m_pUseLevel;
  QCheckBox* m_pCutMinus;
  CSpinEdit* m_pSaturation;
  CSpinEdit* m_pDarkBand;
  QPushButton* m_pAutoLevel;
  QPushButton* m_pMatching;
};
