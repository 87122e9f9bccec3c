// CDirectionButton: four arrows in a cross that move something (a shift, a position) by a
// step. Ctrl makes the step fine (0.1), Shift coarse (10). Holding the mouse on an arrow
// repeats the move; with the focus, the arrow keys do the same.
#pragma once

#include <QTimer>
#include <QWidget>

class CDirectionButton : public QWidget {
  Q_OBJECT

 public:
  // The directions as DirectionPressed reports them.
  enum Direction { kUp = 0, kDown = 1, kRight = 2, kLeft = 3, kNone = -1 };

  explicit CDirectionButton(QWidget* parent = nullptr);

  // 0.1 with Ctrl held, 10 with Shift held (Ctrl wins when both are), else 1.
  static double StepFor(Qt::KeyboardModifiers modifiers);
  // The move a press makes: up Y by -step, down Y by +step, right X by +step, left X by
  // -step. False (and no move) for anything but the four directions.
  static bool Offset(int direction, double step, double* dx, double* dy);
  // The arrow under a point of the widget, kNone between them.
  int DirectionAt(const QPoint& pos) const;
  // The area an arrow occupies.
  QRect ArrowRect(int direction) const;
  // The arrow held down by the mouse, kNone when none.
  int PressedDirection() const { return m_nPressed; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // up: Y by -step; down: Y by +step; right: X by +step; left: X by -step.
  void DirectionPressed(int direction, double step);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void Fire();
  void Release();

  int m_nPressed = kNone;
  // Whether the mouse is still over the pressed arrow (a press dragged off it pauses).
  bool m_bOver = false;
  Qt::KeyboardModifiers m_Modifiers;
  QTimer m_Repeat;
};
