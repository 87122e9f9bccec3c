// CHistogramView offscreen: the painted height of each bin, bins past the content width,
// the busy text in place of the bins, level lines and numbered markers.
#include <QtTest>

#include "controls/histogramview.h"

namespace {

// The number of pixels of one colour in a column of the content.
int PaintedInColumn(const QImage& image, const QRect& content, int column, const QColor& colour) {
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

  QImage Render() { return view_->grab().toImage(); }
  QColor BarColour() const { return view_->palette().color(QPalette::Text); }

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

  void contentIsTheFrameLessItsBorder() {
    const int border = view_->frameWidth();
    QVERIFY(border > 0);
    QCOMPARE(view_->ContentWidth(), view_->width() - 2 * border);
    QCOMPARE(view_->ContentHeight(), view_->height() - 2 * border);
  }

  void barHeightsScaleToTheLargestCount() {
    const int w = view_->ContentWidth();
    const int h = view_->ContentHeight();
    std::vector<std::uint32_t> counts(w, 0);
    counts[10] = 50;
    counts[20] = 4000;  // the largest
    counts[30] = 1;     // too small for a pixel
    counts[50] = 2667;
    counts[w - 1] = 1000;
    view_->SetCounts(counts);
    const QImage image = Render();
    const QRect content = view_->contentsRect();
    for (int column : {10, 20, 30, 40, 50, w - 1}) {
      const int expected = static_cast<int>(std::uint64_t{counts[column]} * h / 4000);
      QCOMPARE(PaintedInColumn(image, content, column, BarColour()), expected);
      if (expected > 0)  // the bar stands on the bottom edge
        QCOMPARE(image.pixelColor(content.left() + column, content.bottom()), BarColour());
    }
    QCOMPARE(PaintedInColumn(image, content, 20, BarColour()), h);
  }

  void binsPastTheContentAreNotDrawn() {
    const int w = view_->ContentWidth();
    // The largest bin lies beyond the content: the visible ones scale to their own
    // largest.
    std::vector<std::uint32_t> counts(w + 10, 10);
    counts[w + 5] = 1000000;
    counts[3] = 20;
    view_->SetCounts(counts);
    const QImage image = Render();
    const QRect content = view_->contentsRect();
    QCOMPARE(PaintedInColumn(image, content, 3, BarColour()), view_->ContentHeight());
    QCOMPARE(PaintedInColumn(image, content, 4, BarColour()), view_->ContentHeight() / 2);
  }

  void busyTextReplacesTheBins() {
    std::vector<std::uint32_t> counts(view_->ContentWidth(), 100);
    view_->SetCounts(counts);
    const QRect content = view_->contentsRect();
    QCOMPARE(PaintedInColumn(Render(), content, 2, BarColour()), view_->ContentHeight());

    view_->SetBusyText(QStringLiteral("ヒストグラム計算中"));
    const QImage busy = Render();
    QCOMPARE(PaintedInColumn(busy, content, 2, BarColour()), 0);
    int textPixels = 0;
    for (int x = 0; x < content.width(); ++x)
      textPixels += PaintedInColumn(busy, content, x, BarColour());
    QVERIFY(textPixels > 0);

    view_->SetBusyText(QString());
    QCOMPARE(PaintedInColumn(Render(), content, 2, BarColour()), view_->ContentHeight());

    view_->SetBusyText(QStringLiteral("ヒストグラム計算中"));
    view_->SetCounts(counts);
    QVERIFY(view_->GetBusyText().isEmpty());
    QCOMPARE(PaintedInColumn(Render(), content, 2, BarColour()), view_->ContentHeight());
  }

  void levelLinesAndMarkers() {
    const QRect content = view_->contentsRect();
    const QColor highlight = view_->palette().color(QPalette::Highlight);
    const QColor red(255, 0, 0);
    view_->SetCounts(std::vector<std::uint32_t>(view_->ContentWidth(), 0));
    view_->SetLevelPositions(40, 160);
    view_->SetMarkers({{1, 100}, {2, 500}, {3, -4}});
    const QImage image = Render();
    QVERIFY(PaintedInColumn(image, content, 40, highlight) > content.height() / 3);
    QVERIFY(PaintedInColumn(image, content, 160, highlight) > content.height() / 3);
    QCOMPARE(PaintedInColumn(image, content, 100, highlight), 0);
    QVERIFY(PaintedInColumn(image, content, 100, red) > content.height() / 2);
    QCOMPARE(PaintedInColumn(image, content, 40, red), 0);
    QCOMPARE(PaintedInColumn(image, content, 0, red), 0);

    view_->SetLevelPositions(-1, -1);
    view_->SetMarkers({});
    const QImage plain = Render();
    QCOMPARE(PaintedInColumn(plain, content, 40, highlight), 0);
    QCOMPARE(PaintedInColumn(plain, content, 100, red), 0);
  }
};

int RunHistogramViewTests(int argc, char** argv) {
  HistogramViewTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "histogramview_test.moc"
