# A night's light curve: 500 frames of 2048 x 2048 with ten stars, read, followed and
# measured, beside astropy and photutils doing the same.
vantorel_add_bench(lightcurve_bench lightcurve_bench.cpp)
target_link_libraries(lightcurve_bench PRIVATE vtllcurve vtlbatch)
target_compile_definitions(lightcurve_bench PRIVATE
  LIGHTCURVE_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/lightcurve_peer.py")
