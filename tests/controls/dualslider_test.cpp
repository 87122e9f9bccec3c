// CDualSlider offscreen: dragging either thumb, thumbs that may not cross (also when one
// lies on the other), keyboard steps and Tab between the thumbs, positions set by the
// owner without notifications, and the highlighted span.
#include <QLineEdit>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QtTest>

#include "controls/dualslider.h"

class DualSliderTest : public QObject {
  Q_OBJECT

 private:
  QWidget* window_ = nullptr;
  CDualSlider* slider_ = nullptr;
  QLineEdit* next_ = nullptr;

  QPoint At(int pos) const { return QPoint(slider_->PositionToPixel(pos), slider_->height() / 3); }
  void Drag(int from, int to) {
    QTest::mousePress(slider_, Qt::LeftButton, Qt::NoModifier, At(from));
    QTest::mouseMove(slider_, At(to));
    QTest::mouseRelease(slider_, Qt::LeftButton, Qt::NoModifier, At(to));
  }

 private slots:
  void init() {
    window_ = new QWidget;
    auto* layout = new QVBoxLayout(window_);
    slider_ = new CDualSlider(window_);
    next_ = new QLineEdit(window_);
    layout->addWidget(slider_);
    layout->addWidget(next_);
    window_->resize(320, 80);
    slider_->SetRange(0, 100);
    slider_->SetPositions(20, 80);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
  }
  void cleanup() {
    delete window_;
    window_ = nullptr;
  }

  void dragEachThumb() {
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    QSignalSpy released(slider_, &CDualSlider::released);
    Drag(20, 35);
    QCOMPARE(slider_->GetFirstPos(), 35);
    QCOMPARE(first.count(), 1);
    QCOMPARE(first.last().at(0).toInt(), 35);
    Drag(80, 61);
    QCOMPARE(slider_->GetSecondPos(), 61);
    QCOMPARE(second.count(), 1);
    QCOMPARE(second.last().at(0).toInt(), 61);
    QCOMPARE(first.count(), 1);
    QCOMPARE(released.count(), 2);
    // A press on the groove brings the nearer thumb there.
    QTest::mouseClick(slider_, Qt::LeftButton, Qt::NoModifier, At(5));
    QCOMPARE(slider_->GetFirstPos(), 5);
    QCOMPARE(slider_->GetSecondPos(), 61);
  }

  void thumbsDoNotCross() {
    Drag(20, 95);
    QCOMPARE(slider_->GetFirstPos(), 80);
    QCOMPARE(slider_->GetSecondPos(), 80);
    slider_->SetPositions(20, 80);
    Drag(80, 3);
    QCOMPARE(slider_->GetSecondPos(), 20);
    QCOMPARE(slider_->GetFirstPos(), 20);

    // One thumb on the other: the direction of the move picks the thumb.
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    slider_->SetPositions(50, 50);
    Drag(50, 30);
    QCOMPARE(slider_->GetFirstPos(), 30);
    QCOMPARE(slider_->GetSecondPos(), 50);
    QCOMPARE(second.count(), 0);
    slider_->SetPositions(100, 100);
    Drag(100, 90);
    QCOMPARE(slider_->GetFirstPos(), 90);
    slider_->SetPositions(50, 50);
    Drag(50, 70);
    QCOMPARE(slider_->GetSecondPos(), 70);
    QCOMPARE(slider_->GetFirstPos(), 50);
  }

  void keyboardStepsAndTab() {
    slider_->setFocus(Qt::TabFocusReason);
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QTRY_VERIFY(slider_->hasFocus());
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy released(slider_, &CDualSlider::released);
    QTest::keyClick(slider_, Qt::Key_Right);
    QTest::keyClick(slider_, Qt::Key_PageUp);
    QCOMPARE(slider_->GetFirstPos(), 31);
    QTest::keyClick(slider_, Qt::Key_Left);
    QTest::keyClick(slider_, Qt::Key_PageDown);
    QCOMPARE(slider_->GetFirstPos(), 20);
    QCOMPARE(first.count(), 4);
    QCOMPARE(released.count(), 4);

    // Tab reaches the second thumb before it leaves the control; Shift+Tab comes back.
    QTest::keyClick(slider_, Qt::Key_Tab);
    QVERIFY(slider_->hasFocus());
    QTest::keyClick(slider_, Qt::Key_PageUp);
    QCOMPARE(slider_->GetSecondPos(), 90);
    QTest::keyClick(slider_, Qt::Key_Backtab);
    QCOMPARE(slider_->GetFocusThumb(), CDualSlider::kFirst);
    // A step stops at the other thumb; a step that moves nothing reports nothing.
    slider_->SetPositions(85, 90);
    first.clear();
    QTest::keyClick(slider_, Qt::Key_PageUp);
    QTest::keyClick(slider_, Qt::Key_Right);
    QCOMPARE(slider_->GetFirstPos(), 90);
    QCOMPARE(first.count(), 1);
    QTest::keyClick(slider_, Qt::Key_Tab);
    QTest::keyClick(slider_, Qt::Key_Tab);
    QVERIFY(next_->hasFocus());
  }

  void ownerSetsWithoutSignals() {
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    slider_->SetFirstPos(90);  // pushes the second along
    QCOMPARE(slider_->GetSecondPos(), 90);
    slider_->SetSecondPos(10);  // pushes the first back
    QCOMPARE(slider_->GetFirstPos(), 10);
    slider_->SetPositions(-5, 400);
    QCOMPARE(slider_->GetFirstPos(), 0);
    QCOMPARE(slider_->GetSecondPos(), 100);
    slider_->SetRange(10, 50);
    QCOMPARE(slider_->GetFirstPos(), 10);
    QCOMPARE(slider_->GetSecondPos(), 50);
    QCOMPARE(first.count() + second.count(), 0);
  }

  void paintsTheSpanBetweenTheThumbs() {
    slider_->SetPositions(30, 70);
    const QImage image = slider_->grab().toImage();
    const QColor highlight = slider_->palette().color(QPalette::Highlight);
    auto highlighted = [&](int pos) {
      for (int y = 0; y < image.height(); ++y)
        if (image.pixelColor(slider_->PositionToPixel(pos), y) == highlight) return true;
      return false;
    };
    QVERIFY(highlighted(50));
    QVERIFY(!highlighted(10));
    QVERIFY(!highlighted(90));
  }
};

int RunDualSliderTests(int argc, char** argv) {
  DualSliderTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dualslider_test.moc"
