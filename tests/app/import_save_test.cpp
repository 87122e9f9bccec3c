// Images made in the program rather than read from a file (data imported from a text)
// are offered FITS in the save-as dialog, and the saved file holds the imported values
// as astropy reads them.
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/mainframe.h"
#include "fileio/prompts.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Card(const std::string& s) {
  std::string c = s;
  c.resize(80, ' ');
  return c;
}

// Opens a menu of the bar with the mouse and clicks one of its entries.
bool ClickMenu(CMainFrame& frame, const char* menuText, int id) {
  QMenuBar* bar = frame.menuBar();
  QAction* top = nullptr;
  for (QAction* a : bar->actions())
    if (a->text() == QString::fromUtf8(menuText)) top = a;
  if (!top) return false;
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(top).center());
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  QAction* entry = frame.Command(id);
  if (!menu || !entry || !entry->isEnabled()) return false;
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
  return true;
}

}  // namespace

class ImportSaveTest : public QObject {
  Q_OBJECT

 private slots:
  void importedDataSavedAsFits() {
    ScopedConfigHome home;
    RecordingMessageBox box;
    ScopedMessageBox scopedBox(&box);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir dir;
    const std::string text = dir.File("spectrum.txt");
    WriteFileOrDie(
        text, Card("SIMPLE  =                    T") + Card("NAXIS   =                    2") +
                  Card("NAXIS1  =                    3") + Card("NAXIS2  =                    2") +
                  Card("END") + "1.5 2 3\n4 5 6.25\n");
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));

    prompts.Expect("FileOpen", [&](Prompt& p) {
      static_cast<FileOpenPrompt&>(p).paths = {text};
      return true;
    });
    // Every import dialog taken as offered (the header gives the axes), the numbers
    // separated by spaces.
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      if (modal->objectName() == "CDlgDataImportType") {
        if (auto* character = modal->findChild<QWidget*>("character"))
          QTest::mouseClick(character, Qt::LeftButton, {}, QPoint(4, character->height() / 2));
        if (auto* separator = modal->findChild<QLineEdit*>("separator")) {
          separator->setFocus();
          QTest::keyClick(separator, Qt::Key_A, Qt::ControlModifier);
          QTest::keyClicks(separator, " ");
        }
      }
      if (auto* buttons = modal->findChild<QDialogButtonBox*>("buttons"))
        QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
    });
    answer.start(20);
    QVERIFY(ClickMenu(frame, "ﾌｧｲﾙ(&F)", cmd::ID_DATA_IMPORT));
    answer.stop();
    CKivImageDoc* doc = frame.ActiveDocument();
    QVERIFY(doc);

    std::string filter;
    const std::string out = dir.File("spectrum.fts");
    prompts.Expect("FileSave", [&](Prompt& p) {
      auto& save = static_cast<FileSavePrompt&>(p);
      filter = save.filter;
      save.path = out;
      return true;
    });
    prompts.Always("SaveFits", [](Prompt&) { return true; });
    QVERIFY(ClickMenu(frame, "ﾌｧｲﾙ(&F)", cmd::ID_FILE_SAVE_AS));
    QVERIFY2(filter.find("*.fts") != std::string::npos, filter.c_str());
    QVERIFY2(box.shown.empty(), box.shown.empty() ? "" : box.shown.front().text.c_str());
    QProcess py;
    py.start("/usr/bin/python3",
             {"-c",
              "import sys; from astropy.io import fits; "
              "print(' '.join('%g' % v for v in fits.getdata(sys.argv[1]).ravel()))",
              QString::fromStdString(out)});
    QVERIFY(py.waitForFinished(60000));
    QCOMPARE(py.exitCode(), 0);
    // The rows as the import stores them, bottom-up or not, hold the six values.
    QStringList values = QString(py.readAllStandardOutput()).trimmed().split(' ');
    values.sort();
    QCOMPARE(values.join(' '), QString("1.5 2 3 4 5 6.25"));
  }
};

QTEST_MAIN(ImportSaveTest)
#include "import_save_test.moc"
