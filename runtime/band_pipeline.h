// Moves a picture through a conversion in bands of rows, on two threads: one stage fills bands
// in order (decoding the input), the other drains them in the same order (encoding and writing
// the output), so that on two cores the slower stage sets the pace. The bands come from a fixed
// pool that the caller allocates before the work starts; a stage that wants a band when none is
// free waits for one, so memory is bounded by the pool, whatever the picture's height.
#ifndef PICTOR_RUNTIME_BAND_PIPELINE_H
#define PICTOR_RUNTIME_BAND_PIPELINE_H

#include <cstdint>

// Bands in a pool, the most rows a band holds, and the most bytes all bands of a pool may take:
// a conversion holds at most BAND_POOL_SIZE bands of the picture at a time. Pictures so wide that
// bands of BAND_ROWS rows would pass the budget get fewer rows a band, down to one.
const int BAND_POOL_SIZE = 4;
const int32_t BAND_ROWS = 16;
const uint64_t BAND_POOL_BYTES = 64u << 20;

// How a picture of height rows is cut into bands: band number index covers the rows from
// index * rows, this many of them (the last band may be shorter).
struct BandLayout {
    int32_t rows;    // of a full band; 0 when not even a band of one row fits the budget
    int32_t height;
};
BandLayout band_layout(int32_t width, int32_t height, uint64_t band_bytes_per_pixel);
int64_t band_count(const BandLayout &layout);
int32_t band_first_row(const BandLayout &layout, int64_t index);
int32_t band_rows(const BandLayout &layout, int64_t index);

// The two stages, plain functions over one band. Each returns 0, or a nonzero status after
// reporting its own failure; an exception that one throws becomes status 1 with a "pictor: "
// message. fill runs on a thread of its own, with the cleanup signals held (they are handled
// on the calling thread); drain on the calling thread.
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
