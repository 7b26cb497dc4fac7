#include "exr_io/exr_reader.h"
#include "exr_io/exr_frame.h"

#include <ImfCRgbaFile.h>

#include <cstdio>
#include <cstdlib>

namespace {

ExrScanlineReader *fail_memory(void)
{
    fputs("exrinput: Cannot allocate memory.\n", stderr);
    return nullptr;
}

// Every half value widened once by the library, so that a row costs one lookup per value.
float half_to_float[65536];
bool half_table_ready = false;

void fill_half_table(void)
{
    if (half_table_ready)
        return;
    for (unsigned h = 0; h < 65536; h++)
        half_to_float[h] = ImfHalfToFloat((ImfHalf)h);
    half_table_ready = true;
}

}  // namespace

ExrScanlineReader *exr_reader_open(const char *path)
{
    ExrScanlineReader *reader = (ExrScanlineReader *)malloc(sizeof *reader);
    if (!reader)
        return fail_memory();
    reader->file = ImfOpenInputFile(path);
    if (!reader->file) {
        fprintf(stderr, "exrinput: %s\n", ImfErrorMessage());
        free(reader);
        return nullptr;
    }
    int xmin, ymin, xmax, ymax;
    ImfHeaderDataWindow(ImfInputHeader(reader->file), &xmin, &ymin, &xmax, &ymax);
    int64_t width = (int64_t)xmax - xmin + 1;
    int64_t height = (int64_t)ymax - ymin + 1;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
        fprintf(stderr, "exrinput: Invalid data window (%d, %d) - (%d, %d).\n", xmin, ymin,
                xmax, ymax);
        ImfCloseInputFile(reader->file);
        free(reader);
        return nullptr;
    }
    reader->width = (int32_t)width;
    reader->height = (int32_t)height;
    reader->x_min = xmin;
    reader->y_min = ymin;
    reader->half_row = (ImfRgba *)malloc((size_t)width * sizeof(ImfRgba));
    reader->row = (double *)malloc((size_t)width * 4 * sizeof(double));
    if (!reader->half_row || !reader->row) {
        free(reader->row);
        free(reader->half_row);
        ImfCloseInputFile(reader->file);
        free(reader);
        return fail_memory();
    }
    fill_half_table();
    return reader;
}

int32_t exr_reader_width(const ExrScanlineReader *reader)
{
    return reader->width;
}

int32_t exr_reader_height(const ExrScanlineReader *reader)
{
    return reader->height;
}

const double *exr_reader_row(ExrScanlineReader *reader, int32_t y)
{
    int64_t file_y = (int64_t)reader->y_min + y;
    ImfRgba *base = exr_frame_base(reader->half_row, file_y, reader->width, reader->x_min);
    if (!ImfInputSetFrameBuffer(reader->file, base, 1, (size_t)reader->width) ||
        !ImfInputReadPixels(reader->file, (int)file_y, (int)file_y)) {
        fprintf(stderr, "exrinput: %s\n", ImfErrorMessage());
        return nullptr;
    }
    const ImfRgba *half = reader->half_row;
    double *out = reader->row;
    for (int32_t x = 0; x < reader->width; x++, out += 4) {
        out[0] = half_to_float[half[x].r];
        out[1] = half_to_float[half[x].g];
        out[2] = half_to_float[half[x].b];
        out[3] = half_to_float[half[x].a];
    }
    return reader->row;
}

void exr_reader_close(ExrScanlineReader *reader)
{
    ImfCloseInputFile(reader->file);
    free(reader->row);
    free(reader->half_row);
    free(reader);
}
