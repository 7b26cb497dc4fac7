// How a picture is cut into bands of rows, and how many of them a pool holds.
#ifndef PICTOR_RUNTIME_BAND_LAYOUT_H
#define PICTOR_RUNTIME_BAND_LAYOUT_H

#include <cstdint>

// Bands in a pool, and the most bytes that the bands of a pool, with their work buffers, may
// take. Pictures so wide that bands of the rows wanted would pass the budget get fewer rows a
// band, down to one.
const int BAND_POOL_SIZE = 4;
const uint64_t BAND_POOL_BYTES = 96u << 20;

// The fewest pixels a band holds where the picture has them: the hand-over of a band between
// threads, and each call of the library, cost the same whatever the band holds, so narrow
// pictures get bands of many rows.
const int64_t LEAST_BAND_PIXELS = 1 << 16;

// The rows a band of a picture width pixels wide should hold: rows_for_work, or more where they
// hold fewer than LEAST_BAND_PIXELS pixels.
int32_t band_rows_wanted(int32_t width, int64_t rows_for_work);

// How a picture of height rows is cut into bands: band number index covers the rows from
// index * rows, this many of them (the last band may be shorter). band_layout gives bands of
// rows_wanted rows, or as many as budget allows for bytes_per_pixel a pixel of a band's row
// (everything the conversion holds for a row of a band: the pool and its work buffers), whole
// multiples of unit where there is room for one. A conversion that holds buffers of a fixed
// number of rows besides passes the budget that they leave.
struct BandLayout {
    int32_t rows;    // of a full band; 0 when not even a band of one row fits the budget
    int32_t height;
};
BandLayout band_layout(int32_t width, int32_t height, uint64_t bytes_per_pixel,
                       int32_t rows_wanted, int32_t unit, uint64_t budget = BAND_POOL_BYTES);
int64_t band_count(const BandLayout &layout);
int32_t band_first_row(const BandLayout &layout, int64_t index);
int32_t band_rows(const BandLayout &layout, int64_t index);

#endif
