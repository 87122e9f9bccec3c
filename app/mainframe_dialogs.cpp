// The main frame's commands that open processing dialogs on a new window: the contour
// map, drawn in a window of its own while the measuring tools' dialogs are put away.
#include <QMdiArea>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "display/qt/ralimgwnd.h"

void CMainFrame::OnContour() {
  CKivImageDoc* doc = ActiveDocument();
  if (!doc || !doc->GetImgWnd().GetImagePtr()) return;
  CRalImgWnd& wnd = doc->GetImgWnd();
  wnd.HideApertureDlg();
  wnd.HidePositioningDlg();
  wnd.HideGraph2DDlg();
  wnd.HideBlinkDlg();
  CVumDocument* made = nullptr;
  (void)wnd.Contour(&made);
  if (made) {
    made->UpdateAllVumViews();
  } else {
    // The new window is gone: the image it was to be made from is worked on again.
    for (CChildFrame* f : Frames())
      if (f->GetDocument() == doc) m_pMdi->setActiveSubWindow(f);
  }
  UpdateCommands();
}
