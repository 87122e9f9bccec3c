# The peak resident size of a batch median of many 16-bit frames read from files under a
# 512 MB pager budget, beside ccdproc.combine on the same files with the same memory limit.
add_executable(batchstack_bench batchstack_bench.cpp)
target_link_libraries(batchstack_bench PRIVATE vtlbatch vtlreg)
target_compile_definitions(batchstack_bench PRIVATE
  BATCHSTACK_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/batchstack_peer.py")
