#include "runtime/band_pipeline.h"
#include "runtime/worker_pool.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>

BandLayout band_layout(int32_t width, int32_t height, uint64_t bytes_per_pixel,
                       int32_t rows_wanted, int32_t unit, uint64_t budget)
{
    uint64_t row_bytes = (uint64_t)(width > 0 ? width : 0) * bytes_per_pixel;
    uint64_t rows = row_bytes == 0 ? (uint64_t)rows_wanted : budget / row_bytes;
    if (rows > (uint64_t)rows_wanted)
        rows = (uint64_t)rows_wanted;
    if (unit > 1 && rows > (uint64_t)unit)
        rows -= rows % (uint64_t)unit;
    if (height > 0 && rows > (uint64_t)height)
        rows = (uint64_t)height;
    return BandLayout{(int32_t)rows, height};
}

int32_t band_rows_wanted(int32_t width, int64_t rows_for_work)
{
    int64_t least = width > 0 ? (LEAST_BAND_PIXELS + width - 1) / width : 1;
    int64_t rows = rows_for_work > least ? rows_for_work : least;
    return (int32_t)(rows < INT32_MAX ? rows : INT32_MAX);
}

int64_t band_count(const BandLayout &layout)
{
    if (layout.height <= 0 || layout.rows <= 0)
        return 0;
    return ((int64_t)layout.height + layout.rows - 1) / layout.rows;
}

int32_t band_first_row(const BandLayout &layout, int64_t index)
{
    return (int32_t)(index * layout.rows);
}

int32_t band_rows(const BandLayout &layout, int64_t index)
{
    int64_t left = (int64_t)layout.height - index * layout.rows;
    return (int32_t)(left < layout.rows ? left : layout.rows);
}

namespace {

// Runs a stage; an exception never leaves it, and becomes a failure with a message.
int run_stage(int (*stage)(void *, int64_t, void *), void *context, int64_t index, void *band)
{
    try {
        return stage(context, index, band);
    } catch (const std::exception &e) {
        fprintf(stderr, "pictor: %s\n", e.what());
    } catch (...) {
        fputs("pictor: unexpected failure.\n", stderr);
    }
    return 1;
}

// Pool slots in first-in, first-out order; never holds more than the pool.
struct SlotQueue {
    int slots[BAND_POOL_SIZE];
    int statuses[BAND_POOL_SIZE];
    int first = 0;
    int size = 0;

    void push(int slot, int status)
    {
        int at = (first + size) % BAND_POOL_SIZE;
        slots[at] = slot;
        statuses[at] = status;
        size++;
    }
    int pop(int *status)
    {
        int slot = slots[first];
        if (status)
            *status = statuses[first];
        first = (first + 1) % BAND_POOL_SIZE;
        size--;
        return slot;
    }
};

// A stage on the workers: one job at a time, a band a job, queued again while there are bands
// for it; the caller starts it again when it hands over a band. One band a job, so that in the
// queue it takes turns with the library's blocks and every worker stays busy.
struct Chain {
    int (*stage)(void *, int64_t, void *);
    SlotQueue ready;          // bands ready for it (drain stages)
    int64_t next_index = 0;   // its next band
    bool running = false;     // a job is queued or running
};

// The state the stages share, under one lock.
struct Pipeline {
    const BandStages *stages;
    void *const *pool;
    int64_t count;
    WorkerPool *workers;

    std::mutex lock;
    std::condition_variable changed;
    SlotQueue free_bands;            // ready for fill
    SlotQueue filled;                // filled on the workers, ready for drain, with fill's status
    Chain chains[2];                 // the stages on the workers: fill, or the drains
    int chain_count = 0;
    bool stop = false;               // the workers take no further band
    int64_t failed_index = -1;       // the earliest band that a stage on the workers failed on
    int failure = 0;                 // and that failure's status
    struct JobArgument {
        Pipeline *pipeline;
        int chain;
    } job_arguments[2];
};

using JobArgument = Pipeline::JobArgument;


void run_job(void *argument);

// Whether the chain has a band to take. Call with the lock held.
bool has_work(const Pipeline *p, int chain)
{
    if (p->stages->fill_on_caller)
        return p->chains[chain].ready.size > 0;
    return p->free_bands.size > 0 && p->chains[chain].next_index < p->count;
}

// Marks a job of the chain as running unless one runs or there is nothing for it, and returns
// its argument for worker_pool_submit, or null. Call with the lock held. The pipeline lasts
// while a chain runs, so the job may be handed over after the lock is let go.
JobArgument *claim_job(Pipeline *p, int chain)
{
    Chain &c = p->chains[chain];
    if (c.running || p->stop || !has_work(p, chain))
        return nullptr;
    c.running = true;
    return &p->job_arguments[chain];
}

// Starts a job of the chain, as claim_job decides, from the calling thread, which owns the
// pipeline. Call with the lock held; it is let go while the job is handed over.
void start_job(Pipeline *p, int chain, std::unique_lock<std::mutex> &hold)
{
    if (JobArgument *job = claim_job(p, chain)) {
        hold.unlock();
        worker_pool_submit(p->workers, run_job, job);
        hold.lock();
    }
}

// Records a failure of a stage on the workers; the earliest band's wins. Call with the lock held.
void fail(Pipeline *p, int64_t index, int status)
{
    if (p->failed_index < 0 || index < p->failed_index) {
        p->failed_index = index;
        p->failure = status;
    }
    p->stop = true;
}

// One band of a chain: fill the next free band, or drain the next ready one.
void run_job(void *argument)
{
    JobArgument *job = (JobArgument *)argument;
    Pipeline *p = job->pipeline;
    Chain &c = p->chains[job->chain];
    int slot;
    int64_t index;
    {
        std::unique_lock<std::mutex> hold(p->lock);
        if (p->stop || !has_work(p, job->chain)) {
            c.running = false;
            p->changed.notify_all();
            return;
        }
        // The library's calls end only when all their blocks are done. While the caller has a
        // band to go on with, the blocks waiting on the workers come first; this band is taken
        // when they are done, by a worker that would otherwise wait for the call to end.
        bool caller_can_go_on = p->stages->fill_on_caller ? p->free_bands.size > 0
                                                          : p->filled.size > 0;
        if (caller_can_go_on) {
            hold.unlock();
            if (worker_pool_yield(p->workers, run_job, argument))
                return;
            hold.lock();
            if (p->stop || !has_work(p, job->chain)) {
                c.running = false;
                p->changed.notify_all();
                return;
            }
        }
        slot = p->stages->fill_on_caller ? c.ready.pop(nullptr) : p->free_bands.pop(nullptr);
        index = c.next_index++;
    }
    int status = run_stage(c.stage, p->stages->context, index, p->pool[slot]);
    JobArgument *next = nullptr, *again = nullptr;
    WorkerPool *workers = p->workers;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        if (!p->stages->fill_on_caller) {
            p->filled.push(slot, status);  // a failure is handed to drain with its band
            p->stop = p->stop || status != 0;
        } else if (status != 0) {
            p->free_bands.push(slot, 0);
            fail(p, index, status);
        } else if (job->chain + 1 < p->chain_count) {
            p->chains[job->chain + 1].ready.push(slot, 0);  // on to the next drain
            next = claim_job(p, job->chain + 1);
        } else {
            p->free_bands.push(slot, 0);
        }
        c.running = false;
        again = claim_job(p, job->chain);
        p->changed.notify_all();
    }
    // Once the lock is let go, the caller may find every chain idle and end the pipeline: from
    // here on, only the jobs claimed above, which keep it alive, are touched.
    if (next)
        worker_pool_submit(workers, run_job, next);
    if (again)
        worker_pool_submit(workers, run_job, again);
}

bool chains_idle(const Pipeline *p)
{
    for (int i = 0; i < p->chain_count; i++) {
        if (p->chains[i].running)
            return false;
    }
    return true;
}

// Fill on the workers, drain here.
int drain_here(Pipeline *p)
{
    int result = 0;
    std::unique_lock<std::mutex> hold(p->lock);
    start_job(p, 0, hold);
    for (int64_t index = 0; index < p->count && result == 0; index++) {
        p->changed.wait(hold, [p] { return p->filled.size > 0; });
        int status;
        int slot = p->filled.pop(&status);
        if (status != 0) {
            result = status;
            break;
        }
        hold.unlock();
        result = run_stage(p->stages->drain, p->stages->context, index, p->pool[slot]);
        hold.lock();
        p->free_bands.push(slot, 0);
        start_job(p, 0, hold);
    }
    p->stop = true;
    p->changed.wait(hold, [p] { return chains_idle(p); });
    return result;
}

// Fill here, drain on the workers. A failure of a drain on a band filled before fill failed
// comes first in band order.
int fill_here(Pipeline *p)
{
    int result = 0;
    int64_t index = 0;
    std::unique_lock<std::mutex> hold(p->lock);
    for (; index < p->count && result == 0; index++) {
        p->changed.wait(hold, [p] { return p->free_bands.size > 0 || p->stop; });
        if (p->stop)
            break;
        int slot = p->free_bands.pop(nullptr);
        hold.unlock();
        result = run_stage(p->stages->fill, p->stages->context, index, p->pool[slot]);
        hold.lock();
        if (result != 0) {
            p->free_bands.push(slot, 0);
            break;
        }
        p->chains[0].ready.push(slot, 0);
        start_job(p, 0, hold);
    }
    // Every band filled is drained, unless a drain fails first.
    p->changed.wait(hold, [p] {
        if (p->stop)
            return true;
        for (int i = 0; i < p->chain_count; i++) {
            if (p->chains[i].ready.size > 0 || p->chains[i].running)
                return false;
        }
        return true;
    });
    p->stop = true;
    p->changed.wait(hold, [p] { return chains_idle(p); });
    return p->failed_index >= 0 && (result == 0 || p->failed_index < index) ? p->failure : result;
}

// Both stages in turn on this thread, one band at a time.
int run_in_turn(const BandStages &stages, void *band, int64_t count)
{
    for (int64_t index = 0; index < count; index++) {
        int status = run_stage(stages.fill, stages.context, index, band);
        if (status == 0)
            status = run_stage(stages.drain, stages.context, index, band);
        if (status == 0 && stages.drain_too)
            status = run_stage(stages.drain_too, stages.context, index, band);
        if (status != 0)
            return status;
    }
    return 0;
}

}  // namespace

int run_band_pipeline(const BandStages &stages, void *const pool[BAND_POOL_SIZE], int64_t count,
                      WorkerPool *workers)
{
    if (!workers)
        return run_in_turn(stages, pool[0], count);
    Pipeline p;
    p.stages = &stages;
    p.pool = pool;
    p.count = count;
    p.workers = workers;
    for (int slot = 0; slot < BAND_POOL_SIZE; slot++)
        p.free_bands.push(slot, 0);
    if (stages.fill_on_caller) {
        p.chains[p.chain_count++].stage = stages.drain;
        if (stages.drain_too)
            p.chains[p.chain_count++].stage = stages.drain_too;
    } else {
        p.chains[p.chain_count++].stage = stages.fill;
    }
    for (int i = 0; i < p.chain_count; i++)
        p.job_arguments[i] = JobArgument{&p, i};
    return stages.fill_on_caller ? fill_here(&p) : drain_here(&p);
}
