// Moves a picture through a conversion in bands of rows, on two threads: one stage fills bands
// in order (decoding the input), the other drains them in the same order (encoding and writing
// the output), so that on two cores the slower stage sets the pace. The bands come from a fixed
// pool that the caller allocates before the work starts; a stage that wants a band when none is
// free waits for one, so memory is bounded by the pool, whatever the picture's height.
#ifndef PICTOR_CLI_BAND_PIPELINE_H
#define PICTOR_CLI_BAND_PIPELINE_H

#include <cstdint>

// Rows of a band, and bands in a pool: a conversion holds at most BAND_POOL_SIZE * BAND_ROWS
// rows of the picture at a time.
const int32_t BAND_ROWS = 16;
const int BAND_POOL_SIZE = 4;

// Band number index covers the rows from index * BAND_ROWS, this many of them (the last band
// may be shorter).
int64_t band_count(int32_t height);
int32_t band_first_row(int64_t index);
int32_t band_rows(int64_t index, int32_t height);

// The two stages, plain functions over one band. Each returns 0, or a nonzero status after
// reporting its own failure. fill runs on a thread of its own; drain on the calling thread.
struct BandStages {
    int (*fill)(void *context, int64_t index, void *band);
    int (*drain)(void *context, int64_t index, void *band);
    void *context;
};

// Runs bands 0 .. count - 1 through fill, then drain, using the pool's BAND_POOL_SIZE bands.
// Returns 0 when every band went through both stages. Otherwise returns the status of the
// first failure in band order: a failed fill ends the run when drain reaches that band; a
// failed drain stops fill at its next hand-over. Both stages have ended when it returns. When
// no thread can be started, the stages take turns on the calling thread.
int run_band_pipeline(const BandStages &stages, void *const pool[BAND_POOL_SIZE], int64_t count);

#endif
