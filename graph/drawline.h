// The profile lines drawn on an image: CDrawLine is one dragged line (or band),
// CDrawLineGraph2D adds the dispersion direction of a spectrum, and CGraph2D keeps the lines
// of one image window with the current one and follows the mouse of the profile tool.
// Coordinates are 0-based image pixels.
#pragma once

#include <vector>

class CRalImage;

class CDrawLine {
 public:
  virtual ~CDrawLine() = default;

  // The drag: starts at a pixel (state 1), follows the pointer, ends (state 2). Save and
  // Restore keep the state and coordinates from before the press, for an abandoned drag.
  void Start(int x, int y, int band);
  void MoveTo(int x, int y);
  void Save();
  void Restore();

  // The profile taken along the line: a plain line runs from its start to its end with
  // width 1; a band runs through the middle of the dragged rectangle along the dispersion
  // direction (dx, dy), as wide as the rectangle is across it: along = dx Δx + dy Δy,
  // across = dx Δy − dy Δx, start (x1 − dy across / 2, y1 + dx across / 2), end start +
  // along (dx, dy), width |trunc(across)| + 1.
  void GetProfile(double* x1, double* y1, double* x2, double* y2, double* width) const;
  double GetLength() const;
  // Whether a point hits the line: within 6 pixels of a plain line; within max(width / 2,
  // 6) across a band and between −3 and length + 3 along it.
  bool HitTest(double px, double py) const;

  int m_nState = 0;  // 0 none, 1 dragging, 2 done
  int m_bBand = 0;   // Shift was held at the press
  int m_nX1 = 0, m_nY1 = 0, m_nX2 = 0, m_nY2 = 0;
  double m_dDirX = 1.0, m_dDirY = 0.0;  // dispersion direction

 private:
  int m_nSavedState = 0, m_bSavedBand = 0;
  int m_nSavedX1 = 0, m_nSavedY1 = 0, m_nSavedX2 = 0, m_nSavedY2 = 0;
};

class CDrawLineGraph2D : public CDrawLine {
 public:
  int m_bPhyDir = 0;  // a physical dispersion direction was set
  double m_dPhyDirX = 1.0, m_dPhyDirY = 0.0;
};

class CGraph2D {
 public:
  void SetImage(const CRalImage* image) { m_pImage = image; }
  const CRalImage* GetImage() const { return m_pImage; }

  // The profile tool's mouse. A press without Ctrl appends a line and starts its drag
  // (nothing when another window holds the capture); with Ctrl it picks the line under
  // the point (see Pick). Returns 1 when the window must redraw.
  int OnLButtonDown(int x, int y, bool shift, bool ctrl, bool captureHeldElsewhere = false);
  // While the current line is dragged its end follows; returns 1 when it moved.
  int OnMouseMove(int x, int y);
  // Ends the drag: 1 when the line was kept (longer than 3 pixels), 0 when it was
  // abandoned (the line removed, the previous current line current again), -1 when no
  // drag was under way.
  int OnLButtonUp(int x, int y);
  // Ctrl-click: one hit line becomes current; among several, the next after the current
  // one (wrapping), or the first when the current one is not hit. Returns 1 when one was hit.
  int Pick(double x, double y);

  int GetSize() const { return static_cast<int>(m_Lines.size()); }
  const CDrawLineGraph2D& GetLine(int i) const { return m_Lines[static_cast<std::size_t>(i)]; }
  CDrawLineGraph2D& GetLine(int i) { return m_Lines[static_cast<std::size_t>(i)]; }
  int GetCurrent() const { return m_nCurrent; }
  void SetCurrent(int i) { m_nCurrent = i; }
  // State of the current line, 0 when there is none.
  int GetCurrentState() const;
  void RemoveAll();
  // Moves the current line's end points (the dialog's range edits).
  void SetCurrentLine(int x1, int y1, int x2, int y2);
  // The dispersion direction of the current line turned: (1, 0) ↔ (0, 1), another (a, b)
  // becomes (−b, a).
  void SwapAxis();

  bool IsMarkVisible() const { return m_bMarkVisible; }
  void SetMarkVisible(bool on) { m_bMarkVisible = on; }
  int GetFirstVisible() const { return m_nFirstVisible; }

 private:
  int m_nCurrent = -1;
  int m_nPrevCurrent = -1;
  const CRalImage* m_pImage = nullptr;
  bool m_bMarkVisible = true;
  int m_nFirstVisible = 0;
  std::vector<CDrawLineGraph2D> m_Lines;
};
