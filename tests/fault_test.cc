// Failures of memory, reads and writes, injected into the real programs.
#include "tests/exr_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <unistd.h>

namespace {

// A picture whose buffers all have distinct sizes: 1234 x 3 pixels.
const int W = 1234, H = 3;
const long SCENE_BYTES = 1234L * 3 * 24;  // the band being decoded (scene_IO)
const long BAND_BYTES = 1234L * 3 * 8;    // a band of RGBA halves (scene), a row of doubles
const long WORK_BYTES = 4 * 1234;         // the decoder's four planes of a row
const long CODER_BYTES = 4 * 1234 + 64;   // the coder's, with room to read past them
const long RECORDS_BYTES = 1234L * 3 * 16;  // a band of dump records

RunResult run_failing(const std::string &program, const ScratchDir &dir,
                      const std::vector<std::string> &args, long size, int nth = 1)
{
    RunOptions options;
    options.cwd = dir.path;
    options.environment = {"LD_PRELOAD=" + failing_malloc_path(),
                           "PICTOR_FAIL_MALLOC_SIZE=" + std::to_string(size),
                           "PICTOR_FAIL_MALLOC_NTH=" + std::to_string(nth)};
    return run_program(program, args, options);
}

std::string sorted_names(const std::string &dir)
{
    std::vector<std::string> names = list_dir(dir);
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string &name : names)
        joined += name + " ";
    return joined;
}

TEST(FaultInjection, TohalfAllocations)
{
    if (failing_malloc_path().empty())
        GTEST_SKIP() << "no malloc interposition in sanitizer builds";
    ScratchDir dir;
    write_rgbe_picture(dir / "in.hdr", W, H, exact_pixels(W, H));
    std::string paths = "The infilename is : in.hdr\nThe outfilename is : out.exr\n";
    std::string sizes = "The width is : 1234\nThe height is : 3\n";
    struct Case {
        long size;
        int nth;
        std::string out, err;
    } cases[] = {
        {SCENE_BYTES, 1, paths, "Could not allocate memory for scene_IO \n"},
        {4 * BAND_BYTES, 1, paths, "Could not allocate memory for scene \n"},  // the pool
        {WORK_BYTES, 1, paths, "RGBE error: unable to allocate buffer space\npictor: Cannot read in.hdr.\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run_failing(tohalf_path(), dir, {"-i", "in.hdr", "-o", "out.exr"}, c.size, c.nth);
        EXPECT_EQ(1, r.status) << c.size;
        EXPECT_EQ(c.out, r.out) << c.size;
        EXPECT_EQ(c.err, r.err) << c.size;
        EXPECT_EQ("in.hdr ", sorted_names(dir.path));  // no output, no temporary file
    }
}

TEST(FaultInjection, FromhalfAllocations)
{
    if (failing_malloc_path().empty())
        GTEST_SKIP() << "no malloc interposition in sanitizer builds";
    ScratchDir dir;
    std::vector<ImfRgba> halves(W * H);
    for (size_t i = 0; i < halves.size(); i++)
        halves[i] = {half_of(0.5f + i % 7), half_of(1.0f), half_of(0.25f * (i % 3)), 0};
    write_halves(dir / "in.exr", 0, 0, W, H, halves);
    std::string progress = "pictor: in.exr [1234x3]\nThe infilename is : in.exr\nThe outfilename is : "
                           "out.hdr\nThe width is : 1234\nThe height is : 3\n";
    struct Case {
        long size;
        std::string out, err;
    } cases[] = {
        {4 * (BAND_BYTES + RECORDS_BYTES), progress, "pictor: Cannot allocate memory.\n"},  // the pool
    };
    for (const Case &c : cases) {
        RunResult r = run_failing(fromhalf_path(), dir, {"-i", "in.exr", "-o", "out.hdr"}, c.size);
        EXPECT_EQ(1, r.status) << c.size;
        EXPECT_EQ(c.out, r.out) << c.size;
        EXPECT_EQ(c.err, r.err) << c.size;
        EXPECT_EQ("in.exr ", sorted_names(dir.path));
    }

    // Without its work buffer the RGBE writer writes the same pixels flat, without a word.
    RunResult r = run_failing(fromhalf_path(), dir, {"-i", "in.exr", "-o", "out.hdr"}, CODER_BYTES);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("\npictor: Done.\n", r.err);
    std::string header = "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 3 +X 1234\n";
    std::string flat = read_file(dir / "out.hdr");
    EXPECT_EQ(header.size() + 4u * W * H, flat.size());
    RunOptions options;
    options.cwd = dir.path;
    ASSERT_EQ(0, run_program(fromhalf_path(), {"-i", "in.exr", "-o", "coded.hdr"}, options).status);
    ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "out.hdr", "-o", "a.exr"}, options).status);
    ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "coded.hdr", "-o", "b.exr"}, options).status);
    EXPECT_TRUE(read_halves(dir / "a.exr").pixels.size() == halves.size());
    HalfPicture a = read_halves(dir / "a.exr"), b = read_halves(dir / "b.exr");
    EXPECT_TRUE(std::equal(a.pixels.begin(), a.pixels.end(), b.pixels.begin(), [](const ImfRgba &x, const ImfRgba &y) {
        return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
    }));
}

TEST(FaultInjection, InsideThePipeline)
{
    if (failing_malloc_path().empty())
        GTEST_SKIP() << "no malloc interposition in sanitizer builds";
    ScratchDir dir;
    const int height = 70;  // on one thread, bands of 32, 32 and 6 rows; the codec's planes are
                            // made per band
    std::vector<double> pixels = exact_pixels(W, height);
    write_rgbe_picture(dir / "in.hdr", W, height, pixels);
    for (int band : {2, 3}) {
        RunResult r = run_failing(tohalf_path(), dir, {"-i", "in.hdr", "-o", "out.exr", "--threads", "1"},
                                  WORK_BYTES, band);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("The infilename is : in.hdr\nThe outfilename is : out.exr\n", r.out);
        EXPECT_EQ("RGBE error: unable to allocate buffer space\npictor: Cannot read in.hdr.\n", r.err);
        EXPECT_EQ("in.hdr ", sorted_names(dir.path));
    }
    // The RGBE writer without planes from its second row on: the rest of the picture is flat,
    // and the file reads back whole.
    RunOptions options;
    options.cwd = dir.path;
    ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "in.hdr", "-o", "in.exr"}, options).status);
    RunResult r = run_failing(fromhalf_path(), dir, {"-i", "in.exr", "-o", "out.hdr"}, CODER_BYTES, 2);
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "out.hdr", "-o", "back.exr"}, options).status);
    EXPECT_TRUE(read_file(dir / "out.hdr") != read_file(dir / "in.hdr"));
    EXPECT_TRUE(read_halves(dir / "in.exr").pixels.size() == (size_t)W * height);
    std::vector<ImfRgba> a = read_halves(dir / "in.exr").pixels, b = read_halves(dir / "back.exr").pixels;
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ImfRgba &x, const ImfRgba &y) {
        return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
    }));
}

// Without a second thread the stages take turns; a failure still ends the run as one.
TEST(FaultInjection, NoThreadCanBeStarted)
{
    if (failing_malloc_path().empty())
        GTEST_SKIP() << "no interposition in sanitizer builds";
    ScratchDir dir;
    write_rgbe_picture(dir / "in.hdr", W, 40, exact_pixels(W, 40));
    RunOptions options;
    options.cwd = dir.path;
    options.environment = {"LD_PRELOAD=" + failing_malloc_path(), "PICTOR_FAIL_THREADS=1"};
    ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "in.hdr", "-o", "in.exr"}, options).status);
    ASSERT_EQ(0, run_program(fromhalf_path(), {"-i", "in.exr", "-o", "back.hdr"}, options).status);
    EXPECT_TRUE(read_file(dir / "in.hdr") == read_file(dir / "back.hdr"));
    std::string whole = read_file(dir / "in.hdr");
    write_file(dir / "in.hdr", whole.substr(0, whole.size() * 2 / 3));
    RunResult r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "out.exr"}, options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("RGBE read error: unexpected end of file\npictor: Cannot read in.hdr.\n", r.err);
    EXPECT_EQ("back.hdr in.exr in.hdr inscanline_out.raw ", sorted_names(dir.path));
}

TEST(FaultInjection, TohalfOnARadianceFileCutAnywhere)
{
    ScratchDir dir;
    write_rgbe_picture(dir / "full.hdr", 12, 3, exact_pixels(12, 3));
    std::string bytes = read_file(dir / "full.hdr");
    const std::string named = "pictor: Cannot read in.hdr.\n";
    const std::vector<std::string> messages = {
        "RGBE read error: unexpected end of file\n" + named, "RGBE bad file format: bad initial token\n" + named,
        "RGBE bad file format: missing image size specifier\n" + named,
        "RGBE bad file format: no FORMAT specifier found\n" + named};
    RunOptions options;
    options.cwd = dir.path;
    for (size_t cut = 0; cut < bytes.size(); cut++) {
        write_file(dir / "in.hdr", bytes.substr(0, cut));
        RunResult r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "out.exr"}, options);
        ASSERT_EQ(1, r.status) << cut;
        ASSERT_NE(messages.end(), std::find(messages.begin(), messages.end(), r.err)) << cut << ": " << r.err;
        ASSERT_EQ(0u, r.out.find("The infilename is : in.hdr\nThe outfilename is : out.exr\n"));
        ASSERT_EQ("full.hdr in.hdr ", sorted_names(dir.path)) << cut;
    }
}

TEST(FaultInjection, FromhalfOnAnExrFileCutAnywhere)
{
    ScratchDir dir;
    std::vector<ImfRgba> halves(64 * 40);
    for (size_t i = 0; i < halves.size(); i++)
        halves[i] = {half_of(0.01f * (i % 500)), half_of(1.0f + i % 3), half_of(0.5f), half_of(1.0f)};
    write_halves(dir / "full.exr", 0, 0, 64, 40, halves);
    std::string bytes = read_file(dir / "full.exr");
    RunOptions options;
    options.cwd = dir.path;
    write_file(dir / "out.hdr", "earlier");
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 8) {
        write_file(dir / "in.exr", bytes.substr(0, cut));
        RunResult r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options);
        ASSERT_EQ(1, r.status) << cut;
        ASSERT_TRUE(r.err.rfind("exrinput: ", 0) == 0 || r.err.rfind("pictor: ", 0) == 0) << cut << r.err;
        // Blocks read side by side fail with the message one thread gives.
        RunResult one = run_program(fromhalf_path(), {"--threads", "1", "-i", "in.exr", "-o", "out.hdr"},
                                    options);
        ASSERT_EQ(r.err, one.err) << cut;
        ASSERT_EQ("full.exr in.exr out.hdr ", sorted_names(dir.path)) << cut;
        ASSERT_TRUE(read_file(dir / "out.hdr") == "earlier");
    }
}

TEST(FaultInjection, DumpOnAFullDevice)
{
    ScratchDir dir;
    write_halves(dir / "in.exr", 0, 0, 9, 3, std::vector<ImfRgba>(27, ImfRgba{0x3c00, 0x3c00, 0x3c00, 0}));
    ASSERT_EQ(0, symlink("/dev/full", (dir / "inscanline_out.raw").c_str()));
    RunOptions options;
    options.cwd = dir.path;
    RunResult r = run_program(fromhalf_path(), {"-i", "in.exr", "-o", "out.hdr"}, options);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("RGBE write error: No space left on device\npictor: Cannot write inscanline_out.raw.\n", r.err);
    EXPECT_EQ("in.exr inscanline_out.raw ", sorted_names(dir.path));  // the link stays, no output
}

}  // namespace
