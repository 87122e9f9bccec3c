#include "app/kivimageview.h"

#include <QCloseEvent>
#include <QImage>
#include <QMdiArea>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QWheelEvent>

#include "app/kivimagedoc.h"
#include "display/ralimgwnd.h"

namespace {

QRect ToQRect(const RECT& r) {
  return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

}  // namespace

CKivImageView::CKivImageView(CKivImageDoc* doc, QWidget* parent)
    : QAbstractScrollArea(parent), m_pDoc(doc) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFrameShape(QFrame::NoFrame);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  ViewMetrics metrics;
  const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  metrics.cxVScroll = bar;
  metrics.cyHScroll = bar;
  GetImgWnd().GetViewInfo().SetMetrics(metrics);
  CRalImgWnd& wnd = GetImgWnd();
  wnd.SetInvalidate([this] { viewport()->update(); });
  wnd.SetInvalidateRect([this](const RECT& r) { viewport()->update(ToQRect(r)); });
  wnd.SetViewChanged([this](int zoomed) {
    if (zoomed) {
      UpdateLayout();
      FitFrame();
      emit zoomChanged(GetImgWnd().GetZoom());
    } else {
      SyncScrollBars();
    }
    viewport()->update();
  });
  wnd.SetParentWnd(this, doc);
  doc->AddView(this);
  setMinimumSize(32, 32);
}

CKivImageView::~CKivImageView() {
  if (m_pDoc) {
    CRalImgWnd& wnd = m_pDoc->GetImgWnd();
    wnd.SetInvalidate({});
    wnd.SetInvalidateRect({});
    wnd.SetViewChanged({});
    wnd.SetParentWnd(nullptr, m_pDoc);
    m_pDoc->RemoveView(this);
  }
}

std::intptr_t CKivImageView::SendVumMessage(unsigned msg, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
  return m_pDoc ? GetImgWnd().OnVumMessage(msg, wParam, lParam) : 0;
}

CRalImgWnd& CKivImageView::GetImgWnd() const {
  return m_pDoc->GetImgWnd();
}

void CKivImageView::UpdateLayout() {
  CViewInfo& view = GetImgWnd().GetViewInfo();
  // The view state decides which bars show, from the whole area including the bars.
  int width = viewport()->width(), height = viewport()->height();
  if (verticalScrollBar()->isVisible()) width += view.GetMetrics().cxVScroll;
  if (horizontalScrollBar()->isVisible()) height += view.GetMetrics().cyHScroll;
  view.SetWindowSize(width, height);
  SyncScrollBars();
}

void CKivImageView::SyncScrollBars() {
  const CViewInfo& view = GetImgWnd().GetViewInfo();
  m_bSyncing = true;
  const SCROLLBARSTATE h = view.GetScrollBar(0), v = view.GetScrollBar(1);
  setHorizontalScrollBarPolicy(h.shown ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(v.shown ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  horizontalScrollBar()->setRange(0, h.max);
  horizontalScrollBar()->setValue(h.pos);
  horizontalScrollBar()->setPageStep(std::max(1, view.GetVisibleImageRect().Width()));
  verticalScrollBar()->setRange(0, v.max);
  verticalScrollBar()->setValue(v.pos);
  verticalScrollBar()->setPageStep(std::max(1, view.GetVisibleImageRect().Height()));
  m_bSyncing = false;
}

void CKivImageView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateLayout();
}

void CKivImageView::scrollContentsBy(int, int) {
  if (m_bSyncing) return;
  CViewInfo& view = GetImgWnd().GetViewInfo();
  view.SetScrollPos(0, horizontalScrollBar()->value());
  view.SetScrollPos(1, verticalScrollBar()->value());
  SyncScrollBars();
  viewport()->update();
}

void CKivImageView::wheelEvent(QWheelEvent* event) {
  if (event->modifiers() & Qt::ControlModifier) {
    const QPoint p = event->position().toPoint();
    CViewInfo& view = GetImgWnd().GetViewInfo();
    const int changed = event->angleDelta().y() > 0 ? view.IncMag(p.x(), p.y())
                                                    : view.DecMag(p.x(), p.y());
    if (changed) {
      SyncScrollBars();
      viewport()->update();
      emit zoomChanged(view.GetMag());
    }
    event->accept();
    return;
  }
  QAbstractScrollArea::wheelEvent(event);
}

void CKivImageView::ZoomIn() {
  if (GetImgWnd().ZoomUp()) {
    UpdateLayout();
    FitFrame();
    viewport()->update();
    emit zoomChanged(GetImgWnd().GetZoom());
  }
}

void CKivImageView::ZoomOut() {
  if (GetImgWnd().ZoomDown()) {
    UpdateLayout();
    FitFrame();
    viewport()->update();
    emit zoomChanged(GetImgWnd().GetZoom());
  }
}

void CKivImageView::SetMag(int code) {
  if (GetImgWnd().SetZoom(code, -1, -1)) {
    UpdateLayout();
    FitFrame();
    viewport()->update();
    emit zoomChanged(GetImgWnd().GetZoom());
  }
}

// Sizes the MDI child to the image when the view state asks for it (after opening and
// after each zoom), within the room the MDI area offers.
void CKivImageView::FitFrame() {
  auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget());
  if (!frame || !frame->mdiArea() || m_bFitQueued) return;
  m_bFitQueued = true;
  QTimer::singleShot(0, this, [this] {
    m_bFitQueued = false;
    auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget());
    if (!frame || !frame->mdiArea()) return;
    CViewInfo& view = GetImgWnd().GetViewInfo();
    ViewMetrics metrics = view.GetMetrics();
    metrics.cxEdge = metrics.cyEdge = 0;
    metrics.cxFrame = std::max(0, (frame->width() - width()) / 2);
    metrics.cyFrame = metrics.cxFrame;
    metrics.cyCaption = std::max(0, frame->height() - height() - 2 * metrics.cyFrame);
    view.SetMetrics(metrics);
    const bool normal = !(frame->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized));
    const QSize area = frame->mdiArea()->viewport()->size();
    FRAMEFIT fit;
    view.FitOnWindow(normal, area.width(), area.height(), &fit);
    if (fit.resize) frame->resize(fit.width, fit.height);
    UpdateLayout();
  });
}

void CKivImageView::DrawImage(QPainter& painter, const RECT* area) const {
  const CRalImgWnd& wnd = GetImgWnd();
  wnd.Draw(
      [&painter](const DIBBand& band) {
        const QImage image(band.bits, band.width, band.height, band.stride,
                           band.bitsPerPixel == 32 ? QImage::Format_RGB32 : QImage::Format_BGR888);
        painter.drawImage(ToQRect(band.destination), image);
      },
      [&painter](const RECT& r, COLORREF c) {
        painter.fillRect(ToQRect(r), QColor(GetRValue(c), GetGValue(c), GetBValue(c)));
      },
      area);
}

void CKivImageView::paintEvent(QPaintEvent* event) {
  if (!m_pDoc) return;
  // A preview band asks for its own area only; anything more is drawn whole.
  CRalImgWnd& wnd = GetImgWnd();
  const bool band = ToQRect(wnd.GetPendingScreenRect()).contains(event->rect());
  const RECT area = band ? wnd.GetPendingRect() : RECT{};
  wnd.ClearPendingRect();
  CViewInfo& view = GetImgWnd().GetViewInfo();
  if (view.IsFitPending()) FitFrame();
  QPainter painter(viewport());
  painter.setRenderHint(QPainter::SmoothPixmapTransform, GetImgWnd().GetZoom() < 1);
  if (view.GetWindowRect().Width() == 0) UpdateLayout();
  DrawImage(painter, band ? &area : nullptr);
  ++m_nPaints;
  emit painted();
}

// ---- CChildFrame

CChildFrame::CChildFrame(CKivImageDoc* doc, QWidget* parent)
    : QMdiSubWindow(parent), m_pDoc(doc), m_pView(new CKivImageView(doc, this)) {
  setAttribute(Qt::WA_DeleteOnClose);
  doc->setParent(this);
  setWidget(m_pView);
  connect(doc, &CKivImageDoc::titleChanged, this, &CChildFrame::UpdateTitle);
  UpdateTitle();
}

void CChildFrame::UpdateTitle() {
  setWindowTitle(m_pDoc->GetTitle() + QStringLiteral("[*]"));
  setWindowModified(m_pDoc->IsModified());
}

void CChildFrame::closeEvent(QCloseEvent* event) {
  if (!m_pDoc->SaveModified()) {
    event->ignore();
    return;
  }
  QMdiSubWindow::closeEvent(event);
}
