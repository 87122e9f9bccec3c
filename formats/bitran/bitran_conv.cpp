// The second stage of reading a Bitran frame: defect-pixel correction from the camera's
// defect list, left-right mirroring, interpolation of the colour mosaic (full size, or
// half size from each 2 × 2 cell), display levels and the sky cut from the convert text.
// The frame is worked on as unsigned 16-bit counts, the camera's own number range.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "formats/bitran/bitran.h"
#include "formats/bitran/bitran_internal.h"
#include "imagemodel/image.h"
#include "platform/progress.h"

using namespace bitran_detail;

namespace {

constexpr std::uint16_t kMarked = 0xFFFF;

// Mosaic colours of GetPixelColor: the 2 × 2 cell is G R / B G.
enum PixelColor { kRed = 0, kBlue = 2, kGreenRedRow = 3, kGreenBlueRow = 4 };

PixelColor GetPixelColor(int x, int y) {
  if (y % 2 == 0) return x % 2 == 0 ? kGreenRedRow : kRed;
  return x % 2 == 0 ? kBlue : kGreenBlueRow;
}

// The frame as counts, row after row.
struct Frame {
  int width = 0;
  int height = 0;
  std::vector<std::uint16_t> data;
  std::uint16_t& at(int x, int y) {
    return data[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)];
  }
  std::uint16_t at(int x, int y) const {
    return data[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x)];
  }
  bool Inside(std::int64_t x, std::int64_t y) const {
    return x >= 0 && y >= 0 && x < width && y < height;
  }
};

// Counts from a value: truncated toward zero and held to the 16-bit range (a dark
// subtraction may leave values below zero).
std::uint16_t ToCount(double v) {
  if (!(v > 0)) return 0;
  if (v >= 65535.0) return 65535;
  return static_cast<std::uint16_t>(v);
}

// Plane 0 of the image into a frame.
bool LoadFrame(const CImage& image, Frame& frame) {
  frame.width = image.GetWidth();
  frame.height = image.GetHeight();
  frame.data.assign(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height),
                    0);
  std::vector<double> values;
  for (int y = 0; y < frame.height; ++y) {
    std::uint16_t* out = &frame.at(0, y);
    if (image.GetBitsPixel() == -32) {
      const auto* row = static_cast<const float*>(image.GetImageAdr(0, y, 0));
      if (!row) return false;
      for (int x = 0; x < frame.width; ++x) out[x] = ToCount(row[x]);
    } else {
      values.resize(static_cast<std::size_t>(frame.width));
      if (!image.GetPhysicalRow(y, 0, values.data())) return false;
      for (int x = 0; x < frame.width; ++x) out[x] = ToCount(values[static_cast<std::size_t>(x)]);
    }
  }
  return true;
}

// One row of values into a plane.
bool StoreRow(CImage& image, int y, int plane, const float* values) {
  const int width = image.GetWidth();
  if (image.GetBitsPixel() == -32) {
    auto* row = static_cast<float*>(image.GetImageAdr(0, y, plane));
    if (!row) return false;
    std::copy(values, values + width, row);
    return true;
  }
  std::vector<double> v(values, values + width);
  return image.SetPhysicalRow(y, plane, v.data()) != 0;
}

// The rounded mean of the neighbours at the given offsets that lie in the frame.
int GetAverageData(const Frame& f, int x, int y, std::initializer_list<std::pair<int, int>> at) {
  long sum = 0;
  long n = 0;
  for (auto [dx, dy] : at) {
    if (dx == 0 && dy == 0) continue;
    if (!f.Inside(static_cast<std::int64_t>(x) + dx, static_cast<std::int64_t>(y) + dy)) continue;
    sum += f.at(x + dx, y + dy);
    ++n;
  }
  return n == 0 ? 0 : static_cast<int>((10 * sum + 5) / (10 * n));
}

// Red (0), green (1) or blue (2) at a pixel of the mosaic.
int GetAroundData(const Frame& f, int x, int y, int component) {
  static constexpr std::initializer_list<std::pair<int, int>> kHorizontal = {{-1, 0}, {1, 0}};
  static constexpr std::initializer_list<std::pair<int, int>> kVertical = {{0, -1}, {0, 1}};
  static constexpr std::initializer_list<std::pair<int, int>> kDiagonal = {
      {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
  switch (GetPixelColor(x, y)) {
    case kRed:
      if (component == 0) return f.at(x, y);
      return GetAverageData(f, x, y, component == 1 ? kHorizontal : kDiagonal);
    case kBlue:
      if (component == 2) return f.at(x, y);
      return GetAverageData(f, x, y, component == 1 ? kHorizontal : kDiagonal);
    case kGreenRedRow:
      if (component == 1) return f.at(x, y);
      return GetAverageData(f, x, y, component == 0 ? kHorizontal : kVertical);
    case kGreenBlueRow:
    default:
      if (component == 1) return f.at(x, y);
      return GetAverageData(f, x, y, component == 0 ? kVertical : kHorizontal);
  }
}

// ---------------------------------------------------------------- defect correction

struct Defect {
  enum Kind { kColumn, kPixel, kSegment } kind;
  std::int64_t x;
  std::int64_t y;
  std::int64_t rows;
  auto Key() const { return std::make_tuple(static_cast<int>(kind), x, y, rows); }
};

// Blank-separated items from pos on.
std::vector<std::string_view> Items(std::string_view s) {
  std::vector<std::string_view> items;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    std::size_t e = s.find(' ', i);
    if (e == std::string_view::npos) e = s.size();
    if (e > i) items.push_back(s.substr(i, e - i));
    i = e;
  }
  return items;
}

bool StartsWithDigit(std::string_view s) {
  return !s.empty() && s[0] >= '0' && s[0] <= '9';
}

// The entries of the defect list, in sensor coordinates counted from 1.
std::vector<Defect> ParseDefects(std::string_view text) {
  std::vector<Defect> out;
  for (std::size_t eq = text.find('='); eq != std::string_view::npos; eq = text.find('=', eq + 1)) {
    if (eq == 0) continue;
    const char letter = text[eq - 1];
    std::vector<std::string_view> items = Items(text.substr(eq + 1));
    if (letter == 'C' || letter == 'c') {
      // The commas of the first item are separators; later items give one column each.
      std::vector<std::string_view> columns;
      if (!items.empty()) {
        std::string_view first = items[0];
        std::size_t b = 0;
        for (;;) {
          std::size_t c = first.find(',', b);
          columns.push_back(first.substr(b, c == std::string_view::npos ? c : c - b));
          if (c == std::string_view::npos) break;
          b = c + 1;
        }
        columns.insert(columns.end(), items.begin() + 1, items.end());
      }
      for (std::string_view item : columns) {
        if (item.empty()) continue;
        if (!StartsWithDigit(item)) break;
        int x = 0;
        ParseInt(item, &x);
        out.push_back({Defect::kColumn, x, 0, 0});
      }
    } else if (letter == 'P' || letter == 'p' || letter == 'S' || letter == 's') {
      const bool segment = letter == 'S' || letter == 's';
      for (std::string_view item : items) {
        if (!StartsWithDigit(item)) break;
        int x = 0, y = 0, rows = 5;
        std::size_t used = 0;
        ParseInt(item, &x, &used);
        if (used >= item.size() || item[used] != ',') continue;
        std::string_view rest = item.substr(used + 1);
        if (!ParseInt(rest, &y, &used)) continue;
        if (segment && used < rest.size() && rest[used] == '(') {
          if (!ParseInt(rest.substr(used + 1), &rows)) rows = 5;
        }
        if (segment)
          out.push_back({Defect::kSegment, x, y, rows});
        else
          out.push_back({Defect::kPixel, x, y, 1});
      }
    }
  }
  return out;
}

class Corrector {
 public:
  Corrector(Frame& frame, bool color) : f_(frame), distance_(color ? 2 : 1) {
    mark_.assign(frame.data.size(), 0);
  }

  // Frame positions of one entry, clipped to the frame; calls fn(x, y, fourWay).
  template <typename Fn>
  void ForEachPixel(const Defect& d, Fn fn) {
    if (d.x < 0 || d.x >= f_.width) return;
    const int x = static_cast<int>(d.x);
    switch (d.kind) {
      case Defect::kColumn:
        for (int y = 0; y < f_.height; ++y) fn(x, y, false);
        break;
      case Defect::kPixel:
        if (d.y >= 0 && d.y < f_.height) fn(x, static_cast<int>(d.y), true);
        break;
      case Defect::kSegment: {
        const std::int64_t first = std::max<std::int64_t>(d.y, 0);
        const std::int64_t last = std::min<std::int64_t>(d.y + d.rows, f_.height);
        for (std::int64_t y = first; y < last; ++y) fn(x, static_cast<int>(y), false);
        break;
      }
    }
  }

  void Mark(int x, int y) { mark_[Index(x, y)] = kMarked; }

  // The mean of the usable same-colour neighbours. A marked neighbour is replaced by the
  // one twice as far; when that is marked too the direction is dropped.
  void CorrectOnePixel(int x, int y, bool fourWay) {
    static constexpr int kDirs[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    long sum = 0;
    int n = 0;
    for (int i = 0; i < (fourWay ? 4 : 2); ++i) {
      for (int step = 1; step <= 2; ++step) {
        const std::int64_t nx = x + static_cast<std::int64_t>(kDirs[i][0]) * distance_ * step;
        const std::int64_t ny = y + static_cast<std::int64_t>(kDirs[i][1]) * distance_ * step;
        if (!f_.Inside(nx, ny)) break;
        const int ix = static_cast<int>(nx), iy = static_cast<int>(ny);
        if (mark_[Index(ix, iy)] == kMarked) continue;
        sum += f_.at(ix, iy);
        ++n;
        break;
      }
    }
    if (n == 0) return;  // nothing to take the value from: the pixel stays as it is
    f_.at(x, y) = static_cast<std::uint16_t>((10 * sum + 5) / (10 * n));
    mark_[Index(x, y)] = static_cast<std::uint16_t>(kMarked / n);
  }

 private:
  std::size_t Index(int x, int y) const {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(f_.width) +
           static_cast<std::size_t>(x);
  }
  Frame& f_;
  int distance_;
  std::vector<std::uint16_t> mark_;
};

// Marks every listed pixel first, so that no correction takes its value from a defect
// still waiting for its own, then corrects them in list order.
void CorrectImage(Frame& frame, bool color, std::string_view text, int left, int top,
                  BitranBinning binning) {
  // A binning below 1 would divide by zero; the camera then read unbinned.
  const std::int64_t bx = std::max(binning.cx, 1), by = std::max(binning.cy, 1);
  std::vector<Defect> entries;
  std::set<std::tuple<int, std::int64_t, std::int64_t, std::int64_t>> seen;
  for (Defect d : ParseDefects(text)) {
    d.x = FloorDiv(d.x - left - 1, bx);
    d.y = FloorDiv(d.y - top - 1, by);
    // A list entry repeated adds nothing but time.
    if (seen.insert(d.Key()).second) entries.push_back(d);
  }
  Corrector c(frame, color);
  for (const Defect& d : entries) c.ForEachPixel(d, [&](int x, int y, bool) { c.Mark(x, y); });
  // The list comes from the file: bound the work to a few passes over the frame.
  std::int64_t budget = 8 * static_cast<std::int64_t>(frame.width) * frame.height + 4096;
  for (const Defect& d : entries) {
    c.ForEachPixel(d, [&](int x, int y, bool fourWay) {
      if (budget-- > 0) c.CorrectOnePixel(x, y, fourWay);
    });
    if (budget <= 0) break;
  }
}

// ---------------------------------------------------------------- the conversions

int GrayConversion(CImage& image, const CBitranParam& prm, ProgressScope& scope) {
  if (!prm.IsPixelCorrect() && !prm.IsMirror()) return BRN_OK;
  Frame f;
  if (!LoadFrame(image, f)) return BRN_ERR_MEMORY;
  if (prm.IsMirror())
    for (int y = 0; y < f.height; ++y) std::reverse(&f.at(0, y), &f.at(0, y) + f.width);
  if (prm.IsPixelCorrect())
    CorrectImage(f, false, prm.GetPixelCorrect(), prm.GetLeft(), prm.GetTop(), prm.GetBinning());
  std::vector<float> row(static_cast<std::size_t>(f.width));
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) row[static_cast<std::size_t>(x)] = f.at(x, y);
    if (!StoreRow(image, y, 0, row.data())) return BRN_ERR_MEMORY;
    scope.Update(y + 1, f.height);
  }
  return BRN_OK;
}

float LowResGreen(int g1, int g2, int weighting) {
  switch (weighting) {
    case 0:
      return static_cast<float>(std::max(g1, g2));
    case 1:
      return static_cast<float>((g1 + g2) / 2);
    case 2:
      return static_cast<float>(std::min(g1, g2));
    case 3:
      return static_cast<float>(std::max(g1, g2) / 2);
    case 4:
      return static_cast<float>(std::min(g1, g2) / 2);
    default:
      return static_cast<float>((15 - weighting) * 10.0 * (g1 + g2) / 100.0);
  }
}

// Red, green and blue of one full-size row. Away from the frame's edge every neighbour
// exists, so the means are taken directly; the edge goes through GetAroundData.
void InterpolateRow(const Frame& f, int y, std::vector<float> (&rgb)[3]) {
  auto edge = [&](int x) {
    for (int c = 0; c < 3; ++c)
      rgb[c][static_cast<std::size_t>(x)] = static_cast<float>(GetAroundData(f, x, y, c));
  };
  if (y == 0 || y == f.height - 1 || f.width < 3) {
    for (int x = 0; x < f.width; ++x) edge(x);
    return;
  }
  const std::uint16_t* up =
      &f.data[static_cast<std::size_t>(y - 1) * static_cast<std::size_t>(f.width)];
  const std::uint16_t* row = up + f.width;
  const std::uint16_t* down = row + f.width;
  auto mean2 = [](int a, int b) { return static_cast<float>((10 * (a + b) + 5) / 20); };
  auto mean4 = [](int a, int b, int c, int d) {
    return static_cast<float>((10 * (a + b + c + d) + 5) / 40);
  };
  edge(0);
  for (int x = 1; x < f.width - 1; ++x) {
    const auto i = static_cast<std::size_t>(x);
    const int own = row[x];
    const float horizontal = mean2(row[x - 1], row[x + 1]);
    const float vertical = mean2(up[x], down[x]);
    switch (GetPixelColor(x, y)) {
      case kRed:
        rgb[0][i] = static_cast<float>(own);
        rgb[1][i] = horizontal;
        rgb[2][i] = mean4(up[x - 1], up[x + 1], down[x - 1], down[x + 1]);
        break;
      case kBlue:
        rgb[0][i] = mean4(up[x - 1], up[x + 1], down[x - 1], down[x + 1]);
        rgb[1][i] = horizontal;
        rgb[2][i] = static_cast<float>(own);
        break;
      case kGreenRedRow:
        rgb[0][i] = horizontal;
        rgb[1][i] = static_cast<float>(own);
        rgb[2][i] = vertical;
        break;
      case kGreenBlueRow:
        rgb[0][i] = vertical;
        rgb[1][i] = static_cast<float>(own);
        rgb[2][i] = horizontal;
        break;
    }
  }
  edge(f.width - 1);
}

int ColorConversion(CImage& image, const CBitranParam& prm, ProgressScope& scope) {
  Frame f;
  if (!LoadFrame(image, f)) return BRN_ERR_MEMORY;
  if (prm.IsPixelCorrect())
    CorrectImage(f, true, prm.GetPixelCorrect(), prm.GetLeft(), prm.GetTop(), prm.GetBinning());

  const bool high = prm.IsHighRes() != 0;
  const int width = high ? f.width : f.width / 2;
  const int height = high ? f.height : f.height / 2;
  // At low resolution each colour pixel comes from one 2 × 2 cell of the mosaic: a frame
  // narrower or lower than a cell has no colour pixel at all.
  if (width < 1 || height < 1) return BRN_ERR_FRAME_SMALL;
  try {
    // The new stores report nothing: this runs inside the conversion's own progress.
    if (!high && !image.ChangeSize(width, height)) return BRN_ERR_MEMORY;
    image.ChangePlanes(3);
  } catch (const std::bad_alloc&) {
    return BRN_ERR_MEMORY;
  }
  if (image.GetWidth() != width || image.GetHeight() != height || image.GetPlanes() != 3)
    return BRN_ERR_MEMORY;

  std::vector<float> rgb[3];
  for (auto& row : rgb) row.resize(static_cast<std::size_t>(width));
  const int w = prm.GetGreenPixel();
  for (int y = 0; y < height; ++y) {
    if (high)
      InterpolateRow(f, y, rgb);
    else
      for (int x = 0; x < width; ++x) {
        const auto i = static_cast<std::size_t>(x);
        rgb[0][i] = f.at(2 * x + 1, 2 * y);
        rgb[1][i] = LowResGreen(f.at(2 * x, 2 * y), f.at(2 * x + 1, 2 * y + 1), w);
        rgb[2][i] = f.at(2 * x, 2 * y + 1);
      }
    for (int p = 0; p < 3; ++p)
      if (!StoreRow(image, y, p, rgb[p].data())) return BRN_ERR_MEMORY;
    scope.Update(y + 1, height);
  }
  return BRN_OK;
}

// lo "～" hi after a marker, hi ending at "(", ",", a blank or the end of the text.
bool ParseLevelRange(std::string_view text, std::string_view marker, double* lo, double* hi) {
  std::size_t p = text.find(marker);
  if (p == std::string_view::npos) return false;
  p += marker.size();
  std::size_t tilde = std::string_view::npos, tildeSize = 0;
  for (std::string_view t : {std::string_view("～"), std::string_view("〜")}) {
    std::size_t at = text.find(t, p);
    if (at < tilde) {
      tilde = at;
      tildeSize = t.size();
    }
  }
  if (tilde == std::string_view::npos) return false;
  std::string_view loText = text.substr(p, tilde - p);
  std::size_t digit = loText.find_first_of("-.0123456789");
  if (digit == std::string_view::npos || !ParseDouble(loText.substr(digit), lo)) return false;
  std::size_t h = tilde + tildeSize;
  while (h < text.size() && text[h] == ' ') ++h;
  std::size_t end = text.find_first_of("(, ", h);
  std::string_view hiText = text.substr(h, end == std::string_view::npos ? end : end - h);
  return ParseDouble(hiText, hi);
}

// The levels of the data, as SetDefaultLevel finds them; float frames without scaling or
// blank (what this reader makes) are scanned directly in their own type.
void SetLevelsFromData(CImage& image) {
  const bool plain = image.GetBitsPixel() == -32 && image.GetBscale() == 1.0 &&
                     image.GetBzero() == 0.0 && !image.IsBlankUsed();
  if (!plain || !image.AllocLevel()) {
    image.SetDefaultLevel();
    return;
  }
  for (int p = 0; p < image.GetPlanes(); ++p) {
    double lo = DBL_MAX, hi = -DBL_MAX;
    for (int y = 0; y < image.GetHeight(); ++y) {
      const auto* row = static_cast<const float*>(std::as_const(image).GetImageAdr(0, y, p));
      if (!row) {
        image.SetDefaultLevel();
        return;
      }
      // Infinite starting values leave NaN and ±inf where the double scan leaves them.
      float rlo = std::numeric_limits<float>::infinity(), rhi = -rlo;
      for (int x = 0; x < image.GetWidth(); ++x) {
        const float v = row[x];
        if (v < rlo) rlo = v;
        if (v > rhi) rhi = v;
      }
      lo = std::min<double>(lo, rlo);
      hi = std::max<double>(hi, rhi);
    }
    image.SetLevel(p, lo, hi);
  }
}

void SetLevel(CImage& image, const CBitranParam& prm) {
  const std::string& text = prm.GetConvert();
  double lo = 0, hi = 0;
  const bool range = ParseLevelRange(text, "範囲", &lo, &hi);
  if (range)
    for (int p = 0; p < image.GetPlanes(); ++p) image.SetLevel(p, lo, hi);
  bool perPlane = false;
  if (image.GetDimension() == 3) {
    static constexpr std::string_view kColours[3] = {"赤", "緑", "青"};
    int found = 0;
    for (int p = 0; p < 3 && p < image.GetPlanes(); ++p)
      if (ParseLevelRange(text, kColours[p], &lo, &hi)) {
        image.SetLevel(p, lo, hi);
        ++found;
      }
    perPlane = found == 3;
  }
  if (range || perPlane) {
    image.SetOwnLevel(1);
  } else {
    SetLevelsFromData(image);
    image.SetOwnLevel(0);
  }
}

void SkyConversion(CImage& image, const CBitranParam& prm) {
  if (prm.IsSky() == 0) return;
  const double threshold = prm.GetSky();
  const bool color = image.GetDimension() == 3;
  const int planes = color ? std::min(image.GetPlanes(), 3) : 1;
  std::vector<double> values(static_cast<std::size_t>(image.GetWidth()));
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < image.GetHeight(); ++y) {
      if (!image.GetPhysicalRow(y, p, values.data())) return;
      for (double& v : values)
        if (color ? v <= threshold : v < threshold) v = 0;
      if (!image.SetPhysicalRow(y, p, values.data())) return;
    }
}

}  // namespace

int CBitran::Conversion(CImage& image, const CBitranParam* param, ProgressSink* progress,
                        const std::string& caption) {
  const CBitranParam& prm = param ? *param : m_BitranParam;
  if (image.IsEmpty()) return BRN_ERR_MEMORY;
  ProgressScope scope(progress, caption);
  int rc = BRN_OK;
  try {
    rc = prm.IsColor() ? ColorConversion(image, prm, scope) : GrayConversion(image, prm, scope);
    if (rc != BRN_OK) return rc;
    // A colour frame at low resolution is read at half its size: that is the image the
    // file gives, not a crop of it.
    image.SetOrgPlanes(prm.GetPlanes());
    image.SetOrgWidth(image.GetWidth());
    image.SetOrgHeight(image.GetHeight());
    SetLevel(image, prm);
    SkyConversion(image, prm);
  } catch (const std::bad_alloc&) {
    return BRN_ERR_MEMORY;
  }
  return rc;
}
