// CListTarget: the list of images a batch or a blink works on: open image windows (item
// data the document) and files. Adding puts the chosen files at the top, dropping ones
// already listed; removing selects the entry that moved into the removed one's place. A
// window that closes leaves the list by itself.
#pragma once

#include <QListWidget>
#include <memory>
#include <string>
#include <vector>

class CRalImage;
class CVumDocument;

class CListTarget : public QListWidget {
  Q_OBJECT

 public:
  explicit CListTarget(QWidget* parent = nullptr);
  ~CListTarget() override;

  // The file type of the open dialog (12: FITS read as unsigned, the names marked "<USF>").
  void SetFileType(int fileType) { m_nFileType = fileType; }

  // Runs the multiple-selection open dialog and adds the chosen files. 1 when any were
  // chosen.
  int OnAdd();
  // Inserts the files at the top in their order, each one already listed moved rather
  // than doubled; the first of them is selected.
  void AddFiles(const std::vector<std::string>& paths);
  // Adds an open window at the end (nothing when it is listed already). When the window
  // closes (its document object is destroyed) its entry goes.
  void AddDocument(CVumDocument* doc);
  // Removes the selected entry and selects the next one, else the new last one.
  void OnRemove();
  // Sorts by file: the path of a window's document (its title when it has none) or the
  // file name, compared as text; the selected entry stays selected.
  void SortByFile();

  int GetCount() const { return count(); }
  // An entry's document (null for a file) and name (the file name, or the window title).
  CVumDocument* GetDocumentAt(int index) const;
  std::string GetNameAt(int index) const;
  int FindDocument(const CVumDocument* doc) const;

  // The image of an entry: a window's own, or the file read into the one image the list
  // owns (reused from call to call); with openAsWindow a file is opened in a window. The
  // window's document goes to *doc when asked. Null when it cannot be had.
  CRalImage* GetImage(int index, int openAsWindow, CVumDocument** doc = nullptr);

 signals:
  // The entries changed (added, removed, sorted).
  void listChanged();

 private:
  // An open window's entry goes when its document object is destroyed.
  void OnDocumentDestroyed(QObject* object);

  int m_nFileType = 0;
  std::unique_ptr<CRalImage> m_pImage;
};
