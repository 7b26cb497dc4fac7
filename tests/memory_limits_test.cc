#include "runtime/memory_limits.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

rlim_t soft_data_limit()
{
    struct rlimit limit;
    getrlimit(RLIMIT_DATA, &limit);
    return limit.rlim_cur;
}

void set_soft_data_limit(rlim_t soft)
{
    struct rlimit limit;
    getrlimit(RLIMIT_DATA, &limit);
    limit.rlim_cur = soft;
    setrlimit(RLIMIT_DATA, &limit);
}

// In a child process, where limits may change freely: the bound of an open lowers the data limit
// to what it allows, never raises a lower one of the user's (even one below what the process
// already uses), and is lifted after; the address space gets its limit.
TEST(MemoryLimitsDeathTest, BoundsOnlyEverLowerTheLimits)
{
    if (failing_malloc_path().empty())
        GTEST_SKIP() << "sanitizer builds bound allocations in their allocator";
    EXPECT_EXIT(
        {
            unsigned long pages[6] = {};
            FILE *statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%lu %lu %lu %lu %lu %lu", &pages[0], &pages[1], &pages[2],
                                 &pages[3], &pages[4], &pages[5]) != 6)
                _exit(2);
            fclose(statm);
            rlim_t used = (rlim_t)pages[5] * (rlim_t)sysconf(_SC_PAGESIZE);
            bool ok = true;
            set_soft_data_limit(RLIM_INFINITY);
            bound_allocations(64 << 20);
            ok = ok && soft_data_limit() >= used + (64 << 20) && soft_data_limit() < used + (128 << 20);
            bound_allocations(0);
            ok = ok && soft_data_limit() == RLIM_INFINITY;
            for (rlim_t user : {used + (32 << 20), used - 4096}) {
                set_soft_data_limit(user);
                bound_allocations(64 << 20);
                ok = ok && soft_data_limit() == user;
                bound_allocations(0);
                ok = ok && soft_data_limit() == user;
            }
            set_soft_data_limit(RLIM_INFINITY);
            limit_address_space();
            struct rlimit space;
            getrlimit(RLIMIT_AS, &space);
            _exit(ok && space.rlim_cur != RLIM_INFINITY ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
