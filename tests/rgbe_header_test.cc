#include "rgbe/rgbe.h"
#include "tests/codec_support.h"

#include <cstring>

namespace {

struct ReadResult {
    int status;
    int32_t width, height;
    RgbeHeaderInfo info;
    std::string err;
    long position;
};

ReadResult read_header(const std::string &bytes, bool with_info = true)
{
    ReadResult r = {};
    r.width = r.height = -999;
    ByteReader reader(bytes);
    r.err = captured_stderr([&] {
        r.status = rgbe_header_read(reader.stream, &r.width, &r.height, with_info ? &r.info : nullptr);
    });
    r.position = reader.position();
    return r;
}

const std::string NO_FORMAT = "RGBE bad file format: no FORMAT specifier found\n";
const std::string NO_BLANK = "RGBE bad file format: missing blank line after FORMAT specifier\n";
const std::string NO_SIZE = "RGBE bad file format: missing image size specifier\n";

TEST(RgbeHeaderWrite, WithoutInfoWritesFourLines)
{
    std::string bytes = written_bytes([](FILE *s) { EXPECT_EQ(0, rgbe_header_write(s, 640, 480, nullptr)); });
    EXPECT_EQ("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 480 +X 640\n", bytes);
}

TEST(RgbeHeaderWrite, WithInfoWritesItsLinesBeforeFormat)
{
    RgbeHeaderInfo info = {7, "RENDER", 2.2f, 0.5f};
    std::string bytes = written_bytes([&](FILE *s) { EXPECT_EQ(0, rgbe_header_write(s, 640, 480, &info)); });
    EXPECT_EQ("#?RENDER\nGAMMA=2.2\nEXPOSURE=0.5\nFORMAT=32-bit_rle_rgbe\n\n-Y 480 +X 640\n", bytes);

    // Read back, those lines stand before FORMAT and are skipped.
    ReadResult r = read_header(bytes);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(640, r.width);
    EXPECT_EQ(480, r.height);
    EXPECT_EQ(RGBE_HAS_PROGRAM_TYPE, r.info.present);
    EXPECT_STREQ("RENDER", r.info.program_type);
    EXPECT_EQ(1.0f, r.info.gamma);
    EXPECT_EQ(1.0f, r.info.exposure);
    EXPECT_EQ((long)bytes.size(), r.position);
}

TEST(RgbeHeaderWrite, FailedWriteIsReported)
{
    FILE *stream = full_stream();
    int status = 0;
    std::string err = captured_stderr([&] { status = rgbe_header_write(stream, 8, 8, nullptr); });
    fclose(stream);
    EXPECT_EQ(-1, status);
    EXPECT_EQ("RGBE write error: No space left on device\n", err);
}

TEST(RgbeHeaderRead, TakesGammaAndExposureRightAfterFormat)
{
    std::string bytes = "#?RGBE\nFORMAT=32-bit_rle_rgbe\nGAMMA=2.2\nEXPOSURE=0.5\n\n-Y 2 +X 3\nPIXELS";
    ReadResult r = read_header(bytes);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(7, r.info.present);
    EXPECT_EQ(2.2f, r.info.gamma);
    EXPECT_EQ(0.5f, r.info.exposure);
    EXPECT_EQ(3, r.width);
    EXPECT_EQ(2, r.height);
    EXPECT_EQ((long)bytes.size() - 6, r.position);

    // Without an info record these lines are skipped like any other.
    r = read_header(bytes, false);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(3, r.width);
}

TEST(RgbeHeaderRead, SkipsOtherLinesBetweenFormatAndEmptyLine)
{
    // As written by widespread image libraries and by Radiance's own filters.
    ReadResult r = read_header("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=1.000000e+00\n"
                               "COLORCORR= 1.000000 1.000000 1.000000\nSOFTWARE=x 1.0\n\n-Y 5 +X 9\n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(RGBE_HAS_PROGRAM_TYPE | RGBE_HAS_EXPOSURE, r.info.present);
    EXPECT_EQ(9, r.width);
    EXPECT_EQ(5, r.height);

    r = read_header("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\npfilt -x 1024 -y 676\nGAMMA=2\n\n-Y 5 +X 9\n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(RGBE_HAS_PROGRAM_TYPE, r.info.present);  // a GAMMA line after other lines is not taken
    EXPECT_EQ(1.0f, r.info.gamma);

    // Exposure before gamma: the exposure is taken, the gamma line is skipped.
    r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=2\nGAMMA=3\n\n-Y 1 +X 1\n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(RGBE_HAS_PROGRAM_TYPE | RGBE_HAS_EXPOSURE, r.info.present);
    EXPECT_EQ(2.0f, r.info.exposure);
    EXPECT_EQ(1.0f, r.info.gamma);
}

TEST(RgbeHeaderRead, MissingEmptyLineStillFails)
{
    EXPECT_EQ(NO_BLANK, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n-Y 2 +X 3\n").err);
    EXPECT_EQ(NO_BLANK, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\nA=1\n+X 2 -Y 3\n").err);
    EXPECT_EQ(NO_BLANK, read_header(std::string("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\0x\n", 33)).err);
    ReadResult r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\nSOFTWARE=x");
    EXPECT_EQ(-1, r.status);
    EXPECT_EQ(READ_AT_END, r.err);
}

TEST(RgbeHeaderRead, ProgramType)
{
    EXPECT_STREQ("", read_header("#?\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n").info.program_type);
    ReadResult r = read_header("#?ABCDEFGHIJKLMNOPQRST\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n");
    EXPECT_STREQ("ABCDEFGHIJKLMNO", r.info.program_type);
    EXPECT_EQ(RGBE_HAS_PROGRAM_TYPE, r.info.present);
    EXPECT_STREQ("A", read_header("#?A B\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n").info.program_type);
}

TEST(RgbeHeaderRead, LongLinesAreOneLine)
{
    // A comment line of exactly 127 bytes before its newline, and one of 5000 bytes.
    for (size_t length : {126u, 127u, 128u, 5000u}) {
        std::string bytes = "#?RGBE\n" + std::string(length, 'c') + "\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 6\n";
        ReadResult r = read_header(bytes);
        EXPECT_EQ(0, r.status) << length;
        EXPECT_EQ(6, r.width) << length;
        EXPECT_EQ((long)bytes.size(), r.position);
    }
    // A long line whose start is the format line is not the format line.
    ReadResult r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe" + std::string(200, ' ') + "\n\n");
    EXPECT_EQ(NO_FORMAT, r.err);
}

TEST(RgbeHeaderRead, Failures)
{
    EXPECT_EQ("RGBE bad file format: bad initial token\n", read_header("#!RGBE\n").err);
    EXPECT_EQ(NO_FORMAT, read_header("#?RGBE\n\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n").err);
    EXPECT_EQ(NO_FORMAT, read_header(std::string("#?RGBE\n\0FORMAT", 14)).err);
    EXPECT_EQ(NO_FORMAT, read_header(std::string("#?RGBE\nA\n\0FORMAT", 16), false).err);
    // Carriage returns: neither the format line nor the empty line is recognised.
    EXPECT_EQ(NO_FORMAT, read_header("#?RGBE\r\nFORMAT=32-bit_rle_rgbe\r\n\r\n-Y 1 +X 1\r\n\n").err);

    ReadResult r = read_header("");
    EXPECT_EQ(-1, r.status);
    EXPECT_EQ(READ_AT_END, r.err);

    EXPECT_EQ(NO_SIZE, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n+Y 2 +X 3\n").err);
    r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 -X 3\n");
    EXPECT_EQ(NO_SIZE, r.err);
    EXPECT_EQ(2, r.height);  // stored before the width failed
    // Numbers that don't fit in 32 bits are no numbers.
    EXPECT_EQ(NO_SIZE, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 4294967297\n").err);
    EXPECT_EQ(NO_SIZE, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 99999999999999999999 +X 1\n").err);
}

TEST(RgbeHeaderRead, EndsQuicklyOnWhatIsNoHeader)
{
    // A first line that departs from "#?" is refused at that byte, however long it is.
    ReadResult r = read_header(std::string(3 << 20, '\0'));
    EXPECT_EQ("RGBE bad file format: bad initial token\n", r.err);
    EXPECT_EQ(1, r.position);
    // Endless comments, before or after the format line, end at the header's bound.
    const std::string too_long = "RGBE bad file format: header longer than 1 MiB\n";
    std::string comments;
    while (comments.size() <= (1u << 20))
        comments += "# a comment line\n";
    EXPECT_EQ(too_long, read_header("#?RGBE\n" + comments).err);
    EXPECT_EQ(too_long, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n" + comments, false).err);
    EXPECT_EQ(too_long, read_header("#?" + std::string(2 << 20, 'x')).err);
    // A header of exactly 1 MiB reads; one byte more does not.
    const std::string end = "\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n";
    comments.resize((1 << 20) - 7 - end.size());
    EXPECT_EQ(0, read_header("#?RGBE\n" + comments + end).status);
    EXPECT_EQ(too_long, read_header("#?RGBE\n" + comments + "#" + end).err);
}

TEST(RgbeHeaderRead, SizeLineForms)
{
    ReadResult r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y480+X640\n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(640, r.width);
    EXPECT_EQ(480, r.height);
    r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y -5 +X 10\n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(-5, r.height);
    r = read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y  -2147483648 +X\t2147483647\n");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(INT32_MIN, r.height);
    EXPECT_EQ(INT32_MAX, r.width);
    EXPECT_EQ(NO_SIZE, read_header("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2147483648\n").err);
}

TEST(RgbeFail, MessagesByCode)
{
    int status = 0;
    EXPECT_EQ("RGBE error: boom\n", captured_stderr([&] { status = rgbe_fail(7, "boom"); }));
    EXPECT_EQ(-1, status);
    EXPECT_EQ("RGBE error: out\n", captured_stderr([&] { status = rgbe_fail(RGBE_ERR_MEMORY, "out"); }));
    EXPECT_EQ("RGBE bad file format: bad\n", captured_stderr([&] { rgbe_fail(RGBE_ERR_FORMAT, "bad"); }));
    errno = ENOSPC;
    EXPECT_EQ("RGBE write error: No space left on device\n",
              captured_stderr([&] { rgbe_fail(RGBE_ERR_WRITE, nullptr); }));
    errno = EIO;
    EXPECT_EQ("RGBE read error: Input/output error\n",
              captured_stderr([&] { rgbe_fail(RGBE_ERR_READ, nullptr); }));
}

}  // namespace
