// CHistogramView: a framed histogram, one bin per pixel column of the frame's content,
// each bin a vertical line scaled so that the largest count fills the height. It can show
// a centred text instead while the counts are being computed, numbered markers at chosen
// columns, and two thin lines where the level slider's thumbs stand.
#pragma once

#include <QFrame>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

class CHistogramView : public QFrame {
  Q_OBJECT

 public:
  explicit CHistogramView(QWidget* parent = nullptr);

  // The bins, first one at the left edge of the content; bins beyond the content width
  // are not drawn. Clears the busy text.
  void SetCounts(std::vector<std::uint32_t> counts);
  const std::vector<std::uint32_t>& GetCounts() const { return m_Counts; }
  // A text shown centred instead of the bins until counts are set or the text is
  // cleared (an empty text).
  void SetBusyText(const QString& text);
  const QString& GetBusyText() const { return m_strBusy; }
  // Numbered markers: (number, column in bins). Columns outside the content are skipped.
  void SetMarkers(std::vector<std::pair<int, int>> markers);
  const std::vector<std::pair<int, int>>& GetMarkers() const { return m_Markers; }
  // Two thin lines at these columns (the level slider's thumbs); a negative column
  // shows no line.
  void SetLevelPositions(int first, int second);
  int GetFirstLevelPosition() const { return m_nLevel[0]; }
  int GetSecondLevelPosition() const { return m_nLevel[1]; }

  // The number of bins that fit: the frame's width less its border.
  int ContentWidth() const { return contentsRect().width(); }
  // The height that the largest count fills.
  int ContentHeight() const { return contentsRect().height(); }
  // The painted height of a bin: count × content height / largest count.
  static int BarHeight(std::uint32_t count, std::uint32_t largest, int height);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<std::uint32_t> m_Counts;
  QString m_strBusy;
  std::vector<std::pair<int, int>> m_Markers;
  int m_nLevel[2] = {-1, -1};
};
