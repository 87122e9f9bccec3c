// vantorel: the program. Start-up is CKivImageApp's; this only builds the Qt application.
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "app/kivimageapp.h"
#include "app/qtservices.h"
#include "platform/files.h"
#include "settings/registry.h"

namespace {

constexpr const char* kUsage =
    "Usage: vantorel [--default-settings] [FILE...]\n"
    "\n"
    "Opens each FILE in its own image window. With one file and a copy of the program\n"
    "already running, the file is handed to that copy instead.\n"
    "\n"
    "Options:\n"
    "  --default-settings   read every setting as its default (as holding Shift at start)\n"
    "  --help               print this help\n"
    "\n"
    "Qt's own options (-platform, -style, ...) are also understood.\n";

// Answers --help and refuses unknown long options before any window system is needed.
// Returns -1 to go on, otherwise the exit status.
int CheckOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--") == 0) break;
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strncmp(a, "--", 2) == 0 && std::strcmp(a, "--default-settings") != 0) {
      std::fprintf(stderr, "vantorel: unknown option '%s' (try --help)\n", a);
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int status = CheckOptions(argc, argv); status >= 0) return status;
  // Before Qt starts its threads: a kill or hang-up while saving removes the temporary of
  // the save, and a save beyond the file-size limit fails with its message.
  InstallSaveSignalCleanup();
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vantorel"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/vantorel/vantorel.svg")));
  InstallQtTranslations();
  QStringList args = QApplication::arguments();
  args.removeFirst();
  args.removeAll(QStringLiteral("--"));
  // Shift held at start, or the switch: every setting reads as its default.
  if (args.contains(QStringLiteral("--default-settings")) ||
      (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier))
    CRegistry::SetDefaultSettings(true);
  CKivImageApp app;
  if (!app.InitInstance(args)) return 0;
  return QApplication::exec();
}
