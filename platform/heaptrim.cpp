#include "platform/heaptrim.h"

#include <cstdlib>  // defines __GLIBC__ on the C library that has the call

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void ReturnFreedHeap() {
#if defined(__GLIBC__)
  (void)malloc_trim(0);
#endif
}
