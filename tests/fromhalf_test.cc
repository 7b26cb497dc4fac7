// pictor_fromhalf through the real program, in a scratch working directory.
#include "rgbe/rgbe.h"
#include "tests/codec_support.h"
#include "tests/exr_support.h"
#include "tests/test_support.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfRgbaYca.h>
#include <ImfStandardAttributes.h>

#include <csignal>
#include <sstream>
#include <thread>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string DONE = "\npictor: Done.\n";
RunResult fromhalf(const std::string &cwd, const std::vector<std::string> &args, long fsize = 0)
{
    RunOptions options;
    options.cwd = cwd;
    options.file_size_limit = fsize;
    options.timeout_seconds = 60;
    return run_program(fromhalf_path(), args, options);
}

std::string progress(const std::string &in, const std::string &out, int width, int height)
{
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    return "pictor: " + in + " [" + size + "]\nThe infilename is : " + in + "\nThe outfilename is : " + out +
           "\nThe width is : " + std::to_string(width) + "\nThe height is : " + std::to_string(height) + "\n";
}

// Halves of a picture with every plane varied, alpha varied too.
std::vector<ImfRgba> test_halves(int width, int height)
{
    std::vector<ImfRgba> pixels;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            pixels.push_back({half_of(0.01f * (x % 97) + y), half_of(0.5f + 0.001f * x),
                              half_of(x % 16 < 8 ? 0.25f : 3.0f), half_of(0.1f * (x % 5))});
    return pixels;
}

// The RGBE file the converter must write: our header (with lines before its FORMAT line) and
// scanlines of the halves' values.
std::string expected_rgbe(const std::vector<ImfRgba> &halves, int width, int height,
                          const char *lines = nullptr)
{
    std::vector<double> pixels;
    for (const ImfRgba &p : halves)
        for (ImfHalf h : {p.r, p.g, p.b})
            pixels.push_back(ImfHalfToFloat(h));
    return written_bytes([&](FILE *s) {
        rgbe_header_write_lines(s, width, height, nullptr, lines);
        rgbe_put_scanlines(s, pixels.data(), width, height);
    });
}

// The dump: per scanline, red, green, blue and alpha of each pixel as 32-bit floats.
std::string expected_dump(const std::vector<ImfRgba> &halves)
{
    std::string dump;
    for (const ImfRgba &p : halves) {
        for (ImfHalf h : {p.r, p.g, p.b, p.a}) {
            float f = ImfHalfToFloat(h);
            dump.append((const char *)&f, sizeof f);
        }
    }
    return dump;
}

// The bytes of a file with value written offset bytes after the start of name.
std::string patched(std::string bytes, const std::string &name, size_t offset,
                    const std::string &value)
{
    size_t at = bytes.find(name);
    return at == std::string::npos ? "" : bytes.replace(at + offset, value.size(), value);
}

TEST(Fromhalf, ConvertsAPicture)
{
    ScratchDir dir;
    std::vector<ImfRgba> halves = test_halves(640, 480);
    write_halves(dir / "in.exr", 0, 0, 640, 480, halves);
    write_file(dir / "inscanline_out.raw", "an earlier dump");
    RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(progress("in.exr", "out.hdr", 640, 480) + "Writing RGBE file.\n", r.out);
    EXPECT_EQ(DONE, r.err);
    std::string rgbe = read_file(dir / "out.hdr");
    EXPECT_EQ(0u, rgbe.find("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 480 +X 640\n\2\2\2\x80"));
    EXPECT_TRUE(rgbe == expected_rgbe(halves, 640, 480));
    std::string dump = read_file(dir / "inscanline_out.raw");
    EXPECT_EQ(16u * 640 * 480, dump.size());
    EXPECT_TRUE(dump == expected_dump(halves));
    EXPECT_EQ(3u, list_dir(dir.path).size());  // no temporary file left
}

TEST(Fromhalf, NarrowPicturesAreFlatAndAlphaPlaysNoPart)
{
    ScratchDir dir;
    std::vector<ImfRgba> halves = test_halves(4, 6);
    write_halves(dir / "in.exr", 0, 0, 4, 6, halves);
    RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", "a.hdr"});
    EXPECT_EQ(0, r.status);
    std::string flat = read_file(dir / "a.hdr");
    EXPECT_EQ(expected_rgbe(halves, 4, 6), flat);
    EXPECT_EQ(std::string("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 6 +X 4\n").size() + 4 * 4 * 6, flat.size());

    for (ImfRgba &p : halves)
        p.a = half_of(7.0f);
    write_halves(dir / "in.exr", 0, 0, 4, 6, halves);
    r = fromhalf(dir.path, {"-i", "in.exr", "-o", "b.hdr"});
    EXPECT_TRUE(flat == read_file(dir / "b.hdr"));
}

TEST(Fromhalf, DataWindowAwayFromTheOrigin)
{
    ScratchDir dir;
    std::vector<ImfRgba> halves = test_halves(20, 7);
    write_halves(dir / "in.exr", 30, 40, 20, 7, halves);
    RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(progress("in.exr", "out.hdr", 20, 7) + "Writing RGBE file.\n", r.out);
    EXPECT_TRUE(expected_rgbe(halves, 20, 7) == read_file(dir / "out.hdr"));
}

TEST(Fromhalf, HelpAfterTheInput)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 9, 3, test_halves(9, 3));
    RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-h"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("pictor: in.exr [9x3]\n", r.out);
    EXPECT_EQ(FROMHALF_USAGE, r.err);
    EXPECT_EQ(1u, list_dir(dir.path).size());
}

TEST(Fromhalf, InputFailures)
{
    ScratchDir dir;
    write_file(dir / "text.exr", "not an OpenEXR file");
    for (std::string name : {"missing.exr", "text.exr"}) {
        RunResult r = fromhalf(dir.path, {"-i", name, "-o", "out.hdr"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(0u, r.err.find("exrinput: "));
        EXPECT_NE(std::string::npos, r.err.find(name));
        EXPECT_EQ("pictor: Cannot open " + name + ".\n", r.err.substr(r.err.find('\n') + 1));
    }
    // No -i at all: nothing is read past the command line.
    RunResult r = fromhalf(dir.path, {"-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot open .\n", r.err.substr(r.err.find('\n') + 1));
    EXPECT_EQ(1u, list_dir(dir.path).size());
}

// A pipe can't be read twice, nor sought in: refused at once, whether or not its writer has
// finished. A block device holding a file is read as the file is.
TEST(Fromhalf, InputsThatAreNotRegularFiles)
{
    ScratchDir dir;
    ASSERT_EQ(0, mkfifo((dir / "pipe.exr").c_str(), 0600));
    RunResult r = fromhalf(dir.path, {"-i", "pipe.exr", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("exrinput: pipe.exr is a pipe; OpenEXR files are read from files that can be sought in.\n"
              "pictor: Cannot open pipe.exr.\n", r.err);
    EXPECT_EQ(1u, list_dir(dir.path).size());

    write_halves(dir / "in.exr", 0, 0, 64, 64, test_halves(64, 64));
    std::string bytes = read_file(dir / "in.exr");
    write_file(dir / "in.exr", bytes + std::string(511 - (bytes.size() + 511) % 512, '\0'));  // whole sectors
    FILE *attach = popen(("losetup -f --show " + dir / "in.exr" + " 2>/dev/null").c_str(), "r");
    char device[64] = "";
    bool attached = attach && fgets(device, sizeof device, attach) && device[0] == '/';
    if (attach)
        pclose(attach);
    if (!attached)
        GTEST_SKIP() << "no loop device to attach";
    device[strcspn(device, "\n")] = '\0';
    r = fromhalf(dir.path, {"-i", device, "-o", "out.hdr"});
    EXPECT_EQ(0, system(("losetup -d " + std::string(device)).c_str()));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(expected_rgbe(test_halves(64, 64), 64, 64) == read_file(dir / "out.hdr"));
}

TEST(Fromhalf, DamagedScanlines)
{
    ScratchDir dir;
    std::vector<ImfRgba> halves = test_halves(64, 64);
    write_halves(dir / "full.exr", 0, 0, 64, 64, halves, IMF_ZIP_COMPRESSION);
    std::string bytes = read_file(dir / "full.exr");
    write_file(dir / "cut.exr", bytes.substr(0, bytes.size() * 3 / 4));
    write_file(dir / "out.hdr", "earlier");
    RunResult r = fromhalf(dir.path, {"-i", "cut.exr", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(progress("cut.exr", "out.hdr", 64, 64), r.out);
    EXPECT_EQ(0u, r.err.find("exrinput: "));
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n'));  // one message
    EXPECT_TRUE("earlier" == read_file(dir / "out.hdr"));
    EXPECT_FALSE(file_exists(dir / "inscanline_out.raw"));

    // Uncompressed, a file cut short can't hold its pixels: refused before anything is read.
    write_halves(dir / "full.exr", 0, 0, 64, 64, halves, IMF_NO_COMPRESSION);
    bytes = read_file(dir / "full.exr");
    write_file(dir / "cut.exr", bytes.substr(0, 64 * 64 * 8 - 1));  // one byte short of the halves
    r = fromhalf(dir.path, {"-i", "cut.exr", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: cut.exr is damaged: 32767 bytes can't hold 64 x 64 pixels.\n", r.err);
    EXPECT_EQ(3u, list_dir(dir.path).size());
}

TEST(Fromhalf, PathsThatMustNotBeWritten)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 9, 3, test_halves(9, 3));
    std::string original = read_file(dir / "in.exr");
    for (std::string same : {std::string("in.exr"), dir / "in.exr"}) {
        RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", same});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(progress("in.exr", same, 9, 3), r.out);
        EXPECT_EQ("pictor: The input and the output are the same file: " + same + "\n", r.err);
        EXPECT_TRUE(original == read_file(dir / "in.exr"));
    }
    // An input named like the dump would be overwritten by the dump while it is read.
    write_file(dir / "inscanline_out.raw", original);
    RunResult r = fromhalf(dir.path, {"-i", "inscanline_out.raw", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: The input is the dump file inscanline_out.raw; it would be overwritten.\n", r.err);
    EXPECT_TRUE(original == read_file(dir / "inscanline_out.raw"));
    // Outputs that are the dump of the run, by any name, before any dump exists.
    unlink((dir / "inscanline_out.raw").c_str());
    for (std::string dump : {std::string("inscanline_out.raw"), dir / "inscanline_out.raw"}) {
        r = fromhalf(dir.path, {"-i", "in.exr", "-o", dump});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("pictor: The output " + dump + " is the dump file inscanline_out.raw; one would overwrite the other.\n", r.err);
    }
    EXPECT_EQ(1u, list_dir(dir.path).size());
    // The null device as both, the dump by its link: nothing can overwrite anything.
    ASSERT_EQ(0, symlink("/dev/null", (dir / "inscanline_out.raw").c_str()));
    r = fromhalf(dir.path, {"-i", "in.exr", "-o", "/dev/null"});
    EXPECT_EQ(0, r.status) << r.err;
    unlink((dir / "inscanline_out.raw").c_str());
    // Options in another order: the parsed -i path is read.
    r = fromhalf(dir.path, {"-o", "out.hdr", "-i", "in.exr"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("pictor: in.exr [9x3]\n", r.out.substr(0, 21));
}

TEST(Fromhalf, OutputFailures)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 9, 3, test_halves(9, 3));
    struct Case {
        std::string out, err;
    } cases[] = {
        {"", "Cannot open output file \n"},
        {"missing/out.hdr", "Cannot open output file missing/out.hdr\n"},
        {"/proc/out.hdr", "Cannot open output file /proc/out.hdr\n"},
        {"folder", "pictor: Cannot write folder: Is a directory\n"},
    };
    ASSERT_EQ(0, mkdir((dir / "folder").c_str(), 0755));
    for (const Case &c : cases) {
        std::vector<std::string> args = {"-i", "in.exr"};
        if (!c.out.empty())
            args.insert(args.end(), {"-o", c.out});
        RunResult r = fromhalf(dir.path, args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(progress("in.exr", c.out, 9, 3) + "Writing RGBE file.\n", r.out);
        EXPECT_EQ(c.err, r.err);
    }
    EXPECT_EQ(2u, list_dir(dir.path).size());  // found before any work: no dump either
}

TEST(Fromhalf, FullDisk)
{
    ScratchDir dir;
    for (int size : {10, 1000}) {
        std::vector<ImfRgba> halves = test_halves(size, size);
        write_halves(dir / "in.exr", 0, 0, size, size, halves);
        RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", "/dev/full"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(progress("in.exr", "/dev/full", size, size) + "Writing RGBE file.\n", r.out);
        EXPECT_EQ("pictor: Cannot write /dev/full: No space left on device\n", r.err);

        // The dump fills the disk, at once or in its last band: the write error and status -1,
        // no new dump and no RGBE file; the earlier dump and picture stay as they were.
        std::string dump = read_file(dir / "inscanline_out.raw");
        write_file(dir / "out.hdr", "earlier");
        for (long limit : {(long)read_file(dir / "in.exr").size() + 100, 16L * size * size - 1}) {
            r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"}, limit);
            EXPECT_EQ(255, r.status);
            EXPECT_EQ(progress("in.exr", "out.hdr", size, size), r.out);
            EXPECT_EQ("RGBE write error: File too large\npictor: Cannot write inscanline_out.raw.\n", r.err);
            EXPECT_TRUE(dump == read_file(dir / "inscanline_out.raw"));
            EXPECT_TRUE("earlier" == read_file(dir / "out.hdr"));
            EXPECT_EQ(3u, list_dir(dir.path).size());
        }
        unlink((dir / "inscanline_out.raw").c_str());

        // The RGBE file fails, the dump (to a pipe) goes on to its end: status 1, the earlier
        // file kept. Pixels that code into more than the stream's buffer, so that the RGBE file
        // fails while the dump is written.
        for (size_t i = 0; i < halves.size(); i++)
            halves[i].r = (ImfHalf)(0x3000 + i * 7919 % 3001);
        write_halves(dir / "in.exr", 0, 0, size, size, halves);
        ASSERT_EQ(0, mkfifo((dir / "inscanline_out.raw").c_str(), 0600));
        std::string piped;
        std::thread dump_reader([&] { piped = read_file(dir / "inscanline_out.raw"); });
        r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"}, 100);
        dump_reader.join();
        EXPECT_EQ(16u * size * size, piped.size());
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(progress("in.exr", "out.hdr", size, size) + "Writing RGBE file.\n", r.out);
        EXPECT_EQ("RGBE write error: File too large\n", r.err);
        EXPECT_TRUE("earlier" == read_file(dir / "out.hdr"));
        EXPECT_EQ(3u, list_dir(dir.path).size());
        unlink((dir / "inscanline_out.raw").c_str());
    }
}

TEST(Fromhalf, FlatPicturesOfEveryCompressionAndVeryWideAndTallOnesConvert)
{
    ScratchDir dir;
    std::vector<ImfRgba> flat(512 * 512, ImfRgba{0x3c00, 0x3800, 0x3400, 0x3c00});
    for (int compression : {IMF_NO_COMPRESSION, IMF_RLE_COMPRESSION, IMF_ZIPS_COMPRESSION, IMF_ZIP_COMPRESSION,
                            IMF_PIZ_COMPRESSION, IMF_PXR24_COMPRESSION, IMF_B44_COMPRESSION, IMF_B44A_COMPRESSION,
                            IMF_DWAA_COMPRESSION, IMF_DWAB_COMPRESSION}) {
        write_halves(dir / "in.exr", 0, 0, 512, 512, flat, compression);  // as small as it gets
        RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"});
        EXPECT_EQ(0, r.status) << compression << ": " << r.err;
    }
    // So wide that the library's buffers for a block of 16 rows take 150 MB at its open.
    std::vector<ImfRgba> wide((size_t)400000 * 16, ImfRgba{0x3c00, 0x3800, 0x3400, 0x3c00});
    write_halves(dir / "in.exr", 0, 0, 400000, 16, wide, IMF_ZIP_COMPRESSION);
    RunResult r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"});
    EXPECT_EQ(0, r.status) << r.err;
    // So tall, 8 million rows of one pixel in 5 MB, that the library's tables of 16 bytes a row
    // take 128 MB at its open: one block of 256 rows, copied. (The sanitizers' allocators take a
    // minute over its 31,250 blocks; the bound is the normal build's.)
    if (failing_malloc_path().empty())
        return;
    write_halves(dir / "block.exr", 0, 0, 1, 256, std::vector<ImfRgba>(256, flat[0]), IMF_DWAB_COMPRESSION);
    std::string block = read_file(dir / "block.exr");
    size_t table = 0;  // where the table of block offsets begins: its one entry points past itself
    while (table + 8 < block.size() && *(const uint64_t *)&block[table] != table + 8)
        table++;
    ASSERT_LT(table + 8, block.size());
    const int32_t rows = 8000000, blocks = rows / 256;
    int32_t window[4] = {0, 0, 0, rows - 1};
    std::string tall = patched(block.substr(0, table), "dataWindow", 21, std::string((char *)window, 16));
    std::string chunk = block.substr(table + 8);
    uint64_t offset = tall.size() + 8 * (uint64_t)blocks;
    for (int32_t k = 0; k < blocks; k++, offset += chunk.size())
        tall.append((const char *)&offset, 8);
    for (int32_t k = 0; k < blocks; k++) {
        int32_t y = 256 * k;
        tall += chunk.replace(0, 4, (const char *)&y, 4);
    }
    write_file(dir / "tall.exr", tall);
    // A data limit the user set lower stays: the open that needs more fails.
    RunOptions limited;
    limited.cwd = dir.path;
    limited.data_limit = 120L << 20;
    r = run_program(fromhalf_path(), {"-i", "tall.exr", "-o", "out.hdr"}, limited);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("exrinput: std::bad_alloc\npictor: Cannot open tall.exr.\n", r.err);
    r = fromhalf(dir.path, {"-i", "tall.exr", "-o", "out.hdr"});
    EXPECT_EQ(0, r.status) << r.err;
    struct stat st;
    ASSERT_EQ(0, stat((dir / "inscanline_out.raw").c_str(), &st));
    EXPECT_EQ(16 * (off_t)rows, st.st_size);
}

// Only the thread that records temporary files takes the signals that end a run; the workers
// hold them. With --threads 1 there is no other thread.
TEST(Fromhalf, ThreadsWhileConverting)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 1000, 1000, test_halves(1000, 1000));
    RunOptions options;
    options.cwd = dir.path;
    options.threads_on_temporary = true;
    RunResult r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options);
    EXPECT_EQ(0, r.status);
    const unsigned long long ending = 1ull << (SIGHUP - 1) | 1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1) |
                                      1ull << (SIGPIPE - 1) | 1ull << (SIGALRM - 1) | 1ull << (SIGUSR1 - 1);
    ASSERT_LE(1u, r.blocked.size());
    EXPECT_EQ(0u, r.blocked[0] & ending);
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_LT(1u, r.blocked.size());
    }
    for (size_t i = 1; i < r.blocked.size(); i++)
        EXPECT_EQ(ending, r.blocked[i] & ending) << i;
    write_rgbe_picture(dir / "in.hdr", 1000, 1000, exact_pixels(1000, 1000));
    for (const std::string &program : {fromhalf_path(), tohalf_path()}) {
        bool to_half = program == tohalf_path();
        r = run_program(program, {"-i", to_half ? "in.hdr" : "in.exr", "-o", to_half ? "out.exr" : "out.hdr",
                                  "--threads", "1"}, options);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(1u, r.blocked.size()) << program;
    }
}

TEST(Fromhalf, DumpIsStagedAndNeverWrittenThroughALink)
{
    ScratchDir dir;
    std::vector<ImfRgba> halves = test_halves(9, 3);
    write_halves(dir / "in.exr", 0, 0, 9, 3, halves);
    write_file(dir / "victim", "somebody else's file");
    ASSERT_EQ(0, symlink("victim", (dir / "inscanline_out.raw").c_str()));
    EXPECT_EQ(0, fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"}).status);
    EXPECT_EQ("somebody else's file", read_file(dir / "victim"));
    struct stat st;
    ASSERT_EQ(0, lstat((dir / "inscanline_out.raw").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(expected_dump(halves) == read_file(dir / "inscanline_out.raw"));
    // Another user's link to a device is replaced too: the link's owner counts, not the device's.
    if (geteuid() == 0) {
        ASSERT_EQ(0, unlink((dir / "inscanline_out.raw").c_str()));
        ASSERT_EQ(0, symlink("/dev/null", (dir / "inscanline_out.raw").c_str()));
        ASSERT_EQ(0, lchown((dir / "inscanline_out.raw").c_str(), 1000, 1000));
        EXPECT_EQ(0, fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"}).status);
        ASSERT_EQ(0, lstat((dir / "inscanline_out.raw").c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
}

TEST(Fromhalf, InterruptedRunsLeaveNothingBehind)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 1500, 1500, test_halves(1500, 1500));
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGABRT, SIGXCPU, SIGUSR1, SIGPIPE, SIGQUIT, SIGALRM}) {
        RunOptions options;
        options.cwd = dir.path;
        options.signal_on_temporary = sig;
        RunResult r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options);
        EXPECT_EQ(sig, r.signal) << r.status;  // ended by the signal itself, not by an exit
        EXPECT_EQ((std::vector<std::string>{"in.exr"}), list_dir(dir.path));
    }
}

TEST(Fromhalf, TheDumpIsReplacedInOneStep)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 9, 3, test_halves(9, 3));
    write_file(dir / "inscanline_out.raw", "the earlier dump");
    RunOptions options;
    options.cwd = dir.path;
#if defined(__x86_64__)
    options.kill_at_first_rename = true;  // the dump's, which comes before the picture's
    EXPECT_EQ(128 + SIGKILL, run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options).status);
    EXPECT_EQ("the earlier dump", read_file(dir / "inscanline_out.raw"));
#endif

    // An earlier dump is exchanged with the new one, never renamed over: the picture is.
    if (!failing_malloc_path().empty()) {
        options.kill_at_first_rename = false;
        options.environment = {"LD_PRELOAD=" + failing_malloc_path(), "PICTOR_LOG_RENAMES=" + dir / "renames"};
        EXPECT_EQ(0, run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options).status);
        EXPECT_EQ("exchange inscanline_out.raw\nrename out.hdr\n", read_file(dir / "renames"));
        unlink((dir / "renames").c_str());
        options.environment.clear();
    }
    // With standard output closed, progress goes nowhere and the outputs stay whole.
    options.kill_at_first_rename = false;
    options.close_stdout = true;
    RunResult r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options);
    EXPECT_EQ(DONE, r.err);
    EXPECT_EQ(expected_rgbe(test_halves(9, 3), 9, 3), read_file(dir / "out.hdr"));
}

TEST(Fromhalf, OtherUsersTrapsInSharedFoldersAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant another user's link and pipe";
    ScratchDir dir;
    ASSERT_EQ(0, chmod(dir.path.c_str(), 01777));  // as /tmp
    write_halves(dir / "in.exr", 0, 0, 9, 3, test_halves(9, 3));
    write_rgbe_picture(dir / "in.hdr", 9, 3, exact_pixels(9, 3));
    write_file(dir / "victim", "somebody else's file");
    ASSERT_EQ(0, symlink("victim", (dir / "render.exr").c_str()));
    ASSERT_EQ(0, lchown((dir / "render.exr").c_str(), 1000, 1000));
    ASSERT_EQ(0, mkfifo((dir / "inscanline_out.raw").c_str(), 0666));
    ASSERT_EQ(0, chown((dir / "inscanline_out.raw").c_str(), 1000, 1000));
    // Another user's link on the way to the output, to a folder of theirs.
    ASSERT_EQ(0, mkdir((dir / "theirs").c_str(), 0777));
    ASSERT_EQ(0, symlink("theirs", (dir / "lnkdir").c_str()));
    ASSERT_EQ(0, lchown((dir / "lnkdir").c_str(), 1000, 1000));
    RunOptions options;
    options.cwd = dir.path;
    options.timeout_seconds = 20;  // a pipe written into would block: nobody reads it
    RunResult r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "render.exr"}, options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot write render.exr: it is another user's link in a shared folder (sticky and "
              "writable by all), not followed\n", r.err);
    r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "lnkdir/x.exr"}, options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot write lnkdir/x.exr: it is another user's link in a shared folder (sticky and "
              "writable by all), not followed\n", r.err);
    EXPECT_EQ(0u, list_dir(dir / "theirs").size());
    r = fromhalf(dir.path, {"-i", "in.exr", "-o", "out.hdr"});
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("pictor: Cannot write inscanline_out.raw: it is another user's pipe in a shared folder (sticky "
              "and writable by all), not written into\n", r.err);
    EXPECT_EQ("somebody else's file", read_file(dir / "victim"));
    EXPECT_EQ(7u, list_dir(dir.path).size());  // nothing written, nothing left
    // Another user's pipe as the output.
    ASSERT_EQ(0, mkfifo((dir / "pipe.exr").c_str(), 0666));
    ASSERT_EQ(0, chown((dir / "pipe.exr").c_str(), 1000, 1000));
    r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "pipe.exr"}, options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot write pipe.exr: it is another user's pipe in a shared folder (sticky and "
              "writable by all), not written into\n", r.err);
    // Another user's dump, a regular file: not replaced by an ordinary user, replaced by root.
    ASSERT_EQ(0, unlink((dir / "inscanline_out.raw").c_str()));
    write_file(dir / "inscanline_out.raw", "theirs");
    ASSERT_EQ(0, chown((dir / "inscanline_out.raw").c_str(), 1000, 1000));
    options.user = 65534;
    r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("pictor: Cannot write inscanline_out.raw: it belongs to another user in a shared folder (sticky "
              "and writable by all), not replaced\n", r.err);
    EXPECT_EQ("theirs", read_file(dir / "inscanline_out.raw"));
    options.user = 0;
    EXPECT_EQ(0, run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options).status);
    EXPECT_EQ(16u * 9 * 3, read_file(dir / "inscanline_out.raw").size());
    // A folder that is sticky but not writable by all is not shared: another user's link there
    // is followed.
    ScratchDir sticky;
    ASSERT_EQ(0, chmod(sticky.path.c_str(), 01755));
    write_file(sticky / "victim.exr", "earlier");
    ASSERT_EQ(0, symlink("victim.exr", (sticky / "render.exr").c_str()));
    ASSERT_EQ(0, lchown((sticky / "render.exr").c_str(), 1000, 1000));
    r = run_program(tohalf_path(), {"-i", dir / "in.hdr", "-o", sticky / "render.exr"}, options);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(9 * 3u, read_halves(sticky / "victim.exr").pixels.size());
}

TEST(Fromhalf, HostileHeadersEndInBoundedMemory)
{
    ScratchDir dir;
    write_halves(dir / "one.exr", 0, 0, 1, 1, test_halves(1, 1));
    std::string one = read_file(dir / "one.exr");
    int32_t tall[4] = {0, -(1 << 30) + 2, 0, (1 << 30) - 2};  // about 2^31 lines of PIZ blocks
    int32_t huge = 2000000000;  // a text of 2 GB in their place
    write_file(dir / "tall.exr", patched(one, "dataWindow", 21, std::string((char *)tall, 16)));
    int32_t wide[4] = {0, 0, 83886080, 0};
    write_file(dir / "wide.exr", patched(one, "dataWindow", 21, std::string((char *)wide, 16)));
    RunResult w = fromhalf(dir.path, {"-i", "wide.exr", "-o", "out.hdr"});
    EXPECT_EQ(1, w.status);
    EXPECT_EQ("pictor: Cannot convert wide.exr: its rows of 83886081 pixels would take 7.5 GB; the limit is "
              "1048576 pixels a row (96 MB).\n", w.err);
    std::string text_attribute = patched(one, "channels", 0, std::string("channelz\0string", 16));
    write_file(dir / "attribute.exr", patched(text_attribute, "channelz", 16, std::string((char *)&huge, 4)));
    // The tall one is refused by its header alone; the other ends in the bound of its open,
    // which is the normal build's (the sanitizers' allocators take requests their own way).
    for (std::string name : {"tall.exr", "attribute.exr"}) {
        if (name == "attribute.exr" && failing_malloc_path().empty())
            continue;
        RunOptions options;
        options.cwd = dir.path;
        options.timeout_seconds = 20;  // without a bound, 80 and 7 seconds
        RunResult r = run_program(fromhalf_path(), {"-i", name, "-o", "out.hdr"}, options);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(name == "tall.exr" ? "pictor: tall.exr is damaged: 355 bytes can't hold 1 x 2147483645 pixels.\n"
                                     : "pictor: Cannot open " + name + ".\n",
                  r.err.substr(name == "tall.exr" ? 0 : r.err.find('\n') + 1)) << r.err;
        EXPECT_LT(r.peak_kb, 256 << 10);  // without a bound, 16.8 and 1.96 GB
    }
}

TEST(Fromhalf, EveryChannelReadAsStoredInAnyLayerAndFilesWithoutColour)
{
    ScratchDir dir;
    // Two pixels; channel c of pixel x holds values[c][x], stored as the given type.
    auto write = [&](const std::string &path, std::vector<std::string> channels,
                     std::vector<std::vector<float>> values, Imf::PixelType type = Imf::FLOAT) {
        Imf::Header header(2, 1);
        std::vector<std::vector<char>> stored(channels.size(), std::vector<char>(8));
        Imf::FrameBuffer frame;
        for (size_t c = 0; c < channels.size(); c++) {
            header.channels().insert(channels[c], Imf::Channel(type));
            for (int x = 0; x < 2; x++) {
                if (type == Imf::HALF)
                    *(ImfHalf *)&stored[c][2 * x] = half_of(values[c][x]);
                else if (type == Imf::UINT)
                    *(uint32_t *)&stored[c][4 * x] = (uint32_t)values[c][x];
                else
                    *(float *)&stored[c][4 * x] = values[c][x];
            }
            frame.insert(channels[c], Imf::Slice(type, stored[c].data(), type == Imf::HALF ? 2 : 4, 0));
        }
        Imf::OutputFile out(path.c_str(), header);
        out.setFrameBuffer(frame);
        out.writePixels(1);
    };
    struct Case {
        std::vector<std::string> channels;
        std::vector<std::vector<float>> values;
        Imf::PixelType type;
        std::vector<float> dump;  // red, green, blue, alpha of both pixels
    } cases[] = {
        {{"R", "G", "B"}, {{1e6f, 3}, {70000, 1e-9f}, {0.1f, 65505}}, Imf::FLOAT,  // beyond half's reach
         {1e6f, 70000, 0.1f, 1, 3, 1e-9f, 65505, 1}},
        {{"Y", "A"}, {{1e6f, 0.25f}, {0.5f, 1}}, Imf::FLOAT, {1e6f, 1e6f, 1e6f, 0.5f, 0.25f, 0.25f, 0.25f, 1}},
        {{"R", "G"}, {{70000, 1}, {4097, 16777216}}, Imf::UINT, {70000, 4097, 0, 1, 1, 16777216, 0, 1}},
        {{"R", "G", "B", "Y"}, {{10, 1}, {2, 1}, {0.5f, 1}, {0.299f, 1}}, Imf::HALF,  // colour wins
         {10, 2, 0.5f, 1, 1, 1, 1, 1}},
        {{"Y", "RY", "BY"}, {{2, 4}, {0.5f, 0}, {-0.25f, 0}}, Imf::FLOAT, {3, 0, 1.5f, 1, 4, 4, 4, 1}},
    };
    Imath::V3f yw = Imf::RgbaYca::computeYw(Imf::Chromaticities());  // R = (RY + 1) Y, ...
    cases[4].dump[1] = (float)((2.0 - 3.0 * yw.x - 1.5 * yw.z) / yw.y);
    for (const Case &c : cases) {
        for (bool layer : {false, true}) {
            // The same channels in a layer, beside top-level ones that must not be read.
            std::vector<std::string> channels = c.channels;
            std::vector<std::vector<float>> values = c.values;
            for (size_t i = 0; layer && i < c.channels.size(); i++) {
                channels[i] = "lamp." + c.channels[i];
                channels.push_back(c.channels[i]);
                values.push_back({9, 9});
            }
            write(dir / "in.exr", channels, values, c.type);
            std::vector<std::string> args = {"-i", "in.exr", "-o", "out.hdr"};
            if (layer)
                args.insert(args.end(), {"--layer", "lamp"});
            RunResult r = fromhalf(dir.path, args);
            EXPECT_EQ(0, r.status) << r.err;
            EXPECT_EQ(std::string((const char *)c.dump.data(), 32), read_file(dir / "inscanline_out.raw"));
            std::vector<double> pixels = {c.dump[0], c.dump[1], c.dump[2], c.dump[4], c.dump[5], c.dump[6]};
            std::string expected = written_bytes([&](FILE *s) {
                rgbe_header_write(s, 2, 1, nullptr);
                rgbe_put_scanlines(s, pixels.data(), 2, 1);
            });
            EXPECT_TRUE(expected == read_file(dir / "out.hdr")) << c.channels.back() << layer;
        }
    }

    write(dir / "layers.exr", {"diffuse.R", "Z"}, {{1, 1}, {1, 1}});
    RunResult r = fromhalf(dir.path, {"-i", "layers.exr", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("exrinput: layers.exr has no R, G, B or Y channel (its channels: Z, diffuse.R).\n"
              "exrinput: Its colour is read with --layer diffuse.\n"
              "pictor: Cannot open layers.exr.\n", r.err);
}

// A render's two parts written with the library, depth first: the picture read by its number or
// name, with its primaries and pixel aspect, which come back through pictor_tohalf; a picture
// that says nothing of them gets none.
TEST(Fromhalf, PartsAndWhatAPictureSaysOfItself)
{
    ScratchDir dir;
    const int width = 40, height = 3;
    std::vector<ImfRgba> halves = test_halves(width, height);
    std::vector<float> depth(width * height, 1.0f);
    Imf::Header headers[2] = {Imf::Header(width, height), Imf::Header(width, height)};
    const char *names[] = {"depth", "beauty"};
    const Imf::Chromaticities rec2020({0.708f, 0.292f}, {0.17f, 0.797f}, {0.131f, 0.046f}, {0.3127f, 0.329f});
    for (int i = 0; i < 2; i++) {
        headers[i].setName(names[i]);
        headers[i].setType(Imf::SCANLINEIMAGE);
        Imf::addChromaticities(headers[i], rec2020);  // the library wants them alike in every part
        headers[i].pixelAspectRatio() = 2.0f;
    }
    headers[0].channels().insert("Z", Imf::Channel(Imf::FLOAT));
    for (const char *c : {"R", "G", "B", "A"})
        headers[1].channels().insert(c, Imf::Channel(Imf::HALF));
    {
        Imf::MultiPartOutputFile file((dir / "render.exr").c_str(), headers, 2);
        Imf::OutputPart parts[2] = {Imf::OutputPart(file, 0), Imf::OutputPart(file, 1)};
        Imf::FrameBuffer frames[2];
        frames[0].insert("Z", Imf::Slice(Imf::FLOAT, (char *)depth.data(), 4, 4 * width));
        for (int c = 0; c < 4; c++)
            frames[1].insert(std::string(1, "RGBA"[c]), Imf::Slice(Imf::HALF, (char *)&halves[0].r + 2 * c, 8, 8 * width));
        for (int i = 0; i < 2; i++) {
            parts[i].setFrameBuffer(frames[i]);
            parts[i].writePixels(height);
        }
    }
    RunResult r = fromhalf(dir.path, {"-i", "render.exr", "-o", "out.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("exrinput: render.exr has no R, G, B or Y channel (its channels: Z).\n"
              "exrinput: Its colour is read with --part 1.\npictor: Cannot open render.exr.\n", r.err);
    r = fromhalf(dir.path, {"-i", "render.exr", "-o", "out.hdr", "--part", "2"});
    EXPECT_EQ("exrinput: render.exr has no part 2; its parts: 0 (depth), 1 (beauty).\n"
              "pictor: Cannot open render.exr.\n", r.err);
    for (const char *part : {"1", "beauty"}) {
        r = fromhalf(dir.path, {"-i", "render.exr", "-o", "out.hdr", "--part", part});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(expected_rgbe(halves, width, height, "PRIMARIES= 0.708 0.292 0.17 0.797 0.131 "
                                  "0.046 0.3127 0.329\nPIXASPECT=0.5\n") == read_file(dir / "out.hdr"));
        EXPECT_TRUE(expected_dump(halves) == read_file(dir / "inscanline_out.raw"));
    }

    // Chromaticities that are not numbers are dropped, with a word.
    Imf::Header odd = headers[1];
    Imf::addChromaticities(odd, Imf::Chromaticities({NAN, 0.292f}, rec2020.green, rec2020.blue, rec2020.white));
    {
        Imf::OutputFile out((dir / "odd.exr").c_str(), odd);
        Imf::FrameBuffer frame;
        for (int c = 0; c < 4; c++)
            frame.insert(std::string(1, "RGBA"[c]), Imf::Slice(Imf::HALF, (char *)&halves[0].r + 2 * c, 8, 8 * width));
        out.setFrameBuffer(frame);
        out.writePixels(height);
    }
    r = fromhalf(dir.path, {"-i", "odd.exr", "-o", "odd.hdr", "-q", "--no-dump"});
    EXPECT_EQ("exrinput: Ignoring the chromaticities of odd.exr; they are not all finite.\n", r.err);
    EXPECT_TRUE(expected_rgbe(halves, width, height, "PIXASPECT=0.5\n") == read_file(dir / "odd.hdr"));

    RunOptions options;
    options.cwd = dir.path;
    // ImageMagick's line for no primaries, and an aspect whose inverse OpenEXR would refuse.
    write_rgbe_picture(dir / "plain.hdr", 1, 1, {1, 2, 3}, "PRIMARIES=0 0 0 0 0 0 0 0\nPIXASPECT=1e-7\n");
    for (const char *picture : {"out", "plain"}) {
        r = run_program(tohalf_path(), {"-i", std::string(picture) + ".hdr", "-o", "back.exr", "-q"}, options);
        EXPECT_EQ(picture[0] == 'o' ? "" : "pictor: Ignoring PIXASPECT=1e-7 on header line 4; an "
                  "OpenEXR file can't hold that pixel aspect.\n", r.err);
        Imf::InputFile back((dir / "back.exr").c_str());
        bool carried = picture[0] == 'o';
        ASSERT_EQ(carried, Imf::hasChromaticities(back.header()));
        EXPECT_EQ(carried ? 2.0f : 1.0f, back.header().pixelAspectRatio());
        const Imf::Chromaticities &c = carried ? Imf::chromaticities(back.header()) : rec2020;
        EXPECT_TRUE(c.red == rec2020.red && c.green == rec2020.green && c.blue == rec2020.blue &&
                    c.white == rec2020.white);
    }
}

TEST(Fromhalf, DumpInAnUnwritableDirectory)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 9, 3, test_halves(9, 3));
    RunResult r = fromhalf("/proc", {"-i", dir / "in.exr", "-o", dir / "out.hdr"});
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(progress(dir / "in.exr", dir / "out.hdr", 9, 3), r.out);
    EXPECT_EQ("RGBE write error: No such file or directory\npictor: Cannot write inscanline_out.raw.\n", r.err);
    EXPECT_FALSE(file_exists(dir / "out.hdr"));
}

TEST(Fromhalf, RoundTripThroughBothPrograms)
{
    ScratchDir dir;
    for (int height : {1, 16, 17, 20}) {  // bands of 16 rows
        std::vector<double> pixels = exact_pixels(300, height);
        // These values are all normal halves, so the trip gives every byte back.
        write_rgbe_picture(dir / "a.hdr", 300, height, pixels);
        RunOptions options;
        options.cwd = dir.path;
        ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "a.hdr", "-o", "a.exr"}, options).status);
        ASSERT_EQ(0, fromhalf(dir.path, {"-i", "a.exr", "-o", "b.hdr"}).status);
        EXPECT_TRUE(read_file(dir / "a.hdr") == read_file(dir / "b.hdr")) << height;
    }
}

}  // namespace
