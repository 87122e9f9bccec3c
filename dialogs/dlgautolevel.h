// CDlgAutoLevel: the settings of the automatic display levels (how many σ below and
// above the background the black and white points lie, and whether a colour image is
// adjusted plane by plane or by its luminance), with a button that runs the automatic
// levels on the image at once. Control names are the control ids as text.
#pragma once

#include "dialogs/vumdialog.h"

class CSpinEdit;
class QButtonGroup;

namespace autolevel_text {
inline constexpr const char* kCaption = "自動ﾚﾍﾞﾙ調整の設定";
inline constexpr const char* kPerPlane = "RGB各ﾌﾟﾚｰﾝで調整";  // colour mode 0
inline constexpr const char* kLuminance = "輝度で調整";       // colour mode 1
}  // namespace autolevel_text

class CDlgAutoLevel : public CVumPreviewDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2130;
  static constexpr int IDC_MAX = 1163;
  static constexpr int IDC_MIN = 1161;
  static constexpr int IDC_COLOR_MODE = 1392;
  static constexpr int IDC_RUN = 1469;
  // The factors stay within these limits when stepped.
  static constexpr double kLowest = 0.1;
  static constexpr double kHighest = 50.0;

  explicit CDlgAutoLevel(QWidget* parent = nullptr);

  // Set when the dialog was closed with OK (settings stored, nothing run).
  int GetOnOK() const { return m_bOnOK; }
  // Set when the automatic levels were run on the image.
  int GetRun() const { return m_bRun; }
  // OK alone only stores the settings; the image changed only when Run was pressed.
  int IsImageChanged() const override { return m_bRun; }
  double GetMaxValue() const { return m_dMax; }
  double GetMinValue() const { return m_dMin; }
  // 0 each plane by itself, 1 by luminance.
  int GetColorMode() const { return m_nColorMode; }

  // One step of a spin button: 0.1 below 3, else 1, up or down; then kept within
  // kLowest … kHighest.
  static double Step(double value, int up);

 protected:
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  void OnOK() override;

 private:
  void OnRun();
  void OnSpin(CSpinEdit* edit, double* value, int steps);
  // The three values into section "PrcAutoLevel".
  void StoreSettings();

  double m_dMax = 30.0;
  double m_dMin = 6.0;
  int m_nColorMode = 1;
  int m_bRun = 0;
  int m_bOnOK = 0;

  CSpinEdit* m_pMax = nullptr;
  CSpinEdit* m_pMin = nullptr;
  QButtonGroup* m_pColorMode = nullptr;
};
