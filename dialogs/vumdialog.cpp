// The processing dialog framework: settings and position, OK processing with the undo
// image, the banded preview driven by queued calls, and new documents with unique titles.
#include "dialogs/vumdialog.h"

#include "dialogs/dlgsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <new>

#include "engine/ralimage.h"
#include "engine/valuestep.h"
#include "fileio/ralimageio.h"
#include "fileio/qt/iodialogs.h"
#include "fileio/readparam.h"
#include "platform/messagebox.h"
#include "platform/text.h"

namespace {

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Trim(std::string s) {
  const auto notBlank = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notBlank));
  s.erase(std::find_if(s.rbegin(), s.rend(), notBlank).base(), s.end());
  return s;
}

using dlg::WaitCursor;

ProgressSink* MainProgress() {
  return CRalImageIO::GetProgressSink();
}

CVumDocTemplate* g_pDocTemplate = nullptr;

}  // namespace

// ---- CVumDialog

CVumDialog::CVumDialog(int templateId, QWidget* parent)
    : QDialog(parent), m_nTemplateId(templateId) {
  setObjectName(QStringLiteral("dialog%1").arg(templateId));
}

CVumDialog::~CVumDialog() = default;

void CVumDialog::Set(CVumDocument* doc, CRalImage* target, CRalImage* undo) {
  m_pDocument = doc;
  m_pTarget = target;
  m_pUndo = undo;
  m_strDocTitle = doc ? doc->GetVumTitle() : std::string();
  if (target) target->SetUndoDialogName("");
  if (undo) undo->SetUndoDialogName("");
}

QPushButton* CVumDialog::HelpButton() {
  if (!m_pHelp) {
    m_pHelp = new QPushButton(Q(vum::kHelpLabel), this);
    m_pHelp->setObjectName(QString::number(vum::ID_HELP));
    m_pHelp->setAutoDefault(false);
    connect(m_pHelp, &QPushButton::clicked, this, [] {
      std::string url;
      CRegistry::Read("General", "ManualURL", "-", url);
      if (!url.empty() && url != "-") QDesktopServices::openUrl(QUrl::fromUserInput(Q(url)));
    });
  }
  return m_pHelp;
}

int CVumDialog::DoModal() {
  if (!m_bInitialised) {
    m_bInitialised = true;
    OnInitDialog();
  }
  return exec();
}

void CVumDialog::OnInitDialog() {
  if (!m_strDocTitle.empty())
    setWindowTitle(windowTitle() + Q(" [ " + m_strDocTitle + " ]"));
  if (m_pHelp) {
    std::string url;
    CRegistry::Read("General", "ManualURL", "-", url);
    m_pHelp->setEnabled(!(url.empty() || url == "-"));
  }
  UpdateRegistry(0, nullptr);
  UpdateData(false);
}

int CVumDialog::CheckValue() {
  return UpdateData(true);
}

void CVumDialog::UpdateRegistry(int write, const char* section) {
  if (!section) return;
  PositionKeeper position(this, section);
  if (write)
    position.Store();
  else
    position.Restore();
}

int CVumDialog::ImageProc(RECT*, int) {
  return 1;
}

void CVumDialog::DoDataExchange(bool) {}

int CVumDialog::UpdateData(bool save) {
  DoDataExchange(save);
  return 1;
}

bool CVumDialog::GetProcessRect(RECT* rect) {
  if (!m_pDocument || m_pDocument->GetVumViews().empty()) return false;
  SendMessageToFirstView(vum::WM_VUM_SELECTED_RECT, reinterpret_cast<std::uintptr_t>(rect), 0);
  return true;
}

void CVumDialog::StoreUndoName() {
  if (!m_pTarget || !m_pUndo) return;
  std::string caption = windowTitle().toStdString();
  const std::size_t bracket = caption.rfind('[');
  if (bracket != std::string::npos) caption.resize(bracket);
  caption = Trim(caption);
  m_pTarget->SetUndoDialogName(caption);
  m_pUndo->SetUndoDialogName(caption);
}

void CVumDialog::OnOK() {
  UpdateData(true);
  m_bError = 0;
  if (!CheckValue()) return;
  RECT rect{};
  const bool haveRect = GetProcessRect(&rect);
  {
    WaitCursor wait;
    (void)PrepareUndoBuf(0);
    bool ok = true;
    if (m_pTarget && m_pUndo && haveRect &&
        (rect.Width() != m_pTarget->GetWidth() || rect.Height() != m_pTarget->GetHeight())) {
      // Pixels outside the rectangle keep their values.
      ok = m_pTarget->CopyImage(*m_pUndo, MainProgress(), vum::kPreprocessCaption) != 0;
    }
    if (!ok || !ImageProc(haveRect ? &rect : nullptr, 1)) {
      AfxMessageBox(vum::kNoMemoryVumd, MB_OK | MB_ICONEXCLAMATION);
      m_bError = 1;
    }
  }
  StoreUndoName();
  EndDialog(QDialog::Accepted);
}

void CVumDialog::OnCancel() {
  EndDialog(QDialog::Rejected);
}

void CVumDialog::OnDestroy() {
  UpdateRegistry(1, nullptr);
}

void CVumDialog::EndDialog(int result) {
  done(result);
}

void CVumDialog::done(int result) {
  if (!m_bDestroyed) {
    m_bDestroyed = true;
    OnDestroy();
  }
  QDialog::done(result);
}

int CVumDialog::PrepareUndoBuf(int mode) {
  if (!m_bPrepareUndo || !m_pUndo || !m_pUndo->IsEmpty()) return 1;
  if (!m_pTarget) return 1;
  if (mode == 0) {
    try {
      if (!m_pUndo->Create(*m_pTarget, MainProgress(), vum::kUndoBufferCaption)) return 0;
    } catch (const std::bad_alloc&) {
      return 0;
    }
    // The undo image holds the pixels as they were; the target gets the new store.
    m_pUndo->Swap(*m_pTarget);
    return 1;
  }
  if (mode == 1) {
    if (!m_pUndo->CopyImage(*m_pTarget, MainProgress(), vum::kUndoBufferCaption)) return 0;
    return m_pUndo->IsEmpty() ? 0 : 1;
  }
  return 1;
}

std::intptr_t CVumDialog::SendMessageToView(unsigned msg, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
  if (!m_pDocument) return 0;
  std::intptr_t result = 0;
  for (CVumView* view : m_pDocument->GetVumViews()) result = view->SendVumMessage(msg, wParam, lParam);
  return result;
}

std::intptr_t CVumDialog::SendMessageToFirstView(unsigned msg, std::uintptr_t wParam,
                                                 std::intptr_t lParam) {
  if (!m_pDocument) return 0;
  const std::vector<CVumView*> views = m_pDocument->GetVumViews();
  return views.empty() ? 0 : views.front()->SendVumMessage(msg, wParam, lParam);
}

int CVumDialog::UpdateReg(std::string_view section, std::string_view key, int write, int& value,
                          CRegistry::DATATYPE type, int def) {
  return CRegistry::UpdateReg(section, key, def, value, type, write);
}

int CVumDialog::UpdateReg(std::string_view section, std::string_view key, int write,
                          double& value, double def) {
  return CRegistry::UpdateReg(section, key, def, value, write);
}

int CVumDialog::UpdateReg(std::string_view section, std::string_view key, int write,
                          std::string& value, std::string_view def) {
  return CRegistry::UpdateReg(section, key, def, value, write);
}

// ---- CVumPreviewDialog

CVumPreviewDialog::CVumPreviewDialog(int templateId, QWidget* parent)
    : CVumDialog(templateId, parent) {
  m_pPreviewBox = new QCheckBox(Q(vum::kPreviewLabel), this);
  m_pPreviewBox->setObjectName(QString::number(vum::IDC_PREVIEW));
  m_pPreviewBox->setChecked(true);
  connect(m_pPreviewBox, &QCheckBox::toggled, this, [this] { RestartPreview(); });
}

CVumPreviewDialog::~CVumPreviewDialog() {
  if (m_bFilterInstalled) qApp->removeEventFilter(this);
  EndBusy();
}

void CVumPreviewDialog::DoDataExchange(bool save) {
  const QSignalBlocker block(m_pPreviewBox);
  if (save)
    m_bPreview = m_pPreviewBox->isChecked() ? 1 : 0;
  else
    m_pPreviewBox->setChecked(m_bPreview != 0);
}

void CVumPreviewDialog::UpdateRegistry(int write, const char* section) {
  CVumDialog::UpdateRegistry(write, section);
  if (section) UpdateReg(section, "Preview", write, m_bPreview, CRegistry::TYPE_BOOL, 1);
}

void CVumPreviewDialog::OnInitDialog() {
  CVumDialog::OnInitDialog();
  m_bPreviewApplied = 1;
  // Keys reach the dialog's children first; the shortcuts are looked at before them.
  qApp->installEventFilter(this);
  m_bFilterInstalled = true;
  RestartPreview();
}

void CVumPreviewDialog::PostStep() {
  QMetaObject::invokeMethod(this, &CVumPreviewDialog::PreviewStep, Qt::QueuedConnection);
}

void CVumPreviewDialog::RestartPreview() {
  UpdateData(true);
  if (m_bPreview) {
    SendMessageToView(vum::WM_VUM_PREVIEW_INIT, static_cast<std::uintptr_t>(m_nBand), 0);
    PostStep();
    return;
  }
  if (m_bPreviewApplied && m_pUndo && m_pTarget && !m_pUndo->IsEmpty()) {
    WaitCursor wait;
    // The preview is taken back: the target gets the pixels as they were.
    (void)m_pTarget->CopyImage(*m_pUndo, MainProgress(), vum::kPreviewOffCaption);
    // Taken back once: further changes with the preview off have nothing to undo.
    m_bPreviewApplied = 0;
    if (!m_pTarget->IsEmpty() && m_pDocument) m_pDocument->UpdateAllVumViews();
  }
}

void CVumPreviewDialog::BeginBusy() {
  if (m_bBusy) return;
  m_bBusy = true;
  // The arrow stays usable: the dialog answers between bands.
  QApplication::setOverrideCursor(Qt::BusyCursor);
}

void CVumPreviewDialog::EndBusy() {
  if (!m_bBusy) return;
  m_bBusy = false;
  QApplication::restoreOverrideCursor();
}

void CVumPreviewDialog::PreviewStep() {
  // A step still queued when the dialog has ended has nothing left to show.
  if (m_bPreviewRunning || !m_bPreview || IsClosed()) return;
  m_bPreviewApplied = 1;
  m_bPreviewRunning = 1;
  if (!PrepareUndoBuf(0)) {
    {
      const QSignalBlocker block(m_pPreviewBox);
      m_pPreviewBox->setChecked(false);
    }
    EndBusy();
    m_bPreviewApplied = 0;
    m_bPreview = 0;
    m_bPreviewRunning = 0;
    AfxMessageBox(vum::kPreviewNoMemory, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  BeginBusy();
  RECT band{}, whole{};
  const std::intptr_t more =
      SendMessageToFirstView(vum::WM_VUM_PREVIEW_BAND, reinterpret_cast<std::uintptr_t>(&band), 0);
  SendMessageToFirstView(vum::WM_VUM_SELECTED_RECT, reinterpret_cast<std::uintptr_t>(&whole), 0);
  RECT area{};
  if (IntersectRect(&area, band, whole)) {
    (void)ImageProc(&area, 0);
    SendMessageToFirstView(vum::WM_VUM_REDRAW, reinterpret_cast<std::uintptr_t>(&area), 0);
  }
  if (m_bPreview && more) {
    QCoreApplication::processEvents();
    if (m_nEndRequest == 1) {
      m_bPreviewRunning = 0;
      EndBusy();
      EndDialog(QDialog::Accepted);
      return;
    }
    if (m_nEndRequest == 2) {
      m_bPreviewRunning = 0;
      EndBusy();
      EndDialog(QDialog::Rejected);
      return;
    }
    PostStep();
  } else {
    EndBusy();
  }
  m_bPreviewRunning = 0;
}

void CVumPreviewDialog::OnOK() {
  UpdateData(true);
  RECT rect{};
  const bool haveRect = GetProcessRect(&rect);
  {
    WaitCursor wait;
    (void)PrepareUndoBuf(0);
    (void)ImageProc(haveRect ? &rect : nullptr, 1);
  }
  StoreUndoName();
  m_nEndRequest = 1;
  if (!m_bPreviewRunning) {
    EndBusy();
    EndDialog(QDialog::Accepted);
  }
}

void CVumPreviewDialog::OnCancel() {
  m_nEndRequest = 2;
  if (!m_bPreviewRunning) {
    EndBusy();
    EndDialog(QDialog::Rejected);
  }
}

bool CVumPreviewDialog::eventFilter(QObject* watched, QEvent* event) {
  if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
      FilterKey(watched, event))
    return true;
  return CVumDialog::eventFilter(watched, event);
}

bool CVumPreviewDialog::FilterKey(QObject* watched, QEvent* event) {
  // Only keys meant for this dialog or one of its controls.
  auto* w = qobject_cast<QWidget*>(watched);
  if (!w || (w != this && !isAncestorOf(w)) || !isVisible()) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  const Qt::KeyboardModifiers mods = key->modifiers();
  if (!(mods & Qt::ControlModifier)) return false;
  const bool alt = mods & Qt::AltModifier;
  const bool keypad = mods & Qt::KeypadModifier;
  unsigned msg = 0;
  std::uintptr_t arg = 0;
  switch (key->key()) {
    case Qt::Key_Left: msg = vum::WM_VUM_SCROLL; arg = 1; break;
    case Qt::Key_Right: msg = vum::WM_VUM_SCROLL; arg = 2; break;
    case Qt::Key_Up:
      msg = alt ? vum::WM_VUM_ZOOM : vum::WM_VUM_SCROLL;
      arg = alt ? 0 : 4;
      break;
    case Qt::Key_Down:
      msg = alt ? vum::WM_VUM_ZOOM : vum::WM_VUM_SCROLL;
      arg = alt ? 1 : 8;
      break;
    case Qt::Key_Plus:
      if (!keypad) return false;
      msg = vum::WM_VUM_ZOOM; arg = 0;
      break;
    case Qt::Key_Minus:
      if (!keypad) return false;
      msg = vum::WM_VUM_ZOOM; arg = 1;
      break;
    default: return false;
  }
  // The key-up of a handled key is swallowed as well.
  if (event->type() == QEvent::KeyPress) SendMessageToFirstView(msg, arg, 0);
  return true;
}

// ---- CFltPtrCtrl

int CFltPtrCtrl::Decimals(double step) {
  return CValueStep::Decimals(step);
}

const char* CFltPtrCtrl::Str(double value, double step) {
  m_Buffer = CValueStep::Text(value, step);
  return m_Buffer.c_str();
}

double CFltPtrCtrl::V(double value, double step) {
  return CValueStep::Cut(value, step);
}

// ---- CVumDoc

void CVumDoc::SetDocTemplate(CVumDocTemplate* docTemplate) {
  g_pDocTemplate = docTemplate;
}

CVumDocTemplate* CVumDoc::GetDocTemplate() {
  return g_pDocTemplate;
}

int CVumDoc::MakeNewDocument(int bits, int width, int height, int planes, const std::string& name,
                             const CReadParam* param, int noImage, CVumDocument** docOut,
                             CRalImage** imageOut, int zeroFill) {
  WaitCursor wait;
  CVumDocument* doc = g_pDocTemplate ? g_pDocTemplate->CreateVumDocument() : nullptr;
  if (!doc) {
    AfxMessageBox(vum::kCannotCreateDocument, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  const std::string title = MakeTitle(name.empty() ? "NewImage.fts" : name, "", "");
  doc->SetVumTitle(title);
  doc->SetVumModified(false);
  CRalImage* image = nullptr;
  if (!noImage) {
    try {
      auto made = std::make_unique<CRalImage>(width, height, bits, planes, 1.0, 0.0, 1,
                                              MainProgress(), vum::kNewImageCaption);
      if (made->IsEmpty()) throw std::bad_alloc();
      if (zeroFill) {
        std::vector<double> zeros(static_cast<std::size_t>(std::max(width, 0)), 0.0);
        for (int p = 0; p < planes; ++p)
          for (int y = 0; y < height; ++y)
            if (!made->SetPhysicalRow(y, p, zeros.data())) throw std::bad_alloc();
      }
      doc->SetVumModified(true);
      made->SetSaveableFile(0);
      const int type = CRalImageIO::GetFileType(title);
      made->SetSaveableFormat(type == FILETYPE_FITS || type == FILETYPE_SBIG ? 1 : 0);
      image = made.release();
      doc->SetVumImage(image, param);
    } catch (const std::bad_alloc&) {
      AfxMessageBox(vum::kNewImageNoMemory, MB_OK | MB_ICONEXCLAMATION);
      doc->CloseVum();
      return 0;
    }
  } else if (!name.empty()) {
    doc->SetVumPathName(name);
  }
  doc->InitialUpdateVum();
  if (docOut) *docOut = doc;
  if (imageOut) *imageOut = image;
  return 1;
}

int CVumDoc::MakeNewDocument(const std::string& name, const CReadParam* param, CVumDocument** doc,
                             CRalImage** image) {
  return MakeNewDocument(0, 0, 0, 0, name, param, 1, doc, image, 0);
}

int CVumDoc::MakeNewDocument(int bits, int width, int height, int planes, CVumDocument** doc,
                             CRalImage** image, int zeroFill) {
  return MakeNewDocument(bits, width, height, planes, std::string(), nullptr, 0, doc, image,
                         zeroFill);
}

int CVumDoc::MakeNewDocument(int bits, int width, int height, int planes, const std::string& name,
                             CVumDocument** doc, CRalImage** image, int zeroFill) {
  return MakeNewDocument(bits, width, height, planes, name, nullptr, 0, doc, image, zeroFill);
}

int CVumDoc::MakeNewDocument(const CImage* like, CVumDocument** doc, CRalImage** image) {
  if (!like) return 0;
  return MakeNewDocument(like->GetBitsPixel(), like->GetWidth(), like->GetHeight(),
                         like->GetPlanes(), std::string(), nullptr, 0, doc, image, 0);
}

std::string CVumDoc::MakeTitle(const std::string& path, const std::string& suffix,
                               const std::string& ext) {
  const std::size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = file.find_last_of('.');
  std::string pathExt = dot == std::string::npos ? std::string() : file.substr(dot);
  std::string base = dot == std::string::npos ? file : file.substr(0, dot);
  base += suffix;
  const std::string useExt = ext.empty() ? pathExt : ext;
  std::string candidate = dir + base + useExt;
  // After a thousand taken numbers the next one is used without looking.
  for (int n = 1; !IsUniqueTitle(candidate); ++n) {
    candidate = base + std::to_string(n) + useExt;
    if (n == 1001) break;
  }
  return candidate;
}

int CVumDoc::IsUniqueTitle(const std::string& title) {
  if (!g_pDocTemplate) return 1;
  for (CVumDocument* doc : g_pDocTemplate->GetVumDocuments())
    if (EqualsNoCase(doc->GetVumTitle(), title)) return 0;
  return 1;
}

int CVumDoc::IsUniquePathName(const std::string& path) {
  if (!g_pDocTemplate) return 1;
  for (CVumDocument* doc : g_pDocTemplate->GetVumDocuments())
    if (EqualsNoCase(doc->GetVumPathName(), path)) return 0;
  return 1;
}

int CVumDoc::MakeFileNameAndPrm(std::string& name, const CReadParam* param) {
  if (param && param->GetFileType() == FILETYPE_USFITS) name += "<USF>";
  return 1;
}

int CVumDoc::GetFileNameAndPrm(std::string& name, CReadParam* param) {
  // The dispatcher's reading of marks, which leaves a file whose own name holds '<' whole.
  const std::string whole = name;
  const int type = CRalImageIO::GetFileTypeOfDocumentName(&name);
  if (name != whole) {
    if (param) {
      *param = CReadParam();
      if (type == FILETYPE_USFITS) param->SetFileType(FILETYPE_USFITS);
    }
    return 1;
  }
  if (param) {
    *param = CReadParam();
    param->SetFileTypeDefaulted(name);
  }
  return 1;
}
