// CWCS: which computation an image's description calls for. Celestial pairs go to
// wcslib (wcs/celestial.*); spectral axes are worked out here (wcs/axisconvert.cpp).
#include "wcs/wcs.h"

#include <cmath>
#include <string_view>

#include "wcs/celestial.h"

namespace {

bool Is(std::string_view s, std::size_t at, std::string_view what) {
  return s.size() >= at + what.size() && s.substr(at, what.size()) == what;
}

bool IsSpectralType(std::string_view t) {
  static constexpr std::string_view kTypes[] = {"FREQ", "ENER", "WAVN", "VRAD", "WAVE",
                                                "VOPT", "ZOPT", "AWAV", "VELO", "BETA"};
  for (std::string_view type : kTypes)
    if (Is(t, 0, type)) return true;
  return Is(t, 0, "LINEAR");
}

// A longitude in 0 <= a < 360.
double WrapDegrees(double a) {
  if (a >= 0.0 && a < 360.0) return a;
  a = std::fmod(a, 360.0);
  if (a < 0.0) a += 360.0;
  return a >= 360.0 ? a - 360.0 : a;
}

// The longitude and latitude of FITS position p from a celestial solution into *out, both
// flags set; 0 where the solution does not reach.
int FromSolution(const wcs_internal::CelestialSolution& solution, tagSFPoint p, tagAD* out,
                 int* first, int* second) {
  double lon = 0.0, lat = 0.0;
  if (!solution.ToWorld(p.x, p.y, &lon, &lat)) return 0;
  out->a = WrapDegrees(lon);
  out->d = lat;
  *first = 1;
  *second = 1;
  return 1;
}

}  // namespace

std::string WcsBareText(const std::string& stored) {
  std::string_view s = stored;
  if (!s.empty() && s.front() == '\'') {
    s.remove_prefix(1);
    if (const std::size_t q = s.rfind('\''); q != std::string_view::npos) s = s.substr(0, q);
  }
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

int CWCS::ToWCS(const CImage* image, POINT pixel, tagAD* out, unsigned int* kind, int* first,
                int* second) const {
  return ToWCS2(image, tagSFPoint{pixel.x + 1.0, pixel.y + 1.0}, out, kind, first, second);
}

int CWCS::ToWCS2(const CImage* image, tagSFPoint p, tagAD* out, unsigned int* kind, int* first,
                 int* second) const {
  if (out) *out = tagAD{};
  // A position at infinity has no world coordinate, though a projection's limit may.
  if (!image || !out || !std::isfinite(p.x) || !std::isfinite(p.y)) return 0;
  unsigned int kindSink = 0;
  int firstSink = 0, secondSink = 0;
  if (!kind) kind = &kindSink;
  if (!first) first = &firstSink;
  if (!second) second = &secondSink;

  // A celestial pair on the first two axes, as wcslib reads the description (a plate
  // solution of a scanned survey plate stands in for axis types the header lacks).
  if (const wcs_internal::CelestialSolution* solution = wcs_internal::CelestialFor(*image)) {
    *kind = WCS_KIND_CELESTIAL;
    if (FromSolution(*solution, p, out, first, second)) return 1;
  }
  std::string stored[2];
  image->GetCType(0, &stored[0]);
  image->GetCType(1, &stored[1]);
  const std::string type[2] = {WcsBareText(stored[0]), WcsBareText(stored[1])};
  if (type[0].empty()) return 0;
  int result = 0;
  for (int axis = 0; axis < 2; ++axis) {
    if (!IsSpectralType(type[axis])) continue;
    int which = axis;
    if (SpectralCoodinates(image, p, out, &which, kind)) {
      *(axis == 0 ? first : second) = 1;
      result = 1;
    }
  }
  return result;
}

int CWCS::CelestorialCoodinates(const CImage* image, tagSFPoint p, tagAD* out, int* first,
                                int* second) const {
  const wcs_internal::CelestialSolution* solution = wcs_internal::CelestialFor(*image);
  return solution ? FromSolution(*solution, p, out, first, second) : 0;
}

bool WcsCelestialAxisTypes(const CImage& image, std::string* longitude, std::string* latitude) {
  const wcs_internal::CelestialSolution* solution = wcs_internal::CelestialFor(image);
  if (!solution) return false;
  if (longitude) *longitude = solution->LongitudeType();
  if (latitude) *latitude = solution->LatitudeType();
  return true;
}
