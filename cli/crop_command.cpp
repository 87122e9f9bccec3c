// vantorel-cli crop: cuts an image to a range given as the crop dialog takes it (1-based,
// inclusive; y counted from the bottom for FITS images when the settings say so) and saves
// the part in the format of the output name.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "engine/imgcrop.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "measure/crop.h"

namespace {

bool ParseRange(const std::string& s, CCropRange* r) {
  int* out[4] = {&r->x1, &r->x2, &r->y1, &r->y2};
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t comma = i < 3 ? s.find(',', pos) : s.size();
    if (comma == std::string::npos) return false;
    const std::string part = s.substr(pos, comma - pos);
    char* end = nullptr;
    const long v = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end || v < -1000000000L || v > 1000000000L) return false;
    *out[i] = static_cast<int>(v);
    pos = comma + 1;
  }
  return true;
}

}  // namespace

int CropCommand(const std::vector<std::string>& args) {
  CliOptions options;
  if (!ParseCliOptions(args, &options)) return 2;
  CCropRange range;
  if (options.files.size() != 3 || !ParseRange(options.files[2], &range)) {
    std::fputs("vantorel-cli: crop needs IN OUT X1,X2,Y1,Y2\n", stderr);
    return 2;
  }
  return TransformImageFile(options, options.files[0], options.files[1], 0, [&](CRalImage& image) {
    RECT rect;
    std::string message;
    if (!CheckCropRange(range, image.GetWidth(), image.GetHeight(), FitsRowsBottomUp(image), &rect,
                        &message)) {
      std::fprintf(stderr, "vantorel-cli: %s\n", message.c_str());
      return false;
    }
    if (!CImgCrop().Do(rect, image, 0)) {
      std::fputs("vantorel-cli: the image could not be cut (out of memory)\n", stderr);
      return false;
    }
    return true;
  });
}
