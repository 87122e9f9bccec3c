#include "app/kivimageview.h"

#include <algorithm>
#include <cstdlib>

#include <QCloseEvent>
#include <QFontMetrics>
#include <QImage>
#include <QMdiArea>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QWheelEvent>

#include "app/apptexts.h"
#include "app/kivimagedoc.h"
#include "display/qt/ralimgwnd.h"
#include "platform/messagebox.h"

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
  viewport()->setMouseTracking(true);
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
  // Showing or hiding a bar resizes the viewport, which lays out and syncs again inside
  // this call; the outer call must stay guarded until it is done.
  const bool syncing = m_bSyncing;
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
  m_bSyncing = syncing;
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
  if (!(event->modifiers() & Qt::ControlModifier) || !m_pDoc) {
    m_nWheelZoom = 0;
    QAbstractScrollArea::wheelEvent(event);
    return;
  }
  event->accept();
  // One step of magnification per notch (120); the finer steps of touch pads and
  // high-resolution wheels add up to notches.
  const QPoint angle = event->angleDelta();
  const int delta = angle.y() != 0 ? angle.y() : angle.x();
  if ((delta > 0) != (m_nWheelZoom > 0)) m_nWheelZoom = 0;
  m_nWheelZoom += delta;
  const QPoint p = event->position().toPoint();
  CViewInfo& view = GetImgWnd().GetViewInfo();
  bool changed = false;
  while (std::abs(m_nWheelZoom) >= kWheelNotch) {
    const bool in = m_nWheelZoom > 0;
    m_nWheelZoom += in ? -kWheelNotch : kWheelNotch;
    changed = (in ? view.IncMag(p.x(), p.y()) : view.DecMag(p.x(), p.y())) || changed;
  }
  if (!changed) return;
  // The window keeps its size: a frame fitted to the zoomed image would move the image
  // away from under the mouse.
  view.SetPreferFitWidnow(0);
  SyncScrollBars();
  viewport()->update();
  emit zoomChanged(view.GetMag());
}

void CKivImageView::ZoomIn() {
  if (GetImgWnd().ZoomUp()) {
    // A step of zoom keeps the window's size: fitting the frame to the image is off.
    GetImgWnd().GetViewInfo().SetPreferFitWidnow(0);
    UpdateLayout();
    FitFrame();
    viewport()->update();
    emit zoomChanged(GetImgWnd().GetZoom());
  }
}

void CKivImageView::ZoomOut() {
  if (GetImgWnd().ZoomDown()) {
    // A step of zoom keeps the window's size: fitting the frame to the image is off.
    GetImgWnd().GetViewInfo().SetPreferFitWidnow(0);
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

void CKivImageView::FitToWindow() {
  auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget());
  QSize room = viewport()->size();
  if (frame && frame->mdiArea() &&
      !(frame->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))) {
    // The frame's decoration (title bar and borders) stays; the rest is room for the image.
    room = frame->mdiArea()->viewport()->size() - (frame->size() - size());
  }
  CViewInfo& view = GetImgWnd().GetViewInfo();
  const int code = view.FitMag(room.width(), room.height());
  view.SetPreferFitWidnow(1);
  if (code == GetImgWnd().GetZoom()) {
    UpdateLayout();
    FitFrame();
    viewport()->update();
    return;
  }
  SetMag(code);
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
    if (auto* child = qobject_cast<CChildFrame*>(frame)) child->KeepInsideArea();
    UpdateLayout();
  });
}

void CKivImageView::DrawImage(QPainter& painter, const RECT* area) const {
  CRalImgWnd& wnd = GetImgWnd();
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
  // The tools over the picture in their order: the crop rectangle and the profile lines
  // first, then the photometry and positioning marks as one-pixel lines.
  wnd.DrawTools(painter);
  wnd.DrawMarks([&painter](POINT a, POINT b, COLORREF c) {
    painter.setPen(QPen(QColor(GetRValue(c), GetGValue(c), GetBValue(c)), 1));
    painter.drawLine(a.x, a.y, b.x, b.y);
  });
}

void CKivImageView::mouseMoveEvent(QMouseEvent* event) {
  emit mouseMoved(this, event->position().toPoint());
  ToolMouse(CRalImgWnd::WM_MOUSEMOVE, event);
  QAbstractScrollArea::mouseMoveEvent(event);
}

void CKivImageView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) ToolMouse(CRalImgWnd::WM_LBUTTONDOWN, event);
  QAbstractScrollArea::mousePressEvent(event);
}

void CKivImageView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) ToolMouse(CRalImgWnd::WM_LBUTTONUP, event);
  QAbstractScrollArea::mouseReleaseEvent(event);
}

void CKivImageView::ToolMouse(unsigned msg, QMouseEvent* event) {
  if (!m_pDoc || !m_pDoc->GetToolMode()) return;
  unsigned flags = 0;
  if (event->modifiers() & Qt::ShiftModifier) flags |= CRalImgWnd::MK_SHIFT;
  if (event->modifiers() & Qt::ControlModifier) flags |= CRalImgWnd::MK_CONTROL;
  const QPoint p = event->position().toPoint();
  GetImgWnd().OnMouse(m_pDoc->GetToolMode(), msg, flags, POINT{p.x(), p.y()});
}

bool CKivImageView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Leave) emit mouseLeft(this);
  return QAbstractScrollArea::viewportEvent(event);
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
  ScheduleIdleBuild();
}

// Once the picture is on the screen, the display rows around it are
// built in small steps whenever the event loop has nothing else to do.
void CKivImageView::ScheduleIdleBuild() {
  if (m_bIdleQueued || !m_pDoc) return;
  m_bIdleQueued = true;
  QTimer::singleShot(0, this, [this] {
    m_bIdleQueued = false;
    if (m_pDoc && GetImgWnd().BuildIdle()) ScheduleIdleBuild();
  });
}

// ---- CChildFrame

CChildFrame::CChildFrame(CKivImageDoc* doc, QWidget* parent)
    : QMdiSubWindow(parent), m_pDoc(doc), m_pView(new CKivImageView(doc, this)) {
  setAttribute(Qt::WA_DeleteOnClose);
  doc->setParent(this);
  setWidget(m_pView);
  // The child's own window menu closes with Ctrl+W as well; two actions on one key make
  // the key do nothing, so the frame's Close command keeps it alone.
  if (QMenu* menu = systemMenu()) {
    const QKeySequence frameClose(Qt::CTRL | Qt::Key_W);
    for (QAction* a : menu->actions()) {
      QList<QKeySequence> keys = a->shortcuts();
      if (keys.removeAll(frameClose) > 0) a->setShortcuts(keys);
    }
  }
  connect(doc, &CKivImageDoc::titleChanged, this, &CChildFrame::UpdateTitle);
  UpdateTitle();
}

void CChildFrame::UpdateTitle() {
  setWindowTitle(m_pDoc->GetTitle() + QStringLiteral("[*]"));
  setWindowModified(m_pDoc->IsModified());
  // However small the image, the window keeps room for its title (up to a limit) and its
  // three buttons; the view paints the image centred with grey around it.
  QFont bold = font();
  bold.setBold(true);
  const int button = style()->pixelMetric(QStyle::PM_TitleBarButtonSize, nullptr, this);
  const int title = QFontMetrics(bold).horizontalAdvance(m_pDoc->GetTitle() + QStringLiteral("*"));
  const int width = std::clamp(title, 80, 280) + 4 * std::max(button, 16) + 16;
  const int border = 2 * style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, this);
  const int caption = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
  setMinimumSize(width + border, 48 + caption + border);
}

void CChildFrame::KeepInsideArea() {
  QMdiArea* area = mdiArea();
  if (!area || (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))) return;
  const QSize room = area->viewport()->size();
  if (room.isEmpty()) return;
  QRect g = geometry();
  g.setWidth(std::min(g.width(), std::max(room.width(), minimumWidth())));
  g.setHeight(std::min(g.height(), std::max(room.height(), minimumHeight())));
  g.moveLeft(std::clamp(g.left(), 0, std::max(0, room.width() - g.width())));
  g.moveTop(std::clamp(g.top(), 0, std::max(0, room.height() - g.height())));
  if (g != geometry()) setGeometry(g);
}

void CChildFrame::closeEvent(QCloseEvent* event) {
  // A window whose frames are being blinked stays until the blink is stopped.
  if (m_pDoc->GetImgWnd().IsBlink()) {
    AfxMessageBox(app_text::kBlinkRunning, MB_OK | MB_ICONEXCLAMATION);
    event->ignore();
    return;
  }
  // A window a batch run is writing into stays until the run ends or is stopped.
  if (m_pDoc->GetImgWnd().IsBusy()) {
    event->ignore();
    return;
  }
  if (!m_pDoc->SaveModified()) {
    event->ignore();
    return;
  }
  emit closing();
  QMdiSubWindow::closeEvent(event);
}
