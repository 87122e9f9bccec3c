// cfitsio, opened on first use rather than at program start. The library brings some
// forty others with it (its network readers: curl, TLS, Kerberos, LDAP), which every
// start of the program would otherwise load and relocate although only tile-compressed
// files need it.
#pragma once

#include <fitsio.h>

namespace fitscomp {

// The cfitsio functions this format calls, named as in fitsio.h without the fits_ prefix
// (most of those names are macros for the library's ff* symbols, which are looked up).
struct CfitsioApi {
  decltype(&ffclos) close_file = nullptr;
  decltype(&ffpscl) set_bscale = nullptr;
  decltype(&ffgpv) read_img = nullptr;
  decltype(&ffgsv) read_subset = nullptr;
  decltype(&ffdkopn) open_diskfile = nullptr;
  decltype(&ffmahd) movabs_hdu = nullptr;
  decltype(&ffdkinit) create_diskfile = nullptr;
  decltype(&ffthdu) get_num_hdus = nullptr;
  decltype(&ffcopy) copy_hdu = nullptr;
  decltype(&fits_is_compressed_image) is_compressed_image = nullptr;
  decltype(&fits_set_compression_type) set_compression_type = nullptr;
  decltype(&fits_img_compress) img_compress = nullptr;
  // The RICE decoders: exported by the library, declared only in its private header.
  int (*rdecomp)(unsigned char* c, int clen, unsigned int array[], int nx, int nblock) = nullptr;
  int (*rdecomp_short)(unsigned char* c, int clen, unsigned short array[], int nx,
                       int nblock) = nullptr;
  int (*rdecomp_byte)(unsigned char* c, int clen, unsigned char array[], int nx,
                      int nblock) = nullptr;
};

// The library's functions, loaded once (thread-safe); null when the library or one of the
// functions cannot be had, after saying why on the standard error. Call it before forking
// children that use it: loading a library in a child of a threaded process can deadlock.
const CfitsioApi* Cfitsio();

}  // namespace fitscomp
