// The positioning tool of an image window: mouse routing, crosses and questions.
#include "display/qt/positiontool.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "display/viewinfo.h"
#include "engine/ralimage.h"
#include "measure/aperture.h"
#include "measure/phottable.h"
#include "measure/qt/dlgpositioning.h"
#include "platform/messagebox.h"

namespace {

constexpr COLORREF Rgb(int r, int g, int b) {
  return static_cast<COLORREF>(r | (g << 8) | (b << 16));
}
constexpr COLORREF kDragColor = Rgb(0, 255, 255);
constexpr COLORREF kAreaColor = Rgb(255, 160, 128);
constexpr COLORREF kCrossColor = Rgb(0, 255, 0);
constexpr COLORREF kCurrentCrossColor = Rgb(255, 255, 0);

// The outline of the inclusive pixel rectangle r along the outer edges of its corner
// pixels' screen blocks, clamped into the image; nothing when a corner is off screen.
void Box(const CViewInfo& view, RECT r, const CImage* image, COLORREF color,
         const CPositionTool::LineSink& line) {
  if (image) {
    r.left = std::clamp(r.left, 0, image->GetWidth() - 1);
    r.right = std::clamp(r.right, 0, image->GetWidth() - 1);
    r.top = std::clamp(r.top, 0, image->GetHeight() - 1);
    r.bottom = std::clamp(r.bottom, 0, image->GetHeight() - 1);
  }
  RECT a, b;
  if (!view.PtImageToView(POINT{std::min(r.left, r.right), std::min(r.top, r.bottom)}, &a) ||
      !view.PtImageToView(POINT{std::max(r.left, r.right), std::max(r.top, r.bottom)}, &b))
    return;
  const POINT tl{a.left, a.top}, tr{b.right - 1, a.top}, br{b.right - 1, b.bottom - 1},
      bl{a.left, b.bottom - 1};
  line(tl, tr, color);
  line(tr, br, color);
  line(br, bl, color);
  line(bl, tl, color);
}

// The mask a centroid measurement of the inclusive pixel rectangle r uses (the rectangle
// clamped into the image, the ellipse of its half extents round its middle pixel, the
// rows of the midpoint tables), outlined along the outer edges of its pixels' screen
// blocks.
void EllipseOutline(const CViewInfo& view, RECT r, const CImage* image, COLORREF color,
                    const CPositionTool::LineSink& line) {
  if (r.left > r.right) std::swap(r.left, r.right);
  if (r.top > r.bottom) std::swap(r.top, r.bottom);
  if (image) {
    r.left = std::max(r.left, 0);
    r.top = std::max(r.top, 0);
    r.right = std::min(r.right, image->GetWidth() - 1);
    r.bottom = std::min(r.bottom, image->GetHeight() - 1);
  }
  if (r.left > r.right || r.top > r.bottom) return;
  std::vector<int> perDy, perDx;
  MidpointTables((r.right - r.left) / 2, (r.bottom - r.top) / 2, &perDy, &perDx);
  const int cx = r.left + (r.right - r.left) / 2, cy = r.top + (r.bottom - r.top) / 2;
  // Screen edges of image columns and rows from the unclipped middles of their blocks.
  const int block = std::max(view.GetMag(), 1);
  auto leftOf = [&](int col) {
    POINT m;
    view.PtImageToView(POINT{col, 0}, &m);
    return m.x - (block - 1) / 2;
  };
  auto topOf = [&](int row) {
    POINT m;
    view.PtImageToView(POINT{0, row}, &m);
    return m.y - (block - 1) / 2;
  };
  auto rightOf = [&](int col) { return std::max(leftOf(col + 1) - 1, leftOf(col)); };
  const int rows = static_cast<int>(perDy.size()) - 1;
  for (int dy = -rows; dy <= rows; ++dy) {
    const int y = cy + dy, half = perDy[static_cast<std::size_t>(std::abs(dy))];
    const int x0 = leftOf(cx - half), x1 = rightOf(cx + half);
    const int top = topOf(y), last = dy == rows;
    const int bottom = last ? std::max(topOf(y + 1) - 1, top) : topOf(y + 1);
    line(POINT{x0, top}, POINT{x0, bottom}, color);
    line(POINT{x1, top}, POINT{x1, bottom}, color);
    if (dy == -rows) line(POINT{x0, top}, POINT{x1, top}, color);
    if (last) {
      line(POINT{x0, bottom}, POINT{x1, bottom}, color);
    } else {
      // The step to the next row's span.
      const int next = perDy[static_cast<std::size_t>(std::abs(dy + 1))];
      line(POINT{x0, bottom}, POINT{leftOf(cx - next), bottom}, color);
      line(POINT{x1, bottom}, POINT{rightOf(cx + next), bottom}, color);
    }
  }
}

}  // namespace

CPositionTool::CPositionTool() = default;
CPositionTool::~CPositionTool() {
  delete m_pDlg.data();
}

void CPositionTool::Track(POINT point) {
  RECT& r = m_Pos.m_Rect;
  if (m_Pos.GetMethod() == CPositioning::SEARCH) {
    r.right = point.x;
    r.bottom = point.y;
  } else {
    r = m_Pos.CentroidSquare(point.x, point.y);
  }
}

int CPositionTool::OnMousePositioning(unsigned message, unsigned /*flags*/, POINT point,
                                      CRalImage* image) {
  if (!image || image->IsEmpty() || image->IsColor()) return 0;
  m_Pos.SetImage(image);
  switch (message) {
    case WM_LBUTTONDOWN:
      m_bExtModified = 1;
      if (m_Pos.m_nDragState == CPositioning::DRAGGING) return 0;
      m_Pos.m_Rect = m_Pos.GetMethod() == CPositioning::SEARCH
                         ? RECT{point.x, point.y, point.x, point.y}
                         : m_Pos.CentroidSquare(point.x, point.y);
      m_Pos.m_nDragState = CPositioning::DRAGGING;
      return 1;
    case WM_MOUSEMOVE:
      if (m_Pos.m_nDragState != CPositioning::DRAGGING) return 0;
      Track(point);
      return 1;
    case WM_LBUTTONUP: {
      if (m_Pos.m_nDragState != CPositioning::DRAGGING) return 0;
      Track(point);
      const RECT& r = m_Pos.m_Rect;
      if (r.right != r.left && r.bottom != r.top)
        m_Pos.Measure(image, r.left, r.top, r.right, r.bottom);
      m_Pos.m_nDragState = CPositioning::DONE;
      if (m_pDlg) m_pDlg->UpdateList();
      return 1;
    }
    default:
      return 0;
  }
}

void CPositionTool::DrawMarks(const CViewInfo& view, const LineSink& line) const {
  const CImage* image = m_Pos.GetImage();
  if (m_Pos.m_nDragState == CPositioning::DRAGGING) {
    Box(view, m_Pos.m_Rect, image, kDragColor, line);
    if (m_Pos.GetMethod() == CPositioning::CENTROID)
      EllipseOutline(view, m_Pos.m_Rect, image, kDragColor, line);
  }
  if (!m_Pos.AreMarksVisible()) return;
  for (int i = 0; i < m_Pos.GetItemCount(); ++i) {
    const CPositioningItem& item = m_Pos.GetItem(i);
    if (item.m_bDeleted) continue;
    POINT c;
    if (!view.PtImageToView(item.m_dX, item.m_dY, &c)) continue;
    const COLORREF color = i == m_Pos.GetCurrentRow() ? kCurrentCrossColor : kCrossColor;
    line(POINT{c.x - 7, c.y}, POINT{c.x - 3, c.y}, color);
    line(POINT{c.x + 3, c.y}, POINT{c.x + 7, c.y}, color);
    line(POINT{c.x, c.y - 7}, POINT{c.x, c.y - 3}, color);
    line(POINT{c.x, c.y + 3}, POINT{c.x, c.y + 7}, color);
  }
  const int current = m_Pos.GetCurrentRow();
  if (current >= 0 && current < m_Pos.GetItemCount() && !m_Pos.GetItem(current).m_bDeleted) {
    const CPositioningItem& item = m_Pos.GetItem(current);
    Box(view, RECT{item.m_nLeft, item.m_nTop, item.m_nRight, item.m_nBottom}, image, kAreaColor,
        line);
  }
}

bool CPositionTool::BeforeFitsSave(CImage& image) {
  if (m_bExtModified) {
    if (m_Pos.GetLiveCount() > 0) {
      const int answer = PhotAskSave(kPosSaveQuestion);
      if (answer == IDCANCEL) return false;
      if (answer == IDYES)
        m_Pos.WriteExtension(image);
      else
        CPositioning::RemoveExtension(image);
    } else {
      CPositioning::RemoveExtension(image);
    }
  }
  m_bExtModified = 0;
  return true;
}

void CPositionTool::AfterRead(CRalImage* image) {
  if (!image) return;
  m_Pos.RestoreExtension(image);
  if (m_pDlg) m_pDlg->UpdateList();
}

void CPositionTool::Reset() {
  m_Pos.DeleteAllMarks();
  if (m_pDlg) m_pDlg->UpdateList();
}

void CPositionTool::FollowPixelMove(const CPixelMove& move, CRalImage* image) {
  m_Pos.FollowPixelMove(move, image);
  UpdateList();
}

void CPositionTool::UpdateList() {
  if (m_pDlg) m_pDlg->UpdateList();
}

void CPositionTool::ShowDialog(QWidget* parent, std::function<void()> redraw,
                               std::function<void()> marksShown) {
  if (!m_pDlg)
    m_pDlg = new CDlgPositioning(
        &m_Pos, PositioningDlgHooks{redraw, [this] { m_bExtModified = 1; }, marksShown}, parent);
  m_pDlg->UpdateList();
  m_pDlg->show();
}

void CPositionTool::HideDialog() {
  if (m_pDlg) m_pDlg->hide();
}

int CPositionTool::IsDlgShown() const {
  return m_pDlg && m_pDlg->isVisible() ? 1 : 0;
}

CDlgPositioning* CPositionTool::GetDlg() const {
  return m_pDlg.data();
}
