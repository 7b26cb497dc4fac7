#include "cli/conversion_threads.h"
#include "exr_io/exr_threads.h"
#include "runtime/band_pipeline.h"
#include "runtime/worker_pool.h"

#include <ImfCompression.h>

#include <gtest/gtest.h>

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

// Each case in turn on one thread, with fill on the workers, with drain there, and with both
// drains there.
TEST(BandPipeline, BandsInOrderAndTheFirstFailureInBandOrderWins)
{
    WorkerPool *workers = worker_pool_start(2);
    ASSERT_NE(nullptr, workers);
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
    for (const Case &c : cases) {
        int64_t pool_bands[BAND_POOL_SIZE];
        void *pool[BAND_POOL_SIZE];
        for (int i = 0; i < BAND_POOL_SIZE; i++)
            pool[i] = &pool_bands[i];
        Trace trace;
        trace.fill_fails_at = c.fill_fails_at;
        trace.drain_fails_at = c.drain_fails_at;
        for (int mode = 0; mode < 4; mode++) {
            trace.drained.clear();
            trace.drained_too.clear();
            BandStages stages = {fill, drain, &trace, mode >= 2, mode == 3 ? drain_too : nullptr};
            EXPECT_EQ(c.status, run_band_pipeline(stages, pool, c.count, mode ? workers : nullptr));
            ASSERT_EQ((size_t)c.drained, trace.drained.size()) << c.fill_fails_at << " " << c.drain_fails_at;
            for (int64_t i = 0; i < c.drained; i++)
                ASSERT_EQ(i, trace.drained[i]);  // every band once, in order, with its own contents
            for (size_t i = 0; i < trace.drained_too.size(); i++)
                ASSERT_EQ((int64_t)i, trace.drained_too[i]);
            if (mode == 3 && c.drain_fails_at < 0) {
                ASSERT_EQ((size_t)c.drained, trace.drained_too.size());
            }
        }
    }
    // The second drain fails at band 500, the first at band 501 before that: band 500's failure
    // is the one reported, whichever stage met it.
    for (int mode : {0, 3}) {
        int64_t pool_bands[BAND_POOL_SIZE];
        void *pool[BAND_POOL_SIZE];
        for (int i = 0; i < BAND_POOL_SIZE; i++)
            pool[i] = &pool_bands[i];
        Trace trace;
        trace.drain_fails_at = 501;
        trace.drain_too_fails_at = 500;
        BandStages stages = {fill, drain, &trace, true, drain_too};
        EXPECT_EQ(11, run_band_pipeline(stages, pool, 1000, mode ? workers : nullptr)) << mode;
    }
    worker_pool_stop(workers);
}

// The library gets no more threads than a band holds blocks, none where a block is larger than a
// band, and none for blocks not worth another thread.
TEST(ConversionThreads, TheLibraryGetsNoMoreThreadsThanItsBlocksCanUse)
{
    WorkerPool *workers = worker_pool_start(4);
    ASSERT_NE(nullptr, workers);
    EXPECT_EQ(4, fit_library_threads(workers, 8, true));
    EXPECT_EQ(4, fit_library_threads(workers, 4, true));
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
    int64_t pool_bands[BAND_POOL_SIZE];
    void *pool[BAND_POOL_SIZE];
    for (int i = 0; i < BAND_POOL_SIZE; i++)
        pool[i] = &pool_bands[i];
    auto throws = [](void *, int64_t index, void *) -> int {
        if (index == 5)
            throw std::bad_alloc();
        return 0;
    };
    WorkerPool *workers = worker_pool_start(2);
    for (BandStages stages : {BandStages{throws, drain, nullptr, false, nullptr},
                              BandStages{fill, throws, nullptr, true, nullptr}}) {
        Trace trace;
        stages.context = &trace;
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, run_band_pipeline(stages, pool, 100, workers));
        EXPECT_EQ("pictor: std::bad_alloc\n", testing::internal::GetCapturedStderr());
    }
    worker_pool_stop(workers);
}

// A stage that fails while the other waits for a band must wake it: a missed wake-up hangs now
// and then, which the alarm turns into a failure.
TEST(BandPipelineDeathTest, AFailedDrainWakesTheFill)
{
    EXPECT_EXIT(
        {
            alarm(30);
            WorkerPool *workers = worker_pool_start(2);
            for (int run = 0; run < 300; run++) {
                int64_t pool_bands[BAND_POOL_SIZE];
                void *pool[BAND_POOL_SIZE];
                for (int i = 0; i < BAND_POOL_SIZE; i++)
                    pool[i] = &pool_bands[i];
                Trace trace;
                trace.drain_fails_at = run % 3;
                if (run_band_pipeline(BandStages{fill, drain, &trace, run % 2 == 1, nullptr}, pool, 1000,
                                      workers) != 9)
                    _exit(1);
            }
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
