#include "runtime/band_pipeline.h"
#include "runtime/cleanup_signals.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

BandLayout band_layout(int32_t width, int32_t height, uint64_t band_bytes_per_pixel)
{
    uint64_t row_bytes = (uint64_t)(width > 0 ? width : 0) * band_bytes_per_pixel;
    uint64_t rows = row_bytes == 0 ? BAND_ROWS : BAND_POOL_BYTES / BAND_POOL_SIZE / row_bytes;
    int32_t most = height < BAND_ROWS ? (height > 0 ? height : 1) : BAND_ROWS;
    return BandLayout{rows < (uint64_t)most ? (int32_t)rows : most, height};
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

struct Pipeline {
    const BandStages *stages;
    void *const *pool;
    int64_t count;

    std::mutex lock;
    std::condition_variable changed;
    SlotQueue free_bands;  // ready for fill
    SlotQueue filled;      // ready for drain, with fill's status
    bool stop = false;     // drain has finished, or failed: fill takes no further band
};

void fill_stage(Pipeline *p)
{
    for (int64_t index = 0; index < p->count; index++) {
        int slot;
        {
            std::unique_lock<std::mutex> hold(p->lock);
            p->changed.wait(hold, [p] { return p->stop || p->free_bands.size > 0; });
            if (p->stop)
                return;
            slot = p->free_bands.pop(nullptr);
        }
        int status = run_stage(p->stages->fill, p->stages->context, index, p->pool[slot]);
        {
            std::lock_guard<std::mutex> hold(p->lock);
            p->filled.push(slot, status);
        }
        p->changed.notify_all();
        if (status != 0)
            return;
    }
}

int drain_stage(Pipeline *p)
{
    int result = 0;
    for (int64_t index = 0; index < p->count && result == 0; index++) {
        int slot, status;
        {
            std::unique_lock<std::mutex> hold(p->lock);
            p->changed.wait(hold, [p] { return p->filled.size > 0; });
            slot = p->filled.pop(&status);
        }
        if (status != 0)
            return status;
        result = run_stage(p->stages->drain, p->stages->context, index, p->pool[slot]);
        {
            std::lock_guard<std::mutex> hold(p->lock);
            p->free_bands.push(slot, 0);
        }
        p->changed.notify_all();
    }
    return result;
}

// Both stages in turn on this thread, one band at a time.
int run_in_turn(const BandStages &stages, void *band, int64_t count)
{
    for (int64_t index = 0; index < count; index++) {
        int status = run_stage(stages.fill, stages.context, index, band);
        if (status == 0)
            status = run_stage(stages.drain, stages.context, index, band);
        if (status != 0)
            return status;
    }
    return 0;
}

}  // namespace

int run_band_pipeline(const BandStages &stages, void *const pool[BAND_POOL_SIZE], int64_t count)
{
    Pipeline p;
    p.stages = &stages;
    p.pool = pool;
    p.count = count;
    for (int slot = 0; slot < BAND_POOL_SIZE; slot++)
        p.free_bands.push(slot, 0);
    std::thread filler;
    try {
        HeldSignals hold;  // the thread starts with them held: the handler runs on this one
        filler = std::thread(fill_stage, &p);
    } catch (...) {
        // No thread (no memory, or a process limit): the same work, one stage at a time.
        return run_in_turn(stages, pool[0], count);
    }
    int result = drain_stage(&p);
    {
        std::lock_guard<std::mutex> hold(p.lock);
        p.stop = true;
    }
    p.changed.notify_all();
    filler.join();
    return result;
}
