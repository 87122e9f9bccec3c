// vantorel-cli header: the primary header that saving the opened image as FITS would
// write, one 80-character card per line.
#include <cstdio>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"

int HeaderCommand(const std::vector<std::string>& args) {
  CliOptions options;
  if (!ParseCliOptions(args, &options)) return 2;
  if (options.files.size() != 1) {
    std::fputs("vantorel-cli: header needs one FILE\n", stderr);
    return 2;
  }
  CliPrompts prompts(options);
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  if (!OpenImage(options.files[0], image)) return 1;
  // The header that a plain save writes: the file's own bits again, with the scaling and
  // blank value that the save's conversion chooses.
  CFitsHeader cards;
  if (CRalImageIO::FormatFitsHeader(image, image.GetOrgBitsPixel(), 0, &cards) != 1) {
    std::fputs("vantorel-cli: out of memory converting the image\n", stderr);
    return 1;
  }
  for (const std::string& card : cards.Cards()) {
    std::string line = card;
    line.resize(80, ' ');
    std::puts(line.c_str());
  }
  return 0;
}
