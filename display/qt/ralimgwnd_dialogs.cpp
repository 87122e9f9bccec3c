// The image window's commands that run the single-image processing dialogs: each works
// on a working copy through RunDialog, except the contour map, which is drawn in a new
// window made from a copy of this image while this one stays as it is.
#include <memory>
#include <string>

#include "dialogs/dlgcalc.h"
#include "dialogs/dlgdarkflat.h"
#include "dialogs/dlgimageops.h"
#include "dialogs/vumdialog.h"
#include "display/qt/ralimgwnd.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

// The marks follow the move each of these dialogs made of the image it was given.
int CRalImgWnd::Rotate() {
  CDlgRotate dialog(m_pParent);
  return RunDialog(dialog, [&](const CRalImage& before) {
    return dialog.GetPixelMove(before.GetWidth(), before.GetHeight());
  });
}

int CRalImgWnd::Resolution() {
  CDlgResolution dialog(m_pParent);
  return RunDialog(dialog, [&](const CRalImage& before) {
    return dialog.GetPixelMove(before.GetWidth(), before.GetHeight());
  });
}

int CRalImgWnd::Translate() {
  CDlgScroll dialog(m_pParent);
  return RunDialog(dialog, [&](const CRalImage& before) {
    return dialog.GetPixelMove(before.GetWidth(), before.GetHeight());
  });
}

int CRalImgWnd::OverScan() {
  CDlgOverscan dialog(m_pParent);
  return RunDialog(dialog);
}

int CRalImgWnd::DarkFlat() {
  CDlgDarkFlat dialog(m_pParent);
  return RunDialog(dialog);
}

int CRalImgWnd::Calc(int operation) {
  CDlgCalc dialog(m_pParent);
  dialog.SetOperation(operation);
  return RunDialog(dialog);
}

int CRalImgWnd::Contour(CVumDocument** newDocument) {
  if (newDocument) *newDocument = nullptr;
  if (!m_pImage) return 0;
  const std::string title = m_pDocument ? m_pDocument->GetVumTitle() : std::string("NewImage.fts");
  const std::string name = CVumDoc::MakeTitle(title, "-contour", "");
  CVumDocument* doc = nullptr;
  CRalImage* image = nullptr;
  if (!CVumDoc::MakeNewDocument(m_pImage->GetBitsPixel(), m_pImage->GetWidth(),
                                m_pImage->GetHeight(), m_pImage->GetPlanes(), name, &doc, &image,
                                0) ||
      !doc || !image)
    return 0;
  *image = *m_pImage;
  image->SetContourMap(1);
  image->SetProgressSink(m_pProgress);
  doc->UpdateAllVumViews();

  // The new image is written, this one only read: it serves as the dialog's source and
  // keeps what its own undo would take back.
  const std::string undoName = m_pImage->GetUndoDialogName();
  CDlgContour dialog(m_pParent);
  dialog.Set(doc, image, m_pImage.get());
  const int result = dialog.DoModal();
  m_pImage->SetUndoDialogName(undoName);
  if (result != QDialog::Accepted || dialog.GetErrorFlag()) {
    doc->CloseVum();
    return 0;
  }
  doc->UpdateAllVumViews();
  const std::string path = m_pDocument ? m_pDocument->GetVumPathName() : std::string();
  const std::size_t slash = path.find_last_of('/');
  doc->SetVumPathName(slash == std::string::npos ? name : path.substr(0, slash + 1) + name);
  if (newDocument) *newDocument = doc;
  return 0;
}
