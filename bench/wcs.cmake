# One million TAN positions through CWCS::ToWCS2, beside wcslib's wcsp2s on the same
# positions; and the texts of vantorel-cli wcs for them (numbers, angles, the information
# bar's text, the reading of the pairs) beside the snprintf and scanf calls they replace.
# wcslib is linked here only, as the baseline.
find_package(PkgConfig REQUIRED)
pkg_check_modules(WCSLIB REQUIRED IMPORTED_TARGET wcslib)
vantorel_add_bench(wcs_bench wcs_bench.cpp ${PROJECT_SOURCE_DIR}/cli/wcs_lines.cpp)
target_link_libraries(wcs_bench PRIVATE vtlwcs PkgConfig::WCSLIB)
