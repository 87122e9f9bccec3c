// The stellar profile width of stars on an image, for choosing aperture radii.
//
// Method, per star handed to Add:
//  1. The brightest pixel within two pixels of the given point is the peak; it must be a
//     local maximum of its 3 × 3 neighbourhood and lie at least two pixels inside the
//     image, else the star is refused.
//  2. The local sky is the median of a ring 16 to 20 pixels from the peak, its noise
//     1.4826 × the median absolute deviation there. A peak less than five noise units (or
//     nothing) above the sky is no star. Five or more pixels of the 5 × 5 neighbourhood
//     at the peak value make a saturated plateau, which is refused as well.
//  3. A first width comes from the area above half the peak height (σ₀ = √(n / π) /
//     1.1774). A circular Gaussian plus a constant,
//        f(x, y) = B + A exp(−((x − x₀)² + (y − y₀)²) / (2σ²)),
//     is then fitted to the box of half size ⌈4σ₀⌉ + 2 (at least 4, at most 20 pixels)
//     round the peak by Levenberg–Marquardt least squares (Press et al., Numerical
//     Recipes, 2nd ed., §15.5), blank pixels left out. A fit that does not converge,
//     whose centre wanders more than two pixels from the peak, whose amplitude is not
//     positive or whose σ falls outside 0.3 … the box half size, refuses the star.
// The width kept per star is the fitted σ in pixels (FWHM = 2.3548 σ).
#pragma once

#include <vector>

#include "platform/wintypes.h"

class CImage;

class PSF {
 public:
  explicit PSF(const CImage* image) : m_pImage(image) {}
  // Fits the star nearest the 0-based pixel; non-zero when it was taken.
  int Add(POINT point);
  // The mean or median σ (pixels) of the stars taken; non-zero on success, 0 (the output
  // untouched) when no star was taken.
  int GetMeanPSF(double* sigma) const;
  int GetMedianPSF(double* sigma) const;
  // The fit of the last star taken: centre (0-based pixels), amplitude and sky level.
  double GetLastX() const { return m_dLastX; }
  double GetLastY() const { return m_dLastY; }
  double GetLastAmplitude() const { return m_dLastAmp; }
  double GetLastSky() const { return m_dLastSky; }

 private:
  const CImage* m_pImage;
  std::vector<double> m_Sigma;
  double m_dLastX = 0.0, m_dLastY = 0.0, m_dLastAmp = 0.0, m_dLastSky = 0.0;
};
