// Moves a picture through a conversion in bands of rows, in two stages: one fills bands in
// order (decoding the input), the other drains them in the same order (encoding and writing
// the output). The stage that calls the OpenEXR library runs on the calling thread, which waits
// while the library works on the workers (see runtime/worker_pool.h); the other stage runs
// there too, one band after another, so that the workers take whichever work is waiting. The
// bands come from a fixed pool that the caller allocates before the work starts; a stage that
// wants a band when none is ready waits for one, so memory is bounded by the pool, whatever the
// picture's height.
#ifndef PICTOR_RUNTIME_BAND_PIPELINE_H
#define PICTOR_RUNTIME_BAND_PIPELINE_H

#include <cstdint>

struct WorkerPool;

// Bands in a pool, and the most bytes that the bands of a pool, with their work buffers, may
// take. Pictures so wide that bands of the rows wanted would pass the budget get fewer rows a
// band, down to one.
const int BAND_POOL_SIZE = 4;
const uint64_t BAND_POOL_BYTES = 96u << 20;

// How a picture of height rows is cut into bands: band number index covers the rows from
// index * rows, this many of them (the last band may be shorter). band_layout gives bands of
// rows_wanted rows, or as many as budget allows for bytes_per_pixel a pixel of a band's row
// (everything the conversion holds for a row of a band: the pool and its work buffers), whole
// multiples of unit where there is room for one. A conversion that holds buffers of a fixed
// number of rows besides passes the budget that they leave.
// The fewest pixels a band holds where the picture has them: the hand-over of a band between
// threads, and each call of the library, cost the same whatever the band holds, so narrow
// pictures get bands of many rows.
const int64_t LEAST_BAND_PIXELS = 1 << 16;

// The rows a band of a picture width pixels wide should hold: rows_for_work, or more where they
// hold fewer than LEAST_BAND_PIXELS pixels.
int32_t band_rows_wanted(int32_t width, int64_t rows_for_work);

struct BandLayout {
    int32_t rows;    // of a full band; 0 when not even a band of one row fits the budget
    int32_t height;
};
BandLayout band_layout(int32_t width, int32_t height, uint64_t bytes_per_pixel,
                       int32_t rows_wanted, int32_t unit, uint64_t budget = BAND_POOL_BYTES);
int64_t band_count(const BandLayout &layout);
int32_t band_first_row(const BandLayout &layout, int64_t index);
int32_t band_rows(const BandLayout &layout, int64_t index);

// The two stages, plain functions over one band. Each returns 0, or a nonzero status after
// reporting its own failure; an exception that one throws becomes status 1 with a "pictor: "
// message.
struct BandStages {
    int (*fill)(void *context, int64_t index, void *band);
    int (*drain)(void *context, int64_t index, void *band);
    void *context;
    bool fill_on_caller;  // fill calls the library: it runs on the calling thread, drain on the
                          // workers; otherwise the other way round
    // A second drain, or null: with fill on the caller, it takes each band after drain, on the
    // workers, beside drain's work on the next band.
    int (*drain_too)(void *context, int64_t index, void *band);
};

// Runs bands 0 .. count - 1 through fill, then drain (and drain_too), using the pool's bands.
// Returns 0 when every band went through both stages. Otherwise returns the status of the
// first failure in band order: a failed fill ends the run when drain reaches that band; a
// failed drain stops fill at its next band. Both stages have ended when it returns. Without
// workers (null), the stages take turns on the calling thread.
int run_band_pipeline(const BandStages &stages, void *const pool[BAND_POOL_SIZE], int64_t count,
                      WorkerPool *workers);

#endif
