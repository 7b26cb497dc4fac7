#include "runtime/band_layout.h"

int32_t band_rows_wanted(int32_t width, int64_t rows_for_work)
{
    int64_t least = width > 0 ? (LEAST_BAND_PIXELS + width - 1) / width : 1;
    int64_t rows = rows_for_work > least ? rows_for_work : least;
    return (int32_t)(rows < INT32_MAX ? rows : INT32_MAX);
}

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
