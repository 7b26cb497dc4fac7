// The least an RGBE-to-EXR conversion can cost: decode the picture, narrow it to half in
// memory (as pictor_tohalf does), and hand the whole of it to the library in one call.
//   floor_tohalf IN.hdr OUT.exr [THREADS]
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
    FILE *in = fopen(argv[1], "rb");
    int32_t width, height;
    if (!in || rgbe_header_read(in, &width, &height, nullptr) != 0)
        return 1;
    double *pixels = (double *)allocate_large((size_t)width * height * 3 * sizeof(double));
    if (!pixels || rgbe_get_scanlines(in, pixels, width, height) != 0)
        return 1;
    fclose(in);
    size_t count = (size_t)width * height;
    ImfRgba *halves = (ImfRgba *)allocate_large(count * sizeof(ImfRgba));
    if (!halves)
        return 1;
    exr_narrow_rgb_to_rgba(pixels, (uint16_t *)halves, count);
    ImfHeader *header = ImfNewHeader();
    ImfHeaderSetDataWindow(header, 0, 0, width - 1, height - 1);
    ImfHeaderSetDisplayWindow(header, 0, 0, width - 1, height - 1);
    ImfHeaderSetCompression(header, IMF_PIZ_COMPRESSION);
    ImfHeaderSetLineOrder(header, IMF_INCREASING_Y);
    ImfOutputFile *out = ImfOpenOutputFile(argv[2], header, IMF_WRITE_RGBA);
    ImfDeleteHeader(header);
    if (!out || !ImfOutputSetFrameBuffer(out, halves, 1, width) ||
        !ImfOutputWritePixels(out, height) || !ImfCloseOutputFile(out)) {
        fprintf(stderr, "%s\n", ImfErrorMessage());
        return 1;
    }
    return 0;
}
