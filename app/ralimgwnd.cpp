// The image window's reading, saving, display rebuild and painting.
#include "app/ralimgwnd.h"

#include <new>

#include "app/apptexts.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "platform/messagebox.h"

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
  } catch (const std::bad_alloc&) {
    m_pImage.reset();
    return 0;
  }
  m_nFileType = CRalImageIO::GetFileType(path);
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
    case 3: case 4: case 5: case 6: case 10: case 13: return 1;
    default: return 0;
  }
}

int CRalImgProc::MakeUndoBuff() {
  if (!m_pImage) return 0;
  try {
    auto copy = std::make_unique<CRalImage>();
    if (!copy->Create(*m_pImage) || !copy->CopyImage(*m_pImage)) return 0;
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

CRalImgWnd::CRalImgWnd() = default;
CRalImgWnd::~CRalImgWnd() = default;

int CRalImgWnd::ReadFile(const std::string& path) {
  if (!m_pImage) m_pImage = std::make_unique<CRalImage>();
  m_pImage->SetProgressSink(m_pProgress);
  if (!CRalImgProc::ReadFile(path)) return 0;
  m_SavedHeader = m_pImage->m_FitsHeader;
  m_bHeaderEdited = 0;
  UpdateAverage();
  return 1;
}

int CRalImgWnd::WriteFile(const std::string& path) {
  if (!m_pImage) return 0;
  CRalImage& image = *m_pImage;
  if (CRalImageIO::GetFileType(path) == FILETYPE_FITS && m_bHeaderEdited) {
    const int answer = AfxMessageBox(app_text::kSaveHeaderQuestion, MB_YESNOCANCEL | MB_ICONQUESTION);
    if (answer == IDCANCEL) return 0;
    if (answer == IDNO) {
      // The header as it was saved comes back, and the attributes follow it.
      image.m_FitsHeader.DeleteAll();
      for (const std::string& card : m_SavedHeader.Cards()) (void)CFits::UpdateHeader(image, card);
    }
    m_bHeaderEdited = 0;
  }
  // Measurement results are not kept by this window yet, so no extension is asked about.
  if (!CRalImgProc::WriteFile(path)) return 0;
  m_SavedHeader = image.m_FitsHeader;
  return 1;
}

void CRalImgWnd::SetImagePrt(CRalImage* image) {
  CRalImgProc::SetImagePrt(image);
  if (m_pImage) m_pImage->SetProgressSink(m_pProgress);
  m_bBufferCreated = false;
  m_Buffer.Empty();
}

void CRalImgWnd::Undo() {
  if (!m_pUndoImage) return;
  CRalImgProc::Undo();
  Update(1);
  UpdateAverage();
}

void CRalImgWnd::Update(int showProgress) {
  CRalImage* image = m_pImage.get();
  if (!image) return;
  const bool sizeChanged = !m_bBufferCreated || m_Buffer.GetDIB() == nullptr ||
                           m_Buffer.GetWidth() != image->GetWidth() ||
                           m_Buffer.GetHeight() != image->GetHeight();
  if (sizeChanged) {
    m_View.SetImageSize(image->GetWidth(), image->GetHeight());
    m_bBufferCreated = m_Buffer.Create(32, image, nullptr, nullptr, nullptr) != 0;
    if (!m_bBufferCreated) AfxMessageBox(app_text::kNoDisplayMemory, MB_OK | MB_ICONEXCLAMATION);
  }
  if (m_bBufferCreated) {
    m_Buffer.Update(image, nullptr, showProgress);
    m_Buffer.SetViewInfo(&m_View);
  }
  if (m_Invalidate) m_Invalidate();
}

void CRalImgWnd::Draw(const DIBBandSink& bands, const FillSink& fill) const {
  const RECT client = m_View.GetWindowRect();
  if (m_bBufferCreated && m_Buffer.GetDIB()) {
    (void)m_View.ShowImage(*m_Buffer.GetDIB(), nullptr, bands);
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

void CRalImgWnd::UpdateAverage() {
  for (double& a : m_dAverage) a = 0;
  if (!m_pImage) return;
  const CRalImage& image = *m_pImage;
  m_dAverage[0] = image.GetAvrGrayRaw(0);
  if (image.GetPlanes() >= 3) {
    m_dAverage[1] = image.GetAvrGrayRaw(1);
    m_dAverage[2] = image.GetAvrGrayRaw(2);
    m_dAverage[3] = 0.299 * m_dAverage[0] + 0.587 * m_dAverage[1] + 0.114 * m_dAverage[2];
  } else {
    m_dAverage[3] = m_dAverage[0];
  }
}
