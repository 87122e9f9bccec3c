// CBarImage: the image tool bar of the main frame. It acts on the image of the active
// view: zoom buttons, the colour-mode list, the logarithmic display box, the display
// levels as two edit boxes and as the two thumbs of one slider, automatic levels and the
// button that hides the measurement marks. The levels are those of the view's display
// buffer; colour modes and rebuilds go through its image window. Without an image window
// the bar is disabled.
#pragma once

#include <QPointer>
#include <QString>
#include <QToolBar>
#include <string>
#include <vector>

class CDualSlider;
class CKivImageView;
class CRalImgWnd;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

class CBarImage : public QToolBar {
  Q_OBJECT

 public:
  // Control ids, also the controls' object names.
  static constexpr int IDC_COLOR_MODE = 4510, IDC_LEVEL_MIN = 4511, IDC_SLIDER = 4504,
                       IDC_LEVEL_MAX = 4513;
  static constexpr int kSliderMax = 300;
  // Thumb positions without an image, and the gap left when one thumb is dragged past
  // the other.
  static constexpr int kIdleLower = 40, kIdleUpper = 260, kCrossGap = 30;
  static constexpr int kEditChars = 8;
  static constexpr const char* kAutoLevelText = "自動調整";        // 4206
  static constexpr const char* kHideMarksText = "ﾏｰｸの非表示...";  // 5037
  static constexpr const char* kLogText = "対数";

  explicit CBarImage(QWidget* parent = nullptr);

  // The main menu's commands that the bar offers too: zoom in and out, logarithmic
  // display, automatic levels and hiding the marks. The buttons follow their enabled
  // state and trigger them.
  void SetCommands(QAction* zoomIn, QAction* zoomOut, QAction* logScale, QAction* autoLevel,
                   QAction* hideMarks);

  // Binds the bar to view (null: none): the colour list is filled for its image, the
  // slider's span is taken around the current levels, and every control shows the window.
  void Bind(CKivImageView* view);
  CKivImageView* GetView() const { return m_pView; }
  // After a command: binds again when the view or its image (a command's working copy)
  // changed, else refreshes.
  void Follow(CKivImageView* view);
  // Shows the bound window's colour mode, logarithmic display and levels again; the
  // slider keeps its span unless a level has left it.
  void Refresh();

  // ---- the rules, each on its own
  // "%f", then, below 10000000, cut to 8 characters without trailing zeros of the
  // fraction or a trailing point; but e-notation within 8 characters ("1.23e-18",
  // "1e20") where that reads back closer to the level than the box's eight characters
  // of the fixed text.
  static std::string LevelText(double level);
  // The thumb of a level on the slider spanning [low, high]: 0 … 300, with positions
  // below 1 taken to 0 and above 299 to 300.
  static int SliderPos(double level, double low, double high);
  // Where a dragged thumb stays: past the other thumb it keeps the gap behind it; it never
  // leaves the slider or passes the other thumb.
  static int LowerThumb(int wanted, int upper);
  static int UpperThumb(int wanted, int lower);
  // Whether a typed level is taken: the minimum stays a tenth of the slider's span below
  // the maximum, the maximum as much above the minimum.
  static bool AcceptMinimum(double value, double max, double span);
  static bool AcceptMaximum(double value, double min, double span);
  // A text that is still being typed (empty, or ending in "-", "+", "." or "e", or a
  // fraction without exponent whose last digit is a 0) is not taken yet.
  static bool IsPartialLevel(const QString& text);

  struct ColorEntry {
    const char* text;
    int mode, type;
  };
  // The colour list of an image: colour images; one-plane images with the spectral false
  // colour; other one-plane images.
  static std::vector<ColorEntry> ColorEntries(bool colour, bool spectrum);

 signals:
  // The bar changed the colour mode or the levels of the bound window.
  void colorModeChanged();
  void levelsChanged();

 private:
  CRalImgWnd* Window() const;
  void FillColorList();
  // The thumbs and the edit boxes from the window's levels; with retakeSpan, levels off
  // the slider give it a new span first.
  void ShowLevels(bool retakeSpan);
  void OnColorChosen(int index);
  void OnThumbMoved(bool lowerThumb, int pos);
  void OnLevelTyped(bool minimum);
  void OnLevelFinished(bool minimum);

  QAbstractButton* m_pZoomIn = nullptr;
  QAbstractButton* m_pZoomOut = nullptr;
  QComboBox* m_pColor;
  QCheckBox* m_pLog;
  CDualSlider* m_pSlider;
  QLineEdit* m_pMin;
  QLineEdit* m_pMax;
  QPushButton* m_pAutoLevel;
  QPushButton* m_pHideMarks;
  QAction* m_pLogAction = nullptr;
  QPointer<CKivImageView> m_pView;
  const void* m_pBoundImage = nullptr;  // only compared, never used
  std::vector<ColorEntry> m_Entries;
  int m_nLower = kIdleLower;
  int m_nUpper = kIdleUpper;
  QString m_sLastMin, m_sLastMax;
  bool m_bInMin = false, m_bInMax = false;
};
