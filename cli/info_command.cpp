// vantorel-cli info: what the program would show about each file after opening it.
#include <cmath>
#include <cstdio>
#include <string>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "engine/ralimage.h"
#include "fileio/fitssource.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"

namespace {

std::string Number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  // The shortest text that reads back as the same double.
  for (int digits = 6; digits < 17; ++digits) {
    char shorter[40];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, v);
    if (std::strtod(shorter, nullptr) == v) return shorter;
  }
  return buf;
}

}  // namespace

int InfoCommand(const std::vector<std::string>& args) {
  CliOptions options;
  if (!ParseCliOptions(args, &options)) return 2;
  if (options.files.empty()) {
    std::fputs("vantorel-cli: info needs at least one FILE\n", stderr);
    return 2;
  }
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  int failures = 0;
  for (const std::string& path : options.files) {
    // The scaling as the file states it: the full read folds it into the pixels.
    CRalImage header;
    CReadParam param;
    std::string file = path;
    param.SetFileType(CRalImageIO::GetFileTypeOfDocumentName(&file));
    if (param.GetFileType() != FILETYPE_USFITS) param.SetFileTypeDefaulted(file);
    double bscale = 1.0, bzero = 0.0;
    int filePlanes = 0;
    {
      // A file that cannot be read is reported once, by the full read below.
      RecordingMessageBox quiet;
      ScopedMessageBox scopedQuiet(&quiet);
      if (param.GetFileType() != FILETYPE_RAW && CRalImageIO::ReadHeader(header, file, &param)) {
        bscale = header.GetBscale();
        bzero = header.GetBzero();
        filePlanes = header.GetPlanes();
      }
    }
    // The units of a FITS file, so that the others can be named with FILE[N]; listed
    // also for a file without an image, to show what it holds.
    std::vector<FitsHdu> units;
    if ((param.GetFileType() == FILETYPE_FITS || param.GetFileType() == FILETYPE_USFITS) &&
        ListFitsUnits(file, &units) != 0)
      units.clear();
    auto unitLines = [&]() {
      if (!units.empty()) std::printf("  hdus: %zu\n", units.size());
      for (const FitsHdu& u : units)
        std::printf("  hdu[%d]: %-8s %s\n", u.index, u.extName.empty() ? "-" : u.extName.c_str(),
                    u.Describe().c_str());
    };
    CRalImage image;
    if (!OpenImage(path, image)) {
      if (!options.json && !units.empty()) {
        std::printf("%s\n", path.c_str());
        unitLines();
        std::fflush(stdout);
      }
      ++failures;
      continue;
    }
    if (filePlanes == 0) filePlanes = image.GetPlanes();
    const int levels = image.GetPlanes();
    if (options.json) {
      std::string line = "{\"file\":" + JsonString(path) +
                         ",\"format\":" + JsonString(image.GetOrgFileFormat()) +
                         ",\"width\":" + std::to_string(image.GetWidth()) +
                         ",\"height\":" + std::to_string(image.GetHeight()) +
                         ",\"planes\":" + std::to_string(filePlanes) +
                         ",\"planes_read\":" + std::to_string(image.GetPlanes()) +
                         ",\"bits\":" + std::to_string(image.GetOrgBitsPixel()) +
                         ",\"bscale\":" + Number(bscale) + ",\"bzero\":" + Number(bzero) +
                         ",\"levels\":[";
      for (int p = 0; p < levels; ++p)
        line += std::string(p ? "," : "") + "[" + Number(image.GetLevelMin(p)) + "," +
                Number(image.GetLevelMax(p)) + "]";
      line += "]";
      if (!units.empty()) {
        line += ",\"hdus\":[";
        for (const FitsHdu& u : units) {
          line += std::string(u.index ? "," : "") + "{\"index\":" + std::to_string(u.index) +
                  ",\"extname\":" + JsonString(u.extName) +
                  ",\"type\":" + JsonString(u.compressed ? "COMPRESSED_IMAGE" : u.type) +
                  ",\"bits\":" + std::to_string(u.bitpix) + ",\"axes\":[";
          for (std::size_t i = 0; i < u.axes.size(); ++i)
            line += std::string(i ? "," : "") + std::to_string(u.axes[i]);
          line += "],\"image\":" + std::string(u.IsImage() ? "true" : "false") + "}";
        }
        line += "]";
      }
      line += "}";
      std::puts(line.c_str());
    } else {
      std::printf("%s\n  format: %s\n  width: %d\n  height: %d\n  planes: %d (read %d)\n"
                  "  bits: %d\n  bscale: %s\n  bzero: %s\n",
                  path.c_str(), image.GetOrgFileFormat().c_str(), image.GetWidth(),
                  image.GetHeight(), filePlanes, image.GetPlanes(), image.GetOrgBitsPixel(),
                  Number(bscale).c_str(), Number(bzero).c_str());
      for (int p = 0; p < levels; ++p)
        std::printf("  levels[%d]: %s .. %s\n", p, Number(image.GetLevelMin(p)).c_str(),
                    Number(image.GetLevelMax(p)).c_str());
      unitLines();
    }
    std::fflush(stdout);
  }
  return failures ? 1 : 0;
}
