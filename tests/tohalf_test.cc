// pictor_tohalf through the real program: exact output, statuses and files.
#include "tests/exr_support.h"
#include "tests/test_support.h"
#include "rgbe/rgbe.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string path_lines(const std::string &in, const std::string &out)
{
    return "The infilename is : " + in + "\nThe outfilename is : " + out + "\n";
}

std::string size_lines(int width, int height)
{
    return "The width is : " + std::to_string(width) + "\nThe height is : " + std::to_string(height) + "\n";
}

const std::string DONE = "\npictor: Done.\n";

RunResult tohalf(const ScratchDir &dir, const std::vector<std::string> &args, long fsize = 0)
{
    RunOptions options;
    options.cwd = dir.path;
    options.file_size_limit = fsize;
    options.timeout_seconds = 60;
    return run_program(tohalf_path(), args, options);
}

// The EXR's pixels must be the decoded RGBE values (times factor) narrowed via float to half,
// with alpha 0.
void expect_picture(const std::string &exr, const std::vector<double> &pixels, int width, int height,
                    double factor = 1.0)
{
    HalfPicture p = read_halves(exr);
    ASSERT_EQ(width - 1, p.xmax);
    ASSERT_EQ(height - 1, p.ymax);
    EXPECT_EQ(IMF_PIZ_COMPRESSION, p.compression);
    for (size_t i = 0; i < (size_t)width * height; i++) {
        const ImfRgba &px = p.pixels[i];
        ASSERT_EQ(half_of((float)(pixels[3 * i] * factor)), px.r) << i;
        ASSERT_EQ(half_of((float)(pixels[3 * i + 1] * factor)), px.g) << i;
        ASSERT_EQ(half_of((float)(pixels[3 * i + 2] * factor)), px.b) << i;
        ASSERT_EQ(0, px.a) << i;
    }
}

TEST(Tohalf, ConvertsAPicture)
{
    ScratchDir dir;
    std::vector<double> pixels = exact_pixels(768, 512);
    write_rgbe_picture(dir / "in.hdr", 768, 512, pixels);
    RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(path_lines("in.hdr", "out.exr") + size_lines(768, 512), r.out);
    EXPECT_EQ(DONE, r.err);
    expect_picture(dir / "out.exr", pixels, 768, 512);
    std::vector<std::string> files = list_dir(dir.path);
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::string>{"in.hdr", "out.exr"}), files);  // nothing left behind
}

TEST(Tohalf, NarrowAndOnePixelPictures)
{
    ScratchDir dir;
    for (int width : {1, 5}) {
        std::vector<double> pixels = exact_pixels(width, 3);
        write_rgbe_picture(dir / "in.hdr", width, 3, pixels);
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
        EXPECT_EQ(0, r.status) << r.err;
        expect_picture(dir / "out.exr", pixels, width, 3);
    }
}

TEST(Tohalf, GammaAndExposure)
{
    ScratchDir dir;
    std::vector<double> half_grey(8 * 2 * 3, 0.5);
    struct Case {
        std::string header, lines;
        double factor;
    } cases[] = {
        {"GAMMA=2\nEXPOSURE=3", "Gamma in RGBE image = 2.000000 \nExposure in RGBE image = 3.000000 \nexpmult 9.000000 \n", 2.25 / 0.5},
        {"EXPOSURE=2", "Exposure in RGBE image = 2.000000 \nexpmult 4.000000 \n", 4.0},
        {"EXPOSURE=0.5", "Exposure in RGBE image = 0.500000 \nexpmult 0.250000 \n", 0.25},
        {"GAMMA=2", "Gamma in RGBE image = 2.000000 \n", 0.5},
        {"GAMMA=1\nEXPOSURE=1", "", 1.0},
    };
    for (const Case &c : cases) {
        write_rgbe_picture(dir / "in.hdr", 8, 2, half_grey, c.header + "\n");
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(path_lines("in.hdr", "out.exr") + c.lines + size_lines(8, 2), r.out) << c.header;
        EXPECT_EQ(DONE, r.err);
        expect_picture(dir / "out.exr", half_grey, 8, 2, c.factor);
    }
}

TEST(Tohalf, GammaAndExposureThatArentPositiveAreIgnored)
{
    ScratchDir dir;
    std::vector<double> pixels = exact_pixels(9, 2);
    struct Case {
        std::string header, err;
    } cases[] = {
        {"GAMMA=1\nEXPOSURE=0", "pictor: Ignoring exposure 0.000000, which is not a positive number.\n"},
        {"GAMMA=0", "pictor: Ignoring gamma 0.000000, which is not a positive number.\n"},
        {"GAMMA=-2\nEXPOSURE=nan", "pictor: Ignoring gamma -2.000000, which is not a positive number.\n"
                                   "pictor: Ignoring exposure nan, which is not a positive number.\n"},
        {"EXPOSURE=inf", "pictor: Ignoring exposure inf, which is not a positive number.\n"},
    };
    for (const Case &c : cases) {
        write_rgbe_picture(dir / "in.hdr", 9, 2, pixels, c.header + "\n");
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(path_lines("in.hdr", "out.exr") + size_lines(9, 2), r.out);
        EXPECT_EQ(c.err + DONE, r.err);
        expect_picture(dir / "out.exr", pixels, 9, 2);
    }
}

TEST(Tohalf, FactorLinesPassedOverAreNamed)
{
    ScratchDir dir;
    std::vector<double> pixels = exact_pixels(9, 2);
    write_rgbe_picture(dir / "body.hdr", 9, 2, pixels);
    std::string body = read_file(dir / "body.hdr");
    body = body.substr(body.find("+X 9\n") + 5);
    // Taken: GAMMA=1 and EXPOSURE=2 right after FORMAT=; named: every other line with a value
    // that is not 1, before FORMAT=, after another line, or a second one.
    write_file(dir / "in.hdr", "#?RGBE\nEXPOSURE=0.5\nFORMAT=32-bit_rle_rgbe\nGAMMA=1\nEXPOSURE=2\n"
                               "pfilt -x 9\nEXPOSURE=0.2549\nEXPOSURE=1\nGAMMA=2.2\n\n-Y 2 +X 9\n" + body);
    RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(path_lines("in.hdr", "out.exr") + "Exposure in RGBE image = 2.000000 \nexpmult 4.000000 \n" +
                  size_lines(9, 2), r.out);
    const std::string rest = " only GAMMA= and EXPOSURE= right after FORMAT= are applied.\n";
    EXPECT_EQ("pictor: Ignoring EXPOSURE=0.5 on header line 2;" + rest +
                  "pictor: Ignoring EXPOSURE=0.2549 on header line 7;" + rest +
                  "pictor: Ignoring GAMMA=2.2 on header line 9;" + rest + DONE, r.err);
    expect_picture(dir / "out.exr", pixels, 9, 2, 4.0);
}

// Values too bright for a half float are stored as 65504 and counted: one in each of seven
// bands (a pool of four, so bands are reused), each the last value of its band, on one thread
// and on several. An exposure of 1.00178 brings 65280 to 65512.6, which narrows to
// 65504 and is no value too bright; 65536 becomes 65769.3.
TEST(Tohalf, ClampingCountsExactlyTheTooBrightPixels)
{
    ScratchDir dir;
    const int width = 2047, height = 199;  // on one thread, bands of 32 rows; the last of 7,
                                            // decoded as 4 rows and 3: an odd count of values
    std::vector<double> pixels = exact_pixels(width, height);
    for (int c = 0; c < 3; c++)
        pixels[c] = 65280;
    std::vector<size_t> bright;
    for (int row : {31, 63, 95, 127, 159, 191, 198}) {
        size_t at = ((size_t)row * width + width - 1) * 3;
        pixels[at] = pixels[at + 1] = 1;
        pixels[at + 2] = 65536;
        bright.push_back(at + 2);
    }
    write_rgbe_picture(dir / "in.hdr", width, height, pixels, "EXPOSURE=1.00178\n");
    const double m = std::pow((double)1.00178f, 2.0);
    char warning[200];
    snprintf(warning, sizeof warning, "pictor: 7 pixels are brighter than a half float holds (brightest: %g); "
             "they are stored as 65504. Use --float to keep them.\n", 65536 * m);
    for (std::string threads : {"1", "4"}) {
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr", "--threads", threads});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(warning + DONE, r.err) << threads;
        HalfPicture p = read_halves(dir / "out.exr");
        ASSERT_EQ((size_t)width * height, p.pixels.size());
        EXPECT_EQ(0x7bff, p.pixels[0].r);  // 65512.6: 65504, uncounted
        for (size_t at : bright) {
            EXPECT_EQ(0x7bff, p.pixels[at / 3].b) << at;
            EXPECT_EQ(half_of((float)(1e-6 * m)), p.pixels[at / 3].r) << at;  // 1 in 65536: the floor
        }
    }
    // With --float the values are kept, alpha is 0, and only what passes a float's range is
    // clamped: the largest RGBE value with an exposure of 4.
    const double largest = 255 * std::ldexp(1.0, 119);
    write_rgbe_picture(dir / "in.hdr", 9, 1, std::vector<double>(27, largest), "EXPOSURE=4\n");
    RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr", "--float"});
    EXPECT_EQ(0, r.status);
    snprintf(warning, sizeof warning, "pictor: 9 pixels are brighter than a 32-bit float holds (brightest: %g); "
             "they are stored as %g.\n", largest * 16, (double)FLT_MAX);
    EXPECT_EQ(warning + DONE, r.err);
    std::vector<float> values = read_float_rgba(dir / "out.exr");
    ASSERT_EQ(36u, values.size());
    for (size_t i = 0; i < values.size(); i++)
        EXPECT_EQ(i % 4 == 3 ? 0.0f : FLT_MAX, values[i]) << i;
}

TEST(Tohalf, InputFailures)
{
    ScratchDir dir;
    const std::string READ = "pictor: Cannot read in.hdr.\n";
    struct Case {
        std::vector<std::string> args;
        std::string in, out, file, err;
    } cases[] = {
        {{"-i", "missing.hdr", "-o", "out.exr"}, "missing.hdr", "out.exr", "",
         "Cannot open input file missing.hdr\npictor: Cannot open missing.hdr: No such file or directory\n"},
        {{"-o", "out.exr"}, "", "out.exr", "", "Cannot open input file \npictor: No input file given (-i input.hdr).\n"},
        {{"-i", "in.hdr", "-o", "out.exr"}, "in.hdr", "out.exr", "#!RGBE\n", "RGBE bad file format: bad initial token\n" + READ},
        {{"-i", "in.hdr", "-o", "out.exr"}, "in.hdr", "out.exr", "", "RGBE read error: unexpected end of file\n" + READ},
        {{"-i", "in.hdr", "-o", "out.exr"}, "in.hdr", "out.exr", std::string("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 9\n\2\2\0\10\1", 46),
         "RGBE bad file format: wrong scanline width\n" + READ},
        {{"-i", ".", "-o", "out.exr"}, ".", "out.exr", "", "RGBE read error: Is a directory\npictor: Cannot read .: Is a directory\n"},
        {{"-i", "in.hdr", "-o", "out.exr"}, "in.hdr", "out.exr", "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 3\nabcdefgh",
         "RGBE read error: unexpected end of file\n" + READ},
    };
    for (const Case &c : cases) {
        if (c.in == "in.hdr")
            write_file(dir / "in.hdr", c.file);
        RunResult r = tohalf(dir, c.args);
        EXPECT_EQ(1, r.status) << c.err;
        EXPECT_EQ(path_lines(c.in, c.out), r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_FALSE(file_exists(dir / "out.exr"));
    }
}

TEST(Tohalf, BandBoundaries)
{
    ScratchDir dir;
    const int width = 20, height = 40;  // bands of 16, 16 and 8 rows
    std::vector<double> pixels = exact_pixels(width, height);
    write_rgbe_picture(dir / "coded.hdr", width, height, pixels);
    std::string coded = read_file(dir / "coded.hdr");
    size_t data = coded.find("+X 20\n") + 6, row_bytes = (coded.size() - data) / height;
    // Pixel data that turns flat inside a band and at a band's first row, read whole.
    for (int k : {5, 16}) {
        std::string flat;
        for (size_t i = (size_t)k * width; i < pixels.size() / 3; i++) {
            unsigned char rgbe[4];
            rgbe_pack_pixel(rgbe, pixels[3 * i], pixels[3 * i + 1], pixels[3 * i + 2]);
            flat.append((const char *)rgbe, 4);
        }
        write_rgbe_picture(dir / "head.hdr", width, k, pixels);
        std::string head = read_file(dir / "head.hdr");
        write_file(dir / "in.hdr", coded.substr(0, data) + head.substr(head.find("+X 20\n") + 6) + flat);
        EXPECT_EQ(0, tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"}).status);
        expect_picture(dir / "out.exr", pixels, width, height);
    }
    // Pixel data cut short in the first, a middle and the last band: no output at all.
    unlink((dir / "out.exr").c_str());
    for (int row : {3, 20, 39}) {
        write_file(dir / "in.hdr", coded.substr(0, data + row * row_bytes + 7));
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(path_lines("in.hdr", "out.exr"), r.out);
        EXPECT_EQ("RGBE read error: unexpected end of file\npictor: Cannot read in.hdr.\n", r.err);
        EXPECT_EQ(3u, list_dir(dir.path).size()) << row;  // in, coded, head: nothing else
    }
}

TEST(Tohalf, SizesThatCantBeConverted)
{
    ScratchDir dir;
    struct Case {
        std::string size, err;
    } cases[] = {
        {"-Y -5 +X 10", "pictor: Invalid picture size 10 x -5.\n"},
        {"-Y 3 +X 0", "pictor: Invalid picture size 0 x 3.\n"},
        {"-Y 2000000000 +X 2000000000", "pictor: A 2000000000 x 2000000000 picture does not fit in memory.\n"},
        {"-Y 1 +X 2147483647", "pictor: A 2147483647 x 1 picture does not fit in memory.\n"},
        // Stream in bands, but their files are far too short: the output is not even begun.
        {"-Y 2147483647 +X 30000", "pictor: A 30000 x 2147483647 picture does not fit in memory.\n"},
        {"-Y 60000000 +X 8", "pictor: A 8 x 60000000 picture does not fit in memory.\n"},
    };
    for (const Case &c : cases) {
        write_file(dir / "in.hdr", "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n" + c.size + "\n");
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(path_lines("in.hdr", "out.exr"), r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_FALSE(file_exists(dir / "out.exr"));
    }
    // A tall picture whose file holds the least its coded rows can take (12 bytes a row of 8) is
    // begun; its data, damaged from the first row, then ends it.
    const std::string header = "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4194305 +X 8\n";
    write_file(dir / "in.hdr", header + std::string("\2\2\0\x08\0", 5));
    ASSERT_EQ(0, truncate((dir / "in.hdr").c_str(), (off_t)(header.size() + 12L * 4194305)));
    RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
    EXPECT_EQ("RGBE bad file format: bad scanline data\npictor: Cannot read in.hdr.\n", r.err);
    EXPECT_EQ(1u, list_dir(dir.path).size());
}

TEST(Tohalf, OutputPathFailures)
{
    ScratchDir dir;
    std::vector<double> pixels = exact_pixels(10, 10);
    write_rgbe_picture(dir / "in.hdr", 10, 10, pixels);
    std::string original = read_file(dir / "in.hdr");

    RunResult r = tohalf(dir, {"-i", "in.hdr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(path_lines("in.hdr", ""), r.out);
    EXPECT_EQ("pictor: No output file given (-o output.exr).\n", r.err);

    // Options in the other order: the fifth word is the input, which must stay untouched.
    r = tohalf(dir, {"-o", "out.exr", "-i", "in.hdr"});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(original == read_file(dir / "in.hdr"));
    expect_picture(dir / "out.exr", pixels, 10, 10);

    for (std::string same : {std::string("in.hdr"), std::string("./in.hdr"), dir / "in.hdr"}) {
        r = tohalf(dir, {"-i", "in.hdr", "-o", same});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(path_lines("in.hdr", same), r.out);
        EXPECT_EQ("pictor: The input and the output are the same file: " + same + "\n", r.err);
        EXPECT_TRUE(original == read_file(dir / "in.hdr"));
    }

    r = tohalf(dir, {"-i", "in.hdr", "-o", "missing/out.exr"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(path_lines("in.hdr", "missing/out.exr") + size_lines(10, 10), r.out);
    EXPECT_EQ("pictor: Cannot open missing/out.exr: No such file or directory\n", r.err);

    r = tohalf(dir, {"-i", dir / "in.hdr", "-o", "/proc/out.exr"});  // unwritable even for root
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("pictor: Cannot open /proc/out.exr: "));
}

TEST(Tohalf, ReplacedOutputsKeepWhatUsersRelyOn)
{
    ScratchDir dir;
    std::vector<double> pixels = exact_pixels(10, 3);
    write_rgbe_picture(dir / "in.hdr", 10, 3, pixels);
    // A link is followed: its target is replaced, keeping mode (set-id and sticky bits too),
    // owner and group; the link stays.
    bool root = geteuid() == 0;  // to give files away, and to become another user
    unsigned owner = root ? 1000 : geteuid(), group = root ? 1000 : getegid();
    ASSERT_EQ(0, symlink("private.exr", (dir / "link.exr").c_str()));
    struct stat st;
    for (mode_t mode : {0640, 02755, 04755, 01644}) {
        write_file(dir / "private.exr", "earlier");
        ASSERT_EQ(0, chown((dir / "private.exr").c_str(), owner, group));
        ASSERT_EQ(0, chmod((dir / "private.exr").c_str(), mode));
        ASSERT_EQ(0, tohalf(dir, {"-i", "in.hdr", "-o", "link.exr"}).status);
        expect_picture(dir / "private.exr", pixels, 10, 3);
        ASSERT_EQ(0, lstat((dir / "link.exr").c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(0, stat((dir / "private.exr").c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777);
        EXPECT_EQ(owner, st.st_uid);
        EXPECT_EQ(group, st.st_gid);
    }
    ASSERT_EQ(0, chmod((dir / "private.exr").c_str(), 0640));
    // A relative link in a folder of its own leads from that folder.
    ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
    write_file(dir / "sub/private.exr", "earlier");
    ASSERT_EQ(0, symlink("private.exr", (dir / "sub/link.exr").c_str()));
    ASSERT_EQ(0, tohalf(dir, {"-i", "in.hdr", "-o", "sub/link.exr"}).status);
    expect_picture(dir / "sub/private.exr", pixels, 10, 3);
    // New outputs get the mode that the umask allows.
    for (int mask : {022, 077}) {
        RunOptions options;
        options.cwd = dir.path;
        options.umask_bits = mask;
        ASSERT_EQ(0, run_program(tohalf_path(), {"-i", "in.hdr", "-o", "sub/new.exr"}, options).status);
        ASSERT_EQ(0, stat((dir / "sub/new.exr").c_str(), &st));
        EXPECT_EQ(0666u & ~mask, st.st_mode & 07777);
        unlink((dir / "sub/new.exr").c_str());
    }
    // A name as long as the folder allows.
    std::string longest(255 - 4, 'n');
    EXPECT_EQ(0, tohalf(dir, {"-i", "in.hdr", "-o", longest + ".exr"}).status);
    // A file the user could not write in place is refused, untouched.
    ASSERT_EQ(0, chmod(dir.path.c_str(), 0777));
    ASSERT_EQ(0, chmod((dir / "private.exr").c_str(), 0444));
    RunOptions options;
    options.cwd = dir.path;
    options.user = root ? 65534 : 0;
    RunResult r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "private.exr"}, options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot write private.exr: Permission denied\n", r.err);
    ASSERT_EQ(0, chmod((dir / "private.exr").c_str(), 0644));
    expect_picture(dir / "private.exr", pixels, 10, 3);
    // The program's own standard output.
    r = tohalf(dir, {"-i", "in.hdr", "-o", "/dev/stdout"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(path_lines("in.hdr", "/dev/stdout"), r.out);
    EXPECT_EQ("pictor: Cannot write /dev/stdout: it is this program's standard output.\n", r.err);
    // Closed, it is on /dev/null while the program runs: still no place for the picture.
    options.user = 0;
    options.close_stdout = true;
    r = run_program(tohalf_path(), {"-i", "in.hdr", "-o", "/dev/stdout"}, options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot write /dev/stdout: it is this program's standard output.\n", r.err);
    EXPECT_EQ(0, run_program(tohalf_path(), {"-i", "in.hdr", "-o", "/dev/null"}, options).status);
    EXPECT_EQ(5u, list_dir(dir.path).size());
}

TEST(Tohalf, FullDisk)
{
    ScratchDir dir;
    for (int size : {10, 1000}) {
        write_rgbe_picture(dir / "in.hdr", size, size, exact_pixels(size, size));
        RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "/dev/full"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(path_lines("in.hdr", "/dev/full") + size_lines(size, size), r.out);
        EXPECT_EQ("pictor: Cannot write /dev/full: No space left on device\n", r.err);

        // Writes that fail on the way, in a regular file, of halves or floats: the earlier file
        // stays as it was.
        for (std::string mode : {"", "--float"}) {
            write_file(dir / "out.exr", "earlier contents");
            r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr", mode}, size == 10 ? 400 : 100000);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ(0u, r.err.find("exroutput: ")) << r.err;
            EXPECT_EQ("pictor: Cannot write out.exr.\n", r.err.substr(r.err.find('\n') + 1));
            EXPECT_TRUE("earlier contents" == read_file(dir / "out.exr"));
            EXPECT_EQ(2u, list_dir(dir.path).size());  // no temporary file left
        }
    }
    // Blocks small enough to wait in the library's stream buffer until the file's close, which
    // loses the last of them without a word when the disk is full: the read-back of the last
    // scanline finds it.
    write_rgbe_picture(dir / "in.hdr", 9, 100, exact_pixels(9, 100));
    ASSERT_EQ(0, tohalf(dir, {"-i", "in.hdr", "-o", "whole.exr"}).status);
    long whole = (long)read_file(dir / "whole.exr").size();
    RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"}, whole - 3);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("pictor: Cannot write out.exr.\n", r.err.substr(r.err.find('\n') + 1));
    EXPECT_TRUE("earlier contents" == read_file(dir / "out.exr"));
}

TEST(Tohalf, ReplacesAnEarlierFileAndWritesDevices)
{
    ScratchDir dir;
    std::vector<double> pixels = exact_pixels(40, 3);
    write_rgbe_picture(dir / "in.hdr", 40, 3, pixels);
    write_file(dir / "out.exr", "earlier contents");
    RunResult r = tohalf(dir, {"-i", "in.hdr", "-o", "out.exr"});
    EXPECT_EQ(0, r.status);
    expect_picture(dir / "out.exr", pixels, 40, 3);

    // A device gets a copy made in /tmp, which is gone after (others' copies come and go).
    auto copies = [] {
        std::vector<std::string> names;
        for (const std::string &name : list_dir("/tmp"))
            if (name.rfind("pictor-", 0) == 0)
                names.push_back(name);
        return names;
    };
    std::vector<std::string> before = copies();
    r = tohalf(dir, {"-i", "in.hdr", "-o", "/dev/null"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(DONE, r.err);
    struct stat null;
    ASSERT_EQ(0, stat("/dev/null", &null));
    EXPECT_TRUE(S_ISCHR(null.st_mode));  // written into, never replaced
    EXPECT_EQ(2u, list_dir(dir.path).size());
    for (int wait = 0; wait < 30 && copies().size() > before.size(); wait++)
        usleep(100000);
    EXPECT_LE(copies().size(), before.size());
}

}  // namespace
