// For the allocator of sanitizer builds (tests/sanitizer/sanitizer_allocator.cc); not part of the
// module's interface.
#ifndef PICTOR_RUNTIME_MEMORY_LIMITS_INTERNAL_H
#define PICTOR_RUNTIME_MEMORY_LIMITS_INTERNAL_H

#include <cstdint>

// The largest single request that may be granted under the bound of bound_allocations, in
// builds with AddressSanitizer, where the bound is not a process limit; 0 when there is none.
uint64_t largest_allocation(void);

#endif
