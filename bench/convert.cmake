# vantorel-cli convert of 4096² and 8192² 16-bit FITS files to FITS, beside fitscopy + sync.
vantorel_add_bench(convert_bench convert_bench.cpp)
target_link_libraries(convert_bench PRIVATE vtlfts vtlime)
add_dependencies(convert_bench vantorel-cli)
