// CKivImageView: the widget that shows one document's image. It hands its size and
// scroll positions to the image window's view state, paints the bands the window gives
// it, forwards zoom to it, and tells where the mouse is over it. CChildFrame is the MDI
// child that holds the view and asks before a modified document closes.
#pragma once

#include <QAbstractScrollArea>
#include <QMdiSubWindow>
#include <QPointer>

#include "dialogs/vumdialog.h"

class CKivImageDoc;
class CRalImgWnd;
class QPainter;

class CKivImageView : public QAbstractScrollArea, public CVumView {
  Q_OBJECT

 public:
  explicit CKivImageView(CKivImageDoc* doc, QWidget* parent = nullptr);
  ~CKivImageView() override;

  CKivImageDoc* GetDocument() const { return m_pDoc; }
  CRalImgWnd& GetImgWnd() const;

  // Zoom commands: a step up or down (the frame then keeps its size), or one of the
  // magnification codes.
  void ZoomIn();
  void ZoomOut();
  void SetMag(int code);
  // The largest magnification that shows the whole image in the room the window may take
  // (the MDI area for a normal window, the view itself when maximised), the frame then
  // fitted to it.
  void FitToWindow();
  // Lays the view state out for the current widget size and sets the scroll bars from it.
  void UpdateLayout();
  // Draws the visible image onto painter (the view's own paint, and grabs in tests).
  // area (image pixels) limits the drawing to a preview band.
  void DrawImage(QPainter& painter, const RECT* area = nullptr) const;
  // Print magnification in 1/100 percent (10000: 100 %).
  int GetPrintMag() const { return m_nPrintMag; }
  void SetPrintMag(int mag) { m_nPrintMag = mag; }
  int PaintCount() const { return m_nPaints; }

  // The processing dialogs' requests: bands of the preview, the area to process, zoom
  // and scroll; answered by the image window.
  std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;

 signals:
  void painted();
  void zoomChanged(int code);
  // The mouse moved to point (viewport coordinates, as the view state takes them), or
  // left the view. Tracking is on, so moves arrive without a button held.
  void mouseMoved(CKivImageView* view, QPoint point);
  void mouseLeft(CKivImageView* view);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void wheelEvent(QWheelEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  void SyncScrollBars();
  void FitFrame();
  void ScheduleIdleBuild();
  // The document's tool gets the left button's press, moves and release.
  void ToolMouse(unsigned msg, QMouseEvent* event);

  QPointer<CKivImageDoc> m_pDoc;
  int m_nPrintMag = 10000;
  int m_nPaints = 0;
  bool m_bSyncing = false;
  bool m_bFitQueued = false;
  bool m_bIdleQueued = false;
  // Wheel turns with Ctrl not yet a whole notch of zoom (eighths of a degree).
  static constexpr int kWheelNotch = 120;
  int m_nWheelZoom = 0;
};

class CChildFrame : public QMdiSubWindow {
  Q_OBJECT

 public:
  CChildFrame(CKivImageDoc* doc, QWidget* parent = nullptr);
  CKivImageView* GetView() const { return m_pView; }
  CKivImageDoc* GetDocument() const { return m_pDoc; }
  void UpdateTitle();
  // Moves the window back inside its MDI area, shrinking it only where it is larger.
  void KeepInsideArea();

 signals:
  // The document is about to close (nothing refused it): its tool dialog goes with it.
  void closing();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  CKivImageDoc* m_pDoc;
  CKivImageView* m_pView;
};
