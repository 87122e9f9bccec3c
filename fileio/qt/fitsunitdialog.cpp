// The FITS unit chooser, laid out as the plane dialog of a cube is: a line saying what
// is asked, the list, OK and Cancel.
#include "fileio/qt/fitsunitdialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "fileio/fileiotexts.h"

namespace ft = fileio_text;

namespace {
QString Q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}
}  // namespace

CDlgFitsUnit::CDlgFitsUnit(const FitsUnitPrompt& prompt, QWidget* parent) : QDialog(parent) {
  setObjectName("CDlgFitsUnit");
  setWindowTitle(Q(ft::kFitsUnitTitle));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Q(ft::kFitsUnitLabel), this));
  units_ = new QTreeWidget(this);
  units_->setObjectName("units");
  units_->setRootIsDecorated(false);
  units_->setUniformRowHeights(true);
  units_->setHeaderLabels({"HDU", "EXTNAME", "EXTVER", Q(ft::kFitsUnitSize), Q(ft::kFitsUnitType)});
  for (const FitsUnitPrompt::Entry& e : prompt.entries) {
    auto* item = new QTreeWidgetItem(units_);
    item->setText(0, QString::number(e.unit));
    item->setText(1, QString::fromStdString(e.extName));
    item->setText(2, QString::number(e.extVer));
    item->setText(3, QString::fromStdString(e.size));
    item->setText(4, QString::fromStdString(e.type));
  }
  for (int c = 0; c < units_->columnCount(); ++c) units_->resizeColumnToContents(c);
  if (prompt.choice >= 0 && prompt.choice < units_->topLevelItemCount())
    units_->setCurrentItem(units_->topLevelItem(prompt.choice));
  layout->addWidget(units_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName("buttons");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(units_, &QTreeWidget::itemActivated, this, &QDialog::accept);
  layout->addWidget(buttons);
  units_->setFocus();
  setMinimumWidth(420);
}

void CDlgFitsUnit::Apply(FitsUnitPrompt& prompt) const {
  QTreeWidgetItem* item = units_->currentItem();
  prompt.choice = item ? units_->indexOfTopLevelItem(item) : 0;
}
