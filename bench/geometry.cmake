# Rotation and halving of a 4096 x 4096 float image beside scipy and numpy in the same run.
vantorel_add_bench(geometry_bench geometry_bench.cpp)
target_link_libraries(geometry_bench PRIVATE vtlime)
target_compile_definitions(geometry_bench PRIVATE
  GEOMETRY_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/geometry_peer.py")
