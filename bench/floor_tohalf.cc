// The least an RGBE-to-EXR conversion can cost: decode the picture, narrow it to half in
// memory, and hand the whole of it to the library in one call.
//   floor_tohalf IN.hdr OUT.exr
#include "bench/huge_pages.h"
#include "rgbe/rgbe.h"

#include <ImfCRgbaFile.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    FILE *in = fopen(argv[1], "rb");
    int32_t width, height;
    if (!in || rgbe_header_read(in, &width, &height, nullptr) != 0)
        return 1;
    double *pixels = (double *)allocate_picture((size_t)width * height * 3 * sizeof(double));
    if (!pixels || rgbe_get_scanlines(in, pixels, width, height) != 0)
        return 1;
    fclose(in);
    size_t count = (size_t)width * height;
    ImfRgba *halves = (ImfRgba *)allocate_picture(count * sizeof(ImfRgba));
    if (!halves)
        return 1;
    for (size_t i = 0; i < count; i++) {
        ImfFloatToHalf((float)pixels[3 * i], &halves[i].r);
        ImfFloatToHalf((float)pixels[3 * i + 1], &halves[i].g);
        ImfFloatToHalf((float)pixels[3 * i + 2], &halves[i].b);
        halves[i].a = 0;
    }
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
