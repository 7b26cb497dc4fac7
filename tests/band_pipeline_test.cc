#include "cli/conversion_threads.h"
#include "exr_io/exr_compression.h"
#include "runtime/band_pipeline.h"
#include "runtime/worker_pool.h"

#include <ImfCompression.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

// Fill writes the band's number into it; drain records what it finds. Either fails at a
// chosen band.
struct Trace {
    int64_t fill_fails_at = -1, drain_fails_at = -1, drain_too_fails_at = -1;
    std::vector<int64_t> drained, drained_too;
};

int fill(void *context, int64_t index, void *band)
{
    *(int64_t *)band = index;
    return index == ((Trace *)context)->fill_fails_at ? 7 : 0;
}

int drain(void *context, int64_t index, void *band)
{
    Trace *trace = (Trace *)context;
    trace->drained.push_back(*(int64_t *)band == index ? index : -1);
    return index == trace->drain_fails_at ? 9 : 0;
}

// A second drain, after the first: records what it finds. It fails at its band late, so that
// the first drain has failed at a later band by then.
int drain_too(void *context, int64_t index, void *band)
{
    Trace *trace = (Trace *)context;
    trace->drained_too.push_back(*(int64_t *)band == index ? index : -1);
    if (index != trace->drain_too_fails_at)
        return 0;
    usleep(50000);
    return 11;
}

// The stages of each way a conversion runs them: on one thread; fill on the workers, drain on
// the caller (pictor_tohalf); fill on the caller, drain on the workers; and with a second drain
// on the workers (pictor_fromhalf).
struct Way {
    BandStage stages[3];
    int count;
} const WAYS[] = {
    {{{fill, ON_CALLER}, {drain, ON_CALLER}}, 2},
    {{{fill, ON_WORKERS}, {drain, ON_CALLER}}, 2},
    {{{fill, ON_CALLER}, {drain, ON_WORKERS}}, 2},
    {{{fill, ON_CALLER}, {drain, ON_WORKERS}, {drain_too, ON_WORKERS}}, 3},
};

struct Pool {
    int64_t bands[BAND_POOL_SIZE];
    void *slots[BAND_POOL_SIZE];
    Pool()
    {
        for (int i = 0; i < BAND_POOL_SIZE; i++)
            slots[i] = &bands[i];
    }
};

// Each case each way, without workers and with more workers than processors.
TEST(BandPipeline, BandsInOrderAndTheFirstFailureInBandOrderWins)
{
    struct Case {
        int64_t count, fill_fails_at, drain_fails_at;
        int status;
        int64_t drained;
    } cases[] = {
        {0, -1, -1, 0, 0}, {1, -1, -1, 0, 1}, {1000, -1, -1, 0, 1000},
        {1000, 0, -1, 7, 0}, {1000, 500, -1, 7, 500}, {1000, 999, -1, 7, 999},
        {1000, -1, 0, 9, 1}, {1000, -1, 999, 9, 1000},
        {1000, 503, 500, 9, 501}, {1000, 500, 503, 7, 500},
    };
    for (int workers_count : {0, 2, 4, 8}) {
        WorkerPool *workers = workers_count ? worker_pool_start(workers_count) : nullptr;
        for (const Case &c : cases) {
            for (int way = 0; way < 4; way++) {
                Pool pool;
                Trace trace;
                trace.fill_fails_at = c.fill_fails_at;
                trace.drain_fails_at = c.drain_fails_at;
                EXPECT_EQ(c.status, run_band_pipeline(WAYS[way].stages, WAYS[way].count, &trace,
                                                      pool.slots, c.count, way ? workers : nullptr));
                ASSERT_EQ((size_t)c.drained, trace.drained.size()) << c.fill_fails_at << " " << c.drain_fails_at;
                for (int64_t i = 0; i < c.drained; i++)
                    ASSERT_EQ(i, trace.drained[i]);  // every band once, in order, with its own contents
                for (size_t i = 0; i < trace.drained_too.size(); i++)
                    ASSERT_EQ((int64_t)i, trace.drained_too[i]);
                if (way == 3 && c.drain_fails_at < 0) {
                    ASSERT_EQ((size_t)c.drained, trace.drained_too.size());
                }
            }
        }
        // The second drain fails at band 500, the first at band 501 before that: band 500's
        // failure is the one reported, whichever stage met it.
        Pool pool;
        Trace trace;
        trace.drain_fails_at = 501;
        trace.drain_too_fails_at = 500;
        EXPECT_EQ(11, run_band_pipeline(WAYS[3].stages, 3, &trace, pool.slots, 1000, workers)) << workers_count;
        if (workers)
            worker_pool_stop(workers);
    }
}

// The library gets no more threads than a band holds blocks, none where a block is larger than a
// band, and none for blocks not worth another thread.
TEST(ConversionThreads, TheLibraryGetsNoMoreThreadsThanItsBlocksCanUse)
{
    WorkerPool *workers = worker_pool_start(4);
    ASSERT_NE(nullptr, workers);
    EXPECT_EQ(4, fit_library_threads(workers, 8, true));
    EXPECT_EQ(4, fit_library_threads(workers, 4, true));
    EXPECT_EQ(3, fit_library_threads(workers, 3, true));
    EXPECT_EQ(2, fit_library_threads(workers, 2, true));
    EXPECT_EQ(0, fit_library_threads(workers, 0, true));  // a block larger than a band
    EXPECT_EQ(0, fit_library_threads(workers, 8, false));
    EXPECT_EQ(0, fit_library_threads(nullptr, 8, true));
    stop_conversion_threads(workers);
    EXPECT_FALSE(exr_blocks_worth_threads(Imf::RLE_COMPRESSION, 1 << 20));
    EXPECT_FALSE(exr_blocks_worth_threads(Imf::NO_COMPRESSION, 1 << 20));
    EXPECT_TRUE(exr_blocks_worth_threads(Imf::PIZ_COMPRESSION, 256));
    EXPECT_FALSE(exr_blocks_worth_threads(Imf::ZIPS_COMPRESSION, 8 << 10));
    EXPECT_TRUE(exr_blocks_worth_threads(Imf::ZIPS_COMPRESSION, 32 << 10));
}

TEST(BandPipeline, AnExceptionEndsTheRunAsAFailure)
{
    auto throws = [](void *, int64_t index, void *) -> int {
        if (index == 5)
            throw std::bad_alloc();
        return 0;
    };
    WorkerPool *workers = worker_pool_start(2);
    const BandStage ways[2][2] = {{{throws, ON_WORKERS}, {drain, ON_CALLER}},
                                  {{fill, ON_CALLER}, {throws, ON_WORKERS}}};
    for (const BandStage *stages : ways) {
        Pool pool;
        Trace trace;
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, run_band_pipeline(stages, 2, &trace, pool.slots, 100, workers));
        EXPECT_EQ("pictor: std::bad_alloc\n", testing::internal::GetCapturedStderr());
    }
    worker_pool_stop(workers);
}

// A stage that fails while another waits for a band must wake it: a missed wake-up hangs now
// and then, which the alarm turns into a failure.
TEST(BandPipelineDeathTest, AFailedDrainWakesTheFill)
{
    EXPECT_EXIT(
        {
            alarm(30);
            WorkerPool *workers = worker_pool_start(2);
            for (int run = 0; run < 300; run++) {
                Pool pool;
                Trace trace;
                trace.drain_fails_at = run % 3;
                const Way &way = WAYS[1 + run % 2];
                if (run_band_pipeline(way.stages, way.count, &trace, pool.slots, 1000, workers) != 9)
                    _exit(1);
            }
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// The workers take the library's blocks before the pipeline's jobs; a job that finds the queue
// full runs at once on the caller's thread; stopping runs what is queued.
TEST(WorkerPool, LibraryFirstFullQueueAndStop)
{
    WorkerPool *workers = worker_pool_start(1);
    ASSERT_NE(nullptr, workers);
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    std::vector<int> order;
    struct Job {
        int id;
        std::mutex *lock;
        std::condition_variable *changed;
        bool *release;
        std::vector<int> *order;
    };
    auto run = [](void *argument) {
        Job *job = (Job *)argument;
        std::unique_lock<std::mutex> hold(*job->lock);
        job->order->push_back(job->id);
        job->changed->notify_all();
        if (job->id == 0)
            job->changed->wait(hold, [job] { return *job->release; });
    };
    std::vector<Job> jobs;
    for (int id = 0; id < 600; id++)
        jobs.push_back(Job{id, &lock, &changed, &release, &order});
    // The one worker is held by job 0 while the others are queued: pipeline jobs first, then
    // library blocks, which overtake them.
    worker_pool_submit(workers, WORK_PIPELINE, run, &jobs[0]);
    {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return !order.empty(); });
    }
    worker_pool_submit(workers, WORK_PIPELINE, run, &jobs[1]);
    worker_pool_submit(workers, WORK_LIBRARY, run, &jobs[2]);
    worker_pool_submit(workers, WORK_LIBRARY, run, &jobs[3]);
    // Blocks 2 to 257 fill the library's queue of 256: the rest run here, at once.
    for (int id = 4; id < 600; id++)
        worker_pool_submit(workers, WORK_LIBRARY, run, &jobs[id]);
    {
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_EQ(1u + 600 - 258, order.size());
        EXPECT_EQ(258, order[1]);
        EXPECT_EQ(599, order.back());
        release = true;
        changed.notify_all();
    }
    worker_pool_stop(workers);
    ASSERT_EQ(600u, order.size());
    std::vector<int> tail(order.end() - 257, order.end());
    EXPECT_EQ(2, tail[0]);  // the library's blocks before the pipeline's job
    EXPECT_EQ(1, tail.back());
}

}  // namespace
