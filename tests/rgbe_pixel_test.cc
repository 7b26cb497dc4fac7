#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"
#include "tests/codec_support.h"

#include <ImfCRgbaFile.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<int>;

Bytes pack(double r, double g, double b)
{
    unsigned char out[4];
    rgbe_pack_pixel(out, r, g, b);
    return {out[0], out[1], out[2], out[3]};
}

std::vector<double> unpack(Bytes in)
{
    unsigned char bytes[4] = {(unsigned char)in[0], (unsigned char)in[1], (unsigned char)in[2],
                              (unsigned char)in[3]};
    std::vector<double> rgb(3);
    rgbe_unpack_pixel(&rgb[0], &rgb[1], &rgb[2], bytes);
    return rgb;
}

TEST(RgbePixel, PacksExactBytes)
{
    EXPECT_EQ((Bytes{128, 64, 32, 129}), pack(1.0, 0.5, 0.25));
    EXPECT_EQ((Bytes{192, 128, 64, 130}), pack(3.0, 2.0, 1.0));
    EXPECT_EQ((Bytes{0, 0, 0, 0}), pack(0, 0, 0));
    EXPECT_EQ((Bytes{0, 0, 0, 0}), pack(1e-33, 0, 0));
    EXPECT_EQ((Bytes{207, 0, 0, 22}), pack(1e-32, 0, 0));
    // The largest component is rounded to single precision before its exponent is taken.
    EXPECT_EQ((Bytes{127, 0, 0, 129}), pack(0.99999999, 0, 0));
    // The largest component may be any of the three; the mantissas truncate.
    EXPECT_EQ((Bytes{1, 255, 100, 136}), pack(1.9, 255.9, 100.5));
    EXPECT_EQ((Bytes{0, 0, 128, 121}), pack(0.0, 0.0, 1.0 / 256));
}

TEST(RgbePixel, UnpacksWithFloor)
{
    EXPECT_EQ((std::vector<double>{1.0, 0.5, 0.25}), unpack({128, 64, 32, 129}));
    EXPECT_EQ((std::vector<double>{1.0, 1e-6, 1e-6}), unpack({128, 0, 0, 129}));
    EXPECT_EQ((std::vector<double>{1e-6, 1.0, 1e-6}), unpack({0, 128, 0, 129}));
    EXPECT_EQ((std::vector<double>{1e-6, 1e-6, 1e-6}), unpack({255, 255, 255, 0}));
    EXPECT_EQ((std::vector<double>{0.9921875, 1e-6, 1e-6}), unpack({127, 0, 0, 129}));
    EXPECT_EQ(255 * std::ldexp(1.0, 119), unpack({255, 1, 1, 255})[0]);
    EXPECT_EQ(std::ldexp(1.0, -135), unpack({1, 1, 1, 1})[0]);
}

TEST(RgbePixel, ComponentsRgbeCantHold)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Negative components count as 0 instead of wrapping into bright mantissas.
    EXPECT_EQ((Bytes{128, 0, 0, 129}), pack(1.0, -0.5, 0.0));
    EXPECT_EQ((Bytes{0, 0, 0, 0}), pack(-1.0, -2.0, -0.0));
    EXPECT_EQ((Bytes{0, 128, 0, 129}), pack(-0.0, 1.0, -inf));
    // NaN counts as 0 wherever it stands.
    EXPECT_EQ((Bytes{0, 128, 64, 129}), pack(nan, 1.0, 0.5));
    EXPECT_EQ((Bytes{128, 0, 64, 129}), pack(1.0, nan, 0.5));
    EXPECT_EQ((Bytes{128, 64, 0, 129}), pack(1.0, 0.5, nan));
    EXPECT_EQ((Bytes{0, 0, 0, 0}), pack(nan, nan, nan));
    // Infinity and values from 2^127 up saturate instead of wrapping to exponent byte 0.
    EXPECT_EQ((Bytes{255, 0, 0, 255}), pack(inf, 1.0, 0.0));
    EXPECT_EQ((Bytes{255, 255, 255, 255}), pack(inf, inf, inf));
    EXPECT_EQ((Bytes{255, 128, 0, 255}), pack(std::ldexp(1.0, 127), std::ldexp(1.0, 126), 0));
    EXPECT_EQ((Bytes{0, 255, 0, 255}), pack(0, std::numeric_limits<double>::max(), 0));
    EXPECT_EQ((Bytes{0, 0, 255, 255}), pack(0, 0, std::nextafter(std::ldexp(1.0, 127), 0.0)));
    // The largest value RGBE holds packs as itself.
    EXPECT_EQ((Bytes{255, 0, 0, 255}), pack(255 * std::ldexp(1.0, 119), 0, 0));
    EXPECT_EQ((Bytes{254, 0, 0, 255}), pack(254.5 * std::ldexp(1.0, 119), 0, 0));
}

TEST(RgbePixel, EveryNormalCodeRoundTrips)
{
    // A pixel whose largest mantissa has its top bit set decodes and packs back to itself (a
    // mantissa of 0 decodes to the 1e-6 floor, which packs back to 0 at these exponents).
    for (int e = 120; e < 256; e++) {
        for (int m = 128; m < 256; m++) {
            Bytes bytes = {m, m / 2, 0, e};
            std::vector<double> rgb = unpack(bytes);
            ASSERT_EQ(bytes, pack(rgb[0], rgb[1], rgb[2])) << m << " " << e;
        }
    }
}

// The packing as the format gives it: frexp of the largest component (red against green, the
// winner against blue) in single precision, and mantissas scaled by its m * 256 / v, truncated.
Bytes packed_by_frexp(double r, double g, double b)
{
    const double largest = 255 * std::ldexp(1.0, 119);
    double c[3] = {r, g, b};
    for (double &x : c)
        x = !(x > 0) ? 0.0 : std::min(x, largest);
    double most = c[0] >= c[1] ? c[0] : c[1];
    float v = (float)(most >= c[2] ? most : c[2]);
    if (v < 1e-32)
        return {0, 0, 0, 0};
    int e;
    double scale = std::frexp(v, &e) * 256.0 / v;
    return {(int)(c[0] * scale), (int)(c[1] * scale), (int)(c[2] * scale), e + 128};
}

TEST(RgbePixel, PackingMatchesFrexpForEveryHalfAsTheLargest)
{
    // Every half as the largest component (negatives, NaNs and infinities too), then floats
    // at the edges of what RGBE holds, in any of the three places, the others random fractions
    // of it; packed one at a time and in rows, from doubles and from floats, with a row length
    // that leaves a tail.
    std::vector<float> largest;
    for (int h = 0; h < 65536; h++)
        largest.push_back(ImfHalfToFloat((ImfHalf)h));
    for (float edge : {1e-32f, std::nextafter(1e-32f, 0.0f), 1e-38f, 1e-45f, 0x1p127f,
                       std::nextafter(0x1p127f, 0.0f), 255 * 0x1p119f, 3.4e38f})
        largest.push_back(edge);
    const int count = (int)largest.size() * 3 + 5;
    std::vector<double> rgb(3 * (size_t)count);
    std::vector<float> rgba(4 * (size_t)count);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> fraction(0.0f, 1.0f);
    for (int i = 0; i < count; i++) {
        float most = largest[i % largest.size()];
        for (int k = 0; k < 3; k++) {
            float value = k == (int)(i / largest.size()) % 3 ? most : most * fraction(random);
            rgb[3 * i + k] = value;
            rgba[4 * i + k] = value;
        }
        rgba[4 * i + 3] = fraction(random);
    }
    std::vector<unsigned char> rows(4 * (size_t)count), rows_rgba(4 * (size_t)count);
    rgbe_pack_row(rgb.data(), count, rows.data());
    rgbe_pack_row_rgba(rgba.data(), count, rows_rgba.data());
    for (int i = 0; i < count; i++) {
        Bytes expected = packed_by_frexp(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
        ASSERT_EQ(expected, pack(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2])) << i;
        for (int k = 0; k < 4; k++) {
            ASSERT_EQ(expected[k], rows[k * (size_t)count + i]) << i;
            ASSERT_EQ(expected[k], rows_rgba[k * (size_t)count + i]) << i;
        }
    }
}

TEST(RgbePixel, RowsUnpackAsPixels)
{
    // Every exponent with every mantissa in each of the three places, and an odd tail.
    const int count = 65536 + 3;
    std::vector<unsigned char> planes(4 * (size_t)count);
    for (int i = 0; i < count; i++) {
        planes[i] = (unsigned char)i;
        planes[count + i] = (unsigned char)(i * 7);
        planes[2 * count + i] = (unsigned char)(i * 13);
        planes[3 * count + i] = (unsigned char)(i >> 8);
    }
    std::vector<double> row(3 * (size_t)count);
    rgbe_unpack_row(planes.data(), count, row.data());
    for (int i = 0; i < count; i++) {
        Bytes bytes = {planes[i], planes[count + i], planes[2 * count + i], planes[3 * count + i]};
        std::vector<double> rgb = unpack(bytes);
        for (int k = 0; k < 3; k++) {
            double expected = bytes[3] && bytes[k] ? std::ldexp(bytes[k], bytes[3] - 136) : 1e-6;
            ASSERT_EQ(expected, rgb[k]) << i;
            ASSERT_EQ(expected, row[3 * i + k]) << i;
        }
    }
}

TEST(RgbeFlat, WritesAndReadsFourBytesPerPixel)
{
    std::vector<double> pixels = {1.0, 0.5, 0.25, 3.0, 2.0, 1.0};
    std::string bytes = written_bytes([&](FILE *s) { EXPECT_EQ(0, rgbe_put_flat(s, pixels.data(), 2)); });
    EXPECT_EQ(std::string("\x80\x40\x20\x81\xc0\x80\x40\x82"), bytes);
    std::vector<double> back(6, -1);
    ByteReader reader(bytes);
    EXPECT_EQ(0, rgbe_get_flat(reader.stream, back.data(), 2));
    EXPECT_EQ(pixels, back);
}

TEST(RgbeFlat, CountsOfZeroOrLessDoNothing)
{
    std::vector<double> pixels(3, 7.0);
    for (int count : {0, -1, -100}) {
        EXPECT_EQ("", written_bytes([&](FILE *s) { EXPECT_EQ(0, rgbe_put_flat(s, pixels.data(), count)); }));
        ByteReader reader("abcd");
        EXPECT_EQ(0, rgbe_get_flat(reader.stream, pixels.data(), count));
        EXPECT_EQ(0, reader.position());
        EXPECT_EQ(7.0, pixels[0]);
    }
}

TEST(RgbeFlat, ShortReadKeepsWholePixels)
{
    std::string bytes("\x80\x40\x20\x81\xc0\x80\x40\x82\x01", 9);
    std::vector<double> back(9, -1);
    ByteReader reader(bytes);
    int status = 0;
    std::string err = captured_stderr([&] { status = rgbe_get_flat(reader.stream, back.data(), 3); });
    EXPECT_EQ(-1, status);
    EXPECT_EQ(READ_AT_END, err);
    EXPECT_EQ((std::vector<double>{1.0, 0.5, 0.25, 3.0, 2.0, 1.0, -1, -1, -1}), back);
}

TEST(RgbeFlat, FailedWriteIsReported)
{
    std::vector<double> pixels(30, 1.0);
    FILE *stream = full_stream();
    int status = 0;
    std::string err = captured_stderr([&] { status = rgbe_put_flat(stream, pixels.data(), 10); });
    fclose(stream);
    EXPECT_EQ(-1, status);
    EXPECT_EQ("RGBE write error: No space left on device\n", err);
}

}  // namespace
