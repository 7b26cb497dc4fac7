// A fixed set of worker threads that run jobs in the order they are given. The band pipeline
// runs one of its stages there, and the OpenEXR library its compression and decompression of
// blocks (see exr_io/exr_threads.h), so that every worker takes whichever work is waiting.
#ifndef PICTOR_RUNTIME_WORKER_POOL_H
#define PICTOR_RUNTIME_WORKER_POOL_H

struct WorkerPool;

// Starts count workers (at least 1), with the cleanup signals held, so that the handler runs
// on the main thread. Returns null when not even one could be started; the caller then does
// the work itself.
WorkerPool *worker_pool_start(int count);

// The number of workers.
int worker_pool_size(const WorkerPool *pool);

// Queues run(argument) for the next free worker. Never fails: when the queue is full, which
// a conversion never fills, the job runs at once on the calling thread. pool is a WorkerPool.
void worker_pool_submit(void *pool, void (*run)(void *), void *argument);

// Puts run(argument) at the back of the queue, behind the jobs there, when any of them runs
// something other than run; returns whether it did. For work that may wait while other work,
// such as the library's blocks, goes first.
bool worker_pool_yield(void *pool, void (*run)(void *), void *argument);

// Runs what is queued, then ends and joins every worker and releases the pool.
void worker_pool_stop(WorkerPool *pool);

#endif
