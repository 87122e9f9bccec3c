# The row-by-row median of 20 frames of 2048 x 2048 float beside numpy in the same run; with
# --memory, the peak resident size of a 50-frame median under a 512 MB pager budget.
add_executable(stack_bench stack_bench.cpp)
target_link_libraries(stack_bench PRIVATE vtlime vtlreg benchmark::benchmark)
target_compile_definitions(stack_bench PRIVATE
  STACK_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/stack_peer.py")
