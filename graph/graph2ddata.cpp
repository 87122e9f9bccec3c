// Sampling follows the line in n = trunc(max(|dx|, |dy|) + 0.001) × 4 + 1 even steps; each
// value is the bilinear interpolation of the image (CRalImage::GetPixelGrayRaw), averaged
// across the line for a band.
#include "graph/graph2ddata.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "engine/ralimage.h"
#include "graph/drawline.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "wcs/wcs.h"
#include "wcs/wcstext.h"

namespace {

constexpr double kLumR = 0.299, kLumG = 0.587, kLumB = 0.114;

struct Levels {
  double min[4] = {0, 0, 0, 0};
  double max[4] = {1, 1, 1, 1};
};

Levels LevelsOf(const CRalImage& image) {
  Levels l;
  if (!image.HasLevel()) return l;
  if (image.IsColor() && image.GetPlanes() >= 3) {
    for (int p = 0; p < 3; ++p) {
      l.min[p + 1] = image.GetLevelMin(p);
      l.max[p + 1] = image.GetLevelMax(p);
    }
    l.min[0] = kLumR * l.min[1] + kLumG * l.min[2] + kLumB * l.min[3];
    l.max[0] = kLumR * l.max[1] + kLumG * l.max[2] + kLumB * l.max[3];
  } else {
    for (int c = 0; c < 4; ++c) {
      l.min[c] = image.GetLevelMin(0);
      l.max[c] = image.GetLevelMax(0);
    }
  }
  return l;
}

// The bilinear values of one plane, as CRalImage::GetPixelInterpolated gives them. When
// the whole image is in memory and holds unscaled real values, rows are read through
// pointers kept for the run (no pager call per pixel); otherwise each value is asked of
// the image. Nothing else asks the pager while a line is sampled, so the rows stay put.
class PlaneSampler {
 public:
  PlaneSampler(const CRalImage& image, int plane) : image_(image), plane_(plane) {
    const int bits = image.GetBitsPixel();
    direct_ = (bits == -32 || bits == -64) && image.GetBscale() == 1.0 && image.GetBzero() == 0.0 &&
              image.IsOnMemory() && image.GetWidth() > 0;
    if (direct_) rows_.assign(static_cast<std::size_t>(image.GetHeight()), nullptr);
    double_ = bits == -64;
    width_ = image.GetWidth();
    height_ = image.GetHeight();
  }

  double At(double x, double y) {
    if (!direct_) return image_.GetPixelInterpolated(x, y, plane_);
    if (width_ <= 0 || height_ <= 0) return 0.0;
    int ix, iy;
    double fx, fy;
    Split(x, width_, &ix, &fx);
    Split(y, height_, &iy, &fy);
    if (fx == 0.0 && fy == 0.0) return Pixel(ix, iy);
    if (fx == 1.0 && fy == 0.0) return Pixel(ix + 1, iy);
    if (fx == 0.0 && fy == 1.0) return Pixel(ix, iy + 1);
    if (fx == 1.0 && fy == 1.0) return Pixel(ix + 1, iy + 1);
    double v = 0.0;
    const double w00 = (1.0 - fy) * (1.0 - fx), w01 = fy * (1.0 - fx), w10 = fx * (1.0 - fy),
                 w11 = fx * fy;
    if (w00 != 0.0) v += w00 * Pixel(ix, iy);
    if (w01 != 0.0) v += w01 * Pixel(ix, iy + 1);
    if (w10 != 0.0) v += w10 * Pixel(ix + 1, iy);
    if (w11 != 0.0) v += w11 * Pixel(ix + 1, iy + 1);
    return v;
  }

 private:
  // The same split as the engine's: clamped, the last two pixels with fraction 1 at the end.
  static void Split(double v, int n, int* index, double* fraction) {
    if (!(v > 0.0)) v = 0.0;
    const double last = static_cast<double>(n - 1);
    if (v >= last) {
      *index = n >= 2 ? n - 2 : 0;
      *fraction = n >= 2 ? 1.0 : 0.0;
      return;
    }
    *index = static_cast<int>(v);
    *fraction = v - *index;
  }

  double Pixel(int x, int y) {
    const void*& row = rows_[static_cast<std::size_t>(y)];
    if (!row) row = image_.GetImageAdr(0, y, plane_);
    if (!row) return image_.GetPixel(x, y, plane_);
    return double_ ? static_cast<const double*>(row)[x]
                   : static_cast<double>(static_cast<const float*>(row)[x]);
  }

  const CRalImage& image_;
  int plane_;
  bool direct_ = false, double_ = false;
  int width_ = 0, height_ = 0;
  std::vector<const void*> rows_;
};

// The mean of the values across the line at one centre point.
double BandValue(PlaneSampler& sampler, double cx, double cy, double nx, double ny, int w) {
  if (w <= 1) return sampler.At(cx, cy);
  double sum = 0.0;
  const double c = w % 2 == 0 ? -0.5 : 0.0;
  if (w % 2) sum += sampler.At(cx, cy);
  for (int k = 1; k <= w / 2; ++k) {
    const double o = k + c;
    sum += sampler.At(cx + o * nx, cy + o * ny);
    sum += sampler.At(cx - o * nx, cy - o * ny);
  }
  return sum / w;
}

}  // namespace

int ProfileSampleCount(double x1, double y1, double x2, double y2) {
  const double dx = std::fabs(x2 - x1) + 0.001, dy = std::fabs(y2 - y1) + 0.001;
  return static_cast<int>(std::trunc(std::max(dx, dy))) * 4 + 1;
}

CCtrlGraph2DData SampleProfile(const CRalImage& image, double x1, double y1, double x2, double y2,
                               double width) {
  CCtrlGraph2DData d;
  const double wmax = std::max(image.GetWidth() - 1, 0), hmax = std::max(image.GetHeight() - 1, 0);
  x1 = std::clamp(x1, 0.0, wmax);
  x2 = std::clamp(x2, 0.0, wmax);
  y1 = std::clamp(y1, 0.0, hmax);
  y2 = std::clamp(y2, 0.0, hmax);
  d.m_dX1 = x1;
  d.m_dY1 = y1;
  d.m_dX2 = x2;
  d.m_dY2 = y2;
  d.m_dWidth = width;
  const double dx = x2 - x1, dy = y2 - y1;
  d.m_dLength = std::sqrt(dx * dx + dy * dy);
  const int n = ProfileSampleCount(x1, y1, x2, y2);
  const double nx = d.m_dLength > 0.0 ? -dy / d.m_dLength : 0.0;
  const double ny = d.m_dLength > 0.0 ? dx / d.m_dLength : 0.0;
  const int w = std::max(1, static_cast<int>(width));
  const bool colour = image.IsColor() && image.GetPlanes() >= 3;
  const Levels lv = LevelsOf(image);
  const int channels = colour ? 4 : 1;
  std::vector<PlaneSampler> samplers;
  for (int p = 0; p < (colour ? 3 : 1); ++p) samplers.emplace_back(image, p);
  for (int c = 0; c < channels; ++c) d.m_Value[c].resize(static_cast<std::size_t>(n));
  d.m_nCount = n;
  float lo[4], hi[4];
  std::fill(lo, lo + 4, CCtrlGraph2DData::kFloatMax);
  std::fill(hi, hi + 4, -CCtrlGraph2DData::kFloatMax);
  for (int i = 0; i < n; ++i) {
    const double t = n > 1 ? static_cast<double>(i) / (n - 1) : 0.0;
    const double cx = (1.0 - t) * x1 + t * x2, cy = (1.0 - t) * y1 + t * y2;
    float v[4];
    if (colour) {
      double lum = 0.0;
      const double weight[3] = {kLumR, kLumG, kLumB};
      for (int p = 0; p < 3; ++p) {
        const double value = BandValue(samplers[static_cast<std::size_t>(p)], cx, cy, nx, ny, w);
        v[p + 1] = static_cast<float>(value);
        // Each plane through its display levels, so that planes of different ranges weigh
        // by their share of the screen brightness.
        const double range = lv.max[p + 1] - lv.min[p + 1];
        lum += weight[p] * (range != 0.0 ? (value - lv.min[p + 1]) / range : 0.0);
      }
      v[0] = static_cast<float>(lv.min[0] + lum * (lv.max[0] - lv.min[0]));
    } else {
      v[0] = static_cast<float>(BandValue(samplers[0], cx, cy, nx, ny, w));
    }
    for (int c = 0; c < channels; ++c) {
      d.m_Value[c][static_cast<std::size_t>(i)] = v[c];
      if (v[c] < lo[c]) lo[c] = v[c];
      if (v[c] > hi[c]) hi[c] = v[c];
    }
  }
  for (int c = 0; c < channels; ++c) {
    if (lo[c] > hi[c]) continue;  // every sample NaN
    d.m_fMin[c] = lo[c];
    d.m_fMax[c] = hi[c];
    if (lo[c] == hi[c]) {
      const double range = lv.max[c] - lv.min[c];
      d.m_fMin[c] = static_cast<float>(lo[c] - 0.025 * range);
      d.m_fMax[c] = static_cast<float>(hi[c] + 0.025 * range);
      d.m_bFlat[c] = true;
    }
  }
  return d;
}

void CCtrlGraph2DCore::Init(const CRalImage* image, int /*flag*/) {
  EmptyGraph();
  SetImage(image);
}

void CCtrlGraph2DCore::SetImage(const CRalImage* image) {
  m_pImage = image;
  if (!image) return;
  const Levels lv = LevelsOf(*image);
  for (int c = 0; c < 4; ++c) {
    m_dLevelMin[c] = lv.min[c];
    m_dLevelMax[c] = lv.max[c];
  }
}

double CCtrlGraph2DCore::Calc(const CRalImage* image, const CGraph2D& graph) {
  SetImage(image);
  std::vector<CCtrlGraph2DData> previous = std::move(m_Data);
  m_Data.clear();
  if (!image || image->IsEmpty()) return 0.0;
  for (int i = 0; i < graph.GetSize(); ++i) {
    const CDrawLineGraph2D& line = graph.GetLine(i);
    double x1, y1, x2, y2, w;
    line.GetProfile(&x1, &y1, &x2, &y2, &w);
    CCtrlGraph2DData d = SampleProfile(*image, x1, y1, x2, y2, w);
    if (static_cast<std::size_t>(i) < previous.size())
      d.m_dHrzVal = previous[static_cast<std::size_t>(i)].m_dHrzVal;
    m_Data.push_back(std::move(d));
  }
  m_nCurrent = graph.GetCurrent();
  if (m_nCurrent >= GetGraphDataSize()) m_nCurrent = GetGraphDataSize() - 1;
  m_SamplePt.resize(m_Data.size(), -1.0);
  CalcLevelAllDoc(1);
  double length = GetLength();
  if (m_bGraphAll)
    for (const CCtrlGraph2DData& d : m_Data) length = std::max(length, d.m_dLength);
  return m_bGraphAllDoc ? CalcLengthAllDoc(length) : length;
}

double CCtrlGraph2DCore::CalcLine(const CRalImage* image, double x1, double y1, double x2,
                                  double y2, double width) {
  EmptyGraph();
  SetImage(image);
  if (!image || image->IsEmpty()) return 0.0;
  m_Data.push_back(SampleProfile(*image, x1, y1, x2, y2, width));
  m_nCurrent = 0;
  m_SamplePt.assign(1, -1.0);
  CalcLevelAllDoc(1);
  return GetLength();
}

void CCtrlGraph2DCore::EmptyGraph() {
  m_Data.clear();
  m_SamplePt.clear();
  m_nCurrent = -1;
}

const CCtrlGraph2DData* CCtrlGraph2DCore::GetGraphData(int i) const {
  if (i < 0 || i >= GetGraphDataSize()) return nullptr;
  return &m_Data[static_cast<std::size_t>(i)];
}

void CCtrlGraph2DCore::CalcLevelAllDoc(int /*flag*/) {
  for (int c = 0; c < 4; ++c) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    auto take = [&](const CCtrlGraph2DData& d) {
      if (d.m_fMin[c] == CCtrlGraph2DData::kFloatMin && d.m_fMax[c] == CCtrlGraph2DData::kFloatMax)
        return;  // channel not sampled
      lo = std::min(lo, static_cast<double>(d.m_fMin[c]));
      hi = std::max(hi, static_cast<double>(d.m_fMax[c]));
    };
    if (m_bGraphAll)
      for (const CCtrlGraph2DData& d : m_Data) take(d);
    else if (const CCtrlGraph2DData* d = GetGraphData(m_nCurrent))
      take(*d);
    if (m_bGraphAllDoc)
      for (const CCtrlGraph2DData2& d : m_DocData) take(d);
    if (lo <= hi) {
      m_dAllMin[c] = lo;
      m_dAllMax[c] = hi;
    }
  }
}

double CCtrlGraph2DCore::CalcLengthAllDoc(double length) const {
  for (const CCtrlGraph2DData2& d : m_DocData) length = std::max(length, d.m_dLength);
  return length;
}

double CCtrlGraph2DCore::GetLength() const {
  double x0, x1, y0, y1;
  if (GetPointRange(&x0, &x1, &y0, &y1)) return x1 - x0;
  const CCtrlGraph2DData* d = GetGraphData(m_nCurrent);
  return d ? d->m_dLength : 0.0;
}

void CCtrlGraph2DCore::VrtScaleRange(double min, double max, int channel) {
  if (channel < 0 || channel > 3) return;
  m_dFixMin[channel] = min;
  m_dFixMax[channel] = max;
}

void CCtrlGraph2DCore::GetMinMax(double* min, double* max, int channel, int line) const {
  double x0, x1;
  if (GetPointRange(&x0, &x1, min, max)) return;
  channel = std::clamp(channel, 0, 3);
  double lo = m_dLevelMin[channel], hi = m_dLevelMax[channel];
  if (m_nVrtScale == 2) {
    lo = m_dFixMin[channel];
    hi = m_dFixMax[channel];
  } else if (m_nVrtScale == 1) {
    const CCtrlGraph2DData* d = GetGraphData(line);
    bool flat = d && d->m_bFlat[channel];
    if (m_bGraphAll || m_bGraphAllDoc) {
      lo = m_dAllMin[channel];
      hi = m_dAllMax[channel];
      flat = false;
    } else if (d) {
      lo = d->m_fMin[channel];
      hi = d->m_fMax[channel];
    }
    // A flat profile was already widened by the display levels when it was sampled.
    if (!m_bLog && !flat) {
      const double margin = 0.025 * (hi - lo);
      lo -= margin;
      hi += margin;
    }
  }
  if (m_bLog) {
    if (!(hi > 0.0)) {
      lo = 1.0;
      hi = 100.0;
    } else if (!(lo > 0.0)) {
      lo = hi * 0.01;
    }
    lo = std::log10(lo);
    hi = std::log10(hi);
  }
  *min = lo;
  *max = hi;
}

void CCtrlGraph2DCore::UpdateSamplePtDistance(double d) {
  if (m_nCurrent < 0 || m_nCurrent >= GetGraphDataSize()) return;
  m_SamplePt.resize(m_Data.size(), -1.0);
  m_SamplePt[static_cast<std::size_t>(m_nCurrent)] = std::clamp(d, 0.0, GetLength());
}

bool CCtrlGraph2DCore::HaveSamplePt(int line) const {
  return line >= 0 && static_cast<std::size_t>(line) < m_SamplePt.size() &&
         line < GetGraphDataSize() && m_SamplePt[static_cast<std::size_t>(line)] >= 0.0;
}

double CCtrlGraph2DCore::GetSampleDistance(int line) const {
  return HaveSamplePt(line) ? m_SamplePt[static_cast<std::size_t>(line)] : -1.0;
}

double CCtrlGraph2DCore::GetSampleX(int line) const {
  return GetX(GetSampleDistance(line), line);
}
double CCtrlGraph2DCore::GetSampleY(int line) const {
  return GetY(GetSampleDistance(line), line);
}
double CCtrlGraph2DCore::GetSampleCount(int line) const {
  return GetCount(GetSampleDistance(line), line, 0);
}
void CCtrlGraph2DCore::GetSampleCountRGB(double* r, double* g, double* b, int line) const {
  const double d = GetSampleDistance(line);
  *r = GetCount(d, line, 1);
  *g = GetCount(d, line, 2);
  *b = GetCount(d, line, 3);
}

double CCtrlGraph2DCore::GetX(double d, int line) const {
  const CCtrlGraph2DData* g = GetGraphData(line);
  if (!g) return 0.0;
  const double t = g->m_dLength > 0.0 ? std::clamp(d / g->m_dLength, 0.0, 1.0) : 0.0;
  return (1.0 - t) * g->m_dX1 + t * g->m_dX2;
}

double CCtrlGraph2DCore::GetY(double d, int line) const {
  const CCtrlGraph2DData* g = GetGraphData(line);
  if (!g) return 0.0;
  const double t = g->m_dLength > 0.0 ? std::clamp(d / g->m_dLength, 0.0, 1.0) : 0.0;
  return (1.0 - t) * g->m_dY1 + t * g->m_dY2;
}

int CCtrlGraph2DCore::SampleIndex(double d, int line) const {
  const CCtrlGraph2DData* g = GetGraphData(line);
  if (!g || g->m_nCount <= 0) return -1;
  if (g->m_nCount == 1 || g->m_dLength <= 0.0) return 0;
  const double t = std::clamp(d / g->m_dLength, 0.0, 1.0);
  return static_cast<int>(std::lround(t * (g->m_nCount - 1)));
}

double CCtrlGraph2DCore::GetCount(double d, int line, int channel) const {
  const int i = SampleIndex(d, line);
  const CCtrlGraph2DData* g = GetGraphData(line);
  if (i < 0 || channel < 0 || channel > 3 || g->m_Value[channel].empty()) return 0.0;
  return g->m_Value[channel][static_cast<std::size_t>(i)];
}

bool CCtrlGraph2DCore::PhysicalAxis(std::string* name, std::string* unit) const {
  int axis = 0;
  if (!m_pImage || !m_pImage->IsSpectrum(&axis)) return false;
  std::string type;
  if (!m_pImage->GetAxisInfo(axis, &type, unit, nullptr)) return false;
  *name = CRalImage::CTypeToStr(type);
  return true;
}

bool CCtrlGraph2DCore::GetPhyVal(double d, int line, double* value) const {
  int axis = 0;
  if (!m_pImage || !m_pImage->IsSpectrum(&axis) || !GetGraphData(line)) return false;
  // The FITS position of the point: 1-based, rows as the file counts them.
  const tagSFPoint p{GetX(d, line) + 1.0, ShownY(GetY(d, line))};
  tagAD out;
  unsigned int kind = 0;
  int first = 0, second = 0;
  if (!CWCS().ToWCS2(m_pImage, p, &out, &kind, &first, &second) || kind == WCS_KIND_CELESTIAL)
    return false;
  if (axis == 0 && first)
    *value = out.a;
  else if (axis == 1 && second)
    *value = out.d;
  else
    return false;
  return true;
}

bool CCtrlGraph2DCore::HasCelestial() const {
  double lon, lat;
  return GetCelestial(0.0, m_nCurrent, &lon, &lat);
}

bool CCtrlGraph2DCore::GetCelestial(double d, int line, double* lon, double* lat) const {
  if (!m_pImage || !GetGraphData(line)) return false;
  const tagSFPoint p{GetX(d, line) + 1.0, ShownY(GetY(d, line))};
  tagAD out;
  unsigned int kind = 0;
  int first = 0, second = 0;
  if (!CWCS().ToWCS2(m_pImage, p, &out, &kind, &first, &second) || kind != WCS_KIND_CELESTIAL)
    return false;
  *lon = out.a;
  *lat = out.d;
  return std::isfinite(out.a) && std::isfinite(out.d);
}

std::string CCtrlGraph2DCore::GetPhyValText(double d, int line) const {
  if (!m_pImage || !GetGraphData(line)) return {};
  // The same FITS position as the samples' read-outs: 1-based, rows as shown.
  const tagSFPoint p{GetX(d, line) + 1.0, ShownY(GetY(d, line))};
  tagAD out;
  unsigned int kind = 0;
  int first = 0, second = 0;
  if (!CWCS().ToWCS2(m_pImage, p, &out, &kind, &first, &second)) return {};
  return WcsPhysicalText(*m_pImage, out, kind, first, second);
}

void CCtrlGraph2DCore::SetPoints(std::vector<GraphPoint> points, std::string xTitle,
                                 std::string yTitle, bool yDown) {
  m_Points.clear();
  for (const GraphPoint& p : points)
    if (std::isfinite(p.x) && std::isfinite(p.y)) {
      m_Points.push_back(p);
      if (!std::isfinite(m_Points.back().error) || m_Points.back().error < 0.0)
        m_Points.back().error = 0.0;
    }
  std::sort(m_Points.begin(), m_Points.end(),
            [](const GraphPoint& a, const GraphPoint& b) { return a.x < b.x; });
  m_strXTitle = std::move(xTitle);
  m_strYTitle = std::move(yTitle);
  m_bYDown = yDown;
  m_dShiftH = 0.0;
}

void CCtrlGraph2DCore::ClearPoints() {
  m_Points.clear();
  m_strXTitle.clear();
  m_strYTitle.clear();
  m_bYDown = false;
}

bool CCtrlGraph2DCore::GetPointRange(double* x0, double* x1, double* y0, double* y1) const {
  if (m_Points.empty()) return false;
  double xl = m_Points.front().x, xh = m_Points.back().x;
  double yl = m_Points.front().y - m_Points.front().error, yh = m_Points.front().y + m_Points.front().error;
  for (const GraphPoint& p : m_Points) {
    yl = std::min(yl, p.y - p.error);
    yh = std::max(yh, p.y + p.error);
  }
  auto widen = [](double* lo, double* hi) {
    const double span = *hi - *lo;
    if (!(span > 0.0)) {
      *lo -= 0.001;
      *hi += 0.001;
    } else {
      *lo -= 0.05 * span;
      *hi += 0.05 * span;
    }
  };
  widen(&xl, &xh);
  widen(&yl, &yh);
  *x0 = xl;
  *x1 = xh;
  *y0 = yl;
  *y1 = yh;
  return true;
}

std::string CCtrlGraph2DCore::FormatPointsText(bool csv) const {
  std::string out;
  if (csv)
    out += "\"" + m_strXTitle + "\",\"" + m_strYTitle + "\",\"error\"\n";
  else
    out += "# " + m_strXTitle + "  " + m_strYTitle + "  error\n";
  for (const GraphPoint& p : m_Points)
    out += FormatC(csv ? "%.8f,%.6f,%.6f\n" : "%18.8f %12.6f %10.6f\n", p.x, p.y, p.error);
  return out;
}

std::string CCtrlGraph2DCore::FormatText(bool csv) const {
  if (HasPoints()) return FormatPointsText(csv);
  const CCtrlGraph2DData* g = GetGraphData(m_nCurrent);
  if (!g) return {};
  const bool colour = !g->m_Value[1].empty();
  std::string name, unit;
  double probe = 0.0;
  const bool physical = !colour && PhysicalAxis(&name, &unit) && GetPhyVal(0.0, m_nCurrent, &probe);
  std::string out;
  if (csv) {
    if (colour)
      out += "\"X座標\",\"Y座標\",\"輝度\",\"R\",\"G\",\"B\"\n";
    else if (physical)
      out += "\"X座標\",\"Y座標\",\"" + name + (unit.empty() ? "" : " [" + unit + "]") +
             "\",\"カウント値\"\n";
    else
      out += "\"X座標\",\"Y座標\",\"カウント値\"\n";
  } else if (colour) {
    out +=
        " X座標  Y座標         輝度                   R                    G                    B  "
        "       \n------ ------ -------------------- -------------------- -------------------- "
        "--------------------\n";
  } else if (physical) {
    out += " X座標  Y座標 " + name + (unit.empty() ? "" : " [" + unit + "]") + " カウント値\n";
    out += "------ ------ -------------------- --------------------\n";
  } else {
    out += " X座標  Y座標      カウント値     \n------ ------ --------------------\n";
  }
  const int n = g->m_nCount;
  for (int i = 0; i < n; ++i) {
    const double d = n > 1 ? i * g->m_dLength / (n - 1) : 0.0;
    const double x = GetX(d, m_nCurrent) + 1.0, y = ShownY(GetY(d, m_nCurrent));
    const std::size_t k = static_cast<std::size_t>(i);
    if (colour) {
      out += FormatC(csv ? "%6.1f, %6.1f, %20.8f, %20.8f, %20.8f, %20.8f\n"
                         : "%6.1f %6.1f %20.8f %20.8f %20.8f %20.8f\n",
                     x, y, static_cast<double>(g->m_Value[0][k]),
                     static_cast<double>(g->m_Value[1][k]), static_cast<double>(g->m_Value[2][k]),
                     static_cast<double>(g->m_Value[3][k]));
    } else if (physical) {
      out += FormatC(csv ? "%6.1f, %6.1f, %20.8f, %20.8f\n" : "%6.1f %6.1f %20.8f %20.8f\n", x, y,
                     GetPhyVal(d, m_nCurrent, &probe) ? probe : std::nan(""),
                     static_cast<double>(g->m_Value[0][k]));
    } else {
      out += FormatC(csv ? "%6.1f, %6.1f, %20.8f\n" : "%6.1f %6.1f %20.8f\n", x, y,
                     static_cast<double>(g->m_Value[0][k]));
    }
  }
  return out;
}

double CCtrlGraph2DCore::ShownY(double y) const {
  return m_bBottomUp && m_pImage ? m_pImage->GetHeight() - y : y + 1.0;
}

bool CCtrlGraph2DCore::OutputText(const std::string& path) const {
  if (!GetGraphData(m_nCurrent) && !HasPoints()) return false;
  std::string lower = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // Replaced whole: a failed write leaves an earlier output as it was.
  return WriteTextFile(path, FormatText(lower == ".csv")) == 0;
}
