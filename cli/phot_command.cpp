// vantorel-cli phot: aperture and rectangle photometry at given positions with the code
// the image window uses, printing the text (or CSV) the dialogs write, and optionally
// saving the image with the measurement tables as the program's save with Yes does.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "cli/coordinates.h"
#include "cli/json_lines.h"
#include "cli/regions_option.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"

namespace {

bool ParseInt(const std::string& text, int low, int high, int* v) {
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < low || n > high) return false;
  *v = static_cast<int>(n);
  return true;
}

int Misuse(const std::string& why) {
  std::fprintf(stderr, "vantorel-cli: phot: %s\n", why.c_str());
  return 2;
}

}  // namespace

int PhotCommand(const std::vector<std::string>& args) {
  std::string in, save;
  std::vector<std::vector<double>> at, rects;
  int method = 1, searchG = 0, starR = 5, skyIR = 10, skyDR = 2, searchR = 3;
  bool csv = false, json = false;
  CliRegions regions;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    auto value = [&]() -> const std::string& { return args[++i]; };
    std::vector<double> numbers;
    if (a == "--csv" || a == "--json") {
      (a == "--csv" ? csv : json) = true;
    } else if (a == "--at" && hasValue) {
      if (!ReadCliCoordinates("phot", "--at", "X,Y", value(), 2, &numbers)) return 2;
      at.push_back(numbers);
    } else if (a == "--rect" && hasValue) {
      if (!ReadCliCoordinates("phot", "--rect", "X1,Y1,X2,Y2", value(), 4, &numbers)) return 2;
      rects.push_back(numbers);
    } else if (a == "--method" && hasValue) {
      const std::string& m = value();
      if (m == "auto") {
        method = 1;
        searchG = 0;
      } else if (m == "semi" || m == "semictrd") {
        method = 0;
        searchG = m == "semictrd";
      } else {
        return Misuse("--method takes auto, semi or semictrd");
      }
    } else if (a == "--star" && hasValue) {
      if (!ParseInt(value(), 1, 999, &starR)) return Misuse("--star takes 1 to 999");
    } else if (a == "--sky" && hasValue) {
      if (!ParseInt(value(), 2, 1000, &skyIR)) return Misuse("--sky takes 2 to 1000");
    } else if (a == "--width" && hasValue) {
      if (!ParseInt(value(), 0, 1000, &skyDR)) return Misuse("--width takes 0 to 1000");
    } else if (a == "--search" && hasValue) {
      if (!ParseInt(value(), 1, 1000, &searchR)) return Misuse("--search takes 1 to 1000");
    } else if (a == "--save" && hasValue) {
      save = value();
    } else if (const int taken = TakeRegionsOption("phot", args, &i, &regions)) {
      if (taken < 0) return 2;
    } else if (!a.starts_with("--") && in.empty()) {
      in = a;
    } else {
      return Misuse("unknown or incomplete option '" + a + "'");
    }
  }
  if (in.empty()) return Misuse("needs IN");
  if (!CheckJsonOrCsv("phot", json, csv)) return 2;
  if (at.empty() && rects.empty()) return Misuse("needs --at X,Y or --rect X1,Y1,X2,Y2");
  if (method == 0 && starR >= skyIR) return Misuse("--star must be smaller than --sky");

  CliOptions options;
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  if (!OpenOnePlaneImage("phot", in, image)) return 1;
  if (!RegionsPossible("phot", regions, image)) return 1;
  auto pixel = [&](double x, double y) {
    return POINT{static_cast<int>(std::lround(PhotImageX(x))),
                 static_cast<int>(std::lround(PhotImageY(image, y)))};
  };
  CAperture aperture;
  aperture.SetParams(0, method, starR, skyIR, skyDR, searchG, searchR);
  int rc = 0;
  for (const auto& p : at) {
    const POINT q = pixel(p[0], p[1]);
    if (!aperture.AddStar(q.x, q.y, &image)) {
      std::fprintf(stderr, "vantorel-cli: phot: no star measured at %g,%g\n", p[0], p[1]);
      rc = 1;
    }
  }
  CApertureRect rect;
  rect.SetImage(&image);
  for (const auto& r : rects) {
    const POINT a = pixel(r[0], r[1]), b = pixel(r[2], r[3]);
    // A rectangle with no pixel on the image measures nothing, as a centre off the image
    // measures no star; one without width or height, or one already listed, is only not
    // added again, as a drag in the dialog would do.
    const bool off = std::max(a.x, b.x) < 0 || std::min(a.x, b.x) >= image.GetWidth() ||
                     std::max(a.y, b.y) < 0 || std::min(a.y, b.y) >= image.GetHeight();
    if (off) {
      std::fprintf(stderr,
                   "vantorel-cli: phot: rectangle %g,%g,%g,%g not added: it lies outside the "
                   "image\n",
                   r[0], r[1], r[2], r[3]);
      rc = 1;
    } else if (a.x == b.x || a.y == b.y || !rect.Measure(a.x, a.y, b.x, b.y)) {
      std::fprintf(stderr, "vantorel-cli: phot: rectangle %g,%g,%g,%g not added\n", r[0], r[1],
                   r[2], r[3]);
    }
  }
  if (json) {
    if (!WriteJsonLines("phot", PhotJsonLines(aperture, rect, in, image))) rc = 1;
  } else {
    if (!at.empty()) std::fputs(aperture.FormatText(csv).c_str(), stdout);
    if (!rects.empty()) std::fputs(rect.FormatText(csv).c_str(), stdout);
  }
  std::vector<RegionShape> shapes;
  AddApertureRegions(aperture, image, &shapes);
  AddRectRegions(rect, image, &shapes);
  if (!WriteCliRegions("phot", regions, shapes, image)) return 1;
  if (!save.empty()) {
    if (!at.empty()) aperture.WriteExtension(image);
    if (!rects.empty()) rect.WriteExtension(image);
    if (CRalImageIO::WriteImageFile(image, save, 0) != 1) return 1;
  }
  return rc;
}
