// Region files in the DS9 text format (version 4.1): the marks of the measurement tools
// and the profile lines written as shapes, in image pixels or on the sky through the
// image's celestial coordinates, and circles and points read back as apertures and
// positions. Positions in the files are FITS pixels (1-based, rows counted as the file
// stores them); the tools keep 0-based image pixels, and rows of FITS images read
// bottom-up are reversed (the conversion is the one of the tools' texts and tables).
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CAperture;
class CApertureRect;
class CGraph2D;
class CImage;
class CPositioning;
class CRalImage;

// One shape, in FITS pixels.
struct RegionShape {
  enum Kind { kCircle, kAnnulus, kBox, kPoint, kLine, kProjection };
  Kind kind = kCircle;
  double x = 0.0, y = 0.0;    // centre, point or a line's start
  double x2 = 0.0, y2 = 0.0;  // a line's end
  // Circle: radius; annulus: inner and outer radius; box: width and height; projection:
  // the width across the line. Pixels.
  double a = 0.0, b = 0.0;
  std::string label;  // shown beside the shape (text={...}); empty for none
  std::string color;  // a colour name DS9 knows; empty for its default
};

// Appends the live marks of each tool: a measurement as a circle (its star disc, labelled
// with its number) and an annulus (the sky ring); a rectangle as a box over its pixels; a
// position as a point; a finished profile line as a line, or a projection when it is a
// band wider than one pixel.
void AddApertureRegions(const CAperture& aperture, const CImage& image,
                        std::vector<RegionShape>* shapes);
void AddRectRegions(const CApertureRect& rect, const CImage& image,
                    std::vector<RegionShape>* shapes);
void AddPositionRegions(const CPositioning& pos, const CImage& image,
                        std::vector<RegionShape>* shapes);
void AddLineRegions(const CGraph2D& lines, const CImage& image, std::vector<RegionShape>* shapes);

// Results of the region functions, and their texts.
inline constexpr int kRegionOk = 0;
inline constexpr int kRegionErrSyntax = 1;  // a line that is not region text
inline constexpr int kRegionErrNoWcs = 2;   // sky positions without celestial coordinates
inline constexpr int kRegionErrSystem = 3;  // a sky system the image's axes are not in
inline constexpr int kRegionErrRange = 4;   // a position or size out of reach
inline constexpr int kRegionErrRead = 5;    // the file cannot be read (or is too large)
inline constexpr int kRegionErrWrite = 6;   // the file cannot be written
const char* RegionErrorText(int code);

// The largest region file read.
inline constexpr std::size_t kRegionMaxFileBytes = 64u << 20;

// The DS9 name of the image's celestial system ("fk5", "icrs", "fk4", "galactic",
// "ecliptic"), or empty when it has none; and then what is missing, in words.
std::string RegionSkySystem(const CImage& image);
std::string RegionSkyProblem(const CImage& image);

// The file text: header, global line, the coordinate system and the shapes. sky writes
// the image's celestial system ("fk5", "icrs", "fk4", "galactic" or "ecliptic"; degrees,
// sizes in arc seconds). *detail says more on failure.
[[nodiscard]] int FormatRegions(const std::vector<RegionShape>& shapes, const CImage& image,
                                bool sky, std::string* out, std::string* detail);
// Writes the file atomically (only the header lines when there are no shapes).
[[nodiscard]] int WriteRegionFile(const std::string& path, const std::vector<RegionShape>& shapes,
                                  const CImage& image, bool sky, std::string* detail);

// What a region file gives the tools, in 0-based image pixels.
struct RegionImport {
  struct Circle {
    double x = 0.0, y = 0.0, r = 0.0;
    // The sky ring of an annulus that followed the circle round the same centre; both
    // -1 without one.
    double skyInner = -1.0, skyOuter = -1.0;
  };
  struct Point {
    double x = 0.0, y = 0.0;
  };
  std::vector<Circle> circles;
  std::vector<Point> points;
  int skipped = 0;  // shapes of other kinds, and annuli not taken as a sky ring
};

// Reads region text: circles and points in image, physical or celestial coordinates
// (degrees or sexagesimal; sizes in degrees unless marked ", ' or d), the latter through
// the image's coordinates. Comments, the global line and properties are passed over.
// *detail names the line at fault.
[[nodiscard]] int ParseRegions(std::string_view text, const CImage& image, RegionImport* out,
                               std::string* detail);
[[nodiscard]] int ReadRegionFile(const std::string& path, const CImage& image, RegionImport* out,
                                 std::string* detail);

// The circles as measurements (star radius the circle's; the sky ring the annulus's, or
// the tool's settings kept clear of the star) and the points as positions. Return the
// number added.
int ImportApertures(const RegionImport& regions, CAperture* aperture, CRalImage* image);
int ImportPositions(const RegionImport& regions, CPositioning* pos, CRalImage* image);
