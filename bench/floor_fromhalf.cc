// The least an EXR-to-RGBE conversion can cost: read the whole file through the library in
// one call and write the RGBE picture from memory (widened and coded as pictor_fromhalf does,
// without its dump).
//   floor_fromhalf IN.exr OUT.hdr [THREADS]
// THREADS: the library's own threads for its compression (default none: one thread).
#include "exr_io/exr_half.h"
#include "rgbe/rgbe.h"
#include "runtime/memory_limits.h"

#include <ImfCRgbaFile.h>
#include <ImfThreading.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4)
        return 2;
    if (argc == 4)
        Imf::setGlobalThreadCount(atoi(argv[3]));
    ImfInputFile *in = ImfOpenInputFile(argv[1]);
    if (!in)
        return 1;
    int xmin, ymin, xmax, ymax;
    ImfHeaderDataWindow(ImfInputHeader(in), &xmin, &ymin, &xmax, &ymax);
    int width = xmax - xmin + 1, height = ymax - ymin + 1;
    size_t count = (size_t)width * height;
    ImfRgba *halves = (ImfRgba *)allocate_large(count * sizeof(ImfRgba));
    if (!halves)
        return 1;
    if (!ImfInputSetFrameBuffer(in, halves - xmin - (size_t)ymin * width, 1, width) ||
        !ImfInputReadPixels(in, ymin, ymax))
        return 1;
    ImfCloseInputFile(in);
    float *pixels = (float *)allocate_large(count * 4 * sizeof(float));
    if (!pixels)
        return 1;
    exr_widen_halves((const uint16_t *)halves, pixels, 4 * count);
    FILE *out = fopen(argv[2], "wb");
    RgbeScanlineState state = {false};
    if (!out || rgbe_header_write(out, width, height, nullptr) != 0 ||
        rgbe_put_scanline_band_rgba(out, pixels, width, height, &state) != 0 || fclose(out) != 0)
        return 1;
    return 0;
}
