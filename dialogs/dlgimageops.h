// The single-image dialogs that each drive one engine operation on the image of the
// current window without choosing another image: rotation, resampling to another size,
// scrolling, the contour map and overscan subtraction. Each reads its fields from its
// settings section when it opens, checks them at OK and calls the engine with the target
// (written) and the undo image (the source, read). Control names are their ids as text.
#pragma once

#include "dialogs/vumdialog.h"
#include "engine/pixelmove.h"

class QButtonGroup;
class QCheckBox;
class QLineEdit;

namespace imageops_text {
inline constexpr const char* kRotateCaption = "回転";
inline constexpr const char* kResolutionCaption = "画像解像度";
inline constexpr const char* kScrollCaption = "平行移動";
inline constexpr const char* kContourCaption = "ｺﾝﾄｱ";
inline constexpr const char* kOverscanCaption = "ﾊﾞｲｱｽのｵｰﾊﾞｰｽｷｬﾝ領域減算";
inline constexpr const char* kSizeAboveZero = "幅と高さには１以上の値を指定してください。";  // 2322
inline constexpr const char* kAboveZero = "０より大きい値を指定してください。";              // 2376
inline constexpr const char* kNotANumber = "数値を入力してください。";
inline constexpr const char* kRegionOutside = "指定した領域が画像の外にあります。";
}  // namespace imageops_text

// Rotation by an angle in degrees, counterclockwise or clockwise. ±90° are quarter turns
// and 180° a half turn, which move the stored values exactly; any other angle resamples,
// keeping the size or growing to hold the whole turned image ("SizeFixed").
class CDlgRotate : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2126;
  static constexpr int IDC_ANGLE = 1100;
  static constexpr int IDC_CLOCK = 1101;  // radios "1101_0" counterclockwise, "1101_1" clockwise
  static constexpr int IDC_SIZE_FIXED = 1102;

  // How an angle is carried out.
  enum Path { kQuarterLeft, kQuarterRight, kHalf, kGeneral, kNone };

  explicit CDlgRotate(QWidget* parent = nullptr);

  // The path for a counterclockwise angle: ±90 (and ∓270) quarter turns, ±180 the half
  // turn, a multiple of 360 nothing, anything else the general rotation.
  static Path PathFor(double angle);
  // The counterclockwise angle the fields ask for.
  double GetAngle() const { return m_nClock ? -m_dAngle : m_dAngle; }
  Path GetLastPath() const { return m_LastPath; }
  // The move the last run made of an image width × height.
  CPixelMove GetPixelMove(int width, int height) const;

 protected:
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  double m_dAngle = 90.0;
  int m_nClock = 0;
  int m_bSizeFixed = 0;
  Path m_LastPath = kNone;
  QLineEdit* m_pAngle = nullptr;
  QButtonGroup* m_pClock = nullptr;
  QCheckBox* m_pSizeFixed = nullptr;
};

// Resampling to a new width and height in pixels; the fields open with the image's own
// size, and "Keep the ratio" makes one follow the other.
class CDlgResolution : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2117;
  static constexpr int IDC_WIDTH = 1110;
  static constexpr int IDC_HEIGHT = 1111;
  static constexpr int IDC_KEEP_RATIO = 1112;

  explicit CDlgResolution(QWidget* parent = nullptr);

  // The move a run makes of an image width × height.
  CPixelMove GetPixelMove(int width, int height) const {
    return CPixelMove::Resample(width, height, m_nWidth, m_nHeight);
  }

 protected:
  void OnInitDialog() override;
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  void Follow(bool widthChanged);

  int m_nWidth = 0;
  int m_nHeight = 0;
  int m_bKeepRatio = 0;
  bool m_bFollowing = false;
  QLineEdit* m_pWidth = nullptr;
  QLineEdit* m_pHeight = nullptr;
  QCheckBox* m_pKeepRatio = nullptr;
};

// A cyclic shift by whole pixels, to the right or upward on the screen (a negative
// amount the other way); what leaves one edge comes in at the other.
class CDlgScroll : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2159;
  static constexpr int IDC_DIRECTION = 1120;  // radios "1120_0" horizontal, "1120_1" vertical
  static constexpr int IDC_AMOUNT = 1121;

  explicit CDlgScroll(QWidget* parent = nullptr);

  // The engine's shift (columns, stored rows) for a direction (0 right, 1 up) and amount.
  static void Shift(int direction, int amount, int* dx, int* dy);
  // The move a run makes of an image width × height.
  CPixelMove GetPixelMove(int width, int height) const;

 protected:
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  int m_nDirection = 0;
  int m_nAmount = 1;
  QButtonGroup* m_pDirection = nullptr;
  QLineEdit* m_pAmount = nullptr;
};

// The contour map: bands (terraces at each level) or lines, levels a step apart. It
// works on an image of its own (a new window); the source is the image it was made from.
class CDlgContour : public CVumPreviewDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2106;
  static constexpr int IDC_STEP = 1130;
  static constexpr int IDC_MODE = 1131;  // radios "1131_0" bands, "1131_1" lines

  explicit CDlgContour(QWidget* parent = nullptr);

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  double m_dStep = 1.0;  // a tenth of the source's range until one is stored
  int m_nMode = 1;
  QLineEdit* m_pStep = nullptr;
  QButtonGroup* m_pMode = nullptr;
};

// Overscan subtraction: the bias level of a region, given in the pixel numbers the
// information bar shows (from 1; rows of a FITS image shown bottom-up count upward), is
// subtracted from every pixel, with or without 3-σ clipping.
class CDlgOverscan : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 4068;
  static constexpr int IDC_X1 = 1140;
  static constexpr int IDC_X2 = 1141;
  static constexpr int IDC_Y1 = 1142;
  static constexpr int IDC_Y2 = 1143;
  static constexpr int IDC_CLIPPING = 1144;

  explicit CDlgOverscan(QWidget* parent = nullptr);

  // The stored rows of shown rows y1, y2 (from 1).
  static void Rows(int y1, int y2, int height, bool rowsUpward, int* r1, int* r2);

 protected:
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  int m_nX1 = 1, m_nX2 = 1, m_nY1 = 1, m_nY2 = 1;
  int m_bClipping = 1;
  QLineEdit* m_pEdit[4] = {};
  QCheckBox* m_pClipping = nullptr;
};

