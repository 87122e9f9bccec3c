// vantorel: the program. Start-up is CKivImageApp's; this only builds the Qt application.
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>

#include "app/kivimageapp.h"
#include "platform/files.h"
#include "settings/registry.h"

int main(int argc, char** argv) {
  // Before Qt starts its threads: a kill or hang-up while saving removes the temporary of
  // the save, and a save beyond the file-size limit fails with its message.
  InstallSaveSignalCleanup();
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vantorel"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/vantorel/vantorel.svg")));
  QStringList args = QApplication::arguments();
  args.removeFirst();
  // Shift held at start, or the switch: every setting reads as its default.
  if (args.contains(QStringLiteral("--default-settings")) ||
      (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier))
    CRegistry::SetDefaultSettings(true);
  CKivImageApp app;
  if (!app.InitInstance(args)) return 0;
  return QApplication::exec();
}
