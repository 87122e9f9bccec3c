// The photometry tools of an image window: mouse routing, marks and extension questions.
#include "display/qt/aperturetool.h"

#include <algorithm>

#include "display/viewinfo.h"
#include "engine/ralimage.h"
#include "measure/phottable.h"
#include "measure/qt/dlgaperture.h"
#include "platform/messagebox.h"

namespace {

constexpr COLORREF Rgb(int r, int g, int b) {
  return static_cast<COLORREF>(r | (g << 8) | (b << 16));
}
constexpr COLORREF kStarColor = Rgb(255, 0, 192);
constexpr COLORREF kSkyColor = Rgb(192, 255, 0);
constexpr COLORREF kSelectedColor = Rgb(0, 255, 255);
constexpr COLORREF kRectColor = Rgb(160, 112, 80);
constexpr COLORREF kRectCurrentColor = Rgb(204, 204, 0);
constexpr COLORREF kRectDragColor = Rgb(0, 255, 255);

// The screen position of an image pixel corner, unclipped.
POINT Corner(const CViewInfo& view, int x, int y) {
  const RECT visible = view.GetImageView();
  const RECT screen = view.GetWindowView();
  const int m = view.GetMag();
  auto axis = [m](int image, int first, int lo) {
    const long long d = static_cast<long long>(image) - first;
    const long long v = m >= 1 ? d * m : (d >= 0 ? d / (2 - m) : -((-d + 1 - m) / (2 - m)));
    return static_cast<int>(std::clamp<long long>(v + lo, -1000000, 1000000));
  };
  return POINT{axis(x, visible.left, screen.left), axis(y, visible.top, screen.top)};
}

void Outline(const CViewInfo& view, const std::vector<RECT>& segments, COLORREF color,
             const CApertureTool::LineSink& line) {
  for (const RECT& s : segments)
    line(Corner(view, s.left, s.top), Corner(view, s.right, s.bottom), color);
}

void Box(const CViewInfo& view, const RECT& r, COLORREF color,
         const CApertureTool::LineSink& line) {
  // Inclusive pixel bounds: the outline runs along the outer pixel edges.
  Outline(
      view,
      {RECT{r.left, r.top, r.right + 1, r.top}, RECT{r.right + 1, r.top, r.right + 1, r.bottom + 1},
       RECT{r.right + 1, r.bottom + 1, r.left, r.bottom + 1},
       RECT{r.left, r.bottom + 1, r.left, r.top}},
      color, line);
}

}  // namespace

CApertureTool::CApertureTool() = default;
CApertureTool::~CApertureTool() {
  delete m_pDlg.data();
  delete m_pDlgRect.data();
}

int CApertureTool::OnMouseAperture(unsigned message, unsigned flags, POINT point,
                                   CRalImage* image) {
  if (!image || image->IsEmpty() || image->IsColor()) return 0;
  if (m_nMode) {
    switch (message) {
      case WM_LBUTTONDOWN: {
        m_Aperture.SetImage(image);
        // Ctrl takes a measurement to move it, Shift the edge nearest the pointer to
        // resize it; a plain click adds a measurement.
        if (flags & (kMkControl | kMkShift)) {
          const int star = m_Aperture.PickMeasurement(point.x, point.y, m_dPickTolerance);
          if (star < 0) return 0;
          const int began = (flags & kMkControl) ? m_Aperture.BeginMove(star, point)
                                                 : m_Aperture.BeginResize(star, point);
          if (!began) return 0;
          m_bCaptured = true;
          m_bExtModified = 1;
          m_Aperture.UpdateItems();
          break;
        }
        m_bExtModified = 1;
        m_Aperture.ShowAllMarksAfterClick();
        m_Aperture.AddStar(point.x, point.y, image);
        break;
      }
      case WM_MOUSEMOVE:
        if (!m_Aperture.TrackEdit(point)) return 0;
        break;
      case WM_LBUTTONUP:
        m_bCaptured = false;
        if (!m_Aperture.EndEdit()) return 1;
        break;
      default:
        return 0;
    }
    if (m_pDlg) m_pDlg->UpdateList();
    return 1;
  }
  m_Rect.SetImage(image);
  switch (message) {
    case WM_LBUTTONDOWN:
      if (m_Rect.GetDragState() == CApertureRect::DRAGGING) return 0;
      m_Rect.StartDrag(point);
      m_bRectExtModified = 1;
      m_bCaptured = true;
      return 1;
    case WM_MOUSEMOVE:
      if (m_Rect.GetDragState() != CApertureRect::DRAGGING) return 0;
      m_Rect.TrackDrag(point);
      return 1;
    case WM_LBUTTONUP:
      if (m_Rect.GetDragState() != CApertureRect::DRAGGING) return 0;
      m_Rect.FinishDrag(point);
      m_bCaptured = false;
      if (m_pDlgRect) m_pDlgRect->UpdateList();
      return 1;
    default:
      return 0;
  }
}

void CApertureTool::DrawMarks(const CViewInfo& view, const LineSink& line) const {
  std::vector<RECT> segments;
  for (int i = 0; i < m_Aperture.GetMarkCount(); ++i) {
    if (!m_Aperture.IsMarkDrawn(i)) continue;
    const CApertureMark& m = m_Aperture.GetMark(i);
    const bool highlighted = i == m_Aperture.GetSelected() ||
                             m.m_nEditState == CApertureMark::MOVING ||
                             m.m_nEditState == CApertureMark::RESIZING;
    m.GetOutline(&segments);
    Outline(view, segments,
            highlighted                        ? kSelectedColor
            : m.m_nType == CApertureMark::STAR ? kStarColor
                                               : kSkyColor,
            line);
  }
  for (int i = 0; i < m_Rect.GetItemCount(); ++i) {
    if (!m_Rect.IsItemDrawn(i)) continue;
    const CApertureRectItem& it = m_Rect.GetItem(i);
    Box(view, RECT{it.m_nLeft, it.m_nTop, it.m_nRight, it.m_nBottom},
        i == m_Rect.GetCurrent() ? kRectCurrentColor : kRectColor, line);
  }
  if (m_Rect.GetDragState() == CApertureRect::DRAGGING)
    Box(view, m_Rect.GetDragRect(), kRectDragColor, line);
}

bool CApertureTool::BeforeFitsSave(CImage& image) {
  if (m_bExtModified) {
    if (m_Aperture.GetLiveCount() > 0) {
      const int answer = PhotAskSave(kPhotSaveQuestion);
      if (answer == IDCANCEL) return false;
      if (answer == IDYES)
        m_Aperture.WriteExtension(image);
      else
        CAperture::RemoveExtension(image);
    } else {
      CAperture::RemoveExtension(image);
    }
  }
  if (m_bRectExtModified) {
    if (m_Rect.GetLiveCount() > 0) {
      const int answer = PhotAskSave(kPhotRectSaveQuestion);
      if (answer == IDCANCEL) return false;
      if (answer == IDYES)
        m_Rect.WriteExtension(image);
      else
        CApertureRect::RemoveExtension(image);
    } else {
      CApertureRect::RemoveExtension(image);
    }
  }
  m_bExtModified = m_bRectExtModified = 0;
  return true;
}

void CApertureTool::AfterRead(CRalImage* image) {
  if (!image) return;
  m_Aperture.RestoreExtension(image);
  m_Rect.RestoreExtension(image);
  UpdateLists();
}

void CApertureTool::SetImage(CRalImage* image) {
  m_Aperture.SetImage(image);
  m_Rect.SetImage(image);
}

void CApertureTool::Reset() {
  m_Aperture.DeleteAllMarks();
  m_Rect.DeleteAll();
  UpdateLists();
}

void CApertureTool::FollowPixelMove(const CPixelMove& move, CRalImage* image) {
  m_Aperture.FollowPixelMove(move, image);
  m_Rect.FollowPixelMove(move, image);
  m_bCaptured = false;
  UpdateLists();
}

void CApertureTool::ShowDialog(QWidget* parent, std::function<void()> redraw,
                               std::function<void()> marksShown) {
  if (m_nMode) {
    if (!m_pDlg)
      m_pDlg = new CDlgAperture(
          &m_Aperture, ApertureDlgHooks{redraw, [this] { m_bExtModified = 1; }, marksShown},
          parent);
    if (m_pDlgRect) m_pDlgRect->hide();
    m_pDlg->UpdateList();
    m_pDlg->show();
  } else {
    if (!m_pDlgRect)
      m_pDlgRect = new CDlgApertureRect(
          &m_Rect, ApertureDlgHooks{redraw, [this] { m_bRectExtModified = 1; }, marksShown},
          parent);
    if (m_pDlg) m_pDlg->hide();
    m_pDlgRect->UpdateList();
    m_pDlgRect->show();
  }
}

void CApertureTool::HideDialogs() {
  if (m_pDlg) m_pDlg->hide();
  if (m_pDlgRect) m_pDlgRect->hide();
}

CDlgAperture* CApertureTool::GetDlgAperture() const {
  return m_pDlg.data();
}
CDlgApertureRect* CApertureTool::GetDlgApertureRect() const {
  return m_pDlgRect.data();
}

int CApertureTool::IsOpenDlgShown() const {
  return m_pDlg && m_pDlg->isVisible() ? 1 : 0;
}
int CApertureTool::IsRectDlgShown() const {
  return m_pDlgRect && m_pDlgRect->isVisible() ? 1 : 0;
}

void CApertureTool::UpdateLists() {
  if (m_pDlg) m_pDlg->UpdateList();
  if (m_pDlgRect) m_pDlgRect->UpdateList();
}
