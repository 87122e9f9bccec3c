// The photometry tools of an image window: the circular and the rectangle tool with
// their dialogs, the mouse routing of the aperture tool mode, the marks drawn over the
// image, and the extension questions of saving and reading.
#pragma once

#include <functional>
#include <memory>

#include <QPointer>

#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "platform/wintypes.h"

class CDlgAperture;
class CDlgApertureRect;
class CImage;
class CPixelMove;
class CRalImage;
class CViewInfo;
class QWidget;

// Mouse messages as the window passes them on.
inline constexpr unsigned WM_MOUSEMOVE = 0x0200;
inline constexpr unsigned WM_LBUTTONDOWN = 0x0201;
inline constexpr unsigned WM_LBUTTONUP = 0x0202;

class CApertureTool {
 public:
  // A line between two screen points in a colour.
  using LineSink = std::function<void(POINT, POINT, COLORREF)>;

  CApertureTool();
  ~CApertureTool();

  CAperture& GetAperture() { return m_Aperture; }
  CApertureRect& GetApertureRect() { return m_Rect; }

  // 1 circles, 0 rectangles.
  void SetMode(int mode) { m_nMode = mode; }
  int GetMode() const { return m_nMode; }
  // How near (image pixels) a press must come to a measurement's edge to take it; the
  // window sets a few screen pixels' worth at its magnification.
  void SetPickTolerance(double pixels) { m_dPickTolerance = pixels; }

  // Key states that come with a mouse message.
  static constexpr unsigned kMkShift = 0x4, kMkControl = 0x8;

  // A mouse message at an image pixel, in the aperture tool mode; nothing for colour
  // images. Circles: a click adds a measurement; a press with Ctrl on a measurement
  // drags it to another place, with Shift drags the nearest edge of its star disc or sky
  // ring; each step measures again. Returns 1 when the view must be painted again.
  int OnMouseAperture(unsigned message, unsigned flags, POINT point, CRalImage* image);

  // Draws the visible marks: circles first, then rectangles.
  void DrawMarks(const CViewInfo& view, const LineSink& line) const;

  // The questions of a FITS save, in the order circles, rectangles: Yes writes the
  // extension, No removes it, Cancel (result false) abandons the save.
  bool BeforeFitsSave(CImage& image);
  // The restore questions after a file was read.
  void AfterRead(CRalImage* image);
  // The image the marks belong to, whenever the window's image object changes (an undo
  // copy, an undo, another file), so no mark looks at an image that is gone.
  void SetImage(CRalImage* image);
  // Forgets every mark (the image changed under them).
  void Reset();
  // The marks go with the pixels through a move that keeps positions, onto image (the
  // moved one); those that leave it go. The lists follow.
  void FollowPixelMove(const CPixelMove& move, CRalImage* image);
  // The number of circular measurements and rectangles not deleted.
  int GetLiveCount() const { return m_Aperture.GetLiveCount() + m_Rect.GetLiveCount(); }

  int GetApertureExtModified() const { return m_bExtModified; }
  void SetApertureExtModified(int v) { m_bExtModified = v; }
  int GetApertureRectExtModified() const { return m_bRectExtModified; }
  void SetApertureRectExtModified(int v) { m_bRectExtModified = v; }

  // The dialogs, created on first show with parent and the redraw hook.
  // marksShown: the dialog's show-all button was pressed.
  void ShowDialog(QWidget* parent, std::function<void()> redraw,
                  std::function<void()> marksShown = {});
  void HideDialogs();
  int IsOpenDlgShown() const;
  int IsRectDlgShown() const;
  CDlgAperture* GetDlgAperture() const;
  CDlgApertureRect* GetDlgApertureRect() const;
  void UpdateLists();

 private:
  CAperture m_Aperture;
  CApertureRect m_Rect;
  int m_nMode = 1;
  double m_dPickTolerance = 2.0;
  int m_bExtModified = 0;
  int m_bRectExtModified = 0;
  bool m_bCaptured = false;
  // The dialogs belong to the view as Qt children too: whichever goes first takes them.
  QPointer<CDlgAperture> m_pDlg;
  QPointer<CDlgApertureRect> m_pDlgRect;
};
