#include "exr_io/exr_writer.h"
#include "exr_io/exr_frame.h"

#include <ImfCRgbaFile.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct ExrScanlineWriter {
    std::unique_ptr<Imf::OutputFile> file;
    ExrOutputOptions options;
    int32_t width;
    int32_t height;
    int32_t next_scanline = 0;  // scanlines written so far
    std::string path;           // the file being written, for the check at close
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

int fail_exception(const std::exception &e)
{
    if (dynamic_cast<const std::bad_alloc *>(&e))
        return fail_memory();
    fprintf(stderr, "exroutput: %s\n", e.what());
    return -1;
}

const char *const CHANNEL_NAMES[] = {"R", "G", "B", "A"};

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

// Reads the whole finished file, 64 rows at a time, and counts its values that are not finite:
// a lossy compression may overshoot the brightest values into infinities. Returns 0, or -1 after
// a message.
int check_finite(const ExrScanlineWriter *writer)
{
    uint64_t bad = 0;
    try {
        Imf::InputFile in(writer->path.c_str());
        const int32_t rows = 64;
        const size_t row_floats = 4 * (size_t)writer->width;
        std::vector<float> band(row_floats * rows);
        for (int32_t y = 0; y < writer->height; y += rows) {
            int32_t last = std::min(writer->height, y + rows) - 1;
            char *base = exr_slice_base(band.data(), 0, 4 * sizeof(float), y, row_floats * sizeof(float));
            Imf::FrameBuffer frame;
            for (int c = 0; c < 4; c++)
                frame.insert(CHANNEL_NAMES[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float),
                                                          4 * sizeof(float), row_floats * sizeof(float)));
            in.setFrameBuffer(frame);
            in.readPixels(y, last);
            for (size_t i = 0; i < row_floats * (size_t)(last - y + 1); i++)
                bad += !std::isfinite(band[i]);
        }
    } catch (const std::exception &e) {
        return fail_exception(e);
    }
    if (bad == 0)
        return 0;
    fprintf(stderr, "exroutput: Its lossy compression made %llu values infinite or NaN; a lower "
                    "level or another compression keeps them finite.\n",
            (unsigned long long)bad);
    return -1;
}

// Completes the file: the library writes its table of line offsets when the file is
// destroyed. Returns 0, or -1 after a message.
int close_file(ExrScanlineWriter *writer)
{
    try {
        writer->file.reset();
        return 0;
    } catch (const std::exception &e) {
        return fail_exception(e);
    }
}

}  // namespace

ExrScanlineWriter *exr_writer_open(const char *path, int32_t width, int32_t height,
                                   const ExrOutputOptions &options)
{
    std::unique_ptr<ExrScanlineWriter> writer(new (std::nothrow) ExrScanlineWriter);
    if (!writer) {
        fail_memory();
        return nullptr;
    }
    try {
        writer->options = options;
        writer->width = width;
        writer->height = height;
        writer->path = path;
        Imf::Header header(width, height);
        header.compression() = (Imf::Compression)options.compression.compression;
        if (options.compression.zip_level > 0)
            header.zipCompressionLevel() = options.compression.zip_level;
        if (options.compression.dwa_level > 0)
            header.dwaCompressionLevel() = options.compression.dwa_level;
        header.lineOrder() = Imf::INCREASING_Y;
        const float *p = options.info.primaries;
        if (options.info.has_primaries)
            Imf::addChromaticities(header, Imf::Chromaticities(Imath::V2f(p[0], p[1]), Imath::V2f(p[2], p[3]),
                                                               Imath::V2f(p[4], p[5]), Imath::V2f(p[6], p[7])));
        if (options.info.pixel_aspect > 0)
            header.pixelAspectRatio() = options.info.pixel_aspect;
        for (const char *name : CHANNEL_NAMES)
            header.channels().insert(name, Imf::Channel(options.floats ? Imf::FLOAT : Imf::HALF));
        writer->file.reset(new Imf::OutputFile(path, header));
    } catch (const std::exception &e) {
        fail_exception(e);
        return nullptr;
    }
    return writer.release();
}

int exr_writer_rows(ExrScanlineWriter *writer, const void *pixels, int32_t rows)
{
    try {
        // Pixel (x, y) of the frame buffer is x * pixel_bytes + y * row_bytes from base.
        const size_t component = writer->options.floats ? sizeof(float) : sizeof(uint16_t);
        const size_t pixel_bytes = 4 * component, row_bytes = pixel_bytes * (size_t)writer->width;
        char *base = exr_slice_base(const_cast<void *>(pixels), 0, pixel_bytes,
                                    writer->next_scanline, row_bytes);
        Imf::FrameBuffer frame;
        for (int c = 0; c < 4; c++)
            frame.insert(CHANNEL_NAMES[c],
                         Imf::Slice(writer->options.floats ? Imf::FLOAT : Imf::HALF,
                                    base + c * component, pixel_bytes, row_bytes));
        writer->file->setFrameBuffer(frame);
        writer->file->writePixels(rows);
    } catch (const std::exception &e) {
        return fail_exception(e);
    }
    writer->next_scanline += rows;
    return 0;
}

int exr_writer_close(ExrScanlineWriter *writer)
{
    int result = close_file(writer);
    if (result == 0)
        result = check_written_file(writer->path.c_str(), writer->width, writer->height);
    if (result == 0 && exr_compression_lossy(writer->options.compression.compression,
                                             writer->options.floats))
        result = check_finite(writer);
    delete writer;
    return result;
}

void exr_writer_abandon(ExrScanlineWriter *writer)
{
    // The library takes a close of an unfinished file, even after a failed write; only further
    // writes to such a file must not follow. What it has written is the caller's to remove.
    close_file(writer);
    delete writer;
}
