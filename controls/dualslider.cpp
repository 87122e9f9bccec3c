// CDualSlider: two thumbs on one groove, drawn by the current style so that the control
// looks like the platform's own slider; the span between the thumbs is highlighted and a
// small dark (first) or light (second) pointer under each thumb tells them apart.
#include "controls/dualslider.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <cstdlib>

namespace {

// Height of the strip under the groove that holds the thumbs' pointers.
constexpr int kPointerStrip = 6;

}  // namespace

CDualSlider::CDualSlider(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CDualSlider::SetRange(int min, int max) {
  m_nMin = min;
  m_nMax = std::max(min, max);
  SetPositions(m_nPos[kFirst], m_nPos[kSecond]);
}

void CDualSlider::SetFirstPos(int pos) {
  pos = std::clamp(pos, m_nMin, m_nMax);
  m_nPos[kFirst] = pos;
  if (m_nPos[kSecond] < pos) m_nPos[kSecond] = pos;
  update();
}

void CDualSlider::SetSecondPos(int pos) {
  pos = std::clamp(pos, m_nMin, m_nMax);
  m_nPos[kSecond] = pos;
  if (m_nPos[kFirst] > pos) m_nPos[kFirst] = pos;
  update();
}

void CDualSlider::SetPositions(int first, int second) {
  SetFirstPos(first);
  SetSecondPos(second);
}

void CDualSlider::InitStyleOption(QStyleOptionSlider* option, Thumb thumb) const {
  option->initFrom(this);
  option->rect = QRect(0, 0, width(), std::max(0, height() - kPointerStrip));
  option->orientation = Qt::Horizontal;
  option->minimum = m_nMin;
  option->maximum = m_nMax;
  option->tickPosition = QSlider::NoTicks;
  option->singleStep = 1;
  option->pageStep = kPageStep;
  option->upsideDown = false;
  option->subControls = QStyle::SC_None;
  option->activeSubControls = QStyle::SC_None;
  // Without a thumb (the groove alone) the position sits at the minimum, so that a style
  // that fills the groove up to the thumb fills nothing: the span is drawn here.
  const int pos = thumb == kNone ? m_nMin : m_nPos[thumb];
  option->sliderPosition = pos;
  option->sliderValue = pos;
  option->state &= ~QStyle::State_HasFocus;
  if (thumb != kNone && thumb == m_nFocus && hasFocus()) option->state |= QStyle::State_HasFocus;
  if (thumb != kNone && thumb == m_nPressed) {
    option->activeSubControls = QStyle::SC_SliderHandle;
    option->state |= QStyle::State_Sunken;
  }
}

QRect CDualSlider::HandleRect(Thumb thumb) const {
  QStyleOptionSlider option;
  InitStyleOption(&option, thumb);
  return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

int CDualSlider::PositionToPixel(int pos) const {
  QStyleOptionSlider option;
  InitStyleOption(&option, kNone);
  option.sliderPosition = option.sliderValue = std::clamp(pos, m_nMin, m_nMax);
  return style()
      ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this)
      .center()
      .x();
}

int CDualSlider::TrackMargin() const {
  return PositionToPixel(m_nMin);
}

// x is where the left edge of the thumb should go.
int CDualSlider::PixelToPosition(int x) const {
  QStyleOptionSlider option;
  InitStyleOption(&option, kNone);
  const QRect groove =
      style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
  const int length = HandleRect(kFirst).width();
  const int left = groove.x();
  const int span = groove.right() - length + 1 - left;
  if (span <= 0) return m_nMin;
  return QStyle::sliderValueFromPosition(m_nMin, m_nMax, x - left, span);
}

QSize CDualSlider::sizeHint() const {
  QStyleOptionSlider option;
  InitStyleOption(&option, kNone);
  const int thickness = style()->pixelMetric(QStyle::PM_SliderThickness, &option, this);
  const int length = style()->pixelMetric(QStyle::PM_SliderLength, &option, this);
  QSize size(std::max(200, 4 * length), thickness);
  size = style()->sizeFromContents(QStyle::CT_Slider, &option, size, this);
  size.rheight() += kPointerStrip;
  return size;
}

QSize CDualSlider::minimumSizeHint() const {
  QSize size = sizeHint();
  QStyleOptionSlider option;
  InitStyleOption(&option, kNone);
  size.setWidth(3 * style()->pixelMetric(QStyle::PM_SliderLength, &option, this));
  return size;
}

void CDualSlider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionSlider option;
  InitStyleOption(&option, kNone);
  option.subControls = QStyle::SC_SliderGroove;
  style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);

  // The chosen span, inside the groove.
  const QRect groove =
      style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
  const int x1 = PositionToPixel(m_nPos[kFirst]);
  const int x2 = PositionToPixel(m_nPos[kSecond]);
  const int thickness = std::clamp(groove.height() - 2, 2, 5);
  painter.fillRect(QRect(x1, groove.center().y() - thickness / 2, x2 - x1 + 1, thickness),
                   palette().color(QPalette::Highlight));

  // The focused thumb last, so that it lies on top where the two overlap.
  const Thumb other = m_nFocus == kFirst ? kSecond : kFirst;
  for (Thumb thumb : {other, m_nFocus}) {
    QStyleOptionSlider handle;
    InitStyleOption(&handle, thumb);
    handle.subControls = QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &handle, &painter, this);

    const int cx = PositionToPixel(m_nPos[thumb]);
    const int top = height() - kPointerStrip;
    const int half = kPointerStrip - 2;
    QPolygon pointer;
    pointer << QPoint(cx, top) << QPoint(cx - half, top + half) << QPoint(cx + half, top + half);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setBrush(palette().color(thumb == kFirst ? QPalette::WindowText : QPalette::Base));
    painter.drawPolygon(pointer);
    painter.setRenderHint(QPainter::Antialiasing, false);
  }
}

void CDualSlider::MoveBy(Thumb thumb, int newPos) {
  newPos = std::clamp(newPos, m_nMin, m_nMax);
  // With crossing allowed the owner's rules place the thumb.
  if (!m_bCrossing)
    newPos = thumb == kFirst ? std::min(newPos, m_nPos[kSecond]) : std::max(newPos, m_nPos[kFirst]);
  if (newPos == m_nPos[thumb]) return;
  m_nPos[thumb] = newPos;
  update();
  if (thumb == kFirst)
    emit firstMoved(newPos);
  else
    emit secondMoved(newPos);
}

void CDualSlider::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || m_nPressed != kNone) {
    event->ignore();
    return;
  }
  const int x = event->position().toPoint().x();
  const QRect r1 = HandleRect(kFirst);
  const QRect r2 = HandleRect(kSecond);
  const bool on1 = x >= r1.left() && x <= r1.right();
  const bool on2 = x >= r2.left() && x <= r2.right();
  m_nPressX = x;
  m_bPressUndecided = false;
  if (on1 && on2 && m_nPos[kFirst] == m_nPos[kSecond]) {
    // One thumb over the other: which one the user meant shows in the direction of the
    // first move.
    m_nPressed = m_nFocus;
    m_bPressUndecided = true;
    m_nDragOffset = x - r1.left();
  } else if (on1 || on2) {
    Thumb hit = on1 ? kFirst : kSecond;
    if (on1 && on2)
      hit = std::abs(x - r1.center().x()) <= std::abs(x - r2.center().x()) ? kFirst : kSecond;
    m_nPressed = hit;
    m_nDragOffset = x - (hit == kFirst ? r1 : r2).left();
  } else {
    // On the groove: the nearer thumb jumps there and follows the mouse from there on.
    const int d1 = std::abs(x - r1.center().x());
    const int d2 = std::abs(x - r2.center().x());
    Thumb near = d1 < d2 ? kFirst : kSecond;
    if (d1 == d2) near = x < r1.center().x() ? kFirst : kSecond;
    m_nPressed = near;
    m_nDragOffset = r1.width() / 2;
    MoveBy(near, PixelToPosition(x - m_nDragOffset));
  }
  m_nFocus = m_nPressed;
  update();
  event->accept();
}

void CDualSlider::mouseMoveEvent(QMouseEvent* event) {
  if (m_nPressed == kNone) {
    event->ignore();
    return;
  }
  const int x = event->position().toPoint().x();
  if (m_bPressUndecided) {
    if (x == m_nPressX) return;
    m_nPressed = m_nFocus = x < m_nPressX ? kFirst : kSecond;
    m_bPressUndecided = false;
  }
  MoveBy(m_nPressed, PixelToPosition(x - m_nDragOffset));
  event->accept();
}

void CDualSlider::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || m_nPressed == kNone) {
    event->ignore();
    return;
  }
  m_nPressed = kNone;
  m_bPressUndecided = false;
  update();
  event->accept();
  emit released();
}

void CDualSlider::keyPressEvent(QKeyEvent* event) {
  int step = 0;
  switch (event->key()) {
    case Qt::Key_Left:
      step = -1;
      break;
    case Qt::Key_Right:
      step = 1;
      break;
    case Qt::Key_PageUp:
      step = kPageStep;
      break;
    case Qt::Key_PageDown:
      step = -kPageStep;
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  const int before = m_nPos[m_nFocus];
  MoveBy(m_nFocus, before + step);
  if (m_nPos[m_nFocus] != before) emit released();
  event->accept();
}

void CDualSlider::focusInEvent(QFocusEvent* event) {
  // Entering with Tab starts at the first thumb, with Shift+Tab at the second.
  if (event->reason() == Qt::TabFocusReason)
    m_nFocus = kFirst;
  else if (event->reason() == Qt::BacktabFocusReason)
    m_nFocus = kSecond;
  QWidget::focusInEvent(event);
  update();
}

bool CDualSlider::focusNextPrevChild(bool next) {
  if (hasFocus()) {
    if (next && m_nFocus == kFirst) {
      m_nFocus = kSecond;
      update();
      return true;
    }
    if (!next && m_nFocus == kSecond) {
      m_nFocus = kFirst;
      update();
      return true;
    }
  }
  return QWidget::focusNextPrevChild(next);
}
