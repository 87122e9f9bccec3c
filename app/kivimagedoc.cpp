#include "app/kivimagedoc.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "app/apptexts.h"
#include "app/kivimageview.h"
#include "fileio/ralimageio.h"
#include "formats/fio/fileiomsg.h"
#include "platform/files.h"
#include "platform/messagebox.h"

CKivImageDoc::CKivImageDoc(QObject* parent) : QObject(parent) {}
CKivImageDoc::~CKivImageDoc() = default;

bool CKivImageDoc::OnOpenDocument(const QString& path) {
  const std::string local = path.toStdString();
  m_ReadParam.SetFileTypeDefaulted(local);
  if (!m_Wnd.ReadFile(local)) return false;
  if (CRalImage* image = m_Wnd.GetImagePtr())
    (void)m_Wnd.GetImageBuffer().SetLogScale(image->GetLogScale());
  SetPathName(path);
  SetModifiedFlag(false);
  return true;
}

bool CKivImageDoc::OnSaveDocument(const QString& path) {
  if (!m_Wnd.WriteFile(path.toStdString())) return false;
  SetPathName(path);
  SetModifiedFlag(false);
  return true;
}

int CKivImageDoc::CanWriteTo(const QString& path) {
  // Only a regular file is looked into or replaced: opening a FIFO would wait for a
  // writer, and a save must never replace a folder, a device or a pipe.
  std::string resolved;
  if (int e = CheckSaveTarget(path.toStdString(), resolved)) return FioCreateCode(e);
  int fd = -1;
  if (int e = OpenRegularFile(resolved, fd); e != ENOENT) {
    if (e) return FioCreateCode(e);
    ::close(fd);
    return FIO_OK;
  }
  // A new file (also the one a dangling link names) must be creatable.
  QFile file(QString::fromStdString(resolved));
  if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return FIO_ERR_CREATE;
  file.close();
  file.remove();
  return FIO_OK;
}

bool CKivImageDoc::DoSave(bool saveAs) {
  CRalImage* image = m_Wnd.GetImagePtr();
  if (!image) return false;
  QString target = m_Path;
  const bool ask = saveAs || target.isEmpty() || !image->IsOverwriteAllowed();
  if (ask) {
    std::string chosen = target.toStdString();
    // A new image has no file yet: its title ("NewImage.fts") is the name proposed.
    if (chosen.empty() && CRalImageIO::GetFileType(GetTitle().toStdString()) == FILETYPE_FITS)
      chosen = QFileInfo(GetTitle()).fileName().toStdString();
    if (!CRalImageIO::GetSaveImageFileName(
            &chosen, image->IsSaveableFile(), m_Wnd.IsSaveableFitsFormat(),
            image->IsOverwriteAllowed(), image->GetOrgFileName(), image->GetContourMap()))
      return false;
    target = QString::fromStdString(chosen);
    if (const int code = CanWriteTo(target)) {
      FileioMsgBox(nullptr, code, ApplicationTitle(), chosen, MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
  }
  return OnSaveDocument(target);
}

bool CKivImageDoc::SaveModified() {
  if (!m_bModified) return true;
  const QString text = QString::fromUtf8(app_text::kSaveChangesQuestion).replace("%s", GetTitle());
  const int answer = AfxMessageBox(text.toStdString(), MB_YESNOCANCEL | MB_ICONEXCLAMATION);
  if (answer == IDCANCEL) return false;
  if (answer == IDNO) return true;
  return DoSave(false);
}

void CKivImageDoc::SetPathName(const QString& path) {
  m_Path = path;
  m_Title = QFileInfo(path).fileName();
  emit titleChanged();
}

QString CKivImageDoc::GetTitle() const {
  return m_Title.isEmpty() ? QStringLiteral("Vantorel") : m_Title;
}

void CKivImageDoc::SetTitle(const QString& title) {
  m_Title = title;
  emit titleChanged();
}

void CKivImageDoc::AddView(CKivImageView* view) {
  if (!m_Views.contains(view)) m_Views << view;
}

void CKivImageDoc::RemoveView(CKivImageView* view) {
  m_Views.removeAll(view);
}

QList<CKivImageView*> CKivImageDoc::GetViews() const {
  QList<CKivImageView*> out;
  for (const QPointer<CKivImageView>& v : m_Views)
    if (v) out << v.data();
  return out;
}

std::vector<CVumView*> CKivImageDoc::GetVumViews() const {
  std::vector<CVumView*> out;
  for (CKivImageView* v : GetViews()) out.push_back(v);
  return out;
}

void CKivImageDoc::UpdateAllViews() {
  m_Wnd.Update(1);
  for (CKivImageView* v : GetViews()) v->viewport()->update();
}

void CKivImageDoc::SetVumImage(CRalImage* image, const CReadParam* param) {
  m_Wnd.SetImagePrt(image);
  if (param) m_ReadParam = *param;
  // A new image named as a FITS file (a stack, a composite, "NewImage.fts") is saved as
  // FITS like an image read from one.
  else if (CRalImageIO::GetFileType(GetTitle().toStdString()) == FILETYPE_FITS)
    m_Wnd.SetSaveableFitsFormat();
}

void CKivImageDoc::InitialUpdateVum() {
  emit initialUpdate();
}

void CKivImageDoc::CloseVum() {
  SetModifiedFlag(false);
  emit closeRequested();
}

void CKivImageDoc::SetModifiedFlag(bool modified) {
  if (m_bModified == modified) return;
  m_bModified = modified;
  emit titleChanged();
}
