// CDualSlider: a horizontal slider with two thumbs over one integer range, for choosing a
// lower and an upper bound together (the level dialog's minimum and maximum). The first
// thumb never passes the second; any larger gap between them is the owner's business.
#pragma once

#include <QWidget>

class QStyleOptionSlider;

class CDualSlider : public QWidget {
  Q_OBJECT

 public:
  enum Thumb { kNone = -1, kFirst = 0, kSecond = 1 };
  static constexpr int kPageStep = 10;

  explicit CDualSlider(QWidget* parent = nullptr);

  // Setting the range or a position never emits. The positions are clamped into the
  // range; a position set past the other thumb pushes that thumb along, so that the
  // owner can move both in any order.
  void SetRange(int min, int max);
  void SetFirstPos(int pos);
  void SetSecondPos(int pos);
  void SetPositions(int first, int second);
  int GetFirstPos() const { return m_nPos[kFirst]; }
  int GetSecondPos() const { return m_nPos[kSecond]; }
  // With crossing allowed, a dragged or stepped thumb is reported wherever the user takes
  // it, past the other thumb too; the owner then places the thumbs as its rules say.
  void SetCrossing(bool allow) { m_bCrossing = allow; }
  int GetRangeMin() const { return m_nMin; }
  int GetRangeMax() const { return m_nMax; }

  // The thumb that the keyboard moves (Tab and Shift+Tab switch between them).
  Thumb GetFocusThumb() const { return m_nFocus; }
  // The x coordinate of a thumb's centre for a position, in widget coordinates.
  int PositionToPixel(int pos) const;
  // Half the length of a thumb: the distance from either end of the widget to the
  // centre of a thumb at that end, so that a widget laid out beside this one can line
  // its columns up with the thumb positions.
  int TrackMargin() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // While a thumb is dragged with the mouse or stepped with the keyboard.
  void firstMoved(int pos);
  void secondMoved(int pos);
  // When a drag ends, and after each keyboard step.
  void released();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void InitStyleOption(QStyleOptionSlider* option, Thumb thumb) const;
  QRect HandleRect(Thumb thumb) const;
  int PixelToPosition(int x) const;
  // Moves a thumb as the user asks, stopping at the other thumb; emits when it moved.
  void MoveBy(Thumb thumb, int newPos);

  int m_nMin = 0;
  int m_nMax = 100;
  int m_nPos[2] = {0, 100};
  Thumb m_nFocus = kFirst;
  Thumb m_nPressed = kNone;
  // Both thumbs lay under the press: the first move decides which one follows.
  bool m_bPressUndecided = false;
  int m_nPressX = 0;
  int m_nDragOffset = 0;
  bool m_bCrossing = false;
};
