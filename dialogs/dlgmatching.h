// CDlgMatching: the settings of image matching (the largest shift accepted and the
// confidence a match needs), kept in "Dialog\Matching" for the dialogs that lay one image
// on another. It changes no image.
#pragma once

#include "dialogs/vumdialog.h"
#include "engine/imgmatching.h"

class QLineEdit;

namespace matching_text {
inline constexpr const char* kCaption = "画像ﾏｯﾁﾝｸﾞの設定";
inline constexpr const char* kMaxShiftLabel = "最大移動量(&M)：";
inline constexpr const char* kMaxShiftUnit = "ﾋﾟｸｾﾙ (0:制限なし)";
inline constexpr const char* kMinScoreLabel = "一致の信頼度(&C)：";
inline constexpr const char* kMinScoreUnit = "σ (0:標準)";
inline constexpr const char* kBadValue = "0以上の値を指定してください。";
}  // namespace matching_text

class CDlgMatching : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2166;
  static constexpr int IDC_MAX_SHIFT = 1601;
  static constexpr int IDC_MIN_SCORE = 1602;
  static constexpr const char* kSection = "Dialog\\Matching";

  explicit CDlgMatching(QWidget* parent = nullptr);

  int IsImageChanged() const override { return 0; }
  // The stored settings as the engine takes them.
  static MatchingParams LoadParams();
  const MatchingParams& GetParams() const { return m_Params; }

 protected:
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;
  void OnOK() override;

 private:
  MatchingParams m_Params;
  int m_bAccepted = 0;
  QLineEdit* m_pMaxShift;
  QLineEdit* m_pMinScore;
};
