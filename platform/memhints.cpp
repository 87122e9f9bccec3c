#include "platform/memhints.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>  // defines __GLIBC__ on the C library that has the call

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void ReturnFreedHeap() {
#if defined(__GLIBC__)
  (void)malloc_trim(0);
#endif
}

void PrefaultForWrite(void* from, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(from) & ~(page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(from) + bytes;
  (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)from;
  (void)bytes;
#endif
}
