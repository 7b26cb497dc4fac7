#include "exr_io/exr_reader.h"
#include "exr_io/exr_frame.h"
#include "exr_io/exr_half.h"
#include "exr_io/exr_threads.h"

#include <ImfCRgbaFile.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfRgbaYca.h>
#include <ImfStandardAttributes.h>
#include <ImfStdIO.h>
#include <ImfTileDescription.h>
#include <ImfVersion.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

// What the file's header says, and how its channels make a row through the general interface:
// red, green, blue and alpha, or luminance (with its chroma where present) and alpha. The
// library widens half and unsigned-integer channels to float exactly, or to the nearest float
// for integers beyond 2^24.
struct ExrInputPlan {
    Imf::Header header;
    bool colour_channels = false;    // any of R, G, B and Y
    std::string channel_names;       // all of them, printable, for the message without any
    bool general = false;            // read through the general interface
    std::unique_ptr<Imf::InputFile> file;  // that interface's file, once the pixels are opened
    bool luminance = false;          // Y read where red goes, then made red, green and blue
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

// Scanlines in a block of a scanline file, by compression.
int block_rows(Imf::Compression compression)
{
    switch (compression) {
    case Imf::ZIP_COMPRESSION:
    case Imf::PXR24_COMPRESSION:
        return 16;
    case Imf::PIZ_COMPRESSION:
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION:
    case Imf::DWAA_COMPRESSION:
        return 32;
    case Imf::DWAB_COMPRESSION:
        return 256;
    default:
        return 1;
    }
}

// Blocks of the full-resolution level: each takes at least an offset of 8 bytes in the file's
// table, and a block header of 8 bytes before its data. The header passed the library's own
// checks (read_header): tile sizes and samplings are positive.
double least_block_bytes(const Imf::Header &header, double width, double height)
{
    double blocks;
    if (header.hasTileDescription()) {
        const Imf::TileDescription &tiles = header.tileDescription();
        blocks = std::max(1.0, width / tiles.xSize) * std::max(1.0, height / tiles.ySize);
    } else {
        blocks = height / block_rows(header.compression());
    }
    return 16 * blocks;
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
void plan_channels(ExrInputPlan *plan)
{
    const Imf::ChannelList &channels = plan->header.channels();
    const Imf::Channel *r = channels.findChannel("R"), *g = channels.findChannel("G"),
                       *b = channels.findChannel("B"), *a = channels.findChannel("A"),
                       *y = channels.findChannel("Y"), *ry = channels.findChannel("RY"),
                       *by = channels.findChannel("BY");
    if ((r && g && b) || !y) {
        plan->general = (r && g && b && y) || wide(r) || wide(g) || wide(b) || wide(a);
        return;
    }
    if (!wide(y) && !wide(ry) && !wide(by) && !wide(a))
        return;
    if (ry && by && (ry->xSampling != by->xSampling || ry->ySampling != by->ySampling))
        return;  // chroma that the RGBA interface makes sense of, if anything can
    plan->general = true;
    plan->luminance = true;
    plan->chroma = ry || by;
    if (plan->chroma) {
        const Imf::Channel *c = ry ? ry : by;
        plan->x_sampling = c->xSampling;
        plan->y_sampling = c->ySampling;
        Imf::Chromaticities primaries;
        if (Imf::hasChromaticities(plan->header))
            primaries = Imf::chromaticities(plan->header);
        plan->yw = Imf::RgbaYca::computeYw(primaries);
    }
}

// Reads the file's header, and nothing more, through the library. Returns null when it can't
// be read: the library's open then says why.
std::unique_ptr<ExrInputPlan> read_header(const char *path)
{
    try {
        Imf::StdIFStream in(path);
        unsigned char start[8];
        if (!in.read((char *)start, sizeof start))
            return nullptr;
        int magic = start[0] | start[1] << 8 | start[2] << 16 | start[3] << 24;
        int version = start[4] | start[5] << 8 | start[6] << 16 | start[7] << 24;
        // Only a plain image that passes the library's own checks: what the library refuses,
        // it says best why.
        if (magic != 20000630 || Imf::getVersion(version) != 2 ||
            !Imf::supportsFlags(Imf::getFlags(version)))
            return nullptr;
        std::unique_ptr<ExrInputPlan> plan(new ExrInputPlan);
        plan->header.readFrom(in, version);
        plan->header.sanityCheck(Imf::isTiled(version), Imf::isMultiPart(version));
        bool typed = plan->header.hasType();
        const std::string type = typed ? plan->header.type() : "";
        if ((Imf::isNonImage(version) && !typed) ||
            (typed && type != "scanlineimage" && type != "tiledimage"))
            return nullptr;
        return plan;
    } catch (const std::exception &) {
        return nullptr;
    }
}

// Takes the window, the least size and the reading plan from the header. Returns false when
// the window holds no pixels or is too wide to be read: the library's open then tells.
bool take_header(ExrScanlineReader *reader)
{
    const Imf::Header &header = reader->plan->header;
    const Imath::Box2i &window = header.dataWindow();
    int64_t width = (int64_t)window.max.x - window.min.x + 1;
    int64_t height = (int64_t)window.max.y - window.min.y + 1;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX)
        return false;
    reader->width = (int32_t)width;
    reader->height = (int32_t)height;
    reader->x_min = window.min.x;
    reader->y_min = window.min.y;
    double data_bytes = 0;
    ExrInputPlan *plan = reader->plan;
    for (auto c = header.channels().begin(); c != header.channels().end(); ++c) {
        const Imf::Channel &channel = c.channel();
        std::string name = c.name();
        plan->colour_channels = plan->colour_channels || name == "R" || name == "G" ||
                                name == "B" || name == "Y";
        data_bytes += (channel.type == Imf::HALF ? 2.0 : 4.0) * (width / channel.xSampling) *
                      (height / channel.ySampling);
        plan->channel_names += (plan->channel_names.empty() ? "" : ", ") + printable(c.name());
    }
    double least = least_data_bytes(header.compression(), data_bytes, (double)width * height) +
                   least_block_bytes(header, (double)width, (double)height);
    reader->least_bytes = least >= 1.8e19 ? UINT64_MAX : (uint64_t)least;
    // A block: a tile, or the scanlines the compression takes together, of every channel.
    double block_pixels = (double)width * block_rows(header.compression());
    if (header.hasTileDescription())
        block_pixels = (double)header.tileDescription().xSize * header.tileDescription().ySize;
    double block = data_bytes / ((double)width * height) * block_pixels;
    reader->block_bytes = block >= 1.8e19 ? UINT64_MAX : (uint64_t)block;
    plan_channels(plan);
    return true;
}

void release(ExrScanlineReader *reader)
{
    if (reader->file)
        ImfCloseInputFile(reader->file);
    delete reader->plan;
    free(reader->path);
    free(reader->row);
    free(reader->float_row);
    free(reader->half_row);
    free(reader);
}

// Points the general interface at rows of four floats a pixel, starting with scanline y0 of the
// file at rows, row_bytes apart (0: every scanline lands there); chroma samples land at
// chroma_row. Returns false after a message.
bool set_float_frame(ExrScanlineReader *reader, float *rows, int64_t y0, size_t row_bytes)
{
    ExrInputPlan *plan = reader->plan;
    try {
        char *base = exr_slice_base(rows, reader->x_min, 4 * sizeof(float), y0, row_bytes);
        Imf::FrameBuffer frame;
        const char *colour[] = {"R", "G", "B", "A"}, *luminance[] = {"Y", nullptr, nullptr, "A"};
        const char *const *names = plan->luminance ? luminance : colour;
        for (int c = 0; c < 4; c++) {
            if (names[c])
                frame.insert(names[c], Imf::Slice(Imf::FLOAT, base + 4 * c, 4 * sizeof(float),
                                                  row_bytes, 1, 1, c == 3 ? 1.0 : 0.0));
        }
        if (plan->chroma) {
            int64_t first = floor_div(reader->x_min, plan->x_sampling);
            int64_t last = floor_div((int64_t)reader->x_min + reader->width - 1, plan->x_sampling);
            plan->chroma_row.resize(2 * (size_t)(last - first + 1), 0.0f);
            char *chroma = exr_slice_base(plan->chroma_row.data(), first, 2 * sizeof(float));
            for (int c = 0; c < 2; c++)
                frame.insert(c == 0 ? "RY" : "BY",
                             Imf::Slice(Imf::FLOAT, chroma + 4 * c, 2 * sizeof(float), 0,
                                        plan->x_sampling, plan->y_sampling, 0.0));
        }
        plan->file->setFrameBuffer(frame);
        return true;
    } catch (const std::exception &e) {
        fprintf(stderr, "exrinput: %s\n", e.what());
        return false;
    }
}

// Opens the file through the RGBA interface and takes its window, as when the header could not
// be read beforehand. Returns false after a message.
bool open_without_plan(ExrScanlineReader *reader)
{
    int xmin, ymin, xmax, ymax;
    ImfHeaderDataWindow(ImfInputHeader(reader->file), &xmin, &ymin, &xmax, &ymax);
    int64_t width = (int64_t)xmax - xmin + 1;
    int64_t height = (int64_t)ymax - ymin + 1;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
        fprintf(stderr, "exrinput: Invalid data window (%d, %d) - (%d, %d).\n", xmin, ymin,
                xmax, ymax);
        return false;
    }
    reader->width = (int32_t)width;
    reader->height = (int32_t)height;
    reader->x_min = xmin;
    reader->y_min = ymin;
    return true;
}

// Opens the pixel data through the interface of the plan. Returns false after a message.
bool open_library_file(ExrScanlineReader *reader)
{
    ExrInputPlan *plan = reader->plan;
    if (plan && plan->general) {
        try {
            plan->file.reset(new Imf::InputFile(reader->path));
        } catch (const std::exception &e) {
            fprintf(stderr, "exrinput: %s\n", e.what());
            return false;
        }
    } else {
        reader->file = ImfOpenInputFile(reader->path);
        if (!reader->file) {
            fprintf(stderr, "exrinput: %s\n", ImfErrorMessage());
            return false;
        }
    }
    return plan ? true : open_without_plan(reader);
}

}  // namespace

ExrScanlineReader *exr_reader_begin(const char *path)
{
    // The library seeks in the file it reads, and the header is read before the library opens
    // the file: a pipe would give the library what the header left, or nothing.
    struct stat st;
    if (stat(path, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        fprintf(stderr, "exrinput: %s is a pipe; OpenEXR files are read from files that can be "
                        "sought in.\n", path);
        return nullptr;
    }
    ExrScanlineReader *reader = (ExrScanlineReader *)calloc(1, sizeof *reader);
    if (!reader || !(reader->path = strdup(path))) {
        free(reader);
        return fail_memory();
    }
    std::unique_ptr<ExrInputPlan> plan = read_header(path);
    reader->plan = plan.release();
    if (reader->plan && !take_header(reader)) {
        delete reader->plan;
        reader->plan = nullptr;
    }
    if (reader->plan && !reader->plan->colour_channels) {
        // The RGBA interface would give black pixels without reading a byte of them.
        fprintf(stderr, "exrinput: %s has no R, G, B or Y channel (its channels: %s).\n", path,
                reader->plan->channel_names.empty() ? "none" : reader->plan->channel_names.c_str());
        release(reader);
        return nullptr;
    }
    return reader;
}

bool exr_reader_header_known(const ExrScanlineReader *reader)
{
    return reader->plan != nullptr;
}

int exr_reader_open_pixels(ExrScanlineReader *reader)
{
    return open_library_file(reader) ? 0 : -1;
}

ExrScanlineReader *exr_reader_open(const char *path)
{
    ExrScanlineReader *reader = exr_reader_begin(path);
    if (reader && exr_reader_open_pixels(reader) != 0) {
        release(reader);
        return nullptr;
    }
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

uint64_t exr_reader_block_bytes(const ExrScanlineReader *reader)
{
    return reader->block_bytes;
}

int exr_reader_compression(const ExrScanlineReader *reader)
{
    return reader->plan ? (int)reader->plan->header.compression() : -1;
}

namespace {

// Red, green and blue from luminance and chroma, as the library defines them: RY = (R - Y) / Y,
// BY = (B - Y) / Y, Y = yw . (R, G, B); a pixel without chroma is grey, exactly Y. Computed in
// doubles, kept as floats.
void luminance_to_rgb(const ExrScanlineReader *reader, float *out)
{
    const ExrInputPlan *plan = reader->plan;
    int64_t first = plan->chroma ? floor_div(reader->x_min, plan->x_sampling) : 0;
    for (int32_t x = 0; x < reader->width; x++, out += 4) {
        double y = out[0], ry = 0.0, by = 0.0;
        if (plan->chroma) {
            size_t sample = (size_t)(floor_div((int64_t)reader->x_min + x, plan->x_sampling) - first);
            ry = plan->chroma_row[2 * sample];
            by = plan->chroma_row[2 * sample + 1];
        }
        if (ry == 0.0 && by == 0.0) {
            out[1] = out[2] = out[0];
            continue;
        }
        const Imath::V3f &yw = plan->yw;
        double r = (ry + 1.0) * y, b = (by + 1.0) * y;
        out[0] = (float)r;
        out[1] = (float)((y - r * yw.x - b * yw.z) / yw.y);
        out[2] = (float)b;
    }
}

// Reads scanlines file_y .. file_y + rows - 1 through the general interface, luminance made
// colour. With chroma, one at a time, each made colour at once, while chroma_row holds its
// samples: each first takes the scanline that holds its chroma samples (the nearest at or above
// it), unless that one was read last. Returns false after a message when the frame can't be
// set; a failed read throws.
bool read_general_rows(ExrScanlineReader *reader, int64_t file_y, int32_t rows, float *band)
{
    ExrInputPlan *plan = reader->plan;
    size_t row_floats = 4 * (size_t)reader->width;
    if (!plan->chroma) {
        if (!set_float_frame(reader, band, file_y, row_floats * sizeof(float)))
            return false;
        plan->file->readPixels((int)file_y, (int)(file_y + rows - 1));
        for (int32_t i = 0; plan->luminance && i < rows; i++)
            luminance_to_rgb(reader, band + (size_t)i * row_floats);
        return true;
    }
    for (int32_t i = 0; i < rows; i++, file_y++) {
        float *row = band + (size_t)i * row_floats;
        int64_t chroma_line = floor_div(file_y, plan->y_sampling) * plan->y_sampling;
        if (!set_float_frame(reader, row, file_y, 0))
            return false;
        if (chroma_line != plan->chroma_line && chroma_line != file_y)
            plan->file->readPixels((int)chroma_line, (int)chroma_line);
        plan->chroma_line = chroma_line;
        plan->file->readPixels((int)file_y, (int)file_y);
        luminance_to_rgb(reader, row);
    }
    return true;
}

}  // namespace

ExrRowKind exr_reader_row_kind(const ExrScanlineReader *reader)
{
    return reader->plan && reader->plan->general ? EXR_ROWS_FLOAT : EXR_ROWS_HALF;
}

int32_t exr_reader_block_rows(const ExrScanlineReader *reader)
{
    if (!reader->plan)
        return 1;
    const Imf::Header &header = reader->plan->header;
    return header.hasTileDescription() ? (int32_t)header.tileDescription().ySize
                                       : block_rows(header.compression());
}

namespace {

// After a failed read of several blocks: the library, working on them side by side, may have
// met a later block's fault first. Reads the rows again a block at a time, as one thread does,
// and gives the message of the first block that fails, or message when none does. The library's
// stream stays failed after a read past the file's end, so reopen() first opens the file anew
// (false when it can't); read(y, last) reads those rows of the file, or gives a message.
template <typename Reopen, typename Read>
std::string first_fault(const ExrScanlineReader *reader, int64_t file_y, int32_t rows,
                        std::string message, Reopen reopen, Read read)
{
    int64_t block = exr_reader_block_rows(reader), end = file_y + rows;
    if (rows <= block || !reopen())
        return message;
    for (int64_t y = file_y; y < end;) {
        int64_t next = reader->y_min + (floor_div(y - reader->y_min, block) + 1) * block;
        if (next > end)
            next = end;
        std::string fault;
        if (!read(y, next - 1, &fault))
            return fault;
        y = next;
    }
    return message;
}

}  // namespace

namespace {

int read_rows(ExrScanlineReader *reader, int32_t first, int32_t rows, void *band)
{
    int64_t file_y = (int64_t)reader->y_min + first;
    if (exr_reader_row_kind(reader) == EXR_ROWS_HALF) {
        ImfRgba *base = exr_frame_base((ImfRgba *)band, file_y, reader->width, reader->x_min);
        if (!ImfInputSetFrameBuffer(reader->file, base, 1, (size_t)reader->width)) {
            fprintf(stderr, "exrinput: %s\n", ImfErrorMessage());
            return -1;
        }
        if (!ImfInputReadPixels(reader->file, (int)file_y, (int)(file_y + rows - 1))) {
            std::string message = first_fault(
                reader, file_y, rows, ImfErrorMessage(),
                [reader, base]() {
                    ImfCloseInputFile(reader->file);
                    reader->file = ImfOpenInputFile(reader->path);
                    return reader->file &&
                           ImfInputSetFrameBuffer(reader->file, base, 1, (size_t)reader->width);
                },
                [reader](int64_t y, int64_t last, std::string *fault) {
                    if (ImfInputReadPixels(reader->file, (int)y, (int)last))
                        return true;
                    *fault = ImfErrorMessage();
                    return false;
                });
            fprintf(stderr, "exrinput: %s\n", message.c_str());
            return -1;
        }
        return 0;
    }
    try {
        if (!read_general_rows(reader, file_y, rows, (float *)band))
            return -1;
    } catch (const std::exception &e) {
        reader->plan->chroma_line = INT64_MIN;
        std::string message = e.what();
        if (!reader->plan->chroma) {
            message = first_fault(reader, file_y, rows, message,
                                  [reader, file_y, band]() {
                                      try {
                                          reader->plan->file.reset();
                                          reader->plan->file.reset(new Imf::InputFile(reader->path));
                                      } catch (const std::exception &) {
                                          return false;
                                      }
                                      size_t row_bytes = 4 * sizeof(float) * (size_t)reader->width;
                                      return set_float_frame(reader, (float *)band, file_y, row_bytes);
                                  },
                                  [reader](int64_t y, int64_t last, std::string *fault) {
                                      try {
                                          reader->plan->file->readPixels((int)y, (int)last);
                                          return true;
                                      } catch (const std::exception &again) {
                                          *fault = again.what();
                                          return false;
                                      }
                                  });
        }
        fprintf(stderr, "exrinput: %s\n", message.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

int exr_reader_rows(ExrScanlineReader *reader, int32_t first, int32_t rows, void *band)
{
    int result = read_rows(reader, first, rows, band);
    exr_tasks_settled();
    return result;
}

const double *exr_reader_row(ExrScanlineReader *reader, int32_t y)
{
    size_t width = (size_t)reader->width;
    if (!reader->row) {
        reader->float_row = (float *)malloc(width * 4 * sizeof(float));
        reader->half_row = (ImfRgba *)malloc(width * sizeof(ImfRgba));
        reader->row = (double *)malloc(width * 4 * sizeof(double));
        if (!reader->float_row || !reader->half_row || !reader->row) {
            fail_memory();
            return nullptr;
        }
    }
    bool floats = exr_reader_row_kind(reader) == EXR_ROWS_FLOAT;
    if (exr_reader_rows(reader, y, 1, floats ? (void *)reader->float_row : (void *)reader->half_row))
        return nullptr;
    if (!floats)
        exr_widen_halves((const uint16_t *)reader->half_row, reader->float_row, 4 * width);
    for (size_t i = 0; i < 4 * width; i++)
        reader->row[i] = reader->float_row[i];
    return reader->row;
}

void exr_reader_close(ExrScanlineReader *reader)
{
    release(reader);
}
