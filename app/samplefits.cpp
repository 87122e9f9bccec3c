#include "app/samplefits.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"

int WriteSampleStarField(const std::string& path, int width, int height, unsigned seed,
                         std::vector<SampleStar>* placed) {
  CRalImage image(width, height, 16, 1, 1.0, 32768.0, 1);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 12.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> field(static_cast<std::size_t>(width) * height);
  // Sky: a gentle gradient with read and photon noise.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      field[static_cast<std::size_t>(y) * width + x] = 1000.0 + 0.15 * x + 0.05 * y + noise(rng);
  // Stars: many faint, few bright (a power law), Gaussian profiles of seeing sigma 1.6 px.
  const int stars = std::max(20, width * height / 2500);
  const double sigma = 1.6;
  for (int s = 0; s < stars; ++s) {
    const double cx = unit(rng) * (width - 1), cy = unit(rng) * (height - 1);
    const double peak = 150.0 * std::pow(1.0 - unit(rng) * 0.995, -1.2);
    const double amp = std::min(peak, 60000.0);
    if (placed) placed->push_back(SampleStar{cx, cy, amp});
    const int r = static_cast<int>(std::ceil(sigma * 6 + std::log10(amp) * 2));
    for (int y = std::max(0, static_cast<int>(cy) - r);
         y <= std::min(height - 1, static_cast<int>(cy) + r); ++y)
      for (int x = std::max(0, static_cast<int>(cx) - r);
           x <= std::min(width - 1, static_cast<int>(cx) + r); ++x) {
        const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        field[static_cast<std::size_t>(y) * width + x] += amp * std::exp(-d2 / (2 * sigma * sigma));
      }
  }
  std::vector<double> row(static_cast<std::size_t>(width));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      row[static_cast<std::size_t>(x)] =
          std::clamp(field[static_cast<std::size_t>(y) * width + x], 0.0, 65535.0);
    if (!image.SetPhysicalRow(y, 0, row.data())) return 5;
  }
  // World coordinates: a gnomonic projection about the field's centre, 1.2"/px, north up.
  image.SetCType(0, "'RA---TAN'");
  image.SetCType(1, "'DEC--TAN'");
  image.SetCRPix(0, width / 2.0 + 0.5);
  image.SetCRPix(1, height / 2.0 + 0.5);
  image.SetCRVal(0, 83.8221);
  image.SetCRVal(1, -5.3911);
  const double scale = 1.2 / 3600.0;
  tagMATRIX2_2 cd;
  cd.m11 = -scale;
  cd.m12 = 0.0;
  cd.m21 = 0.0;
  cd.m22 = scale;
  image.SetLTMtx(cd, 1);
  image.SetCD(1);
  image.SetCDMtx(cd);
  // Display levels travel with the file; the automatic ones show sky and stars.
  image.CalcMinMax();
  image.SetDefaultLevel();
  CPrcAutoLevel::Do(image, nullptr);
  image.m_FitsHeader.Add("OBJECT  = 'Synthetic star field'");
  image.m_FitsHeader.Add("TELESCOP= 'Vantorel sample'");
  image.m_FitsHeader.Add("EXPTIME =                 60.0");
  return CFits::Write(image, path, nullptr, {});
}
