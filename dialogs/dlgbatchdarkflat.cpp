#include "dialogs/dlgbatchdarkflat.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <tuple>

#include "batch/batchdarkflat.h"
#include "batch/batchtexts.h"
#include "dialogs/combodirectory.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgsupport.h"
#include "dialogs/listtarget.h"
#include "dialogs/pickersupport.h"
#include "dialogs/vumdialog.h"
#include "engine/ralimage.h"
#include "fileio/qt/iodialogs.h"
#include "platform/messagebox.h"

namespace {

QString Q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

constexpr const char* kCheckKeys[4] = {"BiasFileCheck", "DarkFileCheck", "FlatFileCheck",
                                       "DarkFileForFlatCheck"};
constexpr const char* kFileKeys[4] = {"BiasFile", "DarkFile", "FlatFile", "DarkFileForFlat"};
constexpr int kCheckDefaults[4] = {1, 1, 1, 0};
constexpr const char* kCheckTexts[4] = {"各ﾌﾚｰﾑへのﾊﾞｲｱｽ補正(&B)：", "ﾀﾞｰｸ補正(&K)：",
                                        "ﾌﾗｯﾄ補正(&F)：", "ﾌﾗｯﾄ画像のﾀﾞｰｸ補正(&G)："};

void Name(QWidget* w, int id) {
  w->setObjectName(QString::number(id));
}

}  // namespace

CDlgBatchDarkFlat::CDlgBatchDarkFlat(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8("ﾊﾞｯﾁ[共通ﾊﾞｲｱｽ･ﾀﾞｰｸ･ﾌﾗｯﾄ]"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* top = new QVBoxLayout(this);

  auto* frames = new QGridLayout;
  for (int i = 0; i < 4; ++i) {
    m_pCheck[i] = new QCheckBox(QString::fromUtf8(kCheckTexts[i]), this);
    Name(m_pCheck[i], IDC_BIAS_CHECK + i);
    m_pPicker[i] = new CComboImage(this);
    m_pPicker[i]->SetRecallByPath(true);
    Name(m_pPicker[i], IDC_BIAS + i);
    m_pBrowse[i] = new QPushButton(QStringLiteral("..."), this);
    Name(m_pBrowse[i], IDC_BIAS_BROWSE + i);
    frames->addWidget(m_pCheck[i], i, 0);
    frames->addWidget(m_pPicker[i], i, 1);
    frames->addWidget(m_pBrowse[i], i, 2);
    CComboImage* picker = m_pPicker[i];
    connect(m_pBrowse[i], &QPushButton::clicked, this, [this, picker] {
      picker->SelectFile();
      UpdateStatus();
    });
    connect(m_pCheck[i], &QCheckBox::toggled, this, &CDlgBatchDarkFlat::UpdateStatus);
  }
  frames->setColumnStretch(1, 1);
  top->addLayout(frames);

  auto* targets = new QHBoxLayout;
  m_pTargets = new CListTarget(this);
  Name(m_pTargets, IDC_TARGETS);
  targets->addWidget(m_pTargets, 1);
  auto* listButtons = new QVBoxLayout;
  m_pAdd = new QPushButton(QString::fromUtf8("ﾘｽﾄに追加(&A)"), this);
  Name(m_pAdd, IDC_ADD);
  m_pRemove = new QPushButton(QString::fromUtf8("ﾘｽﾄから削除(&D)"), this);
  Name(m_pRemove, IDC_REMOVE);
  listButtons->addWidget(m_pAdd);
  listButtons->addWidget(m_pRemove);
  listButtons->addStretch();
  targets->addLayout(listButtons);
  top->addLayout(targets, 1);
  connect(m_pAdd, &QPushButton::clicked, this, [this] { m_pTargets->OnAdd(); });
  connect(m_pRemove, &QPushButton::clicked, this, [this] { m_pTargets->OnRemove(); });
  connect(m_pTargets, &CListTarget::listChanged, this, &CDlgBatchDarkFlat::UpdateStatus);
  connect(m_pTargets, &QListWidget::currentRowChanged, this, &CDlgBatchDarkFlat::UpdateStatus);

  auto* after = new QGroupBox(QString::fromUtf8("処理後"), this);
  auto* afterLayout = new QGridLayout(after);
  m_pResult = new QButtonGroup(this);
  const char* results[3] = {"保存せずに開く(すでに開いている画像は、処理結果を表示)", "上書き保存",
                            "別のﾌｫﾙﾀﾞに保存"};
  for (int i = 0; i < 3; ++i) {
    auto* r = new QRadioButton(QString::fromUtf8(results[i]), after);
    Name(r, IDC_RESULT_OPEN + i);
    m_pResult->addButton(r, i);
    afterLayout->addWidget(r, i, 0, 1, 4);
  }
  m_pDirectory = new CComboDirectory(after);
  Name(m_pDirectory, IDC_DIRECTORY);
  m_pDirBrowse = new QPushButton(QStringLiteral("..."), after);
  Name(m_pDirBrowse, IDC_DIRECTORY_BROWSE);
  m_pDirectory->SetBrowseButton(m_pDirBrowse);
  afterLayout->addWidget(m_pDirectory, 3, 1, 1, 2);
  afterLayout->addWidget(m_pDirBrowse, 3, 3);
  m_pAddChars = new QCheckBox(QString::fromUtf8("ﾌｧｲﾙ名に文字を追加する(&I)"), after);
  Name(m_pAddChars, IDC_ADD_CHARACTERS);
  m_pPosition = new QComboBox(after);
  Name(m_pPosition, IDC_POSITION);
  m_pPosition->addItems({QString::fromUtf8("最初に"), QString::fromUtf8("最後に")});
  m_pChars = new QLineEdit(after);
  Name(m_pChars, IDC_CHARACTERS);
  m_pCharsLabel = new QLabel(QString::fromUtf8("を追加する"), after);
  afterLayout->addWidget(m_pAddChars, 4, 1);
  afterLayout->addWidget(m_pPosition, 5, 1);
  afterLayout->addWidget(m_pChars, 5, 2);
  afterLayout->addWidget(m_pCharsLabel, 5, 3);
  top->addWidget(after);
  connect(m_pResult, &QButtonGroup::idClicked, this, &CDlgBatchDarkFlat::UpdateStatus);
  connect(m_pAddChars, &QCheckBox::toggled, this, &CDlgBatchDarkFlat::UpdateStatus);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  std::tie(m_pOk, m_pCancel) = dlg::OkCancel(this);
  buttons->addWidget(m_pOk);
  buttons->addWidget(m_pCancel);
  top->addLayout(buttons);
  connect(m_pOk, &QPushButton::clicked, this, &CDlgBatchDarkFlat::OnOK);
  connect(m_pCancel, &QPushButton::clicked, this, &CDlgBatchDarkFlat::reject);

  UpdateRegistry(false);
  UpdateStatus();
}

CDlgBatchDarkFlat::~CDlgBatchDarkFlat() = default;

void CDlgBatchDarkFlat::UpdateRegistry(bool write) {
  const int w = write ? 1 : 0;
  for (int i = 0; i < 4; ++i) {
    int on = m_pCheck[i]->isChecked() ? 1 : 0;
    CVumDialog::UpdateReg(kSection, kCheckKeys[i], w, on, CRegistry::TYPE_INT, kCheckDefaults[i]);
    if (write)
      m_pPicker[i]->WriteHistory(kFrameSection, kFileKeys[i]);
    else {
      m_pCheck[i]->setChecked(on != 0);
      m_pPicker[i]->ReadHistory(kFrameSection, kFileKeys[i]);
    }
  }
  int result = std::max(0, m_pResult->checkedId());
  int addChars = m_pAddChars->isChecked() ? 1 : 0;
  // The place of the added characters as the list shows it: 0 at the beginning, 1 at
  // the end (as the overscan batch keeps it).
  int place = m_pPosition->currentIndex() == 1 ? 1 : 0;
  std::string text = m_pChars->text().toStdString();
  CVumDialog::UpdateReg(kSection, "Result", w, result, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(kSection, "CommonNameCheck", w, addChars, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(kSection, "CommonNameFirst", w, place, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(kSection, "CommonName", w, text);
  PositionKeeper position(this, kSection);
  if (write) {
    m_pDirectory->WriteHistory(kSection, "Directory");
    position.Store();
    return;
  }
  position.Restore();
  m_pDirectory->ReadHistory(kSection, "Directory");
  if (QAbstractButton* b = m_pResult->button(std::clamp(result, 0, 2))) b->setChecked(true);
  m_pAddChars->setChecked(addChars != 0);
  m_pPosition->setCurrentIndex(place == 1 ? 1 : 0);
  m_pChars->setText(QString::fromStdString(text));
}

void CDlgBatchDarkFlat::UpdateStatus() {
  if (m_bRunning) return;
  for (int i = 0; i < 4; ++i) {
    bool on = m_pCheck[i]->isChecked();
    if (i == 3) {
      m_pCheck[3]->setEnabled(m_pCheck[2]->isChecked());
      on = on && m_pCheck[2]->isChecked();
    }
    m_pPicker[i]->setEnabled(on);
    m_pBrowse[i]->setEnabled(on);
  }
  m_pRemove->setEnabled(m_pTargets->currentRow() >= 0);
  const bool folder = m_pResult->checkedId() == 2;
  m_pDirectory->setEnabled(folder);
  m_pDirBrowse->setEnabled(folder);
  m_pAddChars->setEnabled(folder);
  const bool chars = folder && m_pAddChars->isChecked();
  m_pPosition->setEnabled(chars);
  m_pChars->setEnabled(chars);
  m_pCharsLabel->setEnabled(chars);
  m_pOk->setEnabled(m_pTargets->GetCount() > 0);
}

BatchDarkFlatSettings CDlgBatchDarkFlat::Gather() const {
  BatchDarkFlatSettings s;
  bool* use[4] = {&s.useBias, &s.useDark, &s.useFlat, &s.useFlatDark};
  BatchFrame* frame[4] = {&s.bias, &s.dark, &s.flat, &s.flatDark};
  for (int i = 0; i < 4; ++i) {
    *use[i] = m_pCheck[i]->isChecked();
    if (!*use[i] || m_pPicker[i]->currentIndex() < 0) continue;
    // An open window lends its own image; a file is read by the run.
    if (m_pPicker[i]->GetDocument())
      frame[i]->image = m_pPicker[i]->GetImage(0);
    else
      frame[i]->path = m_pPicker[i]->GetFileName();
  }
  s.useFlatDark = s.useFlatDark && s.useFlat;
  s.result = std::max(0, m_pResult->checkedId());
  s.folder = m_pDirectory->GetDirectory();
  s.addCharacters = m_pAddChars->isChecked();
  s.position = m_pPosition->currentIndex();
  s.characters = m_pChars->text().toStdString();
  return s;
}

std::vector<BatchTarget> CDlgBatchDarkFlat::CollectTargets(std::vector<CVumDocument*>* docs) const {
  std::vector<BatchTarget> targets;
  for (int i = 0; i < m_pTargets->GetCount(); ++i) {
    BatchTarget t;
    CVumDocument* doc = m_pTargets->GetDocumentAt(i);
    if (doc) {
      t.image = m_pTargets->GetImage(i, 0);
      t.path = doc->GetVumPathName();
      if (!t.image) continue;
    } else {
      t.path = m_pTargets->GetNameAt(i);
    }
    targets.push_back(t);
    if (docs) docs->push_back(doc);
  }
  return targets;
}

// The settings were checked (CheckValue) before the run began.
int CDlgBatchDarkFlat::Run() {
  const BatchDarkFlatSettings settings = Gather();
  m_Opened.clear();
  m_Changed.clear();
  std::vector<CVumDocument*> docs;
  const std::vector<BatchTarget> targets = CollectTargets(&docs);
  CBatchDarkFlat work(settings, targets);
  work.SetAbortFlag(&m_bAbort);
  work.SetImageHook([&](int index, CRalImage& image) {
    QCoreApplication::processEvents();
    if (index < 0 || index >= static_cast<int>(docs.size())) return;
    if (CVumDocument* doc = docs[index]) {
      doc->SetVumModified(true);
      doc->UpdateAllVumViews();
      m_Changed.push_back(doc);
    } else if (settings.result == 0 && !m_bAbort) {
      // Shown without saving: each file opens in a window of its own as its turn comes,
      // and the window takes the result (not when the run was stopped meanwhile: that
      // result is dropped).
      CVumDocument* opened = nullptr;
      CRalImage* shown = picker::OpenImageInWindow(targets[index].path, &opened);
      if (shown && opened && shown->Create(image) && shown->CopyImage(image)) {
        opened->SetVumModified(true);
        opened->UpdateAllVumViews();
        m_Opened.push_back(opened);
      }
    }
  });
  work.SetFileReport([this](int index, const std::string&, const std::string&, bool) {
    if (index >= 0 && index < m_pTargets->GetCount()) m_pTargets->setCurrentRow(index);
    // Lets the abort button be pressed between targets.
    QCoreApplication::processEvents();
  });
  const int done = work.ImageProc();
  if (!done && work.WasAborted() && !m_Opened.empty() &&
      AfxMessageBox(std::string(batch_text::kCloseOpened), MB_YESNO | MB_ICONQUESTION) == IDYES) {
    for (CVumDocument* doc : m_Opened)
      if (picker::IsOpenDocument(doc)) doc->CloseVum();
    m_Opened.clear();
  }
  return done;
}

void CDlgBatchDarkFlat::OnOK() {
  if (m_bRunning) {
    m_bAbort = true;
    return;
  }
  // A frame switched on needs an image chosen for it.
  if (!CComboImage::CalibrationFramesChosen(m_pCheck, m_pPicker)) {
    m_nLastResult = -1;
    return;
  }
  // The questions about the outputs come before the dialog turns to its running state.
  if (!CBatchDarkFlat(Gather(), CollectTargets(nullptr)).CheckValue()) {
    m_nLastResult = -1;
    return;
  }
  m_bRunning = true;
  m_bAbort = false;
  dlg::RunningState running(this, m_pOk, Q(batch_text::kAbortCaption));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const int result = Run();
  QApplication::restoreOverrideCursor();
  m_bRunning = false;
  m_nLastResult = result < 0 ? -1 : result;
  if (result == 1) {
    UpdateRegistry(true);
    close();
    return;
  }
  running.Restore(Q(batch_text::kOkCaption));
  m_bAbort = false;
  UpdateStatus();
}

void CDlgBatchDarkFlat::reject() {
  // Cancel does nothing while a run goes; OK is the abort button then.
  if (m_bRunning) return;
  // The window's place is kept even when the settings are not.
  PositionKeeper(this, kSection).Store();
  QDialog::reject();
}
