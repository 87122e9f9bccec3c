// Reference points and the placement they give: a rigid motion (turn and shift, no scale)
// from two point pairs, or a shift from one.
#include <cmath>

#include "engine/ralimage.h"

void CRalImage::InitStdPt() {
  for (int i = 0; i < kStdPtCount; ++i) {
    m_StdPt[i] = CfPoint();
    m_bStdPtValid[i] = false;
  }
}

void CRalImage::SetStdPt(int index, const CfPoint& point) {
  if (index < 0 || index >= kStdPtCount || !std::isfinite(point.x) || !std::isfinite(point.y))
    return;
  m_StdPt[index] = point;
  m_bStdPtValid[index] = true;
}

int CRalImage::IsValidStdPt(int index) const {
  return index >= 0 && index < kStdPtCount && m_bStdPtValid[index] ? 1 : 0;
}

CfPoint CRalImage::GetStdPt(int index) const {
  return IsValidStdPt(index) ? m_StdPt[index] : CfPoint();
}

int CRalImage::GetFitPrm(const CRalImage& target, double* dx, double* dy, double* rotation) const {
  double sx = 0, sy = 0, turn = 0;
  const bool ok = IsValidStdPt(0) && target.IsValidStdPt(0);
  if (ok) {
    CfPoint here = m_StdPt[0], there = target.m_StdPt[0];
    if (IsValidStdPt(1) && target.IsValidStdPt(1)) {
      const CfPoint& h1 = m_StdPt[1];
      const CfPoint& t1 = target.m_StdPt[1];
      turn = std::atan2(h1.y - here.y, h1.x - here.x) - std::atan2(t1.y - there.y, t1.x - there.x);
      here = CfPoint((here.x + h1.x) / 2, (here.y + h1.y) / 2);
      there = CfPoint((there.x + t1.x) / 2, (there.y + t1.y) / 2);
    }
    // Placement: p ↦ c + R(θ) (p − c) + d with c the target's centre; solve for d.
    const double c = std::cos(turn), s = std::sin(turn);
    const double cx = (target.GetWidth() - 1) / 2.0, cy = (target.GetHeight() - 1) / 2.0;
    sx = here.x - (cx + c * (there.x - cx) - s * (there.y - cy));
    sy = here.y - (cy + s * (there.x - cx) + c * (there.y - cy));
    turn = std::remainder(turn * (180.0 / M_PI), 360.0);
    if (turn == 0) turn = 0;  // no negative zero
  }
  if (dx) *dx = sx;
  if (dy) *dy = sy;
  if (rotation) *rotation = turn;
  return ok ? 1 : 0;
}
