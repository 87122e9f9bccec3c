// CSpinEdit offscreen: every way of stepping reaches the owner as a step count, the
// owner's text is set silently, typing is reported, and a read-only field does not step.
#include <QSignalSpy>
#include <QtTest>

#include "controls/spinedit.h"

class SpinEditTest : public QObject {
  Q_OBJECT

 private slots:
  void stepsReachTheOwner() {
    CSpinEdit edit;
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    QSignalSpy steps(&edit, &CSpinEdit::stepRequested);
    edit.stepUp();
    edit.stepDown();
    QTest::keyClick(&edit, Qt::Key_Up);
    QTest::keyClick(&edit, Qt::Key_PageDown);
    QCOMPARE(steps.count(), 4);
    QCOMPARE(steps.at(0).at(0).toInt(), 1);
    QCOMPARE(steps.at(1).at(0).toInt(), -1);
    QCOMPARE(steps.at(2).at(0).toInt(), 1);
    QCOMPARE(steps.at(3).at(0).toInt(), -10);
    // Stepping leaves the text to the owner.
    QCOMPARE(edit.Text(), QString());

    edit.setReadOnly(true);
    QTest::keyClick(&edit, Qt::Key_Up);
    QCOMPARE(steps.count(), 4);
  }

  void textSetSilentlyTypedLoudly() {
    CSpinEdit edit;
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    QSignalSpy edited(&edit, &CSpinEdit::textEdited);
    edit.SetText("12.5");
    QCOMPARE(edit.Text(), QString("12.5"));
    QCOMPARE(edited.count(), 0);
    edit.selectAll();
    QTest::keyClicks(&edit, "7");
    QCOMPARE(edit.Text(), QString("7"));
    QCOMPARE(edited.count(), 1);
    QCOMPARE(edited.last().at(0).toString(), QString("7"));
  }
};

int RunSpinEditTests(int argc, char** argv) {
  SpinEditTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "spinedit_test.moc"
