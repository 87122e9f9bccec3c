// The arrows sit in a 3 × 3 grid (up above the centre, down below, left and right beside
// it), each drawn as a push-button panel with the style's arrow, so the control follows
// the desktop's look. A held arrow fires once at once, then after the style's auto-repeat
// delay at its interval, like a scroll-bar arrow.
#include "controls/directionbutton.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace {
constexpr int kCell = 16;  // the side of one arrow's square in the size hint
constexpr int kRepeatDelay = 400;
constexpr int kRepeatInterval = 60;
}  // namespace

CDirectionButton::CDirectionButton(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_Hover);
  m_Repeat.setSingleShot(false);
  connect(&m_Repeat, &QTimer::timeout, this, [this] {
    m_Repeat.setInterval(kRepeatInterval);
    if (m_bOver) Fire();
  });
}

bool CDirectionButton::Offset(int direction, double step, double* dx, double* dy) {
  *dx = *dy = 0.0;
  switch (direction) {
    case kUp:
      *dy = -step;
      return true;
    case kDown:
      *dy = step;
      return true;
    case kRight:
      *dx = step;
      return true;
    case kLeft:
      *dx = -step;
      return true;
    default:
      return false;
  }
}

double CDirectionButton::StepFor(Qt::KeyboardModifiers modifiers) {
  if (modifiers & Qt::ControlModifier) return 0.1;
  if (modifiers & Qt::ShiftModifier) return 10.0;
  return 1.0;
}

QSize CDirectionButton::sizeHint() const {
  return {3 * kCell + 2, 3 * kCell + 2};
}
QSize CDirectionButton::minimumSizeHint() const {
  return {3 * 10, 3 * 10};
}

QRect CDirectionButton::ArrowRect(int direction) const {
  // The grid is square and centred in the widget.
  const int side = std::min(width(), height());
  const int cell = side / 3;
  const int left = (width() - 3 * cell) / 2;
  const int top = (height() - 3 * cell) / 2;
  switch (direction) {
    case kUp:
      return {left + cell, top, cell, cell};
    case kDown:
      return {left + cell, top + 2 * cell, cell, cell};
    case kRight:
      return {left + 2 * cell, top + cell, cell, cell};
    case kLeft:
      return {left, top + cell, cell, cell};
    default:
      return {};
  }
}

int CDirectionButton::DirectionAt(const QPoint& pos) const {
  for (int d : {kUp, kDown, kRight, kLeft})
    if (ArrowRect(d).contains(pos)) return d;
  return kNone;
}

void CDirectionButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyle* st = style();
  static constexpr QStyle::PrimitiveElement kArrows[] = {
      QStyle::PE_IndicatorArrowUp, QStyle::PE_IndicatorArrowDown, QStyle::PE_IndicatorArrowRight,
      QStyle::PE_IndicatorArrowLeft};
  for (int d : {kUp, kDown, kRight, kLeft}) {
    QStyleOptionButton panel;
    panel.initFrom(this);
    panel.rect = ArrowRect(d);
    const bool down = m_nPressed == d && m_bOver;
    panel.state |= down ? QStyle::State_Sunken : QStyle::State_Raised;
    if (!isEnabled()) panel.state &= ~QStyle::State_Enabled;
    if (!(underMouse() && panel.rect.contains(mapFromGlobal(QCursor::pos()))))
      panel.state &= ~QStyle::State_MouseOver;
    st->drawPrimitive(QStyle::PE_PanelButtonCommand, &panel, &painter, this);

    QStyleOption arrow;
    arrow.initFrom(this);
    const int margin = std::max(2, panel.rect.width() / 5);
    arrow.rect = panel.rect.adjusted(margin, margin, -margin, -margin);
    if (down)
      arrow.rect.translate(st->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &panel, this),
                           st->pixelMetric(QStyle::PM_ButtonShiftVertical, &panel, this));
    st->drawPrimitive(kArrows[d], &arrow, &painter, this);
  }
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    // The empty centre cell carries the focus mark.
    focus.rect = ArrowRect(kUp).translated(0, ArrowRect(kUp).height()).adjusted(2, 2, -2, -2);
    st->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
  }
}

void CDirectionButton::Fire() {
  if (m_nPressed == kNone) return;
  emit DirectionPressed(m_nPressed, StepFor(m_Modifiers));
}

void CDirectionButton::Release() {
  m_Repeat.stop();
  m_nPressed = kNone;
  m_bOver = false;
  update();
}

void CDirectionButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  const int d = DirectionAt(event->position().toPoint());
  if (d == kNone) return;
  m_nPressed = d;
  m_bOver = true;
  m_Modifiers = event->modifiers();
  update();
  m_Repeat.start(kRepeatDelay);
  Fire();
}

void CDirectionButton::mouseMoveEvent(QMouseEvent* event) {
  if (m_nPressed == kNone) return;
  m_Modifiers = event->modifiers();
  const bool over = ArrowRect(m_nPressed).contains(event->position().toPoint());
  if (over != m_bOver) {
    m_bOver = over;
    update();
  }
}

void CDirectionButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && m_nPressed != kNone) Release();
}

void CDirectionButton::keyPressEvent(QKeyEvent* event) {
  int d = kNone;
  switch (event->key()) {
    case Qt::Key_Up:
      d = kUp;
      break;
    case Qt::Key_Down:
      d = kDown;
      break;
    case Qt::Key_Right:
      d = kRight;
      break;
    case Qt::Key_Left:
      d = kLeft;
      break;
    case Qt::Key_Control:
    case Qt::Key_Shift:
      // A modifier pressed while the mouse holds an arrow changes the repeated step.
      m_Modifiers = event->modifiers();
      QWidget::keyPressEvent(event);
      return;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  // The keyboard's own auto-repeat repeats the move.
  emit DirectionPressed(d, StepFor(event->modifiers()));
}

void CDirectionButton::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Control || event->key() == Qt::Key_Shift)
    m_Modifiers = event->modifiers();
  QWidget::keyReleaseEvent(event);
}

void CDirectionButton::focusOutEvent(QFocusEvent* event) {
  if (m_nPressed != kNone) Release();
  QWidget::focusOutEvent(event);
}
