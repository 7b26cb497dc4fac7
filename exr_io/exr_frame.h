// Frame-buffer placement shared by the reader and the writer.
#ifndef PICTOR_EXR_IO_EXR_FRAME_H
#define PICTOR_EXR_IO_EXR_FRAME_H

#include <ImfCRgbaFile.h>

#include <cstdint>

// The library addresses pixel (x, y) of a frame buffer as base + x + y * row_pixels. This gives
// the base that puts pixel (x0, y0) at row[0]. The base itself lies outside the row, so it is
// formed with integer arithmetic; the library only touches row[0 .. row_pixels - 1].
// Unsigned arithmetic wraps the same way the library's own address arithmetic does, so even
// offsets beyond 64 bits cancel out and place pixel (x0, y0) at row[0].
inline ImfRgba *exr_frame_base(ImfRgba *row, int64_t y0, int64_t row_pixels, int64_t x0 = 0)
{
    uint64_t offset = ((uint64_t)y0 * (uint64_t)row_pixels + (uint64_t)x0) * sizeof(ImfRgba);
    return (ImfRgba *)((uintptr_t)row - (uintptr_t)offset);
}

// The same for the general interface's slices, with pixel_bytes a pixel and row_bytes a
// scanline: pixel (x0, y0) lands at row[0]. With row_bytes 0, every scanline lands there.
inline char *exr_slice_base(void *row, int64_t x0, uint64_t pixel_bytes, int64_t y0 = 0,
                            uint64_t row_bytes = 0)
{
    uint64_t offset = (uint64_t)x0 * pixel_bytes + (uint64_t)y0 * row_bytes;
    return (char *)((uintptr_t)row - (uintptr_t)offset);
}

#endif
