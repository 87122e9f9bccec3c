// CPrcAutoLevel: the automatic levels with the user's settings, as the document layer,
// the level dialogs and the dispatcher's callers run them after opening an image.
#include "engine/autolevel.h"
#include "engine/valuestep.h"
#include "fileio/ralimageio.h"
#include "imagemodel/image.h"
#include "settings/registry.h"

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
    // Cut to the decimals a 1024th of the range implies, as many as that takes:
    // flux-calibrated data (a range of 1e-18) keep the digits counts keep; a range above
    // 1024 is cut to whole units.
    const double step = image.GetLevelRange(p) / 1024.0;
    image.SetLevel(p, CValueStep::Cut(image.GetLevelMin(p), step),
                   CValueStep::Cut(image.GetLevelMax(p), step));
  }
  return 1;
}
