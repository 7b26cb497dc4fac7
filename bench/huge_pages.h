// Whole-picture buffers for the floor programs.
#ifndef PICTOR_BENCH_HUGE_PAGES_H
#define PICTOR_BENCH_HUGE_PAGES_H

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

// malloc for a whole-picture buffer, released with free. Asks the kernel to back it with huge
// pages where it can: first touches of a picture otherwise cost one page fault per 4 KB, which
// would make the floor a measure of the kernel rather than of the library.
inline void *allocate_picture(size_t bytes)
{
    void *p = malloc(bytes);
    const uintptr_t huge_page = (uintptr_t)2 << 20;
    if (p && bytes >= 4 * huge_page) {
        uintptr_t start = ((uintptr_t)p + huge_page - 1) & ~(huge_page - 1);
        uintptr_t end = ((uintptr_t)p + bytes) & ~(huge_page - 1);
        if (end > start)
            madvise((void *)start, end - start, MADV_HUGEPAGE);  // only advice: failure is fine
    }
    return p;
}

#endif
