// Measurement tables that follow the pixels. A table keeps its positions as shown: x + 1,
// and y + 1 or, for an image stored bottom-up, height − y. Each position is taken back to
// a stored pixel with the old height, moved, and written again with the new height in the
// same columns and the same form the tool wrote it in.
#include "engine/imgtables.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pixelmove.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"

namespace {

using imgtables::Field;

enum class Kind { None, Phot, PhoR, Pos };

std::string_view TrimmedName(const CFitsExtension& ext) {
  std::string_view name = ext.GetExtName();
  if (name.size() < 2 || name.front() != '\'') return {};
  name = name.substr(1, name.rfind('\'') - 1);
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return name;
}

Kind KindOf(const CFitsExtension& ext) {
  const std::string_view name = TrimmedName(ext);
  if (name == "Vantorel Phot data") return Kind::Phot;
  if (name == "Vantorel PhoR data") return Kind::PhoR;
  if (name == "Vantorel Pos data") return Kind::Pos;
  return Kind::None;
}

bool IsMeasurementTable(const CFitsExtension& ext) {
  return KindOf(ext) != Kind::None;
}

// The text of a field in a row of width characters (empty past the row's end).
std::string_view FieldText(std::string_view row, const Field& f) {
  const std::size_t start = static_cast<std::size_t>(f.tbcol - 1);
  return start < row.size() ? row.substr(start, static_cast<std::size_t>(f.width))
                            : std::string_view();
}

bool ReadReal(std::string_view row, const Field& f, double* v) {
  std::size_t used = 0;
  return ParseDecimalDouble(FieldText(row, f), v, &used, true) && used > 0;
}

bool ReadInt(std::string_view row, const Field& f, int* v) {
  std::size_t used = 0;
  return ParseDecimalInt(FieldText(row, f), v, &used) && used > 0;
}

// Overwrites a field with text, which the callers make exactly the field's width.
void Put(std::string& row, const Field& f, const std::string& text) {
  row.replace(static_cast<std::size_t>(f.tbcol - 1), static_cast<std::size_t>(f.width), text, 0,
              static_cast<std::size_t>(f.width));
}

void PutReal(std::string& row, const Field& f, double v, double limit) {
  Put(row, f, FormatC("%*.2f", f.width, std::clamp(v, 0.0, limit)));
}

void PutBound(std::string& row, const Field& f, int v) {
  Put(row, f, FormatC("%*d", f.width, std::clamp(v, 1, imgtables::kBoundLimit)));
}

// Shown (1-based, y from the bottom when flipped) and stored (0-based) coordinates.
struct Rows {
  bool flip;
  int oldHeight, newHeight;
  double StoredX(double shown) const { return shown - 1.0; }
  double StoredY(double shown) const { return flip ? oldHeight - shown : shown - 1.0; }
  double ShownX(double stored) const { return stored + 1.0; }
  double ShownY(double stored) const { return flip ? newHeight - stored : stored + 1.0; }
};

int Whole(double v) {
  return static_cast<int>(std::lround(v));
}

// Rewrites one row in place through the move; false when it leaves the new image or its
// fields cannot be read.
bool FollowRow(Kind kind, std::string& row, const CPixelMove& move, const Rows& rows) {
  using namespace imgtables;
  if (kind == Kind::PhoR) {
    int l, t, r, b;
    if (!ReadInt(row, kRectLeft, &l) || !ReadInt(row, kRectTop, &t) ||
        !ReadInt(row, kRectRight, &r) || !ReadInt(row, kRectBottom, &b))
      return false;
    RECT moved;
    if (!MoveRect(move,
                  RECT{Whole(rows.StoredX(l)), Whole(rows.StoredY(t)), Whole(rows.StoredX(r)),
                       Whole(rows.StoredY(b))},
                  &moved))
      return false;
    // Stored top above stored bottom, as the tool writes them.
    PutBound(row, kRectLeft, Whole(rows.ShownX(moved.left)));
    PutBound(row, kRectTop, Whole(rows.ShownY(moved.top)));
    PutBound(row, kRectRight, Whole(rows.ShownX(moved.right)));
    PutBound(row, kRectBottom, Whole(rows.ShownY(moved.bottom)));
    return true;
  }
  const bool pos = kind == Kind::Pos;
  const Field& fx = pos ? kPosX : kPhotX;
  const Field& fy = pos ? kPosY : kPhotY;
  const double limit = pos ? kPosPosLimit : kPhotPosLimit;
  double x, y, nx, ny;
  if (!ReadReal(row, fx, &x) || !ReadReal(row, fy, &y)) return false;
  const double sx = rows.StoredX(x), sy = rows.StoredY(y);
  if (!move.Apply(sx, sy, &nx, &ny)) return false;
  PutReal(row, fx, rows.ShownX(nx), limit);
  PutReal(row, fy, rows.ShownY(ny), limit);
  if (!pos) return true;
  // The measuring area goes with its position.
  int l, t, r, b;
  if (!ReadInt(row, kPosLeft, &l) || !ReadInt(row, kPosTop, &t) || !ReadInt(row, kPosRight, &r) ||
      !ReadInt(row, kPosBottom, &b))
    return false;
  const RECT area{std::min(Whole(rows.StoredX(l)), Whole(rows.StoredX(r))),
                  std::min(Whole(rows.StoredY(t)), Whole(rows.StoredY(b))),
                  std::max(Whole(rows.StoredX(l)), Whole(rows.StoredX(r))),
                  std::max(Whole(rows.StoredY(t)), Whole(rows.StoredY(b)))};
  const RECT moved = MoveAreaWith(move, sx, sy, nx, ny, area);
  PutBound(row, kPosLeft, Whole(rows.ShownX(moved.left)));
  PutBound(row, kPosTop, Whole(rows.ShownY(moved.top)));
  PutBound(row, kPosRight, Whole(rows.ShownX(moved.right)));
  PutBound(row, kPosBottom, Whole(rows.ShownY(moved.bottom)));
  return true;
}

// The columns a kind keeps its positions in, and the row width they need.
std::vector<std::pair<int, Field>> PositionColumns(Kind kind) {
  using namespace imgtables;
  switch (kind) {
    case Kind::Phot:
      return {{1, kPhotX}, {2, kPhotY}};
    case Kind::PhoR:
      return {{1, kRectLeft}, {2, kRectTop}, {3, kRectRight}, {4, kRectBottom}};
    case Kind::Pos:
      return {{1, kPosX}, {2, kPosY}, {4, kPosLeft}, {5, kPosTop}, {6, kPosRight}, {7, kPosBottom}};
    case Kind::None:
      break;
  }
  return {};
}

// Whether the extension is an ASCII table whose position columns stand where the tools
// put them (the column records, where the table has them, say the same).
bool LaidOutAsWritten(const CFitsExtension& ext, Kind kind) {
  if (ext.GetXtension() != "'TABLE   '" || ext.GetNAxis() != 2 || !ext.GetData()) return false;
  const int width = ext.GetNAxes(0);
  for (const auto& [column, field] : PositionColumns(kind)) {
    if (field.tbcol - 1 + field.width > width) return false;
    if (column < ext.GetColumnCount() && ext.GetTBCol(column) != field.tbcol) return false;
  }
  return ext.GetNAxes(1) >= 0;
}

// The NAXIS2 card with a new count, its comment kept.
void SetRowCount(CFitsExtension& ext, int rows) {
  ext.SetNAxes(1, rows);
  CFitsHeader& h = ext.m_Header;
  const int i = h.Find("NAXIS2");
  const std::string value = FormatC("%20d", rows);
  if (i < 0) return;
  std::string card = h.GetAt(i);
  if (card.size() >= 30 && card.compare(8, 2, "= ") == 0)
    card.replace(10, 20, value);
  else
    card = "NAXIS2  = " + value + " / # of rows in table";
  h.SetAt(i, card);
}

// Carries one table; false when it is to be removed (no rows left, or not carried).
bool FollowTable(CFitsExtension& ext, Kind kind, const CPixelMove& move, const Rows& rows) {
  if (!LaidOutAsWritten(ext, kind)) return false;
  const std::size_t width = static_cast<std::size_t>(ext.GetNAxes(0));
  const std::size_t count = static_cast<std::size_t>(ext.GetNAxes(1));
  const std::string_view data(reinterpret_cast<const char*>(ext.GetData()), ext.GetDataLength());
  std::vector<std::uint8_t> kept;
  int left = 0;
  for (std::size_t r = 0; r < count && (r + 1) * width <= data.size(); ++r) {
    std::string row(data.substr(r * width, width));
    if (!FollowRow(kind, row, move, rows)) continue;
    kept.insert(kept.end(), row.begin(), row.end());
    ++left;
  }
  if (left == 0) return false;
  ext.SetData(std::move(kept));
  SetRowCount(ext, left);
  return true;
}

}  // namespace

void imgtables::MoveOffset(const CPixelMove& move, double dx, double dy, double* ndx, double* ndy) {
  // ToOld's matrix takes new offsets to old ones; its inverse takes them forward.
  const imgsample::Affine& m = move.ToOld();
  const double det = m.a11 * m.a22 - m.a12 * m.a21;
  if (det == 0.0 || !std::isfinite(det)) {
    *ndx = dx;
    *ndy = dy;
    return;
  }
  *ndx = (m.a22 * dx - m.a12 * dy) / det;
  *ndy = (-m.a21 * dx + m.a11 * dy) / det;
}

bool imgtables::MoveRect(const CPixelMove& move, const RECT& in, RECT* out) {
  if (!move.ApplyRect(in.left, in.top, in.right, in.bottom, out)) return false;
  // The extents the move gives the rectangle, traded by a quarter turn; a wrap that split
  // it shows as other extents.
  double w, h;
  MoveOffset(move, std::abs(in.right - in.left), std::abs(in.bottom - in.top), &w, &h);
  return std::lround(std::fabs(w)) == out->right - out->left &&
         std::lround(std::fabs(h)) == out->bottom - out->top;
}

RECT imgtables::MoveAreaWith(const CPixelMove& move, double x, double y, double nx, double ny,
                             const RECT& area) {
  double ax, ay, bx, by;
  MoveOffset(move, area.left - x, area.top - y, &ax, &ay);
  MoveOffset(move, area.right - x, area.bottom - y, &bx, &by);
  const auto whole = [](double v) {
    return static_cast<int>(std::lround(std::clamp(v, -1e9, 1e9)));
  };
  const int x1 = whole(nx + ax), x2 = whole(nx + bx), y1 = whole(ny + ay), y2 = whole(ny + by);
  return RECT{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
}

int CImgTables::Count(const CImage& image) {
  return static_cast<int>(std::count_if(image.m_FitsExtensions.begin(),
                                        image.m_FitsExtensions.end(), IsMeasurementTable));
}

int CImgTables::Follow(CImage& image, const CPixelMove& move) {
  auto& exts = image.m_FitsExtensions;
  if (!move.KeepsPositions()) {
    const auto gone = std::remove_if(exts.begin(), exts.end(), IsMeasurementTable);
    const int removed = static_cast<int>(exts.end() - gone);
    exts.erase(gone, exts.end());
    return removed;
  }
  const Rows rows{FitsRowsBottomUp(image), move.OldHeight(), move.NewHeight()};
  int removed = 0;
  for (auto it = exts.begin(); it != exts.end();) {
    const Kind kind = KindOf(*it);
    if (kind == Kind::None || FollowTable(*it, kind, move, rows)) {
      ++it;
      continue;
    }
    it = exts.erase(it);
    ++removed;
  }
  return removed;
}
