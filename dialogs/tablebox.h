// CTableBox: an editable table of texts (one file path per cell in the batch tables).
// There is always one empty row at the end to type a new row into; Delete clears the
// selected cells, and rows left wholly empty (other than the last) go away.
#pragma once

#include <QTableWidget>
#include <string>
#include <vector>

class CTableBox : public QTableWidget {
  Q_OBJECT

 public:
  explicit CTableBox(QWidget* parent = nullptr);

  void SetColumns(const std::vector<std::string>& headers);
  // Rows with any text, that is without the empty row at the end.
  int GetRowCountUsed() const;
  std::string GetCell(int row, int column) const;
  // Grows the table as needed.
  void SetCell(int row, int column, const std::string& text);
  void ClearAll();
  // Removes the selected cells' texts.
  void ClearSelectedCells();

 signals:
  void tableEdited();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool RowIsEmpty(int row) const;
  // Keeps exactly one empty row at the end and drops other empty rows.
  void Tidy();
  bool m_bTidying = false;
};
