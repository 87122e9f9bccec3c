# Reading SBIG and Bitran camera files beside reading the same pixels as FITS and by pread.
vantorel_add_bench(camera_bench camera_bench.cpp)
target_link_libraries(camera_bench PRIVATE vtlbrn vtlsbg vtlfts)
