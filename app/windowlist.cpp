// The Window menu's list: image windows first, as the MDI area orders them, then the tool
// dialogs they have on screen.
#include "app/windowlist.h"

#include <QMdiArea>
#include <QMdiSubWindow>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "display/qt/ralimgwnd.h"
#include "graph/qt/dlggraph2d.h"
#include "measure/qt/dlgaperture.h"
#include "measure/qt/dlgblink.h"
#include "measure/qt/dlgpositioning.h"

std::vector<WindowListEntry> WindowListEntries(QMdiArea* mdi) {
  std::vector<WindowListEntry> entries;
  const QList<QMdiSubWindow*> windows = mdi->subWindowList();
  for (QMdiSubWindow* w : windows) {
    WindowListEntry e;
    e.title = w->windowTitle().remove(QStringLiteral("[*]"));
    e.window = w;
    e.current = w == mdi->activeSubWindow();
    e.activate = [mdi, w] { mdi->setActiveSubWindow(w); };
    entries.push_back(std::move(e));
  }
  for (QMdiSubWindow* w : windows) {
    auto* frame = qobject_cast<CChildFrame*>(w);
    if (!frame || !frame->GetDocument()) continue;
    CRalImgWnd& wnd = frame->GetDocument()->GetImgWnd();
    QWidget* const dialogs[] = {wnd.GetDlgGraph2D(), wnd.GetDlgBlink(), wnd.GetDlgAperture(),
                                wnd.GetDlgApertureRect(), wnd.GetPositionTool().GetDlg()};
    for (QWidget* dialog : dialogs) {
      if (!dialog || !dialog->isVisible()) continue;
      WindowListEntry e;
      e.title = dialog->windowTitle();
      e.window = dialog;
      e.activate = [dialog] {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
      };
      entries.push_back(std::move(e));
    }
  }
  return entries;
}
