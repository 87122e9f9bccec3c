// The open images as the blink dialog lists them: each window's image with its document
// and the colour mode and type it is shown in.
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "display/qt/ralimgwnd.h"

std::vector<BlinkSource> CMainFrame::BlinkSources() const {
  std::vector<BlinkSource> sources;
  for (CChildFrame* f : Frames()) {
    CKivImageDoc* doc = f->GetDocument();
    CRalImgWnd& wnd = doc->GetImgWnd();
    if (!wnd.GetImagePtr() || wnd.GetImagePtr()->IsEmpty()) continue;
    BlinkSource s;
    s.window = &wnd;
    s.document = doc;
    s.image = wnd.GetImagePtr();
    s.mode = wnd.GetColorMode();
    s.type = wnd.GetColorType();
    sources.push_back(s);
  }
  return sources;
}
