// CComboImage: picks one image: an open image window (listed by title first) or one of
// the recently used files that still exist. Its history is five paths under key0...key4
// of the owner's section, the key itself holding the title of the window chosen last
// (its file's path for the calibration pickers). A window that closes leaves the list
// by itself.
#pragma once

#include <QComboBox>
#include <memory>
#include <string>

class CRalImage;
class CVumDocument;
class QCheckBox;

class CComboImage : public QComboBox {
  Q_OBJECT

 public:
  static constexpr int kHistory = 5;

  explicit CComboImage(QWidget* parent = nullptr);
  ~CComboImage() override;

  // The file type of the open dialog (12: FITS read as unsigned, the names marked "<USF>").
  void SetFileType(int fileType) { m_nFileType = fileType; }
  // For calibration frames, where a wrong frame spoils every result: the window chosen
  // is remembered by its file's path (a window without a file is not remembered), and on
  // reading only the window of that very file is selected, or the file itself when a
  // file was chosen; failing that nothing is selected, for the user to choose.
  void SetRecallByPath(bool on) { m_bByPath = on; }
  // What the key holds after a choice that is not to be given back.
  static constexpr const char* kNothingChosen = "-";

  // Fills the list: the open windows, then the existing files of the history; selects the
  // window whose title was stored, else the first file, else the first window.
  void ReadHistory(const std::string& section, const std::string& key);
  // Stores the files (the selected one first) and the selected window's title (empty
  // when a file is selected).
  void WriteHistory(const std::string& section, const std::string& key);

  // Runs the open dialog; the chosen file goes to the top of the files and is selected.
  // 1 when a file was chosen.
  int SelectFile();
  // Puts a file at the top of the files (a same entry is removed) and selects it.
  void AddFile(const std::string& path);

  // The selection: an open window (its document) or a file (its name).
  CVumDocument* GetDocument() const;
  std::string GetFileName() const;
  bool IsFileSelected() const { return currentIndex() >= 0 && !GetDocument(); }
  // The files listed, top first.
  std::vector<std::string> GetFiles() const;

  // The selected image: the open window's own, or the file read into an image the picker
  // owns; with openAsWindow a file is opened in a window and that window's image is
  // given. Null when there is none or it cannot be read. A file is read once while it
  // stays selected (a preview asks for it band after band), a failure shown once.
  CRalImage* GetImage(int openAsWindow, CVumDocument** doc = nullptr);

  // The four calibration frames (bias, dark, flat, the flat's dark; the last counts only
  // with the flat): a frame switched on needs an image chosen. The first that has none
  // is named in a message and its picker takes the focus; false then.
  static bool CalibrationFramesChosen(QCheckBox* const checks[4], CComboImage* const pickers[4]);

 private:
  int FirstFileIndex() const;
  // An open window's entry goes when its document object is destroyed.
  void OnDocumentDestroyed(QObject* object);

  int m_nFileType = 0;
  bool m_bByPath = false;
  std::unique_ptr<CRalImage> m_pImage;
  // The file m_pImage was read from (or failed to be read from); empty when none.
  std::string m_strRead;
};
