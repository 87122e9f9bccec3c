// The positioning tool of an image window: the mouse routing of the positioning mode, the
// crosses and rectangles drawn over the image, the dialog, and the extension questions of
// saving and reading.
#pragma once

#include <QPointer>
#include <functional>

#include "display/qt/aperturetool.h"
#include "measure/positioning.h"

class CDlgPositioning;
class CImage;
class CPixelMove;
class CRalImage;
class CViewInfo;
class QWidget;

class CPositionTool {
 public:
  using LineSink = CApertureTool::LineSink;

  CPositionTool();
  ~CPositionTool();

  CPositioning& GetPositioning() { return m_Pos; }

  // A mouse message at an image pixel in the positioning mode; nothing for colour images.
  // Returns 1 when the view must be painted again.
  int OnMousePositioning(unsigned message, unsigned flags, POINT point, CRalImage* image);
  // The tracked rectangle while dragging, the crosses of the live rows and the measuring
  // area of the current row.
  void DrawMarks(const CViewInfo& view, const LineSink& line) const;

  // The save question of a FITS save: Yes writes the extension, No removes it, Cancel
  // (result false) abandons the save.
  bool BeforeFitsSave(CImage& image);
  // The restore question after a file was read.
  void AfterRead(CRalImage* image);
  void SetImage(CRalImage* image) { m_Pos.SetImage(image); }
  // Forgets every row (the image changed under them).
  void Reset();
  // The rows go with the pixels through a move that keeps positions, onto image (the
  // moved one); those that leave it go. The list follows.
  void FollowPixelMove(const CPixelMove& move, CRalImage* image);
  // The dialog's list from the rows as they are.
  void UpdateList();

  int GetPositioningExtModified() const { return m_bExtModified; }
  void SetPositioningExtModified(int v) { m_bExtModified = v; }

  // marksShown: the dialog's show button was pressed.
  void ShowDialog(QWidget* parent, std::function<void()> redraw,
                  std::function<void()> marksShown = {});
  void HideDialog();
  int IsDlgShown() const;
  CDlgPositioning* GetDlg() const;

 private:
  void Track(POINT point);

  CPositioning m_Pos;
  int m_bExtModified = 0;
  QPointer<CDlgPositioning> m_pDlg;
};
