// CDualSlider offscreen: dragging either thumb with the mouse, thumbs that may not cross,
// one thumb over the other, a press on the groove, keyboard steps and Tab between the
// thumbs, and positions set by the owner without notifications.
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
    slider_->setObjectName("slider");
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

  void pixelsFollowPositions() {
    // Enough room for more than one pixel a step, and the ends inside the widget.
    QVERIFY(slider_->PositionToPixel(0) < slider_->PositionToPixel(1));
    QVERIFY(slider_->PositionToPixel(99) < slider_->PositionToPixel(100));
    QCOMPARE(slider_->TrackMargin(), slider_->PositionToPixel(0));
    QVERIFY(slider_->PositionToPixel(100) < slider_->width());
    QVERIFY(slider_->sizeHint().height() > 0);
    QVERIFY(slider_->sizeHint().width() >= slider_->minimumSizeHint().width());
  }

  void dragEachThumb() {
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    QSignalSpy released(slider_, &CDualSlider::released);

    Drag(20, 35);
    QCOMPARE(slider_->GetFirstPos(), 35);
    QCOMPARE(slider_->GetSecondPos(), 80);
    QCOMPARE(first.count(), 1);
    QCOMPARE(first.last().at(0).toInt(), 35);
    QCOMPARE(second.count(), 0);
    QCOMPARE(released.count(), 1);

    Drag(80, 61);
    QCOMPARE(slider_->GetSecondPos(), 61);
    QCOMPARE(slider_->GetFirstPos(), 35);
    QCOMPARE(second.count(), 1);
    QCOMPARE(second.last().at(0).toInt(), 61);
    QCOMPARE(first.count(), 1);
    QCOMPARE(released.count(), 2);

    // Without a move the press and release change nothing but still end the drag.
    QTest::mouseClick(slider_, Qt::LeftButton, Qt::NoModifier, At(35));
    QCOMPARE(slider_->GetFirstPos(), 35);
    QCOMPARE(first.count(), 1);
    QCOMPARE(released.count(), 3);
  }

  void dragStopsAtTheOtherThumb() {
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    Drag(20, 95);
    QCOMPARE(slider_->GetFirstPos(), 80);
    QCOMPARE(first.last().at(0).toInt(), 80);
    QCOMPARE(slider_->GetSecondPos(), 80);
    QCOMPARE(second.count(), 0);

    slider_->SetPositions(20, 80);
    Drag(80, 3);
    QCOMPARE(slider_->GetSecondPos(), 20);
    QCOMPARE(slider_->GetFirstPos(), 20);
    QCOMPARE(second.last().at(0).toInt(), 20);

    // Past the ends of the range.
    slider_->SetPositions(20, 80);
    QTest::mousePress(slider_, Qt::LeftButton, Qt::NoModifier, At(80));
    QTest::mouseMove(slider_, QPoint(slider_->width() + 50, slider_->height() / 3));
    QTest::mouseRelease(slider_, Qt::LeftButton);
    QCOMPARE(slider_->GetSecondPos(), 100);
  }

  void thumbsOnTopOfEachOther() {
    // Where both thumbs stand the direction of the move picks the thumb, so neither gets
    // stuck behind the other.
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    slider_->SetPositions(50, 50);
    Drag(50, 30);
    QCOMPARE(slider_->GetFirstPos(), 30);
    QCOMPARE(slider_->GetSecondPos(), 50);
    QCOMPARE(second.count(), 0);

    slider_->SetPositions(50, 50);
    Drag(50, 70);
    QCOMPARE(slider_->GetSecondPos(), 70);
    QCOMPARE(slider_->GetFirstPos(), 50);
    QCOMPARE(first.count(), 1);

    // Both at the top end: only the first can move.
    slider_->SetPositions(100, 100);
    Drag(100, 90);
    QCOMPARE(slider_->GetFirstPos(), 90);
    QCOMPARE(slider_->GetSecondPos(), 100);
  }

  void pressOnTheGrooveMovesTheNearerThumb() {
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    QTest::mousePress(slider_, Qt::LeftButton, Qt::NoModifier, At(5));
    QCOMPARE(slider_->GetFirstPos(), 5);
    QTest::mouseMove(slider_, At(10));
    QTest::mouseRelease(slider_, Qt::LeftButton, Qt::NoModifier, At(10));
    QCOMPARE(slider_->GetFirstPos(), 10);
    QCOMPARE(first.last().at(0).toInt(), 10);

    QTest::mouseClick(slider_, Qt::LeftButton, Qt::NoModifier, At(70));
    QCOMPARE(slider_->GetSecondPos(), 70);
    QCOMPARE(second.count(), 1);
    QCOMPARE(slider_->GetFirstPos(), 10);
  }

  void keyboardStepsAndTab() {
    slider_->setFocus(Qt::TabFocusReason);
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QTRY_VERIFY(slider_->hasFocus());
    QCOMPARE(slider_->GetFocusThumb(), CDualSlider::kFirst);

    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    QSignalSpy released(slider_, &CDualSlider::released);
    QTest::keyClick(slider_, Qt::Key_Right);
    QCOMPARE(slider_->GetFirstPos(), 21);
    QTest::keyClick(slider_, Qt::Key_PageUp);
    QCOMPARE(slider_->GetFirstPos(), 31);
    QTest::keyClick(slider_, Qt::Key_Left);
    QTest::keyClick(slider_, Qt::Key_PageDown);
    QCOMPARE(slider_->GetFirstPos(), 20);
    QCOMPARE(first.count(), 4);
    QCOMPARE(first.last().at(0).toInt(), 20);
    QCOMPARE(released.count(), 4);
    QCOMPARE(second.count(), 0);

    // Tab goes to the second thumb before it leaves the control; Shift+Tab comes back.
    QTest::keyClick(slider_, Qt::Key_Tab);
    QVERIFY(slider_->hasFocus());
    QCOMPARE(slider_->GetFocusThumb(), CDualSlider::kSecond);
    QTest::keyClick(slider_, Qt::Key_PageUp);
    QCOMPARE(slider_->GetSecondPos(), 90);
    QCOMPARE(second.last().at(0).toInt(), 90);
    QTest::keyClick(slider_, Qt::Key_Backtab);
    QCOMPARE(slider_->GetFocusThumb(), CDualSlider::kFirst);

    // A step that would cross stops at the other thumb; a step that moves nothing
    // reports nothing.
    slider_->SetPositions(85, 90);
    first.clear();
    released.clear();
    QTest::keyClick(slider_, Qt::Key_PageUp);
    QCOMPARE(slider_->GetFirstPos(), 90);
    QTest::keyClick(slider_, Qt::Key_Right);
    QCOMPARE(slider_->GetFirstPos(), 90);
    QCOMPARE(first.count(), 1);
    QCOMPARE(released.count(), 1);

    QTest::keyClick(slider_, Qt::Key_Tab);
    QTest::keyClick(slider_, Qt::Key_Tab);
    QVERIFY(next_->hasFocus());
  }

  void ownerSetsWithoutSignals() {
    QSignalSpy first(slider_, &CDualSlider::firstMoved);
    QSignalSpy second(slider_, &CDualSlider::secondMoved);
    QSignalSpy released(slider_, &CDualSlider::released);

    slider_->SetFirstPos(90);  // pushes the second along
    QCOMPARE(slider_->GetFirstPos(), 90);
    QCOMPARE(slider_->GetSecondPos(), 90);
    slider_->SetSecondPos(10);  // pushes the first back
    QCOMPARE(slider_->GetFirstPos(), 10);
    QCOMPARE(slider_->GetSecondPos(), 10);
    slider_->SetPositions(-5, 400);
    QCOMPARE(slider_->GetFirstPos(), 0);
    QCOMPARE(slider_->GetSecondPos(), 100);
    slider_->SetRange(10, 50);
    QCOMPARE(slider_->GetRangeMin(), 10);
    QCOMPARE(slider_->GetRangeMax(), 50);
    QCOMPARE(slider_->GetFirstPos(), 10);
    QCOMPARE(slider_->GetSecondPos(), 50);
    slider_->SetRange(30, 20);  // an empty range collapses onto its minimum
    QCOMPARE(slider_->GetRangeMax(), 30);
    QCOMPARE(slider_->GetFirstPos(), 30);
    QCOMPARE(slider_->GetSecondPos(), 30);

    QCOMPARE(first.count(), 0);
    QCOMPARE(second.count(), 0);
    QCOMPARE(released.count(), 0);
  }

  void paintsBothThumbsAndTheSpan() {
    // The highlighted span lies between the thumbs and nowhere else on the groove.
    slider_->SetPositions(30, 70);
    const QImage image = slider_->grab().toImage();
    const QColor highlight = slider_->palette().color(QPalette::Highlight);
    auto highlightedInColumn = [&](int x) {
      for (int y = 0; y < image.height(); ++y)
        if (image.pixelColor(x, y) == highlight) return true;
      return false;
    };
    QVERIFY(highlightedInColumn((slider_->PositionToPixel(40) + slider_->PositionToPixel(60)) / 2));
    QVERIFY(!highlightedInColumn(slider_->PositionToPixel(10)));
    QVERIFY(!highlightedInColumn(slider_->PositionToPixel(90)));
  }
};

int RunDualSliderTests(int argc, char** argv) {
  DualSliderTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dualslider_test.moc"
