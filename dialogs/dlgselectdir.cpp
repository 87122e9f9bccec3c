// The tree shows folders only; the path field follows the tree's selection and may be
// typed into, and OK takes the field only when it names an existing folder.
#include "dialogs/dlgselectdir.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

CDlgSelectDir::CDlgSelectDir(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(picker_text::kSelectDirCaption));
  setObjectName("dlgSelectDir");
  m_pTitle = new QLabel(QString::fromUtf8(picker_text::kSelectDirTitle), this);
  m_pModel = new QFileSystemModel(this);
  m_pModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  m_pModel->setRootPath(QDir::rootPath());
  m_pTree = new QTreeView(this);
  m_pTree->setObjectName("folderTree");
  m_pTree->setModel(m_pModel);
  for (int c = 1; c < m_pModel->columnCount(); ++c) m_pTree->hideColumn(c);
  m_pTree->header()->hide();
  m_pPath = new QLineEdit(this);
  m_pPath->setObjectName("folderPath");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pTitle);
  layout->addWidget(m_pTree, 1);
  layout->addWidget(m_pPath);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &CDlgSelectDir::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CDlgSelectDir::reject);
  connect(m_pTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (current.isValid()) m_pPath->setText(m_pModel->filePath(current));
          });
  SetDirectory(QDir::homePath().toStdString());
  resize(360, 420);
}

void CDlgSelectDir::SetTitle(const std::string& title) {
  m_pTitle->setText(QString::fromStdString(title));
}

void CDlgSelectDir::SetDirectory(const std::string& dir) {
  QString path = QString::fromStdString(dir);
  if (path.isEmpty() || !QFileInfo(path).isDir()) path = QDir::homePath();
  path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
  const QModelIndex index = m_pModel->index(path);
  if (index.isValid()) {
    m_pTree->setCurrentIndex(index);
    m_pTree->scrollTo(index);
  }
  m_pPath->setText(path);
}

std::string CDlgSelectDir::GetDirectory() const {
  return QDir::cleanPath(m_pPath->text().trimmed()).toStdString();
}

void CDlgSelectDir::accept() {
  // A typed path must be a folder; anything else leaves the dialog open.
  if (!QFileInfo(QString::fromStdString(GetDirectory())).isDir()) {
    m_pPath->selectAll();
    m_pPath->setFocus();
    return;
  }
  QDialog::accept();
}
