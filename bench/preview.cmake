# One progressive preview pass of the level dialog beside one rebuild of the same bitmap.
if(TARGET vtlimg)
  vantorel_add_bench(preview_bench preview_bench.cpp)
  target_link_libraries(preview_bench PRIVATE vtlimg)
endif()
