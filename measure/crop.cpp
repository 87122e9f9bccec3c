#include "measure/crop.h"

#include <algorithm>
#include <cstdio>

void CCrop::OnLButtonDown(int x, int y, bool shift, bool captureHeldElsewhere) {
  if (captureHeldElsewhere) return;
  m_nState = 1;
  m_nAnchorX = m_nX = x;
  m_nAnchorY = m_nY = y;
  m_bShift = shift;
}

bool CCrop::OnMouseMove(int x, int y) {
  if (m_nState != 1) return false;
  m_nX = x;
  m_nY = y;
  return true;
}

bool CCrop::OnLButtonUp(int x, int y) {
  if (m_nState != 1) return false;
  m_nX = x;
  m_nY = y;
  m_nState = 2;
  return true;
}

RECT CCrop::GetRect() const {
  RECT r;
  if (m_nState == 0) return r;
  r.left = std::min(m_nAnchorX, m_nX);
  r.top = std::min(m_nAnchorY, m_nY);
  r.right = std::max(m_nAnchorX, m_nX) + 1;
  r.bottom = std::max(m_nAnchorY, m_nY) + 1;
  return r;
}

CCropRange CropRangeFromCorners(int ax, int ay, int bx, int by, int height, bool bottomUp) {
  CCropRange r;
  r.x1 = std::min(ax, bx) + 1;
  r.x2 = std::max(ax, bx);
  r.y1 = std::min(ay, by) + 1;
  r.y2 = std::max(ay, by);
  if (bottomUp) {
    r.y1 = height - r.y1 + 1;
    r.y2 = height - r.y2 + 1;
  }
  return r;
}

bool CheckCropRange(const CCropRange& entered, int width, int height, bool bottomUp, RECT* rect,
                    std::string* message) {
  CCropRange r = entered;
  auto within = [](int v, int n) { return v >= 1 && v <= n; };
  if (!within(r.x1, width) || !within(r.x2, width) || !within(r.y1, height) ||
      !within(r.y2, height)) {
    char buf[512];
    std::snprintf(buf, sizeof buf, kCropRangeMessage, 1, width, 1, height);
    *message = buf;
    return false;
  }
  if (bottomUp) {
    r.y1 = height - r.y1 + 1;
    r.y2 = height - r.y2 + 1;
  }
  if (r.x1 >= r.x2) {
    *message = kCropX1X2Message;
    return false;
  }
  if (r.y1 >= r.y2) {
    *message = bottomUp ? kCropY1Y2BottomUpMessage : kCropY1Y2Message;
    return false;
  }
  rect->left = r.x1 - 1;
  rect->top = r.y1 - 1;
  rect->right = r.x2;
  rect->bottom = r.y2;
  return true;
}
