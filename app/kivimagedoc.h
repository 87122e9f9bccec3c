// CKivImageDoc: one open image. It owns the image window object, which holds the image,
// and keeps the file's path, the read parameters and the modified marker. File code
// never shows a box itself apart from the questions that saving and closing must ask.
#pragma once

#include <QObject>
#include <QString>

#include "app/ralimgwnd.h"
#include "fileio/readparam.h"

class CKivImageDoc : public QObject {
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
  QString GetTitle() const;
  bool IsModified() const { return m_bModified; }
  void SetModifiedFlag(bool modified = true);

  // Tests the chosen target: an existing file must open for reading; a new one must be
  // creatable (it is created and removed again).
  static bool CanWriteTo(const QString& path);

 signals:
  void titleChanged();

 private:
  CRalImgWnd m_Wnd;
  CReadParam m_ReadParam;
  QString m_Path;
  bool m_bModified = false;
};
