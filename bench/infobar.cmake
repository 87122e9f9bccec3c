# The information bar's SetData on a large image with world coordinates, beside one pixel
# read (GetPixelGrayRaw) in the same run.
if(TARGET vtlbar)
  vantorel_add_bench(infobar_bench infobar_bench.cpp)
  target_link_libraries(infobar_bench PRIVATE vtlbar)
endif()
