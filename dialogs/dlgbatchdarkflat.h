// The modeless dialog that calibrates a list of images with one common set of frames:
// a bias, a dark, a flat and a dark for the flat, each picked as an open window or a
// file; the results are shown, saved over their files, or saved into another folder
// with optional characters added to the names. The run itself is CBatchDarkFlat; the
// dialog gathers its settings and targets and keeps the OK button as the abort button
// while the run goes.
#pragma once

#include <QDialog>
#include <atomic>
#include <string>
#include <vector>

class CComboDirectory;
class CComboImage;
class CListTarget;
class CVumDocument;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
struct BatchDarkFlatSettings;
struct BatchTarget;

class CDlgBatchDarkFlat : public QDialog {
  Q_OBJECT

 public:
  // Control ids (object names of the controls).
  enum {
    IDC_BIAS_CHECK = 1001,
    IDC_DARK_CHECK,
    IDC_FLAT_CHECK,
    IDC_FLATDARK_CHECK,
    IDC_BIAS,
    IDC_DARK,
    IDC_FLAT,
    IDC_FLATDARK,
    IDC_BIAS_BROWSE,
    IDC_DARK_BROWSE,
    IDC_FLAT_BROWSE,
    IDC_FLATDARK_BROWSE,
    IDC_TARGETS,
    IDC_ADD,
    IDC_REMOVE,
    IDC_RESULT_OPEN,
    IDC_RESULT_OVERWRITE,
    IDC_RESULT_FOLDER,
    IDC_DIRECTORY,
    IDC_DIRECTORY_BROWSE,
    IDC_ADD_CHARACTERS,
    IDC_POSITION,
    IDC_CHARACTERS,
  };
  static constexpr const char* kSection = "Dialog\\BatchDarkFlat";
  static constexpr const char* kFrameSection = "DarkFlat";

  explicit CDlgBatchDarkFlat(QWidget* parent = nullptr);
  ~CDlgBatchDarkFlat() override;

  CListTarget* Targets() const { return m_pTargets; }
  CComboImage* Picker(int which) const { return m_pPicker[which]; }
  CComboDirectory* Directory() const { return m_pDirectory; }
  bool IsRunning() const { return m_bRunning; }
  // The result of the last run: 1 done, 0 aborted or failed, -1 none yet.
  int GetLastResult() const { return m_nLastResult; }

  // Reads (write false) or writes every setting.
  void UpdateRegistry(bool write);

 protected:
  void accept() override { OnOK(); }
  void reject() override;

 private:
  void OnOK();
  void UpdateStatus();
  BatchDarkFlatSettings Gather() const;
  // The list's targets, with the document of each (null for a file).
  std::vector<BatchTarget> CollectTargets(std::vector<CVumDocument*>* docs) const;
  int Run();

  QCheckBox* m_pCheck[4] = {};
  CComboImage* m_pPicker[4] = {};
  QPushButton* m_pBrowse[4] = {};
  CListTarget* m_pTargets = nullptr;
  QPushButton* m_pAdd = nullptr;
  QPushButton* m_pRemove = nullptr;
  QButtonGroup* m_pResult = nullptr;
  CComboDirectory* m_pDirectory = nullptr;
  QPushButton* m_pDirBrowse = nullptr;
  QCheckBox* m_pAddChars = nullptr;
  QComboBox* m_pPosition = nullptr;
  QLineEdit* m_pChars = nullptr;
  QLabel* m_pCharsLabel = nullptr;
  QPushButton* m_pOk = nullptr;
  QPushButton* m_pCancel = nullptr;
  bool m_bRunning = false;
  std::atomic<bool> m_bAbort{false};
  int m_nLastResult = -1;
  // Documents the run opened, and already open ones it changed.
  std::vector<CVumDocument*> m_Opened;
  std::vector<CVumDocument*> m_Changed;
};
