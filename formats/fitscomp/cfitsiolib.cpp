#include "formats/fitscomp/cfitsiolib.h"

#include <dlfcn.h>

#include <cstdio>

#ifndef VANTOREL_CFITSIO_SONAME
#error "VANTOREL_CFITSIO_SONAME names the cfitsio library to load"
#endif

namespace fitscomp {

namespace {

template <typename F>
bool Bind(void* lib, const char* name, F& f) {
  f = reinterpret_cast<F>(::dlsym(lib, name));
  if (!f) std::fprintf(stderr, "vantorel: %s lacks %s\n", VANTOREL_CFITSIO_SONAME, name);
  return f != nullptr;
}

const CfitsioApi* Load() {
  void* lib = ::dlopen(VANTOREL_CFITSIO_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = ::dlerror();
    std::fprintf(stderr, "vantorel: compressed FITS needs %s: %s\n", VANTOREL_CFITSIO_SONAME,
                 why ? why : "not found");
    return nullptr;
  }
  static CfitsioApi api;
  bool ok = Bind(lib, "ffclos", api.close_file);
  ok = Bind(lib, "ffpscl", api.set_bscale) && ok;
  ok = Bind(lib, "ffgpv", api.read_img) && ok;
  ok = Bind(lib, "ffgsv", api.read_subset) && ok;
  ok = Bind(lib, "ffdkopn", api.open_diskfile) && ok;
  ok = Bind(lib, "ffmahd", api.movabs_hdu) && ok;
  ok = Bind(lib, "ffdkinit", api.create_diskfile) && ok;
  ok = Bind(lib, "ffthdu", api.get_num_hdus) && ok;
  ok = Bind(lib, "ffcopy", api.copy_hdu) && ok;
  ok = Bind(lib, "fits_is_compressed_image", api.is_compressed_image) && ok;
  ok = Bind(lib, "fits_set_compression_type", api.set_compression_type) && ok;
  ok = Bind(lib, "fits_img_compress", api.img_compress) && ok;
  ok = Bind(lib, "fits_rdecomp", api.rdecomp) && ok;
  ok = Bind(lib, "fits_rdecomp_short", api.rdecomp_short) && ok;
  ok = Bind(lib, "fits_rdecomp_byte", api.rdecomp_byte) && ok;
  // The library stays loaded for the life of the process, as a linked one would.
  return ok ? &api : nullptr;
}

}  // namespace

const CfitsioApi* Cfitsio() {
  static const CfitsioApi* const api = Load();
  return api;
}

}  // namespace fitscomp
