// Finding and opening the manual; see manual.h.
#include "app/manual.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/messagebox.h"

#ifndef VANTOREL_DATADIR
#define VANTOREL_DATADIR "share"
#endif

namespace manual {

namespace {

UrlOpener& Opener() {
  static UrlOpener opener;
  return opener;
}

}  // namespace

QStringList Folders(const QString& programDir, const QStringList& dataDirs) {
  QStringList out;
  out << QDir::cleanPath(programDir + "/manual");
  out << QDir::cleanPath(programDir + "/../" + VANTOREL_DATADIR + "/vantorel/manual");
  for (const QString& d : dataDirs) out << QDir::cleanPath(d + "/vantorel/manual");
  out.removeDuplicates();
  return out;
}

QStringList DefaultFolders() {
  return Folders(QCoreApplication::applicationDirPath(),
                 QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation));
}

QString Find(const QStringList& folders) {
  for (const QString& f : folders) {
    const QFileInfo index(QDir(f).filePath(kIndexName));
    if (index.isFile() && index.isReadable()) return index.absoluteFilePath();
  }
  return {};
}

void SetUrlOpener(UrlOpener opener) {
  Opener() = std::move(opener);
}

int Open(const QStringList& folders) {
  const QString path = Find(folders);
  if (path.isEmpty()) {
    std::string text = kNotFound;
    for (const QString& f : folders) text += "\n" + QDir::toNativeSeparators(f).toStdString();
    AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  const QUrl url = QUrl::fromLocalFile(path);
  const bool opened = Opener() ? Opener()(url) : QDesktopServices::openUrl(url);
  if (!opened) {
    AfxMessageBox(std::string(kCannotOpen) + "\n" + QDir::toNativeSeparators(path).toStdString(),
                  MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  return 1;
}

}  // namespace manual
