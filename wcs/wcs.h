// CWCS: the world coordinates of a pixel, from the FITS world-coordinate description that
// an image carries (axis types and units, reference pixel and value, increments, the CD
// or PC matrix, projection parameters, poles, rest frequency and wavelength, and the
// header's other coordinate cards).
//
// Celestial axes are worked out by wcslib (Calabretta and Greisen 2002, "Representations
// of celestial coordinates in FITS", paper II, with the distortions wcslib knows: SIP, TPV,
// TNX and ZPX, and the plate solutions of scanned survey plates where the header has no
// other description). The result is in the frame of the header's keywords: no precession
// or change of reference system is applied. Longitude and latitude come out in that order
// whichever of the first two axes carries which.
//
// Spectral axes follow Greisen, Calabretta, Valdes and Allen 2006, "Representations of
// spectral coordinates in FITS" (paper III), table 3, with three forms: linear, decimal
// logarithmic (the axis holds log10 of the value: 10^(CRVAL + w)) and non-linear (sampled
// linearly in the quantity X that the code's first letter names, F frequency, W vacuum
// wavelength, A air wavelength, V relativistic velocity; the axis type alone says what the
// value is, the code's second letter is not used). Air wavelengths use the refractive index
// of Edlén 1966; the vacuum wavelength of an air wavelength λa is λa · n(λa). Without a CD
// or PC matrix the standard's unit PC matrix applies. The rest frequency or wavelength of
// an axis is RESTFRQn or RESTWAVn, else the header's RESTFRQ (or the older RESTFREQ) or
// RESTWAV; either gives the other through c.
#pragma once

#include <string>

#include "imagemodel/image.h"
#include "platform/wintypes.h"

// A pixel position in the FITS convention: 1-based, the centre of the first pixel at 1.0.
struct tagSFPoint {
  double x = 0.0;
  double y = 0.0;
};

// The first and second world coordinate: for celestial axes longitude (right ascension) and
// latitude (declination) in degrees; for a spectral axis its value in the axis unit.
struct tagAD {
  double a = 0.0;
  double d = 0.0;
};

// What ToWCS2 computed (its *kind).
inline constexpr unsigned int WCS_KIND_CELESTIAL = 0;
inline constexpr unsigned int WCS_KIND_SPECTRAL_LINEAR = 1;
inline constexpr unsigned int WCS_KIND_SPECTRAL_LOG = 2;
inline constexpr unsigned int WCS_KIND_SPECTRAL_NONLINEAR = 3;

class CWCS {
 public:
  CWCS() = default;
  virtual ~CWCS() = default;

  // ToWCS2 for a 0-based pixel (its FITS position is pixel + 1).
  [[nodiscard]] int ToWCS(const CImage* image, POINT pixel, tagAD* out, unsigned int* kind,
                          int* first, int* second) const;
  // The world coordinates of FITS position p. Returns 1 when a value was computed: *kind
  // tells which (WCS_KIND_*), *first and *second become 1 for each axis whose value in
  // *out (a for the first axis, d for the second) is valid. *out is zeroed on entry; on
  // failure it stays (0, 0) and the flags are not touched. A point that the projection
  // cannot reach gives 0 as well.
  [[nodiscard]] int ToWCS2(const CImage* image, tagSFPoint p, tagAD* out, unsigned int* kind,
                           int* first, int* second) const;

  // The speed of light (m/s) and the Planck constant (J s) of every conversion.
  const double m_dC = 299792458.0;
  const double m_dH = 6.6260755e-34;

 protected:
  // Celestial longitude and latitude in degrees; both flags 1 on success.
  int CelestorialCoodinates(const CImage* image, tagSFPoint p, tagAD* out, int* first,
                            int* second) const;
  // The spectral value of axis *axis (0 or 1), by the form its algorithm code names.
  int SpectralCoodinates(const CImage* image, tagSFPoint p, tagAD* out, int* axis,
                         unsigned int* kind) const;
  int SpectralLinear(const CImage* image, tagSFPoint p, tagAD* out, int* axis) const;
  int SpectralLog(const CImage* image, tagSFPoint p, tagAD* out, int* axis) const;
  int SpectralNonLinear(const CImage* image, tagSFPoint p, tagAD* out, int* axis) const;

  // Conversions between spectral quantities, SI units throughout (Hz, J, m⁻¹, m, m/s);
  // ν0 and λ0 are the rest frequency and wavelength.
  double Lambda_To_Nu(double x) const { return m_dC / x; }           // also ν to λ
  double dLambda_dNu(double nu) const { return -m_dC / (nu * nu); }  // also dν/dλ of λ
  double Energy_To_Nu(double e) const { return e / m_dH; }
  double Nu_To_Energy(double nu) const { return m_dH * nu; }
  double dNu_dEnergy() const { return 1.0 / m_dH; }
  double dEnergy_dNu() const { return m_dH; }
  double WaveNumber_To_Nu(double k) const { return m_dC * k; }
  double Nu_To_WaveNumber(double nu) const { return nu / m_dC; }
  double dNu_dWaveNumber() const { return m_dC; }
  double dWaveNumber_dNu() const { return 1.0 / m_dC; }
  double RadioVelocity_To_Nu(double v, double nu0) const { return nu0 * (1.0 - v / m_dC); }
  double Nu_To_RadioVelocity(double nu, double nu0) const { return m_dC * (nu0 - nu) / nu0; }
  double dNu_dRadioVelocity(double nu0) const { return -nu0 / m_dC; }
  double dRadioVelocity_dNu(double nu0) const { return -m_dC / nu0; }
  double OpticalVelocity_To_Lambda(double z, double l0) const { return l0 * (1.0 + z / m_dC); }
  double Lambda_To_OpticalVelocity(double l, double l0) const { return m_dC * (l - l0) / l0; }
  double dLambda_dOpticalVelocity(double l0) const { return l0 / m_dC; }
  double dOpticalVelocity_dLambda(double l0) const { return m_dC / l0; }
  double RedShift_To_Lambda(double z, double l0) const { return l0 * (1.0 + z); }
  double Lambda_To_RedShift(double l, double l0) const { return (l - l0) / l0; }
  double dLambda_dRedShift(double l0) const { return l0; }
  double dRedShift_dLambda(double l0) const { return 1.0 / l0; }
  double Velocity_To_Nu(double v, double nu0) const;
  double Nu_To_Velocity(double nu, double nu0) const;
  double Velocity_To_Lambda(double v, double l0) const;
  double Lambda_To_Velocity(double l, double l0) const;
  double dNu_dVelocity(double v, double nu0) const;
  double dLambda_dVelocity(double v, double l0) const;
  double dVelocity_dNu(double nu, double nu0) const;
  double dVelocity_dLambda(double l, double l0) const;
  // Air and vacuum wavelengths.
  double RefractiveIndex(double l) const;
  double dRefractiveIndex_dWaveNumber(double l) const;  // dn/dσ, σ in cm⁻¹
  double AirLambda_To_Lambda(double la) const;
  double Lambda_To_AirLambda(double l) const;
  double dLambda_dAirLambda(double la) const;
  double dAirLambda_dLambda(double l) const;
  double AirLambda_To_Nu(double la) const;
  double Nu_To_AirLambda(double nu) const;
  double dNu_dAirLambda(double la) const;
  double dAirLambda_dNu(double nu) const;
  double Velocity_To_AirLambda(double v, double l0) const;
  double AirLambda_To_Velocity(double la, double l0) const;
  double dAirLambda_dVelocity(double v, double l0) const;
  double dVelocity_dAirLambda(double la, double l0) const;
  double OpticalVelocity_To_AirLambda(double z, double l0) const;
  double AirLambda_To_OpticalVelocity(double la, double l0) const;
  double dAirLambda_dOpticalVelocity(double z, double l0) const;
  double dOpticalVelocity_dAirLambda(double la, double l0) const;
  double RedShift_To_AirLambda(double z, double l0) const;
  double AirLambda_To_RedShift(double la, double l0) const;
  double dAirLambda_dRedShift(double z, double l0) const;
  double dRedShift_dAirLambda(double la, double l0) const;

 private:
  // The basic quantities a non-linear axis converts through.
  enum class Basic { kFreq, kWave, kAir, kVelo };
  // value of quantity `from` as quantity `to`, with d(to)/d(from) in *derivative.
  double Convert(Basic from, Basic to, double value, double nu0, double l0,
                 double* derivative) const;
};

// The axis type without its quotes and trailing blanks: "'RA---TAN'" gives "RA---TAN".
std::string WcsBareText(const std::string& stored);

// The types of the longitude and latitude axes of the image's celestial pair, up to the
// first hyphen ("RA" and "DEC", "GLON" and "GLAT"), as the computation reads them; false
// when the image has no celestial pair.
bool WcsCelestialAxisTypes(const CImage& image, std::string* longitude, std::string* latitude);
