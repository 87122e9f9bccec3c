// The main frame's commands that open processing dialogs on a new window: the contour
// map, drawn in a window of its own while the measuring tools' dialogs are put away; and
// the light-curve dialog over the photometry marks of the active window; plate solving of
// the active image.
#include <QMdiArea>
#include <QStatusBar>

#include <algorithm>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "graph/qt/dlglightcurve.h"
#include "measure/phottable.h"
#include "platform/messagebox.h"
#include "solve/qt/dlgplatesolve.h"
#include "wcs/wcstext.h"

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

CDlgLightCurve* CMainFrame::LightCurveDialog() const {
  return m_pLightCurve;
}

void CMainFrame::OnLightCurve() {
  if (!m_pLightCurve) {
    m_pLightCurve = new CDlgLightCurve(this);
    m_pLightCurve->setAttribute(Qt::WA_DeleteOnClose);
    // The stars are those the aperture tool measured on the active window, in the order of
    // their numbers: the tool already places, centres and shows them on the image, and
    // keeps them with the file. Positions are 0-based pixels of that window's image.
    m_pLightCurve->onTakeMarks = [this] {
      std::vector<LightCurveMark> stars;
      CKivImageDoc* doc = ActiveDocument();
      if (!doc || !doc->GetImgWnd().GetImagePtr()) return stars;
      const CAperture& ap = doc->GetImgWnd().GetApertureTool().GetAperture();
      std::vector<const CApertureMark*> marks;
      for (int i = 0; i < ap.GetMarkCount(); ++i) {
        const CApertureMark& m = ap.GetMark(i);
        if (m.m_nType == CApertureMark::STAR && !m.m_bDeleted) marks.push_back(&m);
      }
      std::stable_sort(marks.begin(), marks.end(),
                       [](const CApertureMark* a, const CApertureMark* b) {
                         return a->m_nNumber < b->m_nNumber;
                       });
      const CRalImage& image = *doc->GetImgWnd().GetImagePtr();
      for (const CApertureMark* m : marks)
        stars.push_back({m->m_dCx, m->m_dCy, PhotShownX(m->m_dCx), PhotShownY(image, m->m_dCy)});
      return stars;
    };
    m_pLightCurve->TakeMarks();
  }
  m_pLightCurve->show();
  m_pLightCurve->raise();
  m_pLightCurve->activateWindow();
}

void CMainFrame::OnPlateSolve() {
  CKivImageDoc* doc = ActiveDocument();
  if (!doc || !doc->GetImgWnd().GetImagePtr()) return;
  CRalImgWnd& wnd = doc->GetImgWnd();
  if (wnd.GetImagePtr()->GetPlanes() != 1) {
    AfxMessageBox(platesolve_text::kColour, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  CDlgPlateSolve dialog(wnd.GetImagePtr(), this);
  if (dialog.exec() != QDialog::Accepted) return;
  if (!wnd.ApplyPlateSolution(dialog.Solution())) {
    AfxMessageBox(wnd_text::kSolutionRefused, MB_OK | MB_ICONEXCLAMATION);
    UpdateCommands();
    return;
  }
  doc->SetModifiedFlag(true);
  UpdateCommands();
  // The solution in a line: the centre as the information bar writes it, scale, rotation.
  PlateSolveSummary s;
  if (PlateSolveSummarize(*wnd.GetImagePtr(), &s)) {
    tagAD centre{};
    centre.a = s.ra;
    centre.d = s.dec;
    statusBar()->showMessage(
        QString::fromUtf8(platesolve_text::kSolved)
            .arg(QString::fromStdString(WcsCelestialText(*wnd.GetImagePtr(), centre)))
            .arg(s.scale, 0, 'f', 3)
            .arg(s.rotation, 0, 'f', 2));
  }
}
