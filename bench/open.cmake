# The program opening an 8192 x 8192 16-bit FITS file to its first picture, offscreen,
# beside the dispatcher's ReadFile of the same file.
if(TARGET vantorelapp)
  vantorel_add_bench(open_bench open_bench.cpp)
  target_link_libraries(open_bench PRIVATE vantorelapp)
endif()
