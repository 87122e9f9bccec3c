// The region file options of phot, detect, centroid and profile.
#include "cli/regions_option.h"

#include <cstdio>

#include "imagemodel/image.h"

int TakeRegionsOption(const char* command, const std::vector<std::string>& args, std::size_t* i,
                      CliRegions* regions) {
  const std::string& a = args[*i];
  const bool hasValue = *i + 1 < args.size();
  if (a == "--regions-sky") {
    regions->system = "wcs";
    return 1;
  }
  if ((a == "--regions" || a == "--regions-system") && !hasValue) {
    std::fprintf(stderr, "vantorel-cli: %s: %s needs a value\n", command, a.c_str());
    return -1;
  }
  if (a == "--regions") {
    regions->path = args[++*i];
    return 1;
  }
  if (a == "--regions-system") {
    const std::string& s = args[++*i];
    static const char* const kNames[] = {"image", "wcs",      "fk5",     "icrs",
                                         "fk4",   "galactic", "ecliptic"};
    for (const char* n : kNames)
      if (s == n) {
        regions->system = s;
        return 1;
      }
    std::fprintf(stderr,
                 "vantorel-cli: %s: --regions-system takes image, wcs, fk5, icrs, fk4, galactic "
                 "or ecliptic, not '%s'\n",
                 command, s.c_str());
    return -1;
  }
  return 0;
}

bool RegionsPossible(const char* command, const CliRegions& regions, const CImage& image) {
  if (regions.path.empty() || regions.system == "image") return true;
  const std::string own = RegionSkySystem(image);
  if (own.empty()) {
    std::fprintf(stderr, "vantorel-cli: %s: --regions on the sky: %s\n", command,
                 RegionSkyProblem(image).c_str());
    return false;
  }
  const std::string& want = regions.system;
  if (want != "wcs" && want != own && !(want == "fk5" && own == "icrs") &&
      !(want == "icrs" && own == "fk5")) {
    std::fprintf(stderr, "vantorel-cli: %s: --regions-system %s: the image's sky is %s\n", command,
                 want.c_str(), own.c_str());
    return false;
  }
  return true;
}

bool WriteCliRegions(const char* command, const CliRegions& regions,
                     const std::vector<RegionShape>& shapes, const CImage& image) {
  if (regions.path.empty()) return true;
  std::string detail;
  const int rc = WriteRegionFile(regions.path, shapes, image, regions.system != "image", &detail);
  if (rc == kRegionOk) return true;
  std::fprintf(stderr, "vantorel-cli: %s: %s: %s%s%s\n", command, regions.path.c_str(),
               RegionErrorText(rc), detail.empty() ? "" : ": ", detail.c_str());
  return false;
}
