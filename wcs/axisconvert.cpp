// CWCS spectral axes: the linear, logarithmic and non-linear forms and the conversions
// between frequency, energy, wavenumber, vacuum and air wavelength and the velocities of
// Greisen et al. 2006 (paper III, table 3). The refractive index of air is Edlén's 1966
// formula in the wavenumber σ = 1 / λ in cm⁻¹:
//   n = 1.000064328 + 2949810 / (1.46e10 − σ²) + 25540 / (4.1e9 − σ²).
#include <cmath>
#include <string>
#include <string_view>

#include "wcs/wcs.h"

namespace {

// The intermediate world coordinate of an axis (0 or 1) and its CRVAL. Missing CRPIX and
// CRVAL count as 0; with a PC matrix a missing CDELT counts as 0, but not both missing.
// Without any matrix the PC matrix is the unit matrix, as the FITS standard has it.
bool Intermediate(const CImage* image, tagSFPoint p, int axis, double* w, double* crval) {
  tagMATRIX2_2 m;
  int matrix = image->GetLTMtx(&m);
  if (matrix == 0) matrix = 2;  // GetLTMtx gives the identity for kind 0
  if (matrix != 1 && matrix != 2) return false;
  double crpix1 = 0.0, crpix2 = 0.0;
  if (!image->GetCRPix(0, &crpix1)) crpix1 = 0.0;
  if (!image->GetCRPix(1, &crpix2)) crpix2 = 0.0;
  const double dx = p.x - crpix1, dy = p.y - crpix2;
  double w1 = m.m11 * dx + m.m12 * dy;
  double w2 = m.m21 * dx + m.m22 * dy;
  if (matrix == 2) {
    double cdelt1 = 0.0, cdelt2 = 0.0;
    const bool has1 = image->GetCDelt(0, &cdelt1), has2 = image->GetCDelt(1, &cdelt2);
    if (!has1 && !has2) return false;
    w1 *= has1 ? cdelt1 : 0.0;
    w2 *= has2 ? cdelt2 : 0.0;
  }
  *w = axis == 0 ? w1 : w2;
  if (!image->GetCRVal(axis, crval)) *crval = 0.0;
  return true;
}

bool Store(tagAD* out, int axis, double value) {
  if (!std::isfinite(value)) return false;
  (axis == 0 ? out->a : out->d) = value;
  return true;
}

std::string AxisType(const CImage* image, int axis) {
  std::string stored;
  image->GetCType(axis, &stored);
  return WcsBareText(stored);
}

// The algorithm code: characters 6 to 8 of the type ("F2W" of "WAVE-F2W").
std::string_view CodeOf(std::string_view type) {
  return type.size() > 5 ? type.substr(5, 3) : std::string_view();
}

bool IsNonLinearCode(std::string_view code) {
  static constexpr std::string_view kCodes[] = {"F2W", "F2V", "F2A", "W2F", "W2V", "W2A",
                                                "V2F", "V2W", "V2A", "A2F", "A2W", "A2V"};
  for (std::string_view c : kCodes)
    if (code == c) return true;
  return false;
}

// Whether a non-linear axis of this type accepts the code.
bool AcceptsCode(std::string_view type, std::string_view code) {
  if (type == "FREQ" || type == "WAVE" || type == "AWAV" || type == "VELO") return true;
  if (type == "ENER" || type == "WAVN" || type == "VRAD")
    return code == "W2F" || code == "V2F" || code == "A2F";
  if (type == "VOPT" || type == "ZOPT")
    return code == "F2W" || code == "F2A" || code == "W2A" || code == "V2W" || code == "V2A" ||
           code == "A2W";
  if (type == "BETA") return code == "F2V" || code == "W2V" || code == "A2V";
  return false;
}

// The factor from the axis unit to the SI unit the conversions use; 0 when the unit does
// not fit the type.
double UnitScale(std::string_view type, std::string_view unit) {
  if (type == "FREQ") return unit == "Hz" ? 1.0 : 0.0;
  if (type == "ENER") return unit == "J" ? 1.0 : 0.0;
  if (type == "WAVN") return unit == "m-1" ? 1.0 : 0.0;
  if (type == "VRAD" || type == "VOPT" || type == "VELO")
    return unit == "m/s" || unit == "ms-1" ? 1.0 : 0.0;
  if (type == "WAVE" || type == "AWAV") {
    if (unit == "m") return 1.0;
    if (unit == "cm") return 1e-2;
    if (unit == "nm") return 1e-9;
    if (unit == "angstrom" || unit == "Angstrom") return 1e-10;
    return 0.0;
  }
  if (type == "ZOPT" || type == "BETA") return unit.empty() ? 1.0 : 0.0;
  return 0.0;
}

enum RestKind { kRestFrequency, kRestWavelength };

// The real value of a header card, when the header has one that reads as a number.
bool HeaderReal(const CImage& image, std::string_view keyword, double* v) {
  const int at = image.m_FitsHeader.Find(keyword);
  return at >= 0 && FitsCardReal(image.m_FitsHeader.GetAt(at), v);
}

// The rest frequency or wavelength of an axis: the axis' own (RESTFRQn, RESTWAVn), else the
// header's RESTFRQ, its older name RESTFREQ, or RESTWAV.
bool RestValue(const CImage& image, int axis, RestKind kind, double* v) {
  if (kind == kRestFrequency) {
    return image.GetRestFreq(axis, v) || HeaderReal(image, "RESTFRQ", v) ||
           HeaderReal(image, "RESTFREQ", v);
  }
  return image.GetRestWav(axis, v) || HeaderReal(image, "RESTWAV", v);
}

}  // namespace

int CWCS::SpectralCoodinates(const CImage* image, tagSFPoint p, tagAD* out, int* axis,
                             unsigned int* kind) const {
  if (!axis || (*axis != 0 && *axis != 1)) return 0;
  const std::string type = AxisType(image, *axis);
  const std::string_view code = CodeOf(type);
  if (code == "LOG") {
    *kind = WCS_KIND_SPECTRAL_LOG;
    return SpectralLog(image, p, out, axis);
  }
  if (IsNonLinearCode(code)) {
    *kind = WCS_KIND_SPECTRAL_NONLINEAR;
    return SpectralNonLinear(image, p, out, axis);
  }
  *kind = WCS_KIND_SPECTRAL_LINEAR;
  return SpectralLinear(image, p, out, axis);
}

int CWCS::SpectralLinear(const CImage* image, tagSFPoint p, tagAD* out, int* axis) const {
  double w = 0.0, crval = 0.0;
  if (!axis || (*axis != 0 && *axis != 1) || !Intermediate(image, p, *axis, &w, &crval)) return 0;
  return Store(out, *axis, crval + w) ? 1 : 0;
}

int CWCS::SpectralLog(const CImage* image, tagSFPoint p, tagAD* out, int* axis) const {
  double w = 0.0, crval = 0.0;
  if (!axis || (*axis != 0 && *axis != 1) || !Intermediate(image, p, *axis, &w, &crval)) return 0;
  return Store(out, *axis, std::pow(10.0, crval + w)) ? 1 : 0;
}

int CWCS::SpectralNonLinear(const CImage* image, tagSFPoint p, tagAD* out, int* axis) const {
  if (!axis || (*axis != 0 && *axis != 1)) return 0;
  const std::string bare = AxisType(image, *axis);
  const std::string_view type = std::string_view(bare).substr(0, 4);
  const std::string_view code = CodeOf(bare);
  if (!IsNonLinearCode(code) || !AcceptsCode(type, code)) return 0;
  std::string storedUnit;
  image->GetCUnit(*axis, &storedUnit);
  const double scale = UnitScale(type, WcsBareText(storedUnit));
  if (scale == 0.0) return 0;
  double w = 0.0, sRef = 0.0;
  if (!Intermediate(image, p, *axis, &w, &sRef)) return 0;

  // The rest wavelength of the axis, or the one of its rest frequency.
  double l0 = 0.0, nu0 = 0.0;
  if (RestValue(*image, *axis, kRestWavelength, &l0) && l0 > 0.0) {
    nu0 = m_dC / l0;
  } else if (RestValue(*image, *axis, kRestFrequency, &nu0) && nu0 > 0.0) {
    l0 = m_dC / nu0;
  } else {
    l0 = nu0 = 0.0;
  }

  // The quantity the axis value is a function of, and the value's conversion to it.
  Basic basic;
  double hubRef = 0.0, dHub_dS = 0.0;
  const bool needsRest = type == "VRAD" || type == "VOPT" || type == "ZOPT";
  if (type == "FREQ") {
    basic = Basic::kFreq;
    hubRef = sRef;
    dHub_dS = 1.0;
  } else if (type == "ENER") {
    basic = Basic::kFreq;
    hubRef = Energy_To_Nu(sRef);
    dHub_dS = dNu_dEnergy();
  } else if (type == "WAVN") {
    basic = Basic::kFreq;
    hubRef = WaveNumber_To_Nu(sRef);
    dHub_dS = dNu_dWaveNumber();
  } else if (type == "VRAD") {
    basic = Basic::kFreq;
    hubRef = RadioVelocity_To_Nu(sRef, nu0);
    dHub_dS = dNu_dRadioVelocity(nu0);
  } else if (type == "WAVE") {
    basic = Basic::kWave;
    hubRef = sRef * scale;
    dHub_dS = scale;
  } else if (type == "VOPT") {
    basic = Basic::kWave;
    hubRef = OpticalVelocity_To_Lambda(sRef, l0);
    dHub_dS = dLambda_dOpticalVelocity(l0);
  } else if (type == "ZOPT") {
    basic = Basic::kWave;
    hubRef = RedShift_To_Lambda(sRef, l0);
    dHub_dS = dLambda_dRedShift(l0);
  } else if (type == "AWAV") {
    basic = Basic::kAir;
    hubRef = sRef * scale;
    dHub_dS = scale;
  } else if (type == "VELO") {
    basic = Basic::kVelo;
    hubRef = sRef;
    dHub_dS = 1.0;
  } else {  // BETA
    basic = Basic::kVelo;
    hubRef = sRef * m_dC;
    dHub_dS = m_dC;
  }
  const Basic x = code[0] == 'F'   ? Basic::kFreq
                  : code[0] == 'W' ? Basic::kWave
                  : code[0] == 'A' ? Basic::kAir
                                   : Basic::kVelo;
  // Velocities relate to frequencies and wavelengths only through the rest value.
  if ((needsRest || (basic == Basic::kVelo) != (x == Basic::kVelo)) && !(l0 > 0.0)) return 0;

  double dX_dHub = 1.0;
  const double xRef = Convert(basic, x, hubRef, nu0, l0, &dX_dHub);
  const double xValue = xRef + w * dX_dHub * dHub_dS;
  double unused = 0.0;
  const double hub = Convert(x, basic, xValue, nu0, l0, &unused);

  double s = 0.0;
  if (type == "FREQ") {
    s = hub;
  } else if (type == "ENER") {
    s = Nu_To_Energy(hub);
  } else if (type == "WAVN") {
    s = Nu_To_WaveNumber(hub);
  } else if (type == "VRAD") {
    s = Nu_To_RadioVelocity(hub, nu0);
  } else if (type == "WAVE" || type == "AWAV") {
    s = hub / scale;
  } else if (type == "VOPT") {
    s = Lambda_To_OpticalVelocity(hub, l0);
  } else if (type == "ZOPT") {
    s = Lambda_To_RedShift(hub, l0);
  } else if (type == "VELO") {
    s = hub;
  } else {
    s = hub / m_dC;
  }
  return Store(out, *axis, s) ? 1 : 0;
}

double CWCS::Convert(Basic from, Basic to, double value, double nu0, double l0,
                     double* derivative) const {
  // The value of the new quantity, its derivative by the old one into *derivative.
  auto with = [derivative](double slope, double converted) {
    *derivative = slope;
    return converted;
  };
  *derivative = 1.0;
  if (from == to) return value;
  switch (from) {
    case Basic::kFreq:
      if (to == Basic::kWave) return with(dLambda_dNu(value), Lambda_To_Nu(value));
      if (to == Basic::kAir) return with(dAirLambda_dNu(value), Nu_To_AirLambda(value));
      return with(dVelocity_dNu(value, nu0), Nu_To_Velocity(value, nu0));
    case Basic::kWave:
      if (to == Basic::kFreq) return with(dLambda_dNu(value), Lambda_To_Nu(value));
      if (to == Basic::kAir) return with(dAirLambda_dLambda(value), Lambda_To_AirLambda(value));
      return with(dVelocity_dLambda(value, l0), Lambda_To_Velocity(value, l0));
    case Basic::kAir:
      if (to == Basic::kFreq) return with(dNu_dAirLambda(value), AirLambda_To_Nu(value));
      if (to == Basic::kWave) return with(dLambda_dAirLambda(value), AirLambda_To_Lambda(value));
      return with(dVelocity_dAirLambda(value, l0), AirLambda_To_Velocity(value, l0));
    case Basic::kVelo:
      if (to == Basic::kFreq) return with(dNu_dVelocity(value, nu0), Velocity_To_Nu(value, nu0));
      if (to == Basic::kWave)
        return with(dLambda_dVelocity(value, l0), Velocity_To_Lambda(value, l0));
      return with(dAirLambda_dVelocity(value, l0), Velocity_To_AirLambda(value, l0));
  }
  return value;
}

double CWCS::Velocity_To_Nu(double v, double nu0) const {
  return nu0 * (m_dC - v) / std::sqrt(m_dC * m_dC - v * v);
}
double CWCS::Nu_To_Velocity(double nu, double nu0) const {
  return m_dC * (nu0 * nu0 - nu * nu) / (nu0 * nu0 + nu * nu);
}
double CWCS::Velocity_To_Lambda(double v, double l0) const {
  return l0 * (m_dC + v) / std::sqrt(m_dC * m_dC - v * v);
}
double CWCS::Lambda_To_Velocity(double l, double l0) const {
  return m_dC * (l * l - l0 * l0) / (l * l + l0 * l0);
}
double CWCS::dNu_dVelocity(double v, double nu0) const {
  return -m_dC * nu0 / ((m_dC + v) * std::sqrt(m_dC * m_dC - v * v));
}
double CWCS::dLambda_dVelocity(double v, double l0) const {
  return m_dC * l0 / ((m_dC - v) * std::sqrt(m_dC * m_dC - v * v));
}
double CWCS::dVelocity_dNu(double nu, double nu0) const {
  const double sum = nu0 * nu0 + nu * nu;
  return -4.0 * m_dC * nu0 * nu0 * nu / (sum * sum);
}
double CWCS::dVelocity_dLambda(double l, double l0) const {
  const double sum = l0 * l0 + l * l;
  return 4.0 * m_dC * l0 * l0 * l / (sum * sum);
}

double CWCS::RefractiveIndex(double l) const {
  const double s = 1.0 / (100.0 * l);
  const double s2 = s * s;
  return 1.000064328 + 2949810.0 / (1.46e10 - s2) + 25540.0 / (4.1e9 - s2);
}
double CWCS::dRefractiveIndex_dWaveNumber(double l) const {
  const double s = 1.0 / (100.0 * l);
  const double s2 = s * s;
  const double a = 1.46e10 - s2, b = 4.1e9 - s2;
  return 2.0 * s * (2949810.0 / (a * a) + 25540.0 / (b * b));
}
double CWCS::AirLambda_To_Lambda(double la) const {
  return la * RefractiveIndex(la);
}
double CWCS::Lambda_To_AirLambda(double l) const {
  return l / RefractiveIndex(l);
}
// d(λa n(λa))/dλa = n − σ dn/dσ, since dσ/dλ = −σ/λ.
double CWCS::dLambda_dAirLambda(double la) const {
  return RefractiveIndex(la) - dRefractiveIndex_dWaveNumber(la) / (100.0 * la);
}
// d(λ / n(λ))/dλ = 1/n + σ (dn/dσ) / n².
double CWCS::dAirLambda_dLambda(double l) const {
  const double n = RefractiveIndex(l);
  return 1.0 / n + dRefractiveIndex_dWaveNumber(l) / (100.0 * l) / (n * n);
}
double CWCS::AirLambda_To_Nu(double la) const {
  return Lambda_To_Nu(AirLambda_To_Lambda(la));
}
double CWCS::Nu_To_AirLambda(double nu) const {
  return Lambda_To_AirLambda(Lambda_To_Nu(nu));
}
double CWCS::dNu_dAirLambda(double la) const {
  return dLambda_dNu(AirLambda_To_Lambda(la)) * dLambda_dAirLambda(la);
}
double CWCS::dAirLambda_dNu(double nu) const {
  return dAirLambda_dLambda(Lambda_To_Nu(nu)) * dLambda_dNu(nu);
}
double CWCS::Velocity_To_AirLambda(double v, double l0) const {
  return Lambda_To_AirLambda(Velocity_To_Lambda(v, l0));
}
double CWCS::AirLambda_To_Velocity(double la, double l0) const {
  return Lambda_To_Velocity(AirLambda_To_Lambda(la), l0);
}
double CWCS::dAirLambda_dVelocity(double v, double l0) const {
  return dAirLambda_dLambda(Velocity_To_Lambda(v, l0)) * dLambda_dVelocity(v, l0);
}
double CWCS::dVelocity_dAirLambda(double la, double l0) const {
  return dVelocity_dLambda(AirLambda_To_Lambda(la), l0) * dLambda_dAirLambda(la);
}
double CWCS::OpticalVelocity_To_AirLambda(double z, double l0) const {
  return Lambda_To_AirLambda(OpticalVelocity_To_Lambda(z, l0));
}
double CWCS::AirLambda_To_OpticalVelocity(double la, double l0) const {
  return Lambda_To_OpticalVelocity(AirLambda_To_Lambda(la), l0);
}
double CWCS::dAirLambda_dOpticalVelocity(double z, double l0) const {
  return dAirLambda_dLambda(OpticalVelocity_To_Lambda(z, l0)) * dLambda_dOpticalVelocity(l0);
}
double CWCS::dOpticalVelocity_dAirLambda(double la, double l0) const {
  return dOpticalVelocity_dLambda(l0) * dLambda_dAirLambda(la);
}
double CWCS::RedShift_To_AirLambda(double z, double l0) const {
  return Lambda_To_AirLambda(RedShift_To_Lambda(z, l0));
}
double CWCS::AirLambda_To_RedShift(double la, double l0) const {
  return Lambda_To_RedShift(AirLambda_To_Lambda(la), l0);
}
double CWCS::dAirLambda_dRedShift(double z, double l0) const {
  return dAirLambda_dLambda(RedShift_To_Lambda(z, l0)) * dLambda_dRedShift(l0);
}
double CWCS::dRedShift_dAirLambda(double la, double l0) const {
  return dRedShift_dLambda(l0) * dLambda_dAirLambda(la);
}
