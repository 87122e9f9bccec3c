// The region file options of the measuring commands: --regions OUT.reg writes the marks
// as a DS9 region file, in image pixels or, with --regions-sky (--regions-system wcs, fk5,
// icrs, fk4, galactic, ecliptic), on the sky of the image's celestial coordinates.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "measure/regions.h"

struct CliRegions {
  std::string path;  // empty: no region file
  std::string system = "image";
};

// Takes args[i] when it is a region option (i then stands on its value): 1 taken, 0 not
// one of them, -1 misused (said on standard error).
int TakeRegionsOption(const char* command, const std::vector<std::string>& args, std::size_t* i,
                      CliRegions* regions);
// Before any measuring: whether the wanted system can be written for the image (said on
// standard error when it cannot).
bool RegionsPossible(const char* command, const CliRegions& regions, const CImage& image);
// Writes the file when asked; false after saying why.
bool WriteCliRegions(const char* command, const CliRegions& regions,
                     const std::vector<RegionShape>& shapes, const CImage& image);
