# Opening a RICE-compressed FITS file beside funpack + our read, and beside cfitsio.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CFITSIO REQUIRED IMPORTED_TARGET cfitsio)
vantorel_add_bench(fitscomp_bench fitscomp_bench.cpp)
target_link_libraries(fitscomp_bench PRIVATE vtlios PkgConfig::CFITSIO)
