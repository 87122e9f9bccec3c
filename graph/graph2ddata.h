// The profile graph's data, without a screen: the samples of each line (CCtrlGraph2DData),
// the sampling itself, the vertical and horizontal ranges, the reference point on the
// graph, and the text and CSV output. CCtrlGraph2DCore is everything of the graph control
// that does not draw; the Qt control derives from it.
#pragma once

#include <limits>
#include <string>
#include <vector>

class CRalImage;
class CGraph2D;

class CCtrlGraph2DData {
 public:
  virtual ~CCtrlGraph2DData() = default;

  // Luminance (or the grey value), R, G, B; the colour arrays only for colour images.
  std::vector<float> m_Value[4];
  int m_nCount = 0;
  float m_fMax[4] = {kFloatMax, kFloatMax, kFloatMax, kFloatMax};
  float m_fMin[4] = {kFloatMin, kFloatMin, kFloatMin, kFloatMin};
  double m_dX1 = 0.0, m_dY1 = 0.0, m_dX2 = 0.0, m_dY2 = 0.0;  // after clipping, 0-based
  double m_dWidth = 1.0;
  double m_dLength = 0.0;
  double m_dHrzVal = -1.0;  // carried over from the previous graph when recomputed
  // A channel whose samples were all equal: its range was widened by the display levels.
  bool m_bFlat[4] = {false, false, false, false};

  static constexpr float kFloatMax = std::numeric_limits<float>::max();
  static constexpr float kFloatMin = std::numeric_limits<float>::min();
};

// A graph taken from another document, shown beside the current image's.
class CCtrlGraph2DData2 : public CCtrlGraph2DData {
 public:
  const void* m_pDocument = nullptr;
};

// The sample count of a line: four per pixel along the longer axis, plus one.
int ProfileSampleCount(double x1, double y1, double x2, double y2);

// Samples one line of an image (0-based pixel coordinates, clamped into the image first):
// n points evenly from start to end, each the bilinear value at the point, or for a width
// w > 1 the mean of w values across the line (offsets ±(k − 0.5) for even w, 0 and ±k for
// odd w, k = 1 … w / 2). Colour images give R, G, B and the luminance 0.299 R + 0.587 G +
// 0.114 B taken through each plane's display levels. A flat channel is widened by 2.5 % of
// its display level range.
CCtrlGraph2DData SampleProfile(const CRalImage& image, double x1, double y1, double x2, double y2,
                               double width);

// A measured point of a point series: a value with its 1-sigma error at a horizontal
// position (a time, for a light curve).
struct GraphPoint {
  double x = 0.0, y = 0.0, error = 0.0;
};

class CCtrlGraph2DCore {
 public:
  virtual ~CCtrlGraph2DCore() = default;

  void Init(const CRalImage* image, int flag);
  void SetImage(const CRalImage* image);
  const CRalImage* GetImage() const { return m_pImage; }
  // Resamples every line of the set; returns the horizontal extent to show: the current
  // line's length, or the longest shown graph's.
  double Calc(const CRalImage* image, const CGraph2D& graph);
  // One line given directly (0-based, width across it) instead of a line set: it becomes
  // the only and current line. Returns its length.
  double CalcLine(const CRalImage* image, double x1, double y1, double x2, double y2, double width);
  void EmptyGraph();
  bool HasGraph() const { return !m_Data.empty(); }
  void GraphDataRemoveAll() { EmptyGraph(); }
  const CCtrlGraph2DData* GetGraphData(int i) const;
  int GetGraphDataSize() const { return static_cast<int>(m_Data.size()); }
  int GetCurrent() const { return m_nCurrent; }
  void AddAllDocCtrlGraph2DData(const CCtrlGraph2DData2& data) { m_DocData.push_back(data); }
  void RemoveAllAllDocCtrlGraph2DData() { m_DocData.clear(); }
  int GetAllDocDataSize() const { return static_cast<int>(m_DocData.size()); }
  const CCtrlGraph2DData2* GetAllDocData(int i) const {
    return i >= 0 && i < GetAllDocDataSize() ? &m_DocData[static_cast<std::size_t>(i)] : nullptr;
  }
  // Combines the minima and maxima of the shown graphs (all lines, other documents).
  void CalcLevelAllDoc(int flag);
  double CalcLengthAllDoc(double length) const;

  void HrzMag(double m) { m_dHrzMag = m; }
  double GetHrzMag() const { return m_dHrzMag; }
  void SetHrzMagPrint(double m) { m_dHrzMagPrint = m; }
  void ShiftH(double s) { m_dShiftH = s; }
  double GetShiftH() const { return m_dShiftH; }
  double GetLength() const;
  // 0 display levels, 1 automatic, 2 fixed.
  void VrtScale(int mode) { m_nVrtScale = mode; }
  int GetVrtScale() const { return m_nVrtScale; }
  void VrtScaleRange(double min, double max, int channel);
  void VrtScaleX(int mode) { m_nVrtScaleX = mode; }
  void VrtScaleRangeX(double min, double max) {
    m_dMinX = min;
    m_dMaxX = max;
  }
  void SetLog(int on) { m_bLog = on != 0; }
  bool IsLog() const { return m_bLog; }
  // 0 "R, G, B", 1 luminance, 2 R, 3 G, 4 B.
  void SetVValue(int v) { m_nVValue = v; }
  int GetVValue() const { return m_nVValue; }
  void SetGraphAll(int on) { m_bGraphAll = on != 0; }
  void SetGraphAllDoc(int on) { m_bGraphAllDoc = on != 0; }
  bool GetGraphAllDoc() const { return m_bGraphAllDoc; }
  bool GetGraphAll() const { return m_bGraphAll; }

  // ---- point series: instead of sampled lines, points with vertical error bars drawn
  // against their own horizontal values (the horizontal distance d of the mappings below
  // is then x − the smallest x). yDown puts larger values lower (magnitudes).
  void SetPoints(std::vector<GraphPoint> points, std::string xTitle, std::string yTitle,
                 bool yDown);
  void ClearPoints();
  bool HasPoints() const { return !m_Points.empty(); }
  const std::vector<GraphPoint>& GetPoints() const { return m_Points; }
  bool IsYDown() const { return m_bYDown; }
  const std::string& PointsXTitle() const { return m_strXTitle; }
  const std::string& PointsYTitle() const { return m_strYTitle; }
  // The extent of the points, error bars included, widened by 5 % of the span on each
  // side (a single value or a zero span by 0.001 either way); false without points.
  bool GetPointRange(double* x0, double* x1, double* y0, double* y1) const;
  // The text of the points: "x, value, error" rows under the titles (CSV: quoted titles).
  std::string FormatPointsText(bool csv) const;

  // The vertical range of a channel (0 luminance, 1 R, 2 G, 3 B) for a line; logarithmic
  // ranges are given as decimal logarithms.
  void GetMinMax(double* min, double* max, int channel, int line) const;

  // The reference point of the current line at a distance along it.
  void UpdateSamplePtDistance(double d);
  bool HaveSamplePt(int line) const;
  bool HaveSamplePtActive() const { return HaveSamplePt(m_nCurrent); }
  void SamplePtRemoveAll() { m_SamplePt.clear(); }
  double GetSampleDistance(int line) const;
  double GetSampleX(int line) const;
  double GetSampleY(int line) const;
  double GetSampleCount(int line) const;
  void GetSampleCountRGB(double* r, double* g, double* b, int line) const;

  // Distance along the current line ↔ screen offset in the graph area.
  double GetH(double d) const { return (d + m_dShiftH) * m_dHrzMag; }
  double GetValH(double h) const { return h / m_dHrzMag - m_dShiftH; }
  // Image position (0-based) and sampled value at a distance along a line.
  double GetX(double d, int line) const;
  double GetY(double d, int line) const;
  double GetCount(double d, int line, int channel = 0) const;

  // The spectral value at a distance along a line, from the image's world coordinates
  // (linear, logarithmic or non-linear spectral axes); false when the image has none there.
  bool GetPhyVal(double d, int line, double* value) const;

  // The celestial position (degrees, the image's two celestial axes) at a distance along
  // a line; false when the image has no celestial coordinates there.
  bool GetCelestial(double d, int line, double* lon, double* lat) const;
  bool HasCelestial() const;
  // The world coordinates at a distance along a line as the read-outs show them: the
  // celestial pair or the spectral value with its name and unit; empty when there are none.
  std::string GetPhyValText(double d, int line) const;

  // The text (or CSV) output of the current line; false when there is no line or the file
  // cannot be written. A name ending ".csv" (any case) gives CSV.
  bool OutputText(const std::string& path) const;
  std::string FormatText(bool csv) const;
  // Rows are written with y counted from the bottom (FITS images read bottom-up).
  void SetBottomUp(bool on) { m_bBottomUp = on; }
  bool IsBottomUp() const { return m_bBottomUp; }
  // A 0-based image row as shown: 1-based, from the bottom when rows count bottom-up.
  double ShownY(double y) const;

 protected:
  int SampleIndex(double d, int line) const;

 public:
  // Whether the image has a spectral axis to show along the lines, with its name and unit.
  bool PhysicalAxis(std::string* name, std::string* unit) const;

 protected:
  const CRalImage* m_pImage = nullptr;
  std::vector<CCtrlGraph2DData> m_Data;
  std::vector<CCtrlGraph2DData2> m_DocData;
  int m_nCurrent = -1;
  double m_dHrzMag = 1.0, m_dHrzMagPrint = 1.0, m_dShiftH = 0.0;
  int m_nVrtScale = 1;
  double m_dFixMin[4] = {0.0, 0.0, 0.0, 0.0}, m_dFixMax[4] = {1000.0, 1000.0, 1000.0, 1000.0};
  int m_nVrtScaleX = 1;
  double m_dMinX = 0.0, m_dMaxX = 1000.0;
  bool m_bLog = false;
  int m_nVValue = 1;
  double m_dLevelMin[4] = {0, 0, 0, 0}, m_dLevelMax[4] = {1, 1, 1, 1};
  double m_dAllMin[4] = {0, 0, 0, 0}, m_dAllMax[4] = {1, 1, 1, 1};
  bool m_bGraphAll = false, m_bGraphAllDoc = false;
  bool m_bBottomUp = false;
  std::vector<double> m_SamplePt;  // distance per line, negative when none
  std::vector<GraphPoint> m_Points;
  std::string m_strXTitle, m_strYTitle;
  bool m_bYDown = false;
};
