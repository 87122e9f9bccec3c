#include "app/dlgenviroment.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/apptexts.h"
#include "app/associations.h"
#include "fileio/qt/iodialogs.h"
#include "fits/fits.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {
constexpr const char* kSection = "Dialog\\Enviroment";
QString Q(const char* t) {
  return QString::fromUtf8(t);
}
}  // namespace

CDlgEnviroment::CDlgEnviroment(bool administrator, QWidget* parent)
    : QDialog(parent), m_bAdmin(administrator) {
  setWindowTitle(Q(app_text::kEnvTitle));
  auto* layout = new QVBoxLayout(this);
  auto* group = new QGroupBox(QStringLiteral("関連付け"), this);
  group->setObjectName(QStringLiteral("associations"));
  auto* grid = new QGridLayout(group);
  int i = 0;
  for (const FileFamily& f : associations::Families()) {
    auto* box = new QCheckBox(Q(f.label), group);
    box->setObjectName(QString::fromLatin1(f.name));
    const bool on = associations::IsAssociated(f);
    box->setChecked(on);
    box->setEnabled(m_bAdmin);
    m_Families.push_back(box);
    m_Initial.push_back(on);
    grid->addWidget(box, i / 3, i % 3);
    connect(box, &QCheckBox::toggled, this, &CDlgEnviroment::UpdateButtons);
    ++i;
  }
  m_pAllOn = new QPushButton(Q(app_text::kEnvAllOn), group);
  m_pAllOn->setObjectName(QStringLiteral("allOn"));
  m_pAllOff = new QPushButton(Q(app_text::kEnvAllOff), group);
  m_pAllOff->setObjectName(QStringLiteral("allOff"));
  grid->addWidget(m_pAllOn, 3, 1);
  grid->addWidget(m_pAllOff, 3, 2);
  group->setEnabled(m_bAdmin);
  layout->addWidget(group);
  connect(m_pAllOn, &QPushButton::clicked, this, &CDlgEnviroment::AllOn);
  connect(m_pAllOff, &QPushButton::clicked, this, &CDlgEnviroment::AllOff);

  auto* heightRow = new QHBoxLayout;
  heightRow->addWidget(new QLabel(QStringLiteral("1次元FITSの高さ"), this));
  m_pHeight = new QSpinBox(this);
  m_pHeight->setObjectName(QStringLiteral("fitsHeight"));
  m_pHeight->setRange(1, 65535);
  heightRow->addWidget(m_pHeight);
  heightRow->addStretch();
  layout->addLayout(heightRow);
  m_pMaximized = new QCheckBox(Q(app_text::kEnvMaximized), this);
  m_pMaximized->setObjectName(QStringLiteral("maximized"));
  m_pDlgBkGnd = new QCheckBox(Q(app_text::kEnvDlgBkGnd), this);
  m_pDlgBkGnd->setObjectName(QStringLiteral("dlgBkGnd"));
  m_pBottomUp = new QCheckBox(Q(app_text::kEnvBottomUp), this);
  m_pBottomUp->setObjectName(QStringLiteral("fitsBottomUp"));
  m_pKeepCards = new QCheckBox(Q(app_text::kEnvKeepCards), this);
  m_pKeepCards->setObjectName(QStringLiteral("keepCards"));
  layout->addWidget(m_pMaximized);
  layout->addWidget(m_pDlgBkGnd);
  layout->addWidget(m_pBottomUp);
  layout->addWidget(m_pKeepCards);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  int v = 0;
  CRegistry::Read(kSection, "Maximized", 0, v, CRegistry::TYPE_BOOL);
  m_pMaximized->setChecked(v != 0);
  CRegistry::Read(kSection, "FitsHeight", 100, m_nInitialHeight, CRegistry::TYPE_INT);
  m_pHeight->setValue(m_nInitialHeight);
  CRegistry::Read(kSection, "DlgBkGnd", 0, v, CRegistry::TYPE_BOOL);
  m_pDlgBkGnd->setChecked(v != 0);
  CRegistry::Read("IO", "FitsBottomUp", 1, m_bFitsBottomUp, CRegistry::TYPE_BOOL);
  m_pBottomUp->setChecked(m_bFitsBottomUp != 0);
  CRegistry::Read(kFitsKeepCardsSection, kFitsKeepCardsName, 0, v, CRegistry::TYPE_BOOL);
  m_pKeepCards->setChecked(v != 0);
  if (m_pDlgBkGnd->isChecked()) {
    m_pMaximized->setChecked(false);
    m_pMaximized->setEnabled(false);
  }
  connect(m_pDlgBkGnd, &QCheckBox::clicked, this, [this](bool on) {
    m_bBkGndClicked = true;
    // Dialogs that may go behind their image do not go with maximised images.
    if (on) m_pMaximized->setChecked(false);
    m_pMaximized->setEnabled(!on);
  });
  connect(m_pBottomUp, &QCheckBox::clicked, this, [this] { m_bBottomUpClicked = true; });
  UpdateButtons();
  m_pPosition = new PositionKeeper(this, kSection);
  m_pPosition->Restore();
}

CDlgEnviroment::~CDlgEnviroment() {
  delete m_pPosition;
}

void CDlgEnviroment::UpdateButtons() {
  bool all = true;
  for (QCheckBox* b : m_Families) all = all && b->isChecked();
  m_pAllOn->setEnabled(m_bAdmin && !all);
  m_pAllOff->setEnabled(m_bAdmin && all);
}

void CDlgEnviroment::AllOn() {
  for (QCheckBox* b : m_Families) b->setChecked(true);
  m_pHeight->setValue(10);
  UpdateButtons();
}

void CDlgEnviroment::AllOff() {
  for (QCheckBox* b : m_Families) b->setChecked(false);
  UpdateButtons();
}

void CDlgEnviroment::accept() {
  bool changed = false;
  for (std::size_t i = 0; i < m_Families.size(); ++i)
    changed = changed || m_Families[i]->isChecked() != m_Initial[i];
  if (changed)
    AfxMessageBox(app_text::kRestartSystem, MB_OK | MB_ICONINFORMATION);
  else if (m_pHeight->value() != m_nInitialHeight || m_bBkGndClicked || m_bBottomUpClicked)
    AfxMessageBox(app_text::kRestartProgram, MB_OK | MB_ICONINFORMATION);
  if (m_bAdmin) {
    const auto& families = associations::Families();
    for (std::size_t i = 0; i < families.size(); ++i) {
      if (m_Families[i]->isChecked())
        associations::SetAssociated(families[i], true);
      else if (associations::IsAssociated(families[i]))
        associations::SetAssociated(families[i], false);
    }
  }
  m_bFitsBottomUp = m_pBottomUp->isChecked() ? 1 : 0;
  // The writer reads this at every save, so it holds from the next save on.
  CRegistry::Write(kFitsKeepCardsSection, kFitsKeepCardsName, m_pKeepCards->isChecked() ? 1 : 0,
                   CRegistry::TYPE_BOOL);
  QDialog::accept();
}

void CDlgEnviroment::done(int result) {
  m_pPosition->Store();
  CRegistry::Write(kSection, "Maximized", m_pMaximized->isChecked() ? 1 : 0, CRegistry::TYPE_BOOL);
  CRegistry::Write(kSection, "FitsHeight", m_pHeight->value(), CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "DlgBkGnd", m_pDlgBkGnd->isChecked() ? 1 : 0, CRegistry::TYPE_BOOL);
  QDialog::done(result);
}

CDlgWindow::CDlgWindow(const QStringList& titles, QWidget* parent)
    : QDialog(parent), m_Titles(titles), m_pList(new QListWidget(this)) {
  setWindowTitle(Q(app_text::kSelectWindow));
  m_pList->setObjectName(QStringLiteral("windows"));
  m_pList->addItems(titles);
  if (!titles.isEmpty()) m_pList->setCurrentRow(0);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pList);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_pList, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
}

int CDlgWindow::SelectedIndex() const {
  const QListWidgetItem* item = m_pList->currentItem();
  if (!item) return -1;
  return static_cast<int>(m_Titles.lastIndexOf(item->text()));
}
