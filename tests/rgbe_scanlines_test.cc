#include "rgbe/rgbe.h"
#include "rgbe/rgbe_internal.h"
#include "tests/codec_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

std::string runs(const std::string &plane)
{
    return written_bytes([&](FILE *s) {
        EXPECT_EQ(0, rgbe_put_byte_runs(s, (const unsigned char *)plane.data(), (int32_t)plane.size()));
    });
}

std::string packet(int count, const std::string &bytes)
{
    return std::string(1, (char)count) + bytes;
}

TEST(RgbeByteRuns, PacketsAsTheEncoderChoosesThem)
{
    EXPECT_EQ(packet(8, "AAABCDEF"), runs("AAABCDEF"));
    EXPECT_EQ(packet(130, "A") + packet(134, "B"), runs("AABBBBBB"));
    EXPECT_EQ(packet(4, "ABCD") + packet(132, "A"), runs("ABCDAAAA"));
    EXPECT_EQ(packet(132, "A") + packet(4, "BBBC"), runs("AAAABBBC"));
    EXPECT_EQ(packet(4, "ABBB") + packet(132, "C") + packet(130, "D"), runs("ABBBCCCCDD"));
    EXPECT_EQ(packet(131, "A"), runs("AAA"));
    EXPECT_EQ(packet(3, "ABB"), runs("ABB"));
    EXPECT_EQ(packet(1, "A"), runs("A"));
    EXPECT_EQ("", runs(""));
    EXPECT_EQ(packet(255, "x") + packet(255, "x") + packet(174, "x"), runs(std::string(300, 'x')));
    std::string distinct;
    for (int i = 0; i < 200; i++)
        distinct += (char)(i % 2 ? 'a' + i % 13 : 'A' + i % 17);
    EXPECT_EQ(packet(128, distinct.substr(0, 128)) + packet(72, distinct.substr(128)), runs(distinct));
}

// The packets of a plane as the format's rules give them, looking for runs one byte at a time.
std::string plain_runs(const std::string &data)
{
    std::string out;
    size_t n = data.size(), cur = 0;
    while (cur < n) {
        size_t beg = cur, run = 0, prev = 0;
        bool found = false;
        while (beg < n) {
            beg += run;
            prev = run;
            run = 1;
            while (beg + run < n && run < 127 && data[beg + run] == data[beg])
                run++;
            if (beg < n && run >= 4) {
                found = true;
                break;
            }
        }
        beg = std::min(beg, n);
        if (prev > 1 && prev == beg - cur)
            out += packet(128 + (int)prev, data.substr(cur, 1));
        for (size_t at = cur; !(prev > 1 && prev == beg - cur) && at < beg; at += 128)
            out += packet((int)std::min<size_t>(128, beg - at), data.substr(at, std::min<size_t>(128, beg - at)));
        cur = beg;
        if (found) {
            out += packet(128 + (int)run, data.substr(beg, 1));
            cur = beg + run;
        }
    }
    return out;
}

TEST(RgbeByteRuns, SameAsAPlainSearchAtEveryOffset)
{
    unsigned state = 7;
    for (size_t n = 1; n <= 64; n++) {
        for (size_t offset = 0; offset < n; offset++) {
            for (size_t length : {2, 3, 4, 5, 9, 127, 130}) {
                std::string plane;
                for (size_t i = 0; i < n; i++, state = state * 1103515245u + 12345u)
                    plane += (char)('a' + (state >> 16) % 3);  // short runs by chance
                plane.replace(offset, std::min(length, n - offset), std::min(length, n - offset), 'z');
                ASSERT_EQ(plain_runs(plane), runs(plane)) << plane;
            }
        }
    }
}

std::string encode(const std::vector<double> &pixels, int width, int rows)
{
    return written_bytes([&](FILE *s) { EXPECT_EQ(0, rgbe_put_scanlines(s, pixels.data(), width, rows)); });
}

struct Decoded {
    int status;
    std::vector<double> pixels;
    std::string err;
    long position;
};

Decoded decode(const std::string &bytes, int width, int rows)
{
    Decoded d;
    d.pixels.assign(width > 0 && rows > 0 ? (size_t)width * rows * 3 : 3, -1.0);
    ByteReader reader(bytes);
    d.err = captured_stderr([&] { d.status = rgbe_get_scanlines(reader.stream, d.pixels.data(), width, rows); });
    d.position = reader.position();
    return d;
}

std::string flat_bytes(const std::vector<double> &pixels, size_t count)
{
    return written_bytes([&](FILE *s) { EXPECT_EQ(0, rgbe_put_flat(s, pixels.data(), (int32_t)count)); });
}

TEST(RgbeScanlines, RoundTripsAtEveryKindOfWidth)
{
    for (int width : {1, 7, 8, 9, 300, 32767, 32768}) {
        int rows = width > 1000 ? 2 : 5;
        std::vector<double> pixels = exact_pixels(width, rows, (unsigned)width);
        std::string bytes = encode(pixels, width, rows);
        bool coded = width >= 8 && width <= 32767;
        if (coded) {
            EXPECT_EQ(std::string({2, 2, (char)(width >> 8), (char)(width & 255)}), bytes.substr(0, 4));
        } else {
            EXPECT_EQ(flat_bytes(pixels, (size_t)width * rows), bytes) << width;
        }
        Decoded d = decode(bytes, width, rows);
        EXPECT_EQ(0, d.status) << width;
        EXPECT_EQ(pixels, d.pixels) << width;
        EXPECT_EQ((long)bytes.size(), d.position) << width;  // no byte read beyond the data
    }
}

TEST(RgbeScanlines, BlackRowAndMarker)
{
    std::vector<double> black(8 * 3, 0.0);
    std::string one_run = packet(136, std::string(1, '\0'));
    EXPECT_EQ(std::string({2, 2, 0, 8}) + one_run + one_run + one_run + one_run, encode(black, 8, 1));
    std::vector<double> wide(300 * 3, 0.0);
    EXPECT_EQ(std::string({2, 2, 1, 44}), encode(wide, 300, 1).substr(0, 4));
    EXPECT_EQ("", encode(black, 8, 0));
}

TEST(RgbeScanlines, ReaderAcceptsShortRunsAndLongLiterals)
{
    // Width 128: red as 128 literals, green as 128 runs of one, blue and exponent as runs.
    std::string literal;
    for (int i = 0; i < 128; i++)
        literal += (char)(i + 1);
    std::string ones;
    for (int i = 0; i < 128; i++)
        ones += packet(129, "\x40");
    std::string bytes = std::string({2, 2, 0, (char)128}) + packet(128, literal) + ones +
                        packet(255, "\x20") + packet(129, "\x20") + packet(255, "\x81") + packet(129, "\x81");
    Decoded d = decode(bytes, 128, 1);
    ASSERT_EQ(0, d.status) << d.err;
    EXPECT_EQ(1 / 128.0, d.pixels[0]);
    EXPECT_EQ(0.5, d.pixels[1]);
    EXPECT_EQ(0.25, d.pixels[2]);
    EXPECT_EQ(1.0, d.pixels[127 * 3]);
}

TEST(RgbeScanlines, FlatFallbackAtAnyRow)
{
    const int width = 10, rows = 4;
    std::vector<double> pixels = exact_pixels(width, rows, 3);
    // Row 0 flat: its first 4 bytes are no marker (bit 7 of byte 2 set is no marker either).
    std::string flat = flat_bytes(pixels, width * rows);
    Decoded d = decode(flat, width, rows);
    EXPECT_EQ(0, d.status);
    EXPECT_EQ(pixels, d.pixels);

    std::string marker_like = flat;
    marker_like[0] = 2, marker_like[1] = 2, marker_like[2] = (char)0x80;
    d = decode(marker_like, width, rows);
    EXPECT_EQ(0, d.status);
    EXPECT_EQ(2 * std::ldexp(1.0, (unsigned char)marker_like[3] - 136), d.pixels[0]);

    // Rows 0 and 1 coded, then flat to the end.
    std::string coded = encode(std::vector<double>(pixels.begin(), pixels.begin() + 2 * width * 3), width, 2);
    std::vector<double> rest(pixels.begin() + 2 * width * 3, pixels.end());
    d = decode(coded + flat_bytes(rest, 2 * width), width, rows);
    EXPECT_EQ(0, d.status);
    EXPECT_EQ(pixels, d.pixels);

    // Each row decides for itself: a flat row, a coded one, then a flat one again. Row 0's
    // pixels are 128, 64, 32 at exponent 129: 1, 0.5, 0.25; row 1's 128, 64, 32 at 130; row 2's
    // 192, 0, 64 at 128: 0.75, the floor 1e-6, 0.25.
    std::string mixed;
    for (int x = 0; x < 8; x++)
        mixed += std::string({(char)128, 64, 32, (char)129});
    mixed += std::string({2, 2, 0, 8}) + packet(136, "\x80") + packet(136, "\x40") + packet(136, "\x20") +
             packet(136, "\x82");
    for (int x = 0; x < 8; x++)
        mixed += std::string({(char)192, 0, 64, (char)128});
    d = decode(mixed, 8, 3);
    EXPECT_EQ(0, d.status) << d.err;
    EXPECT_EQ((long)mixed.size(), d.position);
    for (int x = 0; x < 8; x++) {
        EXPECT_EQ((std::vector<double>{1.0, 0.5, 0.25}), std::vector<double>(&d.pixels[3 * x], &d.pixels[3 * x + 3]));
        EXPECT_EQ((std::vector<double>{2.0, 1.0, 0.5}), std::vector<double>(&d.pixels[24 + 3 * x], &d.pixels[27 + 3 * x]));
        EXPECT_EQ((std::vector<double>{0.75, 1e-6, 0.25}), std::vector<double>(&d.pixels[48 + 3 * x], &d.pixels[51 + 3 * x]));
    }
}

TEST(RgbeScanlines, BandByBandAsWhole)
{
    const int width = 10, rows = 12, band = 4;
    std::vector<double> pixels = exact_pixels(width, rows, 5);
    for (int k : {0, 3, 4, 5, 12}) {  // coded rows 0 .. k - 1, then flat
        std::vector<double> coded(pixels.begin(), pixels.begin() + k * width * 3);
        std::vector<double> rest(pixels.begin() + k * width * 3, pixels.end());
        std::string bytes = encode(coded, width, k) + flat_bytes(rest, (rows - k) * width);
        if (k == 3)  // a flat pixel at the start of a band that looks like another width's marker
            bytes.replace(bytes.size() - 8 * width * 4, 4, std::string({2, 2, 0, (char)(width + 1)}));
        std::vector<double> whole = decode(bytes, width, rows).pixels, banded(whole.size());
        ByteReader reader(bytes);
        RgbeScanlineState state = {false};
        for (int y = 0; y < rows; y += band)
            ASSERT_EQ(0, rgbe_get_scanline_band(reader.stream, &banded[y * width * 3], width, band, &state));
        EXPECT_EQ(whole, banded) << k;
        EXPECT_EQ(k < rows, state.flat);
    }
    // Once flat, the writer stays flat for every later band.
    RgbeScanlineState state = {true};
    EXPECT_EQ(flat_bytes(pixels, width * band), written_bytes([&](FILE *s) {
        EXPECT_EQ(0, rgbe_put_scanline_band(s, pixels.data(), width, band, &state));
    }));
}

TEST(RgbeScanlines, MalformedData)
{
    const std::string bad = "RGBE bad file format: bad scanline data\n";
    std::string marker = {2, 2, 0, 8};
    EXPECT_EQ("RGBE bad file format: wrong scanline width\n",
              decode(std::string({2, 2, 2, (char)128}) + std::string(100, 'x'), 641, 1).err);
    EXPECT_EQ("RGBE bad file format: wrong scanline width\n",  // the low byte alone would match
              decode(std::string({2, 2, 1, 8}) + std::string(100, 'x'), 8, 1).err);
    EXPECT_EQ(bad, decode(marker + packet(0, "x"), 8, 1).err);
    EXPECT_EQ(bad, decode(marker + packet(138, "x"), 8, 1).err);         // run of 10 in 8 bytes
    EXPECT_EQ(bad, decode(marker + packet(130, "x") + packet(135, "x"), 8, 1).err);  // 1 over
    EXPECT_EQ(bad, decode(marker + packet(9, "abcdefghi"), 8, 1).err);
    EXPECT_EQ(bad, decode(marker + packet(4, "abcd") + packet(5, "abcde"), 8, 1).err);
    Decoded d = decode(marker + packet(136, "x") + packet(136, "x") + packet(136, "x") + packet(136, "\x81"), 8, 2);
    EXPECT_EQ(-1, d.status);
    EXPECT_EQ(1.0 / 256 * 'x' * 2, d.pixels[0]);  // the first row was decoded
    EXPECT_EQ(-1.0, d.pixels[8 * 3]);             // the second was not
}

TEST(RgbeScanlines, TruncatedAtEveryByteFails)
{
    const int width = 12, rows = 3;
    std::vector<double> pixels = exact_pixels(width, rows, 9);
    for (std::string bytes : {encode(pixels, width, rows), flat_bytes(pixels, width * rows)}) {
        for (size_t cut = 0; cut < bytes.size(); cut++) {
            Decoded d = decode(bytes.substr(0, cut), width, rows);
            ASSERT_EQ(-1, d.status) << cut;
            ASSERT_EQ(READ_AT_END, d.err) << cut;
        }
    }
}

TEST(RgbeScanlines, SizesThatHoldNoPixels)
{
    std::vector<double> pixels(3, 5.0);
    for (int width : {-5, 0, 4, 40}) {
        for (int rows : {-3, 0}) {
            EXPECT_EQ("", encode(pixels, width, rows));
            Decoded d = decode("", width, rows);
            EXPECT_EQ(0, d.status);
        }
    }
    // Negative by negative is not a positive pixel count.
    EXPECT_EQ("", encode(pixels, -5, -3));
}

TEST(RgbeScanlines, FailedWriteIsReported)
{
    std::vector<double> pixels = exact_pixels(64, 4);
    for (int width : {64, 4}) {
        FILE *stream = full_stream();
        int status = 0;
        std::string err = captured_stderr([&] { status = rgbe_put_scanlines(stream, pixels.data(), width, 4); });
        fclose(stream);
        EXPECT_EQ(-1, status);
        EXPECT_EQ("RGBE write error: No space left on device\n", err);
    }
}

}  // namespace
