// The crop and profile-graph tools of the image window: the mouse in each tool mode, the
// dialogs they open, and their overlays over the image.
#include <QPainter>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>

#include "dialogs/vumdialog.h"
#include "display/qt/ralimgwnd.h"
#include "engine/imgcrop.h"
#include "engine/pixelmove.h"
#include "graph/qt/ctrlgraph2d.h"
#include "graph/qt/dlggraph2d.h"
#include "measure/qt/dlgcrop.h"

namespace {

constexpr int kModeCrop = 1, kModeGraph = 3;

// Image positions (0-based, pixel centres at +0.5) to screen points, unclipped.
struct ScreenMap {
  double f, ox, oy;
  explicit ScreenMap(const CViewInfo& v) {
    f = CViewInfo::nMagTofMag(v.GetMag());
    const RECT vis = v.GetVisibleImageRect(), view = v.GetWindowView();
    ox = view.left - vis.left * f;
    oy = view.top - vis.top * f;
  }
  QPointF operator()(double x, double y) const { return {ox + (x + 0.5) * f, oy + (y + 0.5) * f}; }
};

void DeleteDialog(CDlgGraph2D* dialog) {
  delete dialog;
}

// The move of a cut to rect, clamped to the image as CImgCrop::Do clamps it.
CPixelMove CropMove(const CImage& image, const RECT& rect) {
  const int w = image.GetWidth(), h = image.GetHeight();
  return CPixelMove::Crop(w, h,
                          RECT{std::max(rect.left, 0), std::max(rect.top, 0),
                               std::min(rect.right, w), std::min(rect.bottom, h)});
}

}  // namespace

CDlgGraph2D* CRalImgWnd::GetDlgGraph2D() const {
  return m_pDlgGraph2D.get();
}

void CRalImgWnd::ShowGraph2DDlg() {
  if (!m_pImage) return;
  if (!m_pDlgGraph2D) {
    // A window of its own, owned by this window rather than by a parent widget: it goes
    // with the document, whatever happens to the widgets first.
    m_pDlgGraph2D = {new CDlgGraph2D(nullptr), &DeleteDialog};
    // Kept above the main frame as its tool window, without the frame owning it.
    if (m_pParent && m_pParent->window()) {
      m_pDlgGraph2D->setWindowFlag(Qt::Tool);
      m_pDlgGraph2D->winId();
      if (QWindow* frame = m_pParent->window()->windowHandle())
        m_pDlgGraph2D->windowHandle()->setTransientParent(frame);
    }
    m_pDlgGraph2D->onLinesChanged = [this] { Invalidate(); };
    m_pDlgGraph2D->onGatherOtherGraphs = [this] {
      return m_OtherGraphs ? m_OtherGraphs() : std::vector<CCtrlGraph2DData2>{};
    };
    m_pDlgGraph2D->onClosedByUser = [this] {
      if (m_ToolDialogClosed) m_ToolDialogClosed(kModeGraph);
    };
    m_pDlgGraph2D->onMakeImage = [](const QImage& picture, const std::string& name) {
      CVumDocument* doc = nullptr;
      CRalImage* image = nullptr;
      const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
      if (!CVumDoc::MakeNewDocument(8, rgb.width(), rgb.height(), 3, name, &doc, &image, 0) ||
          !image)
        return false;
      std::vector<double> row(static_cast<std::size_t>(rgb.width()));
      for (int y = 0; y < rgb.height(); ++y) {
        const uchar* line = rgb.constScanLine(y);
        for (int p = 0; p < 3; ++p) {
          for (int x = 0; x < rgb.width(); ++x) row[static_cast<std::size_t>(x)] = line[3 * x + p];
          image->SetPhysicalRow(y, p, row.data());
        }
      }
      for (int p = 0; p < 3; ++p) image->SetLevel(p, 0.0, 255.0);
      doc->UpdateAllVumViews();
      return true;
    };
  }
  m_Graph2D.SetImage(m_pImage.get());
  const QString title =
      m_pDocument ? QString::fromStdString(m_pDocument->GetVumTitle()) : QString();
  m_pDlgGraph2D->Show(&m_Graph2D, m_pImage.get(), title);
}

void CRalImgWnd::HideGraph2DDlg() {
  if (m_pDlgGraph2D) m_pDlgGraph2D->Hide(0);
}

bool CRalImgWnd::GetCurrentGraph(CCtrlGraph2DData2* out) const {
  const int current = m_Graph2D.GetCurrent();
  if (!m_pImage || m_pImage->IsEmpty() || current < 0 || current >= m_Graph2D.GetSize())
    return false;
  const CDrawLineGraph2D& line = m_Graph2D.GetLine(current);
  if (line.m_nState != 2) return false;
  double x1, y1, x2, y2, w;
  line.GetProfile(&x1, &y1, &x2, &y2, &w);
  static_cast<CCtrlGraph2DData&>(*out) = SampleProfile(*m_pImage, x1, y1, x2, y2, w);
  out->m_pDocument = m_pDocument;
  return true;
}

int CRalImgWnd::IsGraph2DDlgShown() const {
  return m_pDlgGraph2D && m_pDlgGraph2D->IsShow() ? 1 : 0;
}

void CRalImgWnd::ResetTools() {
  m_Crop.Clear();
  m_Graph2D.RemoveAll();
  m_Graph2D.SetImage(m_pImage.get());
  if (m_pDlgGraph2D) {
    m_pDlgGraph2D->Reset(1);
    if (m_pDlgGraph2D->IsShow()) ShowGraph2DDlg();
  }
  Invalidate();
}

void CRalImgWnd::SetMarksHidden(int hidden) {
  hidden = hidden ? 1 : 0;
  if (hidden == m_bMarksHidden) return;
  m_bMarksHidden = hidden;
  Invalidate();
  if (m_MarksHiddenChanged) m_MarksHiddenChanged();
}

void CRalImgWnd::OnMouseTools(int mode, unsigned msg, unsigned flags, POINT point) {
  if (!m_pImage) return;
  POINT p{};
  m_View.PtViewToImage(point, &p);
  if (mode == kModeCrop)
    OnMouseCrop(msg, flags, p);
  else if (mode == kModeGraph)
    OnMouse2Dgraph(msg, flags, p);
}

void CRalImgWnd::OnMouseCrop(unsigned msg, unsigned flags, POINT p) {
  switch (msg) {
    case WM_LBUTTONDOWN:
      m_Crop.OnLButtonDown(p.x, p.y, (flags & MK_SHIFT) != 0);
      Invalidate();
      break;
    case WM_MOUSEMOVE:
      if (m_Crop.OnMouseMove(p.x, p.y)) Invalidate();
      break;
    case WM_LBUTTONUP:
      if (m_Crop.OnLButtonUp(p.x, p.y)) {
        Invalidate();
        RunCrop();
      }
      break;
    default:
      break;
  }
}

void CRalImgWnd::RunCrop() {
  if (!MakeUndoBuff()) {
    m_Crop.Clear();
    Invalidate();
    return;
  }
  CDlgCrop dialog(m_pParent ? m_pParent->window() : nullptr);
  dialog.Set(m_pDocument, m_pImage.get(), m_pUndoImage.get());
  dialog.SetUndoPreparation(0);
  dialog.SetImageInfo(m_pImage->GetWidth(), m_pImage->GetHeight(), m_pImage->GetOrgFileFormat());
  const POINT a = m_Crop.GetAnchor(), b = m_Crop.GetCurrent();
  dialog.SetSelection(a.x, a.y, b.x, b.y);
  const int result = dialog.DoModal();
  m_Crop.Clear();
  if (result != QDialog::Accepted) {
    Undo();  // the image as it was, and its undo copy as before
    Invalidate();
    return;
  }
  SetUndoName(crop_text::kCaption);
  // A crop changes the document as any image command does: closing asks to save it.
  if (CropTo(dialog.GetRect()) && m_pDocument) m_pDocument->SetVumModified(true);
}

int CRalImgWnd::CropTo(const RECT& rect) {
  if (!m_pImage || rect.right <= rect.left || rect.bottom <= rect.top) return 0;
  const CPixelMove move = CropMove(*m_pImage, rect);
  if (!CImgCrop().Do(rect, *m_pImage, 1)) return 0;
  Update(1);
  // Every line stood on the pixels as they were; the marks go with their pixels.
  ResetTools();
  MarksFollow(move, m_pUndoImage ? *m_pUndoImage : *m_pImage);
  UpdateAverage();
  if (m_ViewChanged) m_ViewChanged(1);
  return 1;
}

void CRalImgWnd::OnMouse2Dgraph(unsigned msg, unsigned flags, POINT p) {
  switch (msg) {
    case WM_LBUTTONDOWN: {
      m_Graph2D.SetImage(m_pImage.get());
      m_Graph2D.OnLButtonDown(p.x, p.y, (flags & MK_SHIFT) != 0, (flags & MK_CONTROL) != 0);
      if (m_Graph2D.GetCurrentState() == 2) ShowGraph2DDlg();  // a Ctrl-click picked one
      Invalidate();
      break;
    }
    case WM_MOUSEMOVE:
      if (m_Graph2D.OnMouseMove(p.x, p.y)) Invalidate();
      break;
    case WM_LBUTTONUP: {
      const int kept = m_Graph2D.OnLButtonUp(p.x, p.y);
      if (kept == 1) {
        ShowGraph2DDlg();
        if (m_LineFinished) m_LineFinished();
      }
      if (kept >= 0) Invalidate();
      break;
    }
    default:
      break;
  }
}

void CRalImgWnd::DrawTools(QPainter& painter) const {
  if (!m_pImage || m_pBlink || m_bMarksHidden) return;
  const ScreenMap map(m_View);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);
  // The crop selection: a rectangle over the selected pixels with short ticks at the
  // middle of each side, drawn twice so that it shows on any image.
  if (m_Crop.GetState() != 0) {
    const RECT r = m_Crop.GetRect();
    const QPointF a = map(r.left - 0.5, r.top - 0.5), b = map(r.right - 0.5, r.bottom - 0.5);
    const QRectF box(a, b);
    const QPointF c = box.center();
    for (int pass = 0; pass < 2; ++pass) {
      painter.setPen(pass == 0 ? QPen(Qt::white, 3) : QPen(Qt::black, 1, Qt::DashLine));
      painter.drawRect(box);
      painter.drawLine(QPointF(c.x(), box.top() - 5), QPointF(c.x(), box.top() + 5));
      painter.drawLine(QPointF(c.x(), box.bottom() - 5), QPointF(c.x(), box.bottom() + 5));
      painter.drawLine(QPointF(box.left() - 5, c.y()), QPointF(box.left() + 5, c.y()));
      painter.drawLine(QPointF(box.right() - 5, c.y()), QPointF(box.right() + 5, c.y()));
    }
  }
  // The profile lines: the others light grey, the current one cyan; a band as its outline.
  if (m_Graph2D.IsMarkVisible()) {
    for (int i = m_Graph2D.GetFirstVisible(); i < m_Graph2D.GetSize(); ++i) {
      const CDrawLineGraph2D& l = m_Graph2D.GetLine(i);
      if (l.m_nState == 0) continue;
      painter.setPen(
          QPen(i == m_Graph2D.GetCurrent() ? QColor(0, 255, 255) : QColor(220, 220, 220), 1));
      double x1, y1, x2, y2, w;
      l.GetProfile(&x1, &y1, &x2, &y2, &w);
      if (!l.m_bBand) {
        painter.drawLine(map(x1, y1), map(x2, y2));
        continue;
      }
      const double len = std::hypot(x2 - x1, y2 - y1);
      const double nx = len > 0 ? -(y2 - y1) / len : 0.0, ny = len > 0 ? (x2 - x1) / len : 1.0;
      const double h = (w - 1) / 2.0;
      const QPointF corners[4] = {map(x1 + nx * h, y1 + ny * h), map(x2 + nx * h, y2 + ny * h),
                                  map(x2 - nx * h, y2 - ny * h), map(x1 - nx * h, y1 - ny * h)};
      painter.drawPolygon(corners, 4);
      painter.setPen(QPen(painter.pen().color(), 1, Qt::DotLine));
      painter.drawLine(map(x1, y1), map(x2, y2));
    }
    // The reference point chosen on the graph.
    if (m_pDlgGraph2D && m_pDlgGraph2D->IsShow() && m_pDlgGraph2D->HaveSamplePt()) {
      const QPointF s = map(m_pDlgGraph2D->GetSampleX(), m_pDlgGraph2D->GetSampleY());
      painter.setPen(QPen(QColor(255, 0, 255), 2));
      painter.drawLine(s + QPointF(-6, 0), s + QPointF(6, 0));
      painter.drawLine(s + QPointF(0, -6), s + QPointF(0, 6));
    }
  }
  painter.restore();
}
