// CRalImgProc and CRalImgWnd: the object behind every image view. It owns the image and
// its undo copy, the display buffer and the view state; it reads and saves through the
// file dispatcher and draws the visible part of the display bitmap through band
// callbacks. No Qt here: the view hosts it, hands it its client size and paints what it
// is given (bands, margins, fills).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "display/imagebuffer.h"
#include "display/viewinfo.h"
#include "engine/ralimage.h"
#include "fileio/readparam.h"
#include "imagemodel/fitsheader.h"

class ProgressSink;

class CRalImgProc {
 public:
  CRalImgProc();
  virtual ~CRalImgProc();
  CRalImgProc(const CRalImgProc&) = delete;
  CRalImgProc& operator=(const CRalImgProc&) = delete;

  // Reads path through the dispatcher with the type its name suggests; raw files ask
  // their layout first. Automatic levels are set when the image has none of its own and
  // the settings ask for them; the levels at this point become the levels at load.
  // 1 on success; on failure the image is gone and the result is 0.
  virtual int ReadFile(const std::string& path);
  // Writes the image in the format of the path, asking that format's options. 1 on
  // success, 0 on failure or cancel.
  virtual int WriteFile(const std::string& path);

  CRalImage* GetImagePtr() const { return m_pImage.get(); }
  CRalImage* GetUndoImagePtr() const { return m_pUndoImage.get(); }
  // Takes ownership; the old image and the undo image are deleted.
  virtual void SetImagePrt(CRalImage* image);
  int GetFileType() const { return m_nFileType; }
  int IsSaveableFitsFormat() const;
  void SetSaveableFitsFormat() { m_nFileType = FILETYPE_FITS; }

  // The undo copy: the command works on a fresh copy, the untouched image is kept.
  int MakeUndoBuff();
  int HasUndoBuff() const { return m_pUndoImage != nullptr; }
  virtual void Undo();

 protected:
  std::unique_ptr<CRalImage> m_pImage;
  std::unique_ptr<CRalImage> m_pUndoImage;
  int m_nFileType = 0;
};

class CRalImgWnd : public CRalImgProc {
 public:
  // Where the window paints: bands of the display bitmap, and filled rectangles
  // (margins in grey, the whole client in red when no bitmap exists).
  using FillSink = std::function<void(const RECT&, COLORREF)>;

  CRalImgWnd();
  ~CRalImgWnd() override;

  int ReadFile(const std::string& path) override;
  // Saving: FITS files ask whether an edited header is kept; then the image is written.
  int WriteFile(const std::string& path) override;
  void SetImagePrt(CRalImage* image) override;
  void Undo() override;

  // Builds (when the image size changed) and rebuilds the display bitmap. The buffer
  // that cannot be had is reported once with string 62007 and the view paints red.
  void Update(int showProgress);
  bool IsBufferCreated() const { return m_bBufferCreated; }
  // Paints the client area of the given size: the visible part of the bitmap, grey
  // margins, or red when there is no bitmap.
  void Draw(const DIBBandSink& bands, const FillSink& fill) const;

  // ---- display
  int SetColorMode(CImageBuffer::COLOR_MODE mode, CImageBuffer::COLOR_TYPE type);
  CImageBuffer::COLOR_MODE GetColorMode() const { return m_Buffer.GetColorMode(); }
  CImageBuffer::COLOR_TYPE GetColorType() const { return m_Buffer.GetColorType(); }
  int SetLogScale(int on);
  int IsLogScale() const { return m_Buffer.IsLogScale(); }
  CImageBuffer& GetImageBuffer() { return m_Buffer; }

  // ---- zoom and scroll
  CViewInfo& GetViewInfo() { return m_View; }
  const CViewInfo& GetViewInfo() const { return m_View; }
  int GetZoom() const { return m_View.GetMag(); }
  int SetZoom(int code, int x, int y) { return m_View.SetMag(code, x, y); }
  int ZoomUp() { return m_View.IncMag(-1, -1); }
  int ZoomDown() { return m_View.DecMag(-1, -1); }
  SIZE GetRenderSize() const { return m_Buffer.GetRenderSize(); }

  // ---- the header as last saved or read, and whether it was edited since
  void SetHeaderEdited(int edited) { m_bHeaderEdited = edited; }
  int IsHeaderEdited() const { return m_bHeaderEdited; }
  const CFitsHeader& GetSavedHeader() const { return m_SavedHeader; }

  // The plane means and the luminance-weighted mean (index 0 to 3).
  void UpdateAverage();
  double GetAverage(int i) const { return i >= 0 && i < 4 ? m_dAverage[i] : 0.0; }

  // Progress of reading and display rebuilds, given to each image.
  void SetProgressSink(ProgressSink* sink) { m_pProgress = sink; }
  // Called whenever the whole view must be painted again.
  void SetInvalidate(std::function<void()> invalidate) { m_Invalidate = std::move(invalidate); }

 private:
  CImageBuffer m_Buffer{1};
  CViewInfo m_View;
  bool m_bBufferCreated = false;
  CFitsHeader m_SavedHeader;
  int m_bHeaderEdited = 0;
  double m_dAverage[4] = {0, 0, 0, 0};
  ProgressSink* m_pProgress = nullptr;
  std::function<void()> m_Invalidate;
};
