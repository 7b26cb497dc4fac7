// OpenEXR files written and read straight through the library, for the tests.
#ifndef PICTOR_TESTS_EXR_SUPPORT_H
#define PICTOR_TESTS_EXR_SUPPORT_H

#include "exr_io/exr_half.h"
#include "exr_io/exr_reader.h"
#include "exr_io/exr_writer.h"

#include <ImfCRgbaFile.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Writes an RGBA half file straight through the library, with any data window.
inline void write_halves(const std::string &path, int xmin, int ymin, int width, int height,
                  const std::vector<ImfRgba> &pixels, int compression = IMF_PIZ_COMPRESSION)
{
    ImfHeader *header = ImfNewHeader();
    ImfHeaderSetDataWindow(header, xmin, ymin, xmin + width - 1, ymin + height - 1);
    ImfHeaderSetDisplayWindow(header, xmin, ymin, xmin + width - 1, ymin + height - 1);
    ImfHeaderSetCompression(header, compression);
    ImfOutputFile *out = ImfOpenOutputFile(path.c_str(), header, IMF_WRITE_RGBA);
    ImfDeleteHeader(header);
    ASSERT_NE(nullptr, out) << ImfErrorMessage();
    const ImfRgba *base = pixels.data() - xmin - (ptrdiff_t)ymin * width;
    ASSERT_TRUE(ImfOutputSetFrameBuffer(out, base, 1, width));
    ASSERT_TRUE(ImfOutputWritePixels(out, height));
    ASSERT_TRUE(ImfCloseOutputFile(out));
}

// Reads a whole RGBA file back through the library.
struct HalfPicture {
    int xmin, ymin, xmax, ymax, compression, line_order;
    int display[4];  // xmin, ymin, xmax, ymax of the display window
    std::vector<ImfRgba> pixels;
};

inline HalfPicture read_halves(const std::string &path)
{
    HalfPicture p = {};
    ImfInputFile *in = ImfOpenInputFile(path.c_str());
    EXPECT_NE(nullptr, in);
    if (!in)
        return p;
    const ImfHeader *header = ImfInputHeader(in);
    ImfHeaderDataWindow(header, &p.xmin, &p.ymin, &p.xmax, &p.ymax);
    ImfHeaderDisplayWindow(header, &p.display[0], &p.display[1], &p.display[2], &p.display[3]);
    p.compression = ImfHeaderCompression(header);
    p.line_order = ImfHeaderLineOrder(header);
    int width = p.xmax - p.xmin + 1, height = p.ymax - p.ymin + 1;
    p.pixels.resize((size_t)width * height);
    ImfInputSetFrameBuffer(in, p.pixels.data() - p.xmin - (ptrdiff_t)p.ymin * width, 1, width);
    EXPECT_TRUE(ImfInputReadPixels(in, p.ymin, p.ymax));
    ImfCloseInputFile(in);
    return p;
}

// Red, green, blue and alpha as floats through the library's general interface (missing
// channels 0, alpha 1), for files that store one of them as 32-bit floats; else empty.
inline std::vector<float> read_float_rgba(const std::string &path)
{
    Imf::InputFile in(path.c_str());
    const Imf::ChannelList &channels = in.header().channels();
    bool floats = false;
    for (const char *name : {"R", "G", "B", "A"})
        floats = floats || (channels.findChannel(name) && channels.findChannel(name)->type == Imf::FLOAT);
    if (!floats || channels.findChannel("Y"))
        return {};
    Imath::Box2i window = in.header().dataWindow();
    size_t width = window.max.x - window.min.x + 1, height = window.max.y - window.min.y + 1;
    std::vector<float> values(width * height * 4);
    Imf::FrameBuffer frame;
    const char *names[] = {"R", "G", "B", "A"};
    char *base = (char *)values.data() - (window.min.x + (ptrdiff_t)window.min.y * width) * 16;
    for (int c = 0; c < 4; c++)
        frame.insert(names[c], Imf::Slice(Imf::FLOAT, base + 4 * c, 16, 16 * width, 1, 1, c == 3 ? 1.0 : 0.0));
    in.setFrameBuffer(frame);
    in.readPixels(window.min.y, window.max.y);
    return values;
}

// The file's header and pixels opened; null after the reader's message.
inline ExrScanlineReader *exr_reader_open(const char *path)
{
    ExrScanlineReader *reader = exr_reader_begin(path);
    if (reader && exr_reader_open_pixels(reader) != 0) {
        exr_reader_close(reader);
        return nullptr;
    }
    return reader;
}

// Scanline y of an open reader as red, green, blue and alpha doubles, as the reader gives them
// (halves widened as the library widens them); empty after a failure, whose message is written.
inline std::vector<double> read_row(ExrScanlineReader *reader, int32_t y)
{
    size_t values = 4 * (size_t)exr_reader_width(reader);
    std::vector<float> floats(values);
    std::vector<uint16_t> halves(values);
    bool half = exr_reader_row_kind(reader) == EXR_ROWS_HALF;
    if (exr_reader_rows(reader, y, 1, half ? (void *)halves.data() : (void *)floats.data()) != 0)
        return {};
    if (half)
        exr_widen_halves(halves.data(), floats.data(), values);
    return std::vector<double>(floats.begin(), floats.end());
}

// Writes rows of red, green, blue and alpha doubles, each narrowed to float and then to half as
// ImfFloatToHalf does, as the writer's next scanlines.
inline int write_rows(ExrScanlineWriter *writer, const std::vector<double> &rgba, int32_t rows)
{
    std::vector<ImfRgba> halves(rgba.size() / 4);
    exr_narrow_halves(rgba.data(), (uint16_t *)halves.data(), rgba.size());
    return exr_writer_rows(writer, halves.data(), rows);
}

inline ImfHalf half_of(float value)
{
    ImfHalf h;
    ImfFloatToHalf(value, &h);
    return h;
}

}  // namespace

#endif
