// How much memory a conversion may ask for.
#ifndef PICTOR_RUNTIME_MEMORY_LIMITS_H
#define PICTOR_RUNTIME_MEMORY_LIMITS_H

#include <cstddef>
#include <cstdint>

// Bounds the process's address space near physical memory, so that a runaway allocation fails
// cleanly instead of driving the machine into swap or the OOM killer. A last line of defence
// only: what a conversion may hold is set by fixed limits, the same on every machine. Does
// nothing in builds with AddressSanitizer or ThreadSanitizer, which reserve far more address
// space than they use.
void limit_address_space(void);

// Bounds what the process may allocate from here on to about bytes more than it holds now
// (0: lifts the bound again). A request beyond it fails at once, as a null malloc or
// std::bad_alloc, instead of being granted and filled. For a phase whose needs are known, such
// as opening a file, while the process runs one thread. Does nothing in builds with a
// sanitizer, as limit_address_space.
void bound_allocations(uint64_t bytes);

// Keeps memory that is freed for the next request instead of handing it back to the kernel at
// once. The OpenEXR library allocates and frees its compression tables for every block of
// scanlines; handed back each time, every block pays page faults for fresh, zeroed pages again.
void keep_freed_memory(void);

// malloc for a buffer of several megabytes that a conversion fills over and over (released
// with free). Asks the kernel to back the whole 2 MB pages inside it with huge pages, where it
// can: the first touch of a 4 KB page costs a page fault, and a band pool would otherwise pay
// thousands of them before its first band is full.
void *allocate_large(size_t bytes);

#endif
