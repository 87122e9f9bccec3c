#include "dialogs/dlgbatchdarkflat2.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <tuple>

#include "batch/batchdarkflat.h"
#include "batch/batchtexts.h"
#include "dialogs/dlgselectdir.h"
#include "dialogs/dlgsupport.h"
#include "dialogs/filelistbox.h"
#include "dialogs/pickersupport.h"
#include "dialogs/tablebox.h"
#include "dialogs/vumdialog.h"
#include "fileio/prompts.h"
#include "fileio/qt/iodialogs.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"

namespace {

QString Q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

constexpr const char* kColumnTitles[batch::kTableColumns] = {"画像", "ﾊﾞｲｱｽ",      "ﾀﾞｰｸ",
                                                             "ﾌﾗｯﾄ", "ﾌﾗｯﾄのﾀﾞｰｸ", "保存ﾌｧｲﾙ名"};
constexpr const char* kTableFilter = "すべてのﾌｧｲﾙ(*.*)|*.*|ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt||";
constexpr const char* kTableTitle = "ﾃﾞｰﾀﾃｰﾌﾞﾙを開く";
// The title of a window whose result was not saved.
constexpr const char* kNewTitle = "(新規)";

std::string CellKey(int index) {
  char key[32];
  std::snprintf(key, sizeof key, "%s%03d", CDlgBatchDarkFlat2::kCellKey, index);
  return key;
}

}  // namespace

CDlgBatchDarkFlat2::CDlgBatchDarkFlat2(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8("ﾊﾞｯﾁ[個別ﾊﾞｲｱｽ･ﾀﾞｰｸ･ﾌﾗｯﾄ]"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* top = new QVBoxLayout(this);

  auto* middle = new QHBoxLayout;
  m_pTable = new CTableBox(this);
  m_pTable->setObjectName(dlg::Id(IDC_TABLE));
  std::vector<std::string> headers(std::begin(kColumnTitles), std::end(kColumnTitles));
  m_pTable->SetColumns(headers);
  m_pTable->horizontalHeader()->setDefaultSectionSize(100);
  m_pTable->setMinimumWidth(6 * 100 + 40);
  middle->addWidget(m_pTable, 3);

  // The picking side: a folder, its files, a typed name, and what fills the current cell.
  auto* pick = new QVBoxLayout;
  auto* dirRow = new QHBoxLayout;
  m_pDir = new QLineEdit(this);
  m_pDir->setObjectName(dlg::Id(IDC_DIR));
  pick->addWidget(dlg::Buddy(this, "ﾌｫﾙﾀﾞ(&F)：", m_pDir));
  m_pDirBrowse = new QPushButton(QStringLiteral("..."), this);
  m_pDirBrowse->setObjectName(dlg::Id(IDC_DIR_BROWSE));
  dirRow->addWidget(m_pDir, 1);
  dirRow->addWidget(m_pDirBrowse);
  pick->addLayout(dirRow);
  m_pFiles = new CFileListBox(this);
  m_pFiles->setObjectName(dlg::Id(IDC_FILES));
  m_pFiles->setMinimumWidth(240);
  pick->addWidget(m_pFiles, 1);
  m_pSetFile = new QPushButton(dlg::Q("← ﾘｽﾄのﾌｧｲﾙ(&L)"), this);
  m_pSetFile->setObjectName(dlg::Id(IDC_SET_FILE));
  pick->addWidget(m_pSetFile);
  m_pFileName = new QLineEdit(this);
  m_pFileName->setObjectName(dlg::Id(IDC_FILENAME));
  m_pSetFileName = new QPushButton(dlg::Q("← ﾌｧｲﾙ名(&N)"), this);
  m_pSetFileName->setObjectName(dlg::Id(IDC_SET_FILENAME));
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(m_pFileName, 1);
  nameRow->addWidget(m_pSetFileName);
  pick->addLayout(nameRow);
  middle->addLayout(pick, 2);
  top->addLayout(middle, 1);

  auto* tableButtons = new QHBoxLayout;
  m_pOpenTable = new QPushButton(dlg::Q("ﾃｰﾌﾞﾙを開く(&O)..."), this);
  m_pOpenTable->setObjectName(dlg::Id(IDC_OPEN_TABLE));
  m_pClearAll = new QPushButton(dlg::Q("すべてｸﾘｱ(&C)"), this);
  m_pClearAll->setObjectName(dlg::Id(IDC_CLEAR_ALL));
  tableButtons->addWidget(m_pOpenTable);
  tableButtons->addWidget(m_pClearAll);
  tableButtons->addStretch(1);
  top->addLayout(tableButtons);

  connect(m_pDir, &QLineEdit::editingFinished, this, &CDlgBatchDarkFlat2::ShowFolder);
  connect(m_pDirBrowse, &QPushButton::clicked, this, &CDlgBatchDarkFlat2::BrowseFolder);
  connect(m_pSetFile, &QPushButton::clicked, this, &CDlgBatchDarkFlat2::SetFromList);
  connect(m_pFiles, &QListWidget::itemDoubleClicked, this, &CDlgBatchDarkFlat2::SetFromList);
  connect(m_pSetFileName, &QPushButton::clicked, this, &CDlgBatchDarkFlat2::SetFromName);
  connect(m_pOpenTable, &QPushButton::clicked, this, &CDlgBatchDarkFlat2::OpenTable);
  connect(m_pTable, &CTableBox::tableEdited, this, &CDlgBatchDarkFlat2::UpdateStatus);
  connect(m_pClearAll, &QPushButton::clicked, this, [this] {
    m_pTable->ClearAll();
    UpdateStatus();
  });

  auto* after = new QGroupBox(QString::fromUtf8("処理後"), this);
  auto* afterLayout = new QGridLayout(after);
  m_pResult = new QButtonGroup(this);
  const char* results[3] = {"保存のみ", "保存後に開く", "保存せずに開く"};
  auto* resultRow = new QHBoxLayout;
  for (int i = 0; i < 3; ++i) {
    auto* r = new QRadioButton(QString::fromUtf8(results[i]), after);
    r->setObjectName(dlg::Id(IDC_RESULT_SAVE + i));
    m_pResult->addButton(r, i);
    resultRow->addWidget(r);
  }
  resultRow->addStretch(1);
  afterLayout->addLayout(resultRow, 0, 0, 1, 3);
  m_pAddChars = new QCheckBox(QString::fromUtf8("保存ﾌｧｲﾙ名に文字を追加する(&I)"), after);
  m_pAddChars->setObjectName(dlg::Id(IDC_ADD_CHARACTERS));
  m_pPosition = new QComboBox(after);
  m_pPosition->setObjectName(dlg::Id(IDC_POSITION));
  m_pPosition->addItems({QString::fromUtf8("最初に"), QString::fromUtf8("最後に")});
  m_pChars = new QLineEdit(after);
  m_pChars->setObjectName(dlg::Id(IDC_CHARACTERS));
  m_pCharsLabel = new QLabel(QString::fromUtf8("を追加する"), after);
  afterLayout->addWidget(m_pAddChars, 1, 0, 1, 3);
  afterLayout->addWidget(m_pPosition, 2, 0);
  afterLayout->addWidget(m_pChars, 2, 1);
  afterLayout->addWidget(m_pCharsLabel, 2, 2);
  top->addWidget(after);
  connect(m_pResult, &QButtonGroup::idClicked, this, &CDlgBatchDarkFlat2::UpdateStatus);
  connect(m_pAddChars, &QCheckBox::toggled, this, &CDlgBatchDarkFlat2::UpdateStatus);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  std::tie(m_pOk, m_pCancel) = dlg::OkCancel(this);
  buttons->addWidget(m_pOk);
  buttons->addWidget(m_pCancel);
  top->addLayout(buttons);
  connect(m_pOk, &QPushButton::clicked, this, &CDlgBatchDarkFlat2::OnOK);
  connect(m_pCancel, &QPushButton::clicked, this, &CDlgBatchDarkFlat2::reject);

  UpdateRegistry(false);
  UpdateStatus();
}

CDlgBatchDarkFlat2::~CDlgBatchDarkFlat2() = default;

void CDlgBatchDarkFlat2::UpdateRegistry(bool write) {
  const int w = write ? 1 : 0;
  int method = std::max(0, m_pResult->checkedId());
  int addChars = m_pAddChars->isChecked() ? 1 : 0;
  // The place of the added characters as the list shows it: 0 at the beginning, 1 at
  // the end (as the overscan batch keeps it).
  int place = m_pPosition->currentIndex() == 1 ? 1 : 0;
  std::string text = m_pChars->text().toStdString();
  std::string dir = m_pDir->text().toStdString();
  CVumDialog::UpdateReg(kSection, "Method", w, method, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(kSection, "Dir", w, dir);
  CVumDialog::UpdateReg(kSection, "CommonNameCheck", w, addChars, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(kSection, "CommonNameFirst", w, place, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(kSection, "CommonName", w, text);
  PositionKeeper position(this, kSection);
  if (write) {
    // Only the calibration columns are kept; an empty value ends the list.
    std::vector<std::string> cells = batch::EncodeTableSetting(GetRows());
    if (cells.size() > static_cast<std::size_t>(kMaxCells)) cells.resize(kMaxCells);
    for (std::size_t i = 0; i < cells.size(); ++i)
      CRegistry::Write(kSection, CellKey(static_cast<int>(i)), cells[i]);
    if (cells.size() < static_cast<std::size_t>(kMaxCells))
      CRegistry::Write(kSection, CellKey(static_cast<int>(cells.size())), std::string_view());
    position.Store();
    return;
  }
  position.Restore();
  if (QAbstractButton* b = m_pResult->button(std::clamp(method, 0, 2))) b->setChecked(true);
  m_pAddChars->setChecked(addChars != 0);
  m_pPosition->setCurrentIndex(place == 1 ? 1 : 0);
  m_pChars->setText(QString::fromStdString(text));
  m_pDir->setText(QString::fromStdString(dir));
  ShowFolder();
  std::vector<std::string> cells;
  for (int i = 0; i < kMaxCells; ++i) {
    std::string value;
    CRegistry::Read(kSection, CellKey(i), "", value);
    if (value.empty()) break;
    cells.push_back(std::move(value));
  }
  std::vector<batch::TableRow> rows;
  batch::DecodeTableSetting(cells, &rows);
  SetRows(rows);
}

void CDlgBatchDarkFlat2::UpdateStatus() {
  if (m_bRunning) return;
  const bool canAdd = m_pResult->checkedId() != 2;
  m_pAddChars->setEnabled(canAdd);
  const bool chars = canAdd && m_pAddChars->isChecked();
  m_pPosition->setEnabled(chars);
  m_pChars->setEnabled(chars);
  m_pCharsLabel->setEnabled(chars);
  // A run needs an image; an empty run would also forget the kept frame columns.
  bool anyImage = false;
  for (int r = 0; r < m_pTable->GetRowCountUsed() && !anyImage; ++r)
    anyImage = !m_pTable->GetCell(r, batch::kImage).empty();
  m_pOk->setEnabled(anyImage);
}

void CDlgBatchDarkFlat2::keyPressEvent(QKeyEvent* event) {
  // Return in the folder or the name field acts on that field rather than starting a run.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && m_pDir->hasFocus()) {
    ShowFolder();
    return;
  }
  if (enter && m_pFileName->hasFocus()) {
    SetFromName();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CDlgBatchDarkFlat2::ShowFolder() {
  m_pFiles->SetDirectory(batch::NormalizeFolder(m_pDir->text().toStdString()));
}

void CDlgBatchDarkFlat2::BrowseFolder() {
  CDlgSelectDir chooser(this);
  chooser.SetTitle(picker_text::kSelectDirTitle);
  chooser.SetDirectory(m_pFiles->GetDirectory());
  if (chooser.exec() != QDialog::Accepted) return;
  m_pDir->setText(QString::fromStdString(chooser.GetDirectory()));
  ShowFolder();
}

void CDlgBatchDarkFlat2::FillCurrentCell(const std::string& text) {
  int row = m_pTable->currentRow();
  int column = m_pTable->currentColumn();
  if (row < 0 || column < 0) {
    row = m_pTable->GetRowCountUsed();
    column = batch::kImage;
  }
  m_pTable->SetCell(row, column, text);
  // The next pick goes into the row below, so that a column is filled pick by pick.
  m_pTable->setCurrentCell(row + 1, column);
  UpdateStatus();
}

void CDlgBatchDarkFlat2::SetFromList() {
  for (const std::string& path : m_pFiles->GetSelectedPaths()) FillCurrentCell(path);
}

void CDlgBatchDarkFlat2::SetFromName() {
  std::string name = m_pFileName->text().toStdString();
  if (name.empty()) return;
  // A bare name is a file of the listed folder.
  if (name.find('/') == std::string::npos && name.find('\\') == std::string::npos) {
    std::string dir = m_pFiles->GetDirectory();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    name = dir + name;
  }
  FillCurrentCell(name);
}

void CDlgBatchDarkFlat2::OpenTable() {
  FileOpenPrompt prompt;
  prompt.title = kTableTitle;
  prompt.filter = kTableFilter;
  prompt.filterIndex = 2;
  prompt.multiSelect = false;
  prompt.initialDir = m_pFiles->GetDirectory();
  if (!GetUserPrompts().Ask(prompt) || prompt.paths.empty()) return;
  std::vector<batch::TableRow> rows;
  // A refused table leaves the table empty (the reason has been shown).
  batch::LoadTable(prompt.paths.front(), &rows);
  SetRows(rows);
}

void CDlgBatchDarkFlat2::SetRows(const std::vector<batch::TableRow>& rows) {
  m_pTable->ClearAll();
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (int c = 0; c < batch::kTableColumns; ++c)
      if (!rows[r][c].empty()) m_pTable->SetCell(static_cast<int>(r), c, rows[r][c]);
  UpdateStatus();
}

std::vector<batch::TableRow> CDlgBatchDarkFlat2::GetRows() const {
  std::vector<batch::TableRow> rows(m_pTable->GetRowCountUsed());
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (int c = 0; c < batch::kTableColumns; ++c)
      rows[r][c] = batch::NormalizeFolder(m_pTable->GetCell(static_cast<int>(r), c));
  return rows;
}

int CDlgBatchDarkFlat2::Run() {
  const std::vector<batch::TableRow> rows = GetRows();
  BatchDarkFlat2Settings settings;
  settings.result = std::max(0, m_pResult->checkedId());
  settings.addCharacters = settings.result != 2 && m_pAddChars->isChecked();
  settings.position = m_pPosition->currentIndex();
  settings.characters = m_pChars->text().toStdString();
  CBatchDarkFlat2 work(settings, rows);
  if (!work.CheckValue()) return -1;

  m_Opened.clear();
  std::vector<CVumDocument*> docs(rows.size(), nullptr);
  if (settings.result == 1 || settings.result == 2) {
    // The image of each row becomes a window of its own, worked on in place.
    work.SetRowOpener([&](int r) -> CRalImage* {
      const std::vector<CVumDocument*> before = picker::OpenDocuments();
      CVumDocument* doc = nullptr;
      CRalImage* image = picker::OpenImageInWindow(rows[r][batch::kImage], &doc);
      if (!doc) return nullptr;
      docs[r] = doc;
      if (std::find(before.begin(), before.end(), doc) == before.end()) m_Opened.push_back(doc);
      return image;
    });
  }
  work.SetAbortFlag(&m_bAbort);
  // Rows whose image the run changed; a row to be saved that failed is left as it was.
  std::vector<char> changed(rows.size(), 0);
  work.SetImageHook([&](int r, CRalImage&) {
    m_pTable->setCurrentCell(r, batch::kImage);
    changed[r] = 1;
    QCoreApplication::processEvents();
    if (CVumDocument* doc = docs[r]) {
      doc->SetVumModified(true);
      doc->UpdateAllVumViews();
    }
  });
  work.SetFileReport([&](int r, const std::string&, const std::string& saved, bool) {
    if (CVumDocument* doc = r >= 0 ? docs[r] : nullptr; doc && picker::IsOpenDocument(doc)) {
      if (settings.result == 1 && !saved.empty()) {
        doc->SetVumPathName(saved);
      } else if (settings.result == 2) {
        doc->SetVumPathName({});
        doc->SetVumTitle(kNewTitle);
      }
      if (changed[r]) doc->SetVumModified(true);
    }
    // Lets the abort button be pressed between rows.
    QCoreApplication::processEvents();
  });
  const int done = work.ImageProc();
  if (!m_Opened.empty() &&
      AfxMessageBox(std::string(batch_text::kCloseOpened), MB_YESNO | MB_ICONQUESTION) == IDYES) {
    for (CVumDocument* doc : m_Opened)
      if (picker::IsOpenDocument(doc)) doc->CloseVum();
  }
  m_Opened.clear();
  return done;
}

void CDlgBatchDarkFlat2::OnOK() {
  if (m_bRunning) {
    m_bAbort = true;
    return;
  }
  m_bRunning = true;
  m_bAbort = false;
  dlg::RunningState running(this, m_pOk, Q(batch_text::kAbortCaption));
  int result = 0;
  {
    dlg::WaitCursor wait;
    result = Run();
  }
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

void CDlgBatchDarkFlat2::reject() {
  // Cancel does nothing while a run goes; OK is the abort button then.
  if (m_bRunning) return;
  // The window's place is kept even when the settings are not.
  PositionKeeper(this, kSection).Store();
  QDialog::reject();
}
