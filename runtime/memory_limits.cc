#include "runtime/memory_limits.h"
#include "runtime/sanitizer_build.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
#if !defined(PICTOR_SANITIZED)
struct rlimit unbounded_data;
bool data_bounded;

// Bytes of the process's data and stack mappings, from /proc (0 when unknown).
uint64_t data_bytes_in_use(void)
{
    FILE *statm = fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long size, resident, shared, text, library, data = 0;
    int got = fscanf(statm, "%lu %lu %lu %lu %lu %lu", &size, &resident, &shared, &text, &library,
                     &data);
    fclose(statm);
    long page = sysconf(_SC_PAGESIZE);
    return got == 6 && page > 0 ? (uint64_t)data * (uint64_t)page : 0;
}
#endif
}  // namespace

void bound_allocations(uint64_t bytes)
{
#if !defined(PICTOR_SANITIZED)
    if (bytes == 0) {
        if (data_bounded)
            setrlimit(RLIMIT_DATA, &unbounded_data);
        data_bounded = false;
        return;
    }
    uint64_t used = data_bytes_in_use();
    if (data_bounded || used == 0 || getrlimit(RLIMIT_DATA, &unbounded_data) != 0)
        return;
    // Only ever lowered: a limit the user set below the bound stays as it is.
    struct rlimit bound = unbounded_data;
    if (bound.rlim_cur == RLIM_INFINITY || bound.rlim_cur > used + bytes)
        bound.rlim_cur = (rlim_t)(used + bytes);
    data_bounded = setrlimit(RLIMIT_DATA, &bound) == 0;
#else
    (void)bytes;  // the sanitizers reserve far more address space than they use
#endif
}

void keep_freed_memory(void)
{
    // The largest mmap threshold glibc allows; blocks of the widest pictures stay below it.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

void *allocate_large(size_t bytes)
{
    void *p = malloc(bytes);
    const uintptr_t huge_page = (uintptr_t)2 << 20;
    if (p && bytes >= 2 * huge_page) {
        uintptr_t start = ((uintptr_t)p + huge_page - 1) & ~(huge_page - 1);
        uintptr_t end = ((uintptr_t)p + bytes) & ~(huge_page - 1);
        if (end > start)
            madvise((void *)start, end - start, MADV_HUGEPAGE);  // advice only: failure is fine
    }
    return p;
}

void limit_address_space(void)
{
#if !defined(PICTOR_SANITIZED)
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0)
        return;
    uint64_t physical = (uint64_t)pages * (uint64_t)page_size;
    // Code, libraries and stacks take address space too; allow a little beyond memory.
    rlim_t limit = (rlim_t)(physical + (physical >> 3));
    struct rlimit current;
    if (getrlimit(RLIMIT_AS, &current) == 0 &&
        (current.rlim_cur == RLIM_INFINITY || current.rlim_cur > limit)) {
        current.rlim_cur = limit;
        setrlimit(RLIMIT_AS, &current);
    }
#endif
}
