# Engine operations on a 4096 x 4096 float image, beside a sweep of its physical rows.
vantorel_add_bench(engine_bench engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE vtlime)
