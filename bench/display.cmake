# Rebuilding display bitmaps, beside memcpy of the source pixels.
vantorel_add_bench(display_bench display_bench.cpp)
target_link_libraries(display_bench PRIVATE vtldisp)
