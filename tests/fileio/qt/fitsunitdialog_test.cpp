// The FITS unit chooser offscreen, driven by keys and the mouse as a user would.
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include "fileio/qt/fitsunitdialog.h"

class FitsUnitDialogTest : public QObject {
  Q_OBJECT

  static FitsUnitPrompt ThreeUnits() {
    FitsUnitPrompt p;
    p.entries = {{1, "SCI", 1, "62 x 44", "16"},
                 {4, "SCI", 2, "62 x 44", "16"},
                 {5, "", 1, "4096", "compressed -32"}};
    return p;
  }

 private slots:
  void listsEveryUnitAndStartsAtTheGivenOne() {
    FitsUnitPrompt p = ThreeUnits();
    p.choice = 1;
    CDlgFitsUnit dlg(p);
    auto* units = dlg.findChild<QTreeWidget*>("units");
    QVERIFY(units);
    QCOMPARE(units->topLevelItemCount(), 3);
    QCOMPARE(units->topLevelItem(1)->text(0), QString("4"));
    QCOMPARE(units->topLevelItem(1)->text(1), QString("SCI"));
    QCOMPARE(units->topLevelItem(1)->text(2), QString("2"));
    QCOMPARE(units->topLevelItem(2)->text(4), QString("compressed -32"));
    QCOMPARE(units->indexOfTopLevelItem(units->currentItem()), 1);
  }

  // Keys: Down moves to the next unit, Enter opens it.
  void downThenEnterOpensTheNextUnit() {
    FitsUnitPrompt p = ThreeUnits();
    CDlgFitsUnit dlg(p);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* units = dlg.findChild<QTreeWidget*>("units");
    units->setFocus();
    QTest::keyClick(units, Qt::Key_Down);
    QTest::keyClick(units, Qt::Key_Return);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    FitsUnitPrompt out = ThreeUnits();
    dlg.Apply(out);
    QCOMPARE(out.choice, 1);
  }

  // The mouse: a double click on a row opens that unit; Cancel opens none.
  void doubleClickOpensTheRowAndCancelRejects() {
    FitsUnitPrompt p = ThreeUnits();
    CDlgFitsUnit dlg(p);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* units = dlg.findChild<QTreeWidget*>("units");
    const QRect row = units->visualItemRect(units->topLevelItem(2));
    QTest::mouseClick(units->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(units->viewport(), Qt::LeftButton, {}, row.center());
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    FitsUnitPrompt out = ThreeUnits();
    dlg.Apply(out);
    QCOMPARE(out.choice, 2);

    CDlgFitsUnit again(p);
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    auto* buttons = again.findChild<QDialogButtonBox*>("buttons");
    QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    QCOMPARE(again.result(), int(QDialog::Rejected));
  }
};

QTEST_MAIN(FitsUnitDialogTest)
#include "fitsunitdialog_test.moc"
