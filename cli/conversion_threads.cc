#include "cli/conversion_threads.h"
#include "exr_io/exr_threads.h"
#include "runtime/cpu_quota.h"
#include "runtime/worker_pool.h"

#include <sched.h>

namespace {

// The library's blocks go first in the workers' queues: its call waits for them on the calling
// thread.
void submit_library_block(void *workers, void (*run)(void *), void *block)
{
    worker_pool_submit((WorkerPool *)workers, WORK_LIBRARY, run, block);
}

}  // namespace

int processors_available(void)
{
    cpu_set_t allowed;
    int count = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    int quota = cpu_quota_processors();
    if (quota > 0 && quota < count)
        count = quota;
    return count > 0 ? count : 1;
}

WorkerPool *start_conversion_threads(int threads)
{
    int processors = processors_available();
    int count = threads < processors ? threads : processors;
    WorkerPool *workers = count > 1 ? worker_pool_start(count) : nullptr;
    exr_use_threads(submit_library_block, workers, workers ? worker_pool_size(workers) : 0);
    return workers;
}

int fit_library_threads(WorkerPool *workers, int blocks_per_band, bool worth_threads)
{
    if (!workers)
        return 0;
    if (!worth_threads)
        blocks_per_band = 0;
    // A block larger than a band: one block at a time, on the calling thread, as on one thread.
    int threads = worker_pool_size(workers);
    if (threads > blocks_per_band)
        threads = blocks_per_band > 0 ? blocks_per_band : 0;
    exr_use_threads(submit_library_block, workers, threads);
    return threads;
}

void stop_conversion_threads(WorkerPool *workers)
{
    exr_use_threads(nullptr, nullptr, 0);
    if (workers)
        worker_pool_stop(workers);
}
