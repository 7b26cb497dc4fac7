// The least an EXR-to-RGBE conversion can cost: read the whole file through the library in
// one call and write the RGBE picture from memory.
//   floor_fromhalf IN.exr OUT.hdr
#include "bench/huge_pages.h"
#include "rgbe/rgbe.h"

#include <ImfCRgbaFile.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    ImfInputFile *in = ImfOpenInputFile(argv[1]);
    if (!in)
        return 1;
    int xmin, ymin, xmax, ymax;
    ImfHeaderDataWindow(ImfInputHeader(in), &xmin, &ymin, &xmax, &ymax);
    int width = xmax - xmin + 1, height = ymax - ymin + 1;
    size_t count = (size_t)width * height;
    ImfRgba *halves = (ImfRgba *)allocate_picture(count * sizeof(ImfRgba));
    if (!halves)
        return 1;
    if (!ImfInputSetFrameBuffer(in, halves - xmin - (size_t)ymin * width, 1, width) ||
        !ImfInputReadPixels(in, ymin, ymax))
        return 1;
    ImfCloseInputFile(in);
    double *pixels = (double *)allocate_picture((size_t)width * height * 3 * sizeof(double));
    if (!pixels)
        return 1;
    for (size_t i = 0; i < count; i++) {
        pixels[3 * i] = ImfHalfToFloat(halves[i].r);
        pixels[3 * i + 1] = ImfHalfToFloat(halves[i].g);
        pixels[3 * i + 2] = ImfHalfToFloat(halves[i].b);
    }
    FILE *out = fopen(argv[2], "wb");
    if (!out || rgbe_header_write(out, width, height, nullptr) != 0 ||
        rgbe_put_scanlines(out, pixels, width, height) != 0 || fclose(out) != 0)
        return 1;
    return 0;
}
