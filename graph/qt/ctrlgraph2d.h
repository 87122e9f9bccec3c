// CCtrlGraph2D: the graph control of the profile dialog. It draws the sampled lines of
// CCtrlGraph2DCore with QPainter (graph, rulers, reference marker, information lines),
// sets the reference point where the graph is clicked, prints, and renders the graph as
// an image.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "graph/graph2ddata.h"

class QPainter;

namespace graph_text {
inline constexpr const char* kDistanceTitle = "始点からの距離 [pixels]";
inline constexpr const char* kInfoLine =
    "始点： (%.1f, %.1f)  終点： (%.1f, %.1f)  線幅： %d [pixels]  %s";
inline constexpr const char* kSampleLine = "[参考点] 位置： (%.1f, %.1f)  %s";
inline constexpr const char* kCount = "ｶｳﾝﾄ値： %.1f";
inline constexpr const char* kCountRGB = "輝度： %.1f  R： %.1f  G： %.1f  B： %.1f";
inline constexpr const char* kVerticalValue = "縦軸値： %s";
inline constexpr const char* kMemo = "メモ： %s";
}  // namespace graph_text

class CCtrlGraph2D : public QWidget, public CCtrlGraph2DCore {
  Q_OBJECT

 public:
  explicit CCtrlGraph2D(QWidget* parent = nullptr);

  // The reference point at a widget x (the graph area's horizontal mapping).
  void UpdateSamplePt(const QPoint& point);
  // The text of the position and value under a widget point; false outside the graph.
  bool GetPixelInfo(const QPoint& point, QString* text) const;
  // Distance along the current line under a widget x (clamped to the line).
  double DistanceAt(int x) const;
  // The widget x of a point series' horizontal value (the graph area's mapping).
  double PointScreenX(double x, const QRect& area) const;
  void SetGraphArea(const QRect* rect);
  QRect GraphArea() const { return m_rcArea; }
  // The area the graph is plotted in at the control's present size.
  QRect PlotArea() const { return AreaIn(rect()); }

  // The whole graph into a painter over rect: graph, rulers and, when info, the
  // information lines (title: the image's name).
  void Draw(QPainter& p, const QRect& rect, bool info, const QString& title, const QString& memo);
  // One page: the graph scaled to the page with the information lines and the memo.
  void Print(QPainter& p, const QRect& page, const QString& title, const QString& memo);
  // The graph as a picture of the given size.
  QImage Render(const QSize& size, const QString& title);
  void SetTitle(const QString& title) { m_strTitle = title; }
  // The ruler's two labels of the celestial position at a distance along the current line
  // (right ascension and declination sexagesimal, other pairs in degrees); empty when the
  // position has none.
  QStringList CelestialTickLabels(double d) const;
  QString CelestialRulerTitle() const;
  // The lines of the information block as DrawInfo writes them.
  QStringList InfoLines(const QString& title, const QString& memo) const;

 signals:
  void samplePointChanged();
  void cursorMoved(double distance);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  // pen, when given, replaces the grey value's black (the other documents' graphs).
  void DrawGraph(QPainter& p, const QRect& area, const CCtrlGraph2DData& data, int line, bool dim,
                 const QColor* pen = nullptr);
  // The point series: error bars with caps, then the points over them.
  void DrawPoints(QPainter& p, const QRect& area);
  void DrawHRulerD(QPainter& p, const QRect& area);
  void DrawVRuler(QPainter& p, const QRect& area);

  // The graph area inside rect, leaving room for the rulers.
  static QRect AreaIn(const QRect& rect);
  double ToScreenY(double value, const QRect& area, int channel) const;

  QRect m_rcArea;
  QString m_strTitle;
};
