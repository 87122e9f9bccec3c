// vantorel-cli header: the primary header that saving the opened image as FITS would
// write, one 80-character card per line.
#include <cstdio>
#include <memory>

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
  // A plain save writes the file's own bits again: the header then states those bits
  // and the scaling that the conversion chooses.
  const int bits = image.GetOrgBitsPixel();
  const CRalImage* shown = &image;
  std::unique_ptr<CRalImage> copy;
  if ((bits == 8 || bits == 16 || bits == 32 || bits == -64) && bits != image.GetBitsPixel()) {
    copy = std::make_unique<CRalImage>(static_cast<const CImage&>(image));
    if (!copy->ChangeBits(bits, 1, 0)) {
      std::fputs("vantorel-cli: out of memory converting the image\n", stderr);
      return 1;
    }
    shown = copy.get();
  }
  const CFitsHeader cards = CFits::FormatHeader(*shown);
  for (const std::string& card : cards.Cards()) {
    std::string line = card;
    line.resize(80, ' ');
    std::puts(line.c_str());
  }
  return 0;
}
