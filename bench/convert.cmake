# vantorel-cli convert of a 4096 x 4096 16-bit FITS file to FITS, beside cfitsio's fitscopy.
vantorel_add_bench(convert_bench convert_bench.cpp)
target_link_libraries(convert_bench PRIVATE vtlfts vtlime)
add_dependencies(convert_bench vantorel-cli)
