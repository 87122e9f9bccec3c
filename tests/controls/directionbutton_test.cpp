// The direction button with real mouse and key events: each arrow and modifier gives its
// direction and step, a held arrow repeats until released, and the arrow keys work with
// the focus.
#include <QApplication>
#include <QSignalSpy>
#include <QtTest>

#include "controls/directionbutton.h"

class DirectionButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    button_ = std::make_unique<CDirectionButton>();
    button_->resize(60, 60);
    button_->show();
    QVERIFY(QTest::qWaitForWindowExposed(button_.get()));
  }
  void cleanup() { button_.reset(); }

  void click_data() {
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<double>("step");
    const int dirs[] = {CDirectionButton::kUp, CDirectionButton::kDown, CDirectionButton::kRight,
                        CDirectionButton::kLeft};
    const char* names[] = {"up", "down", "right", "left"};
    for (int i = 0; i < 4; ++i) {
      QTest::addRow("%s", names[i]) << dirs[i] << int(Qt::NoModifier) << 1.0;
      QTest::addRow("%s ctrl", names[i]) << dirs[i] << int(Qt::ControlModifier) << 0.1;
      QTest::addRow("%s shift", names[i]) << dirs[i] << int(Qt::ShiftModifier) << 10.0;
    }
    QTest::addRow("ctrl wins over shift")
        << int(CDirectionButton::kLeft) << int(Qt::ControlModifier | Qt::ShiftModifier) << 0.1;
  }
  void click() {
    QFETCH(int, direction);
    QFETCH(int, modifiers);
    QFETCH(double, step);
    QSignalSpy spy(button_.get(), &CDirectionButton::DirectionPressed);
    const QPoint at = button_->ArrowRect(direction).center();
    QTest::mouseClick(button_.get(), Qt::LeftButton, Qt::KeyboardModifiers(modifiers), at);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), direction);
    QCOMPARE(spy.at(0).at(1).toDouble(), step);
  }

  void arrowsAreWhereTheyPoint() {
    // Up above down, left of right, and none in the centre or corners.
    const QRect up = button_->ArrowRect(CDirectionButton::kUp);
    const QRect down = button_->ArrowRect(CDirectionButton::kDown);
    const QRect left = button_->ArrowRect(CDirectionButton::kLeft);
    const QRect right = button_->ArrowRect(CDirectionButton::kRight);
    QVERIFY(up.bottom() < left.top() && left.bottom() < down.top());
    QVERIFY(left.right() < up.left() && up.right() < right.left());
    QSignalSpy spy(button_.get(), &CDirectionButton::DirectionPressed);
    const QPoint centre(up.center().x(), left.center().y());
    QTest::mouseClick(button_.get(), Qt::LeftButton, Qt::NoModifier, centre);
    QTest::mouseClick(button_.get(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(left.left() + 1, up.top() + 1));
    QCOMPARE(spy.count(), 0);
  }

  void heldArrowRepeatsUntilReleased() {
    QSignalSpy spy(button_.get(), &CDirectionButton::DirectionPressed);
    const QPoint at = button_->ArrowRect(CDirectionButton::kDown).center();
    QTest::mousePress(button_.get(), Qt::LeftButton, Qt::ShiftModifier, at);
    QCOMPARE(spy.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(spy.count() >= 3, 5000);
    QTest::mouseRelease(button_.get(), Qt::LeftButton, Qt::ShiftModifier, at);
    for (const QList<QVariant>& args : spy) {
      QCOMPARE(args.at(0).toInt(), int(CDirectionButton::kDown));
      QCOMPARE(args.at(1).toDouble(), 10.0);
    }
    const qsizetype after = spy.count();
    QTest::qWait(700);
    QCOMPARE(spy.count(), after);
    QCOMPARE(button_->PressedDirection(), int(CDirectionButton::kNone));
  }

  void keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("direction");
    QTest::addColumn<double>("step");
    QTest::newRow("up") << int(Qt::Key_Up) << int(Qt::NoModifier) << int(CDirectionButton::kUp)
                        << 1.0;
    QTest::newRow("down ctrl") << int(Qt::Key_Down) << int(Qt::ControlModifier)
                               << int(CDirectionButton::kDown) << 0.1;
    QTest::newRow("right shift") << int(Qt::Key_Right) << int(Qt::ShiftModifier)
                                 << int(CDirectionButton::kRight) << 10.0;
    QTest::newRow("left") << int(Qt::Key_Left) << int(Qt::NoModifier)
                          << int(CDirectionButton::kLeft) << 1.0;
  }
  void keys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, direction);
    QFETCH(double, step);
    button_->setFocus();
    QSignalSpy spy(button_.get(), &CDirectionButton::DirectionPressed);
    QTest::keyClick(button_.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), direction);
    QCOMPARE(spy.at(0).at(1).toDouble(), step);
    // Other keys move nothing.
    QTest::keyClick(button_.get(), Qt::Key_A);
    QCOMPARE(spy.count(), 1);
  }

 private:
  std::unique_ptr<CDirectionButton> button_;
};

QTEST_MAIN(DirectionButtonTest)
#include "directionbutton_test.moc"
