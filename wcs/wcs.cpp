// CWCS: which computation an image's axis types call for, and the celestial one: the
// linear part, the zenithal deprojections and the spherical rotation of Calabretta and
// Greisen 2002 (paper II, sections 2, 5.1 and 2.3).
#include "wcs/wcs.h"

#include <cmath>
#include <string_view>

namespace {

constexpr double kD2R = 0.017453292519943295;
constexpr double kR2D = 57.29577951308232;

// Sine and cosine of an angle in degrees, exact at multiples of 90°, so that a reference
// point on a pole or the usual φ_p = 180° bring no rounding of their own.
void SinCosDegrees(double degrees, double* s, double* c) {
  const double turn = std::fabs(degrees) < 360.0 ? degrees : std::fmod(degrees, 360.0);
  if (turn == 0.0) {
    *s = 0.0, *c = 1.0;
  } else if (turn == 90.0 || turn == -270.0) {
    *s = 1.0, *c = 0.0;
  } else if (turn == 180.0 || turn == -180.0) {
    *s = 0.0, *c = -1.0;
  } else if (turn == 270.0 || turn == -90.0) {
    *s = -1.0, *c = 0.0;
  } else {
    *s = std::sin(degrees * kD2R);
    *c = std::cos(degrees * kD2R);
  }
}

bool Is(std::string_view s, std::size_t at, std::string_view what) {
  return s.size() >= at + what.size() && s.substr(at, what.size()) == what;
}

bool IsLongitudeType(std::string_view t) {
  return Is(t, 0, "RA") || Is(t, 1, "LON");
}
bool IsLatitudeType(std::string_view t) {
  return Is(t, 0, "DEC") || Is(t, 1, "LAT");
}

bool IsSpectralType(std::string_view t) {
  static constexpr std::string_view kTypes[] = {"FREQ", "ENER", "WAVN", "VRAD", "WAVE",
                                                "VOPT", "ZOPT", "AWAV", "VELO", "BETA"};
  for (std::string_view type : kTypes)
    if (Is(t, 0, type)) return true;
  return Is(t, 0, "LINEAR");
}

double WrapDegrees(double a) {
  if (a >= 360.0) a -= 360.0;
  if (a < 0.0) a += 360.0;
  if (a >= 0.0 && a < 360.0) return a;
  a = std::fmod(a, 360.0);  // a longitude far outside (CRVAL1 beyond ±360)
  if (a < 0.0) a += 360.0;
  return a >= 360.0 ? a - 360.0 : a;
}

enum class Projection { kNone, kArc, kSin, kAzp, kTan, kStg };

// The projection code: the last four characters of the type, hyphens dropped.
Projection ProjectionOf(std::string_view type) {
  char code[4] = {};
  int n = 0;
  for (char ch : type.substr(type.size() >= 4 ? type.size() - 4 : 0))
    if (ch != '-') code[n++] = ch;
  const std::string_view c(code, static_cast<std::size_t>(n));
  if (c == "ARC") return Projection::kArc;
  if (c == "SIN") return Projection::kSin;
  if (c == "AZP") return Projection::kAzp;
  if (c == "TAN") return Projection::kTan;
  if (c == "STG") return Projection::kStg;
  return Projection::kNone;
}

// Native spherical coordinates of intermediate world coordinates (x, y) in degrees, as
// sin θ, cos θ and the direction (sin φ, cos φ). False where the projection does not reach.
struct Native {
  double sinTheta = 1.0, cosTheta = 0.0, sinPhi = 0.0, cosPhi = 1.0;
};

// (sin φ, cos φ) along (px, py), whose length is r. At the native pole φ does not matter
// (cos θ is 0); it is kept defined there.
void SetDirection(Native* n, double px, double py, double r) {
  if (r > 0.0) n->sinPhi = px / r, n->cosPhi = py / r;
}

double Length(double x, double y) {
  return std::sqrt(x * x + y * y);
}

bool Deproject(Projection proj, double x, double y, const tagMATRIX2_4& pv, Native* n) {
  switch (proj) {
    case Projection::kArc: {
      const double r = Length(x, y);
      n->sinTheta = std::cos(r * kD2R);  // θ = 90° − R
      n->cosTheta = std::sin(r * kD2R);
      SetDirection(n, x, -y, r);
      return true;
    }
    case Projection::kSin: {
      // Slant orthographic: with z = 1 − sin θ, a z² − 2(1 + ξX + ηY) z + X² + Y² = 0,
      // a = 1 + ξ² + η²; the smaller root is the solution nearest the native pole.
      const double xi = pv.m[1][1], eta = pv.m[1][2];
      const double bx = x * kD2R, by = y * kD2R;
      const double r2 = bx * bx + by * by;
      const double a = 1.0 + xi * xi + eta * eta;
      const double half = 1.0 + xi * bx + eta * by;
      const double disc = half * half - a * r2;
      if (disc < 0.0 || half <= 0.0) return false;
      const double z = r2 / (half + std::sqrt(disc));
      if (z > 2.0) return false;
      n->sinTheta = 1.0 - z;
      n->cosTheta = std::sqrt(z * (2.0 - z));
      const double px = bx - xi * z, py = -(by - eta * z);
      SetDirection(n, px, py, Length(px, py));
      return true;
    }
    case Projection::kTan: {
      // μ = 0: θ = arg(1, ρ), ρ = R / (180/π).
      const double r = Length(x, y);
      const double rho = r * kD2R;
      const double s = std::sqrt(1.0 + rho * rho);
      n->sinTheta = 1.0 / s;
      n->cosTheta = rho / s;
      SetDirection(n, x, -y, r);
      return true;
    }
    case Projection::kAzp:
    case Projection::kStg: {
      const double mu = proj == Projection::kStg ? 1.0 : pv.m[1][1];
      double sinGamma = 0.0, cosGamma = 1.0;
      if (proj == Projection::kAzp) SinCosDegrees(pv.m[1][2], &sinGamma, &cosGamma);
      const double yc = y * cosGamma;
      const double r = Length(x, yc);
      const double rho = r / (kR2D * (mu + 1.0) + y * sinGamma);
      const double s = std::sqrt(1.0 + rho * rho);
      const double sinOmega = mu * rho / s;
      const double cosOmega = std::sqrt(1.0 - sinOmega * sinOmega);
      // θ = arg(1, ρ) − ω.
      n->sinTheta = (cosOmega - rho * sinOmega) / s;
      n->cosTheta = (sinOmega + rho * cosOmega) / s;
      SetDirection(n, x, -yc, r);
      return std::isfinite(n->sinTheta) && std::isfinite(n->cosTheta);
    }
    case Projection::kNone:
      break;
  }
  return false;
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
  if (!image || !out) return 0;
  unsigned int kindSink = 0;
  int firstSink = 0, secondSink = 0;
  if (!kind) kind = &kindSink;
  if (!first) first = &firstSink;
  if (!second) second = &secondSink;

  std::string stored[2];
  image->GetCType(0, &stored[0]);
  image->GetCType(1, &stored[1]);
  const std::string type[2] = {WcsBareText(stored[0]), WcsBareText(stored[1])};
  if (type[0].empty()) return 0;
  if (IsLongitudeType(type[0]) && !type[1].empty() && IsLatitudeType(type[1])) {
    *kind = WCS_KIND_CELESTIAL;
    if (CelestorialCoodinates(image, p, out, first, second)) return 1;
  }
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
  tagMATRIX2_2 m;
  const int matrix = image->GetLTMtx(&m);
  double crpix1 = 0.0, crpix2 = 0.0;
  if ((matrix != 1 && matrix != 2) || !image->GetCRPix(0, &crpix1) || !image->GetCRPix(1, &crpix2))
    return 0;
  const double dx = p.x - crpix1, dy = p.y - crpix2;
  double x = m.m11 * dx + m.m12 * dy;
  double y = m.m21 * dx + m.m22 * dy;
  if (matrix == 2) {
    double cdelt1 = 0.0, cdelt2 = 0.0;
    if (!image->GetCDelt(0, &cdelt1) || !image->GetCDelt(1, &cdelt2)) return 0;
    x *= cdelt1;
    y *= cdelt2;
  }

  std::string stored;
  image->GetCType(0, &stored);
  const Projection proj = ProjectionOf(WcsBareText(stored));
  if (proj == Projection::kNone) return 0;
  double alphaP = 0.0, deltaP = 0.0;
  if (!image->GetCRVal(0, &alphaP) || !image->GetCRVal(1, &deltaP)) return 0;
  // Every accepted projection is zenithal: without LONPOLE the pole lies at φ_p = 180°.
  const double phiP = image->IsLonPole() ? image->GetLonPole() : 180.0;

  tagMATRIX2_4 pv;
  image->GetPVMtx(&pv);
  Native n;
  if (!Deproject(proj, x, y, pv, &n)) return 0;

  double a = 0.0, d = 0.0;
  if (n.cosTheta == 0.0 && n.sinTheta == 1.0) {
    // The native pole is the reference point itself.
    a = alphaP;
    d = deltaP;
  } else {
    double sinPhiP, cosPhiP, sinDeltaP, cosDeltaP;
    SinCosDegrees(phiP, &sinPhiP, &cosPhiP);
    SinCosDegrees(deltaP, &sinDeltaP, &cosDeltaP);
    // φ − φ_p, as paper II's rotation has it.
    const double cosDPhi = n.cosPhi * cosPhiP + n.sinPhi * sinPhiP;
    const double sinDPhi = n.sinPhi * cosPhiP - n.cosPhi * sinPhiP;
    const double sinDelta = n.sinTheta * sinDeltaP + n.cosTheta * cosDeltaP * cosDPhi;
    // cos δ sin Δ and cos δ cos Δ: arg() of the two keeps full precision near the poles,
    // where cos δ from √(1 − sin² δ) would not.
    const double east = -n.cosTheta * sinDPhi;
    const double north = n.sinTheta * cosDeltaP - n.cosTheta * sinDeltaP * cosDPhi;
    double delta = std::atan2(east, north) * kR2D;  // Δ, 0 ≤ Δ < 360 below
    if (delta < 0.0) delta += 360.0;
    a = alphaP + delta;
    d = std::atan2(sinDelta, Length(east, north)) * kR2D;
  }
  a = WrapDegrees(a);
  if (!std::isfinite(a) || !std::isfinite(d)) return 0;
  out->a = a;
  out->d = d;
  *first = 1;
  *second = 1;
  return 1;
}
