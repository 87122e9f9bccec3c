// CDlgPlateSolve: plate solving of the active image. The hint (a centre and a radius to
// search round), the scale bounds, the time allowed and the folder of index files are
// set here; 実行 detects the stars and runs the solver on this thread, the dialog kept
// alive while it works (progress, 中断, closing stops it). A solution closes the dialog
// with Accepted; the caller puts it into the image. Nothing here changes the image.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "solve/platesolve.h"

class CRalImage;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace platesolve_text {
inline constexpr const char* kTitle = "ﾌﾟﾚｰﾄｿﾙﾌﾞ";
inline constexpr const char* kColour = "ﾌﾟﾚｰﾄｿﾙﾌﾞは1ﾌﾟﾚｰﾝの画像にだけ使えます。";
inline constexpr const char* kDetecting = "星を検出しています...";
inline constexpr const char* kSolving = "%1 個の星の位置で解いています...";
inline constexpr const char* kStopped = "中断しました。画像は変わっていません。";
inline constexpr const char* kNotSolved = "解けませんでした: %1。画像は変わっていません。";
inline constexpr const char* kBadRa = "赤経は度 (0〜360) か 時:分:秒 で入力してください。";
inline constexpr const char* kBadDec = "赤緯は度 (-90〜90) か 度:分:秒 で入力してください。";
// After a solve, in the status bar: the centre as the information bar writes it.
inline constexpr const char* kSolved = "解: 中心 %1  ｽｹｰﾙ %2\"/ﾋﾟｸｾﾙ  回転 %3°";
}  // namespace platesolve_text

class CDlgPlateSolve : public QDialog {
  Q_OBJECT

 public:
  // image: the one-plane image to solve, read (the stars detected) but not changed.
  explicit CDlgPlateSolve(CRalImage* image, QWidget* parent = nullptr);
  ~CDlgPlateSolve() override;

  // Detects the stars and solves; returns when the run has ended. On a solution the
  // settings are kept and the dialog is accepted.
  void Run();
  bool IsRunning() const { return m_bRunning; }
  // Asks a run under way to stop (as 中断 does).
  void Stop() { m_bStop = true; }
  // The last run's PSOLVE_ code (-1 before any) and its solution.
  int LastResult() const { return m_nResult; }
  const PlateSolution& Solution() const { return m_Solution; }
  // Told each progress step while the solver runs (tests press 中断 from here).
  std::function<void(int percent)> onProgress;

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Escape closes as the close button does: during a run it stops the run.
  void reject() override;

 private:
  void BuildUi();
  void UpdateEnabling();
  bool ReadOptions(PlateSolveOptions* options);
  void SaveSettings() const;

  CRalImage* m_pImage;
  bool m_bRunning = false;
  bool m_bStop = false;
  bool m_bCloseAfterRun = false;
  int m_nResult = -1;
  PlateSolution m_Solution;

  QGroupBox *m_pHint, *m_pScale;
  QLineEdit *m_pRa, *m_pDec, *m_pIndex;
  QDoubleSpinBox *m_pRadius, *m_pScaleLow, *m_pScaleHigh;
  QSpinBox* m_pTimeout;
  QPushButton *m_pBrowse, *m_pRun, *m_pStop, *m_pClose;
  QProgressBar* m_pProgress;
  QLabel* m_pStatus;
};
