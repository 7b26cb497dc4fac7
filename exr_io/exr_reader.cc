#include "exr_io/exr_reader.h"
#include "exr_io/exr_frame.h"

#include <ImfCRgbaFile.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

// The general interface's file, for files with 32-bit float channels.
struct ExrFloatInput {
    explicit ExrFloatInput(const char *path) : file(path) {}
    Imf::InputFile file;
};

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

// The fewest bytes that data_bytes of pixel data can be stored in. zlib (ZIP, ZIPS, and PXR24
// after it drops floats to 24 bits) can't do better than 1032 to 1; the library's run-length
// code stores at most 127 equal bytes in 2; PIZ's Huffman code with runs reaches about 410 to 1
// on a constant picture; B44A stores a flat block of 16 halves in 3 bytes. DWA, lossy, is
// bounded as any file was before: a constant picture measures about 17,000 to 1, and 100,000
// to 1 of RGBA halves is allowed.
double least_data_bytes(Imf::Compression compression, double data_bytes, double pixels)
{
    switch (compression) {
    case Imf::NO_COMPRESSION:
        return data_bytes;
    case Imf::RLE_COMPRESSION:
        return data_bytes / 64;
    case Imf::ZIPS_COMPRESSION:
    case Imf::ZIP_COMPRESSION:
        return data_bytes / 1032;
    case Imf::PIZ_COMPRESSION:
        return data_bytes / 1000;
    case Imf::PXR24_COMPRESSION:
        return data_bytes / 1400;
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION:
        return data_bytes / 11;
    default:
        return pixels * 8 / 100000;
    }
}

// A channel name as text that can be printed: other bytes as \xNN.
std::string printable(const char *name)
{
    std::string text;
    for (const unsigned char *c = (const unsigned char *)name; *c; c++) {
        if (*c >= 0x20 && *c < 0x7f) {
            text += (char)*c;
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", *c);
            text += escaped;
        }
    }
    return text;
}

bool is_one_of(const char *name, const char *a, const char *b, const char *c, const char *d)
{
    std::string n = name;
    return n == a || n == b || n == c || n == d;
}

// Looks at the file's channels through the general interface: refuses a file without any of
// R, G, B and Y, whose pixels the RGBA interface would give as black without reading a byte;
// keeps the general interface's file where red, green, blue or alpha is stored as 32-bit
// floats, which the RGBA interface would narrow to halves. Returns false after a message.
bool inspect_channels(const char *path, ExrScanlineReader *reader)
{
    try {
        std::unique_ptr<ExrFloatInput> general(new ExrFloatInput(path));
        const Imf::Header &header = general->file.header();
        bool color = false, luminance = false, floats = false;
        double data_bytes = 0;
        std::string names;
        for (auto c = header.channels().begin(); c != header.channels().end(); ++c) {
            const Imf::Channel &channel = c.channel();
            color = color || is_one_of(c.name(), "R", "G", "B", "Y");
            luminance = luminance || std::string(c.name()) == "Y";
            floats = floats ||
                     (is_one_of(c.name(), "R", "G", "B", "A") && channel.type == Imf::FLOAT);
            double across = channel.xSampling > 0 ? reader->width / channel.xSampling : 0;
            double down = channel.ySampling > 0 ? reader->height / channel.ySampling : 0;
            data_bytes += (channel.type == Imf::HALF ? 2.0 : 4.0) * across * down;
            names += (names.empty() ? "" : ", ") + printable(c.name());
        }
        if (!color) {
            fprintf(stderr, "exrinput: %s has no R, G, B or Y channel (its channels: %s).\n", path,
                    names.empty() ? "none" : names.c_str());
            return false;
        }
        double least = least_data_bytes(header.compression(), data_bytes,
                                        (double)reader->width * reader->height);
        reader->least_bytes = least >= 1.8e19 ? UINT64_MAX : (uint64_t)least;
        if (floats && !luminance)
            reader->floats = general.release();
        return true;
    } catch (const std::exception &e) {
        fprintf(stderr, "exrinput: %s\n", e.what());
        return false;
    }
}

void release(ExrScanlineReader *reader)
{
    if (reader->file)
        ImfCloseInputFile(reader->file);
    delete reader->floats;
    free(reader->row);
    free(reader->float_row);
    free(reader->half_row);
    free(reader);
}

// Points the general interface at the float row: every scanline lands there, pixel x of the
// data window at float_row[4 * x]. Returns false after a message.
bool set_float_frame(ExrScanlineReader *reader)
{
    try {
        char *base = exr_slice_base(reader->float_row, reader->x_min, 4 * sizeof(float));
        Imf::FrameBuffer frame;
        const char *names[] = {"R", "G", "B", "A"};
        for (int c = 0; c < 4; c++)
            frame.insert(names[c], Imf::Slice(Imf::FLOAT, base + 4 * c, 4 * sizeof(float), 0, 1, 1,
                                              c == 3 ? 1.0 : 0.0));
        reader->floats->file.setFrameBuffer(frame);
        return true;
    } catch (const std::exception &e) {
        fprintf(stderr, "exrinput: %s\n", e.what());
        return false;
    }
}

}  // namespace

ExrScanlineReader *exr_reader_open(const char *path)
{
    ExrScanlineReader *reader = (ExrScanlineReader *)calloc(1, sizeof *reader);
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
        release(reader);
        return nullptr;
    }
    reader->width = (int32_t)width;
    reader->height = (int32_t)height;
    reader->x_min = xmin;
    reader->y_min = ymin;
    if (!inspect_channels(path, reader)) {
        release(reader);
        return nullptr;
    }
    if (reader->floats) {
        ImfCloseInputFile(reader->file);
        reader->file = nullptr;
        reader->float_row = (float *)malloc((size_t)width * 4 * sizeof(float));
    } else {
        reader->half_row = (ImfRgba *)malloc((size_t)width * sizeof(ImfRgba));
    }
    reader->row = (double *)malloc((size_t)width * 4 * sizeof(double));
    if ((!reader->half_row && !reader->float_row) || !reader->row) {
        release(reader);
        return fail_memory();
    }
    if (reader->floats && !set_float_frame(reader)) {
        release(reader);
        return nullptr;
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

uint64_t exr_reader_least_bytes(const ExrScanlineReader *reader)
{
    return reader->least_bytes;
}

namespace {

const double *read_float_row(ExrScanlineReader *reader, int32_t y)
{
    try {
        int file_y = (int)((int64_t)reader->y_min + y);
        reader->floats->file.readPixels(file_y, file_y);
    } catch (const std::exception &e) {
        fprintf(stderr, "exrinput: %s\n", e.what());
        return nullptr;
    }
    const float *in = reader->float_row;
    double *out = reader->row;
    for (size_t i = 0; i < (size_t)reader->width * 4; i++)
        out[i] = in[i];
    return reader->row;
}

}  // namespace

const double *exr_reader_row(ExrScanlineReader *reader, int32_t y)
{
    if (reader->floats)
        return read_float_row(reader, y);
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
    release(reader);
}
