#include "dialogs/tablebox.h"

#include <QHeaderView>
#include <QKeyEvent>

CTableBox::CTableBox(QWidget* parent) : QTableWidget(parent) {
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  horizontalHeader()->setStretchLastSection(true);
  connect(this, &QTableWidget::itemChanged, this, [this](QTableWidgetItem*) {
    if (m_bTidying) return;
    Tidy();
    emit tableEdited();
  });
}

void CTableBox::SetColumns(const std::vector<std::string>& headers) {
  setColumnCount(static_cast<int>(headers.size()));
  QStringList labels;
  for (const std::string& h : headers) labels << QString::fromStdString(h);
  setHorizontalHeaderLabels(labels);
  Tidy();
}

bool CTableBox::RowIsEmpty(int row) const {
  for (int c = 0; c < columnCount(); ++c) {
    const QTableWidgetItem* i = item(row, c);
    if (i && !i->text().isEmpty()) return false;
  }
  return true;
}

void CTableBox::Tidy() {
  m_bTidying = true;
  // The row being edited stays, even when it is still empty.
  const int editing = state() == QAbstractItemView::EditingState ? currentRow() : -1;
  for (int r = rowCount() - 2; r >= 0; --r)
    if (r != editing && RowIsEmpty(r)) removeRow(r);
  if (rowCount() == 0 || !RowIsEmpty(rowCount() - 1)) insertRow(rowCount());
  m_bTidying = false;
}

int CTableBox::GetRowCountUsed() const {
  int used = rowCount();
  while (used > 0 && RowIsEmpty(used - 1)) --used;
  return used;
}

std::string CTableBox::GetCell(int row, int column) const {
  const QTableWidgetItem* i = item(row, column);
  return i ? i->text().toStdString() : std::string();
}

void CTableBox::SetCell(int row, int column, const std::string& text) {
  if (row < 0 || column < 0 || column >= columnCount()) return;
  m_bTidying = true;
  while (rowCount() <= row) insertRow(rowCount());
  QTableWidgetItem* i = item(row, column);
  if (!i) {
    i = new QTableWidgetItem;
    setItem(row, column, i);
  }
  i->setText(QString::fromStdString(text));
  m_bTidying = false;
  Tidy();
}

void CTableBox::ClearAll() {
  m_bTidying = true;
  setRowCount(0);
  m_bTidying = false;
  Tidy();
}

void CTableBox::ClearSelectedCells() {
  m_bTidying = true;
  for (QTableWidgetItem* i : selectedItems()) i->setText(QString());
  m_bTidying = false;
  Tidy();
  emit tableEdited();
}

void CTableBox::keyPressEvent(QKeyEvent* event) {
  if (state() != QAbstractItemView::EditingState &&
      (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace)) {
    ClearSelectedCells();
    return;
  }
  QTableWidget::keyPressEvent(event);
}
