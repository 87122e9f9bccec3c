// Positioning: the centroid and detection methods, the rows and their rounding rule, the
// list and text outputs and the table extension.
#include "measure/positioning.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <memory>
#include <span>

#include "engine/imgcentroid.h"
#include "engine/imgpixelinfo.h"
#include "engine/imgtables.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "imagemodel/fitsheader.h"
#include "measure/aperture.h"
#include "measure/phottable.h"

namespace {

constexpr const char* kCentroidText = "CENTROID";
constexpr const char* kSearchText = "SEARCH  ";
using imgtables::kPosRowWidth;

int Limit(double v) {
  return static_cast<int>(std::clamp(std::trunc(v), 1.0, 9999.0));
}

double LimitPos(double v) {
  return std::clamp(v, 0.0, imgtables::kPosPosLimit);
}

int RoundHalfUp(double v) {
  return static_cast<int>(std::trunc(v + 0.5));
}

RECT Normalised(int left, int top, int right, int bottom) {
  return RECT{std::min(left, right), std::min(top, bottom), std::max(left, right),
              std::max(top, bottom)};
}

// The 1-based bounds, centre and half size of a row as shown and written.
struct ShownRow {
  int left, top, right, bottom, cx, cy, half;
  double x, y;
};

ShownRow Shown(const CImage* image, const CPositioningItem& item) {
  auto sy = [&](double y) { return image ? PhotShownY(*image, y) : y + 1.0; };
  const int cx = (item.m_nLeft + item.m_nRight) / 2;
  const int cy = (item.m_nTop + item.m_nBottom) / 2;
  return ShownRow{Limit(PhotShownX(item.m_nLeft)),
                  Limit(sy(item.m_nTop)),
                  Limit(PhotShownX(item.m_nRight)),
                  Limit(sy(item.m_nBottom)),
                  Limit(PhotShownX(cx)),
                  Limit(sy(cy)),
                  Limit((item.m_nRight - item.m_nLeft) / 2),
                  LimitPos(PhotShownX(item.m_dX)),
                  LimitPos(sy(item.m_dY))};
}

// Reads the whole plane as 32-bit float samples, blank pixels as NaN. *exact tells
// whether every sample kept the physical value the engine reads (true for float images
// and for integers a float holds), so that centres may be taken from the plane itself.
bool ReadPlane(const CRalImage& image, std::unique_ptr<float[]>* out, bool* exact) {
  const int w = image.GetWidth(), h = image.GetHeight();
  // Not value-initialised: every sample is written below.
  out->reset(new float[static_cast<std::size_t>(w) * static_cast<std::size_t>(h)]);
  std::vector<double> row(static_cast<std::size_t>(w));
  const bool blankUsed = image.IsBlankUsed();
  const double blank = image.GetBlank();
  bool same = true;
  for (int y = 0; y < h; ++y) {
    if (!ReadPhysicalSpan(image, 0, y, w, 0, row.data())) return false;
    float* dst = out->get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    for (int x = 0; x < w; ++x) {
      const double d = row[static_cast<std::size_t>(x)];
      const float v = static_cast<float>(d);
      dst[x] = blankUsed && std::trunc(v) == blank ? std::numeric_limits<float>::quiet_NaN() : v;
      // NaN on both sides, or the same number.
      same &= static_cast<double>(dst[x]) == d || (std::isnan(dst[x]) && std::isnan(d));
    }
  }
  *exact = same;
  return true;
}

}  // namespace

void CPositioning::SetFactor(double factor) {
  m_dFactor = std::clamp(factor, kMinFactor, kMaxFactor);
}

void CPositioning::SetRadius(int radius) {
  m_nRadius = std::clamp(radius, 1, 9999);
}

RECT CPositioning::CentroidSquare(int x, int y) const {
  const int half = m_nAreaMode == SEMI ? m_nRadius : kAutoHalf;
  return RECT{x - half, y - half, x + half, y + half};
}

int CPositioning::AddItem(const CPositioningItem& item) {
  auto key = [](const CPositioningItem& i) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(RoundHalfUp(i.m_dX))) << 32) |
           static_cast<std::uint32_t>(RoundHalfUp(i.m_dY));
  };
  if (!m_bRoundedValid) {
    m_Rounded.clear();
    for (const CPositioningItem& old : m_Items)
      if (!old.m_bDeleted) m_Rounded.insert(key(old));
    m_bRoundedValid = true;
  }
  if (!m_Rounded.insert(key(item)).second) return 0;
  m_Items.push_back(item);
  m_nCurrent = GetItemCount() - 1;
  return 1;
}

int CPositioning::Measure(CRalImage* image, int left, int top, int right, int bottom) {
  if (!image || image->IsEmpty() || image->IsColor()) return 0;
  m_pImage = image;
  const RECT tracked = Normalised(left, top, right, bottom);
  if (tracked.right == tracked.left || tracked.bottom == tracked.top) return 0;
  const RECT clipped{std::max(tracked.left, 0), std::max(tracked.top, 0),
                     std::min(tracked.right, image->GetWidth() - 1),
                     std::min(tracked.bottom, image->GetHeight() - 1)};
  if (clipped.left > clipped.right || clipped.top > clipped.bottom) return 0;
  return m_nMethod == SEARCH ? MeasureSearch(*image, tracked, clipped)
                             : MeasureCentroid(*image, tracked, clipped);
}

int CPositioning::MeasureCentroid(const CRalImage& image, const RECT& tracked,
                                  const RECT& clipped) {
  const double a = (clipped.right - clipped.left) * 0.5;
  const double b = (clipped.bottom - clipped.top) * 0.5;
  MidpointTables(static_cast<int>(std::trunc(a)), static_cast<int>(std::trunc(b)), &m_HalfWidths,
                 &m_HalfHeights);
  // The engine takes right and bottom exclusive.
  const RECT area{clipped.left, clipped.top, clipped.right + 1, clipped.bottom + 1};
  CPositioningItem item;
  if (!image.GetCenterOfGravityCircle(item.m_dX, item.m_dY, &area, &m_HalfWidths)) return 0;
  item.m_nMethod = CPositioningItem::CENTROID;
  item.m_nLeft = tracked.left;
  item.m_nTop = tracked.top;
  item.m_nRight = tracked.right;
  item.m_nBottom = tracked.bottom;
  item.m_nAreaMode = m_nAreaMode;
  return AddItem(item);
}

int CPositioning::MeasureSearch(const CRalImage& image, const RECT& tracked, const RECT& clipped) {
  const int w = image.GetWidth(), h = image.GetHeight();
  std::unique_ptr<float[]> px;
  bool exact = false;
  if (!ReadPlane(image, &px, &exact)) return 0;
  const std::size_t stride = static_cast<std::size_t>(w);
  auto at = [&](int x, int y) {
    return px[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)];
  };

  // Background level and spread of the whole image, blanks left out.
  double sum = 0.0;
  long long n = 0;
  const std::span<const float> all(px.get(), stride * static_cast<std::size_t>(h));
  for (float v : all)
    if (!std::isnan(v)) {
      sum += v;
      ++n;
    }
  const double mean = sum / static_cast<double>(n);
  double ss = 0.0;
  for (float v : all)
    if (!std::isnan(v)) ss += (v - mean) * (v - mean);
  const double sigma = std::sqrt(ss / static_cast<double>(n));
  if (n == 0 || !std::isfinite(mean) || !std::isfinite(sigma)) return 0;

  float peak = -std::numeric_limits<float>::infinity();
  bool any = false;
  for (int y = clipped.top; y <= clipped.bottom; ++y)
    for (int x = clipped.left; x <= clipped.right; ++x) {
      const float v = at(x, y);
      if (!std::isnan(v) && (!any || v > peak)) {
        peak = v;
        any = true;
      }
    }
  if (!any) return 0;
  // The threshold is a height above the mean. When the rectangle's peak stands less than
  // factor × σ above the mean, its own height becomes the threshold, so nothing in the
  // rectangle is higher than mean + t and nothing is found. Comparing the peak's height
  // (not its value) with t keeps the rows the same whatever constant the frame carries:
  // a value compared with a height would, on a frame below zero, put the level far under
  // the mean and take every noise bump for a star.
  double t = m_dFactor * sigma;
  if (peak - mean < t) t = peak - mean;
  const double level = mean + t;

  // A peak is higher than every other non-blank sample of its 5 × 5 box, the box's
  // coordinates clamped into the image (so a pixel on the image's edge sees itself again).
  auto isPeak = [&](int x, int y, float p) {
    const bool inside = x >= 2 && y >= 2 && x + 2 < w && y + 2 < h;
    for (int dy = -2; dy <= 2; ++dy) {
      const int yy = inside ? y + dy : std::clamp(y + dy, 0, h - 1);
      for (int dx = -2; dx <= 2; ++dx) {
        if (dx == 0 && dy == 0) continue;
        const int xx = inside ? x + dx : std::clamp(x + dx, 0, w - 1);
        const float s = at(xx, yy);
        if (!std::isnan(s) && !(s < p)) return false;
      }
    }
    return true;
  };
  std::vector<POINT> peaks;
  for (int y = clipped.top; y < clipped.bottom; ++y)
    for (int x = clipped.left; x < clipped.right; ++x) {
      const float p = at(x, y);
      if (std::isnan(p) || !(p > level)) continue;
      if (isPeak(x, y, p)) peaks.push_back(POINT{x, y});
    }

  // The rounding rule of AddItem over a bitmap of the whole pixels a centre can round to
  // (0 … w, 0 … h): the new rows and the live rows already there. A detection adds up to
  // one row per peak, which a set of single keys would allocate one by one.
  const std::size_t gw = static_cast<std::size_t>(w) + 1, gh = static_cast<std::size_t>(h) + 1;
  std::vector<std::uint64_t> taken((gw * gh + 63) / 64, 0);
  auto slot = [&](double x, double y, std::size_t* bit) {
    const int rx = RoundHalfUp(x), ry = RoundHalfUp(y);
    if (rx < 0 || ry < 0 || rx > w || ry > h) return false;
    *bit = static_cast<std::size_t>(ry) * gw + static_cast<std::size_t>(rx);
    return true;
  };
  for (const CPositioningItem& old : m_Items) {
    std::size_t bit;
    if (!old.m_bDeleted && slot(old.m_dX, old.m_dY, &bit))
      taken[bit / 64] |= std::uint64_t{1} << (bit % 64);
  }
  m_Items.reserve(m_Items.size() + peaks.size());
  int added = 0;
  for (const POINT& q : peaks) {
    const RECT box{std::max(q.x - 2, 0), std::max(q.y - 2, 0), std::min(q.x + 2, w - 1) + 1,
                   std::min(q.y + 2, h - 1) + 1};
    CPositioningItem item;
    // The plane in memory gives the engine's centre when it holds the engine's values;
    // otherwise the engine reads the box itself.
    const int found = exact ? CenterOfGravityOfPlane(item.m_dX, item.m_dY, box, px.get(), w, h)
                            : image.GetCenterOfGravity(item.m_dX, item.m_dY, &box);
    if (!found) continue;
    item.m_nMethod = CPositioningItem::SEARCH;
    item.m_nLeft = tracked.left;
    item.m_nTop = tracked.top;
    item.m_nRight = tracked.right;
    item.m_nBottom = tracked.bottom;
    item.m_nAreaMode = 0;
    std::size_t bit;
    if (!slot(item.m_dX, item.m_dY, &bit)) {
      added += AddItem(item);  // a centre off the image: the general rule
      continue;
    }
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    if (taken[bit / 64] & mask) continue;
    taken[bit / 64] |= mask;
    m_Items.push_back(item);
    m_nCurrent = GetItemCount() - 1;
    m_bRoundedValid = false;  // the key set is rebuilt when a row is next added singly
    ++added;
  }
  return added;
}

int CPositioning::DeleteRow(int row) {
  if (row < 0 || row >= GetItemCount()) return 0;
  m_Items.erase(m_Items.begin() + row);
  m_bRoundedValid = false;
  if (m_nCurrent == row)
    m_nCurrent = -1;
  else if (m_nCurrent > row)
    --m_nCurrent;
  return 1;
}

void CPositioning::DeleteAllMarks() {
  for (CPositioningItem& item : m_Items) item.m_bDeleted = 1;
  m_bRoundedValid = false;
  m_nCurrent = -1;
}

int CPositioning::FollowPixelMove(const CPixelMove& move, CRalImage* image) {
  m_pImage = image;
  if (m_nDragState == DRAGGING) m_nDragState = IDLE;
  std::vector<CPositioningItem> kept;
  int current = -1;
  for (std::size_t i = 0; i < m_Items.size(); ++i) {
    CPositioningItem item = m_Items[i];
    double nx, ny;
    if (!move.Apply(item.m_dX, item.m_dY, &nx, &ny)) continue;
    const RECT area =
        imgtables::MoveAreaWith(move, item.m_dX, item.m_dY, nx, ny,
                                RECT{item.m_nLeft, item.m_nTop, item.m_nRight, item.m_nBottom});
    item.m_dX = nx;
    item.m_dY = ny;
    item.m_nLeft = area.left;
    item.m_nTop = area.top;
    item.m_nRight = area.right;
    item.m_nBottom = area.bottom;
    if (static_cast<int>(i) == m_nCurrent) current = static_cast<int>(kept.size());
    kept.push_back(item);
  }
  const int dropped = static_cast<int>(m_Items.size() - kept.size());
  m_Items = std::move(kept);
  m_nCurrent = current;
  m_bRoundedValid = false;
  return dropped;
}

void CPositioning::SwapMarks(CPositioning& other) {
  std::swap(m_nCurrent, other.m_nCurrent);
  std::swap(m_bVisible, other.m_bVisible);
  std::swap(m_Items, other.m_Items);
  std::swap(m_nDragState, other.m_nDragState);
  std::swap(m_Rect, other.m_Rect);
  m_bRoundedValid = other.m_bRoundedValid = false;
}

int CPositioning::GetLiveCount() const {
  return static_cast<int>(std::count_if(m_Items.begin(), m_Items.end(),
                                        [](const CPositioningItem& i) { return !i.m_bDeleted; }));
}

std::string CPositioning::FormatListLine(int row, int number) const {
  const CPositioningItem& item = GetItem(row);
  const ShownRow s = Shown(m_pImage, item);
  if (item.m_nMethod == CPositioningItem::SEARCH)
    return PhotFormat("%4d (%7.2f, %7.2f)  %s  [%4d: %4d,  %4d: %4d]", Limit(number), s.x, s.y,
                      kSearchText, s.left, s.right, s.top, s.bottom);
  return PhotFormat("%4d (%7.2f, %7.2f)  %s  中心(%4d, %4d) 半径: %4d ﾋﾟｸｾﾙ", Limit(number), s.x,
                    s.y, kCentroidText, s.cx, s.cy, s.half);
}

std::string CPositioning::FormatText(bool csv) const {
  std::string out;
  if (csv) {
    const char* names[] = {"番号",   "ObjectX", "ObjectY",   "方法",      "LeftX",   "TopY",
                           "RightX", "BottomY", "測定中心X", "測定中心Y", "測定半径"};
    for (std::size_t i = 0; i < std::size(names); ++i)
      out += std::string(i ? "," : "") + "\"" + names[i] + "\"";
    out += "\n";
  } else {
    out +=
        " 番号   ObjectX   ObjectY     方法    LeftX   TopY  RightX  BtmY  測定中心X 測定中心Y  "
        "半径  \n";
    out +=
        "------ --------- --------- ---------- ------ ------ ------ ------ --------- --------- "
        "------ \n";
  }
  int number = 0;
  for (const CPositioningItem& item : m_Items) {
    if (item.m_bDeleted) continue;
    const ShownRow s = Shown(m_pImage, item);
    ++number;
    if (item.m_nMethod == CPositioningItem::SEARCH)
      out += PhotFormat(csv ? "%4d, %7.2f, %7.2f, %s, %4d, %4d, %4d, %4d\n"
                            : " %4d   %7.2f   %7.2f   %s   %4d   %4d   %4d   %4d\n",
                        Limit(number), s.x, s.y, kSearchText, s.left, s.top, s.right, s.bottom);
    else if (csv)
      out += PhotFormat("%4d, %7.2f, %7.2f, %s, %s, %s, %s, %s, %4d, %4d, %4d\n", Limit(number),
                        s.x, s.y, kCentroidText, "", "", "", "", s.cx, s.cy, s.half);
    else
      out += PhotFormat(
          " %4d   %7.2f   %7.2f   %8.8s   %4.4s   %4.4s   %4.4s   %4.4s      %4d      "
          "%4d   %4d\n",
          Limit(number), s.x, s.y, kCentroidText, "", "", "", "", s.cx, s.cy, s.half);
  }
  return out;
}

int CPositioning::WriteText(const std::string& path) const {
  std::string lower = path.size() >= 4 ? path.substr(path.size() - 4) : path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return PhotWriteTextFile(path, FormatText(lower == ".csv"));
}

namespace {

const std::vector<PhotColumn>& PosColumns() {
  static const std::vector<PhotColumn> columns = {
      {"'data number'", 1, "'I4      '", nullptr, "Data Number"},
      {"'OBJ_X   '", imgtables::kPosX.tbcol, "'F7.2    '", "'pixel   '",
       "X-position of the center of object"},
      {"'OBJ_Y   '", imgtables::kPosY.tbcol, "'F7.2    '", "'pixel   '",
       "Y-position of the center of object"},
      {"'METHOD  '", 22, "'A8      '", nullptr, "method for measuring center of object",
       "character (CENTROID, SEARCH)"},
      {"'left X of area'", imgtables::kPosLeft.tbcol, "'I4      '", nullptr,
       "left X of measure area"},
      {"'top Y of area'", imgtables::kPosTop.tbcol, "'I4      '", nullptr, "top Y of measure area"},
      {"'right X of area'", imgtables::kPosRight.tbcol, "'I4      '", nullptr,
       "right X of measure area"},
      {"'bottom Y of area'", imgtables::kPosBottom.tbcol, "'I4      '", nullptr,
       "bottom Y of measure area"},
  };
  return columns;
}

}  // namespace

void CPositioning::RemoveExtension(CImage& image) {
  PhotRemoveTable(image, kExtNamePos);
}

int CPositioning::WriteExtension(CImage& image) const {
  RemoveExtension(image);
  std::vector<std::uint8_t> rows;
  int count = 0;
  for (const CPositioningItem& item : m_Items) {
    if (item.m_bDeleted) continue;
    const ShownRow s = Shown(&image, item);
    std::string text =
        PhotFormat("%4d %7.2f %7.2f %s %4d %4d %4d %4d", Limit(count + 1), s.x, s.y,
                   item.m_nMethod == CPositioningItem::SEARCH ? kSearchText : kCentroidText, s.left,
                   s.top, s.right, s.bottom);
    text.resize(kPosRowWidth, ' ');
    rows.insert(rows.end(), text.begin(), text.end());
    ++count;
  }
  if (count == 0) return 0;
  image.m_FitsExtensions.push_back(
      PhotBuildTable(kExtNamePos, kPosRowWidth, count, PosColumns(), std::move(rows)));
  return 1;
}

int CPositioning::RestoreExtension(CRalImage* image) {
  if (!image) return 0;
  const CFitsExtension* ext = PhotFindTable(*image, kExtNamePos);
  if (!ext || !ext->GetData() || ext->GetNAxis() < 2) return 0;
  if (!PhotAskRestore(kPosRestoreQuestion)) return 0;
  m_pImage = image;
  const std::size_t width = static_cast<std::size_t>(std::max(ext->GetNAxes(0), 0));
  const std::size_t rows = static_cast<std::size_t>(std::max(ext->GetNAxes(1), 0));
  if (width < kPosRowWidth) return 0;
  const std::string_view data(reinterpret_cast<const char*>(ext->GetData()), ext->GetDataLength());
  int restored = 0;
  for (std::size_t r = 0; r < rows && (r + 1) * width <= data.size(); ++r) {
    const std::string_view row = data.substr(r * width, width);
    double x, y;
    long long b[4];
    using namespace imgtables;
    auto field = [&](const Field& f) { return PhotField(row, f.tbcol, f.width); };
    if (!PhotFieldDouble(field(kPosX), &x) || !PhotFieldDouble(field(kPosY), &y) ||
        !PhotFieldInt(field(kPosLeft), &b[0]) || !PhotFieldInt(field(kPosTop), &b[1]) ||
        !PhotFieldInt(field(kPosRight), &b[2]) || !PhotFieldInt(field(kPosBottom), &b[3]))
      break;
    CPositioningItem item;
    item.m_nMethod = PhotField(row, 22, 8) == kCentroidText ? CPositioningItem::CENTROID
                                                            : CPositioningItem::SEARCH;
    item.m_dX = PhotImageX(x);
    item.m_dY = PhotImageY(*image, y);
    const RECT rect =
        Normalised(static_cast<int>(std::lround(PhotImageX(static_cast<double>(b[0])))),
                   static_cast<int>(std::lround(PhotImageY(*image, static_cast<double>(b[1])))),
                   static_cast<int>(std::lround(PhotImageX(static_cast<double>(b[2])))),
                   static_cast<int>(std::lround(PhotImageY(*image, static_cast<double>(b[3])))));
    item.m_nLeft = rect.left;
    item.m_nTop = rect.top;
    item.m_nRight = rect.right;
    item.m_nBottom = rect.bottom;
    item.m_nAreaMode = 1;
    m_Items.push_back(item);
    m_bRoundedValid = false;
    ++restored;
  }
  return restored;
}
