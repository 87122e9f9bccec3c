// The modeless dialog that calibrates images named in a table: every row gives an image,
// its own bias, dark, flat and dark of the flat, and the name to save the result under.
// Cells are filled from a folder's file list, from a typed name, or by reading a table
// file; the results are saved, saved and shown, or only shown. The run itself is
// CBatchDarkFlat2; the dialog gathers the rows and keeps the OK button as the abort button
// while the run goes.
#pragma once

#include <QDialog>
#include <atomic>
#include <string>
#include <vector>

#include "batch/batchnaming.h"

class CFileListBox;
class CTableBox;
class CVumDocument;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QKeyEvent;
class QLineEdit;
class QPushButton;

class CDlgBatchDarkFlat2 : public QDialog {
  Q_OBJECT

 public:
  // Control ids (object names of the controls).
  enum {
    IDC_TABLE = 1101,
    IDC_DIR,
    IDC_DIR_BROWSE,
    IDC_FILES,
    IDC_SET_FILE,
    IDC_FILENAME,
    IDC_SET_FILENAME,
    IDC_OPEN_TABLE,
    IDC_CLEAR_ALL,
    IDC_RESULT_SAVE,
    IDC_RESULT_SAVE_OPEN,
    IDC_RESULT_OPEN,
    IDC_ADD_CHARACTERS,
    IDC_POSITION,
    IDC_CHARACTERS,
  };
  static constexpr const char* kSection = "Dialog\\BatchDarkFlat2";
  // The calibration cells are kept as kCellKey followed by three digits.
  static constexpr const char* kCellKey = "DarkFlat";
  static constexpr int kMaxCells = 999;

  explicit CDlgBatchDarkFlat2(QWidget* parent = nullptr);
  ~CDlgBatchDarkFlat2() override;

  CTableBox* Table() const { return m_pTable; }
  CFileListBox* Files() const { return m_pFiles; }
  bool IsRunning() const { return m_bRunning; }
  // The result of the last run: 1 done, 0 aborted, -1 none yet (or stopped by the checks).
  int GetLastResult() const { return m_nLastResult; }
  // The rows of the table with text, cells made Linux paths.
  std::vector<batch::TableRow> GetRows() const;

  // Reads (write false) or writes every setting.
  void UpdateRegistry(bool write);

 protected:
  void accept() override { OnOK(); }
  void reject() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnOK();
  void UpdateStatus();
  // The folder of the file list from its field.
  void ShowFolder();
  void BrowseFolder();
  // The current cell takes text, and the cursor moves one row down.
  void FillCurrentCell(const std::string& text);
  void SetFromList();
  void SetFromName();
  void OpenTable();
  void SetRows(const std::vector<batch::TableRow>& rows);
  int Run();

  CTableBox* m_pTable = nullptr;
  QLineEdit* m_pDir = nullptr;
  QPushButton* m_pDirBrowse = nullptr;
  CFileListBox* m_pFiles = nullptr;
  QPushButton* m_pSetFile = nullptr;
  QLineEdit* m_pFileName = nullptr;
  QPushButton* m_pSetFileName = nullptr;
  QPushButton* m_pOpenTable = nullptr;
  QPushButton* m_pClearAll = nullptr;
  QButtonGroup* m_pResult = nullptr;
  QCheckBox* m_pAddChars = nullptr;
  QComboBox* m_pPosition = nullptr;
  QLineEdit* m_pChars = nullptr;
  QLabel* m_pCharsLabel = nullptr;
  QPushButton* m_pOk = nullptr;
  QPushButton* m_pCancel = nullptr;
  bool m_bRunning = false;
  std::atomic<bool> m_bAbort{false};
  int m_nLastResult = -1;
  // Documents the run opened.
  std::vector<CVumDocument*> m_Opened;
};
