// CDlgLevel: the display levels of an image (the physical values shown as black and as
// white) chosen over a histogram with a two-thumb slider or typed as numbers, for the
// luminance of a colour image or for one of its planes; previewed while the dialog is
// open. Levels change no pixel, so no undo copy is prepared. Control names are the
// control ids as text.
#pragma once

#include <QElapsedTimer>
#include <array>
#include <vector>

#include "dialogs/vumdialog.h"

class CDualSlider;
class CHistogramView;
class CSpinEdit;
class QButtonGroup;
class QLabel;
class QLineEdit;

namespace level_text {
inline constexpr const char* kCaption = "ﾚﾍﾞﾙ調整";
inline constexpr const char* kHistogramBusy = "ヒストグラム計算中";  // 2301
inline constexpr const char* kMaximumLabel = "最大値(&X)：";         // 2354
inline constexpr const char* kRangeLabel = "ﾚﾝｼﾞ(&X)：";             // 2355
}  // namespace level_text

// One eyedropper sample as the level dialog marks it: its number and its value in each
// channel (0 luminance or grey, 1 to 3 red, green, blue).
struct CLevelSample {
  int number = 0;
  std::array<double, 4> value{};
};

class CDlgLevel : public CVumPreviewDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2114;
  static constexpr int IDC_CHANNEL = 1052;
  static constexpr int IDC_HISTOGRAM = 1033;
  static constexpr int IDC_LOW_LABEL = 1155;
  static constexpr int IDC_HIGH_LABEL = 1154;
  static constexpr int IDC_MIN = 1001;
  static constexpr int IDC_MAX = 1003;
  static constexpr int IDC_USE_RANGE = 1447;
  static constexpr int IDC_SLIDER = 1005;
  static constexpr int IDC_ENLARGE = 1012;
  static constexpr int IDC_SHRINK = 1015;
  static constexpr int IDC_AUTO = 1150;
  static constexpr int kMaxSamples = 5;
  // The table: per channel c (0 combined, 1 to 3 red, green, blue).
  static constexpr int kCurMin = 0, kCurMax = 4, kHistLow = 8, kHistHigh = 12, kOpenMin = 16,
                       kOpenMax = 20;

  explicit CDlgLevel(QWidget* parent = nullptr);
  ~CDlgLevel() override;

  // Up to five eyedropper samples marked on the histogram; set before DoModal.
  void SetSpuitSamples(std::vector<CLevelSample> samples);

  // What the dialog holds now (for its owner and tests).
  int GetChannel() const { return m_nChannel; }
  double GetCurMin() const { return m_dMin; }
  double GetCurMax() const { return CurMax(); }
  double GetTable(int index) const { return m_dTable[index]; }
  double GetHistLow() const { return m_dLow; }
  double GetHistHigh() const { return m_dHigh; }
  double GetGap() const { return m_dGap; }
  int GetSliderWidth() const { return m_nSliderWidth; }
  int GetUseRange() const { return m_bUseRange; }
  int GetPlanesInUse() const { return m_nPlanes; }
  // Slider position of a value and value of a position over the current histogram.
  int ValueToPos(double value) const;
  double PosToValue(int pos) const;
  // What one click of a spin button adds or takes: 1, the unit of counts, while the gap
  // lies between 1 and 1e6; otherwise the power of ten at or below the gap, so that a
  // click moves a level of 1e-18 or of 1e+20 by a visible amount.
  double SpinStep() const;

 protected:
  void OnInitDialog() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  double CurMax() const { return m_bUseRange ? m_dMin + m_dMax : m_dMax; }
  // The levels of the image into the current-level entries (entry 0 the luminance of a
  // colour image's planes).
  void LoadTableFromImage();
  // Minimum and maximum into the entries of the current channel, and back.
  void StoreChannel();
  void LoadChannel();
  // A colour image's combined change moved onto the three planes' entries.
  void SpreadCombined();
  // New minimum and maximum: the table, the histogram range, the thumbs, the gap, the
  // fields and the preview follow.
  void Apply(double min, double max);
  // The histogram range takes in the levels; the histogram is counted again when the
  // range changed or force is set.
  void GrowRange(bool force);
  // End labels, markers, and the counts (queued at the opening, so that the dialog shows
  // the busy text meanwhile).
  void ComputeHistogram();
  void CountHistogram();
  void UpdateGap();
  void ShowSlider();
  void UpdateButtons();

  void OnChannel(int channel);
  void OnUseRange(bool on);
  void OnFirstMoved(int pos);
  void OnSecondMoved(int pos);
  void OnMinEdited();
  void OnMaxEdited();
  void OnMinSpin(int steps);
  void OnMaxSpin(int steps);
  void OnEnlarge();
  void OnShrink();
  void OnAuto();

  // Fields.
  int m_nChannel = 0;
  double m_dMin = 0.0;
  double m_dMax = 1.0;  // the second field: the maximum, or the range with m_bUseRange
  int m_bUseRange = 0;
  std::vector<CLevelSample> m_Samples;  // empty without eyedropper samples
  double m_dLow = 0.0;
  double m_dHigh = 1.0;
  int m_nSliderWidth = 1;
  double m_dGap = 0.0;
  std::array<double, 24> m_dTable{};
  int m_nPlanes = 1;  // 1 grey, 3 colour

  // The last histogram: what it was counted for, and how long it took.
  bool m_bHistogramDone = false;
  bool m_bHistogramPending = false;
  qint64 m_nLastHistogramMs = 0;

  QButtonGroup* m_pChannel = nullptr;
  CHistogramView* m_pHistogram = nullptr;
  QLineEdit* m_pLowLabel = nullptr;
  QLineEdit* m_pHighLabel = nullptr;
  CSpinEdit* m_pMin = nullptr;
  CSpinEdit* m_pMax = nullptr;
  QLabel* m_pMaxLabel = nullptr;
  QCheckBox* m_pUseRange = nullptr;
  CDualSlider* m_pSlider = nullptr;
  QPushButton* m_pEnlarge = nullptr;
  QPushButton* m_pShrink = nullptr;
  QPushButton* m_pAuto = nullptr;
};
