#include "exr_io/exr_writer.h"
#include "exr_io/exr_frame.h"

#include <ImfCRgbaFile.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

struct ExrFloatOutput;

struct ExrScanlineWriter {
    ImfOutputFile *file;     // half floats; null when floats are written
    ExrFloatOutput *floats;  // 32-bit floats; else null
    int32_t width;
    int32_t height;
    int32_t next_scanline;   // scanlines written so far
    char *path;              // the file being written, for the check at close
};

// The general interface's file, for 32-bit float channels.
struct ExrFloatOutput {
    ExrFloatOutput(const char *path, const Imf::Header &header) : file(path, header) {}
    Imf::OutputFile file;
};

namespace {

int fail_memory(void)
{
    fputs("exroutput: Cannot allocate memory.\n", stderr);
    return -1;
}

int fail_library(void)
{
    fprintf(stderr, "exroutput: %s\n", ImfErrorMessage());
    return -1;
}

// Opens the finished file and reads its last scanline: the library reports some failed
// writes only there, not at close.
int check_written_file(const char *path, int32_t width, int32_t height)
{
    ImfInputFile *in = ImfOpenInputFile(path);
    if (!in)
        return fail_library();
    ImfRgba *row = (ImfRgba *)malloc((size_t)width * sizeof(ImfRgba));
    if (!row) {
        ImfCloseInputFile(in);
        return fail_memory();
    }
    int result = 0;
    int xmin, ymin, xmax, ymax;
    ImfHeaderDataWindow(ImfInputHeader(in), &xmin, &ymin, &xmax, &ymax);
    if (xmin != 0 || ymin != 0 || xmax != width - 1 || ymax != height - 1) {
        fprintf(stderr, "exroutput: %s was not written whole.\n", path);
        result = -1;
    } else if (!ImfInputSetFrameBuffer(in, exr_frame_base(row, height - 1, width), 1, width) ||
               !ImfInputReadPixels(in, height - 1, height - 1)) {
        result = fail_library();
    }
    free(row);
    if (!ImfCloseInputFile(in) && result == 0)
        result = fail_library();
    return result;
}

int fail_exception(const std::exception &e)
{
    fprintf(stderr, "exroutput: %s\n", e.what());
    return -1;
}

const char *const CHANNEL_NAMES[] = {"R", "G", "B", "A"};

// Creates the float file with the header the half file has, channels of 32-bit floats.
// Returns 0, or -1 after a message.
int open_float_file(ExrScanlineWriter *writer)
{
    try {
        Imf::Header header(writer->width, writer->height);
        header.compression() = Imf::PIZ_COMPRESSION;
        header.lineOrder() = Imf::INCREASING_Y;
        for (const char *name : CHANNEL_NAMES)
            header.channels().insert(name, Imf::Channel(Imf::FLOAT));
        writer->floats = new ExrFloatOutput(writer->path, header);
        return 0;
    } catch (const std::bad_alloc &) {
        return fail_memory();
    } catch (const std::exception &e) {
        return fail_exception(e);
    }
}

void release(ExrScanlineWriter *writer)
{
    delete writer->floats;
    free(writer->path);
    free(writer);
}

}  // namespace

ExrScanlineWriter *exr_writer_open(const char *path, int32_t width, int32_t height)
{
    ExrScanlineWriter *writer = (ExrScanlineWriter *)malloc(sizeof *writer);
    if (!writer) {
        fail_memory();
        return nullptr;
    }
    writer->file = nullptr;
    writer->floats = nullptr;
    writer->next_scanline = 0;
    writer->width = width;
    writer->height = height;
    writer->path = strdup(path);
    ImfHeader *header = ImfNewHeader();
    if (!writer->path || !header) {
        if (header)
            ImfDeleteHeader(header);
        release(writer);
        fail_memory();
        return nullptr;
    }
    ImfHeaderSetDataWindow(header, 0, 0, width - 1, height - 1);
    ImfHeaderSetDisplayWindow(header, 0, 0, width - 1, height - 1);
    ImfHeaderSetCompression(header, IMF_PIZ_COMPRESSION);
    ImfHeaderSetLineOrder(header, IMF_INCREASING_Y);
    writer->file = ImfOpenOutputFile(path, header, IMF_WRITE_RGBA);
    ImfDeleteHeader(header);
    if (!writer->file) {
        fail_library();
        release(writer);
        return nullptr;
    }
    return writer;
}

ExrScanlineWriter *exr_writer_open_float(const char *path, int32_t width, int32_t height)
{
    ExrScanlineWriter *writer = (ExrScanlineWriter *)calloc(1, sizeof *writer);
    if (!writer || !(writer->path = strdup(path))) {
        free(writer);
        fail_memory();
        return nullptr;
    }
    writer->width = width;
    writer->height = height;
    if (open_float_file(writer) != 0) {
        release(writer);
        return nullptr;
    }
    return writer;
}

int exr_writer_half_rows(ExrScanlineWriter *writer, const ImfRgba *halves, int32_t rows)
{
    // The library takes pixel (x, y) from base + x + y * width.
    const ImfRgba *base = exr_frame_base(const_cast<ImfRgba *>(halves), writer->next_scanline,
                                         writer->width);
    if (!ImfOutputSetFrameBuffer(writer->file, base, 1, (size_t)writer->width) ||
        !ImfOutputWritePixels(writer->file, rows))
        return fail_library();
    writer->next_scanline += rows;
    return 0;
}

int exr_writer_float_rows(ExrScanlineWriter *writer, const float *rgba, int32_t rows)
{
    try {
        const size_t pixel_bytes = 4 * sizeof(float);
        char *base = exr_slice_base(const_cast<float *>(rgba), 0, pixel_bytes,
                                    writer->next_scanline, pixel_bytes * (size_t)writer->width);
        Imf::FrameBuffer frame;
        for (int c = 0; c < 4; c++)
            frame.insert(CHANNEL_NAMES[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float), pixel_bytes,
                                                      pixel_bytes * (size_t)writer->width));
        writer->floats->file.setFrameBuffer(frame);
        writer->floats->file.writePixels(rows);
    } catch (const std::exception &e) {
        return fail_exception(e);
    }
    writer->next_scanline += rows;
    return 0;
}

// Completes a float file: the library writes its line offsets when the file is destroyed.
int close_float_file(ExrScanlineWriter *writer)
{
    ExrFloatOutput *floats = writer->floats;
    writer->floats = nullptr;
    try {
        delete floats;
        return 0;
    } catch (const std::exception &e) {
        return fail_exception(e);
    }
}

int exr_writer_close(ExrScanlineWriter *writer)
{
    int result = writer->floats ? close_float_file(writer)
                 : ImfCloseOutputFile(writer->file) ? 0 : fail_library();
    if (result == 0)
        result = check_written_file(writer->path, writer->width, writer->height);
    release(writer);
    return result;
}

void exr_writer_abandon(ExrScanlineWriter *writer)
{
    // The library takes a close of an unfinished file, even after a failed write; only further
    // writes to such a file must not follow. What it has written is the caller's to remove.
    if (writer->file)
        ImfCloseOutputFile(writer->file);
    else
        close_float_file(writer);
    release(writer);
}
