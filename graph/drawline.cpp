#include "graph/drawline.h"

#include <algorithm>
#include <cmath>

#include "engine/ralimage.h"

void CDrawLine::Start(int x, int y, int band) {
  m_nX1 = m_nX2 = x;
  m_nY1 = m_nY2 = y;
  m_nState = 1;
  m_bBand = band;
}

void CDrawLine::MoveTo(int x, int y) {
  m_nX2 = x;
  m_nY2 = y;
}

void CDrawLine::Save() {
  m_nSavedState = m_nState;
  m_bSavedBand = m_bBand;
  m_nSavedX1 = m_nX1;
  m_nSavedY1 = m_nY1;
  m_nSavedX2 = m_nX2;
  m_nSavedY2 = m_nY2;
}

void CDrawLine::Restore() {
  m_nState = m_nSavedState;
  m_bBand = m_bSavedBand;
  m_nX1 = m_nSavedX1;
  m_nY1 = m_nSavedY1;
  m_nX2 = m_nSavedX2;
  m_nY2 = m_nSavedY2;
}

void CDrawLine::GetProfile(double* x1, double* y1, double* x2, double* y2, double* width) const {
  if (!m_bBand) {
    *x1 = m_nX1;
    *y1 = m_nY1;
    *x2 = m_nX2;
    *y2 = m_nY2;
    *width = 1.0;
    return;
  }
  const double dx = m_dDirX, dy = m_dDirY;
  const double ex = m_nX2 - m_nX1, ey = m_nY2 - m_nY1;
  const double along = dx * ex + dy * ey, across = dx * ey - dy * ex;
  *x1 = m_nX1 - dy * across / 2.0;
  *y1 = m_nY1 + dx * across / 2.0;
  *x2 = *x1 + along * dx;
  *y2 = *y1 + along * dy;
  *width = std::fabs(std::trunc(across)) + 1.0;
}

double CDrawLine::GetLength() const {
  double x1, y1, x2, y2, w;
  GetProfile(&x1, &y1, &x2, &y2, &w);
  return std::hypot(x2 - x1, y2 - y1);
}

bool CDrawLine::HitTest(double px, double py) const {
  double x1, y1, x2, y2, w;
  GetProfile(&x1, &y1, &x2, &y2, &w);
  const double len = std::hypot(x2 - x1, y2 - y1);
  if (len == 0.0) return std::hypot(px - x1, py - y1) <= (m_bBand ? std::max(w / 2.0, 6.0) : 6.0);
  const double ux = (x2 - x1) / len, uy = (y2 - y1) / len;
  const double along = (px - x1) * ux + (py - y1) * uy;
  const double across = std::fabs((py - y1) * ux - (px - x1) * uy);
  if (m_bBand) return across <= std::max(w / 2.0, 6.0) && along >= -3.0 && along <= len + 3.0;
  // Distance to the segment.
  const double t = std::clamp(along, 0.0, len);
  return std::hypot(px - (x1 + t * ux), py - (y1 + t * uy)) <= 6.0;
}

int CGraph2D::GetCurrentState() const {
  if (m_nCurrent < 0 || m_nCurrent >= GetSize()) return 0;
  return GetLine(m_nCurrent).m_nState;
}

int CGraph2D::OnLButtonDown(int x, int y, bool shift, bool ctrl, bool captureHeldElsewhere) {
  if (ctrl) return Pick(x, y), 1;
  m_nPrevCurrent = m_nCurrent;
  CDrawLineGraph2D line;
  int axis = 0;
  if (m_pImage && m_pImage->IsSpectrum(&axis)) {
    // The dispersion runs along row `axis` of the linear transformation.
    tagMATRIX2_2 m;
    m_pImage->GetLTMtx(&m);
    const double a = axis == 0 ? m.m11 : m.m21, b = axis == 0 ? m.m12 : m.m22;
    const double n = std::hypot(a, b);
    if (n > 0.0) {
      line.m_dDirX = line.m_dPhyDirX = a / n;
      line.m_dDirY = line.m_dPhyDirY = b / n;
      line.m_bPhyDir = 1;
    }
  }
  m_Lines.push_back(line);
  m_nCurrent = GetSize() - 1;
  if (captureHeldElsewhere) return 1;
  CDrawLineGraph2D& cur = m_Lines.back();
  cur.Save();
  cur.Start(x, y, shift ? 1 : 0);
  return 1;
}

int CGraph2D::OnMouseMove(int x, int y) {
  if (GetCurrentState() != 1) return 0;
  GetLine(m_nCurrent).MoveTo(x, y);
  return 1;
}

int CGraph2D::OnLButtonUp(int x, int y) {
  if (GetCurrentState() != 1) return -1;
  CDrawLineGraph2D& cur = GetLine(m_nCurrent);
  cur.MoveTo(x, y);
  if (std::hypot(cur.m_nX2 - cur.m_nX1, cur.m_nY2 - cur.m_nY1) > 3.0) {
    cur.m_nState = 2;
    return 1;
  }
  cur.Restore();
  m_Lines.erase(m_Lines.begin() + m_nCurrent);
  m_nCurrent = m_nPrevCurrent < GetSize() ? m_nPrevCurrent : GetSize() - 1;
  return 0;
}

int CGraph2D::Pick(double x, double y) {
  std::vector<int> hits;
  for (int i = 0; i < GetSize(); ++i)
    if (GetLine(i).m_nState == 2 && GetLine(i).HitTest(x, y)) hits.push_back(i);
  if (hits.empty()) return 0;
  const auto it = std::find(hits.begin(), hits.end(), m_nCurrent);
  if (it == hits.end())
    m_nCurrent = hits.front();
  else
    m_nCurrent = std::next(it) == hits.end() ? hits.front() : *std::next(it);
  return 1;
}

void CGraph2D::RemoveAll() {
  m_Lines.clear();
  m_nCurrent = m_nPrevCurrent = -1;
  m_nFirstVisible = 0;
}

void CGraph2D::SetCurrentLine(int x1, int y1, int x2, int y2) {
  if (m_nCurrent < 0 || m_nCurrent >= GetSize()) return;
  CDrawLineGraph2D& cur = GetLine(m_nCurrent);
  cur.m_nX1 = x1;
  cur.m_nY1 = y1;
  cur.m_nX2 = x2;
  cur.m_nY2 = y2;
}

void CGraph2D::SwapAxis() {
  if (m_nCurrent < 0 || m_nCurrent >= GetSize()) return;
  CDrawLineGraph2D& cur = GetLine(m_nCurrent);
  const double a = cur.m_dDirX, b = cur.m_dDirY;
  if (a == 1.0 && b == 0.0) {
    cur.m_dDirX = 0.0;
    cur.m_dDirY = 1.0;
  } else if (a == 0.0 && b == 1.0) {
    cur.m_dDirX = 1.0;
    cur.m_dDirY = 0.0;
  } else {
    cur.m_dDirX = -b;
    cur.m_dDirY = a;
  }
}
