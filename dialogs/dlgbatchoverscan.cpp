// The batch overscan dialog: the fields and settings, and OK driving the overscan run with
// the dialog's list, the abort flag and the window bookkeeping around it.
#include "dialogs/dlgbatchoverscan.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QVBoxLayout>

#include "batch/batchoverscan.h"
#include "dialogs/combodirectory.h"
#include "dialogs/dlgsupport.h"
#include "dialogs/listtarget.h"
#include "dialogs/pickersupport.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"

using dlg::Id;
using dlg::Q;

namespace {

bool ParseInt(const QLineEdit* edit, int* value) {
  bool ok = false;
  const int v = edit->text().trimmed().toInt(&ok);
  if (ok) *value = v;
  return ok;
}

}  // namespace

CDlgBatchOverScan::CDlgBatchOverScan(QWidget* parent, const CRalImage* reference)
    : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(batchoverscan_text::kCaption));
  setModal(false);
  BatchOverScanSettings ref;
  ref.SetReference(reference);
  m_bBottomUp = ref.bottomUp ? 1 : 0;
  m_nReferenceHeight = ref.referenceHeight;

  m_pClipping = new QCheckBox(Q("3-σｸﾘｯﾋﾟﾝｸﾞ(&C)"), this);
  m_pClipping->setObjectName(Id(IDC_CLIPPING));

  auto* regionBox = new QGroupBox(Q("ｵｰﾊﾞｰｽｷｬﾝ領域(&O)："), this);
  auto* region = new QHBoxLayout(regionBox);
  const int ids[4] = {IDC_X1, IDC_X2, IDC_Y1, IDC_Y2};
  const char* labels[4] = {"[ x1 ：", ", x2 ：", "; y1 ：", ", y2 ："};
  for (int i = 0; i < 4; ++i) {
    m_pEdit[i] = new QLineEdit(regionBox);
    m_pEdit[i]->setObjectName(Id(ids[i]));
    m_pEdit[i]->setMaximumWidth(70);
    region->addWidget(new QLabel(Q(labels[i]), regionBox));
    region->addWidget(m_pEdit[i]);
  }
  region->addWidget(new QLabel(QStringLiteral("]"), regionBox));

  auto* listLabel = new QLabel(Q("対象ﾌｧｲﾙﾘｽﾄ(&L)："), this);
  m_pList = new CListTarget(this);
  m_pList->setObjectName(Id(IDC_LIST));
  listLabel->setBuddy(m_pList);
  m_pAdd = new QPushButton(Q("ﾘｽﾄに追加(&A)"), this);
  m_pAdd->setObjectName(Id(IDC_ADD));
  m_pRemove = new QPushButton(Q("ﾘｽﾄから削除(&D)"), this);
  m_pRemove->setObjectName(Id(IDC_REMOVE));
  for (QPushButton* b : {m_pAdd, m_pRemove}) b->setAutoDefault(false);

  auto* resultBox = new QGroupBox(this);
  auto* results = new QVBoxLayout(resultBox);
  m_pResult = new QButtonGroup(this);
  const struct {
    int id, value;
    const char* text;
  } radios[] = {{IDC_OPEN, 0, "保存せずに開く(すでに開いている画像は、処理結果を表示)"},
                {IDC_OVERWRITE, 1, "上書き保存"},
                {IDC_OTHER_FOLDER, 2, "別のﾌｫﾙﾀﾞに保存"}};
  for (const auto& r : radios) {
    auto* b = new QRadioButton(Q(r.text), resultBox);
    b->setObjectName(Id(r.id));
    m_pResult->addButton(b, r.value);
    results->addWidget(b);
  }
  m_pDirectory = new CComboDirectory(resultBox);
  m_pDirectory->setObjectName(Id(IDC_DIRECTORY));
  m_pBrowse = new QPushButton(Q("参照(&R)..."), resultBox);
  m_pBrowse->setObjectName(Id(IDC_BROWSE));
  m_pBrowse->setAutoDefault(false);
  m_pDirectory->SetBrowseButton(m_pBrowse);
  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(m_pDirectory, 1);
  folderRow->addWidget(m_pBrowse);
  results->addLayout(folderRow);
  m_pAddCharacters = new QCheckBox(Q("ﾌｧｲﾙ名に文字を追加する(&I)"), resultBox);
  m_pAddCharacters->setObjectName(Id(IDC_ADD_CHARACTERS));
  m_pPosition = new QComboBox(resultBox);
  m_pPosition->setObjectName(Id(IDC_POSITION));
  m_pCharacters = new QLineEdit(resultBox);
  m_pCharacters->setObjectName(Id(IDC_CHARACTERS));
  m_pCharactersLabel = new QLabel(Q("を追加する"), resultBox);
  m_pCharactersLabel->setObjectName(Id(IDC_CHARACTERS_LABEL));
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(m_pAddCharacters);
  nameRow->addWidget(m_pPosition);
  nameRow->addWidget(m_pCharacters);
  nameRow->addWidget(m_pCharactersLabel);
  results->addLayout(nameRow);

  auto* listButtons = new QVBoxLayout;
  listButtons->addWidget(m_pAdd);
  listButtons->addWidget(m_pRemove);
  listButtons->addStretch(1);
  auto* listRow = new QHBoxLayout;
  listRow->addWidget(m_pList, 1);
  listRow->addLayout(listButtons);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(regionBox);
  layout->addWidget(m_pClipping);
  layout->addWidget(listLabel);
  layout->addLayout(listRow);
  layout->addWidget(resultBox);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  m_pOK = findChild<QPushButton*>(QStringLiteral("IDOK"));

  connect(m_pAdd, &QPushButton::clicked, this, [this] {
    UpdateData(true);  // what was typed survives the fields shown again
    m_pList->OnAdd();
    UpdateStatus();
  });
  connect(m_pRemove, &QPushButton::clicked, this, [this] {
    UpdateData(true);  // what was typed survives the fields shown again
    m_pList->OnRemove();
    UpdateStatus();
  });
  connect(m_pList, &CListTarget::listChanged, this, [this] {
    if (m_pOK && !m_bRunning) m_pOK->setEnabled(m_pList->GetCount() > 0);
  });
  connect(m_pResult, &QButtonGroup::idClicked, this, [this] {
    UpdateData(true);
    UpdateStatus();
  });
  connect(m_pAddCharacters, &QCheckBox::toggled, this, [this] {
    UpdateData(true);
    UpdateStatus();
  });
  connect(m_pPosition, &QComboBox::activated, this, [this](int index) {
    m_nPosition = index;
    UpdateReg(kSection, "CommonNameFirst", 1, m_nPosition, CRegistry::TYPE_INT, 0);
  });
}

CDlgBatchOverScan::~CDlgBatchOverScan() = default;

void CDlgBatchOverScan::ShowModeless() {
  if (!m_bBuilt) {
    m_bBuilt = true;
    OnInitDialog();
  }
  show();
}

void CDlgBatchOverScan::OnInitDialog() {
  m_pList->SetFileType(0);
  m_pPosition->addItem(Q(batchoverscan_text::kFirst));
  m_pPosition->addItem(Q(batchoverscan_text::kLast));
  m_pPosition->setCurrentIndex(0);
  CVumDialog::OnInitDialog();  // the settings, then the fields shown
  m_pDirectory->ReadHistory(kSection, "Directory");
  for (CVumDocument* doc : picker::OpenDocuments()) m_pList->AddDocument(doc);
  UpdateStatus();
}

void CDlgBatchOverScan::UpdateStatus() {
  const bool folder = m_nResult == 2;
  m_pDirectory->setEnabled(folder);
  m_pBrowse->setEnabled(folder);
  m_pAddCharacters->setEnabled(folder);
  const bool characters = folder && m_bAddCharacters;
  m_pPosition->setEnabled(characters);
  m_pCharacters->setEnabled(characters);
  m_pCharactersLabel->setEnabled(characters);
  m_pPosition->setCurrentIndex(m_nPosition == 1 ? 1 : 0);
  if (m_pOK) m_pOK->setEnabled(m_pList->GetCount() > 0);
  UpdateData(false);
}

void CDlgBatchOverScan::DoDataExchange(bool save) {
  int* values[4] = {&m_nX1, &m_nX2, &m_nY1, &m_nY2};
  if (save) {
    for (int i = 0; i < 4; ++i) ParseInt(m_pEdit[i], values[i]);
    m_bClipping = m_pClipping->isChecked() ? 1 : 0;
    m_nResult = m_pResult->checkedId();
    m_bAddCharacters = m_pAddCharacters->isChecked() ? 1 : 0;
    m_strCharacters = m_pCharacters->text().toStdString();
    return;
  }
  for (int i = 0; i < 4; ++i) m_pEdit[i]->setText(QString::number(*values[i]));
  {
    const QSignalBlocker block(m_pClipping);
    m_pClipping->setChecked(m_bClipping != 0);
  }
  if (QAbstractButton* b = m_pResult->button(m_nResult)) b->setChecked(true);
  {
    const QSignalBlocker block(m_pAddCharacters);
    m_pAddCharacters->setChecked(m_bAddCharacters != 0);
  }
  m_pCharacters->setText(QString::fromStdString(m_strCharacters));
}

void CDlgBatchOverScan::UpdateRegistry(int write, const char*) {
  CVumDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "Clipping", write, m_bClipping, CRegistry::TYPE_BOOL, 0);
  UpdateReg(kSection, "X1", write, m_nX1, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "X2", write, m_nX2, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "Y1", write, m_nY1, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "Y2", write, m_nY2, CRegistry::TYPE_INT, 1);
  UpdateReg(kSection, "Result", write, m_nResult, CRegistry::TYPE_INT, 0);
  UpdateReg(kSection, "CommonNameCheck", write, m_bAddCharacters, CRegistry::TYPE_BOOL, 0);
  UpdateReg(kSection, "CommonName", write, m_strCharacters, "");
  UpdateReg(kSection, "CommonNameFirst", write, m_nPosition, CRegistry::TYPE_INT, 0);
  if (write) m_pDirectory->WriteHistory(kSection, "Directory");
}

void CDlgBatchOverScan::SetControlsEnabled(bool enabled) {
  for (QWidget* w : findChildren<QWidget*>()) {
    if (w == m_pOK || !w->isWidgetType() || w->parentWidget() == nullptr) continue;
    if (qobject_cast<QLabel*>(w) || qobject_cast<QGroupBox*>(w)) continue;
    w->setEnabled(enabled);
  }
  if (enabled) UpdateStatus();
}

void CDlgBatchOverScan::OnOK() {
  if (m_bRunning) {
    m_bAbort = true;
    return;
  }
  UpdateData(true);
  for (QLineEdit* edit : m_pEdit) {
    int v = 0;
    if (!ParseInt(edit, &v)) {
      AfxMessageBox(batchoverscan_text::kNotANumber, MB_OK | MB_ICONEXCLAMATION);
      edit->setFocus();
      edit->selectAll();
      return;
    }
  }
  if (!CheckValue()) return;
  m_bRunning = 1;
  SetControlsEnabled(false);
  m_pOK->setText(Q(batchoverscan_text::kAbort));
  repaint();
  int done = 0;
  {
    dlg::WaitCursor wait;
    done = ImageProc(nullptr, 1);
  }
  // Also when the run's own checks refused it before it began.
  m_bRunning = 0;
  if (done) {
    UpdateRegistry(1, nullptr);
    EndDialog(QDialog::Accepted);
    return;
  }
  SetControlsEnabled(true);
  m_pOK->setText(QStringLiteral("OK"));
  m_bAbort = false;
}

void CDlgBatchOverScan::OnCancel() {
  if (m_bRunning) {
    m_bAbort = true;
    return;
  }
  CVumDialog::OnCancel();
}

int CDlgBatchOverScan::ImageProc(RECT*, int) {
  BatchOverScanSettings settings;
  settings.x1 = m_nX1;
  settings.x2 = m_nX2;
  settings.y1 = m_nY1;
  settings.y2 = m_nY2;
  settings.clipping = m_bClipping != 0;
  settings.result = m_nResult < 0 ? 0 : m_nResult;
  settings.folder = m_pDirectory->GetDirectory();
  settings.addCharacters = m_bAddCharacters != 0;
  settings.position = m_nPosition;
  settings.characters = m_strCharacters;
  settings.bottomUp = m_bBottomUp != 0;
  settings.referenceHeight = m_nReferenceHeight;

  // Open windows are worked on in place; files are read by the run.
  std::vector<BatchTarget> targets;
  std::vector<CVumDocument*> docs;
  for (int i = 0; i < m_pList->GetCount(); ++i) {
    BatchTarget t;
    CVumDocument* doc = m_pList->GetDocumentAt(i);
    if (doc) {
      t.image = m_pList->GetImage(i, 0);
      if (!t.image) continue;  // a window closed meanwhile
      t.path = doc->GetVumPathName().empty() ? doc->GetVumTitle() : doc->GetVumPathName();
    } else {
      t.path = m_pList->GetNameAt(i);
    }
    targets.push_back(std::move(t));
    docs.push_back(doc);
  }
  CBatchOverScan run(settings, std::move(targets));
  if (!run.CheckValue()) return 0;
  run.SetAbortFlag(&m_bAbort);
  run.SetProgressSink(CRalImageIO::GetProgressSink());
  run.SetReader([](const std::string& path, CRalImage& image) {
    return picker::ReadImageForProcessing(image, path) != 0;
  });
  m_Opened.clear();
  run.SetImageHook([&](int index, CRalImage& image) {
    if (CVumDocument* doc = docs[index]) {
      doc->SetVumModified(true);
      doc->UpdateAllVumViews();
    } else if (settings.result == 0) {
      // Shown unsaved: the file opened in a window, which takes the result.
      CVumDocument* opened = nullptr;
      CRalImage* shown = picker::OpenImageInWindow(run.GetTargets()[index].path, &opened);
      if (shown && opened && shown->Create(image) && shown->CopyImage(image)) {
        opened->SetVumModified(true);
        opened->UpdateAllVumViews();
        m_Opened.push_back(opened);
      }
    }
  });
  // Waiting events (the "中断" click among them) are let through after every image.
  run.SetFileReport(
      [](int, const std::string&, const std::string&, bool) { QCoreApplication::processEvents(); });
  const int done = run.ImageProc();
  m_bRunning = 0;
  if (!done && !m_Opened.empty() &&
      AfxMessageBox(batchoverscan_text::kCloseOpened, MB_YESNO | MB_ICONQUESTION) == IDYES) {
    for (CVumDocument* doc : m_Opened)
      if (picker::IsOpenDocument(doc)) doc->CloseVum();
  }
  m_Opened.clear();
  return done;
}
