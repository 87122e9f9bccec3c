// vantorel-cli profile: the values along a line of an image as the graph's text output
// writes them. The line is given in 1-based pixels (y counted from the bottom for FITS
// images when the settings say so, as everywhere the program shows positions).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "cli/coordinates.h"
#include "cli/json_lines.h"
#include "cli/regions_option.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "graph/graph2ddata.h"

int ProfileCommand(const std::vector<std::string>& args) {
  std::vector<std::string> rest;
  double width = 1.0;
  bool csv = false;
  CliRegions regions;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (const int taken = TakeRegionsOption("profile", args, &i, &regions)) {
      if (taken < 0) return 2;
    } else if (args[i] == "--csv") {
      csv = true;
    } else if (args[i] == "--width" && i + 1 < args.size()) {
      char* end = nullptr;
      width = std::strtod(args[++i].c_str(), &end);
      if (*end || !(width >= 1.0) || width > 100000.0) {
        std::fprintf(stderr, "vantorel-cli: --width takes a number of pixels from 1\n");
        return 2;
      }
    } else {
      rest.push_back(args[i]);
    }
  }
  CliOptions options;
  if (!ParseCliOptions(rest, &options)) return 2;
  if (!CheckJsonOrCsv("profile", options.json, csv)) return 2;
  if (options.files.size() != 3) {
    std::fputs("vantorel-cli: profile needs IN X1,Y1 X2,Y2\n", stderr);
    return 2;
  }
  std::vector<double> start, end;
  if (!ReadCliCoordinates("profile", "the start point", "X1,Y1", options.files[1], 2, &start) ||
      !ReadCliCoordinates("profile", "the end point", "X2,Y2", options.files[2], 2, &end))
    return 2;
  const double x1 = start[0], y1 = start[1], x2 = end[0], y2 = end[1];
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  if (!OpenImage(options.files[0], image)) return 1;
  if (!RegionsPossible("profile", regions, image)) return 1;
  const bool bottomUp = FitsRowsBottomUp(image);
  auto row = [&](double y) { return bottomUp ? image.GetHeight() - y : y - 1.0; };
  CCtrlGraph2DCore graph;
  graph.SetBottomUp(bottomUp);
  graph.CalcLine(&image, x1 - 1.0, row(y1), x2 - 1.0, row(y2), width);
  if (options.json) {
    const std::string lines = ProfileJsonLines(graph, options.files[0], image);
    if (lines.empty() || !WriteJsonLines("profile", lines)) return 1;
  } else {
    const std::string text = graph.FormatText(csv);
    if (text.empty()) return 1;
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  // The line as given (1-based, rows as the file counts them: FITS pixels).
  RegionShape line;
  line.kind = width > 1.0 ? RegionShape::kProjection : RegionShape::kLine;
  line.x = x1;
  line.y = y1;
  line.x2 = x2;
  line.y2 = y2;
  line.a = width;
  if (!WriteCliRegions("profile", regions, {line}, image)) return 1;
  return 0;
}
