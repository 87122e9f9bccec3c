# Detection over a whole 4096 x 4096 float frame beside numpy/scipy in the same run.
vantorel_add_bench(positioning_bench positioning_bench.cpp)
target_link_libraries(positioning_bench PRIVATE vtlmeas)
target_compile_definitions(positioning_bench PRIVATE
  POSITIONING_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/positioning_peer.py")
