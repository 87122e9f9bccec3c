# The image matching of one pair of star fields of 1024² and 2048²: a fresh matching, a
# matching that keeps its reference's spectrum, and the plain radix-2 computation it
# replaced (tests/support/plain_matching.h), in the same run.
add_executable(matching_bench matching_bench.cpp)
target_link_libraries(matching_bench PRIVATE vtlime vtlcim benchmark::benchmark
  benchmark::benchmark_main)
