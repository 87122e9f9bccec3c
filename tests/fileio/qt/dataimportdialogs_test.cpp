// The data import dialogs driven offscreen with real clicks and keys: which boxes the
// delimiting enables, what OK refuses, what is stored and restored, and a whole import
// run answered dialog by dialog.
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/qt/dataimportdialogs.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

void Click(QWidget* parent, const char* name) {
  auto* w = parent->findChild<QWidget*>(name);
  QVERIFY2(w, name);
  QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(4, w->height() / 2));
}

void ClickOk(QWidget* dialog) {
  auto* box = dialog->findChild<QDialogButtonBox*>("buttons");
  QVERIFY(box);
  QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
}

void Type(QWidget* parent, const char* name, const QString& text) {
  auto* e = parent->findChild<QLineEdit*>(name);
  QVERIFY2(e, name);
  e->setFocus();
  QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(e, Qt::Key_Delete);
  QTest::keyClicks(e, text);
}

std::string Card(const std::string& s) {
  std::string c = s;
  c.resize(80, ' ');
  return c;
}

}  // namespace

class DataImportDialogsTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    box_.shown.clear();
  }
  void cleanup() {
    delete scoped_;
    delete home_;
  }

  void typeDialogEnablesByDelimitingAndStoresAnswers() {
    CDlgDataImportType dlg(2.0, -5.0, "Someone");
    dlg.show();
    auto* field = dlg.findChild<QLineEdit*>("fieldLength");
    auto* separator = dlg.findChild<QLineEdit*>("separator");
    QVERIFY(dlg.findChild<QRadioButton*>("imaging")->isChecked());
    QVERIFY(dlg.findChild<QRadioButton*>("fixed")->isChecked());
    QVERIFY(field->isEnabled() && !separator->isEnabled());
    QCOMPARE(dlg.findChild<QLineEdit*>("bscale")->text(), QString("2"));
    Click(&dlg, "character");
    QVERIFY(!field->isEnabled() && separator->isEnabled());
    Click(&dlg, "tab");
    QVERIFY(!field->isEnabled() && !separator->isEnabled());
    Click(&dlg, "character");
    // A separator character is needed: OK refuses and the dialog stays.
    ClickOk(&dlg);
    QCOMPARE(dlg.result(), 0);
    QVERIFY(dlg.isVisible());
    QCOMPARE(QString::fromStdString(box_.shown.back().text), QString("入力した値が不正です。"));
    Type(&dlg, "separator", ";");
    Click(&dlg, "spectral");
    Click(&dlg, "columns");
    Click(&dlg, "ignored");
    Type(&dlg, "bzero", "12.5");
    ClickOk(&dlg);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const DataImportLayout& l = dlg.Layout();
    QCOMPARE(l.kind, 1);
    QCOMPARE(l.delimit, 1);
    QCOMPARE(l.sequence, 1);
    QCOMPARE(l.lineEnds, 1);
    QCOMPARE(l.separator, std::string(";"));
    QCOMPARE(l.bscale, 2.0);
    QCOMPARE(l.bzero, 12.5);
    QCOMPARE(l.author, std::string("Someone"));

    // The next import starts from these answers.
    CDlgDataImportType again(1.0, 0.0, "");
    QVERIFY(again.findChild<QRadioButton*>("spectral")->isChecked());
    QVERIFY(again.findChild<QRadioButton*>("character")->isChecked());
    QVERIFY(again.findChild<QRadioButton*>("columns")->isChecked());
    QVERIFY(again.findChild<QRadioButton*>("ignored")->isChecked());
    QCOMPARE(again.findChild<QLineEdit*>("separator")->text(), QString(";"));
    QVERIFY(!again.findChild<QLineEdit*>("fieldLength")->isEnabled());
  }

  void typeDialogRefusesAFixedLengthOfZero() {
    CDlgDataImportType dlg(1.0, 0.0, "");
    dlg.show();
    Click(&dlg, "fixed");
    Type(&dlg, "fieldLength", "0");
    ClickOk(&dlg);
    QCOMPARE(dlg.result(), 0);
    Type(&dlg, "fieldLength", "8");
    ClickOk(&dlg);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    int stored = 0;
    CRegistry::Read("Dialog\\DataImport", "Fix", 0, stored, CRegistry::TYPE_INT);
    QCOMPARE(stored, 8);
  }

  // Every dialog of one import answered in turn: a refused axis count is asked again.
  void wholeImportAnsweredDialogByDialog() {
    TempDir dir;
    const std::string path = dir.File("d.txt");
    WriteFileOrDie(
        path, Card("SIMPLE  =                    T") + Card("NAXIS   =                    2") +
                  Card("NAXIS1  =                    3") + Card("NAXIS2  =                    2") +
                  Card("END") + "1 2 3\n4 5 6\n");
    struct Step {
      const char* dialog;
      std::function<void(QWidget*)> answer;
    };
    std::vector<Step> steps = {
        {"CDlgDataImportAxis",
         [](QWidget* d) {
           QCOMPARE(d->findChild<QLineEdit*>("value")->text(), QString("2"));
           Type(d, "value", "3");
           ClickOk(d);
         }},
        {"CDlgDataImportAxis", [](QWidget* d) { ClickOk(d); }},  // 2 axes, as offered
        {"CDlgDataImportAxis",
         [](QWidget* d) {
           QVERIFY(d->findChild<QLabel*>("prompt")->text().contains("NAXIS1"));
           ClickOk(d);
         }},
        {"CDlgDataImportAxis", [](QWidget* d) { ClickOk(d); }},
        {"CDlgDataImportType",
         [](QWidget* d) {
           Click(d, "character");
           Type(d, "separator", " ");
           ClickOk(d);
         }},
    };
    std::size_t next = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || next >= steps.size()) return;
      QCOMPARE(modal->objectName(), QString(steps[next].dialog));
      steps[next++].answer(modal);
    });
    timer.start(20);
    CRalImage image;
    QCOMPARE(RunDataImport(path, image, nullptr), 1);
    timer.stop();
    QCOMPARE(next, steps.size());
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(box_.shown[0].text), QString("入力した値が不正です。"));
    QCOMPARE(image.GetWidth(), 3);
    QCOMPARE(image.GetHeight(), 2);
    QCOMPARE(image.GetPixel(2, 1), 6.0);
  }
};

QTEST_MAIN(DataImportDialogsTest)
#include "dataimportdialogs_test.moc"
