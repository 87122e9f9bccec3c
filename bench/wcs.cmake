# One million TAN positions through CWCS::ToWCS2, beside wcslib's wcsp2s on the same
# positions. wcslib is linked here only, as the baseline.
find_package(PkgConfig REQUIRED)
pkg_check_modules(WCSLIB REQUIRED IMPORTED_TARGET wcslib)
vantorel_add_bench(wcs_bench wcs_bench.cpp)
target_link_libraries(wcs_bench PRIVATE vtlwcs PkgConfig::WCSLIB)
