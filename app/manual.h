// The program's manual: where it is looked for and how it is opened. The build puts the
// manual (HTML) into a folder "manual" beside the programs; an installation puts it into
// <data dir>/vantorel/manual, found from the program's folder (../share/...) and from the
// user's and the system's data folders.
#pragma once

#include <functional>

#include <QString>
#include <QStringList>
#include <QUrl>

namespace manual {

// The file the manual opens at.
inline constexpr const char* kIndexName = "index.html";

// Texts of the boxes.
inline constexpr const char* kNotFound = "マニュアルが見つかりません。次の場所を探しました:";
inline constexpr const char* kCannotOpen =
    "マニュアルを開くことができません。表示に使うブラウザなどを確認してください:";

// The folders tried, in order: beside the program (a build tree), the installation's
// data folder relative to the program's folder (<prefix>/bin beside <prefix>/share), then
// "vantorel/manual" under each of dataDirs (the user's first, then the system's).
QStringList Folders(const QString& programDir, const QStringList& dataDirs);
// The folders for this program: its own folder and the standard data folders.
QStringList DefaultFolders();

// The index file in the first of the folders that holds one; empty when none does.
QString Find(const QStringList& folders);

// What opens a URL: QDesktopServices::openUrl unless a test installs another. Returns
// true when the URL was handed on.
using UrlOpener = std::function<bool(const QUrl&)>;
void SetUrlOpener(UrlOpener opener);  // an empty function restores the desktop's

// Finds the manual in the folders and opens it. When there is none, or it cannot be
// handed on, a message box says so (with the folders tried, or the file). 1 when opened.
int Open(const QStringList& folders);

}  // namespace manual
