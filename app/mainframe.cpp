#include "app/mainframe.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMdiArea>
#include <QMenuBar>
#include <QMimeData>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/apptexts.h"
#include "app/barimage.h"
#include "app/dlgenviroment.h"
#include "app/kivimageapp.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/manual.h"
#include "app/printing.h"
#include "app/qtservices.h"
#include "app/toolrules.h"
#include "app/windowlist.h"
#include "dialogs/dlgbatchcomposit.h"
#include "dialogs/dlgbatchdarkflat.h"
#include "dialogs/dlgbatchdarkflat2.h"
#include "dialogs/dlgbatchoverscan.h"
#include "fileio/filedialogs.h"
#include "graph/qt/dlglightcurve.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "formats/clipboard/qt/qtclipboard.h"
#include "formats/clipboard/ralclipboard.h"
#include "infobar/dlgbarimageinfo.h"
#include "platform/inistore.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"

namespace {

constexpr int kRecentCount = 4;
constexpr int kWindowEntries = 9;

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

}  // namespace

static void InitResources() {
  Q_INIT_RESOURCE(vantorel);
}

CMainFrame::CMainFrame(CKivImageApp* app) : m_pApp(app), m_pMdi(new QMdiArea(this)) {
  InitResources();
  setWindowTitle(Q(app_text::kTitle));
  setWindowIcon(QIcon(QStringLiteral(":/vantorel/vantorel.svg")));
  setCentralWidget(m_pMdi);
  m_pMdi->setBackground(QColor(128, 128, 128));
  setAcceptDrops(true);
  for (int i = 1; i <= kRecentCount; ++i) {
    std::string path;
    if (CRegistry::Read("Recent File List", "File" + std::to_string(i), "", path) && !path.empty())
      m_Recent << QString::fromStdString(path);
  }
  InstallQtClipboard();
  CreateMenus();
  CreateToolBar();
  m_pInfoBar = new CDlgBarImageInfo(this);
  m_pInfoBar->Create(this);
  CreateImageBar();
  ConnectToolCommands();
  m_pToolPane = new QLabel(Q(app_text::kStatusTool).replace("OFF*", "OFF"), this);
  m_pZoomPane = new QLabel(this);
  statusBar()->addPermanentWidget(m_pZoomPane);
  statusBar()->addPermanentWidget(m_pToolPane);
  statusBar()->showMessage(Q(app_text::kReady));
  m_pProgress = new StatusBarProgress(statusBar());
  CRalImageIO::SetProgressSink(m_pProgress);
  // A settings write that waits for another copy's lock blocks this thread: paint the
  // note at once instead of handing control to the event loop in the middle of a write.
  SetSettingsLockWaitHandler([bar = statusBar()](const std::string& lockPath, bool waiting) {
    if (waiting)
      bar->showMessage(
          Q(app_text::kSettingsLockWait).replace("%s", QString::fromStdString(lockPath)));
    else
      bar->showMessage(Q(app_text::kReady));
    bar->repaint();
  });
  connect(m_pMdi, &QMdiArea::subWindowActivated, this, [this] {
    UpdateCommands();
    UpdateStatus();
  });
  CVumDoc::SetDocTemplate(this);
  UpdateCommands();
  resize(1024, 768);
  // The running frame, for a second copy to find: its window and its process.
  CRegistry::Write("Exchange", "hWnd", std::to_string(static_cast<long long>(winId())));
  CRegistry::Write("Exchange", "ProcessId", std::to_string(static_cast<long long>(getpid())));
}

CMainFrame::~CMainFrame() {
  // The MDI area reports activations while its windows go; this frame is half gone then.
  disconnect(m_pMdi, nullptr, this, nullptr);
  if (CVumDoc::GetDocTemplate() == this) CVumDoc::SetDocTemplate(nullptr);
  if (CRalImageIO::GetProgressSink() == m_pProgress) CRalImageIO::SetProgressSink(nullptr);
  SetSettingsLockWaitHandler(nullptr);
  for (CChildFrame* f : Frames()) f->GetDocument()->GetImgWnd().SetProgressSink(nullptr);
  delete m_pProgress;
  CRegistry::RemoveRegKey("Exchange");
}

QAction* CMainFrame::Add(QMenu* menu, int id, const char* text, bool enabled) {
  QString label = Q(text);
  QString shortcut;
  const int tab = label.indexOf('\t');
  if (tab >= 0) {
    shortcut = label.mid(tab + 1);
    label = label.left(tab);
  }
  QAction* a = menu->addAction(label);
  if (!shortcut.isEmpty()) a->setShortcut(QKeySequence(shortcut));
  a->setEnabled(enabled);
  a->setData(id);
  a->setObjectName(QStringLiteral("ID_%1").arg(id));
  // Commands whose tool or dialog is not built yet stay visible but disabled.
  a->setProperty("available", enabled);
  m_Commands.insert(id, a);
  return a;
}

void CMainFrame::CreateMenus() {
  using namespace cmd;
  QMenuBar* bar = menuBar();
  m_pFileMenu = bar->addMenu(Q(app_text::kMenuFile));
  QMenu* f = m_pFileMenu;
  connect(Add(f, ID_FILE_OPEN, "開く(&O)...\tCtrl+O"), &QAction::triggered, this,
          &CMainFrame::OnFileOpen);
  connect(Add(f, ID_FILE_CLOSE, "閉じる(&C)\tCtrl+W"), &QAction::triggered, this,
          [this] { m_pMdi->closeActiveSubWindow(); });
  connect(Add(f, ID_FILE_SAVE, "上書き保存(&S)\tCtrl+S"), &QAction::triggered, this,
          [this] { OnSave(false); });
  connect(Add(f, ID_FILE_SAVE_AS, "名前を付けて保存(&A)..."), &QAction::triggered, this,
          [this] { OnSave(true); });
  f->addSeparator();
  connect(Add(f, ID_DATA_IMPORT, "ﾃﾞｰﾀ ｲﾝﾎﾟｰﾄ(&D)..."), &QAction::triggered, this,
          &CMainFrame::OnDataImport);
  f->addSeparator();
  connect(Add(f, ID_FILE_PRINT, "印刷(&P)...\tCtrl+P"), &QAction::triggered, this, [this] {
    if (CKivImageView* v = ActiveView()) PrintView(v, this, false);
  });
  connect(Add(f, ID_FILE_PRINT_PREVIEW, "印刷ﾌﾟﾚﾋﾞｭｰ(&V)..."), &QAction::triggered, this, [this] {
    if (CKivImageView* v = ActiveView()) PrintView(v, this, true);
  });
  connect(Add(f, ID_FILE_PAGE_SETUP, "印刷設定(&R)..."), &QAction::triggered, this, [this] {
    if (CKivImageView* v = ActiveView()) {
      CKivImagePageSetupDialog dlg(v, this);
      dlg.exec();
    }
  });
  connect(Add(f, ID_FILE_PRINT_SETUP, "ﾌﾟﾘﾝﾀの設定(&U)..."), &QAction::triggered, this,
          [this] { ChoosePrinter(this); });
  f->addSeparator();
  connect(Add(f, ID_ENVIRONMENT, "環境設定(&E)..."), &QAction::triggered, this, [this] {
    CDlgEnviroment dlg(m_pApp ? m_pApp->IsAdministrator() : true, this);
    if (dlg.exec() == QDialog::Accepted && m_pApp) m_pApp->SetFitsBottomUp(dlg.FitsBottomUp());
  });
  f->addSeparator();
  m_pRecentMenu = f->addMenu(Q(app_text::kMenuRecent));
  UpdateRecentMenu();
  f->addSeparator();
  connect(Add(f, ID_APP_EXIT, "Tolvena画像処理ｿﾌﾄ：Vantorelの終了(&X)"), &QAction::triggered, this,
          &QWidget::close);

  QMenu* e = bar->addMenu(Q(app_text::kMenuEdit));
  m_DocumentMenus << e->menuAction();
  connect(Add(e, ID_EDIT_UNDO, "元に戻す(&U)\tCtrl+Z"), &QAction::triggered, this, [this] {
    OnImageCommand([](CRalImgWnd& wnd) {
      if (!wnd.HasUndoBuff()) return 0;
      wnd.Undo();
      return 1;
    });
  });
  e->addSeparator();
  connect(Add(e, ID_EDIT_COPY, "ｺﾋﾟｰ(&C)\tCtrl+C"), &QAction::triggered, this,
          &CMainFrame::OnEditCopy);
  // Pasting needs no open image: the key works while the Edit menu is hidden too.
  QAction* paste = Add(e, ID_EDIT_PASTE, "貼り付け(&P)\tCtrl+V");
  addAction(paste);
  connect(paste, &QAction::triggered, this, &CMainFrame::OnEditPaste);
  e->addSeparator();
  // The menu text (without its accelerator) names what undo takes back.
  const auto named = [](QAction* a) {
    return a->text()
        .remove(QRegularExpression(QStringLiteral("\\(&.\\)|\\.\\.\\.$")))
        .toStdString();
  };
  const auto namedCommand = [this, named](QAction* a, int (CRalImgWnd::*op)()) {
    connect(a, &QAction::triggered, this, [this, a, named, op] {
      OnImageCommand([&](CRalImgWnd& wnd) {
        const int changed = (wnd.*op)();
        if (changed) wnd.SetUndoName(named(a));
        return changed;
      });
    });
  };
  namedCommand(Add(e, ID_VERTICAL, "上下反転(&H)"), &CRalImgWnd::Vertical);
  namedCommand(Add(e, ID_HORIZONTAL, "左右反転(&V)"), &CRalImgWnd::Horizontal);
  connect(Add(e, ID_ROTATE, "回転(&R)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.Rotate(); }); });
  connect(Add(e, ID_TRANSLATE, "平行移動(&T)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.Translate(); }); });
  connect(Add(e, ID_RESOLUTION, "画像解像度(&E)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.Resolution(); }); });

  QMenu* v = bar->addMenu(Q(app_text::kMenuView));
  m_DocumentMenus << v->menuAction();
  connect(Add(v, ID_ZOOM_IN, "ｽﾞｰﾑｲﾝ(&I)\tCtrl++"), &QAction::triggered, this, [this] {
    if (CKivImageView* view = ActiveView()) view->ZoomIn();
  });
  connect(Add(v, ID_ZOOM_OUT, "ｽﾞｰﾑｱｳﾄ(&O)\tCtrl+-"), &QAction::triggered, this, [this] {
    if (CKivImageView* view = ActiveView()) view->ZoomOut();
  });
  connect(Add(v, ID_ZOOM_FIT, "ｳｨﾝﾄﾞｳに合わせる(&W)\tCtrl+0"), &QAction::triggered, this, [this] {
    if (CKivImageView* view = ActiveView()) view->FitToWindow();
  });
  v->addSeparator();
  const struct {
    int id;
    const char* text;
    int code;
  } steps[] = {{ID_MAG_HALF, "1/2倍(&F)", 0},
               {ID_MAG_1, "ﾋﾟｸｾﾙ等倍(&Q)\tCtrl+Alt+0", 1},
               {ID_MAG_2, "2倍(&D)", 2},
               {ID_MAG_3, "3倍(&R)", 3}};
  for (const auto& s : steps) {
    QAction* a = Add(v, s.id, s.text);
    a->setCheckable(true);
    const int code = s.code;
    connect(a, &QAction::triggered, this, [this, code] {
      if (CKivImageView* view = ActiveView()) view->SetMag(code);
      UpdateCommands();
    });
  }
  v->addSeparator();
  connect(Add(v, ID_LEVEL, "ﾚﾍﾞﾙ調整(&L)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.Level(); }); });
  QAction* autoLevel = Add(v, ID_AUTO_LEVEL, "自動ﾚﾍﾞﾙ調整(&A)");
  connect(autoLevel, &QAction::triggered, this, [this, autoLevel, named] {
    OnImageCommand([&](CRalImgWnd& wnd) { return wnd.AutoLevel(named(autoLevel)); });
  });
  connect(Add(v, ID_AUTO_LEVEL_SETTING, "自動ﾚﾍﾞﾙ調整の設定(&S)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.AutoContrastSetting(); }); });
  connect(Add(v, ID_LEVEL_AT_LOAD, "読み込み時のﾚﾍﾞﾙに戻す(&R)"), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.LevelAtLoad(); }); });
  QAction* log = Add(v, ID_LOG_SCALE, "対数表示(&O)");
  log->setCheckable(true);
  connect(log, &QAction::triggered, this, [this] {
    if (CKivImageView* view = ActiveView())
      (void)view->GetImgWnd().SetLogScale(view->GetImgWnd().IsLogScale() ? 0 : 1);
    UpdateCommands();
  });
  v->addSeparator();
  const struct {
    int id;
    const char* text;
    int mode, type;
  } colours[] = {{ID_GRAY, "ｸﾞﾚｰｽｹｰﾙ(&G)", 0, 0},
                 {ID_GRAY_NEG, "ｸﾞﾚｰｽｹｰﾙ(反転)(&I)", 1, 0},
                 {ID_COLOR, "ｶﾗｰ(&C)", 0, 0},
                 {ID_COLOR_NEG, "ｶﾗｰ(反転)(&N)", 1, 0},
                 {ID_CYAN, "ｼｱﾝ(&C)", 4, 1},
                 {ID_CYAN_NEG, "ｼｱﾝ(反転)(&N)", 5, 1},
                 {ID_VERMILION, "朱赤(&A)", 4, 0},
                 {ID_VERMILION_NEG, "朱赤(反転)(&V)", 5, 0},
                 {ID_BLACKBODY, "黒体放射(&B)", 4, 2},
                 {ID_BLACKBODY_NEG, "黒体放射(反転)(&E)", 5, 2},
                 {ID_RAINBOW, "ﾚｲﾝﾎﾞｰ(&R)", 4, 3},
                 {ID_RAINBOW_NEG, "ﾚｲﾝﾎﾞｰ(反転)(&T)", 5, 3},
                 {ID_SPECTRUM, "ｽﾍﾟｸﾄﾙ擬似ｶﾗｰ(&S)", 6, 0}};
  for (const auto& c : colours) {
    const int mode = c.mode, type = c.type, id = c.id;
    QAction* a = Add(v, id, c.text);
    a->setCheckable(true);
    connect(a, &QAction::triggered, this, [this, mode, type, id] {
      // Grey scale on a colour image means the luminance modes.
      CKivImageView* view = ActiveView();
      if (!view) return;
      const CRalImage* image = view->GetImgWnd().GetImagePtr();
      int m = mode;
      if ((id == cmd::ID_GRAY || id == cmd::ID_GRAY_NEG) && image && image->GetPlanes() >= 3)
        m += 2;
      OnColorMode(m, type);
    });
  }
  v->addSeparator();
  // Hides every mark of the active window, or shows them again; checked while hidden.
  QAction* hideMarks = Add(v, ID_HIDE_MARKS, "ﾏｰｸの非表示(&C)...", false);
  hideMarks->setCheckable(true);
  connect(hideMarks, &QAction::triggered, this, [this] {
    if (CKivImageView* view = ActiveView()) view->GetImgWnd().ToggleMarksHidden();
    UpdateCommands();
  });
  connect(Add(v, ID_FITS_HEADER, "FITSﾍｯﾀﾞｰ(&H)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.FitsHeader(); }); });

  QMenu* arith = bar->addMenu(Q(app_text::kMenuArith));
  connect(Add(arith, ID_CALC_ADD, "加算(&A)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.CalcAdd(); }); });
  connect(Add(arith, ID_CALC_SUB, "減算(&S)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.CalcSub(); }); });
  connect(Add(arith, ID_CALC_MUL, "乗算(&M)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.CalcMul(); }); });
  connect(Add(arith, ID_CALC_DIV, "除算(&D)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.CalcDiv(); }); });
  connect(Add(arith, cmd::ID_COMPOSIT, "ｺﾝﾎﾟｼﾞｯﾄ(&C)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.Composit(); }); });
  connect(Add(arith, cmd::ID_BLINK_COMPARETER, "ﾌﾞﾘﾝｸｺﾝﾊﾟﾚｰﾀ(&K)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.BlinkCompareter(); }); });
  arith->addSeparator();
  QAction* batchComposit = Add(arith, cmd::ID_BATCH_COMPOSIT, "ﾊﾞｯﾁ[加算平均と中央値](&B)...");
  connect(batchComposit, &QAction::triggered, this, [this] {
    // Modeless, with or without an open image: the result goes into a new window, or
    // into the window active when the run starts.
    auto* dlg = new CDlgBatchComposit(this);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    dlg->ShowModeless();
  });

  QMenu* info = bar->addMenu(Q(app_text::kMenuInfo));
  m_DocumentMenus << info->menuAction();
  Add(info, 4540, "切り抜き(&C)", false);
  Add(info, 4541, "ﾌﾞﾘﾝｸ(&B)...", false);
  Add(info, 4502, "測光(&A)...", false);
  connect(Add(info, cmd::ID_LIGHTCURVE, "ﾗｲﾄｶｰﾌﾞ(&L)..."), &QAction::triggered, this,
          &CMainFrame::OnLightCurve);
  connect(Add(info, cmd::ID_PLATE_SOLVE, "ﾌﾟﾚｰﾄｿﾙﾌﾞ(&S)..."), &QAction::triggered, this,
          &CMainFrame::OnPlateSolve);
  Add(info, 4501, "位置測定(&P)...", false);
  Add(info, 4503, "ｸﾞﾗﾌ(&G)...", false);
  connect(Add(info, ID_CONTOUR, "ｺﾝﾄｱ(&N)..."), &QAction::triggered, this, &CMainFrame::OnContour);

  QMenu* process = bar->addMenu(Q(app_text::kMenuProcess));
  m_DocumentMenus << process->menuAction();
  connect(Add(process, ID_DARK_FLAT, "ﾊﾞｲｱｽ・ﾀﾞｰｸ・ﾌﾗｯﾄ(&D)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.DarkFlat(); }); });
  connect(Add(process, ID_OVERSCAN, "ﾊﾞｲｱｽのｵｰﾊﾞｰｽｷｬﾝ領域減算(&O)..."), &QAction::triggered, this,
          [this] { OnImageCommand([](CRalImgWnd& wnd) { return wnd.OverScan(); }); });

  QMenu* first = bar->addMenu(Q(app_text::kMenuFirstOrder));
  m_DocumentMenus << first->menuAction();
  connect(Add(first, 4523, "ﾊﾞｯﾁ[共通ﾊﾞｲｱｽ・ﾀﾞｰｸ・ﾌﾗｯﾄ](&1)..."), &QAction::triggered, this,
          [this] {
            // Modeless: the program stays usable while the run goes.
            auto* dlg = new CDlgBatchDarkFlat(this);
            dlg->show();
          });
  connect(Add(first, 4524, "ﾊﾞｯﾁ[個別ﾊﾞｲｱｽ・ﾀﾞｰｸ・ﾌﾗｯﾄ](&2)..."), &QAction::triggered, this,
          [this] { (new CDlgBatchDarkFlat2(this))->show(); });
  connect(Add(first, cmd::ID_BATCH_OVERSCAN, "ﾊﾞｯﾁ[ﾊﾞｲｱｽのｵｰﾊﾞｰｽｷｬﾝ領域減算](&S)..."),
          &QAction::triggered, this, [this] {
            // Modeless; the active image gives the reference height of bottom-up rows.
            CKivImageView* view = ActiveView();
            auto* dlg =
                new CDlgBatchOverScan(this, view ? view->GetImgWnd().GetImagePtr() : nullptr);
            dlg->setAttribute(Qt::WA_DeleteOnClose);
            dlg->ShowModeless();
          });

  // With no image open the bar holds File, the batch commands and Help; the batch
  // commands are the same actions as in the menus shown with an image.
  QMenu* batch = new QMenu(Q(app_text::kMenuArith), bar);
  bar->insertMenu(arith->menuAction(), batch);
  m_pNoDocumentBatch = batch->menuAction();
  m_pNoDocumentBatch->setObjectName(QStringLiteral("noDocumentBatchMenu"));
  batch->addAction(batchComposit);
  batch->addSeparator();
  for (int id : {4523, 4524, cmd::ID_BATCH_OVERSCAN}) batch->addAction(Command(id));
  m_DocumentMenus << arith->menuAction();
  m_pArithMenu = arith->menuAction();

  m_pWindowMenu = bar->addMenu(Q(app_text::kMenuWindow));
  m_DocumentMenus << m_pWindowMenu->menuAction();
  connect(Add(m_pWindowMenu, ID_WINDOW_CASCADE, "重ねて表示(&C)"), &QAction::triggered, this,
          &CMainFrame::CascadeWindows);
  connect(Add(m_pWindowMenu, ID_WINDOW_TILE_HORZ, "上下に並べて表示(&T)"), &QAction::triggered,
          this, [this] {
            const auto list = m_pMdi->subWindowList();
            if (list.isEmpty()) return;
            const int h = m_pMdi->viewport()->height() / list.size();
            for (int i = 0; i < list.size(); ++i) {
              list[i]->showNormal();
              list[i]->setGeometry(0, i * h, m_pMdi->viewport()->width(), h);
            }
          });
  connect(Add(m_pWindowMenu, ID_WINDOW_TILE_VERT, "左右に並べて表示(&H)"), &QAction::triggered,
          this, [this] {
            const auto list = m_pMdi->subWindowList();
            if (list.isEmpty()) return;
            const int w = m_pMdi->viewport()->width() / list.size();
            for (int i = 0; i < list.size(); ++i) {
              list[i]->showNormal();
              list[i]->setGeometry(i * w, 0, w, m_pMdi->viewport()->height());
            }
          });
  connect(Add(m_pWindowMenu, ID_WINDOW_ARRANGE, "ｱｲｺﾝの整列(&A)"), &QAction::triggered, this,
          &CMainFrame::ArrangeIcons);
  connect(m_pWindowMenu, &QMenu::aboutToShow, this, &CMainFrame::RebuildWindowMenu);

  QMenu* help = bar->addMenu(Q(app_text::kMenuHelp));
  connect(Add(help, ID_HELP, "ｵﾝﾗｲﾝ･ﾍﾙﾌﾟ(&H)"), &QAction::triggered, this,
          [] { manual::Open(manual::DefaultFolders()); });
  connect(help->addAction(Q(app_text::kMenuAbout)), &QAction::triggered, this, [this] {
    AfxMessageBox(std::string(app_text::kTitle) + "  Version 2.0.0", MB_OK | MB_ICONINFORMATION);
  });
}

void CMainFrame::CreateToolBar() {
  QToolBar* tb = addToolBar(QStringLiteral("Standard"));
  tb->setObjectName(QStringLiteral("toolBar"));
  QAction* open = Command(cmd::ID_FILE_OPEN);
  open->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
  Command(cmd::ID_FILE_SAVE)->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  tb->addAction(open);
  tb->addAction(Command(cmd::ID_FILE_SAVE));
  tb->addSeparator();
  tb->addAction(Command(cmd::ID_FILE_PRINT));
  tb->addSeparator();
  QAction* in = Command(cmd::ID_ZOOM_IN);
  QAction* out = Command(cmd::ID_ZOOM_OUT);
  in->setIconText(QStringLiteral("＋"));
  out->setIconText(QStringLiteral("－"));
  tb->addAction(in);
  tb->addAction(out);
  tb->addAction(Command(cmd::ID_MAG_1));
  Command(cmd::ID_MAG_1)->setIconText(QStringLiteral("1:1"));
  tb->addAction(Command(cmd::ID_ZOOM_FIT));
  Command(cmd::ID_ZOOM_FIT)->setIconText(QStringLiteral("全体"));
}

void CMainFrame::UpdateCommands() {
  CKivImageView* view = ActiveView();
  const bool doc = view != nullptr;
  for (QAction* menu : m_DocumentMenus) menu->setVisible(doc);
  m_pNoDocumentBatch->setVisible(!doc);
  // The bar answers a mnemonic only when one title has it, shown or not: the hidden one
  // of the two image-arithmetic menus goes without it.
  const QString titled = Q(app_text::kMenuArith);
  const QString plain = QString(titled).remove(QLatin1Char('&'));
  m_pArithMenu->setText(doc ? titled : plain);
  m_pNoDocumentBatch->setText(doc ? plain : titled);
  for (int id : {cmd::ID_FILE_CLOSE,
                 cmd::ID_FILE_SAVE,
                 cmd::ID_FILE_SAVE_AS,
                 cmd::ID_FILE_PRINT,
                 cmd::ID_FILE_PRINT_PREVIEW,
                 cmd::ID_FILE_PAGE_SETUP,
                 cmd::ID_ZOOM_IN,
                 cmd::ID_ZOOM_OUT,
                 cmd::ID_ZOOM_FIT,
                 cmd::ID_MAG_HALF,
                 cmd::ID_MAG_1,
                 cmd::ID_MAG_2,
                 cmd::ID_MAG_3,
                 cmd::ID_LOG_SCALE,
                 cmd::ID_VERTICAL,
                 cmd::ID_HORIZONTAL,
                 cmd::ID_LEVEL,
                 cmd::ID_AUTO_LEVEL,
                 cmd::ID_AUTO_LEVEL_SETTING,
                 cmd::ID_LEVEL_AT_LOAD,
                 cmd::ID_EDIT_COPY,
                 cmd::ID_FITS_HEADER})
    Command(id)->setEnabled(doc);
  for (int id :
       {cmd::ID_ROTATE, cmd::ID_TRANSLATE, cmd::ID_RESOLUTION, cmd::ID_CONTOUR, cmd::ID_OVERSCAN,
        cmd::ID_DARK_FLAT, cmd::ID_CALC_ADD, cmd::ID_CALC_SUB, cmd::ID_CALC_MUL, cmd::ID_CALC_DIV})
    Command(id)->setEnabled(doc);
  Command(cmd::ID_COMPOSIT)->setEnabled(doc);
  Command(cmd::ID_BLINK_COMPARETER)->setEnabled(doc);
  // Undo names what it takes back.
  const bool undo = doc && view->GetImgWnd().HasUndoBuff();
  QAction* undoAction = Command(cmd::ID_EDIT_UNDO);
  undoAction->setEnabled(undo);
  const CRalImage* current = doc ? view->GetImgWnd().GetImagePtr() : nullptr;
  undoAction->setStatusTip(undo && current ? QString::fromStdString(current->GetUndoDialogName())
                                           : QString());
  const int mag = doc ? view->GetImgWnd().GetZoom() : -100;
  Command(cmd::ID_MAG_HALF)->setChecked(mag == 0);
  Command(cmd::ID_MAG_1)->setChecked(mag == 1);
  Command(cmd::ID_MAG_2)->setChecked(mag == 2);
  Command(cmd::ID_MAG_3)->setChecked(mag == 3);
  Command(cmd::ID_LOG_SCALE)->setChecked(doc && view->GetImgWnd().IsLogScale());
  const CRalImage* image = doc ? view->GetImgWnd().GetImagePtr() : nullptr;
  const bool colour = image && image->GetPlanes() >= 3;
  // Stars are found on one plane only.
  Command(cmd::ID_PLATE_SOLVE)->setEnabled(image && image->GetPlanes() == 1);
  const int mode = doc ? view->GetImgWnd().GetColorMode() : -1;
  const int type = doc ? view->GetImgWnd().GetColorType() : -1;
  const struct {
    int id, mode, type;
    bool forColour;
  } modes[] = {{cmd::ID_GRAY, colour ? 2 : 0, -1, false},
               {cmd::ID_GRAY_NEG, colour ? 3 : 1, -1, false},
               {cmd::ID_COLOR, 0, -1, true},
               {cmd::ID_COLOR_NEG, 1, -1, true},
               {cmd::ID_CYAN, 4, 1, false},
               {cmd::ID_CYAN_NEG, 5, 1, false},
               {cmd::ID_VERMILION, 4, 0, false},
               {cmd::ID_VERMILION_NEG, 5, 0, false},
               {cmd::ID_BLACKBODY, 4, 2, false},
               {cmd::ID_BLACKBODY_NEG, 5, 2, false},
               {cmd::ID_RAINBOW, 4, 3, false},
               {cmd::ID_RAINBOW_NEG, 5, 3, false},
               {cmd::ID_SPECTRUM, 6, -1, false}};
  for (const auto& m : modes) {
    QAction* a = Command(m.id);
    bool enabled = doc;
    if (m.forColour)
      enabled = enabled && colour;
    else if (m.id != cmd::ID_GRAY && m.id != cmd::ID_GRAY_NEG)
      enabled = enabled && !colour;
    if (m.id == cmd::ID_SPECTRUM)
      enabled = enabled && image && image->IsSpectrumFalseColorSupported();
    a->setEnabled(enabled);
    a->setChecked(enabled && mode == m.mode && (m.type < 0 || type == m.type));
  }
  UpdateBarAndTools();
}

void CMainFrame::UpdateStatus() {
  CKivImageView* view = ActiveView();
  if (!view) {
    m_pZoomPane->clear();
    return;
  }
  const double f = CViewInfo::nMagTofMag(view->GetImgWnd().GetZoom());
  m_pZoomPane->setText(QStringLiteral("%1%").arg(f * 100.0, 0, 'g', 4));
}

void CMainFrame::UpdateRecentMenu() {
  m_pRecentMenu->clear();
  for (int i = 0; i < m_Recent.size(); ++i) {
    const QString path = m_Recent[i];
    QAction* a = m_pRecentMenu->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(path));
    a->setData(cmd::ID_FILE_MRU_FIRST + i);
    connect(a, &QAction::triggered, this, [this, path] { OpenDocumentFile(path); });
  }
  m_pRecentMenu->setEnabled(!m_Recent.isEmpty());
}

void CMainFrame::AddRecentFile(const QString& path) {
  const QString full = QFileInfo(path).absoluteFilePath();
  m_Recent.removeAll(full);
  m_Recent.prepend(full);
  while (m_Recent.size() > kRecentCount) m_Recent.removeLast();
  for (int i = 0; i < kRecentCount; ++i) {
    const std::string name = "File" + std::to_string(i + 1);
    if (i < m_Recent.size())
      CRegistry::Write("Recent File List", name, m_Recent[i].toStdString());
    else
      CRegistry::DeleteValue("Recent File List", name);
  }
  UpdateRecentMenu();
}

CKivImageDoc* CMainFrame::OpenDocumentFile(const QString& path) {
  const QString full = QFileInfo(path).absoluteFilePath();
  for (CChildFrame* f : Frames()) {
    if (QFileInfo(f->GetDocument()->GetPathName()).absoluteFilePath() == full) {
      m_pMdi->setActiveSubWindow(f);
      return f->GetDocument();
    }
  }
  auto* doc = new CKivImageDoc;
  doc->GetImgWnd().SetProgressSink(m_pProgress);
  if (!doc->OnOpenDocument(full)) {
    delete doc;
    return nullptr;
  }
  CChildFrame* frame = AddFrame(doc);
  doc->GetImgWnd().Update(1);
  ShowFrame(frame);
  AddRecentFile(full);
  return doc;
}

CChildFrame* CMainFrame::AddFrame(CKivImageDoc* doc) {
  auto* frame = new CChildFrame(doc);
  m_pMdi->addSubWindow(frame);
  // A document asked to close (by a dialog that opened it) closes its window.
  connect(doc, &CKivImageDoc::closeRequested, frame, [frame] { frame->close(); });
  // The size a new child window starts at; an image that fits is then fitted exactly,
  // and one larger than the room keeps this with scroll bars.
  const QSize room = m_pMdi->viewport()->size();
  if (room.width() > 0 && room.height() > 0)
    frame->resize(room.width() * 3 / 4, room.height() * 3 / 4);
  connect(frame->GetView(), &CKivImageView::zoomChanged, this, [this] {
    UpdateCommands();
    UpdateStatus();
  });
  // The information bar follows the mouse over every image window.
  connect(frame->GetView(), &CKivImageView::mouseMoved, m_pInfoBar,
          [bar = m_pInfoBar](CKivImageView* view, QPoint p) {
            bar->SetData(&view->GetImgWnd(), POINT{p.x(), p.y()});
          });
  connect(frame->GetView(), &CKivImageView::mouseLeft, m_pInfoBar, &CDlgBarImageInfo::ClearData);
  connect(frame->GetView(), &QObject::destroyed, m_pInfoBar, &CDlgBarImageInfo::ClearData);
  WatchFrame(frame);
  return frame;
}

void CMainFrame::ShowFrame(CChildFrame* frame) {
  if (m_pApp && m_pApp->IsMaximized())
    frame->showMaximized();
  else
    frame->show();
  m_pMdi->setActiveSubWindow(frame);
  frame->KeepInsideArea();
  frame->GetView()->UpdateLayout();
  UpdateCommands();
  UpdateStatus();
}

CVumDocument* CMainFrame::CreateVumDocument() {
  auto* doc = new CKivImageDoc;
  doc->GetImgWnd().SetProgressSink(m_pProgress);
  CChildFrame* frame = AddFrame(doc);
  frame->hide();
  connect(doc, &CKivImageDoc::initialUpdate, frame, [this, frame, doc] {
    doc->GetImgWnd().Update(1);
    ShowFrame(frame);
  });
  return doc;
}

std::vector<CVumDocument*> CMainFrame::GetVumDocuments() const {
  std::vector<CVumDocument*> out;
  for (CChildFrame* f : Frames()) out.push_back(f->GetDocument());
  return out;
}

CVumDocument* CMainFrame::OpenVumDocument(const std::string& path) {
  return OpenDocumentFile(QString::fromStdString(path));
}

CVumDocument* CMainFrame::ActiveVumDocument() const {
  CKivImageDoc* doc = ActiveDocument();
  return doc && doc->GetImgWnd().GetImagePtr() ? doc : nullptr;
}

int CMainFrame::RunOnActiveImage(const ImageWork& work) {
  CKivImageDoc* doc = ActiveDocument();
  if (!doc || !doc->GetImgWnd().GetImagePtr()) return 0;
  // The document stays while its window is busy: closing it is refused meanwhile.
  const int done = doc->GetImgWnd().RunWork(work);
  if (done) doc->SetModifiedFlag(true);
  UpdateCommands();
  return done;
}

void CMainFrame::OnImageCommand(const std::function<int(CRalImgWnd&)>& command) {
  CKivImageDoc* doc = ActiveDocument();
  if (!doc || !doc->GetImgWnd().GetImagePtr()) return;
  if (command(doc->GetImgWnd())) doc->SetModifiedFlag(true);
  UpdateCommands();
}

QList<CChildFrame*> CMainFrame::Frames() const {
  QList<CChildFrame*> out;
  for (QMdiSubWindow* w : m_pMdi->subWindowList())
    if (auto* f = qobject_cast<CChildFrame*>(w)) out << f;
  return out;
}

CKivImageDoc* CMainFrame::ActiveDocument() const {
  auto* f = qobject_cast<CChildFrame*>(m_pMdi->currentSubWindow());
  return f ? f->GetDocument() : nullptr;
}

CKivImageView* CMainFrame::ActiveView() const {
  auto* f = qobject_cast<CChildFrame*>(m_pMdi->currentSubWindow());
  return f ? f->GetView() : nullptr;
}

void CMainFrame::OnFileOpen() {
  // The open dialog with the dispatcher's filter and remembered folder and type.
  const OpenDialogSetup setup = OpenImageSetup(0);
  FileOpenPrompt prompt;
  prompt.title = setup.title;
  prompt.filter = setup.filter;
  CRegistry::Read("IO", setup.folderKey, "", prompt.initialDir);
  CRegistry::Read("IO", setup.filterIndexKey, 1, prompt.filterIndex, CRegistry::TYPE_INT);
  if (!GetUserPrompts().Ask(prompt) || prompt.paths.empty()) return;
  CRegistry::Write(
      "IO", setup.folderKey,
      QFileInfo(QString::fromStdString(prompt.paths.front())).absolutePath().toStdString());
  CRegistry::Write("IO", setup.filterIndexKey, prompt.filterIndex, CRegistry::TYPE_INT);
  for (const std::string& path : prompt.paths) OpenDocumentFile(QString::fromStdString(path));
}

void CMainFrame::OnEditCopy() {
  CKivImageDoc* doc = ActiveDocument();
  CRalImage* image = doc ? doc->GetImgWnd().GetImagePtr() : nullptr;
  if (image) (void)CRalImageIO::WriteImageFile(*image, "_CLIPBOARD_", 0);
}

void CMainFrame::OnEditPaste() {
  // The clipboard is no file name, so its type is given rather than guessed.
  auto image = std::make_unique<CRalImage>();
  image->SetProgressSink(m_pProgress);
  CReadParam param;
  param.SetFileType(FILETYPE_CLIPBOARD);
  if (!CRalImageIO::ReadFile(*image, "_CLIPBOARD_", &param, -32, nullptr)) return;
  for (int p = 0; p < image->GetPlanes(); ++p)
    image->SetOrgDefaultLevel(p, image->GetLevelMin(p), image->GetLevelMax(p));
  auto* doc = new CKivImageDoc;
  doc->GetImgWnd().SetProgressSink(m_pProgress);
  doc->SetVumImage(image.release(), &param);
  doc->SetTitle(QString::fromUtf8(kClipboardFormatText.data(),
                                  static_cast<qsizetype>(kClipboardFormatText.size())));
  CChildFrame* frame = AddFrame(doc);
  doc->GetImgWnd().Update(1);
  ShowFrame(frame);
}

void CMainFrame::OnSave(bool saveAs) {
  CKivImageDoc* doc = ActiveDocument();
  if (!doc) return;
  if (doc->DoSave(saveAs)) AddRecentFile(doc->GetPathName());
}

void CMainFrame::OnColorMode(int mode, int type) {
  CKivImageView* view = ActiveView();
  if (!view) return;
  (void)view->GetImgWnd().SetColorMode(static_cast<CImageBuffer::COLOR_MODE>(mode),
                                       static_cast<CImageBuffer::COLOR_TYPE>(type));
  UpdateCommands();
}

void CMainFrame::RebuildWindowMenu() {
  for (QAction* a : m_WindowEntries) {
    m_pWindowMenu->removeAction(a);
    a->deleteLater();
  }
  m_WindowEntries.clear();
  // The image windows, then the tool dialogs on screen.
  const std::vector<WindowListEntry> windows = WindowListEntries(m_pMdi);
  if (windows.empty()) return;
  m_WindowEntries << m_pWindowMenu->addSeparator();
  const std::size_t shown = std::min<std::size_t>(windows.size(), kWindowEntries);
  for (std::size_t i = 0; i < shown; ++i) {
    QAction* a =
        m_pWindowMenu->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(windows[i].title));
    a->setCheckable(true);
    a->setChecked(windows[i].current);
    connect(a, &QAction::triggered, this, windows[i].activate);
    m_WindowEntries << a;
  }
  if (windows.size() > shown) {
    QAction* more = m_pWindowMenu->addAction(Q(app_text::kMoreWindows));
    more->setData(cmd::ID_MORE_WINDOWS);
    more->setObjectName(QStringLiteral("ID_%1").arg(cmd::ID_MORE_WINDOWS));
    connect(more, &QAction::triggered, this, &CMainFrame::ShowWindowList);
    m_WindowEntries << more;
  }
}

void CMainFrame::ShowWindowList() {
  const std::vector<WindowListEntry> windows = WindowListEntries(m_pMdi);
  QStringList titles;
  for (const WindowListEntry& w : windows) titles << w.title;
  CDlgWindow dlg(titles, this);
  if (dlg.exec() != QDialog::Accepted) return;
  const int index = dlg.SelectedIndex();
  if (index >= 0 && static_cast<std::size_t>(index) < windows.size()) windows[static_cast<std::size_t>(index)].activate();
}

void CMainFrame::CascadeWindows() {
  const QSize room = m_pMdi->viewport()->size();
  if (room.isEmpty()) return;
  // Each window a title bar lower and to the right than the one before, in the order they
  // were opened, at the size it has (shrunk only to stay inside); the run starts again at
  // the corner when the next window would have less than half the room.
  const int step = std::max(16, style()->pixelMetric(QStyle::PM_TitleBarHeight) + 4);
  int offset = 0;
  QMdiSubWindow* active = m_pMdi->activeSubWindow();
  for (QMdiSubWindow* w : m_pMdi->subWindowList(QMdiArea::CreationOrder)) {
    if (w->isMinimized()) continue;
    if (w->isMaximized()) w->showNormal();
    if (offset > 0 &&
        (room.width() - offset < room.width() / 2 || room.height() - offset < room.height() / 2))
      offset = 0;
    const QSize size(std::max(w->minimumWidth(), std::min(w->width(), room.width() - offset)),
                     std::max(w->minimumHeight(), std::min(w->height(), room.height() - offset)));
    w->setGeometry(QRect(QPoint(offset, offset), size));
    w->raise();
    offset += step;
  }
  if (active) m_pMdi->setActiveSubWindow(active);
}

void CMainFrame::ArrangeIcons() {
  const QSize room = m_pMdi->viewport()->size();
  if (room.isEmpty()) return;
  // Minimised windows in rows along the bottom edge, left to right, filling upwards.
  int x = 0, y = room.height();
  int rowHeight = 0;
  for (QMdiSubWindow* w : m_pMdi->subWindowList(QMdiArea::CreationOrder)) {
    if (!w->isMinimized()) continue;
    const QSize s = w->size();
    if (x > 0 && x + s.width() > room.width()) {
      x = 0;
      y -= rowHeight;
      rowHeight = 0;
    }
    rowHeight = std::max(rowHeight, s.height());
    w->move(x, std::max(0, y - s.height()));
    x += s.width();
  }
}

void CMainFrame::RestorePlacement(bool maximized) {
  WINDOWPLACEMENT wp;
  int showCmd = SW_SHOWNORMAL;
  if (CRegistry::Read("General", "FramePosition", wp, &showCmd)) {
    const RECT& r = wp.rcNormalPosition;
    const QRect want(r.left, r.top, r.right - r.left, r.bottom - r.top);
    // A placement that lies off every screen is not restored.
    bool onScreen = false;
    for (QScreen* s : QGuiApplication::screens())
      onScreen = onScreen || s->availableGeometry().intersects(want);
    if (want.width() > 0 && want.height() > 0 && onScreen) setGeometry(want);
  }
  if (maximized || showCmd == SW_SHOWMAXIMIZED)
    showMaximized();
  else if (IsMinimizedShowCommand(showCmd))
    showMinimized();
  else
    show();
}

void CMainFrame::StorePlacement() const {
  WINDOWPLACEMENT wp;
  const QRect g = isMaximized() || isMinimized() ? normalGeometry() : geometry();
  wp.rcNormalPosition = {g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
  wp.showCmd =
      isMaximized() ? SW_SHOWMAXIMIZED : (isMinimized() ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
  CRegistry::Write("General", "FramePosition", wp);
}

void CMainFrame::BringToFront() {
  // Minimising keeps the maximised (or full-screen) flag beside the minimised one;
  // clearing only the latter brings the frame back as it was.
  if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  // A light curve under way reads the windows' images between its frames: it is stopped
  // after the frame in hand, and the program stays until it has returned.
  if (m_pLightCurve && m_pLightCurve->IsRunning()) {
    m_pLightCurve->Stop();
    event->ignore();
    return;
  }
  if (IsAnyBlink()) {
    AfxMessageBox(app_text::kBlinkRunning, MB_OK | MB_ICONEXCLAMATION);
    event->ignore();
    return;
  }
  if (AfxMessageBox(app_text::kExitQuestion, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
    event->ignore();
    return;
  }
  // Each modified image asks before it goes; one Cancel keeps the program open.
  for (CChildFrame* f : Frames()) {
    if (!f->GetDocument()->SaveModified()) {
      event->ignore();
      return;
    }
  }
  for (CChildFrame* f : Frames()) {
    f->GetDocument()->SetModifiedFlag(false);
    f->close();
  }
  if (m_pApp) CRegistry::Write("IO", "FitsBottomUp", m_pApp->FitsBottomUp(), CRegistry::TYPE_BOOL);
  StorePlacement();
  CRegistry::RemoveRegKey("Exchange");
  event->accept();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  bool any = false;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    OpenDocumentFile(url.toLocalFile());
    any = true;
  }
  if (any) {
    event->acceptProposedAction();
    BringToFront();
  }
}

// ---- the image tool bar and the measurement tools

void CMainFrame::CreateImageBar() {
  m_pBarImage = new CBarImage(this);
  m_pBarImage->SetCommands(Command(cmd::ID_ZOOM_IN), Command(cmd::ID_ZOOM_OUT),
                           Command(cmd::ID_LOG_SCALE), Command(cmd::ID_AUTO_LEVEL),
                           Command(cmd::ID_HIDE_MARKS));
  // A row of its own: the bar is wider than what is left beside the standard one.
  addToolBarBreak(Qt::TopToolBarArea);
  addToolBar(Qt::TopToolBarArea, m_pBarImage);
  // The bar's changes reach the menu's checks; levels change no pixel and leave the
  // document as it was.
  connect(m_pBarImage, &CBarImage::colorModeChanged, this, &CMainFrame::UpdateCommands);
}

void CMainFrame::ConnectToolCommands() {
  using namespace tool_rules;
  const struct {
    int id, mode;
  } tools[] = {{cmd::ID_CROP, MODE_CROP},
               {cmd::ID_BLINK, MODE_BLINK},
               {cmd::ID_APERTURE, MODE_APERTURE},
               {cmd::ID_POSITIONING, MODE_POSITIONING},
               {cmd::ID_GRAPH, MODE_GRAPH}};
  for (const auto& t : tools) {
    QAction* a = Command(t.id);
    a->setCheckable(true);
    const int mode = t.mode;
    connect(a, &QAction::triggered, this, [this, mode] { OnToolCommand(mode); });
  }
}

namespace {

CToolWindow::TOOL ToolOfMode(int mode) {
  switch (mode) {
    case tool_rules::MODE_CROP:
      return CToolWindow::TOOL_CROP;
    case tool_rules::MODE_BLINK:
      return CToolWindow::TOOL_BLINK;
    case tool_rules::MODE_GRAPH:
      return CToolWindow::TOOL_GRAPH;
    case tool_rules::MODE_APERTURE:
      return CToolWindow::TOOL_APERTURE;
    default:
      return CToolWindow::TOOL_POSITIONING;
  }
}

}  // namespace

void CMainFrame::OnToolCommand(int mode) {
  CKivImageDoc* doc = ActiveDocument();
  if (!doc || !doc->GetImgWnd().GetImagePtr()) return;
  CRalImgWnd& wnd = doc->GetImgWnd();
  if (!wnd.HasTool(ToolOfMode(mode))) return;
  tool_rules::ToolState state{doc->GetToolMode(), m_nToolMode};
  switch (mode) {
    case tool_rules::MODE_CROP:
      tool_rules::Crop(wnd, state);
      break;
    case tool_rules::MODE_BLINK:
      tool_rules::Blink(wnd, state);
      break;
    case tool_rules::MODE_GRAPH:
      tool_rules::Graph(wnd, state);
      break;
    case tool_rules::MODE_APERTURE:
      tool_rules::Aperture(wnd, state);
      break;
    case tool_rules::MODE_POSITIONING:
      tool_rules::Positioning(wnd, state);
      break;
    default:
      return;
  }
  doc->SetToolMode(state.document);
  m_nToolMode = state.application;
  UpdateCommands();
}

void CMainFrame::UpdateBarAndTools() {
  CKivImageView* view = ActiveView();
  if (m_pBarImage) m_pBarImage->Follow(view);
  CKivImageDoc* doc = view ? view->GetDocument() : nullptr;
  const struct {
    int id, mode;
  } tools[] = {{cmd::ID_CROP, tool_rules::MODE_CROP},
               {cmd::ID_BLINK, tool_rules::MODE_BLINK},
               {cmd::ID_APERTURE, tool_rules::MODE_APERTURE},
               {cmd::ID_POSITIONING, tool_rules::MODE_POSITIONING},
               {cmd::ID_GRAPH, tool_rules::MODE_GRAPH}};
  for (const auto& t : tools) {
    QAction* a = Command(t.id);
    const bool carried = doc && doc->GetImgWnd().HasTool(ToolOfMode(t.mode));
    a->setEnabled(carried);
    a->setChecked(carried && tool_rules::IsChecked(doc->GetImgWnd(), doc->GetToolMode(), t.mode));
  }
  // Hiding the marks needs tools that leave marks.
  bool marks = false;
  for (const auto& t : tools)
    marks = marks || (doc && doc->GetImgWnd().HasTool(ToolOfMode(t.mode)));
  Command(cmd::ID_HIDE_MARKS)->setEnabled(marks);
  Command(cmd::ID_HIDE_MARKS)->setChecked(marks && doc->GetImgWnd().AreMarksHidden());
  if (m_pToolPane) m_pToolPane->setText(ToolStatusText());
}

QString CMainFrame::ToolStatusText() const {
  const CKivImageDoc* doc = ActiveDocument();
  const char* word = tool_rules::StatusWord(doc ? doc->GetToolMode() : 0, m_nToolMode);
  return Q(app_text::kStatusTool).replace(QStringLiteral("OFF*"), Q(word));
}

void CMainFrame::WatchFrame(CChildFrame* frame) {
  CKivImageDoc* doc = frame->GetDocument();
  connect(frame, &CChildFrame::closing, this, [this, doc] { OnDocumentClosing(doc); });
  doc->GetImgWnd().SetBlinkSources([this] { return BlinkSources(); });
  // A tool dialog the user closes turns its tool off on the document.
  doc->GetImgWnd().SetToolDialogClosed([this, doc](int mode) {
    if (doc->GetToolMode() == mode) doc->SetToolMode(tool_rules::MODE_NONE);
    OnToolDialogClosed(Q(tool_rules::ModeName(mode)));
    UpdateCommands();
  });
  // Marks shown again by a click in a tool: the hide command's check follows.
  doc->GetImgWnd().SetMarksHiddenChanged([this] { UpdateCommands(); });
  // A finished profile line shows the graph dialog again: the menus and panes follow.
  doc->GetImgWnd().SetLineFinished([this] {
    UpdateCommands();
    UpdateStatus();
  });
  // The graph dialog's other documents: the current line of every other open image.
  doc->GetImgWnd().SetOtherGraphs([this, doc] {
    std::vector<CCtrlGraph2DData2> graphs;
    for (CChildFrame* f : Frames()) {
      if (f->GetDocument() == doc) continue;
      CCtrlGraph2DData2 d;
      if (f->GetDocument()->GetImgWnd().GetCurrentGraph(&d)) graphs.push_back(std::move(d));
    }
    return graphs;
  });
  // Once the frame is gone the bar and the menus follow whatever window is active then.
  connect(frame, &QObject::destroyed, this, &CMainFrame::OnDocumentClosed, Qt::QueuedConnection);
}

void CMainFrame::OnDocumentClosing(CKivImageDoc* doc) {
  const int mode = m_nToolMode;
  tool_rules::HideDialog(doc->GetImgWnd(), mode);
  OnToolDialogClosed(Q(tool_rules::ModeName(mode)), doc);
}

void CMainFrame::OnToolDialogClosed(const QString& name, const CKivImageDoc* closing) {
  const int mode = tool_rules::ModeOfName(name.toStdString());
  if (mode == tool_rules::MODE_NONE || mode != m_nToolMode) return;
  for (CChildFrame* f : Frames())
    if (f->GetDocument() != closing && f->GetDocument()->GetToolMode() == mode) return;
  m_nToolMode = tool_rules::MODE_NONE;
  if (m_pToolPane) m_pToolPane->setText(ToolStatusText());
}

void CMainFrame::OnDocumentClosed() {
  UpdateCommands();
  UpdateStatus();
}

bool CMainFrame::IsAnyBlink() const {
  for (CChildFrame* f : Frames())
    if (f->GetDocument()->GetImgWnd().IsBlink()) return true;
  return false;
}
