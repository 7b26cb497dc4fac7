#include "exr_io/exr_reader.h"
#include "exr_io/exr_frame.h"

#include <ImfCRgbaFile.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfRgbaYca.h>
#include <ImfStandardAttributes.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// The general interface's file, for files that the RGBA interface would not read as they are
// stored, and how its channels make a row: red, green, blue and alpha, or luminance (with its
// chroma where present) and alpha. The library widens half and unsigned-integer channels to
// float exactly, or to the nearest float for integers beyond 2^24.
struct ExrGeneralInput {
    explicit ExrGeneralInput(const char *path) : file(path) {}
    Imf::InputFile file;
    bool luminance = false;          // Y at float_row[4x]; else R, G, B at float_row[4x + c]
    bool chroma = false;             // RY and BY, in chroma_row
    int x_sampling = 1, y_sampling = 1;  // of the chroma
    std::vector<float> chroma_row;   // RY and BY of each chroma sample of one scanline
    int64_t chroma_line = INT64_MIN; // the scanline that chroma_row holds
    Imath::V3f yw;                   // luminance weights of the file's primaries
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

// A channel that the RGBA interface would narrow: 32-bit floats or unsigned integers.
bool wide(const Imf::Channel *channel)
{
    return channel && channel->type != Imf::HALF;
}

int64_t floor_div(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Decides how the file is read. Colour (R, G, B and A) when the file has R, G and B, or has no
// Y; luminance (Y, RY, BY and A) otherwise. The RGBA interface reads files of half channels
// only; the general interface all others, and colour files that also have Y, where the RGBA
// interface would read the luminance instead of the colour.
std::unique_ptr<ExrGeneralInput> plan_general(std::unique_ptr<ExrGeneralInput> general)
{
    const Imf::Header &header = general->file.header();
    const Imf::ChannelList &channels = header.channels();
    const Imf::Channel *r = channels.findChannel("R"), *g = channels.findChannel("G"),
                       *b = channels.findChannel("B"), *a = channels.findChannel("A"),
                       *y = channels.findChannel("Y"), *ry = channels.findChannel("RY"),
                       *by = channels.findChannel("BY");
    if ((r && g && b) || !y) {
        if (!(r && g && b && y) && !wide(r) && !wide(g) && !wide(b) && !wide(a))
            return nullptr;
        return general;
    }
    if (!wide(y) && !wide(ry) && !wide(by) && !wide(a))
        return nullptr;
    general->luminance = true;
    general->chroma = ry || by;
    if (general->chroma) {
        const Imf::Channel *c = ry ? ry : by;
        if (ry && by && (ry->xSampling != by->xSampling || ry->ySampling != by->ySampling))
            return nullptr;  // chroma the RGBA interface makes sense of, if anything can
        general->x_sampling = c->xSampling > 0 ? c->xSampling : 1;
        general->y_sampling = c->ySampling > 0 ? c->ySampling : 1;
        Imf::Chromaticities primaries;
        if (Imf::hasChromaticities(header))
            primaries = Imf::chromaticities(header);
        general->yw = Imf::RgbaYca::computeYw(primaries);
    }
    return general;
}

// Looks at the file's channels through the general interface: refuses a file without any of
// R, G, B and Y, whose pixels the RGBA interface would give as black without reading a byte;
// keeps the general interface's file where the RGBA interface would not read the channels as
// they are stored (see plan_general). Returns false after a message.
bool inspect_channels(const char *path, ExrScanlineReader *reader)
{
    try {
        std::unique_ptr<ExrGeneralInput> general(new ExrGeneralInput(path));
        const Imf::Header &header = general->file.header();
        bool color = false;
        double data_bytes = 0;
        std::string names;
        for (auto c = header.channels().begin(); c != header.channels().end(); ++c) {
            const Imf::Channel &channel = c.channel();
            std::string name = c.name();
            color = color || name == "R" || name == "G" || name == "B" || name == "Y";
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
        reader->general = plan_general(std::move(general)).release();
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
    delete reader->general;
    free(reader->row);
    free(reader->float_row);
    free(reader->half_row);
    free(reader);
}

// Points the general interface at the float row: every scanline lands there, pixel x of the
// data window at float_row[4 * x], its chroma samples at chroma_row. Returns false after a
// message.
bool set_float_frame(ExrScanlineReader *reader)
{
    ExrGeneralInput *general = reader->general;
    try {
        char *base = exr_slice_base(reader->float_row, reader->x_min, 4 * sizeof(float));
        Imf::FrameBuffer frame;
        const char *colour[] = {"R", "G", "B", "A"}, *luminance[] = {"Y", nullptr, nullptr, "A"};
        const char *const *names = general->luminance ? luminance : colour;
        for (int c = 0; c < 4; c++) {
            if (names[c])
                frame.insert(names[c], Imf::Slice(Imf::FLOAT, base + 4 * c, 4 * sizeof(float), 0,
                                                  1, 1, c == 3 ? 1.0 : 0.0));
        }
        if (general->chroma) {
            int64_t first = floor_div(reader->x_min, general->x_sampling);
            int64_t last = floor_div((int64_t)reader->x_min + reader->width - 1, general->x_sampling);
            general->chroma_row.assign(2 * (size_t)(last - first + 1), 0.0f);
            char *chroma = exr_slice_base(general->chroma_row.data(), first, 2 * sizeof(float));
            for (int c = 0; c < 2; c++)
                frame.insert(c == 0 ? "RY" : "BY",
                             Imf::Slice(Imf::FLOAT, chroma + 4 * c, 2 * sizeof(float), 0,
                                        general->x_sampling, general->y_sampling, 0.0));
        }
        general->file.setFrameBuffer(frame);
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
    if (reader->general) {
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
    if (reader->general && !set_float_frame(reader)) {
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

// Red, green and blue from luminance and chroma, as the library defines them: RY = (R - Y) / Y,
// BY = (B - Y) / Y, Y = yw . (R, G, B). A pixel without chroma is grey, exactly Y.
void luminance_to_rgb(const ExrScanlineReader *reader, double *out)
{
    const ExrGeneralInput *general = reader->general;
    int64_t first = general->chroma ? floor_div(reader->x_min, general->x_sampling) : 0;
    for (int32_t x = 0; x < reader->width; x++, out += 4) {
        double y = out[0], ry = 0.0, by = 0.0;
        if (general->chroma) {
            size_t sample = (size_t)(floor_div((int64_t)reader->x_min + x, general->x_sampling) - first);
            ry = general->chroma_row[2 * sample];
            by = general->chroma_row[2 * sample + 1];
        }
        if (ry == 0.0 && by == 0.0) {
            out[1] = out[2] = y;
            continue;
        }
        const Imath::V3f &yw = general->yw;
        out[0] = (ry + 1.0) * y;
        out[2] = (by + 1.0) * y;
        out[1] = (y - out[0] * yw.x - out[2] * yw.z) / yw.y;
    }
}

// Reads scanline file_y of the data window, and first the scanline that holds the chroma
// samples it takes (the nearest at or above it), unless that one was read last.
void read_general_scanline(ExrGeneralInput *general, int64_t file_y)
{
    if (general->chroma) {
        int64_t chroma_line = floor_div(file_y, general->y_sampling) * general->y_sampling;
        if (chroma_line != general->chroma_line && chroma_line != file_y)
            general->file.readPixels((int)chroma_line, (int)chroma_line);
        general->chroma_line = chroma_line;
    }
    general->file.readPixels((int)file_y, (int)file_y);
}

const double *read_float_row(ExrScanlineReader *reader, int32_t y)
{
    try {
        read_general_scanline(reader->general, (int64_t)reader->y_min + y);
    } catch (const std::exception &e) {
        reader->general->chroma_line = INT64_MIN;
        fprintf(stderr, "exrinput: %s\n", e.what());
        return nullptr;
    }
    const float *in = reader->float_row;
    double *out = reader->row;
    for (size_t i = 0; i < (size_t)reader->width * 4; i++)
        out[i] = in[i];
    if (reader->general->luminance)
        luminance_to_rgb(reader, reader->row);
    return reader->row;
}

}  // namespace

const double *exr_reader_row(ExrScanlineReader *reader, int32_t y)
{
    if (reader->general)
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
