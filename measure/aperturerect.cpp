// Rectangle photometry: measuring, rows, outputs and the table extension.
#include "measure/aperturerect.h"

#include <algorithm>
#include <cmath>

#include "engine/imgpixelinfo.h"
#include "engine/imgtables.h"
#include "engine/pixelmove.h"
#include "imagemodel/fitsheader.h"
#include "imagemodel/image.h"
#include "measure/phottable.h"

namespace {

using imgtables::kRectRowWidth;

int Limit(int v) {
  return std::clamp(v, 1, 9999);
}

const std::vector<PhotColumn>& RectColumns() {
  static const std::vector<PhotColumn> columns = {
      {"'data number'", 1, "'I4      '", nullptr, "Data Number"},
      {"'left X of area'", imgtables::kRectLeft.tbcol, "'I4      '", nullptr,
       "left X of measure area"},
      {"'top Y of area'", imgtables::kRectTop.tbcol, "'I4      '", nullptr,
       "top Y of measure area"},
      {"'right X of area'", imgtables::kRectRight.tbcol, "'I4      '", nullptr,
       "right X of measure area"},
      {"'bottom Y of area'", imgtables::kRectBottom.tbcol, "'I4      '", nullptr,
       "bottom Y of measure area"},
      {"'Pixel Number obj'", 25, "'I8      '", "'pixel   '",
       "Total pixel number in the object area"},
      {"'Total Count of obj'", 34, "'F20.8   '", "'count   '", "Total count in the object area"},
      {"'Average Count of obj'", 55, "'F20.8   '", "'count   '", "Average count in the area"},
      {"'Minimum Count of obj'", 76, "'F20.8   '", "'count   '", "Minimum count in the area"},
      {"'Maximum Count of obj'", 97, "'F20.8   '", "'count   '", "Maximum count in the area"},
  };
  return columns;
}

}  // namespace

bool CApertureRect::StartDrag(POINT point) {
  if (m_nDragState == DRAGGING) return false;
  m_Anchor = m_Point = point;
  m_nDragState = DRAGGING;
  return true;
}

void CApertureRect::TrackDrag(POINT point) {
  if (m_nDragState == DRAGGING) m_Point = point;
}

int CApertureRect::FinishDrag(POINT point) {
  if (m_nDragState != DRAGGING) return 0;
  m_Point = point;
  m_nDragState = DONE;
  if (m_Anchor.x == m_Point.x || m_Anchor.y == m_Point.y) return 0;
  return Measure(m_Anchor.x, m_Anchor.y, m_Point.x, m_Point.y);
}

RECT CApertureRect::GetDragRect() const {
  return RECT{std::min(m_Anchor.x, m_Point.x), std::min(m_Anchor.y, m_Point.y),
              std::max(m_Anchor.x, m_Point.x), std::max(m_Anchor.y, m_Point.y)};
}

int CApertureRect::Measure(int x1, int y1, int x2, int y2) {
  if (!m_pImage || m_pImage->IsEmpty()) return 0;
  CApertureRectItem item;
  item.m_nLeft = std::max(std::min(x1, x2), 0);
  item.m_nTop = std::max(std::min(y1, y2), 0);
  item.m_nRight = std::min(std::max(x1, x2), m_pImage->GetWidth() - 1);
  item.m_nBottom = std::min(std::max(y1, y2), m_pImage->GetHeight() - 1);
  // Wholly off the image: clipping turned the bounds over, and there is nothing to list.
  if (item.m_nRight < item.m_nLeft || item.m_nBottom < item.m_nTop) return 0;
  const int w = item.m_nRight - item.m_nLeft + 1;
  std::vector<double> row(static_cast<std::size_t>(w));
  bool first = true;
  for (int y = item.m_nTop; y <= item.m_nBottom; ++y) {
    if (!ReadPhysicalSpan(*m_pImage, item.m_nLeft, y, w, 0, row.data())) continue;
    for (double d : row) {
      // Read as a 32-bit float sample, as the display reads it.
      const double v = static_cast<float>(d);
      if (std::isnan(v)) continue;
      if (m_pImage->IsBlankUsed() && std::trunc(v) == m_pImage->GetBlank()) continue;
      ++item.m_nPixels;
      item.m_dTotal += v;
      if (first || v < item.m_dMin) item.m_dMin = v;
      if (first || v > item.m_dMax) item.m_dMax = v;
      first = false;
    }
  }
  item.m_dMean = item.m_nPixels ? item.m_dTotal / item.m_nPixels : 0.0;
  for (const CApertureRectItem& other : m_Items)
    if (!other.m_bDeleted && other.m_nLeft == item.m_nLeft && other.m_nTop == item.m_nTop &&
        other.m_nRight == item.m_nRight && other.m_nBottom == item.m_nBottom)
      return 0;
  m_Items.push_back(item);
  m_nCurrent = static_cast<int>(m_Items.size()) - 1;
  return 1;
}

std::vector<const CApertureRectItem*> CApertureRect::LiveRows() const {
  std::vector<const CApertureRectItem*> rows;
  for (const CApertureRectItem& item : m_Items)
    if (!item.m_bDeleted) rows.push_back(&item);
  return rows;
}

int CApertureRect::DeleteRow(int row) {
  int live = -1;
  for (std::size_t i = 0; i < m_Items.size(); ++i) {
    if (m_Items[i].m_bDeleted || ++live != row) continue;
    m_Items.erase(m_Items.begin() + static_cast<std::ptrdiff_t>(i));
    m_nCurrent = -1;
    return 1;
  }
  return 0;
}

void CApertureRect::DeleteAll() {
  for (CApertureRectItem& item : m_Items) item.m_bDeleted = 1;
  m_nCurrent = -1;
}

int CApertureRect::FollowPixelMove(const CPixelMove& move, const CImage* image) {
  m_pImage = image;
  if (m_nDragState == DRAGGING) m_nDragState = IDLE;
  std::vector<CApertureRectItem> kept;
  int current = -1, firstVisible = 0;
  for (std::size_t i = 0; i < m_Items.size(); ++i) {
    CApertureRectItem item = m_Items[i];
    RECT r;
    if (!imgtables::MoveRect(move, RECT{item.m_nLeft, item.m_nTop, item.m_nRight, item.m_nBottom},
                             &r))
      continue;
    item.m_nLeft = r.left;
    item.m_nTop = r.top;
    item.m_nRight = r.right;
    item.m_nBottom = r.bottom;
    if (static_cast<int>(i) == m_nCurrent) current = static_cast<int>(kept.size());
    if (static_cast<int>(i) < m_nFirstVisible) ++firstVisible;
    kept.push_back(item);
  }
  const int dropped = static_cast<int>(m_Items.size() - kept.size());
  m_Items = std::move(kept);
  m_nCurrent = current;
  m_nFirstVisible = firstVisible;
  return dropped;
}

void CApertureRect::SwapMarks(CApertureRect& other) {
  std::swap(m_nCurrent, other.m_nCurrent);
  std::swap(m_bVisible, other.m_bVisible);
  std::swap(m_nFirstVisible, other.m_nFirstVisible);
  std::swap(m_Anchor, other.m_Anchor);
  std::swap(m_Point, other.m_Point);
  std::swap(m_nDragState, other.m_nDragState);
  std::swap(m_Items, other.m_Items);
}

int CApertureRect::GetLiveCount() const {
  return static_cast<int>(LiveRows().size());
}

void CApertureRect::HideMarks() {
  m_bVisible = 0;
  m_nFirstVisible = static_cast<int>(m_Items.size());
}

void CApertureRect::ShowAllMarks() {
  m_bVisible = 1;
  m_nFirstVisible = 0;
}

bool CApertureRect::IsItemDrawn(int i) const {
  return m_bVisible && i >= m_nFirstVisible && !GetItem(i).m_bDeleted;
}

CApertureRect::Shown CApertureRect::ShownBounds(const CApertureRectItem& item) const {
  Shown s{item.m_nLeft + 1, item.m_nTop + 1, item.m_nRight + 1, item.m_nBottom + 1};
  if (m_pImage && PhotFlipY(*m_pImage)) {
    s.top = m_pImage->GetHeight() - item.m_nTop;
    s.bottom = m_pImage->GetHeight() - item.m_nBottom;
  }
  return s;
}

std::string CApertureRect::FormatListLine(int row) const {
  const auto rows = LiveRows();
  const CApertureRectItem& it = *rows.at(static_cast<std::size_t>(row));
  const Shown s = ShownBounds(it);
  return PhotFormat("%4d [%4d: %4d,  %4d: %4d] %8lu %17.6f %17.6f %17.6f %17.6f", row + 1, s.left,
                    s.right, s.top, s.bottom, static_cast<unsigned long>(it.m_nPixels), it.m_dTotal,
                    it.m_dMean, it.m_dMin, it.m_dMax);
}

std::string CApertureRect::FormatText(bool csv) const {
  std::string out;
  if (csv) {
    const char* names[] = {"番号",    "LeftX",  "TopY",     "RightX",   "BottomY",
                           "ﾋﾟｸｾﾙ数", "総ｶｳﾝﾄ", "平均ｶｳﾝﾄ", "最小ｶｳﾝﾄ", "最大ｶｳﾝﾄ"};
    for (std::size_t i = 0; i < std::size(names); ++i)
      out += std::string(i ? "," : "") + "\"" + names[i] + "\"";
    out += "\n";
  } else {
    out +=
        " 番号  LeftX   TopY  RightX  BtmY    ﾋﾟｸｾﾙ数           総ｶｳﾝﾄ               平均ｶｳﾝﾄ     "
        "          最小ｶｳﾝﾄ               最大ｶｳﾝﾄ        \n";
    out +=
        "------ ------ ------ ------ ------ ---------- ---------------------- "
        "---------------------- ---------------------- ---------------------- \n";
  }
  int n = 0;
  for (const CApertureRectItem* it : LiveRows()) {
    const Shown s = ShownBounds(*it);
    ++n;
    const std::string nums = PhotNumber(it->m_dTotal, 20, 8);
    const char* f = csv ? "%4d, %4d, %4d, %4d, %4d, %8lu, %s, %s, %s, %s\n"
                        : " %4d   %4d   %4d   %4d   %4d   %8lu   %s   %s   %s   %s  \n";
    out += PhotFormat(f, Limit(n), Limit(s.left), Limit(s.top), Limit(s.right), Limit(s.bottom),
                      static_cast<unsigned long>(it->m_nPixels), nums.c_str(),
                      PhotNumber(it->m_dMean, 20, 8).c_str(), PhotNumber(it->m_dMin, 20, 8).c_str(),
                      PhotNumber(it->m_dMax, 20, 8).c_str());
  }
  return out;
}

std::string CApertureRect::FormatClipboard() const {
  const auto rows = LiveRows();
  if (rows.empty()) return {};
  std::string out =
      "番号\tLeftX\tTopY\tRightX\tBottomY\tﾋﾟｸｾﾙ数\t総ｶｳﾝﾄ\t平均ｶｳﾝﾄ\t最小ｶｳﾝﾄ\t最大ｶｳﾝﾄ\r\n";
  int n = 0;
  for (const CApertureRectItem* it : rows) {
    const Shown s = ShownBounds(*it);
    out += PhotFormat("%4d\t%4d\t%4d\t%4d\t%4d\t%8lu\t%20.6f\t%20.6f\t%20.6f\t%20.6f\r\n", ++n,
                      s.left, s.top, s.right, s.bottom, static_cast<unsigned long>(it->m_nPixels),
                      it->m_dTotal, it->m_dMean, it->m_dMin, it->m_dMax);
  }
  return out;
}

int CApertureRect::WriteText(const std::string& path) const {
  std::string lower = path.size() >= 4 ? path.substr(path.size() - 4) : path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return PhotWriteTextFile(path, FormatText(lower == ".csv"));
}

void CApertureRect::RemoveExtension(CImage& image) {
  PhotRemoveTable(image, kExtNamePhoR);
}

int CApertureRect::WriteExtension(CImage& image) const {
  RemoveExtension(image);
  const auto rows = LiveRows();
  if (rows.empty()) return 0;
  std::vector<std::uint8_t> data;
  int n = 0;
  const bool flip = PhotFlipY(image);
  for (const CApertureRectItem* it : rows) {
    const int top = flip ? image.GetHeight() - it->m_nTop : it->m_nTop + 1;
    const int bottom = flip ? image.GetHeight() - it->m_nBottom : it->m_nBottom + 1;
    std::string text =
        PhotFormat("%4d%4d %4d %4d %4d %8lu %s %s %s %s", Limit(++n), Limit(it->m_nLeft + 1),
                   Limit(top), Limit(it->m_nRight + 1), Limit(bottom),
                   static_cast<unsigned long>(std::min(it->m_nPixels, 99999999u)),
                   PhotNumber(it->m_dTotal, 20, 8).c_str(), PhotNumber(it->m_dMean, 20, 8).c_str(),
                   PhotNumber(it->m_dMin, 20, 8).c_str(), PhotNumber(it->m_dMax, 20, 8).c_str());
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    text.resize(kRectRowWidth, ' ');
    data.insert(data.end(), text.begin(), text.end());
  }
  image.m_FitsExtensions.push_back(
      PhotBuildTable(kExtNamePhoR, kRectRowWidth, n, RectColumns(), std::move(data)));
  return 1;
}

int CApertureRect::RestoreExtension(const CImage* image) {
  if (!image) return 0;
  const CFitsExtension* ext = PhotFindTable(*image, kExtNamePhoR);
  if (!ext || !ext->GetData() || ext->GetNAxis() < 2) return 0;
  if (!PhotAskRestore(kPhotRectRestoreQuestion)) return 0;
  m_pImage = image;
  const std::size_t rows = static_cast<std::size_t>(std::max(ext->GetNAxes(1), 0));
  const std::string_view data(reinterpret_cast<const char*>(ext->GetData()), ext->GetDataLength());
  const bool flip = PhotFlipY(*image);
  int restored = 0;
  for (std::size_t r = 0; r < rows && (r + 1) * kRectRowWidth <= data.size(); ++r) {
    const std::string_view row = data.substr(r * kRectRowWidth, kRectRowWidth);
    long long v[6];
    double d[4];
    bool ok = true;
    using namespace imgtables;
    const int starts[] = {1, kRectLeft.tbcol, kRectTop.tbcol, kRectRight.tbcol, kRectBottom.tbcol,
                          25};
    const int widths[] = {4, kRectLeft.width, kRectTop.width, kRectRight.width, kRectBottom.width,
                          8};
    for (int i = 0; i < 6 && ok; ++i)
      ok = PhotFieldInt(PhotField(row, starts[i], widths[i]), &v[i]);
    for (int i = 0; i < 4 && ok; ++i) ok = PhotFieldDouble(PhotField(row, 34 + 21 * i, 20), &d[i]);
    if (!ok) break;
    auto y0 = [&](long long y) { return static_cast<int>(flip ? image->GetHeight() - y : y - 1); };
    CApertureRectItem item;
    item.m_nLeft = static_cast<int>(v[1] - 1);
    item.m_nTop = y0(v[2]);
    item.m_nRight = static_cast<int>(v[3] - 1);
    item.m_nBottom = y0(v[4]);
    item.m_nPixels = static_cast<unsigned int>(std::clamp<long long>(v[5], 0, 4294967295LL));
    item.m_dTotal = d[0];
    item.m_dMean = d[1];
    item.m_dMin = d[2];
    item.m_dMax = d[3];
    m_Items.push_back(item);
    ++restored;
  }
  return restored;
}
