# 10,000 semi-automatic apertures on a 4096 x 4096 float image, beside photutils.
vantorel_add_bench(phot_bench phot_bench.cpp)
target_link_libraries(phot_bench PRIVATE vtlmeas)
target_compile_definitions(phot_bench PRIVATE
  PHOT_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/phot_peer.py")
