// CDlgBlinkCompareter: shows the image and another one, moved and turned onto it, in turn
// in the image's window, so that what differs between them stands out. While the dialog
// is idle the average of the two is previewed at the shift and rotation; the start button
// makes the two frames and alternates them every "Wait" milliseconds until pressed again.
// The window paints the frames: the dialog only hands it the two images and says which
// one to show.
#pragma once

#include <QTimer>
#include <memory>

#include "dialogs/vumdialog.h"

class CComboImage;
class CDirectionButton;
class CSpinEdit;
class QPushButton;

namespace blinkcmp_text {
inline constexpr const char* kCaption = "ﾌﾞﾘﾝｸｺﾝﾊﾟﾚｰﾀ";
inline constexpr const char* kImageLabel = "比較する画像(&I)：";
inline constexpr const char* kStart = "開始(&S)";
inline constexpr const char* kStop = "停止(&E)";
inline constexpr const char* kPreparing = "ブリンクコンパレータ準備中...";  // 2343
}  // namespace blinkcmp_text

class CDlgBlinkCompareter : public CVumPreviewDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2147;
  static constexpr int IDC_IMAGE = 1031;
  static constexpr int IDC_SHIFT_X = 1225;
  static constexpr int IDC_SHIFT_Y = 1226;
  static constexpr int IDC_ROTATION = 1042;
  static constexpr int IDC_DIRECTION = 1035;
  static constexpr int IDC_START = 1036;
  static constexpr const char* kSection = "DlgBlinkCompareter";

  explicit CDlgBlinkCompareter(QWidget* parent = nullptr);
  ~CDlgBlinkCompareter() override;

  bool IsRunning() const { return m_Timer.isActive(); }
  int GetWait() const { return m_nWait; }
  double GetShiftX() const { return m_dShiftX; }
  double GetShiftY() const { return m_dShiftY; }
  double GetRotation() const { return m_dRotation; }

 signals:
  // The two frames are made (first: the image, second: the other image aligned); the
  // window prepares them and shows the first. Both live until endBlink.
  void startBlink(CRalImage* first, CRalImage* second);
  // Frame 0 (the image) or 1 (the other image aligned) is to be shown.
  void showFrame(int frame);
  // The window shows its own image again.
  void endBlink();

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  // The source and the image chosen to compare with it (the source for its own window).
  CRalImage* Source() const;
  const CRalImage* Other() const;
  void OnStart();
  void Start();
  void Stop();
  void OnTick();
  void OnDirection(int direction, double step);
  void OnSpin(CSpinEdit* edit, double* value, int steps, double low, double high);
  void Changed();

  int m_nWait = 500;
  double m_dShiftX = 0.0, m_dShiftY = 0.0, m_dRotation = 0.0;
  bool m_bLoading = false;
  // The preview flag before the start; put back at the stop.
  int m_bPreviewBefore = 1;
  int m_nFrame = 0;
  QTimer m_Timer;
  std::unique_ptr<CRalImage> m_pSecond;

  CComboImage* m_pImage;
  CSpinEdit* m_pShiftX;
  CSpinEdit* m_pShiftY;
  CSpinEdit* m_pRotation;
  CDirectionButton* m_pDirection;
  QPushButton* m_pStart;
};
