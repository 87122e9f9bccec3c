// vantorel-cli detect and centroid: the positioning tool's detection over a rectangle
// (the whole image by default) and its centroid at given points, with the code the image
// window uses, printing the text (or CSV) the dialog writes; --save writes the image with
// the positions table as the program's save with Yes does.
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
#include "measure/phottable.h"
#include "measure/positioning.h"

namespace {

// Exactly count comma-separated finite numbers.
bool Numbers(const std::string& text, std::size_t count, std::vector<double>* out) {
  out->clear();
  const char* p = text.c_str();
  while (true) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || !std::isfinite(v)) return false;
    out->push_back(v);
    if (*end == '\0') break;
    if (*end != ',') return false;
    p = end + 1;
  }
  return out->size() == count;
}

int Misuse(const char* command, const std::string& why) {
  std::fprintf(stderr, "vantorel-cli: %s: %s\n", command, why.c_str());
  return 2;
}

int Positioning(const char* command, const std::vector<std::string>& args) {
  const bool detect = std::string(command) == "detect";
  std::string in, save;
  std::vector<std::vector<double>> points;
  std::vector<double> rect;
  double factor = 0.5;
  int radius = 0;
  bool csv = false, json = false;
  CliRegions regions;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    std::vector<double> numbers;
    if (a == "--csv" || a == "--json") {
      (a == "--csv" ? csv : json) = true;
    } else if (detect && a == "--rect" && hasValue) {
      if (!ReadCliCoordinates(command, "--rect", "X1,Y1,X2,Y2", args[++i], 4, &rect)) return 2;
    } else if (detect && a == "--factor" && hasValue) {
      if (!Numbers(args[++i], 1, &numbers) || numbers[0] < CPositioning::kMinFactor ||
          numbers[0] > CPositioning::kMaxFactor)
        return Misuse(command, "--factor takes 0.1 to 3.0");
      factor = numbers[0];
    } else if (!detect && a == "--at" && hasValue) {
      if (!ReadCliCoordinates(command, "--at", "X,Y", args[++i], 2, &numbers)) return 2;
      points.push_back(numbers);
    } else if (!detect && a == "--radius" && hasValue) {
      if (!Numbers(args[++i], 1, &numbers) || numbers[0] != std::trunc(numbers[0]) ||
          numbers[0] < 1 || numbers[0] > 9999)
        return Misuse(command, "--radius takes 1 to 9999");
      radius = static_cast<int>(numbers[0]);
    } else if (a == "--save" && hasValue) {
      save = args[++i];
    } else if (const int taken = TakeRegionsOption(command, args, &i, &regions)) {
      if (taken < 0) return 2;
    } else if (!a.starts_with("--") && in.empty()) {
      in = a;
    } else {
      return Misuse(command, "unknown or incomplete option '" + a + "'");
    }
  }
  if (in.empty()) return Misuse(command, "needs IN");
  if (!CheckJsonOrCsv(command, json, csv)) return 2;
  if (!detect && points.empty()) return Misuse(command, "needs --at X,Y");

  CliOptions options;
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  if (!OpenOnePlaneImage(command, in, image)) return 1;
  if (!RegionsPossible(command, regions, image)) return 1;
  auto pixel = [&](double x, double y) {
    return POINT{static_cast<int>(std::lround(PhotImageX(x))),
                 static_cast<int>(std::lround(PhotImageY(image, y)))};
  };
  CPositioning pos;
  pos.SetImage(&image);
  if (detect) {
    pos.SetMethod(CPositioning::SEARCH);
    pos.SetFactor(factor);
    RECT r{0, 0, image.GetWidth() - 1, image.GetHeight() - 1};
    if (!rect.empty()) {
      const POINT a = pixel(rect[0], rect[1]), b = pixel(rect[2], rect[3]);
      r = RECT{a.x, a.y, b.x, b.y};
    }
    pos.Measure(&image, r.left, r.top, r.right, r.bottom);
  } else {
    pos.SetMethod(CPositioning::CENTROID);
    pos.SetAreaMode(radius ? CPositioning::SEMI : CPositioning::AUTO);
    if (radius) pos.SetRadius(radius);
    for (const auto& p : points) {
      const POINT q = pixel(p[0], p[1]);
      const RECT sq = pos.CentroidSquare(q.x, q.y);
      // A point whose centre is already a row adds nothing, as a second click does.
      if (!pos.Measure(&image, sq.left, sq.top, sq.right, sq.bottom))
        std::fprintf(stderr, "vantorel-cli: centroid: no new row at %g,%g\n", p[0], p[1]);
    }
  }
  if (json) {
    if (!WriteJsonLines(command, PositionJsonLines(pos, in, image))) return 1;
  } else {
    std::fputs(pos.FormatText(csv).c_str(), stdout);
  }
  std::vector<RegionShape> shapes;
  AddPositionRegions(pos, image, &shapes);
  if (!WriteCliRegions(command, regions, shapes, image)) return 1;
  if (!save.empty()) {
    pos.WriteExtension(image);
    if (CRalImageIO::WriteImageFile(image, save, 0) != 1) return 1;
  }
  return 0;
}

}  // namespace

int DetectCommand(const std::vector<std::string>& args) {
  return Positioning("detect", args);
}

int CentroidCommand(const std::vector<std::string>& args) {
  return Positioning("centroid", args);
}
