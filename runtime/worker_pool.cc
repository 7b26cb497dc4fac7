#include "runtime/worker_pool.h"
#include "runtime/cleanup_signals.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

struct Job {
    void (*run)(void *);
    void *argument;
};

// Jobs a queue holds: the library queues a few blocks per worker, the pipeline one job a stage.
const int QUEUE_SIZE = 256;

struct JobQueue {
    Job jobs[QUEUE_SIZE];
    int first = 0;
    int size = 0;
};

}  // namespace

struct WorkerPool {
    std::mutex lock;
    std::condition_variable changed;
    JobQueue queues[WORK_QUEUES];  // under lock
    bool ending = false;           // under lock
    std::vector<std::thread> workers;
};

namespace {

// Takes the first job of the first queue that has one. Call with the lock held.
bool take_job(WorkerPool *pool, Job *job)
{
    for (JobQueue &queue : pool->queues) {
        if (queue.size > 0) {
            *job = queue.jobs[queue.first];
            queue.first = (queue.first + 1) % QUEUE_SIZE;
            queue.size--;
            return true;
        }
    }
    return false;
}

void work(WorkerPool *pool)
{
    for (;;) {
        Job job = {nullptr, nullptr};
        {
            std::unique_lock<std::mutex> hold(pool->lock);
            pool->changed.wait(hold, [pool, &job] { return take_job(pool, &job) || pool->ending; });
            if (!job.run)
                return;  // ending, and nothing left
        }
        job.run(job.argument);
    }
}

}  // namespace

WorkerPool *worker_pool_start(int count)
{
    WorkerPool *pool = new (std::nothrow) WorkerPool;
    if (!pool)
        return nullptr;
    HeldSignals hold;  // the workers start with them held
    for (int i = 0; i < count; i++) {
        try {
            pool->workers.emplace_back(work, pool);
        } catch (...) {
            break;  // no memory, or a process limit: fewer workers
        }
    }
    if (pool->workers.empty()) {
        delete pool;
        return nullptr;
    }
    return pool;
}

int worker_pool_size(const WorkerPool *pool)
{
    return (int)pool->workers.size();
}

void worker_pool_submit(WorkerPool *pool, WorkQueue queue, void (*run)(void *), void *argument)
{
    bool queued = false;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        JobQueue &q = pool->queues[queue];
        if (q.size < QUEUE_SIZE) {
            q.jobs[(q.first + q.size) % QUEUE_SIZE] = Job{run, argument};
            q.size++;
            queued = true;
        }
    }
    if (queued)
        pool->changed.notify_one();
    else
        run(argument);
}

void worker_pool_stop(WorkerPool *pool)
{
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->ending = true;
    }
    pool->changed.notify_all();
    for (std::thread &worker : pool->workers)
        worker.join();
    delete pool;
}
