// The File menu's data import: a text file of FITS header cards and numbers becomes a new
// image window, through the import dialogs.
#include <memory>

#include "app/kivimagedoc.h"
#include "app/mainframe.h"
#include "app/qtservices.h"
#include "dialogs/dlgeditheader.h"
#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "fileio/qt/dataimportdialogs.h"
#include "fileio/ralimageio.h"
#include "platform/userprompts.h"

void CMainFrame::OnDataImport() {
  FileOpenPrompt prompt;
  prompt.title = "ﾃﾞｰﾀ ｲﾝﾎﾟｰﾄ";
  prompt.filter = "ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt|すべてのﾌｧｲﾙ(*.*)|*.*|";
  prompt.multiSelect = false;
  if (!GetUserPrompts().Ask(prompt) || prompt.paths.empty()) return;
  const std::string& path = prompt.paths.front();
  auto image = std::make_unique<CRalImage>();
  // Spectral data get their axis's world coordinates in the header editor's axis dialog.
  auto spectralAxis = [this](CRalImage& made) { return RunSpectralAxisSettings(made, this); };
  if (!RunDataImport(path, *image, this, spectralAxis)) return;
  CPrcAutoLevel::Do(*image, nullptr);
  auto* doc = new CKivImageDoc;
  doc->GetImgWnd().SetProgressSink(m_pProgress);
  doc->SetVumImage(image.release(), nullptr);
  // Titled after the text it came from; it has no file of its own until it is saved, as
  // FITS among the other formats.
  doc->SetVumTitle(path);
  doc->GetImgWnd().SetSaveableFitsFormat();
  doc->SetVumModified(true);
  CChildFrame* frame = AddFrame(doc);
  doc->GetImgWnd().Update(1);
  ShowFrame(frame);
}
