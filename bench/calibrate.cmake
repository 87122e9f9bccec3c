# The batch calibration of a few 16-bit frames with bias, dark and flat, beside the same
# work done target by target through the per-image entry points.
vantorel_add_bench(calibrate_bench calibrate_bench.cpp)
target_link_libraries(calibrate_bench PRIVATE vtlbatch vtlreg)
