#include "graph/qt/ctrlgraph2d.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/ralimage.h"
#include "wcs/wcstext.h"

namespace {

QString Format(const char* fmt, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return QString::fromUtf8(buf);
}

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks over span.
double NiceStep(double span, int count) {
  if (!(span > 0.0) || !std::isfinite(span)) return 1.0;
  const double raw = span / std::max(count, 1);
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * p) return m * p;
  return 10.0 * p;
}

// Decimals that tell ticks a step apart from each other.
int StepDecimals(double step) {
  return std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 10);
}

const QColor kChannelColour[4] = {QColor(0, 0, 0), QColor(220, 0, 0), QColor(0, 160, 0),
                                  QColor(0, 0, 230)};
const QColor kDocColour[] = {QColor(230, 120, 0), QColor(150, 0, 200), QColor(0, 150, 150),
                             QColor(160, 110, 40)};

}  // namespace

CCtrlGraph2D::CCtrlGraph2D(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("G2D_GRAPH"));
  setMouseTracking(true);
  setMinimumSize(320, 200);
  setAutoFillBackground(false);
}

QRect CCtrlGraph2D::AreaIn(const QRect& rect) {
  // Below: two rows of tick labels (celestial rulers) and the ruler's title.
  return rect.adjusted(70, 12, -16, -58);
}

void CCtrlGraph2D::SetGraphArea(const QRect* rect) {
  m_rcArea = rect ? *rect : AreaIn(this->rect());
}

double CCtrlGraph2D::ToScreenY(double value, const QRect& area, int channel) const {
  double lo, hi;
  GetMinMax(&lo, &hi, channel, m_nCurrent);
  if (IsLog()) value = value > 0.0 ? std::log10(value) : lo;
  const double t = hi > lo ? (value - lo) / (hi - lo) : 0.5;
  return m_bYDown ? area.top() + t * area.height() : area.bottom() - t * area.height();
}

double CCtrlGraph2D::PointScreenX(double x, const QRect& area) const {
  double x0, x1, y0, y1;
  if (!GetPointRange(&x0, &x1, &y0, &y1)) return area.left();
  return area.left() + GetH(x - x0);
}

void CCtrlGraph2D::DrawPoints(QPainter& p, const QRect& area) {
  p.save();
  p.setClipRect(area);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QColor bar(60, 60, 220), dot(20, 20, 20);
  for (const GraphPoint& pt : m_Points) {
    const double x = PointScreenX(pt.x, area);
    const double y = ToScreenY(pt.y, area, 0);
    if (pt.error > 0.0) {
      const double ya = ToScreenY(pt.y - pt.error, area, 0),
                   yb = ToScreenY(pt.y + pt.error, area, 0);
      p.setPen(QPen(bar, 1.0));
      p.drawLine(QPointF(x, ya), QPointF(x, yb));
      p.drawLine(QPointF(x - 3, ya), QPointF(x + 3, ya));
      p.drawLine(QPointF(x - 3, yb), QPointF(x + 3, yb));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(dot);
    p.drawEllipse(QPointF(x, y), 2.5, 2.5);
  }
  p.restore();
}

void CCtrlGraph2D::DrawGraph(QPainter& p, const QRect& area, const CCtrlGraph2DData& data, int line,
                             bool dim, const QColor* pen) {
  (void)line;
  const bool colour = !data.m_Value[1].empty();
  std::vector<int> channels;
  if (!colour || m_nVValue == 1)
    channels = {0};
  else if (m_nVValue == 0)
    channels = {1, 2, 3};
  else
    channels = {std::clamp(m_nVValue - 1, 1, 3)};
  p.save();
  p.setClipRect(area);
  for (int c : channels) {
    QColor colourOf = colour ? kChannelColour[c] : pen ? *pen : kChannelColour[0];
    if (dim) colourOf.setAlpha(110);
    p.setPen(QPen(colourOf, 1.2));
    QPainterPath path;
    const int n = data.m_nCount;
    for (int i = 0; i < n; ++i) {
      const double d = n > 1 ? i * data.m_dLength / (n - 1) : 0.0;
      const double x = area.left() + GetH(d);
      const double y = ToScreenY(data.m_Value[c][static_cast<std::size_t>(i)], area, c);
      if (!std::isfinite(y)) continue;
      if (path.elementCount() == 0)
        path.moveTo(x, y);
      else
        path.lineTo(x, y);
    }
    p.drawPath(path);
  }
  p.restore();
}

void CCtrlGraph2D::DrawHRulerD(QPainter& p, const QRect& area) {
  const double from = GetValH(0), to = GetValH(area.width());
  // Along a spectrum the ruler reads the physical value of the axis at each tick
  // (DrawHRulerPhyVal); across the sky the two celestial coordinates, one over the other;
  // elsewhere the distance from the start point.
  std::string name, unit;
  double probe = 0.0;
  const bool points = HasPoints();
  const bool physical = !points && PhysicalAxis(&name, &unit) && GetPhyVal(0.0, m_nCurrent, &probe);
  const bool celestial = !points && !physical && HasCelestial();
  double px0 = 0.0, px1 = 0.0, py0 = 0.0, py1 = 0.0;
  if (points) GetPointRange(&px0, &px1, &py0, &py1);
  const int spacing = physical ? 110 : celestial ? 130 : 80;
  // World values exist along the line only: the ticks share out the part of it shown.
  const double first = physical || celestial ? std::max(from, 0.0) : from;
  const double last = physical || celestial ? std::min(to, GetLength()) : to;
  const double span = last > first ? last - first : to - from;
  const double step = NiceStep(span, std::max(2, static_cast<int>(span * GetHrzMag()) / spacing));
  p.setPen(Qt::black);
  const QFontMetrics fm(p.font());
  if (points) {
    // Ticks on round values of x itself, labelled with as many decimals as the step needs.
    const int decimals = StepDecimals(step);
    for (double v = std::ceil((px0 + from) / step) * step; v <= px0 + to + 1e-9 * std::fabs(px0);
         v += step) {
      const int x = area.left() + static_cast<int>(std::lround(GetH(v - px0)));
      p.drawLine(x, area.bottom(), x, area.bottom() + 5);
      const QString label = QString::number(v, 'f', decimals);
      // A label that would run past the control's edge is left to the tick alone.
      if (x + fm.horizontalAdvance(label) / 2 > area.right() + 14) continue;
      p.drawText(x - fm.horizontalAdvance(label) / 2, area.bottom() + 6 + fm.ascent(), label);
    }
    const QString title = QString::fromStdString(m_strXTitle);
    p.drawText(area.center().x() - fm.horizontalAdvance(title) / 2,
               area.bottom() + 10 + fm.height() + fm.ascent(), title);
    return;
  }
  for (double d = std::ceil(from / step) * step; d <= to + 1e-9; d += step) {
    const int x = area.left() + static_cast<int>(std::lround(GetH(d)));
    p.drawLine(x, area.bottom(), x, area.bottom() + 5);
    if ((physical || celestial) && (d < -1e-9 || d > GetLength() + 1e-9)) continue;
    QStringList labels;
    if (celestial) {
      labels = CelestialTickLabels(d);
      if (labels.isEmpty()) continue;
    } else if (physical) {
      double v = d;
      if (!GetPhyVal(d, m_nCurrent, &v)) continue;
      labels << Format("%.6g", v);
    } else {
      labels << Format("%.1f", d);
    }
    int y = area.bottom() + 6 + fm.ascent();
    for (const QString& label : labels) {
      p.drawText(x - fm.horizontalAdvance(label) / 2, y, label);
      y += fm.height();
    }
  }
  QString title;
  if (celestial)
    title = CelestialRulerTitle();
  else if (physical)
    title = Format(unit.empty() ? "%s" : "%s [%s]", name.c_str(), unit.c_str());
  else
    title = QString::fromUtf8(graph_text::kDistanceTitle);
  const int rows = celestial ? 2 : 1;
  p.drawText(area.center().x() - fm.horizontalAdvance(title) / 2,
             area.bottom() + 10 + rows * fm.height() + fm.ascent(), title);
}

QStringList CCtrlGraph2D::CelestialTickLabels(double d) const {
  double lon, lat;
  if (!GetCelestial(d, m_nCurrent, &lon, &lat)) return {};
  std::string type;
  if (m_pImage) m_pImage->GetCType(0, &type);
  if (WcsBareText(type).starts_with("RA")) {
    const WcsSexagesimal ra = WcsSplitSexagesimal(lon / 15.0, 1, 24);
    const WcsSexagesimal dec = WcsSplitSexagesimal(lat, 0);
    return {Format("%.2lldh%.2dm%.2ds.%.1lld", ra.units, ra.minutes, ra.seconds, ra.fraction),
            Format("%c%.2lldﾟ%.2d'%.2d\"", dec.negative ? '-' : '+', dec.units, dec.minutes,
                   dec.seconds)};
  }
  return {Format("%.4f", lon), Format("%+.4f", lat)};
}

QString CCtrlGraph2D::CelestialRulerTitle() const {
  std::string type;
  if (m_pImage) m_pImage->GetCType(0, &type);
  if (WcsBareText(type).starts_with("RA")) return Format("%s / %s", kWcsLabelRA, kWcsLabelDec);
  std::string lat;
  if (m_pImage) m_pImage->GetCType(1, &lat);
  const std::string a = WcsBareText(type), b = WcsBareText(lat);
  return Format("%s / %s [%s]", a.substr(0, a.find('-')).c_str(), b.substr(0, b.find('-')).c_str(),
                kWcsDegreeUnit);
}

void CCtrlGraph2D::DrawVRuler(QPainter& p, const QRect& area) {
  const int channel = m_nVValue >= 2 ? m_nVValue - 1 : 0;
  double lo, hi;
  GetMinMax(&lo, &hi, channel, m_nCurrent);
  const double step = NiceStep(hi - lo, std::max(2, area.height() / 40));
  p.setPen(Qt::black);
  const QFontMetrics fm(p.font());
  for (double v = std::ceil(lo / step) * step; v <= hi + 1e-9 * std::fabs(hi); v += step) {
    const double t = hi > lo ? (v - lo) / (hi - lo) : 0.5;
    const int y = m_bYDown ? area.top() + static_cast<int>(std::lround(t * area.height()))
                           : area.bottom() - static_cast<int>(std::lround(t * area.height()));
    p.drawLine(area.left() - 5, y, area.left(), y);
    QString label;
    if (HasPoints())
      label = QString::number(std::fabs(v) < 1e-12 ? 0.0 : v, 'f', StepDecimals(step));
    else if (IsLog())
      label = std::fabs(v - std::round(v)) < 1e-9
                  ? Format("10^%d", static_cast<int>(std::lround(v)))
                  : Format("10^%.1f", v);
    else
      label = Format("%.1f", v);
    p.drawText(area.left() - 8 - fm.horizontalAdvance(label), y + fm.ascent() / 2, label);
  }
  if (HasPoints() && !m_strYTitle.empty()) {
    const QString title = QString::fromStdString(m_strYTitle);
    p.save();
    p.translate(area.left() - 56, area.center().y() + fm.horizontalAdvance(title) / 2);
    p.rotate(-90);
    p.drawText(0, 0, title);
    p.restore();
  }
}

QStringList CCtrlGraph2D::InfoLines(const QString& title, const QString& memo) const {
  QStringList lines;
  if (HasPoints()) {
    lines << title;
    if (!memo.isEmpty()) {
      const QByteArray m = memo.toUtf8();
      lines << Format(graph_text::kMemo, m.constData());
    }
    return lines;
  }
  const CCtrlGraph2DData* d = GetGraphData(m_nCurrent);
  if (!d) return lines;
  const QByteArray t = title.toUtf8();
  lines << Format(graph_text::kInfoLine, d->m_dX1 + 1, ShownY(d->m_dY1), d->m_dX2 + 1,
                  ShownY(d->m_dY2), static_cast<int>(d->m_dWidth), t.constData());
  std::string name, unit;
  double v1 = 0.0, v2 = 0.0;
  if (PhysicalAxis(&name, &unit) && GetPhyVal(0.0, m_nCurrent, &v1) &&
      GetPhyVal(d->m_dLength, m_nCurrent, &v2)) {
    const std::string u = unit.empty() ? std::string() : " [" + unit + "]";
    lines << Format("始点%s： %.2f%s  終点%s： %.2f%s", name.c_str(), v1, u.c_str(), name.c_str(),
                    v2, u.c_str());
  } else if (HasCelestial()) {
    const std::string a = GetPhyValText(0.0, m_nCurrent),
                      b = GetPhyValText(d->m_dLength, m_nCurrent);
    lines << Format("始点： %s", a.c_str()) << Format("終点： %s", b.c_str());
  }
  if (HaveSamplePtActive()) {
    QString value;
    if (!d->m_Value[1].empty()) {
      double r, g, b;
      GetSampleCountRGB(&r, &g, &b, m_nCurrent);
      value = Format(graph_text::kCountRGB, GetSampleCount(m_nCurrent), r, g, b);
    } else {
      value = Format(graph_text::kCount, GetSampleCount(m_nCurrent));
    }
    const QByteArray v = value.toUtf8();
    lines << Format(graph_text::kSampleLine, GetSampleX(m_nCurrent) + 1,
                    ShownY(GetSampleY(m_nCurrent)), v.constData());
  }
  if (!memo.isEmpty()) {
    const QByteArray m = memo.toUtf8();
    lines << Format(graph_text::kMemo, m.constData());
  }
  return lines;
}

void CCtrlGraph2D::Draw(QPainter& p, const QRect& rect, bool info, const QString& title,
                        const QString& memo) {
  p.fillRect(rect, Qt::white);
  QRect outer = rect;
  if (info) {
    const QStringList lines = InfoLines(title, memo);
    const QFontMetrics fm(p.font());
    int y = rect.top() + fm.ascent() + 4;
    p.setPen(Qt::black);
    for (const QString& l : lines) {
      p.drawText(rect.left() + 8, y, l);
      y += fm.height();
    }
    outer.setTop(y);
  }
  const QRect area = AreaIn(outer);
  p.setPen(QColor(128, 128, 128));
  p.drawRect(area);
  if (HasPoints()) {
    DrawPoints(p, area);
    DrawHRulerD(p, area);
    DrawVRuler(p, area);
    return;
  }
  if (!HasGraph()) return;
  // The other documents' graphs, each in a colour of its own.
  if (m_bGraphAllDoc)
    for (std::size_t i = 0; i < m_DocData.size(); ++i)
      DrawGraph(p, area, m_DocData[i], -1, false, &kDocColour[i % std::size(kDocColour)]);
  if (m_bGraphAll)
    for (int i = 0; i < GetGraphDataSize(); ++i)
      if (i != m_nCurrent) DrawGraph(p, area, *GetGraphData(i), i, true);
  if (const CCtrlGraph2DData* d = GetGraphData(m_nCurrent))
    DrawGraph(p, area, *d, m_nCurrent, false);
  if (HaveSamplePtActive()) {
    const int x = area.left() + static_cast<int>(std::lround(GetH(GetSampleDistance(m_nCurrent))));
    p.setPen(QPen(QColor(255, 0, 255), 1, Qt::DashLine));
    p.drawLine(x, area.top(), x, area.bottom());
  }
  DrawHRulerD(p, area);
  DrawVRuler(p, area);
}

void CCtrlGraph2D::paintEvent(QPaintEvent*) {
  SetGraphArea(nullptr);
  QPainter p(this);
  Draw(p, rect(), false, m_strTitle, {});
}

void CCtrlGraph2D::Print(QPainter& p, const QRect& page, const QString& title,
                         const QString& memo) {
  const double saved = m_dHrzMag;
  // The whole line across the page.
  const double length = std::max(GetLength(), 1.0);
  m_dHrzMag =
      m_dHrzMagPrint > 0.0 && m_dHrzMagPrint != 1.0 ? m_dHrzMagPrint : (page.width() - 86) / length;
  const double shift = m_dShiftH;
  m_dShiftH = 0.0;
  // Sizes in the painter's units, which the caller has scaled to the page: a point size
  // would be taken at the printer's resolution and scaled once more.
  QFont f = p.font();
  f.setPixelSize(std::max(9, page.height() / 40));
  p.setFont(f);
  Draw(p, page, true, title, memo);
  m_dHrzMag = saved;
  m_dShiftH = shift;
}

QImage CCtrlGraph2D::Render(const QSize& size, const QString& title) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  Draw(p, QRect(QPoint(0, 0), size), false, title, {});
  return image;
}

double CCtrlGraph2D::DistanceAt(int x) const {
  const QRect area = m_rcArea.isValid() ? m_rcArea : AreaIn(rect());
  return std::clamp(GetValH(x - area.left()), 0.0, GetLength());
}

void CCtrlGraph2D::UpdateSamplePt(const QPoint& point) {
  if (!GetGraphData(m_nCurrent)) return;
  UpdateSamplePtDistance(DistanceAt(point.x()));
  update();
  emit samplePointChanged();
}

bool CCtrlGraph2D::GetPixelInfo(const QPoint& point, QString* text) const {
  const QRect area = m_rcArea.isValid() ? m_rcArea : AreaIn(rect());
  if (!GetGraphData(m_nCurrent) || !area.contains(point)) return false;
  const double d = DistanceAt(point.x());
  *text = Format("(%.1f, %.1f) %.1f", GetX(d, m_nCurrent) + 1, ShownY(GetY(d, m_nCurrent)),
                 GetCount(d, m_nCurrent));
  return true;
}

void CCtrlGraph2D::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) UpdateSamplePt(event->position().toPoint());
}

void CCtrlGraph2D::mouseMoveEvent(QMouseEvent* event) {
  const QRect area = m_rcArea.isValid() ? m_rcArea : AreaIn(rect());
  if (GetGraphData(m_nCurrent) && area.contains(event->position().toPoint()))
    emit cursorMoved(DistanceAt(event->position().toPoint().x()));
}
