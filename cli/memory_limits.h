// How much memory a conversion may ask for.
#ifndef PICTOR_CLI_MEMORY_LIMITS_H
#define PICTOR_CLI_MEMORY_LIMITS_H

#include <cstddef>
#include <cstdint>

// Physical memory of this machine in bytes (0 when unknown).
uint64_t physical_memory_bytes(void);

// Lowers what fits_in_memory allows below physical memory (0: physical memory again). For
// callers that run conversions inside a process with a smaller budget, such as a fuzzer.
void set_memory_budget(uint64_t bytes);

// True when count items of item_bytes each, plus extra_bytes, fit in physical memory (always
// true when it is unknown). Computed without overflow for any count.
bool fits_in_memory(uint64_t count, uint64_t item_bytes, uint64_t extra_bytes);

// Bounds the process's address space near physical memory, so that a runaway allocation fails
// cleanly instead of driving the machine into swap or the OOM killer. Does nothing in builds
// with AddressSanitizer or ThreadSanitizer, which reserve far more address space than they use.
void limit_address_space(void);

// Bounds what the process may allocate from here on to about bytes more than it holds now
// (0: lifts the bound again). A request beyond it fails at once, as a null malloc or
// std::bad_alloc, instead of being granted and filled. For a phase whose needs are known, such
// as opening a file, while the process runs one thread.
void bound_allocations(uint64_t bytes);

// The largest single request that may be granted, from the budget and (in builds with
// AddressSanitizer, where it is not a process limit) the bound; 0 when there is none.
uint64_t largest_allocation(void);

// Keeps memory that is freed for the next request instead of handing it back to the kernel at
// once. The OpenEXR library allocates and frees its compression tables for every block of
// scanlines; handed back each time, every block pays page faults for fresh, zeroed pages again.
void keep_freed_memory(void);

#endif
