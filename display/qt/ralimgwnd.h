// CRalImgProc and CRalImgWnd: the object behind every image view. It owns the image and
// its undo copy, the display buffer and the view state; it reads and saves through the
// file dispatcher, draws the visible part of the display bitmap through band callbacks,
// runs the image commands (with one undo copy) and feeds the processing dialogs' banded
// preview. It is not a widget: the view hosts it, hands it its client size and paints
// what it is given (bands, margins, fills); Qt appears only as the parent of the dialogs
// it runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/imagebuffer.h"
#include "display/qt/aperturetool.h"
#include "display/qt/positiontool.h"
#include "display/qt/toolwindow.h"
#include "display/viewinfo.h"
#include "engine/ralimage.h"
#include "fileio/readparam.h"
#include "graph/drawline.h"
#include "graph/graph2ddata.h"
#include "imagemodel/fitsheader.h"
#include "measure/blink.h"
#include "measure/crop.h"

class CVumDialog;
class CDlgBlink;
class CPixelMove;
class CDlgGraph2D;
class QPainter;
class CVumDocument;
class ProgressSink;
class QWidget;

struct PlateSolution;

namespace wnd_text {
inline constexpr const char* kNoDisplayMemory =
    "メモリ不足で画像が表示できません。画像を保存して他のウィンドウを閉じてください。";  // 62007
inline constexpr const char* kSaveHeaderQuestion = "ヘッダの編集結果を保存しますか？";
inline constexpr const char* kPlateSolveUndo = "ﾌﾟﾚｰﾄｿﾙﾌﾞ";
inline constexpr const char* kSolutionRefused =
    "ﾌﾟﾚｰﾄｿﾙﾌﾞの解を画像の座標にできませんでした。画像は変わっていません。";
inline constexpr const char* kNoMemory =
    "メモリが不足しています。「環境設定」の仮想メモリの設定を確認してください。";  // 2321
inline constexpr const char* kMeasurementsDropped =
    "測定結果は画素とともに移動できないため削除しました。";
}  // namespace wnd_text

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
  virtual int MakeUndoBuff();
  int HasUndoBuff() const { return m_pUndoImage != nullptr; }
  virtual void Undo();

 protected:
  std::unique_ptr<CRalImage> m_pImage;
  std::unique_ptr<CRalImage> m_pUndoImage;
  int m_nFileType = 0;
};

class CRalImgWnd : public CRalImgProc, public CToolWindow {
 public:
  // The tool bar's slider: wParam 1 moves the minimum, 0 the maximum; lParam points to a
  // double, the new place of that level in percent of the span between the minimum (as it
  // was) and the other level.
  static constexpr unsigned WM_LEVEL_SLIDER = 0x40D;

  // Where the window paints: bands of the display bitmap, and filled rectangles
  // (margins in grey, the whole client in red when no bitmap exists).
  using FillSink = std::function<void(const RECT&, COLORREF)>;

  CRalImgWnd();
  ~CRalImgWnd() override;

  int ReadFile(const std::string& path) override;
  // Saving: FITS files ask whether an edited header is kept; then the image is written.
  int WriteFile(const std::string& path) override;
  void SetImagePrt(CRalImage* image) override;
  // Takes the image back and shows it as it was, its logarithmic display included.
  void Undo() override;
  // The working copy also reports progress; when memory runs out the user is told.
  int MakeUndoBuff() override;

  // ---- measurement tools: aperture photometry, positioning, the crop, the profile graph
  // and blink.
  int HasTool(TOOL tool) const override {
    return tool == TOOL_APERTURE || tool == TOOL_POSITIONING || tool == TOOL_CROP ||
           tool == TOOL_GRAPH || tool == TOOL_BLINK;
  }
  void ShowPositioningDlg() override;
  void HidePositioningDlg() override { m_PositionTool.HideDialog(); }
  int IsPositioningDlgShown() const override { return m_PositionTool.IsDlgShown(); }
  CPositionTool& GetPositionTool() { return m_PositionTool; }
  void ShowGraph2DDlg() override;
  void HideGraph2DDlg() override;
  int IsGraph2DDlgShown() const override;
  void ShowApertureDlg() override;
  void HideApertureDlg() override { m_ApertureTool.HideDialogs(); }
  int IsApertureOpenDlgShown() const override { return m_ApertureTool.IsOpenDlgShown(); }
  int IsApertureRectDlgShown() const override { return m_ApertureTool.IsRectDlgShown(); }
  int IsApertureDlgShown() const { return IsApertureOpenDlgShown() || IsApertureRectDlgShown(); }
  void SetApertureMode(int mode) override { m_ApertureTool.SetMode(mode); }
  int GetApertureMode() const override { return m_ApertureTool.GetMode(); }
  int AskApertureMode(int* mode) override;
  CApertureTool& GetApertureTool() { return m_ApertureTool; }
  CDlgAperture* GetDlgAperture() const { return m_ApertureTool.GetDlgAperture(); }
  CDlgApertureRect* GetDlgApertureRect() const { return m_ApertureTool.GetDlgApertureRect(); }
  int GetApertureExtModified() const { return m_ApertureTool.GetApertureExtModified(); }
  void SetApertureExtModified(int v) { m_ApertureTool.SetApertureExtModified(v); }
  int GetApertureRectExtModified() const { return m_ApertureTool.GetApertureRectExtModified(); }
  void SetApertureRectExtModified(int v) { m_ApertureTool.SetApertureRectExtModified(v); }
  // A mouse message at a screen point of the view in the document's tool mode: the point
  // becomes the image pixel under it ((0, 0) outside the image) and goes to the tool.
  void OnMouse(int mode, unsigned message, unsigned flags, POINT point);
  // The tools' marks over the image, as lines between screen points.
  void DrawMarks(const CApertureTool::LineSink& line) const {
    if (m_pBlink || m_bMarksHidden) return;
    m_ApertureTool.DrawMarks(m_View, line);
    m_PositionTool.DrawMarks(m_View, line);
  }

  // ---- every mark over the image at once: profile lines, apertures, rectangles,
  // positions and the crop frame are hidden and shown again as they were; nothing is
  // deleted. A left press in a tool that makes or takes marks shows them again.
  void SetMarksHidden(int hidden);
  int AreMarksHidden() const { return m_bMarksHidden; }
  void ToggleMarksHidden() { SetMarksHidden(!m_bMarksHidden); }
  // Called whenever the marks were hidden or shown, so that the commands show the state.
  void SetMarksHiddenChanged(std::function<void()> changed) {
    m_MarksHiddenChanged = std::move(changed);
  }

  // ---- blink (display/blinktool.cpp)
  void ShowBlinkDlg() override;
  void HideBlinkDlg() override;
  int IsBlinkDlgShown() const override;
  CDlgBlink* GetDlgBlink() const;
  // The open images the blink dialog may list; without it only this window's image.
  void SetBlinkSources(std::function<std::vector<BlinkSource>()> sources) {
    m_BlinkSources = std::move(sources);
  }
  // A blink target is set: painting shows its frames instead of the image.
  void SetBlink(CBlinkTarget* target) { m_pBlink = target; }
  int IsBlink() const override { return m_pBlink != nullptr; }
  // Prepares the frames (when prepare is set, or when they are not all there) in this
  // window's geometry and starts showing them. 0 when there is nothing to show; the
  // window then keeps its image.
  int StartBlink(CBlinkTarget* target, int prepare);
  // Stops a running blink; the window shows its own image again, exactly as before.
  void EndBlink() override;
  // Shows prepared frame n.
  void UpdateBlink(int frame);
  int GetBlinkFrame() const { return m_nBlinkFrame; }
  // A frame's shift changed: what is shown follows. Always 1.
  int ShiftBlink(CBlinkTarget* target, int redraw);
  // Paints frame n: black client area, the frame displaced by its shift, grey margins.
  void DrawBlink(const DIBBandSink& bands, const FillSink& fill, int frame);

  // ---- the crop and profile tools (display/ralimgwnd_tools.cpp)
  // Mouse messages of the tools, as the view gives them.
  static constexpr unsigned WM_MOUSEMOVE = 0x200, WM_LBUTTONDOWN = 0x201, WM_LBUTTONUP = 0x202;
  static constexpr unsigned MK_SHIFT = 0x4, MK_CONTROL = 0x8;
  // The tools' overlays over the painted image: the crop rectangle, the profile lines and
  // the reference point.
  void DrawTools(QPainter& painter) const;
  // The lines and the graph are cleared (the image was cut or replaced).
  void ResetTools();
  CGraph2D& GetGraph2D() { return m_Graph2D; }
  CCrop& GetCrop() { return m_Crop; }
  CDlgGraph2D* GetDlgGraph2D() const;
  // Called with the tool mode when the user closes a tool's dialog.
  void SetToolDialogClosed(std::function<void(int mode)> closed) {
    m_ToolDialogClosed = std::move(closed);
  }
  // Called when a profile line was finished, so that the frame refreshes its status.
  void SetLineFinished(std::function<void()> finished) { m_LineFinished = std::move(finished); }
  // Gives the current graphs of the other open documents, for the graph dialog to show
  // beside this window's.
  void SetOtherGraphs(std::function<std::vector<CCtrlGraph2DData2>()> other) {
    m_OtherGraphs = std::move(other);
  }
  // The profile of the current line of this window, tagged with its document; false
  // without a finished current line.
  bool GetCurrentGraph(CCtrlGraph2DData2* out) const;
  // Cuts the image to a rectangle (0-based, right and bottom exclusive) after the undo
  // copy was made; clears the tools. 1 when the image was cut.
  int CropTo(const RECT& rect);

  // Builds (when the image size changed) the display bitmap and has it rebuilt: the rows
  // the view shows at once, the others when they are first shown or while the program is
  // idle (BuildIdle). The buffer that cannot be had is reported once with string 62007
  // and the view paints red.
  void Update(int showProgress);
  bool IsBufferCreated() const { return m_bBufferCreated; }
  // Paints the client area of the given size: the visible part of the bitmap (only area,
  // image pixels, when given: a preview band), grey margins, or red when there is no
  // bitmap. Rows not yet built that are to be shown are built first.
  void Draw(const DIBBandSink& bands, const FillSink& fill, const RECT* area = nullptr);
  // One idle step: builds display rows near the visible ones, about maxPixels, few
  // enough that the user never waits on a step. 1 while there is more to do.
  int BuildIdle(std::int64_t maxPixels = std::int64_t{1} << 20);

  // ---- the document and view this window belongs to
  // doc answers the processing dialogs; parent is the widget their windows belong to.
  void SetParentWnd(QWidget* parent, CVumDocument* doc);
  QWidget* GetParentWnd() const { return m_pParent; }
  CVumDocument* GetDocument() const { return m_pDocument; }

  // ---- image commands; 1 when the image was changed
  int Horizontal();
  int Vertical();
  // Inverts the pixel values (each plane's minimum and maximum trade places).
  int Flip();
  // The level dialog, and the automatic level settings (which may run them at once).
  int Level();
  int AutoContrastSetting();
  // Combines the image with another image (the composite dialog).
  int Composit();
  // Shows the image and another one aligned onto it in turn (the blink comparator dialog).
  int BlinkCompareter();
  // The header editor: OK puts the edited cards into the image (the save asks whether to
  // keep them); after the dispersion axis was changed the file read is not overwritten.
  int FitsHeader();
  // A plate solution as the image's celestial coordinates, as one change that undo takes
  // back (the marks stay where they are). 0, with the image as it was, when its cards
  // are refused.
  int ApplyPlateSolution(const PlateSolution& solution);
  // The menu's automatic levels: an undo copy named name, the automatic levels, update.
  int AutoLevel(const std::string& name);
  // Names what undo takes back, on both images.
  void SetUndoName(const std::string& name);
  // Levels back to those the image had when it was read.
  int LevelAtLoad();
  // Runs a processing dialog on a working copy: OK keeps the result, Cancel or a failure
  // brings back the image as it was.
  int RunDialog(CVumDialog& dialog);
  // The same for a dialog that moves pixels: moveOf gives the move it made of the image
  // it was given, which the marks then follow.
  int RunDialog(CVumDialog& dialog,
                const std::function<CPixelMove(const CRalImage& before)>& moveOf);
  // The same for work done outside a modal dialog (a modeless batch writing into this
  // window): work gets the document, the working image and the image as it was. While
  // it runs the window is busy and refuses to close.
  int RunWork(const std::function<int(CVumDocument*, CRalImage*, CRalImage*)>& work);
  bool IsBusy() const { return m_bBusy; }
  // The single-image processing dialogs (display/ralimgwnd_dialogs.cpp).
  int Rotate();
  int Resolution();
  int Translate();
  int OverScan();
  // The contour map in a new window named after this one with "-contour"; this image is
  // left alone. On OK *newDocument (may be null) receives the new window's document.
  int Contour(CVumDocument** newDocument);
  // Bias, dark and flat calibration with frames chosen among the open images and files.
  int DarkFlat();
  // Arithmetic with a value or another image: operation 0 add, 1 subtract, 2 multiply,
  // 3 divide.
  int Calc(int operation);
  int CalcAdd() { return Calc(0); }
  int CalcSub() { return Calc(1); }
  int CalcMul() { return Calc(2); }
  int CalcDiv() { return Calc(3); }

  // ---- progressive preview (the processing dialogs' view messages)
  std::intptr_t OnVumMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  // Band height from n (100 when 0) and the image width, raised at high magnification;
  // the band starts at the first visible row.
  void InitPreView(int n);
  // The next band of the visible rectangle; 1 while more bands follow.
  int GetPreViewRect(RECT* rect);
  // Rebuilds the bitmap over rect (null: everything, with progress) and has that part of
  // the view painted again.
  void PreView(const RECT* rect);
  // Scrolls a tenth of the client area: 1 left, 2 right, 4 up, 8 down.
  void PreViewScroll(int direction);
  // The idle step of a pending preview; 1 when a step was taken. *full is set after the
  // last band unless only part of a magnified image is visible.
  int OnUpdateView(int* full);
  int OnGetSelectedRect(RECT* rect) const;
  int IsPreviewPending() const { return m_bPreviewPending; }
  int GetPreviewBandHeight() const { return m_nBandHeight; }
  RECT GetPendingRect() const { return m_rcPending; }
  // The screen area the pending band covers; a paint of more than this must draw all.
  RECT GetPendingScreenRect() const { return m_rcPendingScreen; }
  void ClearPendingRect() { m_rcPending = m_rcPendingScreen = RECT{}; }

  // ---- display
  int SetColorMode(CImageBuffer::COLOR_MODE mode, CImageBuffer::COLOR_TYPE type);
  CImageBuffer::COLOR_MODE GetColorMode() const { return m_Buffer.GetColorMode(); }
  CImageBuffer::COLOR_TYPE GetColorType() const { return m_Buffer.GetColorType(); }
  int SetLogScale(int on);
  int IsLogScale() const { return m_Buffer.IsLogScale(); }
  CImageBuffer& GetImageBuffer() { return m_Buffer; }
  // The display levels as the display buffer sees them (plane 0, or the luminance of a
  // colour image), and the span the tool bar's slider offers around them.
  void SetLevel(float low, float high) { m_Buffer.SetLevel(low, high); }
  void GetLevel(float* low, float* high) const { m_Buffer.GetLevel(low, high); }
  void UpdateLevelSliderRange() { m_Buffer.UpdateLevelSliderRange(); }
  void GetLevelSliderRange(float* low, float* high) const {
    m_Buffer.GetLevelSliderRange(low, high);
  }
  // The slider message (WM_LEVEL_SLIDER): moves one level to percent of the way from the
  // minimum to the maximum and shows the image again. 1 when the levels changed.
  int OnLevelSlider(int lower, double percent);

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

  // The plane means and the luminance-weighted mean (index 0 to 3). They take a pass over
  // the whole image, so UpdateAverage only marks them out of date and GetAverage computes
  // them when first asked after that, then answers from the cache.
  void UpdateAverage() { m_bAverageValid = false; }
  double GetAverage(int i) const;
  bool IsAverageValid() const { return m_bAverageValid; }

  // Progress of reading and display rebuilds, given to each image.
  void SetProgressSink(ProgressSink* sink) { m_pProgress = sink; }
  // Called whenever the whole view must be painted again.
  void SetInvalidate(std::function<void()> invalidate) { m_Invalidate = std::move(invalidate); }
  // Called when a part of the view (screen pixels) must be painted again.
  void SetInvalidateRect(std::function<void(const RECT&)> invalidate) {
    m_InvalidateRect = std::move(invalidate);
  }
  // Called after the view state scrolled or zoomed on a dialog's request, so the view
  // can follow with its scroll bars.
  void SetViewChanged(std::function<void(int zoomed)> changed) {
    m_ViewChanged = std::move(changed);
  }

 private:
  // The crop (mode 1) and profile graph (mode 3) tools' share of OnMouse.
  void OnMouseTools(int mode, unsigned msg, unsigned flags, POINT point);
  void OnMouseCrop(unsigned msg, unsigned flags, POINT point);
  void OnMouse2Dgraph(unsigned msg, unsigned flags, POINT point);
  void RunCrop();
  // The marks of the tools follow a command that moved the pixels of before (the undo
  // image) into the image: they go with the pixels when the move keeps positions; when it
  // resamples they are dropped, and the user is told once if the window or the image held
  // any. The marks as they were are kept for undo.
  void MarksFollow(const CPixelMove& move, const CImage& before);
  void Invalidate() const {
    if (m_Invalidate) m_Invalidate();
  }
  void StopShowingBlink();
  CCrop m_Crop;
  CGraph2D m_Graph2D;
  int m_bMarksHidden = 0;
  std::function<void()> m_MarksHiddenChanged;
  std::function<void(int)> m_ToolDialogClosed;
  std::function<void()> m_LineFinished;
  std::function<std::vector<CCtrlGraph2DData2>()> m_OtherGraphs;
  std::unique_ptr<CDlgGraph2D, void (*)(CDlgGraph2D*)> m_pDlgGraph2D{nullptr, nullptr};
  CImageBuffer m_Buffer{1};
  CViewInfo m_View;
  bool m_bBufferCreated = false;
  CFitsHeader m_SavedHeader;
  int m_bHeaderEdited = 0;
  CApertureTool m_ApertureTool;
  CPositionTool m_PositionTool;
  // The marks of the undo image when a command moved them: undo trades them with the
  // tools' marks, so each image keeps the marks that stand on its pixels.
  struct UndoMarks;
  std::unique_ptr<UndoMarks> m_pUndoMarks;
  // The last change's undo (image and marks), set aside while a command that may leave
  // the image as it was runs: a command that is cancelled puts it back, so it can still
  // be undone.
  struct KeptUndo {
    std::unique_ptr<CRalImage> image;
    std::unique_ptr<UndoMarks> marks;
  };
  // A fresh undo copy, the last change's undo set aside in *kept; 0 (with it put back)
  // when no copy can be made.
  int MakeUndoBuffKeeping(KeptUndo* kept);
  // Puts the undo set aside back; with the command's change taken back first when
  // takeBack. 0, for the command's answer.
  int PutUndoBack(KeptUndo& kept, bool takeBack);
  void ComputeAverage() const;
  mutable double m_dAverage[4] = {0, 0, 0, 0};
  mutable bool m_bAverageValid = false;
  ProgressSink* m_pProgress = nullptr;
  std::function<void()> m_Invalidate;
  std::function<void(const RECT&)> m_InvalidateRect;
  std::function<void(int)> m_ViewChanged;
  QWidget* m_pParent = nullptr;
  CVumDocument* m_pDocument = nullptr;
  // Progressive preview: the next band's top row and the band height, and the image area
  // the next paint must bring to the screen.
  int m_nBandTop = 0;
  int m_nBandHeight = 0;
  int m_bPreviewRunning = 0;
  int m_bPreviewPending = 0;
  RECT m_rcPending{};
  RECT m_rcPendingScreen{};
  CBlinkTarget* m_pBlink = nullptr;
  bool m_bBusy = false;
  int m_nBlinkFrame = 0;
  std::function<std::vector<BlinkSource>()> m_BlinkSources;
  std::unique_ptr<CDlgBlink, void (*)(CDlgBlink*)> m_pDlgBlink{nullptr, nullptr};
};
