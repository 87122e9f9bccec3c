// File associations of the user: which file families the desktop opens with Vantorel.
// They live in the user's XDG folders: the program's .desktop file under
// $XDG_DATA_HOME/applications, the MIME types the program adds under
// $XDG_DATA_HOME/mime/packages, and the defaults in $XDG_CONFIG_HOME/mimeapps.list.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

struct FileFamily {
  const char* name;        // objectName of its check box
  const char* label;       // text of its check box
  QStringList extensions;  // without the dot
  QStringList mimeTypes;
};

namespace associations {

inline constexpr const char* kDesktopFile = "vantorel.desktop";

const std::vector<FileFamily>& Families();
QString DataHome();
QString ConfigHome();
QString MimeAppsPath();
// True when every MIME type of the family opens with the program by default.
bool IsAssociated(const FileFamily& family);
// Makes the program the default of each MIME type of the family, or removes it where it
// is the default. Writes the .desktop file and the program's MIME types when needed.
bool SetAssociated(const FileFamily& family, bool on);

}  // namespace associations
