// CRalImage: the image class that windows, dialogs and tools hold. It adds processing to
// CImage: data ranges, plane averages, physical axis values, dark and flat calibration,
// and a step-wise progress display.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fpoint.h"
#include "imagemodel/image.h"
#include "platform/progress.h"
#include "platform/wintypes.h"

class CRalImage : public CImage {
 public:
  CRalImage() = default;
  // A deep copy. Throws std::bad_alloc.
  CRalImage(const CImage& src, ProgressSink* progress = nullptr, const std::string& caption = {});
  CRalImage(const CRalImage& src) : CRalImage(static_cast<const CImage&>(src)) {}
  // A new image; note the order: width and height first. Throws std::bad_alloc.
  CRalImage(int width, int height, int bits, int planes, double bscale, double bzero, int isSigned,
            ProgressSink* progress = nullptr, const std::string& caption = {});
  CRalImage& operator=(const CRalImage& src);
  ~CRalImage() override = default;

  // The source's geometry, pixel type, levels, header and attributes, with a new store
  // whose pixel values are not copied (CopyImage copies them); non-zero on success, 0 when
  // memory runs out (the image is then unusable).
  int Create(const CImage& src, ProgressSink* progress = nullptr, const std::string& caption = {});
  int CopyImage(const CImage& src, ProgressSink* progress = nullptr,
                const std::string& caption = {});
  void Swap(CRalImage& other);
  // Back to a fresh empty image: no pixels, no cards, every attribute at its default.
  void Init();

  // Scans every plane for its smallest and largest physical value (blanks skipped).
  int CalcMinMax();
  double GetDataMin(int plane) const;
  double GetDataMax(int plane) const;
  // The image as shown through its display levels as a packed bitmap, bottom-up: bits 24,
  // or 8 (a grey ramp for one plane, the dither palette for colour). 0 (dib empty) for
  // other bits, an empty image, or no memory.
  int GetDib(int bits, std::vector<std::uint8_t>* dib, ProgressSink* progress = nullptr,
             const std::string& caption = {}) const;
  // Mean physical value of a plane (blanks skipped); 0.0 for an empty plane.
  double GetAvrGrayRaw(int plane) const;
  // Counts physical values into `bins` equal bins over [low, high]: a value v goes into
  // bin floor((v − low) / (high − low) × bins), a value equal to high into the last bin;
  // values outside [low, high], NaN and blank pixels are not counted. mode 0 counts plane
  // `plane`; mode 1 counts the luminance 0.299 R + 0.587 G + 0.114 B of planes 0 to 2
  // (plane is then not used; a pixel blank in any of them is not counted), or plane 0 of
  // an image of fewer than three planes. counts is resized to bins and every count set.
  // rect (right and bottom exclusive, clamped to the image) limits the pixels counted;
  // null means the whole image. Returns 1; 0 for another mode, bins <= 0, a low or high
  // that is not finite or !(high > low), a plane out of range, or when a row cannot be read.
  int GetHistGram(int mode, int plane, double low, double high, int bins,
                  std::vector<std::uint32_t>* counts, const RECT* rect = nullptr) const;
  // The value of the display axis (1: x, 2: y) at a 0-based pixel position: CRVAL +
  // CDELT × (pixel + 1 − CRPIX). Returns the pixel position + 1 when no axis is set.
  double GetPhysicalValue(double x, double y) const;
  // The same for axis 0 (x) or 1 (y), whichever the display axis is: CRVAL + CDELT ×
  // (pixel + 1 − CRPIX) of that axis.
  double GetAxisValue(int axis, double x, double y) const;
  // The physical value of one pixel of a plane (NaN for a blank pixel, 0.0 when it cannot
  // be read).
  double GetPixelGrayRaw(int x, int y, int plane) const { return GetPixel(x, y, plane); }
  // The bilinear value at a real position (engine/pixelinterp.cpp): x and y are clamped to
  // the image (a position on or past the last column or row uses the last two with the
  // fraction 1), the four neighbours weighted in doubles; a whole-pixel position gives
  // that pixel's value itself, so a blank neighbour does not spoil it.
  float GetPixelGrayRaw(double x, double y, int plane) const {
    return static_cast<float>(GetPixelInterpolated(x, y, plane));
  }
  // The same value before it is rounded to a float, for callers that combine several.
  double GetPixelInterpolated(double x, double y, int plane) const;
  // The brightness of a pixel: 0.299 R + 0.587 G + 0.114 B of planes 0 to 2, the weights
  // of the luminance average; plane 0 of an image of fewer than three planes.
  double GetPixelBright(int x, int y) const;

  // Centre of gravity (0-based pixel coordinates) of the pixels in the area (right and
  // bottom exclusive, clipped to the image; null: the whole image) of plane 0, each
  // weighted by its value above the smallest value of the area; blank pixels are left
  // out. A flat area gives its middle. Returns 1, or 0 (x and y untouched) when the area
  // holds no readable pixel.
  int GetCenterOfGravity(double& x, double& y, const RECT* area) const;
  // The same over the pixels of the area inside a circular mask centred on the area's
  // middle pixel ((left + right − 1) / 2, likewise in y): row offset |dy| admits the
  // offsets |dx| ≤ halfWidths[|dy|]; rows past the table's end and negative entries admit
  // nothing.
  int GetCenterOfGravityCircle(double& x, double& y, const RECT* area,
                               const std::vector<int>* halfWidths) const;

  // Calibration with a frame of the same width and height, in place: subtracts the dark
  // frame, or divides by the flat frame scaled to its mean (pixels where the flat is not
  // positive stay as they are). A frame with fewer planes serves every plane from its
  // last one. showProgress non-zero reports to the progress sink. 0 on a size mismatch
  // or when pixels cannot be reached.
  int DarkClbrtn(const CImage& dark, int showProgress);
  int FlatClbrtn(const CImage& flat, int showProgress);
  // The same with the flat's plane means given (GetFlatMeans), for a flat applied to many
  // images; 0 as well when means does not hold one value per plane of the flat.
  int FlatClbrtn(const CImage& flat, const std::vector<double>& means, int showProgress);
  // The mean of each plane of a flat over its finite values (0.0 for a plane with none),
  // the values FlatClbrtn scales the flat by. 0 when a row cannot be read.
  static int GetFlatMeans(const CImage& flat, std::vector<double>* means);
  // DarkClbrtn with bias, DarkClbrtn with dark, then FlatClbrtn with flat and its means
  // (any of the three null to leave it out), in one pass over the rows: each value is
  // rounded to the store's 32-bit float after every step, as the separate calls store
  // it, so the pixels come out bit for bit the same. Only for images and frames held as
  // unscaled 32-bit floats, of one size, none of them this image: -1 (nothing done) for
  // any other, so that the caller takes the separate calls. 0 when a row cannot be
  // reached (the rows before it are done), 1 when done. Display levels are untouched.
  int CalibrateInOnePass(const CImage* bias, const CImage* dark, const CImage* flat,
                         const std::vector<double>* flatMeans, int showProgress);

  // ---- display bytes
  // The linear display byte of a pixel value: 0 at or below low, 255 at or above high,
  // otherwise (v − low) × scale truncated, kept below 255 so that 255 means "at or above
  // the maximum" even where float rounding of scale = 255 / range would reach it early.
  // A NaN value gives 0.
  static int GetPixelGray256(const float* pixel, float low, float high, float scale) {
    const float v = *pixel;
    if (v <= low) return 0;
    if (v >= high) return 255;
    float t = (v - low) * scale;
    if (!(t >= 0.0f)) return 0;  // NaN (an unordered value, or levels of NaN)
    return t < 254.0f ? static_cast<int>(t) : 254;
  }

  // ---- spectral axes (engine/axisunits.cpp)
  // Physical constants of the unit conversions: the speed of light (exact, SI) and
  // Planck's constant and the elementary charge of the CODATA 1986 adjustment, the set
  // the world-coordinate code uses as well.
  static constexpr double kSpeedOfLight = 299792458.0;         // m/s
  static constexpr double kPlanck = 6.6260755e-34;             // J s
  static constexpr double kElementaryCharge = 1.60217733e-19;  // C, so 1 eV in J
  // True when axis 0 or 1 carries a spectral type (FREQ, ENER, WAVN, VRAD, WAVE, VOPT,
  // ZOPT, AWAV, VELO, BETA, after FITS paper III); *axis receives the 0-based axis. The
  // display axis wins when both are spectral, else the first.
  bool IsSpectrum(int* axis) const;
  // The parts of an axis description: the four-letter type ("WAVE" of "'WAVE-LOG'"), the
  // unit without quotes and blanks ("log(m)"), and whether the axis holds decimal
  // logarithms (code "LOG" or a unit "log(...)"). False, with empty outputs, for an axis
  // other than 0 or 1 or one without a type. Any output may be null.
  bool GetAxisInfo(int axis, std::string* type, std::string* unit, int* isLog) const;
  // The name shown for an axis type as GetAxisInfo gives it ("WAVE" is "波長"); another
  // type is shown as it is.
  static std::string CTypeToStr(std::string_view type);
  // The factor from a unit to its base unit and the base's name: "nm" 1e-9 "m", "GHz"
  // 1e9 "Hz", "keV" 1e3 "eV", "/cm" or "cm-1" 100 "m-1", "Angstrom" 1 "Angstrom",
  // "erg" 1 "erg", "J" 1 "J". A "log(...)" wrapper is looked through. An empty unit gives
  // 1 and an empty base (the SI unit of the axis type). An unknown unit gives 0.
  static double AnalyzeUnitPrefix(std::string_view unit, std::string* base);
  // True when a spectral axis exists whose type and unit convert to a wavelength: FREQ
  // in Hz, ENER in J, eV or erg, WAVN in m-1, WAVE or AWAV in m or Angstrom (each with
  // any SI prefix, or with no unit given, which means the SI unit).
  bool IsSpectrumFalseColorSupported() const;
  // Unit conversions to SI; a zero denominator gives an infinite wavelength.
  static double CalcAngstrom2m(double angstrom) { return angstrom * 1e-10; }
  static double CalcEV2J(double ev) { return ev * kElementaryCharge; }
  static double CalcErg2J(double erg) { return erg * 1e-7; }
  // λ = h c / E.
  static double CalcEner2WL(double joule) { return kPlanck * kSpeedOfLight / joule; }
  // λ = c / ν.
  static double CalcFreq2WL(double hertz) { return kSpeedOfLight / hertz; }
  // λ = 1 / σ for a wavenumber σ in m⁻¹.
  static double CalcWavn2WL(double perMetre) { return 1.0 / perMetre; }

  // ---- reference points (engine/imgstdpt.cpp)
  // Up to kStdPtCount marked positions (a star, the centre of gravity) by which frames
  // are aligned. A fresh image has none; copies do not carry them.
  static constexpr int kStdPtCount = 2;
  void InitStdPt();
  // An index outside 0 … kStdPtCount − 1 or a point that is not finite is ignored.
  void SetStdPt(int index, const CfPoint& point);
  int IsValidStdPt(int index) const;
  CfPoint GetStdPt(int index) const;
  // How to place target on this image (the dx, dy and rotation of CImgComposit and
  // CImgMedianComposit) so that its reference points fall on this image's. Point 0 of
  // both gives the shift; when point 1 is valid in both as well, the rotation is the turn
  // from the target's vector (point 1 − point 0) to this image's, in degrees
  // counterclockwise with rows growing upward, and the shift puts the midpoint of the
  // target's two points, turned about the target's centre, on the midpoint of this
  // image's. Returns 1; 0 with all three set to 0 when point 0 is missing in either.
  int GetFitPrm(const CRalImage& target, double* dx, double* dy, double* rotation) const;

  // A progress display: opened with a caption and a step count, advanced step by step,
  // closed. Silent unless show is non-zero and a sink is set.
  void SetProgressSink(ProgressSink* sink) { m_pProgress = sink; }
  ProgressSink* GetProgressSink() const { return m_pProgress; }
  void ShowProgressInit(int show, const std::string& caption, std::int64_t steps);
  void ShowProgress(std::int64_t steps = 1);
  void ShowProgressEnd();

 private:
  template <typename F>
  int Calibrate(const CImage& frame, int showProgress, const std::string& caption, F combine);

  ProgressSink* m_pProgress = nullptr;
  std::unique_ptr<ProgressScope> m_pProgressScope;
  std::int64_t m_nProgressTotal = 0;
  std::int64_t m_nProgressDone = 0;
  std::vector<double> m_DataMin, m_DataMax;
  CfPoint m_StdPt[kStdPtCount];
  bool m_bStdPtValid[kStdPtCount] = {};
};
