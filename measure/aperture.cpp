// Circular aperture photometry: marks, their pixel membership and statistics, the list
// rows, the outputs and the table extension.
#include "measure/aperture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/imgpixelinfo.h"
#include "engine/imgpsf.h"
#include "engine/imgtables.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "imagemodel/fitsheader.h"
#include "measure/phottable.h"

namespace {

int Trunc(double v) {
  return static_cast<int>(std::trunc(v));
}

// Pixel value as the circular statistics take it: truncated toward zero; false for a
// blank pixel.
bool TakeValue(const CImage& image, double raw, double* v) {
  if (std::isnan(raw)) return false;
  const double t = std::trunc(raw);
  if (image.IsBlankUsed() && t == static_cast<double>(image.GetBlank())) return false;
  *v = t;
  return true;
}

}  // namespace

void MidpointTables(int a, int b, std::vector<int>* perDy, std::vector<int>* perDx) {
  a = std::max(a, 0);
  b = std::max(b, 0);
  perDy->assign(static_cast<std::size_t>(b) + 1, -1);
  perDx->assign(static_cast<std::size_t>(a) + 1, -1);
  const int r = std::max(a, b);
  auto record = [&](int ox, int oy) {
    if (r > 0 && a != b) {
      ox = ox * a / r;
      oy = oy * b / r;
    }
    if (oy <= b)
      (*perDy)[static_cast<std::size_t>(oy)] = std::max((*perDy)[static_cast<std::size_t>(oy)], ox);
    if (ox <= a)
      (*perDx)[static_cast<std::size_t>(ox)] = std::max((*perDx)[static_cast<std::size_t>(ox)], oy);
  };
  int err = r, u = 0, v = r;
  while (v >= u) {
    record(u, v);
    record(v, u);
    err -= 2 * u + 1;
    if (err < 0) {
      err += 2 * v - 2;
      v -= 1;
    }
    u += 1;
  }
}

namespace {

int TableAt(const std::vector<int>& t, int i) {
  return i >= 0 && static_cast<std::size_t>(i) < t.size() ? t[static_cast<std::size_t>(i)] : -1;
}

double Clamp(double v, double lo, double hi) {
  return v < lo ? lo : v > hi ? hi : v;
}

}  // namespace

// ---- CApertureMark

void CApertureMark::LimitRadii() {
  auto limit = [](double& outer, double& inner, bool hole) {
    if (hole && outer > kMaxRadius) {
      inner = kMaxRadius - (outer - inner);
      outer = kMaxRadius;
    } else if (!hole && outer > kMaxRadius) {
      outer = kMaxRadius;
    }
  };
  const bool hole = m_dInnerX > 0.0;
  limit(m_dOuterX, m_dInnerX, hole);
  limit(m_dOuterY, m_dInnerY, m_dInnerY > 0.0);
}

void CApertureMark::BuildTables() {
  if (!Round()) {
    m_OuterDx.clear();
    m_OuterDy.clear();
    m_InnerDx.clear();
    m_InnerDy.clear();
    return;
  }
  MidpointTables(Trunc(m_dOuterX), Trunc(m_dOuterY), &m_OuterDy, &m_OuterDx);
  if (m_dInnerX >= 0.0) {
    MidpointTables(Trunc(m_dInnerX), Trunc(m_dInnerY), &m_InnerDy, &m_InnerDx);
  } else {
    m_InnerDy.clear();
    m_InnerDx.clear();
  }
}

void CApertureMark::SetGeometry(double cx, double cy, double outerX, double outerY, double innerX,
                                double innerY, const CImage* image) {
  m_dCx = cx;
  m_dCy = cy;
  m_dOuterX = outerX;
  m_dOuterY = outerY;
  m_dInnerX = innerX;
  m_dInnerY = innerY;
  LimitRadii();
  BuildTables();
  if (image) Measure(*image);
}

bool CApertureMark::Contains(int px, int py) const {
  if (Round()) {
    const int ix = Trunc(m_dCx + 0.5), iy = Trunc(m_dCy + 0.5);
    const int ox = Trunc(m_dOuterX), oy = Trunc(m_dOuterY);
    if (px < ix - ox || px >= ix + ox + 1 || py < iy - oy || py >= iy + oy + 1) return false;
    const int dx = std::abs(px - ix), dy = std::abs(py - iy);
    return dx <= TableAt(m_OuterDy, dy) && dx > TableAt(m_InnerDy, dy);
  }
  auto inside = [&](double rx, double ry) {
    return px >= Trunc(m_dCx - rx) && px < Trunc(m_dCx + rx) + 1 && py >= Trunc(m_dCy - ry) &&
           py < Trunc(m_dCy + ry) + 1;
  };
  if (!inside(m_dOuterX, m_dOuterY)) return false;
  return !(m_dInnerX > 0.0 && inside(m_dInnerX, m_dInnerY));
}

RECT CApertureMark::GetBox(const CImage& image) const {
  RECT box;
  if (Round()) {
    const int ix = Trunc(m_dCx + 0.5), iy = Trunc(m_dCy + 0.5);
    const int ox = Trunc(m_dOuterX + 0.5), oy = Trunc(m_dOuterY + 0.5);
    box = RECT{ix - ox, iy - oy, ix + ox + 1, iy + oy + 1};
  } else {
    box = RECT{Trunc(m_dCx - m_dOuterX - 0.5), Trunc(m_dCy - m_dOuterY - 0.5),
               Trunc(m_dCx + m_dOuterX + 0.5) + 1, Trunc(m_dCy + m_dOuterY + 0.5) + 1};
  }
  RECT clipped;
  IntersectRect(&clipped, box, RECT{0, 0, image.GetWidth(), image.GetHeight()});
  return clipped;
}

template <typename Span>
void CApertureMark::ForEachSpan(const RECT& box, Span span) const {
  for (int y = box.top; y < box.bottom; ++y) {
    if (!Round()) {
      // Squares: the whole row of the box, each pixel tested.
      int start = -1;
      for (int x = box.left; x <= box.right; ++x) {
        const bool in = x < box.right && Contains(x, y);
        if (in && start < 0) start = x;
        if (!in && start >= 0) {
          span(y, start, x);
          start = -1;
        }
      }
      continue;
    }
    // Circles: the member columns of a row straight from the boundary tables.
    const int ix = Trunc(m_dCx + 0.5), iy = Trunc(m_dCy + 0.5);
    const int ox = Trunc(m_dOuterX), oy = Trunc(m_dOuterY);
    if (y < iy - oy || y >= iy + oy + 1) continue;
    const int dy = std::abs(y - iy);
    const int wo = TableAt(m_OuterDy, dy), wi = TableAt(m_InnerDy, dy);
    if (wo < 0) continue;
    const int lo = std::max({box.left, ix - ox}), hi = std::min(box.right, ix + ox + 1);
    auto clipped = [&](int a, int b) {  // [a, b) within [lo, hi)
      a = std::max(a, lo);
      b = std::min(b, hi);
      if (a < b) span(y, a, b);
    };
    if (wi < 0) {
      clipped(ix - wo, ix + wo + 1);
    } else {
      clipped(ix - wo, ix - wi);
      clipped(ix + wi + 1, ix + wo + 1);
    }
  }
}

void CApertureMark::Measure(const CImage& image) {
  m_nPixels = 0;
  m_dTotal = 0.0;
  m_dVariance = 0.0;
  m_dStdDev = 0.0;
  const RECT box = GetBox(image);
  if (box.Width() <= 0 || box.Height() <= 0) return;
  thread_local std::vector<double> row, taken;
  row.resize(static_cast<std::size_t>(box.Width()));
  taken.clear();
  ForEachSpan(box, [&](int y, int x0, int x1) {
    if (!ReadPhysicalSpan(image, x0, y, x1 - x0, 0, row.data())) return;
    for (int i = 0; i < x1 - x0; ++i) {
      double v;
      if (!TakeValue(image, row[static_cast<std::size_t>(i)], &v)) continue;
      taken.push_back(v);
      m_dTotal += v;
    }
  });
  m_nPixels = static_cast<int>(taken.size());
  if (m_nPixels == 0) return;
  const double mean = m_dTotal / m_nPixels;
  double ss = 0.0;
  for (double v : taken) ss += (v - mean) * (v - mean);
  m_dVariance = ss / m_nPixels;
  m_dStdDev = std::sqrt(m_dVariance);
}

int CApertureMark::Overlap(const CApertureMark& other, const CImage& image, double* sum) const {
  *sum = 0.0;
  int count = 0;
  // Only where both boxes meet can a pixel belong to both.
  RECT box;
  if (!IntersectRect(&box, GetBox(image), other.GetBox(image))) return 0;
  thread_local std::vector<double> row;
  row.resize(static_cast<std::size_t>(box.Width()));
  ForEachSpan(box, [&](int y, int x0, int x1) {
    if (!ReadPhysicalSpan(image, x0, y, x1 - x0, 0, row.data())) return;
    for (int x = x0; x < x1; ++x) {
      double v;
      if (!other.Contains(x, y) || !TakeValue(image, row[static_cast<std::size_t>(x - x0)], &v))
        continue;
      *sum += v;
      ++count;
    }
  });
  return count;
}

void CApertureMark::GetOutline(std::vector<RECT>* segments) const {
  segments->clear();
  if (!Round()) {
    auto rect = [&](double rx, double ry) {
      const int l = Trunc(m_dCx - rx), t = Trunc(m_dCy - ry);
      const int r = Trunc(m_dCx + rx) + 1, b = Trunc(m_dCy + ry) + 1;
      segments->push_back(RECT{l, t, r, t});
      segments->push_back(RECT{r, t, r, b});
      segments->push_back(RECT{r, b, l, b});
      segments->push_back(RECT{l, b, l, t});
    };
    rect(m_dOuterX, m_dOuterY);
    if (m_dInnerX > 0.0) rect(m_dInnerX, m_dInnerY);
    return;
  }
  // Every pixel edge between a member and a non-member.
  const int ix = Trunc(m_dCx + 0.5), iy = Trunc(m_dCy + 0.5);
  const int ox = Trunc(m_dOuterX) + 1, oy = Trunc(m_dOuterY) + 1;
  for (int y = iy - oy; y <= iy + oy; ++y)
    for (int x = ix - ox; x <= ix + ox; ++x) {
      const bool in = Contains(x, y);
      if (in != Contains(x + 1, y)) segments->push_back(RECT{x + 1, y, x + 1, y + 1});
      if (in != Contains(x, y + 1)) segments->push_back(RECT{x, y + 1, x + 1, y + 1});
    }
}

void CApertureMark::BeginEdit(int state, POINT anchor) {
  m_nEditState = state;
  m_Anchor = anchor;
  m_dSavedCx = m_dCx;
  m_dSavedCy = m_dCy;
  m_dSavedOuterX = m_dOuterX;
  m_dSavedOuterY = m_dOuterY;
  m_dSavedInnerX = m_dInnerX;
  m_dSavedInnerY = m_dInnerY;
}

void CApertureMark::Track(POINT point, const CImage* image) {
  const bool square = m_nShape == CIRCLE || m_nShape == SQUARE;
  double dx = point.x - m_Anchor.x, dy = point.y - m_Anchor.y;
  switch (m_nEditState) {
    case DRAWING: {
      if (square) {
        const double m = std::max(std::fabs(dx), std::fabs(dy));
        dx = std::copysign(m, dx);
        dy = std::copysign(m, dy);
      }
      if (Round()) {
        m_dCx = m_Anchor.x;
        m_dCy = m_Anchor.y;
        m_dOuterX = std::min(std::fabs(dx), kMaxRadius);
        m_dOuterY = std::min(std::fabs(dy), kMaxRadius);
      } else {
        dx = std::copysign(std::min(std::fabs(dx), 2004.0), dx);
        dy = std::copysign(std::min(std::fabs(dy), 2004.0), dy);
        m_dCx = m_Anchor.x + dx / 2;
        m_dCy = m_Anchor.y + dy / 2;
        m_dOuterX = std::fabs(dx) / 2;
        m_dOuterY = std::fabs(dy) / 2;
      }
      m_dInnerX = m_dInnerY = -1.0;
      break;
    }
    case MOVING:
      m_dCx = m_dSavedCx + dx;
      m_dCy = m_dSavedCy + dy;
      break;
    case RESIZING: {
      if (point.x < m_dCx) dx = -dx;
      if (point.y < m_dCy) dy = -dy;
      if (square) dx = dy = std::fabs(dx) >= std::fabs(dy) ? dx : dy;
      m_dOuterX = m_dSavedOuterX + dx;
      m_dOuterY = m_dSavedOuterY + dy;
      auto inner = [](double saved, double d, double savedOuter, double& in, double& out) {
        if (saved > 0.0) in = saved + d;
        if (saved > 0.0 && in < 0.0) {
          in = 0.0;
          out = savedOuter - saved;
        }
      };
      inner(m_dSavedInnerX, dx, m_dSavedOuterX, m_dInnerX, m_dOuterX);
      inner(m_dSavedInnerY, dy, m_dSavedOuterY, m_dInnerY, m_dOuterY);
      m_dOuterX = std::max(m_dOuterX, 0.0);
      m_dOuterY = std::max(m_dOuterY, 0.0);
      LimitRadii();
      BeginEdit(RESIZING, point);
      break;
    }
    default:
      return;
  }
  BuildTables();
  if (image) Measure(*image);
}

// ---- CAperture

void CAperture::SetParams(int shape, int method, int starR, int skyIR, int skyDR, int searchG,
                          int searchR) {
  m_nShapeFlag = shape;
  m_nMethod = method;
  m_nStarR = starR;
  m_nSkyIR = skyIR;
  m_nSkyDR = skyDR;
  m_bSearchG = searchG;
  m_nSearchR = searchR;
}

void CAperture::GetParams(int* shape, int* method, int* starR, int* skyIR, int* skyDR, int* searchG,
                          int* searchR) const {
  if (shape) *shape = m_nShapeFlag;
  if (method) *method = m_nMethod;
  if (starR) *starR = m_nStarR;
  if (skyIR) *skyIR = m_nSkyIR;
  if (skyDR) *skyDR = m_nSkyDR;
  if (searchG) *searchG = m_bSearchG;
  if (searchR) *searchR = m_nSearchR;
}

void CAperture::GetDefaults(int* starR, int* skyIR, int* skyDR, int* searchR) const {
  *starR = kDefStarR;
  *skyIR = kDefSkyIR;
  *skyDR = kDefSkyDR;
  *searchR = kDefSearchR;
}

int CAperture::AddStar(int x, int y, CRalImage* image) {
  if (!image || image->IsEmpty() || image->IsColor()) return 0;
  m_pImage = image;
  double cx = x, cy = y;
  POINT at{x, y};
  const int r = m_nSearchR;
  if ((m_nMethod == 1 || m_bSearchG) && r > 0) {
    const RECT area{x - r, y - r, x + r + 1, y + r + 1};
    image->GetCenterOfGravity(cx, cy, &area);
    at = POINT{Trunc(cx + 0.5), Trunc(cy + 0.5)};
  }
  double starR, skyIR, skyW;
  if (m_nMethod == 1) {
    PSF psf(image);
    double m = 0.0;
    if (!psf.Add(at) || !psf.GetMeanPSF(&m)) return 0;
    // The radii grow linearly with the star's full width at half maximum f = 2.3548
    // sigma: the star within 1.5 f, the sky ring from 3 f outwards.
    const double f = 2.354820045829508 * m;
    starR = 1.5 * f + 0.5;
    skyIR = 3.0 * f - 0.5;
    skyW = 2.0;
  } else {
    starR = m_nStarR;
    skyIR = m_nSkyIR;
    skyW = std::max(m_nSkyDR, 0);
  }
  const int method = m_nMethod == 1 ? CApertureMark::AUTO
                     : m_bSearchG   ? CApertureMark::SEMICTRD
                                    : CApertureMark::SEMI;
  AddPair(cx, cy, starR, skyIR, skyIR + skyW, method, image);
  return 1;
}

int CAperture::AddMeasurement(double cx, double cy, double starR, double skyInner, double skyOuter,
                              CRalImage* image) {
  if (!image || image->IsEmpty() || image->IsColor() || !(starR > 0.0) || !(skyOuter >= skyInner))
    return 0;
  m_pImage = image;
  AddPair(cx, cy, starR, skyInner, skyOuter, CApertureMark::SEMI, image);
  return 1;
}

void CAperture::AddPair(double cx, double cy, double starR, double skyInner, double skyOuter,
                        int method, CRalImage* image) {
  CApertureMark star;
  star.m_nType = CApertureMark::STAR;
  star.m_nShape = m_nShapeFlag ? CApertureMark::SQUARE : CApertureMark::CIRCLE;
  star.m_nNumber = m_nNextNumber;
  star.m_nMethod = method;
  star.SetGeometry(cx, cy, starR, starR, -1.0, -1.0, image);
  CApertureMark sky = star;
  sky.m_nType = CApertureMark::SKY;
  sky.SetGeometry(cx, cy, skyOuter, skyOuter, skyInner, skyInner, image);
  m_Marks.push_back(std::move(star));
  m_Marks.push_back(std::move(sky));
  m_nSelected = static_cast<int>(m_Marks.size()) - 1;
  m_bVisible = 1;
  ++m_nNextNumber;
}

void CAperture::CorrectedSky(std::size_t skyMark, int star, int* count, double* total) const {
  const CApertureMark& sky = m_Marks[skyMark];
  *count = sky.m_nPixels;
  *total = sky.m_dTotal;
  if (star < 0 || !m_pImage) return;
  const CApertureMark& s = m_Marks[static_cast<std::size_t>(star)];
  if (s.m_bDeleted) return;
  double sum = 0.0;
  const int n = sky.Overlap(s, *m_pImage, &sum);
  *count -= n;
  *total -= sum;
}

void CAperture::UpdateItems() {
  m_Items.clear();
  int starCount = 0, skyCount = 0;
  double starTotal = 0.0, skyTotal = 0.0;
  int star = -1;
  const int n = static_cast<int>(m_Marks.size());
  for (int i = 0; i < n; ++i) {
    const CApertureMark& m = m_Marks[static_cast<std::size_t>(i)];
    if (m.m_bDeleted) continue;
    CApertureItem item;
    item.m_nMark = i;
    item.m_bSelected = i == m_nSelected;
    if (m.m_nType == CApertureMark::STAR) {
      starCount += m.m_nPixels;
      starTotal += m.m_dTotal;
      star = i;
      item.m_nKind = CApertureItem::STAR;
      item.m_nNumber = m.m_nNumber;
      m_Items.push_back(item);
      continue;
    }
    int c;
    double t;
    CorrectedSky(static_cast<std::size_t>(i), star, &c, &t);
    skyCount += c;
    skyTotal += t;
    item.m_nKind = CApertureItem::SKY;
    item.m_nNumber = star >= 0 ? m_Marks[static_cast<std::size_t>(star)].m_nNumber : m.m_nNumber;
    m_Items.push_back(item);
    int next = i + 1;
    while (next < n && m_Marks[static_cast<std::size_t>(next)].m_bDeleted) ++next;
    if (next >= n || m_Marks[static_cast<std::size_t>(next)].m_nType == CApertureMark::STAR) {
      CApertureItem result;
      result.m_nKind = CApertureItem::RESULT;
      result.m_nNumber = item.m_nNumber;
      result.m_nMark = star;
      result.m_bSelected = star >= 0 && star == m_nSelected;
      result.m_dResult = skyCount != 0 ? starTotal - (skyTotal / skyCount) * starCount : starTotal;
      m_Items.push_back(result);
      starCount = skyCount = 0;
      starTotal = skyTotal = 0.0;
    }
  }
}

int CAperture::DeleteMeasurement(int row) {
  if (row < 0 || row >= GetItemCount()) return 0;
  const int number = m_Items[static_cast<std::size_t>(row)].m_nNumber;
  const std::size_t before = m_Marks.size();
  std::erase_if(m_Marks, [&](const CApertureMark& m) { return m.m_nNumber == number; });
  if (m_Marks.size() == before) return 0;
  for (std::size_t i = 0; i < m_Marks.size(); ++i)
    m_Marks[i].m_nNumber = static_cast<int>(i / 2) + 1;
  m_nNextNumber = m_Marks.empty() ? 1 : m_Marks.back().m_nNumber + 1;
  if (m_nSelected >= static_cast<int>(m_Marks.size())) m_nSelected = -1;
  UpdateItems();
  return 1;
}

void CAperture::DeleteAllMarks() {
  for (CApertureMark& m : m_Marks) m.m_bDeleted = 1;
  m_nNextNumber = 1;
}

int CAperture::FollowPixelMove(const CPixelMove& move, CRalImage* image) {
  m_pImage = image;
  // Whether the move trades the axes (a quarter turn): radii trade with them.
  double ux, uy;
  imgtables::MoveOffset(move, 1.0, 0.0, &ux, &uy);
  const bool swapAxes = std::fabs(uy) > std::fabs(ux);
  std::vector<CApertureMark> kept;
  std::vector<int> index(m_Marks.size(), -1);
  // The star last seen: its number, whether it stays, its centre before and after.
  int starNumber = -1;
  bool starKept = false;
  double sx = 0, sy = 0, snx = 0, sny = 0;
  int dropped = 0, keptBeforeFirstVisible = 0;
  for (std::size_t i = 0; i < m_Marks.size(); ++i) {
    CApertureMark m = m_Marks[i];
    double nx, ny;
    bool keep;
    if (m.m_nType == CApertureMark::SKY && m.m_nNumber == starNumber) {
      // The annulus stays round its star, wherever the star went.
      keep = starKept;
      double dx, dy;
      imgtables::MoveOffset(move, m.m_dCx - sx, m.m_dCy - sy, &dx, &dy);
      nx = snx + dx;
      ny = sny + dy;
    } else {
      keep = move.Apply(m.m_dCx, m.m_dCy, &nx, &ny);
      if (m.m_nType == CApertureMark::STAR) {
        starNumber = m.m_nNumber;
        starKept = keep;
        sx = m.m_dCx;
        sy = m.m_dCy;
        snx = nx;
        sny = ny;
        if (!keep) ++dropped;
      }
    }
    if (!keep) continue;
    if (swapAxes) {
      std::swap(m.m_dOuterX, m.m_dOuterY);
      std::swap(m.m_dInnerX, m.m_dInnerY);
    }
    // A drag under way stood on the old pixels.
    if (m.m_nEditState >= CApertureMark::DRAWING && m.m_nEditState <= CApertureMark::RESIZING)
      m.m_nEditState = CApertureMark::FINISHED;
    m.SetGeometry(nx, ny, m.m_dOuterX, m.m_dOuterY, m.m_dInnerX, m.m_dInnerY, image);
    index[i] = static_cast<int>(kept.size());
    if (static_cast<int>(i) / 2 < m_nFirstVisible) ++keptBeforeFirstVisible;
    kept.push_back(std::move(m));
  }
  auto remap = [&](int mark) {
    return mark >= 0 && static_cast<std::size_t>(mark) < index.size()
               ? index[static_cast<std::size_t>(mark)]
               : -1;
  };
  m_nSelected = remap(m_nSelected);
  m_nSelected2 = remap(m_nSelected2);
  m_nFirstVisible = keptBeforeFirstVisible / 2;
  m_Marks = std::move(kept);
  UpdateItems();
  return dropped;
}

void CAperture::SwapMarks(CAperture& other) {
  std::swap(m_nNextNumber, other.m_nNextNumber);
  std::swap(m_bVisible, other.m_bVisible);
  std::swap(m_nFirstVisible, other.m_nFirstVisible);
  std::swap(m_nSelected, other.m_nSelected);
  std::swap(m_nSelected2, other.m_nSelected2);
  std::swap(m_Items, other.m_Items);
  std::swap(m_Marks, other.m_Marks);
}

int CAperture::GetLiveCount() const {
  return static_cast<int>(std::count_if(m_Marks.begin(), m_Marks.end(),
                                        [](const CApertureMark& m) { return !m.m_bDeleted; })) /
         2;
}

void CAperture::GetRowStats(int row, int* count, double* total, double* mean, double* sd) const {
  const CApertureMark& m = GetMark(GetItem(row).m_nMark);
  if (count) *count = m.m_nPixels;
  if (total) *total = m.m_dTotal;
  if (mean) *mean = m.m_nPixels ? m.m_dTotal / m.m_nPixels : 0.0;
  if (sd) *sd = m.m_dStdDev;
}

void CAperture::HideMarks() {
  m_bVisible = 0;
  m_nFirstVisible = GetItemCount() / 3;
}

void CAperture::ShowAllMarks() {
  m_bVisible = 1;
  m_nFirstVisible = 0;
}

bool CAperture::IsMarkDrawn(int i) const {
  const CApertureMark& m = GetMark(i);
  if (m.m_bDeleted || (m.m_nType == CApertureMark::SKY && m.m_nPixels == 0)) return false;
  return m_bVisible && i / 2 >= m_nFirstVisible;
}

namespace {

// The distance of (x, y) from a mark's centre in the mark's own metric: round for circles
// and ellipses (about the pixel its regions are built round), the larger axis offset for
// squares and rectangles, each axis scaled to the mark's x radius.
double CentreDistance(const CApertureMark& m, double x, double y) {
  const bool round = m.m_nShape == CApertureMark::CIRCLE || m.m_nShape == CApertureMark::ELLIPSE;
  const double cx = round ? Trunc(m.m_dCx + 0.5) : m.m_dCx;
  const double cy = round ? Trunc(m.m_dCy + 0.5) : m.m_dCy;
  const double scale = m.m_dOuterY > 0.0 ? m.m_dOuterX / m.m_dOuterY : 1.0;
  const double dx = x - cx, dy = (y - cy) * scale;
  return round ? std::hypot(dx, dy) : std::max(std::fabs(dx), std::fabs(dy));
}

// How far (x, y) lies from the nearest edge of a mark: its outer edge, or its inner one.
double EdgeDistance(const CApertureMark& m, double x, double y) {
  const double d = CentreDistance(m, x, y);
  double e = std::fabs(d - m.m_dOuterX);
  if (m.m_dInnerX >= 0.0) e = std::min(e, std::fabs(d - m.m_dInnerX));
  return e;
}

bool Editing(const CApertureMark& m) {
  return m.m_nEditState >= CApertureMark::DRAWING && m.m_nEditState <= CApertureMark::RESIZING;
}

}  // namespace

int CAperture::PickMeasurement(double x, double y, double tolerance) const {
  int best = -1;
  double bestDistance = 0.0;
  for (std::size_t i = 0; i + 1 < m_Marks.size(); i += 2) {
    const CApertureMark& star = m_Marks[i];
    const CApertureMark& sky = m_Marks[i + 1];
    if (star.m_bDeleted || star.m_nType != CApertureMark::STAR) continue;
    const bool starDrawn = IsMarkDrawn(static_cast<int>(i));
    const bool skyDrawn = IsMarkDrawn(static_cast<int>(i + 1));
    if (!starDrawn && !skyDrawn) continue;
    const double d = CentreDistance(star, x, y);
    const double reach =
        std::max(starDrawn ? star.m_dOuterX : 0.0, skyDrawn ? sky.m_dOuterX : 0.0) + tolerance;
    if (d > reach) continue;
    if (best < 0 || d < bestDistance) {
      best = static_cast<int>(i);
      bestDistance = d;
    }
  }
  return best;
}

int CAperture::BeginMove(int star, POINT anchor) {
  if (star < 0 || star + 1 >= GetMarkCount() || IsEditing()) return 0;
  for (int i : {star, star + 1})
    m_Marks[static_cast<std::size_t>(i)].BeginEdit(CApertureMark::MOVING, anchor);
  m_nSelected = star;
  return 1;
}

int CAperture::BeginResize(int star, POINT anchor) {
  if (star < 0 || star + 1 >= GetMarkCount() || IsEditing()) return 0;
  const CApertureMark& s = m_Marks[static_cast<std::size_t>(star)];
  const CApertureMark& sky = m_Marks[static_cast<std::size_t>(star) + 1];
  // The sky ring only when its edge is nearer than the star's, and while it is drawn.
  const bool ring = IsMarkDrawn(star + 1) &&
                    (!IsMarkDrawn(star) ||
                     EdgeDistance(sky, anchor.x, anchor.y) < EdgeDistance(s, anchor.x, anchor.y));
  const int mark = ring ? star + 1 : star;
  m_Marks[static_cast<std::size_t>(mark)].BeginEdit(CApertureMark::RESIZING, anchor);
  m_nSelected = mark;
  return 1;
}

int CAperture::TrackEdit(POINT point) {
  int any = 0;
  for (CApertureMark& m : m_Marks) {
    if (!Editing(m)) continue;
    m.Track(point, m_pImage);
    any = 1;
  }
  if (any) UpdateItems();
  return any;
}

int CAperture::EndEdit() {
  int any = 0;
  for (CApertureMark& m : m_Marks) {
    if (!Editing(m)) continue;
    m.m_nEditState = CApertureMark::FINISHED;
    any = 1;
  }
  if (any) UpdateItems();
  return any;
}

bool CAperture::IsEditing() const {
  return std::any_of(m_Marks.begin(), m_Marks.end(), Editing);
}

const char* CAperture::MethodText(int method) {
  switch (method) {
    case CApertureMark::AUTO:
      return "AUTO";
    case CApertureMark::SEMI:
      return "SEMI";
    case CApertureMark::SEMICTRD:
      return "SEMICTRD";
    default:
      return "UNKNOWN";
  }
}

std::string CAperture::FormatListLine(int row) const {
  const CApertureItem& item = GetItem(row);
  const std::string number = PhotFormat("%4d ", item.m_nNumber);
  if (item.m_nKind == CApertureItem::RESULT) {
    const CApertureMark& star = GetMark(item.m_nMark);
    return PhotFormat("%s Count = %d, Method = %-8s", number.c_str(),
                      static_cast<int>(Clamp(item.m_dResult, -2147483648.0, 2147483647.0)),
                      MethodText(star.m_nMethod));
  }
  const CApertureMark& m = GetMark(item.m_nMark);
  const bool star = item.m_nKind == CApertureItem::STAR;
  std::string geometry, stats;
  if (m.m_nPixels == 0) {
    geometry = "(   -  ,    -  )   -     -  ";
    stats = "     -          -       -       -  ";
  } else {
    const double x = PhotShownX(m.m_dCx);
    const double y = m_pImage ? PhotShownY(*m_pImage, m.m_dCy) : m.m_dCy + 1.0;
    geometry = star ? PhotFormat("(%6.1f, %6.1f)       %5.1f", x, y, m.m_dOuterX)
                    : PhotFormat("(%6.1f, %6.1f) %5.1f %5.1f", x, y, m.m_dInnerX, m.m_dOuterX);
    stats = PhotFormat("%6d %12.1f %7.1f %7.1f", m.m_nPixels, m.m_dTotal, m.m_dTotal / m.m_nPixels,
                       m.m_dStdDev);
  }
  return PhotFormat("%s %s %s %s", number.c_str(), star ? "STAR" : "SKY ", geometry.c_str(),
                    stats.c_str());
}

namespace {

// Count and the three statistics of a mark: "%6d" and three " %20.8f" (CSV with commas).
std::string StatsPart(const CApertureMark& m, bool csv) {
  const int count = static_cast<int>(Clamp(m.m_nPixels, 0, 999999));
  const double mean = m.m_nPixels ? m.m_dTotal / m.m_nPixels : 0.0;
  std::string s = PhotFormat(csv ? "%6d," : "%6d", count);
  for (double v : {m.m_dTotal, mean, m.m_dStdDev}) {
    s += ' ';
    s += PhotNumber(v, 20, 8);
    if (csv) s += ',';
  }
  return s;
}

}  // namespace

std::string CAperture::FormatText(bool csv) {
  UpdateItems();
  std::string out;
  if (csv) {
    const char* names[] = {"番号",    "ObjX",      "ObjY",    "Obj径", "ObjPix",   "Obj総ｶｳﾝﾄ",
                           "Obj平均", "ObjSD",     "SkyX",    "SkyY",  "Sky内径",  "Sky幅",
                           "SkyPix",  "Sky総ｶｳﾝﾄ", "Sky平均", "SkySD", "測光結果", "測光方法"};
    for (std::size_t i = 0; i < std::size(names); ++i)
      out += std::string(i ? "," : "") + "\"" + names[i] + "\"";
    out += "\n";
  } else {
    out +=
        "番号   ObjX    ObjY   Obj径  ObjPix       Obj総ｶｳﾝﾄ             Obj平均               "
        "ObjSD         SkyX    SkyY   Sky内径  Sky幅  SkyPix       Sky総ｶｳﾝﾄ             Sky平均 "
        "             SkySD               測光結果       測光方法\n";
    out +=
        "---- ------- ------- ------- ------ -------------------- -------------------- "
        "-------------------- ------- ------- ------- ------- ------ -------------------- "
        "-------------------- -------------------- -------------------- --------\n";
  }
  const CImage* image = m_pImage;
  auto shownY = [&](double y) { return image ? PhotShownY(*image, y) : y + 1.0; };
  for (int row = 0; row < GetItemCount(); ++row) {
    const CApertureItem& item = m_Items[static_cast<std::size_t>(row)];
    if (item.m_nKind != CApertureItem::STAR) continue;
    const CApertureMark& star = GetMark(item.m_nMark);
    // The SKY mark and the RESULT row that follow this STAR row.
    const CApertureMark* sky = nullptr;
    double result = 0.0;
    for (int k = row + 1; k < GetItemCount(); ++k) {
      const CApertureItem& next = m_Items[static_cast<std::size_t>(k)];
      if (next.m_nKind == CApertureItem::STAR) break;
      if (next.m_nKind == CApertureItem::SKY && !sky) sky = &GetMark(next.m_nMark);
      if (next.m_nKind == CApertureItem::RESULT) result = next.m_dResult;
    }
    const CApertureMark none;
    const CApertureMark& s = sky ? *sky : none;
    const std::string p1 = PhotFormat(
        csv ? "%4d, %7.2f, %7.2f, %7.2f," : "%4d %7.2f %7.2f %7.2f",
        static_cast<int>(Clamp(item.m_nNumber, 1, 9999)), Clamp(PhotShownX(star.m_dCx), 0, 9999.9),
        Clamp(shownY(star.m_dCy), 0, 9999.9), Clamp(star.m_dOuterX, 0, 9999.9));
    const std::string p3 =
        PhotFormat(csv ? "%7.2f, %7.2f, %7.2f, %7.2f," : "%7.2f %7.2f %7.2f %7.2f",
                   Clamp(PhotShownX(s.m_dCx), 0, 9999.9), Clamp(shownY(s.m_dCy), 0, 9999.9),
                   Clamp(s.m_dInnerX, -1, 9999.9), Clamp(s.m_dOuterX - s.m_dInnerX, -1, 9999.9));
    const std::string p5 =
        PhotNumber(result, 20, 8) + (csv ? "," : " ") + MethodText(star.m_nMethod);
    out += p1 + " " + StatsPart(star, csv) + " " + p3 + " " + StatsPart(s, csv) + " " + p5 + "\n";
  }
  return out;
}

int CAperture::WriteText(const std::string& path) {
  std::string lower = path.size() >= 4 ? path.substr(path.size() - 4) : path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return PhotWriteTextFile(path, FormatText(lower == ".csv"));
}

namespace {

using imgtables::kPhotRowWidth;
using imgtables::kPhotX;
using imgtables::kPhotY;

const std::vector<PhotColumn>& PhotColumns() {
  static const std::vector<PhotColumn> columns = {
      {"'data number'", 1, "'I4      '", nullptr, "Data Number"},
      {"'XCENTER '", kPhotX.tbcol, "'F7.2    '", "'pixel   '", "X-position of the area center"},
      {"'YCENTER '", kPhotY.tbcol, "'F7.2    '", "'pixel   '", "Y-position of the area center"},
      {"'APERTURE'", 22, "'F7.2    '", "'pixel   '", "aperture of the photometric area"},
      {"'Pixel Number obj'", 30, "'I6      '", "'pixel   '",
       "Total pixel number in the object area"},
      {"'Total Count of obj'", 37, "'F20.8   '", "'count   '", "Total count in the object area"},
      {"'Average Count of obj'", 58, "'F20.8   '", "'count   '", "Average count in the area"},
      {"'Std. deviation Obj'", 79, "'F20.8   '", nullptr, "Standard deviation for object"},
      {"'ANNULUS '", 100, "'F7.2    '", "'pixel   '", "inner radius of the sky annulus"},
      {"'DANNULUS'", 108, "'F7.2    '", "'pixel   '", "delta radius of the sky annulus"},
      {"'Pixel Number sky'", 116, "'I6      '", "'pixel   '", "Total pixel number in the area"},
      {"'Total Count of sky'", 123, "'F20.8   '", "'count   '", "Total count in the sky area"},
      {"'Average Count of sky'", 144, "'F20.8   '", "'count   '", "Average count in the sky area"},
      {"'Std. deviation sky'", 165, "'F20.8   '", nullptr, "Standard deviation for sky"},
      {"'METHOD  '", 186, "'A8      '", nullptr, "Method for aperture photometry"},
  };
  return columns;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

void CAperture::RemoveExtension(CImage& image) {
  PhotRemoveTable(image, kExtNamePhot);
}

int CAperture::WriteExtension(CImage& image) {
  RemoveExtension(image);
  UpdateItems();
  std::vector<std::uint8_t> rows;
  int count = 0;
  for (int row = 0; row < GetItemCount(); ++row) {
    const CApertureItem& item = m_Items[static_cast<std::size_t>(row)];
    if (item.m_nKind != CApertureItem::STAR) continue;
    const CApertureMark& star = GetMark(item.m_nMark);
    const CApertureMark* sky = nullptr;
    if (row + 1 < GetItemCount() &&
        m_Items[static_cast<std::size_t>(row) + 1].m_nKind == CApertureItem::SKY)
      sky = &GetMark(m_Items[static_cast<std::size_t>(row) + 1].m_nMark);
    const CApertureMark none;
    const CApertureMark& s = sky ? *sky : none;
    const std::string a =
        PhotFormat("%4d %7.2f %7.2f %7.2f", static_cast<int>(Clamp(item.m_nNumber, 1, 9999)),
                   Clamp(PhotShownX(star.m_dCx), 0, imgtables::kPhotPosLimit),
                   Clamp(PhotShownY(image, star.m_dCy), 0, imgtables::kPhotPosLimit),
                   Clamp(star.m_dOuterX, 0, 9999.9));
    const std::string c = PhotFormat("%7.2f %7.2f", Clamp(s.m_dInnerX, -1, 9999.9),
                                     Clamp(s.m_dOuterX - s.m_dInnerX, -1, 9999.9));
    const std::string d =
        Upper(StatsPart(s, false)) +
        PhotFormat(" %8s",
                   std::string(MethodText(star.m_nMethod)).append(8, ' ').substr(0, 8).c_str());
    std::string text = a + " " + Upper(StatsPart(star, false)) + " " + c + " " + d;
    text.resize(kPhotRowWidth, ' ');
    rows.insert(rows.end(), text.begin(), text.end());
    ++count;
  }
  if (count == 0) return 0;
  image.m_FitsExtensions.push_back(
      PhotBuildTable(kExtNamePhot, kPhotRowWidth, count, PhotColumns(), std::move(rows)));
  return 1;
}

int CAperture::RestoreExtension(CRalImage* image) {
  if (!image) return 0;
  const CFitsExtension* ext = PhotFindTable(*image, kExtNamePhot);
  if (!ext || !ext->GetData() || ext->GetNAxis() < 2) return 0;
  if (!PhotAskRestore(kPhotRestoreQuestion)) return 0;
  m_pImage = image;
  const std::size_t width = static_cast<std::size_t>(std::max(ext->GetNAxes(0), 0));
  const std::size_t rows = static_cast<std::size_t>(std::max(ext->GetNAxes(1), 0));
  if (width < kPhotRowWidth) return 0;
  const std::string_view data(reinterpret_cast<const char*>(ext->GetData()), ext->GetDataLength());
  int restored = 0, largest = 0;
  for (std::size_t r = 0; r < rows && (r + 1) * width <= data.size(); ++r) {
    const std::string_view row = data.substr(r * width, width);
    long long number = 0;
    double x, y, aperture, annulus, dannulus;
    if (!PhotFieldInt(PhotField(row, 1, 4), &number) ||
        !PhotFieldDouble(PhotField(row, kPhotX.tbcol, kPhotX.width), &x) ||
        !PhotFieldDouble(PhotField(row, kPhotY.tbcol, kPhotY.width), &y) ||
        !PhotFieldDouble(PhotField(row, 22, 7), &aperture) ||
        !PhotFieldDouble(PhotField(row, 100, 7), &annulus) ||
        !PhotFieldDouble(PhotField(row, 108, 7), &dannulus))
      break;
    const std::string_view method = PhotField(row, 186, 8);
    int code;
    if (method == "AUTO    ")
      code = CApertureMark::AUTO;
    else if (method == "SEMI    ")
      code = CApertureMark::SEMI;
    else if (method == "SEMICTRD")
      code = CApertureMark::SEMICTRD;
    else
      break;
    const double cx = PhotImageX(x), cy = PhotImageY(*image, y);
    const int n = static_cast<int>(Clamp(static_cast<double>(number), 1, 9999));
    CApertureMark star;
    star.m_nType = CApertureMark::STAR;
    star.m_nShape = m_nShapeFlag ? CApertureMark::SQUARE : CApertureMark::CIRCLE;
    star.m_nNumber = n;
    star.m_nMethod = code;
    star.SetGeometry(cx, cy, aperture, aperture, -1.0, -1.0, image);
    CApertureMark sky = star;
    sky.m_nType = CApertureMark::SKY;
    sky.SetGeometry(cx, cy, annulus + dannulus, annulus + dannulus, annulus, annulus, image);
    m_Marks.push_back(std::move(star));
    m_Marks.push_back(std::move(sky));
    largest = std::max(largest, n);
    ++restored;
  }
  if (restored) m_nNextNumber = largest + 1;
  UpdateItems();
  return restored;
}
