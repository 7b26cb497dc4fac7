// Moves a picture through a conversion in bands of rows: a list of stages, each a plain function
// over one band, that every band passes through in order (decode, narrow, write; or read, dump,
// code). The bands come from a fixed pool that the caller allocates before the work starts; a
// stage that wants a band when none is ready waits for one, so memory is bounded by the pool,
// whatever the picture's height.
#ifndef PICTOR_RUNTIME_BAND_PIPELINE_H
#define PICTOR_RUNTIME_BAND_PIPELINE_H

#include "runtime/band_layout.h"

#include <cstdint>

struct WorkerPool;

// Where a stage runs. A stage that calls the OpenEXR library runs on the caller, which waits
// while the library works on the workers; the others run on the workers, beside it.
enum StagePlace { ON_CALLER, ON_WORKERS };

// One stage: run(context, index, band) works on band number index, in the pool's band. It
// returns 0, or a nonzero status after reporting its own failure; an exception that it throws
// becomes status 1 with a "pictor: " message. A stage takes its bands one at a time, in order,
// so it may keep state from one band to the next; it touches no band but the one it is given.
struct BandStage {
    int (*run)(void *context, int64_t index, void *band);
    StagePlace place;
};
const int MAX_BAND_STAGES = 4;

// Runs bands 0 .. count - 1 through the stages in order, using the pool's bands, and returns
// when no stage works any more. Returns 0 when every band went through every stage; otherwise
// the status of the failure at the earliest band: a failure at band k stops every stage from
// taking band k or a later one, while earlier bands go on through the stages. Without workers
// (null), each band goes through every stage in turn on the calling thread.
int run_band_pipeline(const BandStage *stages, int stage_count, void *context,
                      void *const pool[BAND_POOL_SIZE], int64_t count, WorkerPool *workers);

#endif
