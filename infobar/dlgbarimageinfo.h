// CDlgBarImageInfo: the one-line bar at the top of the main window that shows, for the
// pixel under the mouse in an image window, its position (1-based, counted from the
// bottom for FITS images when the settings ask for it), its value, the average of the
// image and, when the image has world coordinates or a spectral axis, the physical
// position. The main frame calls SetData as the mouse moves over a view and ClearData
// when it leaves.
#pragma once

#include <QToolBar>
#include <string>

#include "dialogs/vumdialog.h"
#include "platform/wintypes.h"
#include "wcs/wcs.h"

class CRalImage;
class CRalImgWnd;
class QLabel;
class QMainWindow;

namespace bar_text {
inline constexpr const char* kTitle = "画像情報";
inline constexpr const char* kX = "X：";
inline constexpr const char* kY = "Y：";
inline constexpr const char* kValue = "ｶｳﾝﾄ値：";
inline constexpr const char* kAverage = "平均値：";
}  // namespace bar_text

class CDlgBarImageInfo : public QToolBar {
  Q_OBJECT

 public:
  explicit CDlgBarImageInfo(QWidget* parent = nullptr);

  // Docks the bar on its own line at the top of frame. 1 on success.
  int Create(QMainWindow* frame);
  // The texts for the view point (client coordinates of the window's view) of window;
  // a point off the image clears them.
  void SetData(CRalImgWnd* window, POINT point);
  // Empties all five texts.
  void ClearData();

  const std::string& XText() const { return m_strX; }
  const std::string& YText() const { return m_strY; }
  const std::string& ValueText() const { return m_strValue; }
  const std::string& AverageText() const { return m_strAverage; }
  const std::string& PhysicalText() const { return m_strPhysical; }

 protected:
  // A spectral axis without world coordinates: "name： %.2f [unit]" of the axis value at
  // the 0-based pixel point.
  void PhyValSpec(const CRalImage& image, int axis, POINT point, std::string& text) const;
  void PhyValWcsCelestial(const tagAD& ad, const CRalImage& image, std::string& text) const;
  void PhyValWcsSpecLinear(const tagAD& ad, const CRalImage& image, int* first, int* second,
                           std::string& text) const;
  void PhyValWcsSpecLog(const tagAD& ad, const CRalImage& image, int* first, int* second,
                        std::string& text) const;
  void PhyValWcsSpecNonLinear(const tagAD& ad, const CRalImage& image, int* first, int* second,
                              std::string& text) const;
  void PhyValWcsMisc(const tagAD& ad, const CRalImage& image, int* first, int* second,
                     std::string& text) const;
  // Puts the texts into the labels; a label whose text did not change is left alone.
  void DoDataExchange();

 private:
  std::string m_strAverage, m_strValue, m_strPhysical, m_strX, m_strY;
  QLabel* m_pAverage = nullptr;
  QLabel* m_pValue = nullptr;
  QLabel* m_pPhysical = nullptr;
  QLabel* m_pX = nullptr;
  QLabel* m_pY = nullptr;
  CWCS m_WCS;
  CFltPtrCtrl m_Flt;
};
