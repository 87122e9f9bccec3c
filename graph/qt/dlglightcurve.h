// CDlgLightCurve: the light-curve dialog. The target and the comparison stars are the
// photometry marks of the active image window (the first mark the target, the others the
// comparisons), taken when the dialog opens and again on request; the frames are the FITS
// files of a folder or the images of the open windows. A run measures frame by frame on
// this thread (the pixel pager serves one thread), keeping the dialog alive between frames
// and stopping after the frame under way when 中断 is pressed. The curve is drawn in the
// graph control as magnitudes against time with their error bars; the frames left out are
// listed with their reasons.
//
// The dialog sits beside the graph control rather than with the photometry dialogs: it
// draws with the control, and the photometry dialogs' folder lies below the graph's.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "measure/lightcurve.h"

class CCtrlGraph2D;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPrinter;
class QProgressBar;
class QPushButton;
class QScrollBar;
class QSpinBox;

namespace lightcurve_text {
inline constexpr const char* kTitle = "ﾗｲﾄｶｰﾌﾞ";
inline constexpr const char* kNoStars =
    "目的星と比較星を画像ｳｨﾝﾄﾞｳの開口測光で指定してください（1番目が目的星、2番目以降が比較星）。";
inline constexpr const char* kNoFrames = "ﾌﾚｰﾑがありません。";
inline constexpr const char* kStopped = "中断しました。";
inline constexpr const char* kNoneKept = "測定できたﾌﾚｰﾑがありません。";
inline constexpr const char* kYTitle = "Δmag (目的星 − 比較星)";
inline constexpr const char* kMjdTitle = "MJD (UTC, 露出中央)";
inline constexpr const char* kJdTitle = "JD (UTC, 露出中央)";
}  // namespace lightcurve_text

// A star as the dialog takes it: 0-based pixels of the marked image, and the position as
// the photometry list shows it (1-based, y from the bottom where rows count bottom-up).
struct LightCurveMark {
  double x = 0.0, y = 0.0;
  double shownX = 0.0, shownY = 0.0;
};

class CDlgLightCurve : public QDialog {
  Q_OBJECT

 public:
  explicit CDlgLightCurve(QWidget* parent = nullptr);
  ~CDlgLightCurve() override;

  // The stars of the active image window, target first.
  std::function<std::vector<LightCurveMark>()> onTakeMarks;
  // After each frame is measured, before the dialog handles what waits (tests use it to
  // press 中断 in the middle of a run).
  std::function<void(int done, int total)> onFrameDone;
  // Prints to a printer set up by the print dialog; tests replace the dialog's answer.
  std::function<bool(QPrinter&)> onChoosePrinter;

  // Takes the marks again (onTakeMarks) and lists them.
  void TakeMarks();
  // The frames: the FITS files of a folder (by name), or the open windows' images.
  void SetFolder(const QString& folder);
  void UseOpenWindows();
  QStringList Frames() const { return m_Names; }
  // Measures the frames; returns when the run has ended or was stopped.
  void Run();
  bool IsRunning() const { return m_bRunning; }
  // Asks a run under way to stop after the frame in hand (as 中断 does).
  void Stop() { m_bStop = true; }
  const LightCurveResult& Result() const { return m_Result; }
  CCtrlGraph2D* Graph() const { return m_pGraph; }
  // The points as text or CSV (a name ending ".csv"); false when there are none or the
  // file cannot be written.
  bool WriteText(const QString& path) const;
  // The time axis: horizontal magnification stepped round the middle of what is shown,
  // or the whole curve across the graph.
  void ZoomIn();
  void ZoomOut();
  void ZoomFit();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Escape closes as the close button does (not while a run is under way).
  void reject() override { close(); }

 private:
  void BuildUi();
  void UpdateEnabling();
  void ShowResult();
  void PlotPoints();
  void UpdateScroll();
  void OnPrint();
  void OnText();
  LightCurveParams Params() const;

  std::vector<LightCurveMark> m_Stars;
  QStringList m_Names;       // files, or the titles of the open windows
  bool m_bWindows = false;   // the frames are the open windows' images
  bool m_bRunning = false;
  bool m_bStop = false;
  LightCurveResult m_Result;

  QListWidget* m_pStars;
  QLineEdit* m_pFolder;
  QListWidget* m_pFiles;
  QSpinBox *m_pStarR, *m_pSkyIR, *m_pSkyDR, *m_pSearch;
  QComboBox* m_pTime;
  QPushButton *m_pMarks, *m_pBrowse, *m_pWindows, *m_pRun, *m_pStop, *m_pPrint, *m_pText;
  QPushButton *m_pZoomIn, *m_pZoomOut, *m_pZoomFit, *m_pClose;
  QProgressBar* m_pProgress;
  QLabel* m_pStatus;
  CCtrlGraph2D* m_pGraph;
  QScrollBar* m_pScroll;
  QListWidget* m_pLeftOut;
};
