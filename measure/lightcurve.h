// Light curves: differential aperture photometry of one target star against one or more
// comparison stars through a series of frames. Each star is followed from frame to frame
// by its centre of gravity round where it stood last, measured with the aperture tool's
// own disc and sky ring (CApertureMark: the same pixel membership and the same truncated
// values, so the counts are those the photometry dialog shows), and the frames are put in
// order of their mid-exposure times, read from DATE-OBS (with UT or TIME-OBS when the date
// has no time) and EXPTIME.
//
// Times: the Modified Julian Date in UTC is the day count from 1858-11-17 of the civil
// date (the proleptic Gregorian calendar, days_from_civil of H. Hinnant, "chrono-
// Compatible Low-Level Date Algorithms") plus the fraction of the day; JD = MJD +
// 2400000.5. A day is taken as 86400 s, leap seconds are not counted.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

class CFitsHeader;
class CImage;
class CRalImage;

// ---- Times of observation

struct FitsCalendarTime {
  int year = 0, month = 0, day = 0;
  double seconds = 0.0;  // of the day, 0 ≤ seconds < 86401 (a leap second may be written)
  bool hasTime = false;  // whether the text held a time of day
};

// Reads a FITS date: "YYYY-MM-DD", "YYYY-MM-DDThh:mm:ss[.s…]" or the old "DD/MM/YY"
// (19YY). False on any other text or an impossible date or time.
bool ParseFitsDate(std::string_view text, FitsCalendarTime* out);
// Reads a time of day "hh:mm:ss[.s…]" into seconds; false otherwise.
bool ParseFitsTimeOfDay(std::string_view text, double* seconds);
// The Modified Julian Date of a civil date and a time of day in seconds.
double ModifiedJulianDate(int year, int month, int day, double seconds);

struct FrameTime {
  bool ok = false;
  std::string why;   // when not ok: what is missing or wrong
  double mjd = 0.0;  // mid-exposure, UTC
  double jd = 0.0;
  double exposure = 0.0;     // seconds; 0 when the header gives none
  std::string startText;     // the start as the header gives it (date, then time card)
  std::string dateCard;      // "DATE-OBS"
  std::string timeCard;      // "UT", "TIME-OBS" or empty when DATE-OBS holds the time
  std::string exposureCard;  // "EXPTIME", "EXPOSURE" or empty
};

// The mid-exposure time of a frame from its header: DATE-OBS, with UT or TIME-OBS when
// DATE-OBS holds no time, plus half of EXPTIME (EXPOSURE when there is no EXPTIME; none
// when there is neither, the start then standing for the middle).
FrameTime ReadFrameTime(const CFitsHeader& header);

// ---- Measuring

struct LightCurveParams {
  double starRadius = 5.0;  // the star disc
  double skyInner = 10.0;   // the sky ring, from skyInner to skyInner + skyWidth
  double skyWidth = 2.0;
  int searchRadius = 8;  // half size of the square the centroid is searched in
  // The level at or above which a star pixel counts as saturated: NaN takes SATURATE from
  // each frame's header (no check without one).
  double saturation = std::numeric_limits<double>::quiet_NaN();
  // Electrons per count: NaN takes GAIN from each frame's header (1 without one).
  double gain = std::numeric_limits<double>::quiet_NaN();
  // The stars are given as celestial longitude and latitude in degrees, and each frame's
  // own celestial coordinates place them there before the centroid search; a frame
  // without them is left out. Otherwise they are 0-based pixels of the first frame, each
  // followed from where it was found last.
  bool world = false;
};

// Star flags; a star that is near the edge or lost is not measured.
enum : unsigned {
  kLightCurveEdge = 1,       // the sky ring or the centroid square leaves the frame
  kLightCurveSaturated = 2,  // a pixel of the star disc at or above the saturation level
  kLightCurveLost = 4,       // no centroid, one that ran off, or no star above the sky
};
// "edge", "saturated", "lost", joined by "," ("" for none).
std::string LightCurveFlagText(unsigned flags);

struct LightCurveStar {
  double x = 0.0, y = 0.0;  // 0-based image pixels: where it was measured (or searched)
  bool measured = false;    // neither near the edge nor lost
  unsigned flags = 0;
  double net = 0.0;    // star total − sky mean × star pixels
  double error = 0.0;  // 1σ of net
  double skyMean = 0.0, skySigma = 0.0;
  int starPixels = 0, skyPixels = 0;
};

struct LightCurveFrame {
  int index = 0;  // in the list of files given
  std::string file;
  FrameTime time;
  double gain = 1.0;
  bool gainFromHeader = false;
  double saturation = std::numeric_limits<double>::quiet_NaN();  // the level used; NaN when none
  std::vector<LightCurveStar> stars;  // the target, then the comparisons in order
  bool kept = false;                  // part of the curve
  std::string why;                    // when not kept: the reason
  // The sum of the comparisons (LightCurveResult::ensemble), its error and the target's
  // magnitude against it; set for kept frames.
  double compNet = 0.0, compError = 0.0;
  double mag = 0.0, magError = 0.0;
};

// A frame's image, read by the caller's reader; false (with the reason) when it cannot.
using LightCurveReader =
    std::function<bool(const std::string& file, CRalImage& image, std::string* why)>;
// Called after each frame is measured (done frames of total); false stops the run.
using LightCurveProgress = std::function<bool(int done, int total, const LightCurveFrame& frame)>;

struct LightCurveResult {
  std::vector<LightCurveFrame> frames;  // every frame: kept ones by time, then the others
  std::vector<int> ensemble;            // the comparisons summed (1-based star indices)
  std::vector<std::string> notes;       // comparisons left out of the sum and why
  bool stopped = false;                 // the progress callback asked to stop
  int keptCount() const;
};

class CLightCurve {
 public:
  // Stars in 0-based pixels of the first frame, or in degrees (LightCurveParams::world):
  // target first, then the comparisons.
  CLightCurve(std::vector<std::pair<double, double>> stars, LightCurveParams params);

  // Measures the files in the order given, following the stars from each frame to the
  // next, and builds the curve. A frame that cannot be read, has no time, or where the
  // target or every comparison cannot be measured is kept out with its reason.
  LightCurveResult Run(const std::vector<std::string>& files, const LightCurveReader& reader,
                       const LightCurveProgress& progress = {});

  // One frame: measures each star round its position in stars (updated to the centre
  // found); a star not found there is looked for again where the others moved. Exposed
  // for frame-by-frame callers and the tests.
  void MeasureFrame(const CRalImage& image, double gain, double saturation,
                    std::vector<LightCurveStar>* stars) const;

  // Chooses the comparisons summed and fills in the magnitudes of result's frames: the
  // comparisons measured in every frame whose target was measured; when none is, the one
  // measured most often, frames without it kept out. Frames are then ordered by time.
  static void Finish(LightCurveResult* result);

 private:
  bool Centroid(const CRalImage& image, double* x, double* y) const;
  void MeasureStar(const CRalImage& image, double gain, double saturation,
                   LightCurveStar* star) const;

  std::vector<std::pair<double, double>> m_Start;
  LightCurveParams m_Params;
};
