// CDlgBatchComposit: the controls and their settings, and the run handed to
// CBatchComposit with the list's entries as targets (open windows by their images, files
// by their names, read as the other processing dialogs read them).
#include "dialogs/dlgbatchcomposit.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "batch/batchcomposit.h"
#include "batch/batchnaming.h"
#include "batch/batchtexts.h"
#include "dialogs/dlgmatching.h"
#include "dialogs/dlgnewimage.h"
#include "dialogs/dlgsupport.h"
#include "dialogs/listtarget.h"
#include "dialogs/pickersupport.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"

namespace {

using dlg::Id;
using dlg::Q;

// The methods in list order, each with the value stored for it.
constexpr const char* kMethodNames[3] = {"加算", "加算平均", "中央値"};  // 2306, 2310, 2334

}  // namespace

CDlgBatchComposit::CDlgBatchComposit(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(batchcomp_text::kCaption));
  auto* listBox = new QGroupBox(Q("対象ﾌｧｲﾙﾘｽﾄ(&L)："), this);
  m_pList = new CListTarget(listBox);
  m_pList->setObjectName(Id(IDC_LIST));
  m_pList->setMinimumSize(320, 160);
  m_pAdd = new QPushButton(Q("ﾘｽﾄに追加(&A)"), listBox);
  m_pAdd->setObjectName(Id(IDC_ADD));
  m_pAdd->setAutoDefault(false);
  m_pRemove = new QPushButton(Q("ﾘｽﾄから削除(&D)"), listBox);
  m_pRemove->setObjectName(Id(IDC_REMOVE));
  m_pRemove->setAutoDefault(false);
  auto* listButtons = new QHBoxLayout;
  listButtons->addWidget(m_pAdd);
  listButtons->addWidget(m_pRemove);
  listButtons->addStretch(1);
  auto* listLayout = new QVBoxLayout(listBox);
  listLayout->addWidget(m_pList);
  listLayout->addLayout(listButtons);

  m_pMethod = new QComboBox(this);
  m_pMethod->setObjectName(Id(IDC_METHOD));
  for (int i = 0; i < 3; ++i) m_pMethod->addItem(Q(kMethodNames[i]), i);
  auto* methodLabel = dlg::Buddy(this, "合成方法(&M)：", m_pMethod);
  m_pClipping = new QCheckBox(Q("3-σｸﾘｯﾋﾟﾝｸﾞ(&C)"), this);
  m_pClipping->setObjectName(Id(IDC_CLIPPING));

  m_pAlign = new QCheckBox(Q("位置合わせ(&P)："), this);
  m_pAlign->setObjectName(Id(IDC_ALIGN));
  m_pGravity = new QRadioButton(Q("画像の重心"), this);
  m_pGravity->setObjectName(Id(IDC_ALIGN_GRAVITY));
  m_pMatching = new QRadioButton(Q("画像ﾏｯﾁﾝｸﾞ"), this);
  m_pMatching->setObjectName(Id(IDC_ALIGN_MATCHING));
  auto* alignGroup = new QButtonGroup(this);
  alignGroup->addButton(m_pGravity, 0);
  alignGroup->addButton(m_pMatching, 1);
  m_pMatchingSettings = new QPushButton(Q("画像ﾏｯﾁﾝｸﾞ設定(&S)..."), this);
  m_pMatchingSettings->setObjectName(Id(IDC_MATCHING_SETTINGS));
  m_pMatchingSettings->setAutoDefault(false);

  auto* destBox = new QGroupBox(Q("出力先"), this);
  m_pNew = new QRadioButton(Q("新規画像"), destBox);
  m_pNew->setObjectName(Id(IDC_DEST_NEW));
  m_pActive = new QRadioButton(Q("ｱｸﾃｨﾌﾞｳｨﾝﾄﾞｳ"), destBox);
  m_pActive->setObjectName(Id(IDC_DEST_ACTIVE));
  auto* destLayout = new QHBoxLayout(destBox);
  destLayout->addWidget(m_pNew);
  destLayout->addWidget(m_pActive);

  auto* grid = new QGridLayout;
  grid->addWidget(methodLabel, 0, 0);
  grid->addWidget(m_pMethod, 0, 1);
  grid->addWidget(m_pClipping, 0, 2);
  grid->addWidget(m_pAlign, 1, 0);
  grid->addWidget(m_pGravity, 1, 1);
  grid->addWidget(m_pMatching, 1, 2);
  grid->addWidget(m_pMatchingSettings, 2, 2);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(listBox);
  layout->addLayout(grid);
  layout->addWidget(destBox);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);
  m_pOk = findChild<QPushButton*>(QStringLiteral("IDOK"));

  connect(m_pAdd, &QPushButton::clicked, this, [this] { m_pList->OnAdd(); });
  connect(m_pRemove, &QPushButton::clicked, this, [this] { m_pList->OnRemove(); });
  connect(m_pList, &CListTarget::listChanged, this, [this] { UpdateStatus(); });
  connect(m_pList, &QListWidget::currentRowChanged, this, [this] { UpdateStatus(); });
  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
           m_pClipping, m_pAlign, m_pGravity, m_pMatching, m_pNew, m_pActive})
    connect(b, &QAbstractButton::toggled, this, [this] { UpdateStatus(); });
  connect(m_pMethod, &QComboBox::currentIndexChanged, this, [this] { UpdateStatus(); });
  connect(m_pMatchingSettings, &QPushButton::clicked, this, [this] {
    CDlgMatching settings(this);
    settings.DoModal();
  });
}

CDlgBatchComposit::~CDlgBatchComposit() = default;

void CDlgBatchComposit::ShowModeless() {
  if (!m_bBuilt) {
    m_bBuilt = true;
    OnInitDialog();
  }
  show();
}

void CDlgBatchComposit::changeEvent(QEvent* event) {
  CVumDialog::changeEvent(event);
  // Back from the main window, where another image may have become active or the last
  // one closed.
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) UpdateStatus();
}

bool CDlgBatchComposit::HasActiveImage() const {
  if (m_pTarget) return true;
  CVumDocTemplate* docs = CVumDoc::GetDocTemplate();
  return docs && docs->ActiveVumDocument();
}

void CDlgBatchComposit::OnInitDialog() {
  CVumDialog::OnInitDialog();
  // The open windows enter the list.
  for (CVumDocument* doc : picker::OpenDocuments()) m_pList->AddDocument(doc);
  UpdateStatus();
}

void CDlgBatchComposit::UpdateStatus() {
  if (m_bRunning) return;
  const bool align = m_pAlign->isChecked();
  m_pGravity->setEnabled(align);
  m_pMatching->setEnabled(align);
  m_pMatchingSettings->setEnabled(align && m_pMatching->isChecked());
  m_pClipping->setEnabled(m_pMethod->currentData().toInt() != 0);
  // Without an active image the result can only go to a new window.
  const bool active = HasActiveImage();
  if (!active && m_pActive->isChecked()) m_pNew->setChecked(true);
  m_pActive->setEnabled(active);
  m_pRemove->setEnabled(m_pList->currentRow() >= 0);
  if (m_pOk) m_pOk->setEnabled(m_pList->GetCount() > 0);
}

void CDlgBatchComposit::SetControlsEnabled(bool enabled) {
  for (QWidget* w : findChildren<QWidget*>())
    if (w != m_pOk && !qobject_cast<QGroupBox*>(w) && !w->isWindow()) w->setEnabled(enabled);
  if (enabled) UpdateStatus();
}

void CDlgBatchComposit::DoDataExchange(bool save) {
  if (save) {
    m_bClipping = m_pClipping->isChecked() ? 1 : 0;
    m_bAlign = m_pAlign->isChecked() ? 1 : 0;
    m_nResult = m_pActive->isChecked() ? 1 : 0;
    m_nMethod = std::max(0, m_pMethod->currentData().toInt());
    m_nAlignMethod = m_pMatching->isChecked() ? 1 : 0;
    return;
  }
  const QSignalBlocker b1(m_pClipping), b2(m_pAlign), b3(m_pNew), b4(m_pActive), b5(m_pMethod),
      b6(m_pGravity), b7(m_pMatching);
  m_pClipping->setChecked(m_bClipping != 0);
  m_pAlign->setChecked(m_bAlign != 0);
  (m_nResult == 1 ? m_pActive : m_pNew)->setChecked(true);
  const int row = m_pMethod->findData(m_nMethod);
  m_pMethod->setCurrentIndex(row >= 0 ? row : 0);
  (m_nAlignMethod == 1 ? m_pMatching : m_pGravity)->setChecked(true);
  UpdateStatus();
}

void CDlgBatchComposit::UpdateRegistry(int write, const char* section) {
  CVumDialog::UpdateRegistry(write, section ? section : kSection);
  // Clipping is not kept: every opening starts without it.
  UpdateReg(kSection, "PosFix", write, m_bAlign, CRegistry::TYPE_BOOL, 0);
  UpdateReg(kSection, "Result", write, m_nResult, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "Method", write, m_nMethod, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "FixMethod", write, m_nAlignMethod, CRegistry::TYPE_INT, 0);
  if (!write) {
    m_nMethod = std::clamp(m_nMethod, 0, 2);
    m_nAlignMethod = m_nAlignMethod == 1 ? 1 : 0;
    m_nResult = m_nResult == 1 ? 1 : 0;
  }
}

bool CDlgBatchComposit::AskNewName(std::string* name) {
  CDlgNewImage ask(this);
  ask.SetCaption(std::string(batch_text::kBatchComposit));
  ask.SetName(CVumDoc::MakeTitle("NewImage.fts", "", ""));
  if (ask.DoModal() != QDialog::Accepted) return false;
  *name = ask.GetName();
  return true;
}

void CDlgBatchComposit::OnOK() {
  if (m_bRunning) {
    m_bAbort = true;
    return;
  }
  UpdateData(true);
  m_bError = 0;
  if (m_nResult == 1 && !HasActiveImage()) {
    UpdateStatus();
    return;
  }
  // A new destination is named before anything runs; a cancelled name runs nothing.
  std::string name;
  if (m_nResult == 0 && !AskNewName(&name)) return;
  m_bRunning = true;
  SetControlsEnabled(false);
  if (m_pOk) m_pOk->setText(Q(batchcomp_text::kAbort));
  const int done = Run(name);
  m_bRunning = false;
  if (IsClosed()) return;
  if (done) {
    EndDialog(QDialog::Accepted);
    return;
  }
  SetControlsEnabled(true);
  if (m_pOk) m_pOk->setText(Q(batchcomp_text::kOk));
  m_bAbort = false;
}

void CDlgBatchComposit::OnCancel() {
  // Closing while the run goes stops the run first; the dialog stays until it returns.
  if (m_bRunning) {
    m_bAbort = true;
    return;
  }
  CVumDialog::OnCancel();
}

int CDlgBatchComposit::Run(const std::string& newName) {
  if (m_nResult == 0) return Stack(nullptr, nullptr, newName);
  // Opened by an image window (modal), the dialog writes the images it was given.
  if (m_pTarget) {
    if (!PrepareUndoBuf(1)) return 0;
    const int done = Stack(m_pDocument, m_pTarget, newName);
    if (done) StoreUndoName();
    return done;
  }
  CVumDocTemplate* docs = CVumDoc::GetDocTemplate();
  if (!docs) return 0;
  return docs->RunOnActiveImage([&](CVumDocument* doc, CRalImage* target, CRalImage* undo) {
    m_pDocument = doc;
    m_pTarget = target;
    m_pUndo = undo;
    const int done = Stack(doc, target, newName);
    if (done) StoreUndoName();
    // The window keeps its images; the dialog does not hold on to them.
    m_pDocument = nullptr;
    m_pTarget = nullptr;
    m_pUndo = nullptr;
    return done;
  });
}

int CDlgBatchComposit::Stack(CVumDocument* destDoc, CRalImage* dest, const std::string& newName) {
  // The active window: the destination's own, else (for a new destination) the one
  // active now, which is the model when it is listed.
  CVumDocument* active = destDoc;
  if (!active)
    if (CVumDocTemplate* docs = CVumDoc::GetDocTemplate()) active = docs->ActiveVumDocument();
  std::vector<BatchTarget> targets;
  int activeIndex = -1;
  for (int i = 0; i < m_pList->GetCount(); ++i) {
    BatchTarget t;
    t.path = m_pList->GetNameAt(i);
    if (CVumDocument* doc = m_pList->GetDocumentAt(i)) {
      if (!picker::IsOpenDocument(doc)) continue;
      t.image = doc == destDoc && dest ? dest : picker::ImageOfDocument(doc);
      if (!t.image) continue;
      if (active && doc == active && activeIndex < 0)
        activeIndex = static_cast<int>(targets.size());
    }
    targets.push_back(std::move(t));
  }
  CRalImage* model = activeIndex >= 0 ? targets[activeIndex].image : nullptr;
  BatchCompositSettings settings;
  settings.method = m_nMethod;
  settings.clipping = m_nMethod != BatchCompositSettings::kAdd && m_bClipping;
  settings.align = m_bAlign != 0;
  settings.alignMethod = m_nAlignMethod;
  settings.matching = CDlgMatching::LoadParams();

  CBatchComposit run(settings, std::move(targets));
  run.SetReader([](const std::string& path, CRalImage& image) {
    return picker::ReadImageForProcessing(image, path) != 0;
  });
  run.SetAbortFlag(&m_bAbort);
  run.SetEngineProgressSink(CRalImageIO::GetProgressSink());
  // Between images the program stays responsive, and "中断" can be pressed.
  run.SetFileReport([this](int index, const std::string&, const std::string&, bool) {
    const QSignalBlocker block(m_pList);
    if (index < m_pList->GetCount()) m_pList->setCurrentRow(index);
    QCoreApplication::processEvents();
  });

  if (!dest) {
    // An active window that is listed is the model; the copy stays out of sight until
    // the run has finished, so a stopped run leaves no window behind.
    if (!run.MakeNewDestination(model)) return 0;
  } else {
    run.SetDestination(dest, activeIndex);
  }
  if (!run.CheckValue()) return 0;
  int ok = 0;
  {
    dlg::WaitCursor wait;
    ok = run.ImageProc();
  }
  if (!ok) return 0;
  // A frame that could not be aligned blurs the result: say which ones.
  if (!run.GetUnaligned().empty()) {
    std::string names;
    for (int i : run.GetUnaligned())
      if (i < m_pList->GetCount())
        names += (names.empty() ? "" : "\n") + m_pList->item(i)->text().toStdString();
    AfxMessageBox(batch::Format(batchcomp_text::kUnaligned, names), MB_OK | MB_ICONEXCLAMATION);
  }
  if (dest) {
    SendMessageToView(vum::WM_VUM_REDRAW, 0, 0);
    return 1;
  }
  std::unique_ptr<CRalImage> result = run.TakeNewImage();
  if (!result) return 0;
  const std::string name = newName.empty() ? std::string("NewImage.fts") : newName;
  CVumDocument* doc = nullptr;
  CRalImage* image = nullptr;
  if (!CVumDoc::MakeNewDocument(result->GetBitsPixel(), result->GetWidth(), result->GetHeight(),
                                result->GetPlanes(), name, &doc, &image, 1) ||
      !image) {
    const std::string text =
        std::string("CDlgBatchComposit::CheckValue(): \n") + batchcomp_text::kCannotMakeNew + name;
    AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  *image = *result;
  // A stack is a new picture whose scale no input shares (a sum, say): it is shown at
  // automatic levels, which are also the levels it goes back to.
  (void)CPrcAutoLevel::Do(*image, nullptr);
  for (int p = 0; p < image->GetPlanes(); ++p)
    image->SetOrgDefaultLevel(p, image->GetLevelMin(p), image->GetLevelMax(p));
  image->SetOrgFileName(doc->GetVumTitle());
  doc->UpdateAllVumViews();
  return 1;
}
