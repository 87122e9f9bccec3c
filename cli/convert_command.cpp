// vantorel-cli convert: opens a file as the program does and saves it in the format of
// the output name, with the options given on the command line.
#include <cstdio>

#include "cli/cli_io.h"
#include "cli/commands.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"

namespace {

// The options each output format takes; any of them given makes the save ask (and the
// answerer answer) that format's questions instead of writing what a plain save writes.
bool WantsOptions(int type, const CliOptions& o, std::string* stray) {
  struct Flag {
    bool given;
    const char* name;
    bool fits, tiff, jpeg, png, sbig;
  } flags[] = {
      {o.bits.has_value(), "--bits", true, true, false, true, false},
      {o.fitMode.has_value(), "--fit", true, false, false, false, true},
      {o.quality.has_value(), "--quality", false, false, true, false, false},
      {o.progressive.has_value(), "--[no-]progressive", false, false, true, false, false},
      {o.compression.has_value(), "--compression", false, true, false, false, true},
      {o.byteOrder.has_value(), "--byte-order", false, true, false, false, false},
      {o.interlace.has_value(), "--[no-]interlace", false, false, false, true, false},
      {o.pngLevel.has_value(), "--png-level", false, false, false, true, false},
  };
  bool any = false;
  for (const Flag& f : flags) {
    if (!f.given) continue;
    const bool fits = (type == FILETYPE_FITS && f.fits) || (type == FILETYPE_TIFF && f.tiff) ||
                      (type == FILETYPE_JPEG && f.jpeg) || (type == FILETYPE_PNG && f.png) ||
                      (type == FILETYPE_SBIG && f.sbig);
    if (!fits) {
      *stray = f.name;
      return false;
    }
    any = true;
  }
  return any;
}

}  // namespace

int ConvertCommand(const std::vector<std::string>& args) {
  CliOptions options;
  if (!ParseCliOptions(args, &options)) return 2;
  if (options.files.size() != 2) {
    std::fputs("vantorel-cli: convert needs IN and OUT\n", stderr);
    return 2;
  }
  const std::string& in = options.files[0];
  const std::string& out = options.files[1];
  const int outType = CRalImageIO::GetFileType(out);
  std::string stray;
  const bool ask = WantsOptions(outType, options, &stray);
  if (!stray.empty()) {
    std::fprintf(stderr, "vantorel-cli: %s does not apply to the format of %s\n", stray.c_str(),
                 out.c_str());
    return 2;
  }
  return TransformImageFile(options, in, out, ask ? 1 : 0, nullptr);
}
