// Plate solving: the stars of a frame found by the positioning tool's detection, handed
// to astrometry.net's solve-field as a list of positions (never the image), and the
// solution it finds (a TAN projection, with SIP terms when it fits them) put into the
// image's header as world-coordinate cards. No Qt: the command line calls it, and a dialog
// can run it on a worker thread, following the progress and stopping it through the
// cancel callback, which is polled while solve-field runs and kills it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CImage;
class CRalImage;
class ProgressSink;

inline constexpr int PSOLVE_OK = 0;
inline constexpr int PSOLVE_NO_SOLUTION = 1;  // solve-field ended (or the time ran out) unsolved
inline constexpr int PSOLVE_CANCELLED = 2;    // the caller stopped it
inline constexpr int PSOLVE_NO_PROGRAM = 3;   // solve-field is not installed
inline constexpr int PSOLVE_NO_INDEX = 4;     // the index folder holds no index files
inline constexpr int PSOLVE_FEW_STARS = 5;    // too few stars detected to try
inline constexpr int PSOLVE_FAILED = 6;       // a temporary file, the run or its output failed
inline constexpr int PSOLVE_BAD_OPTIONS = 7;  // options out of range

// Settings section and key of the folder of index files.
inline constexpr const char* kPlateSolveSection = "PlateSolve";
inline constexpr const char* kPlateSolveIndexDirKey = "IndexDir";
// Where Debian's astrometry-data-tycho2-* packages put the index files.
inline constexpr const char* kPlateSolveDefaultIndexDir = "/usr/share/astrometry";
// The packages named when the program or the index files are missing.
inline constexpr const char* kPlateSolvePackages =
    "astrometry.net and astrometry-data-tycho2 (or astrometry-data-tycho2-09-littleendian and "
    "astrometry-data-tycho2-10-19-littleendian for fields of 44' and wider)";
// Fewer stars than this cannot make astrometry.net's quads.
inline constexpr int kPlateSolveMinStars = 4;

// A detected star: 1-based FITS pixel coordinates and the flux above the local sky.
struct PlateSolveStar {
  double x = 0.0, y = 0.0, flux = 0.0;
};

struct PlateSolveOptions {
  std::string indexDir;  // empty: the setting, else kPlateSolveDefaultIndexDir
  // Pixel scale bounds in arc seconds per pixel (both or neither).
  std::optional<double> scaleLow, scaleHigh;
  // A hint: centre and search radius in degrees (all three or none).
  std::optional<double> ra, dec, radius;
  double timeout = 60.0;  // seconds, wall clock, for the whole run
  int maxStars = 300;     // the brightest this many are handed over
  // The program to run; empty: solve-field found on PATH.
  std::string solveField;
};

struct PlateSolution {
  // The world-coordinate cards of the solution, 80 characters each, in the order
  // solve-field wrote them: CTYPE, CRVAL, CRPIX, CUNIT, CD, the SIP terms, LONPOLE,
  // LATPOLE, EQUINOX, RADESYS where given.
  std::vector<std::string> cards;
  std::string indexName;  // the index file that solved it, as solve-field names it
};

// The index folder that options.indexDir, the setting or the default names.
std::string PlateSolveIndexDir(const std::string& given);

// Checks the options: scale bounds positive and ordered, the hint's right ascension in
// [0, 360), declination in [-90, 90], radius in (0, 180], the timeout in (0, 86400], at
// least kPlateSolveMinStars stars. Empty when fine, else why not.
std::string PlateSolveCheckOptions(const PlateSolveOptions& options);

// The stars of a one-plane image: the positioning tool's detection (peaks factor standard
// deviations above the mean), each with its flux summed in a 7 × 7 box less the median of
// the ring round it; stars without positive flux dropped; brightest first.
std::vector<PlateSolveStar> PlateSolveDetect(CRalImage& image, double factor);

// Runs solve-field on the brightest options.maxStars stars of a frame of width × height
// pixels. cancel (may be empty) is polled about every 50 ms; when it returns true the run
// is killed. progress (may be null) gets the share of the time allowed that has passed.
// Returns a PSOLVE_ code; *message says what happened (why not, on failure); *log gets
// what solve-field wrote to its standard output and error.
int PlateSolveStars(const std::vector<PlateSolveStar>& stars, int width, int height,
                    const PlateSolveOptions& options, PlateSolution* solution, std::string* message,
                    std::string* log = nullptr, const std::function<bool()>& cancel = {},
                    ProgressSink* progress = nullptr);

// Replaces the image's celestial world coordinates (attributes and cards, SIP terms and a
// plate's solution included) by the solution's, interpreted as the FITS reader interprets
// them. Returns 0, or the reader's code for a card it refuses (the image then has no
// world coordinates).
int PlateSolveApply(CImage& image, const PlateSolution& solution);

// A solved image's coordinates as the program reads them: the sky at the frame's centre
// (degrees), the scale of a pixel there (arc seconds) and the angle from north to the
// image's +y axis counted through east (degrees, −180 to 180).
struct PlateSolveSummary {
  double ra = 0.0, dec = 0.0, scale = 0.0, rotation = 0.0;
};
// False when the image's world coordinates give no sky at its centre.
bool PlateSolveSummarize(const CImage& image, PlateSolveSummary* out);

// A right ascension or a declination as an observer types it or a header gives it, in
// degrees: a single number is degrees (a right ascension with an "h" after it, hours);
// two or three fields separated by blanks, ':' or the letters h m s / d m s are hours,
// minutes and seconds of right ascension, or degrees, minutes and seconds of
// declination with an optional sign. Minutes and seconds below 60; only the last field
// may have a fraction. False when the text is none of these or out of range (right
// ascension [0, 360), declination [-90, 90]).
bool PlateSolveParseRa(std::string_view text, double* degrees);
bool PlateSolveParseDec(std::string_view text, double* degrees);

// Where a frame points, as a hint for the solver: the sky at the centre of its world
// coordinates; else the RA and DEC cards (numbers in degrees, strings sexagesimal);
// else OBJCTRA and OBJCTDEC. False when none of these gives a position.
bool PlateSolveHint(const CImage& image, double* ra, double* dec);

// The keywords a solution replaces: the first two axes' CTYPE, CUNIT, CRPIX, CRVAL,
// CDELT, CROTA, the CD and PC matrices, PVi_m, the SIP polynomials, LONPOLE, LATPOLE,
// RADESYS, EQUINOX, WCSAXES and a scanned plate's solution.
bool PlateSolveReplacesKeyword(const std::string& keyword);
