// The manual: the folders it is looked for in and which one wins, and the help menu
// chosen with the mouse and with the keyboard opening the manual the build made (through
// a recording URL opener), or saying why it cannot.
#include "app/manual.h"

#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QtTest>

#include "app/mainframe.h"
#include "platform/messagebox.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

namespace {

void Touch(const QString& path) {
  QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("<html></html>\n");
}

}  // namespace

class ManualTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  QList<QUrl> opened_;
  bool openerAnswer_ = true;

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    box_.shown.clear();
    opened_.clear();
    openerAnswer_ = true;
    manual::SetUrlOpener([this](const QUrl& url) {
      opened_ << url;
      return openerAnswer_;
    });
  }
  void cleanup() {
    manual::SetUrlOpener({});
    delete scoped_;
    delete home_;
  }

  // An installation (<prefix>/bin beside <prefix>/share), a build tree (bin/manual) and
  // the data folders, in that order; a folder without the index file is passed over.
  void foldersAndTheirOrder() {
    TempDir dir;
    const QString root = QString::fromStdString(dir.path());
    const QString bin = root + "/prefix/bin";
    const QStringList data{root + "/home-data", root + "/system-data"};
    const QStringList folders = manual::Folders(bin, data);
    QCOMPARE(folders, QStringList({bin + "/manual", root + "/prefix/share/vantorel/manual",
                                   root + "/home-data/vantorel/manual",
                                   root + "/system-data/vantorel/manual"}));
    QCOMPARE(manual::Find(folders), QString());
    QVERIFY(QDir().mkpath(bin + "/manual"));  // an empty folder is no manual
    QCOMPARE(manual::Find(folders), QString());
    Touch(root + "/system-data/vantorel/manual/index.html");
    QCOMPARE(manual::Find(folders), root + "/system-data/vantorel/manual/index.html");
    Touch(root + "/home-data/vantorel/manual/index.html");
    QCOMPARE(manual::Find(folders), root + "/home-data/vantorel/manual/index.html");
    Touch(root + "/prefix/share/vantorel/manual/index.html");
    QCOMPARE(manual::Find(folders), root + "/prefix/share/vantorel/manual/index.html");
    Touch(bin + "/manual/index.html");
    QCOMPARE(manual::Find(folders), bin + "/manual/index.html");
    // A folder named index.html is no file.
    QVERIFY(QDir().mkpath(root + "/odd/manual/index.html"));
    QCOMPARE(manual::Find(manual::Folders(root + "/odd", {})), QString());
  }

  // The help menu's entry is enabled and, chosen with the mouse, opens the manual that
  // the build put beside the programs; nothing is shown in a box.
  void menuOpensTheBuiltManual() {
    CMainFrame frame;
    frame.resize(800, 600);
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QAction* help = frame.Command(cmd::ID_HELP);
    QVERIFY(help);
    QVERIFY(help->isEnabled());
    ChooseFromMenu(frame, cmd::ID_HELP);
    QCOMPARE(opened_.size(), 1);
    const QString expected =
        QDir(QCoreApplication::applicationDirPath()).filePath("manual/index.html");
    QCOMPARE(opened_[0], QUrl::fromLocalFile(expected));
    QFile built(expected);
    QVERIFY(built.open(QIODevice::ReadOnly));
    const QByteArray html = built.readAll();
    QVERIFY(html.contains("<html"));
    QVERIFY(html.contains("vantorel-cli"));
    QVERIFY(box_.shown.empty());

    // The keyboard: Alt+H opens the help menu, H chooses the entry.
    QTest::keyClick(&frame, Qt::Key_H, Qt::AltModifier);
    QMenu* menu = nullptr;
    for (QObject* o : help->associatedObjects())
      if (auto* m = qobject_cast<QMenu*>(o)) menu = m;
    QVERIFY(menu);
    QTRY_VERIFY(menu->isVisible());
    QTest::keyClick(menu, Qt::Key_H);
    QTRY_COMPARE(opened_.size(), 2);
    QCOMPARE(opened_[1], QUrl::fromLocalFile(expected));
  }

  // No manual anywhere: a box names the folders tried and nothing is opened. A manual the
  // desktop cannot open: a box names the file.
  void missingOrUnopenableManualIsSaid() {
    TempDir dir;
    const QString root = QString::fromStdString(dir.path());
    const QStringList folders = manual::Folders(root + "/bin", {root + "/data"});
    QCOMPARE(manual::Open(folders), 0);
    QVERIFY(opened_.isEmpty());
    QCOMPARE(box_.shown.size(), size_t{1});
    const QString text = QString::fromStdString(box_.shown[0].text);
    QVERIFY(text.startsWith(QString::fromUtf8(manual::kNotFound)));
    for (const QString& f : folders) QVERIFY2(text.contains(f), qPrintable(f));

    Touch(root + "/data/vantorel/manual/index.html");
    openerAnswer_ = false;
    QCOMPARE(manual::Open(folders), 0);
    QCOMPARE(opened_.size(), 1);
    QCOMPARE(box_.shown.size(), size_t{2});
    QCOMPARE(
        QString::fromStdString(box_.shown[1].text),
        QString::fromUtf8(manual::kCannotOpen) + "\n" + root + "/data/vantorel/manual/index.html");
    openerAnswer_ = true;
    QCOMPARE(manual::Open(folders), 1);
    QCOMPARE(box_.shown.size(), size_t{2});
  }
};

QTEST_MAIN(ManualTest)
#include "manual_test.moc"
