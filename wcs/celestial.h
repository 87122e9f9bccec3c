// The celestial solution of an image, worked out by wcslib from the image's coordinate
// description: the axis attributes of its first two axes (which operations that move
// pixels keep up to date) together with the header's other coordinate cards (projection
// parameters beyond the first four, SIP, TPV and WAT distortions, the plate solutions of
// scanned survey plates, RADESYS and EQUINOX). Every projection of Calabretta and Greisen
// 2002 (paper II) and the distortions of the draft paper IV that wcslib knows are
// covered; the defaults of the FITS standard hold for what the description leaves out (a
// unit PC matrix, CDELT 1, CRPIX and CRVAL 0, the native longitude of the pole by paper
// II's rule).
#pragma once

#include <string>

class CImage;

namespace wcs_internal {

// A solution with a celestial pair on the image's first two axes.
class CelestialSolution {
 public:
  virtual ~CelestialSolution() = default;
  // Longitude and latitude in degrees of FITS pixel (x, y) (1-based); false where the
  // projection does not reach or a distortion cannot be applied.
  virtual bool ToWorld(double x, double y, double* lon, double* lat) const = 0;
  // The FITS pixel (1-based) of longitude and latitude in degrees; false where the
  // projection has no pixel for them.
  virtual bool ToPixel(double lon, double lat, double* x, double* y) const = 0;
  // The reference system of equatorial axes as wcslib settles it (RADESYS, or its default
  // from EQUINOX: "FK5", "FK4", "ICRS", ...), empty for other axes; and its equinox.
  virtual const std::string& RadeSys() const = 0;
  virtual double Equinox() const = 0;
  // The axis types of the longitude and the latitude as wcslib reads them, up to the
  // first hyphen ("RA", "DEC", "GLON", ...).
  virtual const std::string& LongitudeType() const = 0;
  virtual const std::string& LatitudeType() const = 0;
};

// The solution of the image as it stands, or null when its first two axes carry no
// celestial pair that wcslib accepts. Solutions are kept per thread, under the image's
// coordinate attributes and the revision of its header, so repeated calls for the same
// image cost a comparison. The pointer stays valid until the next call on this thread.
const CelestialSolution* CelestialFor(const CImage& image);

// The header text (80-character cards, no END) that wcslib is given for the image.
std::string CelestialHeaderText(const CImage& image);

}  // namespace wcs_internal
