// The image window's side of blinking: hosting the blink dialog, preparing the frames in
// the window's geometry, and painting the frame asked for in place of the image. The
// window's own image and display bitmap are never touched while frames are shown, so
// ending the blink paints exactly what was there before.
#include <QObject>
#include <QWidget>
#include <QWindow>
#include <cmath>

#include "dialogs/vumdialog.h"
#include "display/qt/ralimgwnd.h"
#include "measure/qt/dlgblink.h"

namespace {

constexpr int kModeBlink = 2;

void DeleteBlinkDialog(CDlgBlink* dialog) {
  // Deleting hides the dialog, and hiding stops the blink: nothing may reach the window
  // that is going.
  QObject::disconnect(dialog, nullptr, nullptr, nullptr);
  delete dialog;
}

}  // namespace

CDlgBlink* CRalImgWnd::GetDlgBlink() const {
  return m_pDlgBlink.get();
}

void CRalImgWnd::ShowBlinkDlg() {
  if (!m_pImage) return;
  if (!m_pDlgBlink) {
    // A window of its own, owned by this window, as the graph dialog.
    m_pDlgBlink = {new CDlgBlink(this, nullptr), &DeleteBlinkDialog};
    CDlgBlink* dlg = m_pDlgBlink.get();
    // The main frame's tool window: it stays above the frame when the frame is clicked,
    // without the frame owning it.
    if (m_pParent && m_pParent->window()) {
      dlg->setWindowFlag(Qt::Tool);
      dlg->winId();
      if (QWindow* frame = m_pParent->window()->windowHandle())
        dlg->windowHandle()->setTransientParent(frame);
    }
    QObject::connect(dlg, &CDlgBlink::startBlink, dlg, [this](CBlinkTarget* target, bool prepare) {
      if (!StartBlink(target, prepare ? 1 : 0) && m_pDlgBlink) m_pDlgBlink->Stop();
    });
    QObject::connect(dlg, &CDlgBlink::endBlink, dlg, [this] { StopShowingBlink(); });
    QObject::connect(dlg, &CDlgBlink::showFrame, dlg, [this](int frame) { UpdateBlink(frame); });
    QObject::connect(dlg, &CDlgBlink::shiftChanged, dlg,
                     [this](CBlinkTarget* target) { (void)ShiftBlink(target, 1); });
    QObject::connect(dlg, &CDlgBlink::closedByUser, dlg, [this] {
      if (m_ToolDialogClosed) m_ToolDialogClosed(kModeBlink);
    });
  }
  m_pDlgBlink->SetSources([this]() -> std::vector<BlinkSource> {
    if (m_BlinkSources) return m_BlinkSources();
    BlinkSource own;
    own.window = this;
    own.document = m_pDocument;
    own.image = m_pImage.get();
    own.mode = GetColorMode();
    own.type = GetColorType();
    return {own};
  });
  m_pDlgBlink->Refresh();
  m_pDlgBlink->show();
  m_pDlgBlink->raise();
}

void CRalImgWnd::HideBlinkDlg() {
  if (m_pDlgBlink) m_pDlgBlink->hide();
  StopShowingBlink();
}

int CRalImgWnd::IsBlinkDlgShown() const {
  return m_pDlgBlink && m_pDlgBlink->isVisible() ? 1 : 0;
}

int CRalImgWnd::StartBlink(CBlinkTarget* target, int prepare) {
  if (!target || !m_pImage || target->GetCount() == 0) return 0;
  if (prepare || target->GetPreparedCount() != target->GetCount()) {
    target->ReleasePrepared();
    for (int i = 0; i < target->GetCount(); ++i)
      (void)target->PrepareFrame(i, *m_pImage, &m_View, IsLogScale(), m_pProgress);
  }
  m_pBlink = target;
  m_nBlinkFrame = 0;
  Invalidate();
  return 1;
}

void CRalImgWnd::EndBlink() {
  // The dialog's stop comes back here through its signal.
  if (m_pDlgBlink && m_pDlgBlink->IsRunning()) m_pDlgBlink->Stop();
  StopShowingBlink();
}

void CRalImgWnd::StopShowingBlink() {
  if (!m_pBlink) return;
  m_pBlink = nullptr;
  m_nBlinkFrame = 0;
  Invalidate();
}

void CRalImgWnd::UpdateBlink(int frame) {
  if (!m_pBlink) return;
  m_nBlinkFrame = frame;
  Invalidate();
}

int CRalImgWnd::ShiftBlink(CBlinkTarget* target, int redraw) {
  if (redraw && target && target == m_pBlink) Invalidate();
  return 1;
}

void CRalImgWnd::DrawBlink(const DIBBandSink& bands, const FillSink& fill, int frame) {
  fill(m_View.GetWindowRect(), RGB(0, 0, 0));
  CBlinkFrame* prepared = m_pBlink ? m_pBlink->GetPrepared(frame) : nullptr;
  if (prepared) {
    int sx = 0, sy = 0;
    (void)m_pBlink->GetShift(frame, &sx, &sy);
    // Whole image pixels to screen pixels at the view's magnification.
    const double f = CViewInfo::nMagTofMag(m_View.GetMag());
    const int dx = static_cast<int>(std::lround(sx * f));
    const int dy = static_cast<int>(std::lround(sy * f));
    CImageBuffer& buffer = *prepared->buffer;
    // Only rows the view needs and the frame does not have yet (after a zoom) are built.
    buffer.Prepare();
    if (CBaseDIB* reduced = m_View.GetMag() < 1 ? buffer.GetReducedDIB() : nullptr)
      (void)m_View.ShowReducedImage(*reduced, buffer.GetReduction(), nullptr, bands, dx, dy);
    else if (buffer.GetDIB())
      (void)m_View.ShowImage(*buffer.GetDIB(), nullptr, bands, dx, dy);
  }
  RECT r;
  if (m_View.GetLeftMarginRect(&r)) fill(r, RGB(128, 128, 128));
  if (m_View.GetRightMarginRect(&r)) fill(r, RGB(128, 128, 128));
  if (m_View.GetTopMarginRect(&r)) fill(r, RGB(128, 128, 128));
  if (m_View.GetBottomMarginRect(&r)) fill(r, RGB(128, 128, 128));
}
