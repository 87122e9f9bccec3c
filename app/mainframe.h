// CMainFrame: the program's main window: the MDI area with the image windows, the menus
// (a short set while no image is open, the full set with one), the tool bar, the status
// bar, recent files, dropped files, and the rules of closing the program.
#pragma once

#include <vector>

#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QStringList>
#include <functional>

#include "dialogs/vumdialog.h"

class CBarImage;
class CKivImageApp;
class CKivImageDoc;
struct BlinkSource;
class CKivImageView;
class CChildFrame;
class CDlgBarImageInfo;
class CDlgLightCurve;
class CRalImgWnd;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class StatusBarProgress;

// Command numbers of the menus.
namespace cmd {
inline constexpr int ID_FILE_OPEN = 57601, ID_FILE_CLOSE = 57602, ID_FILE_SAVE = 57603,
                     ID_FILE_SAVE_AS = 57604, ID_DATA_IMPORT = 4551, ID_FILE_PRINT = 57607,
                     ID_FILE_PRINT_PREVIEW = 57609, ID_FILE_PAGE_SETUP = 57606,
                     ID_FILE_PRINT_SETUP = 4515, ID_ENVIRONMENT = 4552, ID_APP_EXIT = 57665;
inline constexpr int ID_FILE_MRU_FIRST = 57616;
inline constexpr int ID_EDIT_UNDO = 57643, ID_VERTICAL = 4508, ID_HORIZONTAL = 4530;
inline constexpr int ID_EDIT_COPY = 57634, ID_EDIT_PASTE = 57637;
inline constexpr int ID_LEVEL = 4527, ID_AUTO_LEVEL = 4526, ID_AUTO_LEVEL_SETTING = 4543,
                     ID_LEVEL_AT_LOAD = 4553, ID_LOG_SCALE = 4554;
inline constexpr int ID_FITS_HEADER = 4520;
inline constexpr int ID_GRAY = 4555, ID_GRAY_NEG = 4556, ID_COLOR = 4565, ID_COLOR_NEG = 4566,
                     ID_CYAN = 4557, ID_CYAN_NEG = 4558, ID_VERMILION = 4559,
                     ID_VERMILION_NEG = 4560, ID_BLACKBODY = 4561, ID_BLACKBODY_NEG = 4562,
                     ID_RAINBOW = 4563, ID_RAINBOW_NEG = 4564, ID_SPECTRUM = 4568;
inline constexpr int ID_WINDOW_CASCADE = 57650, ID_WINDOW_TILE_HORZ = 57651,
                     ID_WINDOW_TILE_VERT = 57652, ID_WINDOW_ARRANGE = 57649;
inline constexpr int ID_ZOOM_IN = 4545, ID_ZOOM_OUT = 4546, ID_MAG_HALF = 4550, ID_MAG_1 = 4547,
                     ID_MAG_2 = 4548, ID_MAG_3 = 4549;
inline constexpr int ID_ZOOM_FIT = 4580;
inline constexpr int ID_CROP = 4540, ID_BLINK = 4541, ID_APERTURE = 4502, ID_POSITIONING = 4501,
                     ID_GRAPH = 4503, ID_HIDE_MARKS = 4509;
inline constexpr int ID_ROTATE = 4516, ID_TRANSLATE = 4542, ID_RESOLUTION = 4531, ID_CONTOUR = 4521,
                     ID_OVERSCAN = 4569, ID_DARK_FLAT = 4522;
inline constexpr int ID_CALC_ADD = 4536, ID_CALC_SUB = 4537, ID_CALC_MUL = 4538, ID_CALC_DIV = 4539;
inline constexpr int ID_COMPOSIT = 4535;
inline constexpr int ID_BLINK_COMPARETER = 4534;
inline constexpr int ID_BATCH_OVERSCAN = 4570;
inline constexpr int ID_BATCH_COMPOSIT = 4525;
inline constexpr int ID_LIGHTCURVE = 4590;
inline constexpr int ID_PLATE_SOLVE = 4591;
inline constexpr int ID_MORE_WINDOWS = 65280;
inline constexpr int ID_HELP = 32836;
}  // namespace cmd

class CMainFrame : public QMainWindow, public CVumDocTemplate {
  Q_OBJECT

 public:
  explicit CMainFrame(CKivImageApp* app = nullptr);
  ~CMainFrame() override;

  // Opens a file as a new image window; null when the file could not be read. A file
  // already open is brought to the front instead.
  CKivImageDoc* OpenDocumentFile(const QString& path);
  CKivImageDoc* ActiveDocument() const;
  CKivImageView* ActiveView() const;
  QList<CChildFrame*> Frames() const;
  QMdiArea* MdiArea() const { return m_pMdi; }
  CDlgBarImageInfo* InfoBar() const { return m_pInfoBar; }

  // New documents for the processing dialogs: a document with its frame, shown at its
  // first update.
  CVumDocument* CreateVumDocument() override;
  std::vector<CVumDocument*> GetVumDocuments() const override;
  CVumDocument* OpenVumDocument(const std::string& path) override;
  CVumDocument* ActiveVumDocument() const override;
  int RunOnActiveImage(const ImageWork& work) override;

  // The action of a command number (null when the menus have no such command).
  QAction* Command(int id) const { return m_Commands.value(id, nullptr); }
  QMenu* FileMenu() const { return m_pFileMenu; }
  QMenu* WindowMenu() const { return m_pWindowMenu; }
  // Rebuilds the Window menu's list of windows (done each time the menu opens).
  void RebuildWindowMenu();
  QStringList RecentFiles() const { return m_Recent; }
  void AddRecentFile(const QString& path);

  // Placement: restored from and stored to "FramePosition" of section "General".
  void RestorePlacement(bool maximized);
  void StorePlacement() const;
  // Brings the frame to the front; a minimised frame returns to its state before
  // (maximised stays maximised).
  void BringToFront();

  // The light-curve dialog while it is open (null otherwise).
  CDlgLightCurve* LightCurveDialog() const;

  // ---- the image tool bar and the measurement tools
  CBarImage* ImageBar() const { return m_pBarImage; }
  // The application's tool mode (tool_rules::MODE): the tool last turned on.
  int ToolMode() const { return m_nToolMode; }
  // The status pane of the tool state.
  QString ToolStatusText() const;
  // A tool's dialog closed with its document (name: "Crop", "Blink", "Graph2d",
  // "Aperture", "Positioning" or empty); the application's tool goes off when no other
  // document still has it on.
  void OnToolDialogClosed(const QString& name, const CKivImageDoc* closing = nullptr);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QAction* Add(QMenu* menu, int id, const char* text, bool enabled = true);
  void CreateMenus();
  void CreateToolBar();
  void UpdateCommands();
  void UpdateRecentMenu();
  void UpdateStatus();
  void OnFileOpen();
  void OnDataImport();
  // The contour map of the active image in a new window (mainframe_dialogs.cpp).
  void OnContour();
  // The light-curve dialog (one, modeless): its stars are the photometry marks of the
  // active image window (mainframe_dialogs.cpp).
  void OnLightCurve();
  // Plate solving of the active image (a one-plane image): the dialog runs the solver, the
  // solution goes into the image as a change that undo takes back (mainframe_dialogs.cpp).
  void OnPlateSolve();
  // The active image to the clipboard; the clipboard's image as a new document.
  void OnEditCopy();
  void OnEditPaste();
  void OnSave(bool saveAs);
  void OnColorMode(int mode, int type);
  // Runs an image command on the active window; a changed image marks its document.
  void OnImageCommand(const std::function<int(CRalImgWnd&)>& command);
  CChildFrame* AddFrame(CKivImageDoc* doc);
  void ShowFrame(CChildFrame* frame);
  void ShowWindowList();
  // Window menu: open windows stepped from the area's corner, inside the area; minimised
  // windows lined up along its bottom edge.
  void CascadeWindows();
  void ArrangeIcons();
  // The image tool bar, bound to the active view.
  void CreateImageBar();
  // The measurement-tool commands: one tool at a time per document; menu items checked
  // while their dialogs show, enabled only where the window carries the tool.
  void ConnectToolCommands();
  void OnToolCommand(int mode);
  // What follows every command: the bar shows the active window, the tool items and the
  // status pane the tool state.
  void UpdateBarAndTools();
  // Each child frame: its tool dialog goes as it closes, and the frame follows once it is
  // gone.
  void WatchFrame(CChildFrame* frame);
  void OnDocumentClosing(CKivImageDoc* doc);
  void OnDocumentClosed();
  // Whether any image window is blinking (then neither it nor the program may close).
  bool IsAnyBlink() const;
  // The open images the blink dialog of any window may list.
  std::vector<BlinkSource> BlinkSources() const;

  CKivImageApp* m_pApp;
  QMdiArea* m_pMdi;
  QMap<int, QAction*> m_Commands;
  QMenu* m_pFileMenu = nullptr;
  QMenu* m_pRecentMenu = nullptr;
  QMenu* m_pWindowMenu = nullptr;
  QList<QAction*> m_DocumentMenus;        // the menus shown only with an image open
  QAction* m_pNoDocumentBatch = nullptr;  // the batch commands' menu with no image open
  QAction* m_pArithMenu = nullptr;        // the image-arithmetic menu with an image open
  QList<QAction*> m_WindowEntries;
  QStringList m_Recent;
  QLabel* m_pToolPane = nullptr;
  QLabel* m_pZoomPane = nullptr;
  StatusBarProgress* m_pProgress = nullptr;
  CDlgBarImageInfo* m_pInfoBar = nullptr;
  CBarImage* m_pBarImage = nullptr;
  int m_nToolMode = 0;
  QPointer<CDlgLightCurve> m_pLightCurve;
};
