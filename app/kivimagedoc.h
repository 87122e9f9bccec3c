// CKivImageDoc: one open image. It owns the image window object, which holds the image,
// and keeps the file's path, the read parameters and the modified marker. File code
// never shows a box itself apart from the questions that saving and closing must ask.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "dialogs/vumdialog.h"
#include "display/qt/ralimgwnd.h"
#include "fileio/readparam.h"

class CKivImageView;

class CKivImageDoc : public QObject, public CVumDocument {
  Q_OBJECT

 public:
  explicit CKivImageDoc(QObject* parent = nullptr);
  ~CKivImageDoc() override;

  // Reads the file; the image window's logarithmic display follows the image's flag.
  bool OnOpenDocument(const QString& path);
  // Writes through the image window; success clears the modified marker.
  bool OnSaveDocument(const QString& path);
  // Save (asks a name when the document has none, or the image may not overwrite its
  // file) or save as (always asks). True when saved.
  bool DoSave(bool saveAs);
  // Asks whether to save a modified document: Yes saves, No discards, Cancel keeps it
  // open. True when the document may close.
  bool SaveModified();

  CRalImgWnd& GetImgWnd() { return m_Wnd; }
  CReadParam& GetReadParam() { return m_ReadParam; }
  const QString& GetPathName() const { return m_Path; }
  void SetPathName(const QString& path);
  // The file name of the path, or the title a new document was given.
  QString GetTitle() const;
  void SetTitle(const QString& title);
  bool IsModified() const { return m_bModified; }
  // The measurement tool on this document (tool_rules::MODE).
  int GetToolMode() const { return m_nToolMode; }
  void SetToolMode(int mode) { m_nToolMode = mode; }
  void SetModifiedFlag(bool modified = true);

  // Tests the chosen target: it must be a regular file (or a name to create, through
  // symbolic links too); an existing file must open for reading, a new one must be
  // creatable (it is created and removed again). 0, or the file I/O code to show.
  static int CanWriteTo(const QString& path);

  // The views that show this document (one per frame).
  void AddView(CKivImageView* view);
  void RemoveView(CKivImageView* view);
  QList<CKivImageView*> GetViews() const;
  // Rebuilds the display and paints every view again.
  void UpdateAllViews();

  // ---- as the processing dialogs see a document
  std::string GetVumTitle() const override { return GetTitle().toStdString(); }
  std::vector<CVumView*> GetVumViews() const override;
  void UpdateAllVumViews() override { UpdateAllViews(); }
  std::string GetVumPathName() const override { return m_Path.toStdString(); }
  void SetVumTitle(const std::string& title) override { SetTitle(QString::fromStdString(title)); }
  void SetVumPathName(const std::string& path) override { SetPathName(QString::fromStdString(path)); }
  void SetVumModified(bool modified) override { SetModifiedFlag(modified); }
  void SetVumImage(CRalImage* image, const CReadParam* param) override;
  void InitialUpdateVum() override;
  void CloseVum() override;

 signals:
  // A new document's frame is to be shown (its first update).
  void initialUpdate();
  void closeRequested();

  void titleChanged();

 private:
  CRalImgWnd m_Wnd;
  CReadParam m_ReadParam;
  QString m_Path;
  QString m_Title;
  QList<QPointer<CKivImageView>> m_Views;
  bool m_bModified = false;
  int m_nToolMode = 0;
};
