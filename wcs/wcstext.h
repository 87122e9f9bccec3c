// The texts of world coordinates as the information bar shows them and the command line
// prints them: sexagesimal angles rounded once at the last shown digit (so 59.96 seconds
// shown to a tenth carry into the next minute), the celestial pair, and the value of a
// spectral axis with its name and unit.
#pragma once

#include <string>

#include "wcs/wcs.h"

// An angle or hour angle split into whole units, minutes, seconds and the seconds'
// fraction, rounded to `decimals` decimals of a second. `negative` is the sign of the
// value as it was given, so -0.2 arc seconds keeps its minus sign at zero.
struct WcsSexagesimal {
  bool negative = false;
  long long units = 0;
  int minutes = 0;
  int seconds = 0;
  long long fraction = 0;  // in units of 10^-decimals seconds
};

// value in units (hours or degrees). With wrapUnits > 0 the rounded value is taken modulo
// wrapUnits (24 for right ascension), so 23h59m59.96s shown to a tenth becomes 00h00m00.0s.
WcsSexagesimal WcsSplitSexagesimal(double value, int decimals, int wrapUnits = 0);

// Label of the celestial texts, and what the bar calls the axes.
inline constexpr const char* kWcsLabelRA = "赤道座標 赤経";
inline constexpr const char* kWcsLabelDec = "赤緯";
inline constexpr const char* kWcsLabelGLon = "銀河座標 銀経";
inline constexpr const char* kWcsLabelGLat = "銀緯";
inline constexpr const char* kWcsLabelELon = "黄道座標 黄経";
inline constexpr const char* kWcsLabelELat = "黄緯";
inline constexpr const char* kWcsDegreeUnit = "degree";

// Right ascension and declination in degrees as "赤道座標 赤経:hhhmmmsss.s 赤緯:±ddﾟmm'ss\".s"
// (time seconds and arc seconds to a tenth); other longitude and latitude pairs in
// decimal degrees, "%s:%11.4f[degree]  %s:%+11.4f[degree]" with their names.
std::string WcsCelestialText(const CImage& image, const tagAD& ad);

// The value of a spectral axis: "name:%11.4f[unit]" ("name:%11.4f" without a unit); the
// logarithmic form shows the decimal logarithm the axis holds, followed by "(log)". For
// two valid axes the texts are joined by two blanks. kind is ToWCS2's.
std::string WcsSpectralText(const CImage& image, const tagAD& ad, unsigned int kind, int first,
                            int second);

// What ToWCS2 gave, as the information bar shows it: the celestial text for kind 0, the
// spectral text otherwise.
std::string WcsPhysicalText(const CImage& image, const tagAD& ad, unsigned int kind, int first,
                            int second);
