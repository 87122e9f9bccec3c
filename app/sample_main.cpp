// vantorel-sample: writes the bundled sample star field (see samplefits.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/samplefits.h"
#include "fits/fits.h"
#include "settings/registry.h"

namespace {

constexpr const char* kUsage =
    "Usage: vantorel-sample OUT.fits [WIDTH [HEIGHT]]\n"
    "\n"
    "Writes a synthetic star field with sky coordinates as a 16-bit FITS file.\n"
    "WIDTH and HEIGHT are 16 .. 65536 pixels (default 512; HEIGHT defaults to WIDTH).\n"
    "A file name that starts with '-' is given after '--'.\n";

// Whole decimal numbers only: "12x" or "" is no size.
bool ParseSize(const char* text, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 16 || v > 65536) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> args;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (options && std::strcmp(a, "--") == 0) {
      options = false;
    } else if (options && (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0)) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (options && a[0] == '-' && a[1] != '\0') {
      std::fprintf(stderr, "vantorel-sample: unknown option '%s' (try --help)\n", a);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  if (args.empty() || args.size() > 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  int width = 512, height = 0;
  if ((args.size() >= 2 && !ParseSize(args[1], width)) ||
      (args.size() >= 3 && !ParseSize(args[2], height))) {
    std::fprintf(stderr, "vantorel-sample: size must be a whole number 16 .. 65536\n");
    return 2;
  }
  if (args.size() < 3) height = width;
  // It writes the image only; the pager's figures are no business of the settings here.
  CRegistry::SetReadOnly(true);
  const int code = WriteSampleStarField(args[0], width, height);
  if (code != 0) {
    std::fprintf(stderr, "vantorel-sample: writing %s failed: %s (code %d)\n", args[0],
                 std::string(CFits::ResultText(code)).c_str(), code);
    return 1;
  }
  return 0;
}
