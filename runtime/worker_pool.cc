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

// Jobs waiting: the library queues a few blocks per worker, the pipeline one job at a time.
const int QUEUE_SIZE = 256;

}  // namespace

struct WorkerPool {
    std::mutex lock;
    std::condition_variable changed;
    Job queue[QUEUE_SIZE];
    int first = 0;
    int size = 0;
    bool ending = false;
    std::vector<std::thread> workers;
};

namespace {

void work(WorkerPool *pool)
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> hold(pool->lock);
            pool->changed.wait(hold, [pool] { return pool->ending || pool->size > 0; });
            if (pool->size == 0)
                return;  // ending, and nothing left
            job = pool->queue[pool->first];
            pool->first = (pool->first + 1) % QUEUE_SIZE;
            pool->size--;
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

void worker_pool_submit(void *context, void (*run)(void *), void *argument)
{
    WorkerPool *pool = (WorkerPool *)context;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        if (pool->size < QUEUE_SIZE) {
            pool->queue[(pool->first + pool->size) % QUEUE_SIZE] = Job{run, argument};
            pool->size++;
            run = nullptr;
        }
    }
    if (run)
        run(argument);
    else
        pool->changed.notify_one();
}

bool worker_pool_yield(void *context, void (*run)(void *), void *argument)
{
    WorkerPool *pool = (WorkerPool *)context;
    std::lock_guard<std::mutex> hold(pool->lock);
    if (pool->size == QUEUE_SIZE)
        return false;
    bool others = false;
    for (int i = 0; i < pool->size && !others; i++)
        others = pool->queue[(pool->first + i) % QUEUE_SIZE].run != run;
    if (!others)
        return false;
    pool->queue[(pool->first + pool->size) % QUEUE_SIZE] = Job{run, argument};
    pool->size++;
    return true;  // a worker is busy with the others: no need to wake one
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
