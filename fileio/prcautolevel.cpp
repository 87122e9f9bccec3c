// CPrcAutoLevel: the automatic levels with the user's settings, as the document layer,
// the level dialogs and the dispatcher's callers run them after opening an image.
#include <cmath>

#include "engine/autolevel.h"
#include "fileio/ralimageio.h"
#include "imagemodel/image.h"
#include "settings/registry.h"

namespace {

// Cuts a value to the decimals that a step implies: floor(log10(1 / step)), none when
// that is negative.
double CutToStep(double value, double step) {
  if (!(step > 0) || !std::isfinite(value)) return value;
  const int decimals = std::max(0, static_cast<int>(std::floor(std::log10(1.0 / step))));
  const double f = std::pow(10.0, std::min(decimals, 15));
  return std::floor(value * f) / f;
}

}  // namespace

int CPrcAutoLevel::Do(CImage& image, const RECT* rect) {
  constexpr std::string_view kSection = "PrcAutoLevel";
  double minSigma = 6.0, maxSigma = 30.0;
  int plane = 0;
  CRegistry::Read(kSection, "Min", 6.0, minSigma);
  CRegistry::Read(kSection, "Max", 30.0, maxSigma);
  CRegistry::Read(kSection, "Plane", 0, plane, CRegistry::TYPE_INT);
  if (!CImgAutoLevel::Do(image, minSigma, maxSigma, plane, rect)) return 0;
  const int planes = image.GetDimension() < 3 ? 1 : 3;
  for (int p = 0; p < planes && p < image.GetPlanes(); ++p) {
    const double step = image.GetLevelRange(p) / 1024.0;
    image.SetLevel(p, CutToStep(image.GetLevelMin(p), step), CutToStep(image.GetLevelMax(p), step));
  }
  return 1;
}
