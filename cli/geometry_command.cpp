// vantorel-cli rotate, flip, resample and shift: the single-image operations that move
// pixels, each through the engine call its dialog makes, then saved in the format of the
// output name. World coordinates and measurement tables move with the pixels; tables that
// cannot follow (the pixels were resampled) are removed, and the command says so.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "engine/imgflip.h"
#include "engine/imgresolution.h"
#include "engine/imgrotate.h"
#include "engine/imgscroll.h"
#include "engine/imgtables.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

bool ToDouble(const std::string& s, double* v) {
  char* end = nullptr;
  *v = std::strtod(s.c_str(), &end);
  return !s.empty() && !*end && std::isfinite(*v);
}

bool ToInt(const std::string& s, int* v) {
  char* end = nullptr;
  const long n = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || n < -1000000000L || n > 1000000000L) return false;
  *v = static_cast<int>(n);
  return true;
}

// Opens IN, runs op on it, saves OUT; says so when the image's measurement tables went
// because the pixels were resampled.
int RunOnImage(const std::string& in, const std::string& out, const CliOptions& options,
               const std::function<int(CRalImage&)>& op, bool keepsPositions) {
  return TransformImageFile(options, in, out, 0, [&](CRalImage& image) {
    const int tables = CImgTables::Count(image);
    if (!op(image)) {
      std::fputs("vantorel-cli: the operation failed (out of memory or unreadable rows)\n", stderr);
      return false;
    }
    if (tables > 0 && !keepsPositions)
      std::fprintf(stderr,
                   "vantorel-cli: the measurement tables (%d) were removed: the pixels were "
                   "resampled, so their positions no longer hold\n",
                   tables);
    return true;
  });
}

int Misuse(const char* usage) {
  std::fprintf(stderr, "vantorel-cli: %s\n", usage);
  return 2;
}

}  // namespace

int RotateCommand(const std::vector<std::string>& args) {
  std::vector<std::string> rest;
  bool fixed = false;
  for (const std::string& a : args)
    if (a == "--fixed-size")
      fixed = true;
    else
      rest.push_back(a);
  CliOptions options;
  if (!ParseCliOptions(rest, &options)) return 2;
  double angle = 0;
  if (options.files.size() != 3 || !ToDouble(options.files[2], &angle))
    return Misuse("rotate needs IN OUT ANGLE (degrees, counterclockwise as shown)");
  return RunOnImage(
      options.files[0], options.files[1], options,
      [&](CRalImage& image) { return CImgRotate(image).DoShown(angle, fixed ? 1 : 0, nullptr, 0); },
      CImgRotate::QuarterTurnsOf(angle) >= 0);
}

int FlipCommand(const std::vector<std::string>& args) {
  std::vector<std::string> rest;
  int horizontal = -1;
  for (const std::string& a : args)
    if (a == "--horizontal" || a == "--vertical")
      horizontal = a == "--horizontal" ? 1 : 0;
    else
      rest.push_back(a);
  CliOptions options;
  if (!ParseCliOptions(rest, &options)) return 2;
  if (options.files.size() != 2 || horizontal < 0)
    return Misuse("flip needs IN OUT and --horizontal (left-right) or --vertical (top-bottom)");
  return RunOnImage(
      options.files[0], options.files[1], options,
      [&](CRalImage& image) { return CImgFlip(image).Do(horizontal, nullptr, 0); }, true);
}

int ResampleCommand(const std::vector<std::string>& args) {
  CliOptions options;
  if (!ParseCliOptions(args, &options)) return 2;
  int width = 0, height = 0;
  if (options.files.size() != 4 || !ToInt(options.files[2], &width) ||
      !ToInt(options.files[3], &height))
    return Misuse("resample needs IN OUT WIDTH HEIGHT");
  if (width < 1 || height < 1) return Misuse("resample: the width and height must be 1 or more");
  return RunOnImage(
      options.files[0], options.files[1], options,
      [&](CRalImage& image) { return CImgResolution(image).Do(nullptr, width, height, 0); }, false);
}

int ShiftCommand(const std::vector<std::string>& args) {
  CliOptions options;
  if (!ParseCliOptions(args, &options)) return 2;
  int dx = 0, dy = 0;
  if (options.files.size() != 4 || !ToInt(options.files[2], &dx) || !ToInt(options.files[3], &dy))
    return Misuse("shift needs IN OUT DX DY (whole pixels)");
  return RunOnImage(
      options.files[0], options.files[1], options,
      [&](CRalImage& image) {
        // DY counts as the information bar does: upward for rows stored bottom-up.
        return CImgScroll(image).Do(dx, FitsRowsBottomUp(image) ? -dy : dy, nullptr, 0);
      },
      true);
}
