// CHistogramView: bins as vertical lines in the text colour on the base colour; level
// lines in the highlight colour, drawn dashed so that the bins under them stay visible;
// markers in red with their number beside them at the top.
#include "controls/histogramview.h"

#include <QPainter>
#include <algorithm>

namespace {

const QColor kMarkerColour(255, 0, 0);

}  // namespace

CHistogramView::CHistogramView(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void CHistogramView::SetCounts(std::vector<std::uint32_t> counts) {
  m_Counts = std::move(counts);
  m_strBusy.clear();
  update();
}

void CHistogramView::SetBusyText(const QString& text) {
  m_strBusy = text;
  update();
}

void CHistogramView::SetMarkers(std::vector<std::pair<int, int>> markers) {
  m_Markers = std::move(markers);
  update();
}

void CHistogramView::SetLevelPositions(int first, int second) {
  if (m_nLevel[0] == first && m_nLevel[1] == second) return;
  m_nLevel[0] = first;
  m_nLevel[1] = second;
  update();
}

int CHistogramView::BarHeight(std::uint32_t count, std::uint32_t largest, int height) {
  if (largest == 0 || height <= 0) return 0;
  return static_cast<int>(static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(height) /
                          largest);
}

QSize CHistogramView::sizeHint() const {
  const int border = 2 * frameWidth();
  return QSize(256 + border, 100 + border);
}

void CHistogramView::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);  // the border
  QPainter painter(this);
  const QRect content = contentsRect();
  painter.setClipRect(content);

  if (!m_strBusy.isEmpty()) {
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(content, Qt::AlignCenter, m_strBusy);
    return;
  }

  const int bins = std::min<int>(static_cast<int>(m_Counts.size()), content.width());
  std::uint32_t largest = 0;
  for (int i = 0; i < bins; ++i) largest = std::max(largest, m_Counts[i]);
  const QColor bar = palette().color(QPalette::Text);
  for (int i = 0; i < bins; ++i) {
    const int h = BarHeight(m_Counts[i], largest, content.height());
    if (h > 0) painter.fillRect(QRect(content.left() + i, content.bottom() - h + 1, 1, h), bar);
  }

  QPen level(palette().color(QPalette::Highlight));
  level.setStyle(Qt::DashLine);
  level.setWidth(1);
  painter.setPen(level);
  for (int x : m_nLevel) {
    if (x >= 0 && x < content.width())
      painter.drawLine(content.left() + x, content.top(), content.left() + x, content.bottom());
  }

  const QFontMetrics metrics(font());
  for (const auto& [number, x] : m_Markers) {
    if (x < 0 || x >= content.width()) continue;
    const int px = content.left() + x;
    painter.setPen(kMarkerColour);
    painter.drawLine(px, content.top(), px, content.bottom());
    const QString label = QString::number(number);
    const int w = metrics.horizontalAdvance(label);
    // The number stands right of its line, or left of it at the right edge.
    const int tx = px + 2 + w <= content.right() ? px + 2 : px - 2 - w;
    painter.drawText(tx, content.top() + metrics.ascent() + 1, label);
  }
}
