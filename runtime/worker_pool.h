// A fixed set of worker threads that take jobs from two queues: the OpenEXR library's blocks of
// rows first, then the band pipeline's jobs. The library's call waits on the calling thread
// until its blocks are done, so a worker that has a choice helps that call end.
#ifndef PICTOR_RUNTIME_WORKER_POOL_H
#define PICTOR_RUNTIME_WORKER_POOL_H

struct WorkerPool;

// The queues, in the order the workers look at them.
enum WorkQueue { WORK_LIBRARY, WORK_PIPELINE, WORK_QUEUES };

// Starts count workers (at least 1; fewer where the system refuses more), with the cleanup
// signals held, so that the handler runs on the main thread. Returns null when not even one
// could be started; the caller then does the work itself.
WorkerPool *worker_pool_start(int count);

// The number of workers.
int worker_pool_size(const WorkerPool *pool);

// Queues run(argument) for the next free worker. Never fails: when the queue is full, which a
// conversion never fills, the job runs at once on the calling thread.
void worker_pool_submit(WorkerPool *pool, WorkQueue queue, void (*run)(void *), void *argument);

// Runs what is queued, then ends and joins every worker and releases the pool.
void worker_pool_stop(WorkerPool *pool);

#endif
