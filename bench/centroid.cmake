# The centre of gravity above the sky of a 4096 x 4096 frame, beside the plain centre of
# gravity of the same frame and a sweep of its physical rows.
vantorel_add_bench(centroid_bench centroid_bench.cpp)
target_link_libraries(centroid_bench PRIVATE vtlime)
