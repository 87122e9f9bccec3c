// The base of every processing dialog: CVumDialog ties a modal dialog to a document, the
// image it writes (target) and the image as it was (undo); it keeps the dialog's settings
// and position, and runs the processing when OK is pressed. CVumPreviewDialog also shows
// the effect while the dialog is open, one band of the view per queued call, dispatching
// pending events between bands so that the dialog and the program stay responsive on the
// one thread. CVumDoc opens new image documents with unique titles. CFltPtrCtrl formats
// and cuts values to the decimals a step size implies.
#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"
#include "settings/registry.h"

class CImage;
class CRalImage;
class CReadParam;
class QCheckBox;
class QPushButton;

// ---- what a dialog asks of a document's views, by the numbers the views answer to
namespace vum {
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned WM_VUM_REDRAW = WM_USER + 5;          // wParam: RECT* of image pixels
inline constexpr unsigned WM_VUM_PREVIEW_INIT = WM_USER + 6;    // wParam: band parameter
inline constexpr unsigned WM_VUM_PREVIEW_BAND = WM_USER + 7;    // wParam: RECT* (out); more?
inline constexpr unsigned WM_VUM_GET_IMAGE = WM_USER + 8;       // wParam: CRalImage** (out)
inline constexpr unsigned WM_VUM_SELECTED_RECT = WM_USER + 10;  // wParam: RECT* (out)
inline constexpr unsigned WM_VUM_ZOOM = WM_USER + 11;           // wParam: 0 in, 1 out
inline constexpr unsigned WM_VUM_SCROLL = WM_USER + 12;         // wParam: 1 l, 2 r, 4 u, 8 d

// Control ids the framework itself uses.
inline constexpr int IDC_PREVIEW = 1045;
inline constexpr int ID_HELP = 57670;

// Texts (by their string ids).
inline constexpr const char* kUndoBufferCaption = "UNDOバッファ作成中...";        // 2368
inline constexpr const char* kPreprocessCaption = "前処理中...";                  // 2385
inline constexpr const char* kNoMemoryVumd = "メモリが不足しています。(vumd01)";  // 2311
inline constexpr const char* kPreviewOffCaption = "プレビュー解除準備中...";      // 2374
inline constexpr const char* kPreviewNoMemory =
    "メモリが不足しているため、プレビューを中止します。";         // 2390
inline constexpr const char* kNewImageCaption = "画像作成中...";  // 2382
inline constexpr const char* kNewImageNoMemory =
    "メモリが不足しています。「環境設定」の仮想メモリの設定を確認してください。";  // 2321
inline constexpr const char* kCannotCreateDocument = "ドキュメントを作成できません。";
inline constexpr const char* kPreviewLabel = "ﾌﾟﾚﾋﾞｭｰ(&P)";
inline constexpr const char* kHelpLabel = "ﾍﾙﾌﾟ(&H)";
}  // namespace vum

// One view of a document as a dialog sees it: the view answers the numbers above.
class CVumView {
 public:
  virtual ~CVumView() = default;
  virtual std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t wParam,
                                       std::intptr_t lParam) = 0;
};

// A document as the dialogs see it: its title, its views, and what opening a new
// document needs to set.
class CVumDocument {
 public:
  virtual ~CVumDocument() = default;
  virtual std::string GetVumTitle() const = 0;
  virtual std::vector<CVumView*> GetVumViews() const = 0;
  virtual void UpdateAllVumViews() = 0;
  virtual std::string GetVumPathName() const = 0;
  // For new documents.
  virtual void SetVumTitle(const std::string& title) = 0;
  virtual void SetVumPathName(const std::string& path) = 0;
  virtual void SetVumModified(bool modified) = 0;
  // Takes ownership of image; param may be null.
  virtual void SetVumImage(CRalImage* image, const CReadParam* param) = 0;
  // Shows the document's window (its first full paint).
  virtual void InitialUpdateVum() = 0;
  // Closes the document without asking.
  virtual void CloseVum() = 0;
};

// The application's document template: makes new documents (with their hidden frame)
// and lists the open ones.
class CVumDocTemplate {
 public:
  virtual ~CVumDocTemplate() = default;
  // Null when no document can be made.
  virtual CVumDocument* CreateVumDocument() = 0;
  virtual std::vector<CVumDocument*> GetVumDocuments() const = 0;
  // Opens a file in a new window (or brings forward the window that has it); null when
  // it cannot be read or the template opens no files.
  virtual CVumDocument* OpenVumDocument(const std::string& path) {
    (void)path;
    return nullptr;
  }
  // The document of the active image window; null when none is active.
  virtual CVumDocument* ActiveVumDocument() const { return nullptr; }
  // What a modeless dialog does to the active window's image, with that window's undo
  // kept as for a modal dialog: work gets the document, the image it writes and the
  // image as it was; its non-zero answer keeps the result (an undo takes it back), 0
  // puts the image back. The window cannot be closed meanwhile. 0 without an active
  // image.
  using ImageWork = std::function<int(CVumDocument* doc, CRalImage* target, CRalImage* undo)>;
  virtual int RunOnActiveImage(const ImageWork& work) {
    (void)work;
    return 0;
  }
};

class CVumDialog : public QDialog {
  Q_OBJECT

 public:
  CVumDialog(int templateId, QWidget* parent);
  ~CVumDialog() override;

  // The document, the image the processing writes and the image as it was. The
  // document's title is kept for the caption; the undo dialog name of both images is
  // cleared.
  void Set(CVumDocument* doc, CRalImage* target, CRalImage* undo);
  CVumDocument* GetDocument() const { return m_pDocument; }
  CRalImage* GetTargetImage() const { return m_pTarget; }
  CRalImage* GetUndoImage() const { return m_pUndo; }
  int GetTemplateId() const { return m_nTemplateId; }

  // OK and Cancel (buttons, Return, Escape, closing the window).
  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

  // Runs the dialog modally: the opening steps, then the event loop. QDialog::Accepted
  // (IDOK) or QDialog::Rejected.
  virtual int DoModal();
  // Set when the processing at OK failed; the caller then restores the undo image.
  int GetErrorFlag() const { return m_bError; }
  // Whether an accepted run changed the image (a dialog that only stores its settings
  // says no).
  virtual int IsImageChanged() const { return 1; }
  void SetUndoPreparation(int on) { m_bPrepareUndo = on; }

  // mode 0: the undo image takes the pixels and the target gets a new store of the same
  // geometry; mode 1: the target is copied into the undo image. Nothing to do (1) when
  // turned off, without an undo image, or when it already holds an image. 0 when memory
  // runs out.
  int PrepareUndoBuf(int mode);
  // Sends to every view of the document in turn; the last answer, 0 without a view.
  std::intptr_t SendMessageToView(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  // Sends to the first view only; 0 without one.
  std::intptr_t SendMessageToFirstView(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);

  // Reads (write 0) or writes (write non-zero) one setting.
  static int UpdateReg(std::string_view section, std::string_view key, int write, int& value,
                       CRegistry::DATATYPE type, int def = 0);
  static int UpdateReg(std::string_view section, std::string_view key, int write, double& value,
                       double def = 0.0);
  static int UpdateReg(std::string_view section, std::string_view key, int write,
                       std::string& value, std::string_view def = {});

  // The help button (control 57670): disabled while "ManualURL" of "General" is "-" or
  // empty; opens that address otherwise. Subclasses place it in their layout.
  QPushButton* HelpButton();

 protected:
  // Whether the entered values are acceptable; the subclass shows its own message.
  virtual int CheckValue();
  // Reads (write 0) or writes the subclass's settings; with a section, the base reads or
  // writes the dialog's position under "Position" there.
  virtual void UpdateRegistry(int write, const char* section);
  // Processes rect of the target (null: the whole image); final 1 at OK, 0 for a preview
  // band. Non-zero on success.
  virtual int ImageProc(RECT* rect, int final);
  // Moves values between the fields and the controls (save: controls → fields).
  virtual void DoDataExchange(bool save);
  int UpdateData(bool save);

  // Caption suffix, help button, settings; called once by DoModal before the dialog shows.
  virtual void OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void OnDestroy();
  // The caption up to its last '[', trimmed: the undo name of both images.
  void StoreUndoName();
  // Gets the rectangle to process from the first view; false without a view.
  bool GetProcessRect(RECT* rect);

  void done(int result) override;
  void EndDialog(int result);
  bool IsClosed() const { return m_bDestroyed; }

  int m_bError = 0;
  int m_bPrepareUndo = 1;
  std::string m_strDocTitle;
  CVumDocument* m_pDocument = nullptr;
  CRalImage* m_pTarget = nullptr;
  CRalImage* m_pUndo = nullptr;

 private:
  int m_nTemplateId;
  bool m_bInitialised = false;
  bool m_bDestroyed = false;
  QPointer<QPushButton> m_pHelp;
};

class CVumPreviewDialog : public CVumDialog {
  Q_OBJECT

 public:
  CVumPreviewDialog(int templateId, QWidget* parent);
  ~CVumPreviewDialog() override;

  // The check box (control 1045) that turns the preview on and off; subclasses place it.
  QCheckBox* PreviewCheckBox() const { return m_pPreviewBox; }
  int IsPreviewOn() const { return m_bPreview; }
  int IsPreviewApplied() const { return m_bPreviewApplied; }
  int IsPreviewRunning() const { return m_bPreviewRunning; }
  int GetEndRequest() const { return m_nEndRequest; }
  int GetBandParameter() const { return m_nBand; }
  void SetBandParameter(int n) { m_nBand = n; }

  // Starts the preview over (after a parameter changed), or takes it back when the
  // preview is turned off.
  void RestartPreview();
  // One band of the preview (the queued step).
  void PreviewStep();

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

  int m_bPreview = 1;
  int m_bPreviewApplied = 0;
  int m_bPreviewRunning = 0;
  int m_nEndRequest = 0;  // 1 OK pressed, 2 Cancel pressed
  int m_nBand = 40;

 private:
  void PostStep();
  // Ctrl + arrows scroll the view, Ctrl + Alt + Up/Down and keypad +/- zoom it.
  bool FilterKey(QObject* watched, QEvent* event);
  void BeginBusy();
  void EndBusy();

  QCheckBox* m_pPreviewBox = nullptr;
  bool m_bBusy = false;
  bool m_bFilterInstalled = false;
};

// Cuts or formats values to the decimals implied by a step size, at any magnitude (the
// rules are CValueStep's).
class CFltPtrCtrl {
 public:
  // floor(log10(1 / step)), and 0 when negative (or the step is not positive); no cap.
  static int Decimals(double step);
  // "%.<decimals>f" where fixed notation shows the value sensibly, else e-notation with
  // at least 6 significant digits; with the step value / 1000 a non-zero value never
  // reads as 0 or -0.
  const char* Str(double value, double step);
  // floor(value × 10^d) / 10^d.
  static double V(double value, double step);

 private:
  std::string m_Buffer;
};

// Opening new image documents and making unique titles. The application installs its
// document template once.
class CVumDoc {
 public:
  static void SetDocTemplate(CVumDocTemplate* docTemplate);
  static CVumDocTemplate* GetDocTemplate();

  // A new document with a new image of the given type and geometry (no image when
  // noImage is set). The title is MakeTitle of name ("NewImage.fts" when empty). 1 on
  // success.
  static int MakeNewDocument(int bits, int width, int height, int planes, const std::string& name,
                             const CReadParam* param, int noImage, CVumDocument** doc,
                             CRalImage** image, int zeroFill);
  static int MakeNewDocument(const std::string& name, const CReadParam* param, CVumDocument** doc,
                             CRalImage** image);
  static int MakeNewDocument(int bits, int width, int height, int planes, CVumDocument** doc,
                             CRalImage** image, int zeroFill);
  static int MakeNewDocument(int bits, int width, int height, int planes, const std::string& name,
                             CVumDocument** doc, CRalImage** image, int zeroFill);
  static int MakeNewDocument(const CImage* like, CVumDocument** doc, CRalImage** image);

  // Drive (none here), folder, base + suffix, extension (the path's own when ext is
  // empty); numbered "%s%d%s" from 1 while the title is taken.
  static std::string MakeTitle(const std::string& path, const std::string& suffix,
                               const std::string& ext);
  // Not the title of any open document (letter case ignored).
  static int IsUniqueTitle(const std::string& title);
  static int IsUniquePathName(const std::string& path);

  // "<USF>" marks a file read as FITS with unsigned integers.
  static int MakeFileNameAndPrm(std::string& name, const CReadParam* param);
  static int GetFileNameAndPrm(std::string& name, CReadParam* param);
};
