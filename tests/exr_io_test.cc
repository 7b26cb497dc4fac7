#include "exr_io/exr_half.h"
#include "exr_io/exr_half_internal.h"
#include "exr_io/exr_reader.h"
#include "exr_io/exr_writer.h"
#include "tests/codec_support.h"
#include "tests/exr_support.h"
#include "tests/test_support.h"

#include <ImfCRgbaFile.h>
#include <ImfOutputFile.h>
#include <ImfRgbaYca.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace {

TEST(ExrWriter, OnePixel)
{
    ScratchDir dir;
    ExrScanlineWriter *writer = exr_writer_open((dir / "one.exr").c_str(), 1, 1, ExrOutputOptions());
    ASSERT_NE(nullptr, writer);
    EXPECT_EQ(0, write_rows(writer, {0.5, 1.0, 2.0, 0.0}, 1));
    EXPECT_EQ(0, exr_writer_close(writer));
    HalfPicture p = read_halves(dir / "one.exr");
    EXPECT_EQ(0, p.xmin);
    EXPECT_EQ(0, p.ymin);
    EXPECT_EQ(0, p.xmax);
    EXPECT_EQ(0, p.ymax);
    EXPECT_EQ(IMF_PIZ_COMPRESSION, p.compression);
    EXPECT_EQ(IMF_INCREASING_Y, p.line_order);
    ASSERT_EQ(1u, p.pixels.size());
    EXPECT_EQ(0.5f, ImfHalfToFloat(p.pixels[0].r));
    EXPECT_EQ(1.0f, ImfHalfToFloat(p.pixels[0].g));
    EXPECT_EQ(2.0f, ImfHalfToFloat(p.pixels[0].b));
    EXPECT_EQ(0.0f, ImfHalfToFloat(p.pixels[0].a));
}

TEST(ExrWriter, RowsInOrderWithExactAndNarrowedValues)
{
    ScratchDir dir;
    const int width = 5, height = 40;
    const double huge = 1e300;
    ExrScanlineWriter *writer = exr_writer_open((dir / "rows.exr").c_str(), width, height, ExrOutputOptions());
    ASSERT_NE(nullptr, writer);
    for (int y = 0; y < height; y++) {
        const double values[] = {0.0, 0.5, 1.0, 2.0, 65504.0};
        std::vector<double> row(4 * width);
        for (int x = 0; x < width; x++) {
            row[4 * x] = y;                      // the k-th call writes scanline k - 1
            row[4 * x + 1] = values[x];
            row[4 * x + 2] = x % 2 ? huge : -huge;  // too large for a float: an infinity
            row[4 * x + 3] = 0.1 * x;            // rounded to float, then to half
        }
        ASSERT_EQ(0, write_rows(writer, row, 1));
    }
    ASSERT_EQ(0, exr_writer_close(writer));
    HalfPicture p = read_halves(dir / "rows.exr");
    ASSERT_EQ(width - 1, p.xmax);
    ASSERT_EQ(height - 1, p.ymax);
    EXPECT_EQ((std::vector<int>{0, 0, width - 1, height - 1}), std::vector<int>(p.display, p.display + 4));
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const ImfRgba &px = p.pixels[(size_t)y * width + x];
            const double values[] = {0.0, 0.5, 1.0, 2.0, 65504.0};
            EXPECT_EQ((float)y, ImfHalfToFloat(px.r));
            EXPECT_EQ((float)values[x], ImfHalfToFloat(px.g));
            EXPECT_EQ(x % 2 ? INFINITY : -INFINITY, ImfHalfToFloat(px.b));
            EXPECT_EQ(half_of((float)(0.1 * x)), px.a);
        }
    }
}

TEST(ExrWriter, MissingDirectory)
{
    ExrScanlineWriter *writer = nullptr;
    std::string err = captured_stderr(
        [&] { writer = exr_writer_open("/nonexistent/dir/x.exr", 4, 4, ExrOutputOptions()); });
    EXPECT_EQ(nullptr, writer);
    EXPECT_EQ("exroutput: Cannot open image file \"/nonexistent/dir/x.exr\". No such file or directory.\n", err);
}

TEST(ExrReader, OnePixelAndEveryKindOfHalf)
{
    ScratchDir dir;
    // 1.0, 65504, the smallest subnormal, +inf, -inf, NaN, -0, the largest subnormal.
    const ImfHalf halves[] = {0x3c00, 0x7bff, 0x0001, 0x7c00, 0xfc00, 0x7e00, 0x8000, 0x03ff};
    std::vector<ImfRgba> pixels;
    for (ImfHalf h : halves)
        pixels.push_back({h, h, h, h});
    write_halves(dir / "halves.exr", 0, 0, 8, 1, pixels);
    ExrScanlineReader *reader = exr_reader_open((dir / "halves.exr").c_str());
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ(8, exr_reader_width(reader));
    EXPECT_EQ(1, exr_reader_height(reader));
    std::vector<double> row = read_row(reader, 0);
    ASSERT_EQ(32u, row.size());
    const double expected[] = {1.0, 65504.0, std::ldexp(1.0, -24), INFINITY, -INFINITY, NAN, -0.0,
                               1023 * std::ldexp(1.0, -24)};
    for (int x = 0; x < 8; x++) {
        for (int c = 0; c < 4; c++) {
            if (std::isnan(expected[x])) {
                EXPECT_TRUE(std::isnan(row[4 * x + c]));
            } else {
                EXPECT_EQ(expected[x], row[4 * x + c]) << x;
                EXPECT_EQ(std::signbit(expected[x]), std::signbit(row[4 * x + c]));
            }
        }
    }
    exr_reader_close(reader);

    pixels = {{0x3c00, 0x4000, 0x4200, 0x3800}};
    write_halves(dir / "one.exr", 0, 0, 1, 1, pixels, IMF_NO_COMPRESSION);
    reader = exr_reader_open((dir / "one.exr").c_str());
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ((std::vector<double>{1.0, 2.0, 3.0, 0.5}), read_row(reader, 0));
    exr_reader_close(reader);
}

TEST(ExrReader, ScanlinesInAnyOrder)
{
    ScratchDir dir;
    const int width = 3, height = 70;  // more than two PIZ blocks of 32 lines
    std::vector<ImfRgba> pixels;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            pixels.push_back({half_of((float)y), half_of((float)x), 0, 0});
    write_halves(dir / "order.exr", 0, 0, width, height, pixels);
    ExrScanlineReader *reader = exr_reader_open((dir / "order.exr").c_str());
    ASSERT_NE(nullptr, reader);
    for (int y : {5, 66, 2, 5}) {
        std::vector<double> row = read_row(reader, y);
        ASSERT_EQ(12u, row.size());
        EXPECT_EQ((double)y, row[0]);
        EXPECT_EQ(2.0, row[4 * 2 + 1]);
    }
    exr_reader_close(reader);
}

// Red of pixel (x, y) is 10 y + x, in half or float channels, with the window's origin at
// (origin - 10, origin) or at (0, 0).
void write_window(const std::string &path, int x0, int y0, int width, int height, Imf::PixelType type)
{
    Imath::Box2i window(Imath::V2i(x0, y0), Imath::V2i(x0 + width - 1, y0 + height - 1));
    Imf::Header header(window, window);
    header.channels().insert("R", Imf::Channel(type));
    std::vector<float> values;
    std::vector<ImfHalf> halves;
    for (int i = 0; i < width * height; i++) {
        values.push_back((float)(10 * (i / width) + i % width));
        halves.push_back(half_of(values.back()));
    }
    size_t size = type == Imf::HALF ? 2 : 4;
    char *base = (type == Imf::HALF ? (char *)halves.data() : (char *)values.data()) - (x0 + (ptrdiff_t)y0 * width) * size;
    Imf::FrameBuffer frame;
    frame.insert("R", Imf::Slice(type, base, size, size * width));
    Imf::OutputFile out(path.c_str(), header);
    out.setFrameBuffer(frame);
    out.writePixels(height);
}

TEST(ExrReader, DataWindowAwayFromTheOrigin)
{
    ScratchDir dir;
    for (Imf::PixelType type : {Imf::HALF, Imf::FLOAT}) {
        for (int origin : {40, -7, 0}) {
            const int width = 4, height = 3;
            write_window(dir / "window.exr", origin ? origin - 10 : 0, origin, width, height, type);
            ExrScanlineReader *reader = exr_reader_open((dir / "window.exr").c_str());
            ASSERT_NE(nullptr, reader);
            EXPECT_EQ(width, exr_reader_width(reader));
            EXPECT_EQ(height, exr_reader_height(reader));
            for (int y = 0; y < height; y++) {
                std::vector<double> row = read_row(reader, y);
                ASSERT_EQ(4u * width, row.size());
                for (int x = 0; x < width; x++)
                    EXPECT_EQ(10.0 * y + x, row[4 * x]) << origin << " " << type;
            }
            exr_reader_close(reader);
        }
    }
}

// Luminance of 32-bit floats with chroma of one sample per 2 x 2 pixels, in a window that begins
// at (-2, -2): each pixel takes the chroma sample that covers it, rows read in any order.
TEST(ExrReader, FloatLuminanceWithSubsampledChroma)
{
    ScratchDir dir;
    Imath::Box2i window(Imath::V2i(-2, -2), Imath::V2i(1, 1));
    Imf::Header header(window, window);
    header.channels().insert("Y", Imf::Channel(Imf::FLOAT));
    header.channels().insert("RY", Imf::Channel(Imf::FLOAT, 2, 2));
    header.channels().insert("BY", Imf::Channel(Imf::FLOAT, 2, 2));
    std::vector<float> y(16, 1e6f), ry = {0.5f, 0, 0, -0.5f}, by = {0.25f, 0, 0, 0.5f};
    Imf::FrameBuffer frame;
    frame.insert("Y", Imf::Slice(Imf::FLOAT, (char *)(y.data() + 2 + 2 * 4), 4, 16));
    frame.insert("RY", Imf::Slice(Imf::FLOAT, (char *)(ry.data() + 1 + 2), 4, 8, 2, 2));
    frame.insert("BY", Imf::Slice(Imf::FLOAT, (char *)(by.data() + 1 + 2), 4, 8, 2, 2));
    {
        Imf::OutputFile out((dir / "yc.exr").c_str(), header);
        out.setFrameBuffer(frame);
        out.writePixels(4);
    }
    ExrScanlineReader *reader = exr_reader_open((dir / "yc.exr").c_str());
    ASSERT_NE(nullptr, reader);
    ASSERT_EQ(EXR_ROWS_FLOAT, exr_reader_row_kind(reader));
    Imath::V3f yw = Imf::RgbaYca::computeYw(Imf::Chromaticities());
    auto expect_row = [&](int row, const float *rgba) {
        for (int x = 0; x < 4; x++) {
            int sample = x / 2 + 2 * (row / 2);
            double r = (ry[sample] + 1.0) * 1e6, b = (by[sample] + 1.0) * 1e6;
            double g = ry[sample] == 0 && by[sample] == 0 ? 1e6 : (1e6 - r * yw.x - b * yw.z) / yw.y;
            std::vector<float> kept = {(float)r, (float)g, (float)b, 1.0f};  // as floats, as stored
            EXPECT_EQ(kept, std::vector<float>(rgba + 4 * x, rgba + 4 * x + 4)) << row << " " << x;
        }
    };
    std::vector<float> band(4 * 4 * 4);
    for (int row : {3, 0, 1, 2, 1}) {
        ASSERT_EQ(0, exr_reader_rows(reader, row, 1, band.data()));
        expect_row(row, band.data());
    }
    // All four rows in one call: each takes its own chroma, not the last row's.
    ASSERT_EQ(0, exr_reader_rows(reader, 0, 4, band.data()));
    for (int row = 0; row < 4; row++)
        expect_row(row, &band[16 * row]);
    exr_reader_close(reader);
}

TEST(ExrReader, FilesThatCantBeRead)
{
    ScratchDir dir;
    ExrScanlineReader *reader = nullptr;
    std::string err = captured_stderr([&] { reader = exr_reader_open((dir / "missing.exr").c_str()); });
    EXPECT_EQ(nullptr, reader);
    EXPECT_EQ("exrinput: " + std::string(ImfErrorMessage()) + "\n", err);

    write_file(dir / "text.exr", "this is no OpenEXR file\n");
    err = captured_stderr([&] { reader = exr_reader_open((dir / "text.exr").c_str()); });
    EXPECT_EQ(nullptr, reader);
    EXPECT_EQ("exrinput: " + std::string(ImfErrorMessage()) + "\n", err);

    // A file cut short: it opens, and the lost scanlines fail with the library's message.
    std::vector<ImfRgba> pixels(64 * 64, ImfRgba{0x3c00, 0x3c00, 0x3c00, 0});
    for (size_t i = 0; i < pixels.size(); i++)
        pixels[i].r = (ImfHalf)(0x3000 + i % 1000);
    write_halves(dir / "full.exr", 0, 0, 64, 64, pixels, IMF_NO_COMPRESSION);
    std::string bytes = read_file(dir / "full.exr");
    write_file(dir / "cut.exr", bytes.substr(0, bytes.size() / 2));
    reader = exr_reader_open((dir / "cut.exr").c_str());
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ(256u, read_row(reader, 0).size());
    std::vector<double> row;
    err = captured_stderr([&] { row = read_row(reader, 63); });
    EXPECT_TRUE(row.empty());
    EXPECT_EQ("exrinput: " + std::string(ImfErrorMessage()) + "\n", err);
    exr_reader_close(reader);

    // The same through the general interface, for 32-bit floats.
    write_window(dir / "full.exr", 0, 0, 64, 64, Imf::FLOAT);
    bytes = read_file(dir / "full.exr");
    write_file(dir / "cut.exr", bytes.substr(0, bytes.size() / 2));
    reader = exr_reader_open((dir / "cut.exr").c_str());
    ASSERT_NE(nullptr, reader);
    err = captured_stderr([&] { row = read_row(reader, 63); });
    EXPECT_TRUE(row.empty());
    EXPECT_EQ(0u, err.find("exrinput: ")) << err;
    exr_reader_close(reader);
}

TEST(ExrHalf, NarrowsAndWidensAsTheLibrary)
{
    // Doubles at the edges of half precision: zeros, subnormals and the ties between them,
    // rounding ties to even and just past them, the largest half and where infinity begins,
    // and doubles whose rounding to float lands on a half's tie.
    std::vector<double> values = {0.0, -0.0, 0x1p-24, 0x1p-25, 0x1.000002p-25, 0x1.8p-24,
                                  0x1.ff8p-15, 0x1p-14, 1.0, 1.0 + 0x1p-11, 1.0 + 0x1p-11 + 0x1p-20,
                                  1.0 + 0x1.8p-10, 0x1.0000001p0 + 0x1p-11, 65504.0, 65519.99,
                                  65520.0, -65520.0, 1e10, 1e300, -1e-300,
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()};
    while (values.size() < 27)  // nine pixels: one past the groups of eight of the fast way
        values.push_back(-0x1.4p-20);
    size_t n = values.size();
    std::vector<uint16_t> plain(n), fast(n), rgba(n / 3 * 4, 0xffff);
    exr_narrow_halves_plain(values.data(), plain.data(), n);
    bool f16c = std::string("F16C") == exr_narrowing_way();
#if defined(__x86_64__) || defined(__i386__)
    if (f16c)
        exr_narrow_halves_f16c(values.data(), fast.data(), n);
#endif
    exr_narrow_rgb_to_rgba(values.data(), rgba.data(), n / 3);
    for (size_t i = 0; i < n; i++) {
        ImfHalf expected;
        ImfFloatToHalf((float)values[i], &expected);
        EXPECT_EQ(expected, plain[i]) << values[i];
        EXPECT_EQ(f16c ? expected : 0, fast[i]) << values[i];
        EXPECT_EQ(expected, rgba[i / 3 * 4 + i % 3]) << values[i];
        EXPECT_EQ(0, rgba[i / 3 * 4 + 3]);
    }
    // Every half widens as the library widens it and a double holds it: NaNs quiet, with their
    // payloads. Floats from a file get their NaNs quieted the same way.
    // The last five, past the groups of sixteen of the fast way: signalling NaNs among them.
    const uint16_t tail[] = {0x7c01, 1, 0xfc01, 0x7e01, 0x7c01};
    std::vector<uint16_t> halves(65536 + 5);
    for (size_t h = 0; h < halves.size(); h++)
        halves[h] = h < 65536 ? (uint16_t)h : tail[h - 65536];
    std::vector<float> widened(halves.size()), floats(halves.size());
    exr_widen_halves(halves.data(), widened.data(), halves.size());
    for (size_t h = 0; h < halves.size(); h++)
        floats[h] = ImfHalfToFloat(halves[h]);
    exr_quiet_nans(floats.data(), floats.size());
    for (size_t h = 0; h < halves.size(); h++) {
        volatile double through_double = ImfHalfToFloat(halves[h]);
        float expected = (float)through_double;
        ASSERT_EQ(0, memcmp(&expected, &widened[h], sizeof expected)) << h;
        ASSERT_EQ(0, memcmp(&expected, &floats[h], sizeof expected)) << h;
    }
}

// Every one of the 2^32 floats narrows as the library's ImfFloatToHalf narrows it, in both
// ways (F16C where the processor has it, and plain); NaNs are NaNs of the same sign, whatever
// their payloads. About ten seconds on two processors: run it with
// --gtest_also_run_disabled_tests --gtest_filter='*EveryFloat*'.
TEST(ExrHalf, DISABLED_EveryFloatNarrowsAsTheLibrary)
{
    using Narrow = void (*)(const double *, uint16_t *, size_t);
    std::vector<Narrow> ways = {exr_narrow_halves_plain};
#if defined(__x86_64__) || defined(__i386__)
    if (std::string("F16C") == exr_narrowing_way())
        ways.push_back(exr_narrow_halves_f16c);
#endif
    for (Narrow narrow : ways) {
        std::atomic<uint64_t> differ(0);
        auto check = [narrow, &differ](uint32_t first, uint32_t last) {
            std::vector<double> values(65536);
            std::vector<uint16_t> mine(65536);
            uint64_t here = 0;
            for (uint32_t top = first; top < last; top++) {
                for (uint32_t low = 0; low < 65536; low++) {
                    uint32_t bits = top << 16 | low;
                    float f;
                    memcpy(&f, &bits, sizeof f);
                    values[low] = f;
                }
                narrow(values.data(), mine.data(), values.size());
                for (uint32_t low = 0; low < 65536; low++) {
                    ImfHalf theirs = half_of((float)values[low]);
                    bool nans = (mine[low] & 0x7fff) > 0x7c00 && (theirs & 0x7fff) > 0x7c00 &&
                                (mine[low] >> 15) == (theirs >> 15);
                    here += mine[low] != theirs && !nans;
                }
            }
            differ += here;
        };
        unsigned count = std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < count; t++)
            threads.emplace_back(check, (uint32_t)(65536ull * t / count), (uint32_t)(65536ull * (t + 1) / count));
        for (std::thread &thread : threads)
            thread.join();
        EXPECT_EQ(0u, differ.load());
    }
}

}  // namespace
