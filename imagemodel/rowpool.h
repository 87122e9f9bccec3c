// A small pool of worker threads for work that is per row. The caller splits the rows
// into contiguous runs, one per thread, and waits for all of them; the first run is done
// on the calling thread. Workers only compute on memory the caller has pinned: the pager,
// progress and cancellation stay on the calling thread, and since every row is computed
// on its own the result does not depend on how many threads took part.
#pragma once

#include <functional>

namespace rowpool {

// Calls work(begin, end) on contiguous runs that together cover [0, count), each run on
// its own thread, and returns when every run is done. Small counts (below minPerThread
// items per thread) stay on the calling thread. maxThreads above 0 caps the threads of
// this run below the pool's count (a caller with a thread setting of its own).
void Run(int count, int minPerThread, const std::function<void(int begin, int end)>& work,
         int maxThreads = 0);

// How many threads Run uses at most (1: the calling thread only). The default is the
// number of processors, at most 8. Tests set it to compare one thread with several.
int GetThreads();
void SetThreads(int threads);

}  // namespace rowpool
