# Showing a prepared blink frame, beside a whole display rebuild of the same image.
vantorel_add_bench(blink_bench blink_bench.cpp)
target_link_libraries(blink_bench PRIVATE vtlimg vtlblink)
