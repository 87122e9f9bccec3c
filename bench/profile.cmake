# A wide diagonal profile of a 4096 x 4096 float image beside scipy's map_coordinates of the
# same points, timed by a python script in the same run.
vantorel_add_bench(profile_bench profile_bench.cpp)
target_link_libraries(profile_bench PRIVATE vtlgraph)
target_compile_definitions(profile_bench PRIVATE
  PROFILE_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/profile_peer.py")
