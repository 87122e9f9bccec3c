# Reading and writing FITS files beside cfitsio.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CFITSIO REQUIRED IMPORTED_TARGET cfitsio)
vantorel_add_bench(fits_bench fits_bench.cpp)
target_link_libraries(fits_bench PRIVATE vtlfts PkgConfig::CFITSIO)
