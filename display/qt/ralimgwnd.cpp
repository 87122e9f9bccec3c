// The image window's reading, saving, display rebuild and painting.
#include "display/qt/ralimgwnd.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>

#include <QDialog>

#include "dialogs/dlgautolevel.h"
#include "dialogs/dlgcomposit.h"
#include "dialogs/dlgeditheader.h"
#include "dialogs/dlglevel.h"
#include "dialogs/vumdialog.h"
#include "engine/imgflip.h"
#include "engine/imgpixelinfo.h"
#include "engine/imgtables.h"
#include "engine/pixelmove.h"

#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "measure/qt/dlgaperture.h"
#include "platform/memhints.h"
#include "platform/messagebox.h"
#include "solve/platesolve.h"

CRalImgProc::CRalImgProc() = default;
CRalImgProc::~CRalImgProc() = default;

int CRalImgProc::ReadFile(const std::string& path) {
  if (!m_pImage) m_pImage = std::make_unique<CRalImage>();
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  if (param.GetFileType() == FILETYPE_RAW && !CRalImageIO::GetLoadRawParam(path, &param)) {
    m_pImage.reset();
    return 0;
  }
  int autoLevel = 0;
  try {
    if (!CRalImageIO::ReadFile(*m_pImage, path, &param, -32, &autoLevel)) {
      m_pImage.reset();
      return 0;
    }
    CRalImage& image = *m_pImage;
    if (!image.HasOwnLevel() && autoLevel) CPrcAutoLevel::Do(image, nullptr);
    for (int p = 0; p < image.GetPlanes(); ++p)
      image.SetOrgDefaultLevel(p, image.GetLevelMin(p), image.GetLevelMax(p));
    // The read's band buffers and the levels' samples are gone: their pages go back
    // before the window builds its display rows, which would otherwise add to them.
    ReturnFreedHeap();
  } catch (const std::bad_alloc&) {
    m_pImage.reset();
    return 0;
  }
  // The type read: a file whose name tells no format may have been read as FITS.
  m_nFileType = param.GetFileType() != FILETYPE_UNKNOWN ? param.GetFileType()
                                                        : CRalImageIO::GetFileType(path);
  return 1;
}

int CRalImgProc::WriteFile(const std::string& path) {
  if (!m_pImage) return 0;
  return CRalImageIO::WriteImageFile(*m_pImage, path, 1) == 1 ? 1 : 0;
}

void CRalImgProc::SetImagePrt(CRalImage* image) {
  m_pUndoImage.reset();
  m_pImage.reset(image);
}

int CRalImgProc::IsSaveableFitsFormat() const {
  switch (m_nFileType) {
    case 3:
    case 4:
    case 5:
    case 6:
    case 10:
    case 13:
      return 1;
    default:
      return 0;
  }
}

int CRalImgProc::MakeUndoBuff() {
  if (!m_pImage) return 0;
  try {
    auto copy = std::make_unique<CRalImage>();
    if (!copy->CopyImage(*m_pImage)) return 0;
    m_pUndoImage = std::move(copy);
    m_pImage.swap(m_pUndoImage);
    m_pImage->SetUndoMode(0);
    m_pUndoImage->SetUndoMode(1);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

void CRalImgProc::Undo() {
  if (m_pUndoImage) m_pImage.swap(m_pUndoImage);
}

// ---- CRalImgWnd

struct CRalImgWnd::UndoMarks {
  CAperture aperture;
  CApertureRect rect;
  CPositioning positions;
};

CRalImgWnd::CRalImgWnd() = default;
CRalImgWnd::~CRalImgWnd() = default;

int CRalImgWnd::ReadFile(const std::string& path) {
  if (!m_pImage) m_pImage = std::make_unique<CRalImage>();
  m_pImage->SetProgressSink(m_pProgress);
  if (!CRalImgProc::ReadFile(path)) {
    m_ApertureTool.SetImage(m_pImage.get());
    m_PositionTool.SetImage(m_pImage.get());
    return 0;
  }
  m_ApertureTool.SetImage(m_pImage.get());
  m_PositionTool.SetImage(m_pImage.get());
  m_SavedHeader = m_pImage->m_FitsHeader;
  m_bHeaderEdited = 0;
  UpdateAverage();
  m_ApertureTool.AfterRead(m_pImage.get());
  m_PositionTool.AfterRead(m_pImage.get());
  return 1;
}

int CRalImgWnd::WriteFile(const std::string& path) {
  if (!m_pImage) return 0;
  CRalImage& image = *m_pImage;
  const bool fits = CRalImageIO::GetSaveFileType(image, path) == FILETYPE_FITS;
  if (fits && m_bHeaderEdited) {
    const int answer =
        AfxMessageBox(wnd_text::kSaveHeaderQuestion, MB_YESNOCANCEL | MB_ICONQUESTION);
    if (answer == IDCANCEL) return 0;
    if (answer == IDNO) {
      // The header as it was saved comes back, and the attributes follow it.
      image.m_FitsHeader.DeleteAll();
      for (const std::string& card : m_SavedHeader.Cards()) (void)CFits::UpdateHeader(image, card);
    }
    m_bHeaderEdited = 0;
  }
  // Measurement results that changed since the file was read are asked about.
  if (fits && !m_ApertureTool.BeforeFitsSave(image)) return 0;
  if (fits && !m_PositionTool.BeforeFitsSave(image)) return 0;
  if (!CRalImgProc::WriteFile(path)) return 0;
  m_SavedHeader = image.m_FitsHeader;
  return 1;
}

void CRalImgWnd::SetImagePrt(CRalImage* image) {
  CRalImgProc::SetImagePrt(image);
  if (m_pImage) m_pImage->SetProgressSink(m_pProgress);
  m_bBufferCreated = false;
  m_Buffer.Empty();
  UpdateAverage();
  m_ApertureTool.SetImage(m_pImage.get());
  m_PositionTool.SetImage(m_pImage.get());
  m_pUndoMarks.reset();
}

void CRalImgWnd::Undo() {
  if (!m_pUndoImage) return;
  const int width = m_pImage ? m_pImage->GetWidth() : 0,
            height = m_pImage ? m_pImage->GetHeight() : 0;
  CRalImgProc::Undo();
  // Marks that a command moved go back with the image; undoing again brings them again.
  if (m_pUndoMarks) {
    m_ApertureTool.GetAperture().SwapMarks(m_pUndoMarks->aperture);
    m_ApertureTool.GetApertureRect().SwapMarks(m_pUndoMarks->rect);
    m_PositionTool.GetPositioning().SwapMarks(m_pUndoMarks->positions);
  }
  m_ApertureTool.SetImage(m_pImage.get());
  m_PositionTool.SetImage(m_pImage.get());
  if (m_pUndoMarks) {
    m_ApertureTool.UpdateLists();
    m_PositionTool.UpdateList();
  }
  // The image carries its logarithmic display; the one taken back shows as it was.
  (void)m_Buffer.SetLogScale(m_pImage->GetLogScale());
  Update(1);
  UpdateAverage();
  ResetTools();
  // Taking back a rotation or a new resolution changes the size: the view lays out again.
  if (m_ViewChanged && (m_pImage->GetWidth() != width || m_pImage->GetHeight() != height))
    m_ViewChanged(1);
}

void CRalImgWnd::Update(int showProgress) {
  CRalImage* image = m_pImage.get();
  if (!image) return;
  // A whole rebuild supersedes any band still to come.
  m_bPreviewPending = 0;
  ClearPendingRect();
  const bool sizeChanged = !m_bBufferCreated || m_Buffer.GetDIB() == nullptr ||
                           m_Buffer.GetWidth() != image->GetWidth() ||
                           m_Buffer.GetHeight() != image->GetHeight();
  if (sizeChanged) {
    m_View.SetImageSize(image->GetWidth(), image->GetHeight());
    m_bBufferCreated = m_Buffer.Create(32, image, nullptr, nullptr, nullptr) != 0;
    if (!m_bBufferCreated) AfxMessageBox(wnd_text::kNoDisplayMemory, MB_OK | MB_ICONEXCLAMATION);
  }
  if (m_bBufferCreated) {
    m_Buffer.SetViewInfo(&m_View);
    // Nothing is mapped here but what the view shows; before the window has a size, that
    // is nothing, and the first paint builds its rows. A screenful is built too quickly
    // to be worth a progress display, so showProgress is not needed.
    (void)showProgress;
    m_Buffer.Invalidate(image, nullptr);
    m_Buffer.Prepare();
  }
  if (m_Invalidate) m_Invalidate();
}

void CRalImgWnd::Draw(const DIBBandSink& bands, const FillSink& fill, const RECT* area) {
  if (m_pBlink) {
    DrawBlink(bands, fill, m_nBlinkFrame);
    return;
  }
  const RECT client = m_View.GetWindowRect();
  if (m_bBufferCreated && m_Buffer.GetDIB()) {
    const RECT* part = area && area->Width() > 0 ? area : nullptr;
    m_Buffer.Prepare(part);
    if (CBaseDIB* reduced = m_View.GetMag() < 1 ? m_Buffer.GetReducedDIB() : nullptr)
      (void)m_View.ShowReducedImage(*reduced, m_Buffer.GetReduction(), part, bands);
    else
      (void)m_View.ShowImage(*m_Buffer.GetDIB(), part, bands);
  } else {
    fill(client, RGB(255, 0, 0));
    return;
  }
  RECT r;
  if (m_View.GetLeftMarginRect(&r)) fill(r, RGB(128, 128, 128));
  if (m_View.GetRightMarginRect(&r)) fill(r, RGB(128, 128, 128));
  if (m_View.GetTopMarginRect(&r)) fill(r, RGB(128, 128, 128));
  if (m_View.GetBottomMarginRect(&r)) fill(r, RGB(128, 128, 128));
}

int CRalImgWnd::SetColorMode(CImageBuffer::COLOR_MODE mode, CImageBuffer::COLOR_TYPE type) {
  if (!m_Buffer.SetColorMode(mode, type)) return 0;
  Update(1);
  return 1;
}

int CRalImgWnd::SetLogScale(int on) {
  if (!m_Buffer.SetLogScale(on)) return 0;
  if (m_pImage) m_pImage->SetLogScale(on);
  Update(1);
  return 1;
}

int CRalImgWnd::OnLevelSlider(int lower, double percent) {
  if (!m_pImage || !std::isfinite(percent)) return 0;
  float low = 0, high = 0;
  m_Buffer.GetLevel(&low, &high);
  // Levels are floats in the buffer: a thumb dragged far beyond the span stops at
  // their range.
  const auto level =
      static_cast<float>(std::clamp(low + percent / 100.0 * (static_cast<double>(high) - low),
                                    -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
  if (lower)
    m_Buffer.SetLevel(level, high);
  else
    m_Buffer.SetLevel(low, level);
  Update(1);
  return 1;
}

int CRalImgWnd::BuildIdle(std::int64_t maxPixels) {
  if (!m_pImage) return 0;
  return m_bBufferCreated && m_Buffer.BuildIdle(maxPixels) ? 1 : 0;
}

double CRalImgWnd::GetAverage(int i) const {
  if (i < 0 || i >= 4) return 0.0;
  if (!m_bAverageValid) ComputeAverage();
  return m_dAverage[i];
}

void CRalImgWnd::ComputeAverage() const {
  for (double& a : m_dAverage) a = 0;
  m_bAverageValid = true;
  if (!m_pImage) return;
  const CRalImage& image = *m_pImage;
  CImgPixelInfo(image).Calc(RECT{0, 0, image.GetWidth(), image.GetHeight()}, &m_dAverage[0],
                            &m_dAverage[1], &m_dAverage[2], &m_dAverage[3]);
  if (image.GetPlanes() < 3) m_dAverage[1] = m_dAverage[2] = 0.0;
}

void CRalImgWnd::ShowApertureDlg() {
  m_ApertureTool.ShowDialog(
      m_pParent,
      [this] {
        if (m_Invalidate) m_Invalidate();
      },
      [this] { SetMarksHidden(0); });
}

void CRalImgWnd::ShowPositioningDlg() {
  m_PositionTool.ShowDialog(
      m_pParent,
      [this] {
        if (m_Invalidate) m_Invalidate();
      },
      [this] { SetMarksHidden(0); });
}

int CRalImgWnd::AskApertureMode(int* mode) {
  return CDlgApertureMode::Ask(m_pParent, mode);
}

void CRalImgWnd::OnMouse(int mode, unsigned message, unsigned flags, POINT point) {
  // A press that makes or takes a mark while the marks are hidden shows them again: what
  // the user adds is seen.
  if (message == WM_LBUTTONDOWN && m_bMarksHidden && m_pImage &&
      (mode == 1 || mode == 3 || mode == 4 || mode == 5))
    SetMarksHidden(0);
  if (mode != 4 && mode != 5) {
    OnMouseTools(mode, message, flags, point);
    return;
  }
  POINT pixel{0, 0};
  if (!m_View.PtViewToImage(point, &pixel)) pixel = POINT{0, 0};
  // Three screen pixels of reach, never less than a pixel of the image.
  m_ApertureTool.SetPickTolerance(std::max(1.0, 3.0 / CViewInfo::nMagTofMag(m_View.GetMag())));
  if (mode == 4 && m_ApertureTool.OnMouseAperture(message, flags, pixel, m_pImage.get()) &&
      m_Invalidate)
    m_Invalidate();
  if (mode == 5 && m_PositionTool.OnMousePositioning(message, flags, pixel, m_pImage.get()) &&
      m_Invalidate)
    m_Invalidate();
}

void CRalImgWnd::SetParentWnd(QWidget* parent, CVumDocument* doc) {
  m_pParent = parent;
  m_pDocument = doc;
}

// ---- image commands

int CRalImgWnd::MakeUndoBuff() {
  if (!CRalImgProc::MakeUndoBuff()) {
    if (m_pImage) AfxMessageBox(wnd_text::kNoMemory, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  m_pImage->SetProgressSink(m_pProgress);
  m_ApertureTool.SetImage(m_pImage.get());
  m_PositionTool.SetImage(m_pImage.get());
  // Both images stand under the same marks until a command moves the pixels.
  m_pUndoMarks.reset();
  return 1;
}

void CRalImgWnd::MarksFollow(const CPixelMove& move, const CImage& before) {
  auto kept = std::make_unique<UndoMarks>(UndoMarks{m_ApertureTool.GetAperture(),
                                                    m_ApertureTool.GetApertureRect(),
                                                    m_PositionTool.GetPositioning()});
  if (move.KeepsPositions()) {
    m_ApertureTool.FollowPixelMove(move, m_pImage.get());
    m_PositionTool.FollowPixelMove(move, m_pImage.get());
  } else {
    const bool had = m_ApertureTool.GetLiveCount() > 0 ||
                     m_PositionTool.GetPositioning().GetLiveCount() > 0 ||
                     CImgTables::Count(before) > 0;
    m_ApertureTool.Reset();
    m_PositionTool.Reset();
    if (had) AfxMessageBox(wnd_text::kMeasurementsDropped, MB_OK | MB_ICONINFORMATION);
  }
  m_pUndoMarks = std::move(kept);
  Invalidate();
}

int CRalImgWnd::RunDialog(CVumDialog& dialog) {
  return RunDialog(dialog, {});
}

int CRalImgWnd::MakeUndoBuffKeeping(KeptUndo* kept) {
  kept->image = std::move(m_pUndoImage);
  kept->marks = std::move(m_pUndoMarks);
  return MakeUndoBuff() ? 1 : PutUndoBack(*kept, false);
}

int CRalImgWnd::PutUndoBack(KeptUndo& kept, bool takeBack) {
  if (takeBack) Undo();
  m_pUndoImage = std::move(kept.image);
  m_pUndoMarks = std::move(kept.marks);
  return 0;
}

int CRalImgWnd::RunWork(const std::function<int(CVumDocument*, CRalImage*, CRalImage*)>& work) {
  if (!m_pImage || m_bBusy || !work) return 0;
  KeptUndo kept;
  if (!MakeUndoBuffKeeping(&kept)) return 0;
  m_bBusy = true;
  const int done = work(m_pDocument, m_pImage.get(), m_pUndoImage.get());
  m_bBusy = false;
  if (done) {
    Update(1);
    UpdateAverage();
    m_ApertureTool.Reset();
    m_PositionTool.Reset();
    return 1;
  }
  return PutUndoBack(kept, true);
}

int CRalImgWnd::RunDialog(CVumDialog& dialog,
                          const std::function<CPixelMove(const CRalImage& before)>& moveOf) {
  // A dialog that is cancelled, or that leaves this image as it was (a stack into a new
  // window), leaves the last change's undo in place, with the marks that go with it.
  KeptUndo kept;
  if (!MakeUndoBuffKeeping(&kept)) return 0;
  dialog.Set(m_pDocument, m_pImage.get(), m_pUndoImage.get());
  const int result = dialog.DoModal();
  if (result == QDialog::Accepted && !dialog.GetErrorFlag()) {
    Update(1);
    // A rotation or a new resolution leaves an image of another size: scroll bars and
    // frame follow it.
    if (m_ViewChanged && (m_pImage->GetWidth() != m_pUndoImage->GetWidth() ||
                          m_pImage->GetHeight() != m_pUndoImage->GetHeight()))
      m_ViewChanged(1);
    if (!dialog.IsImageChanged()) return PutUndoBack(kept, false);
    UpdateAverage();
    if (moveOf) {
      MarksFollow(moveOf(*m_pUndoImage), *m_pUndoImage);
    } else {
      m_ApertureTool.Reset();
      m_PositionTool.Reset();
    }
    return 1;
  }
  // What the dialog had done is gone for good: an undo must not bring back a cancelled
  // result.
  return PutUndoBack(kept, true);
}

int CRalImgWnd::Level() {
  CDlgLevel dialog(m_pParent);
  return RunDialog(dialog);
}

int CRalImgWnd::AutoContrastSetting() {
  CDlgAutoLevel dialog(m_pParent);
  return RunDialog(dialog);
}

int CRalImgWnd::Composit() {
  CDlgComposit dialog(m_pParent);
  return RunDialog(dialog);
}

int CRalImgWnd::FitsHeader() {
  if (!m_pImage) return 0;
  // The dispersion-axis settings change the working image's attributes; Cancel brings
  // back the image as it was, and with it the undo of the command before.
  KeptUndo kept;
  if (!MakeUndoBuffKeeping(&kept)) return 0;
  auto unchanged = [&] { return PutUndoBack(kept, true); };
  // The cards as a save would write them (type, size, scaling and the image's attributes
  // composed in), not as they came from the file.
  CFitsHeader shown;
  if (CRalImageIO::FormatSaveHeader(*m_pImage, &shown) != 1) return unchanged();
  CDlgEditHeader dialog(m_pParent);
  dialog.m_Header = shown;
  dialog.Set(m_pDocument, m_pImage.get(), m_pUndoImage.get());
  if (dialog.DoModal() != QDialog::Accepted || dialog.GetErrorFlag()) return unchanged();
  const bool axisChanged = dialog.GetHeaderEdited() != 0;
  if (!axisChanged && dialog.m_Header == shown) return unchanged();
  m_pImage->m_FitsHeader = dialog.m_Header;
  m_bHeaderEdited = 1;
  if (axisChanged) m_pImage->SetOverwriteAllowed(0);
  Update(1);
  return 1;
}

int CRalImgWnd::ApplyPlateSolution(const PlateSolution& solution) {
  if (!m_pImage) return 0;
  KeptUndo kept;
  if (!MakeUndoBuffKeeping(&kept)) return 0;
  if (PlateSolveApply(*m_pImage, solution) != 0) return PutUndoBack(kept, true);
  SetUndoName(wnd_text::kPlateSolveUndo);
  Update(1);
  return 1;
}

namespace {

// An undo copy, then op on the working image with the untouched one as its source.
template <typename Op>
int RunDirect(CRalImgWnd& wnd, Op op) {
  if (!wnd.MakeUndoBuff()) return 0;
  CRalImage* image = wnd.GetImagePtr();
  if (!op(*image, *wnd.GetUndoImagePtr())) {
    wnd.Undo();
    return 0;
  }
  wnd.Update(1);
  return 1;
}

}  // namespace

int CRalImgWnd::Horizontal() {
  const int changed = RunDirect(*this, [](CRalImage& image, const CRalImage& undo) {
    return CImgFlip(image).Do(1, &undo, 1);
  });
  if (changed)
    MarksFollow(CPixelMove::Mirror(m_pImage->GetWidth(), m_pImage->GetHeight(), true),
                *m_pUndoImage);
  return changed;
}

int CRalImgWnd::Vertical() {
  const int changed = RunDirect(*this, [](CRalImage& image, const CRalImage& undo) {
    return CImgFlip(image).Do(0, &undo, 1);
  });
  if (changed)
    MarksFollow(CPixelMove::Mirror(m_pImage->GetWidth(), m_pImage->GetHeight(), false),
                *m_pUndoImage);
  return changed;
}

int CRalImgWnd::Flip() {
  const int changed = RunDirect(*this, [](CRalImage& image, const CRalImage& undo) {
    return CImgInvert(image).Do(&undo, nullptr, 0);
  });
  if (changed) UpdateAverage();
  return changed;
}

int CRalImgWnd::AutoLevel(const std::string& name) {
  if (!MakeUndoBuff()) return 0;
  SetUndoName(name);
  if (!CPrcAutoLevel::Do(*m_pImage, nullptr)) {
    Undo();
    return 0;
  }
  Update(1);
  return 1;
}

void CRalImgWnd::SetUndoName(const std::string& name) {
  if (m_pImage) m_pImage->SetUndoDialogName(name);
  if (m_pUndoImage) m_pUndoImage->SetUndoDialogName(name);
}

int CRalImgWnd::LevelAtLoad() {
  if (!m_pImage) return 0;
  CRalImage& image = *m_pImage;
  const int planes = image.GetPlanes();
  for (int p = 0; p < planes; ++p)
    image.SetLevel(p, image.GetOrgDefaultLevelMin(p), image.GetOrgDefaultLevelMax(p));
  Update(1);
  return 1;
}

// ---- progressive preview

std::intptr_t CRalImgWnd::OnVumMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  RECT* rect = reinterpret_cast<RECT*>(wParam);
  switch (msg) {
    case WM_LEVEL_SLIDER: {
      const auto* percent = reinterpret_cast<const double*>(lParam);
      return percent ? OnLevelSlider(wParam != 0, *percent) : 0;
    }
    case vum::WM_VUM_REDRAW:
      PreView(rect);
      return 1;
    case vum::WM_VUM_PREVIEW_INIT:
      InitPreView(static_cast<int>(wParam));
      return 1;
    case vum::WM_VUM_PREVIEW_BAND:
      return rect ? GetPreViewRect(rect) : 0;
    case vum::WM_VUM_GET_IMAGE: {
      // The answer goes through the pointer, and is the result as well.
      if (wParam) *reinterpret_cast<CRalImage**>(wParam) = m_pImage.get();
      return reinterpret_cast<std::intptr_t>(m_pImage.get());
    }
    case vum::WM_VUM_SELECTED_RECT:
      return rect ? OnGetSelectedRect(rect) : 0;
    case vum::WM_VUM_ZOOM: {
      const int changed = wParam == 0 ? ZoomUp() : ZoomDown();
      if (changed && m_ViewChanged) m_ViewChanged(1);
      return changed;
    }
    case vum::WM_VUM_SCROLL:
      PreViewScroll(static_cast<int>(wParam));
      return 1;
    default:
      return 0;
  }
}

void CRalImgWnd::InitPreView(int n) {
  const int width = m_pImage ? m_pImage->GetWidth() : 0;
  const int height = m_pImage ? m_pImage->GetHeight() : 0;
  m_nBandTop = m_View.GetVisibleImageRect().top;
  m_bPreviewPending = 1;
  if (n == 0) n = 100;
  // MulDiv(n, 2000, width): rounded to the nearest.
  long long band = width > 0 ? (static_cast<long long>(n) * 2000 + width / 2) / width : 1;
  const int mag = m_View.GetMag();
  if (mag >= 1) band = std::max<long long>(band, 10LL << std::min(mag - 1, 30));
  m_nBandHeight = static_cast<int>(std::clamp<long long>(band, 1, std::max(1, height)));
}

int CRalImgWnd::GetPreViewRect(RECT* rect) {
  const RECT visible = m_View.GetVisibleImageRect();
  rect->left = visible.left;
  rect->right = visible.right;
  rect->top = m_nBandTop;
  rect->bottom = std::min(m_nBandTop + std::max(1, m_nBandHeight), visible.bottom);
  if (rect->bottom < rect->top) rect->bottom = rect->top;
  m_nBandTop += std::max(1, m_nBandHeight);
  return rect->bottom < visible.bottom ? 1 : 0;
}

void CRalImgWnd::PreView(const RECT* rect) {
  if (!m_pImage || !m_bBufferCreated) return;
  m_Buffer.UpdateShown(m_pImage.get(), rect, rect ? 0 : 1);
  if (!rect) {
    ClearPendingRect();
    if (m_Invalidate) m_Invalidate();
    return;
  }
  // The screen area of the band: the blocks of its first and last pixels.
  RECT first{}, last{};
  const bool a = m_View.PtImageToView(POINT{rect->left, rect->top}, &first) != 0;
  const bool b = m_View.PtImageToView(POINT{rect->right - 1, rect->bottom - 1}, &last) != 0;
  UnionRect(&m_rcPending, m_rcPending, *rect);
  if (a && b && m_InvalidateRect) {
    const RECT screen{first.left, first.top, last.right, last.bottom};
    UnionRect(&m_rcPendingScreen, m_rcPendingScreen, screen);
    m_InvalidateRect(screen);
  } else {
    ClearPendingRect();
    if (m_Invalidate) m_Invalidate();
  }
}

void CRalImgWnd::PreViewScroll(int direction) {
  const int bar = direction == 1 || direction == 2 ? 0 : direction == 4 || direction == 8 ? 1 : -1;
  if (bar >= 0) {
    const RECT client = m_View.GetWindowView();
    const int length = bar == 0 ? client.Width() : client.Height();
    const int step = std::max(1, m_View.DeMag(length) / 10);
    const SCROLLBARSTATE state = m_View.GetScrollBar(bar);
    int pos = state.pos + (direction == 1 || direction == 4 ? -step : step);
    pos = std::clamp(pos, 0, std::max(0, state.max));
    if (state.shown && pos != state.pos) {
      m_View.SetScrollPos(bar, pos);
      if (m_ViewChanged) m_ViewChanged(0);
    }
  }
  if (m_Invalidate) m_Invalidate();
}

int CRalImgWnd::OnUpdateView(int* full) {
  if (!m_bPreviewPending || m_bPreviewRunning) return 0;
  m_bPreviewRunning = 1;
  RECT band{};
  const int more = GetPreViewRect(&band);
  if (band.Width() > 0 && band.Height() > 0) PreView(&band);
  if (!more) {
    m_bPreviewPending = 0;
    const RECT visible = m_View.GetVisibleImageRect();
    const bool whole = m_pImage && visible.left == 0 && visible.top == 0 &&
                       visible.right == m_pImage->GetWidth() &&
                       visible.bottom == m_pImage->GetHeight();
    if (full && (m_View.GetMag() <= 1 || whole)) *full = 1;
  }
  m_bPreviewRunning = 0;
  return 1;
}

int CRalImgWnd::OnGetSelectedRect(RECT* rect) const {
  *rect = RECT{0, 0, m_pImage ? m_pImage->GetWidth() : 0, m_pImage ? m_pImage->GetHeight() : 0};
  return -1;
}
