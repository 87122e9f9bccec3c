// Handing freed heap memory back to the system after a large one-off job.
#pragma once

// The C library keeps freed heap pages resident, and after a large buffer has come and
// gone it serves the next middle-sized blocks from the heap instead of separate
// mappings, so a job's scratch arrays stay resident long after they were freed. This
// returns those pages; nothing that is in use is touched. Costs a walk over the free
// lists, so it belongs after a large job (opening an image), not in a loop.
void ReturnFreedHeap();
