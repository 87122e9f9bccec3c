// Texts of world coordinates, shared by the information bar and vantorel-cli wcs.
#include "wcs/wcstext.h"

#include <cmath>
#include <cstdio>
#include <string_view>

#include "engine/ralimage.h"

WcsSexagesimal WcsSplitSexagesimal(double value, int decimals, int wrapUnits) {
  WcsSexagesimal s;
  s.negative = value < 0.0;
  long long scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  long long total = 0;
  if (wrapUnits > 0) {
    // Rounded first, then wrapped: a value a hair below the wrap shows as zero.
    const long long whole = static_cast<long long>(wrapUnits) * 3600 * scale;
    total = std::llround(value * 3600.0 * static_cast<double>(scale));
    total = ((total % whole) + whole) % whole;
    s.negative = false;
  } else {
    total = std::llround(std::fabs(value) * 3600.0 * static_cast<double>(scale));
  }
  s.fraction = total % scale;
  total /= scale;
  s.seconds = static_cast<int>(total % 60);
  s.minutes = static_cast<int>(total / 60 % 60);
  s.units = total / 3600;
  return s;
}

namespace {

std::string Format(const char* format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

// The axis type up to its first hyphen: "RA" of "RA---TAN", "WAVE" of "WAVE-F2W".
std::string AxisType(const CImage& image, int axis) {
  std::string stored;
  image.GetCType(axis, &stored);
  std::string bare = WcsBareText(stored);
  const std::size_t dash = bare.find('-');
  if (dash != std::string::npos) bare.resize(dash);
  return bare;
}

std::string AxisUnit(const CImage& image, int axis) {
  std::string stored;
  image.GetCUnit(axis, &stored);
  return WcsBareText(stored);
}

}  // namespace

std::string WcsCelestialText(const CImage& image, const tagAD& ad) {
  // The axis types as the computation read them: the longitude may stand on either axis,
  // and a plate solution has no CTYPE at all (it is right ascension and declination).
  std::string type, latType;
  if (!WcsCelestialAxisTypes(image, &type, &latType)) {
    type = AxisType(image, 0);
    latType = AxisType(image, 1);
  }
  if (type == "RA") {
    const WcsSexagesimal ra = WcsSplitSexagesimal(ad.a / 15.0, 1, 24);
    const WcsSexagesimal dec = WcsSplitSexagesimal(ad.d, 1);
    return Format("%s:%.2lldh%.2dm%.2ds.%.1lld %s:%c%.2lldﾟ%.2d'%.2d\".%.1lld", kWcsLabelRA,
                  ra.units, ra.minutes, ra.seconds, ra.fraction, kWcsLabelDec,
                  dec.negative ? '-' : '+', dec.units, dec.minutes, dec.seconds, dec.fraction);
  }
  const char* lon = type.ends_with("LON") && type.starts_with("G")   ? kWcsLabelGLon
                    : type.ends_with("LON") && type.starts_with("E") ? kWcsLabelELon
                                                                     : nullptr;
  const char* lat = lon == kWcsLabelGLon   ? kWcsLabelGLat
                    : lon == kWcsLabelELon ? kWcsLabelELat
                                           : nullptr;
  const std::string lonName = lon ? lon : type, latName = lat ? lat : latType;
  return Format("%s:%11.4f[%s]  %s:%+11.4f[%s]", lonName.c_str(), ad.a, kWcsDegreeUnit,
                latName.c_str(), ad.d, kWcsDegreeUnit);
}

std::string WcsSpectralText(const CImage& image, const tagAD& ad, unsigned int kind, int first,
                            int second) {
  std::string text;
  for (int axis = 0; axis < 2; ++axis) {
    if (!(axis == 0 ? first : second)) continue;
    double value = axis == 0 ? ad.a : ad.d;
    const std::string name = CRalImage::CTypeToStr(AxisType(image, axis));
    // Any kind the conversions do not name is shown as a bare number.
    const std::string unit = kind <= WCS_KIND_SPECTRAL_NONLINEAR ? AxisUnit(image, axis) : "";
    const char* suffix = "";
    if (kind == WCS_KIND_SPECTRAL_LOG) {
      value = std::log10(value);
      suffix = "(log)";
    }
    if (!text.empty()) text += "  ";
    text += unit.empty() ? Format("%s:%11.4f%s", name.c_str(), value, suffix)
                         : Format("%s:%11.4f[%s]%s", name.c_str(), value, unit.c_str(), suffix);
  }
  return text;
}

std::string WcsPhysicalText(const CImage& image, const tagAD& ad, unsigned int kind, int first,
                            int second) {
  return kind == WCS_KIND_CELESTIAL ? WcsCelestialText(image, ad)
                                    : WcsSpectralText(image, ad, kind, first, second);
}
