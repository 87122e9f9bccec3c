// CHistogramView offscreen: the painted height of each bin, the busy text in place of the
// bins, level lines and numbered markers.
#include <QtTest>

#include "controls/histogramview.h"

namespace {

// The number of pixels of one colour in a column of the content.
int Painted(const QImage& image, const QRect& content, int column, const QColor& colour) {
  int n = 0;
  for (int y = content.top(); y <= content.bottom(); ++y)
    if (image.pixelColor(content.left() + column, y) == colour) ++n;
  return n;
}

}  // namespace

class HistogramViewTest : public QObject {
  Q_OBJECT

 private:
  CHistogramView* view_ = nullptr;
  QColor Bar() const { return view_->palette().color(QPalette::Text); }

 private slots:
  void init() {
    view_ = new CHistogramView;
    view_->resize(202, 102);
    view_->show();
    QVERIFY(QTest::qWaitForWindowExposed(view_));
  }
  void cleanup() {
    delete view_;
    view_ = nullptr;
  }

  void barHeightsScaleToTheLargestCount() {
    QCOMPARE(view_->ContentWidth(), view_->width() - 2 * view_->frameWidth());
    const int w = view_->ContentWidth(), h = view_->ContentHeight();
    // One bin more than fits, the largest of all: it is not drawn and does not scale.
    std::vector<std::uint32_t> counts(w + 1, 0);
    counts[w] = 1000000;
    counts[10] = 50;
    counts[20] = 4000;  // the largest drawn
    counts[30] = 1;     // too small for a pixel
    counts[50] = 2667;
    counts[w - 1] = 1000;
    view_->SetCounts(counts);
    const QImage image = view_->grab().toImage();
    const QRect content = view_->contentsRect();
    for (int column : {10, 20, 30, 40, 50, w - 1}) {
      const int expected = static_cast<int>(std::uint64_t{counts[column]} * h / 4000);
      QCOMPARE(Painted(image, content, column, Bar()), expected);
      if (expected > 0)  // standing on the bottom edge
        QCOMPARE(image.pixelColor(content.left() + column, content.bottom()), Bar());
    }
  }

  void busyTextReplacesTheBins() {
    const QRect content = view_->contentsRect();
    const std::vector<std::uint32_t> counts(view_->ContentWidth(), 100);
    view_->SetCounts(counts);
    view_->SetBusyText(QStringLiteral("ヒストグラム計算中"));
    QImage image = view_->grab().toImage();
    QCOMPARE(Painted(image, content, 2, Bar()), 0);
    int text = 0;
    for (int x = 0; x < content.width(); ++x) text += Painted(image, content, x, Bar());
    QVERIFY(text > 0);
    view_->SetCounts(counts);  // counts clear the text
    QVERIFY(view_->GetBusyText().isEmpty());
    image = view_->grab().toImage();
    QCOMPARE(Painted(image, content, 2, Bar()), view_->ContentHeight());
  }

  void levelLinesAndMarkers() {
    const QRect content = view_->contentsRect();
    const QColor highlight = view_->palette().color(QPalette::Highlight);
    const QColor red(255, 0, 0);
    view_->SetLevelPositions(40, 160);
    view_->SetMarkers({{1, 100}, {2, 500}, {3, -4}});
    QImage image = view_->grab().toImage();
    QVERIFY(Painted(image, content, 40, highlight) > content.height() / 3);
    QVERIFY(Painted(image, content, 160, highlight) > content.height() / 3);
    QVERIFY(Painted(image, content, 100, red) > content.height() / 2);
    QCOMPARE(Painted(image, content, 40, red), 0);
    view_->SetLevelPositions(-1, -1);
    view_->SetMarkers({});
    image = view_->grab().toImage();
    QCOMPARE(Painted(image, content, 40, highlight), 0);
    QCOMPARE(Painted(image, content, 100, red), 0);
  }
};

int RunHistogramViewTests(int argc, char** argv) {
  HistogramViewTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "histogramview_test.moc"
