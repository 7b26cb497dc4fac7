// The band pipeline. How its threads meet:
//
// - A band belongs to one stage at a time: the stage running on it, or the queue of the stage it
//   waits for. Bands enter the first stage's queue from the pool, pass from each stage's queue to
//   the next one's in band order, and go back to the first stage's queue after the last stage.
// - Each stage is a strand: it takes the bands of its queue one at a time, in order. On the
//   workers, at most one job of a stage is queued or running; it takes one band and hands the
//   stage to a new job if more are waiting, so that in the pool's queue it takes turns with the
//   library's blocks. Stages on the caller run on the thread that called run_band_pipeline.
// - A failure at band k sets the limit to k: no stage takes band k or a later one, and the
//   earliest band's failure is the one reported, whichever stage met it.
// - Everything above is under the pipeline's lock; the stages run without it. A job lets the
//   lock go for the last time after it has claimed the jobs it starts: once it lets go, the
//   caller may find nothing running and return, ending the pipeline.
#include "runtime/band_pipeline.h"
#include "runtime/worker_pool.h"

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>

namespace {

// Runs a stage; an exception never leaves it, and becomes a failure with a message.
int run_stage(const BandStage &stage, void *context, int64_t index, void *band)
{
    try {
        return stage.run(context, index, band);
    } catch (const std::exception &e) {
        fprintf(stderr, "pictor: %s\n", e.what());
    } catch (...) {
        fputs("pictor: unexpected failure.\n", stderr);
    }
    return 1;
}

struct Pipeline;

// A stage with the bands waiting for it, as pool slots in band order.
struct Strand {
    Pipeline *pipeline;
    int stage;
    int slots[BAND_POOL_SIZE];
    int first = 0, size = 0;
    int64_t next_index = 0;  // the band it takes next
    bool running = false;    // on the workers: a job of it is queued or running
};

struct Pipeline {
    const BandStage *stages;
    int stage_count;
    void *context;
    void *const *pool;
    WorkerPool *workers;
    std::mutex lock;
    std::condition_variable changed;
    Strand strands[MAX_BAND_STAGES];
    int64_t limit;  // bands from here on are taken by no stage: the count, or the failed band
    int failure = 0;
    int jobs = 0;   // jobs queued or running
};

bool has_work(const Pipeline *p, const Strand &s)
{
    return s.size > 0 && s.next_index < p->limit;
}

// Takes the strand's next band. Call with the lock held, when it has work.
int take_band(Strand *s, int64_t *index)
{
    int slot = s->slots[s->first];
    s->first = (s->first + 1) % BAND_POOL_SIZE;
    s->size--;
    *index = s->next_index++;
    return slot;
}

// After a stage's work on a band: the band goes on to the next stage's queue, or back to the
// first's; a failure lowers the limit. Call with the lock held.
void pass_on(Pipeline *p, int stage, int slot, int64_t index, int status)
{
    if (status != 0 && index < p->limit) {
        p->limit = index;
        p->failure = status;
    }
    Strand &next = p->strands[(stage + 1) % p->stage_count];
    next.slots[(next.first + next.size) % BAND_POOL_SIZE] = slot;
    next.size++;
}

void run_job(void *argument);

// Marks a job as running for every stage on the workers that has work and no job, and gives
// them in claimed (count returned). Call with the lock held; submit them after letting it go.
int claim_jobs(Pipeline *p, Strand *claimed[MAX_BAND_STAGES])
{
    int count = 0;
    for (int i = 0; i < p->stage_count; i++) {
        Strand &s = p->strands[i];
        if (p->stages[i].place == ON_WORKERS && !s.running && has_work(p, s)) {
            s.running = true;
            p->jobs++;
            claimed[count++] = &s;
        }
    }
    return count;
}

void submit(WorkerPool *workers, Strand *const claimed[], int count)
{
    for (int i = 0; i < count; i++)
        worker_pool_submit(workers, WORK_PIPELINE, run_job, claimed[i]);
}

// One band of a stage on the workers.
void run_job(void *argument)
{
    Strand *s = (Strand *)argument;
    Pipeline *p = s->pipeline;
    std::unique_lock<std::mutex> hold(p->lock);
    if (has_work(p, *s)) {
        int64_t index;
        int slot = take_band(s, &index);
        hold.unlock();
        int status = run_stage(p->stages[s->stage], p->context, index, p->pool[slot]);
        hold.lock();
        pass_on(p, s->stage, slot, index, status);
    }
    s->running = false;
    p->jobs--;
    Strand *claimed[MAX_BAND_STAGES];
    int count = claim_jobs(p, claimed);
    WorkerPool *workers = p->workers;
    p->changed.notify_all();
    hold.unlock();
    submit(workers, claimed, count);
}

// The stage on the caller that has work, the latest first, so that bands go back to the pool
// soonest; -1 when none has.
int caller_work(const Pipeline *p)
{
    for (int i = p->stage_count - 1; i >= 0; i--) {
        if (p->stages[i].place == ON_CALLER && has_work(p, p->strands[i]))
            return i;
    }
    return -1;
}

int run_with_workers(Pipeline *p)
{
    Strand *claimed[MAX_BAND_STAGES];
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        int count = claim_jobs(p, claimed);
        if (count > 0) {
            hold.unlock();
            submit(p->workers, claimed, count);
            hold.lock();
        }
        int stage = caller_work(p);
        if (stage >= 0) {
            Strand &s = p->strands[stage];
            int64_t index;
            int slot = take_band(&s, &index);
            hold.unlock();
            int status = run_stage(p->stages[stage], p->context, index, p->pool[slot]);
            hold.lock();
            pass_on(p, stage, slot, index, status);
        } else if (p->jobs == 0) {
            return p->failure;  // nothing has work, nothing runs: every band is through
        } else {
            p->changed.wait(hold);
        }
    }
}

// Each band through every stage in turn on this thread.
int run_in_turn(const BandStage *stages, int stage_count, void *context, void *band, int64_t count)
{
    for (int64_t index = 0; index < count; index++) {
        for (int i = 0; i < stage_count; i++) {
            int status = run_stage(stages[i], context, index, band);
            if (status != 0)
                return status;
        }
    }
    return 0;
}

}  // namespace

int run_band_pipeline(const BandStage *stages, int stage_count, void *context,
                      void *const pool[BAND_POOL_SIZE], int64_t count, WorkerPool *workers)
{
    if (!workers)
        return run_in_turn(stages, stage_count, context, pool[0], count);
    Pipeline p;
    p.stages = stages;
    p.stage_count = stage_count;
    p.context = context;
    p.pool = pool;
    p.workers = workers;
    p.limit = count;
    for (int i = 0; i < stage_count; i++) {
        p.strands[i].pipeline = &p;
        p.strands[i].stage = i;
    }
    for (int slot = 0; slot < BAND_POOL_SIZE; slot++)
        pass_on(&p, stage_count - 1, slot, 0, 0);  // the pool into the first stage's queue
    return run_with_workers(&p);
}
