// Hints to the system about memory: handing freed heap back after a large one-off job,
// and mapping in pages about to be written in one call.
#pragma once

#include <cstddef>

// The C library keeps freed heap pages resident, and after a large buffer has come and
// gone it serves the next middle-sized blocks from the heap instead of separate
// mappings, so a job's scratch arrays stay resident long after they were freed. This
// returns those pages; nothing that is in use is touched. Costs a walk over the free
// lists, so it belongs after a large job (opening an image), not in a loop.
void ReturnFreedHeap();

// Maps in the pages of [from, from + bytes) for writing in one call rather than one fault
// per page while they are filled. Only a hint: kernels without it ignore it.
void PrefaultForWrite(void* from, std::size_t bytes);
