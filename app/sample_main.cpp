// vantorel-sample: writes the bundled sample star field (see samplefits.h).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/samplefits.h"
#include "settings/registry.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "Usage: vantorel-sample OUT.fits [WIDTH HEIGHT]\n");
    return 2;
  }
  const int width = argc >= 3 ? std::atoi(argv[2]) : 512;
  const int height = argc >= 4 ? std::atoi(argv[3]) : width;
  if (width < 16 || height < 16 || width > 65536 || height > 65536) {
    std::fprintf(stderr, "vantorel-sample: size must be 16 .. 65536\n");
    return 2;
  }
  // It writes the image only; the pager's figures are no business of the settings here.
  CRegistry::SetReadOnly(true);
  const int code = WriteSampleStarField(argv[1], width, height);
  if (code != 0) {
    std::fprintf(stderr, "vantorel-sample: writing %s failed (code %d)\n", argv[1], code);
    return 1;
  }
  return 0;
}
