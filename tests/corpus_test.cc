// Real pictures written by other tools, converted by the real programs and checked against
// independent peers: oiiotool decodes every picture, exrheader reads the EXR headers.
#include "rgbe/rgbe.h"
#include "tests/exr_support.h"
#include "tests/test_support.h"

#include <ImfInputFile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// All pixel values of a picture as oiiotool reads them (--dumpdata prints nine decimals).
struct PeerPicture {
    int width = 0, height = 0, channels = 0;
    std::vector<double> values;
};

bool peer_decode(const std::string &path, PeerPicture *picture)
{
    std::string command = "oiiotool --dumpdata '" + path + "' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return false;
    char line[4096];
    bool ok = fgets(line, sizeof line, pipe) != nullptr;
    const char *colon = ok ? strrchr(line, ':') : nullptr;
    ok = colon && sscanf(colon + 1, " %d x %d, %d channel", &picture->width, &picture->height,
                         &picture->channels) == 3;
    while (ok && fgets(line, sizeof line, pipe)) {
        const char *p = strstr(line, "): ");
        if (!p)
            continue;
        p += 3;
        for (int c = 0; c < picture->channels; c++) {
            char *end;
            picture->values.push_back(strtod(p, &end));
            p = end;
        }
    }
    int status = pclose(pipe);
    return ok && status == 0 &&
           picture->values.size() == (size_t)picture->width * picture->height * picture->channels;
}

bool near_printed(double printed, double exact)
{
    if (std::isnan(exact))
        return std::isnan(printed);
    if (std::isinf(exact))
        return printed == exact;
    return std::fabs(printed - exact) <= 1e-9 + 1e-12 * std::fabs(exact);
}

std::vector<std::string> corpus_files(const std::string &sub, const std::string &suffix)
{
    std::string dir = corpus_dir(sub);
    std::vector<std::string> files;
    for (const std::string &name : list_dir(dir))
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            files.push_back(dir + "/" + name);
    std::sort(files.begin(), files.end());
    return files;
}

std::string base_name(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Decodes a Radiance picture with our codec.
bool decode_rgbe(const std::string &path, int *width, int *height, std::vector<double> *pixels)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
        return false;
    RgbeHeaderInfo info;
    int32_t w, h;
    bool ok = rgbe_header_read(in, &w, &h, &info) == 0 && w > 0 && h > 0;
    if (ok) {
        pixels->assign((size_t)w * h * 3, 0.0);
        ok = rgbe_get_scanlines(in, pixels->data(), w, h) == 0;
    }
    fclose(in);
    *width = w;
    *height = h;
    return ok;
}

#define SKIP_WITHOUT(sub)                                                 \
    if (corpus_dir(sub).empty())                                          \
        GTEST_SKIP() << "no corpus at " PICTOR_CORPUS_DIR "/" sub;        \
    if (!have_tool("oiiotool") || !have_tool("exrheader"))                \
        GTEST_SKIP() << "oiiotool or exrheader missing"

TEST(CorpusHdr, DecodesLikeAnIndependentDecoder)
{
    SKIP_WITHOUT("hdr");
    for (const std::string &path : corpus_files("hdr", ".hdr")) {
        int width, height;
        std::vector<double> pixels;
        ASSERT_TRUE(decode_rgbe(path, &width, &height, &pixels)) << path;
        PeerPicture peer;
        ASSERT_TRUE(peer_decode(path, &peer)) << path;
        ASSERT_EQ(width, peer.width);
        ASSERT_EQ(height, peer.height);
        ASSERT_EQ(3, peer.channels);
        for (size_t i = 0; i < pixels.size(); i++) {
            // A mantissa of 0 decodes to our 1e-6 floor, and to 0 in the peer.
            double expected = pixels[i] == 1e-6 ? 0.0 : pixels[i];
            ASSERT_TRUE(near_printed(peer.values[i], expected))
                << base_name(path) << " value " << i << ": " << peer.values[i] << " vs " << expected;
        }
    }
}

TEST(CorpusHdr, ConvertsToExr)
{
    SKIP_WITHOUT("hdr");
    ScratchDir dir;
    RunOptions options;
    options.cwd = dir.path;
    for (const std::string &path : corpus_files("hdr", ".hdr")) {
        SCOPED_TRACE(base_name(path));
        int width, height;
        std::vector<double> pixels;
        ASSERT_TRUE(decode_rgbe(path, &width, &height, &pixels));
        RunResult r = run_program(tohalf_path(), {"-i", path, "-o", "out.exr"}, options);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ("The infilename is : " + path + "\nThe outfilename is : out.exr\nThe width is : " +
                      std::to_string(width) + "\nThe height is : " + std::to_string(height) + "\n",
                  r.out);
        EXPECT_EQ("\npictor: Done.\n", r.err);

        // The library reads back the half-rounded (via float) decoded values and alpha 0.
        HalfPicture exr = read_halves(dir / "out.exr");
        ASSERT_EQ((size_t)width * height, exr.pixels.size());
        for (size_t i = 0; i < exr.pixels.size(); i++) {
            ASSERT_EQ(half_of((float)pixels[3 * i]), exr.pixels[i].r) << i;
            ASSERT_EQ(half_of((float)pixels[3 * i + 1]), exr.pixels[i].g) << i;
            ASSERT_EQ(half_of((float)pixels[3 * i + 2]), exr.pixels[i].b) << i;
            ASSERT_EQ(0, exr.pixels[i].a) << i;
        }

        // exrheader: the fixed header.
        std::string window = "(0 0) - (" + std::to_string(width - 1) + " " + std::to_string(height - 1) + ")";
        std::string command = "exrheader '" + (dir / "out.exr") + "' > '" + (dir / "header.txt") + "'";
        ASSERT_EQ(0, system(command.c_str()));
        std::string header = read_file(dir / "header.txt");
        for (std::string line : {std::string("    A, 16-bit floating-point, sampling 1 1\n"
                                             "    B, 16-bit floating-point, sampling 1 1\n"
                                             "    G, 16-bit floating-point, sampling 1 1\n"
                                             "    R, 16-bit floating-point, sampling 1 1\n"),
                                 std::string("compression (type compression): piz\n"),
                                 "dataWindow (type box2i): " + window + "\n",
                                 "displayWindow (type box2i): " + window + "\n",
                                 std::string("lineOrder (type lineOrder): increasing y\n")})
            EXPECT_NE(std::string::npos, header.find(line)) << line;

        // oiiotool: the pixels.
        PeerPicture peer;
        ASSERT_TRUE(peer_decode(dir / "out.exr", &peer));
        ASSERT_EQ(4, peer.channels);
        ASSERT_EQ((size_t)width * height * 4, peer.values.size());
        for (size_t i = 0; i < exr.pixels.size(); i++) {
            const ImfHalf halves[4] = {exr.pixels[i].r, exr.pixels[i].g, exr.pixels[i].b, exr.pixels[i].a};
            for (int c = 0; c < 4; c++)
                ASSERT_TRUE(near_printed(peer.values[4 * i + c], ImfHalfToFloat(halves[c]))) << i;
        }
    }
}

// A sun too bright for half floats, with an exposure chosen so that one value lands exactly on
// 65520, the least float that narrows to a half infinity: half files store 65504 there and
// count the pixels; float files keep every value.
TEST(PeerCheck, SunThroughHalfAndFloatFiles)
{
    if (!have_tool("oiiotool"))
        GTEST_SKIP() << "oiiotool missing";
    float exposure = 1.0f;
    double edge = 0;  // an RGBE value that the exposure brings to exactly 65520
    for (int m = 255; m > 128 && edge == 0; m--) {
        exposure = std::sqrt(65520.0f / (m * 256.0f));
        for (int step = 0; step < 64 && edge == 0; step++) {
            if ((float)(m * 256.0 * std::pow((double)exposure, 2.0)) == 65520.0f)
                edge = m * 256.0;
            else
                exposure = std::nextafter(exposure, 2.0f);
        }
    }
    ASSERT_NE(0.0, edge);
    ScratchDir dir;
    const double largest = 255 * std::ldexp(1.0, 119);
    std::vector<double> pixels = {edge, 1, 1, edge - 256, 2, 1, 99840, 1, 99840, 1, largest, 1, 0.5, 1, 2};
    char header[64];
    snprintf(header, sizeof header, "EXPOSURE=%.9g\n", exposure);
    write_rgbe_picture(dir / "sun.hdr", 5, 1, pixels, header);
    int width, height;
    ASSERT_TRUE(decode_rgbe(dir / "sun.hdr", &width, &height, &pixels));
    const double m = std::pow((double)exposure, 2.0);
    for (bool floats : {false, true}) {
        RunOptions options;
        options.cwd = dir.path;
        std::vector<std::string> args = {"-i", "sun.hdr", "-o", "sun.exr"};
        if (floats)
            args.push_back("--float");
        RunResult r = run_program(tohalf_path(), args, options);
        ASSERT_EQ(0, r.status);
        char warning[200];
        snprintf(warning, sizeof warning, "pictor: 3 pixels are brighter than a half float holds (brightest: "
                 "%g); they are stored as 65504. Use --float to keep them.\n", largest * m);
        EXPECT_EQ((floats ? "" : std::string(warning)) + "\npictor: Done.\n", r.err);
        PeerPicture peer;
        ASSERT_TRUE(peer_decode(dir / "sun.exr", &peer));
        for (size_t i = 0; i < pixels.size(); i++) {
            float value = (float)(pixels[i] * m);
            double expected = floats ? value : value >= 65520.0f ? 65504.0 : ImfHalfToFloat(half_of(value));
            EXPECT_TRUE(near_printed(peer.values[i / 3 * 4 + i % 3], expected)) << i << " " << floats;
        }
    }
}

// Every compression, of halves and of floats, on a smooth picture with a sun too bright for
// halves: the library and oiiotool read the same values back; lossless ones give every value,
// lossy ones stay within what the manual page promises, and nothing becomes an infinity.
TEST(PeerCheck, EveryCompressionReadsBack)
{
    if (!have_tool("oiiotool"))
        GTEST_SKIP() << "oiiotool missing";
    ScratchDir dir;
    const int width = 96, height = 40;
    std::vector<double> pixels;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            bool sun = std::abs(x - 60) < 2 && std::abs(y - 20) < 2;
            for (int c = 0; c < 3; c++)
                pixels.push_back(sun ? 1e6 : std::pow(2.0, (x + y + 9 * c) / 12.0 - 4));
        }
    write_rgbe_picture(dir / "in.hdr", width, height, pixels);
    int w, h;
    ASSERT_TRUE(decode_rgbe(dir / "in.hdr", &w, &h, &pixels));
    const char *names[] = {"none", "rle", "zips", "zip:9", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab:200"};
    for (bool floats : {false, true}) {
        for (int n = 0; n < 10; n++) {
            const char *name = names[n];
            SCOPED_TRACE(std::string(name) + (floats ? " floats" : " halves"));
            std::vector<std::string> args = {"-i", "in.hdr", "-o", "out.exr", "-q", "--compression", name};
            if (floats)
                args.push_back("--float");
            RunOptions options;
            options.cwd = dir.path;
            ASSERT_EQ(0, run_program(tohalf_path(), args, options).status);
            Imf::InputFile in((dir / "out.exr").c_str());
            EXPECT_EQ(n, (int)in.header().compression());  // the names in the library's order
            std::vector<float> values(width * height * 4);
            Imf::FrameBuffer frame;
            for (int c = 0; c < 4; c++)
                frame.insert(std::string(1, "RGBA"[c]), Imf::Slice(Imf::FLOAT, (char *)&values[c], 16, 16 * width));
            in.setFrameBuffer(frame);
            in.readPixels(0, height - 1);
            PeerPicture peer;
            ASSERT_TRUE(peer_decode(dir / "out.exr", &peer));
            bool dwa = name[0] == 'd', lossy = dwa || (name[0] == 'b' && !floats) || (name[1] == 'x' && floats);
            double worst = 0;
            for (size_t i = 0; i < pixels.size(); i++) {
                float got = values[i / 3 * 4 + i % 3];
                ASSERT_TRUE(std::isfinite(got)) << i;
                ASSERT_TRUE(near_printed(peer.values[i / 3 * 4 + i % 3], got)) << i;
                float want = floats ? (float)pixels[i] : pixels[i] >= 65520 ? 65504.0f : ImfHalfToFloat(half_of((float)pixels[i]));
                if (!lossy)
                    ASSERT_EQ(want, got) << i;
                else if (!(i / 3 % width / 8 == 7 && i / 3 / width / 8 == 2))  // not the sun's blocks
                    worst = std::max(worst, std::fabs((double)got - want) / want);
            }
            EXPECT_LE(worst, dwa ? 0.05 : name[0] == 'b' ? 0.01 : 1.0 / 65536);
        }
    }
}

// What an RGBE component can hold of a value: NaN and negatives are 0, the rest saturates.
double rgbe_clean(double v)
{
    const double largest = 255.0 * std::ldexp(1.0, 119);
    return !(v > 0) ? 0.0 : std::min(v, largest);
}

// The chromaticities of an EXR file's first part as exrheader prints them ("    red   (0.64
// 0.33)", and green, blue, white), none when it has none.
std::vector<double> peer_primaries(const std::string &path)
{
    std::vector<double> values;
    std::string command = "exrheader '" + path + "'";
    FILE *pipe = popen(command.c_str(), "r");
    char line[512];
    for (bool found = false; pipe && fgets(line, sizeof line, pipe);) {
        double x, y;
        const char *pair = strchr(line, '(');
        found = found || strncmp(line, "chromaticities ", 15) == 0;
        if (found && pair && values.size() < 8 && sscanf(pair, "(%lf %lf)", &x, &y) == 2)
            values.insert(values.end(), {x, y});
    }
    if (pipe)
        pclose(pipe);
    return values;
}

TEST(CorpusExr, ConvertsToRgbe)
{
    SKIP_WITHOUT("exr");
    ScratchDir dir;
    for (const std::string &path : corpus_files("exr", ".exr")) {
        SCOPED_TRACE(base_name(path));
        RunOptions options;
        options.cwd = dir.path;
        RunResult r = run_program(fromhalf_path(), {"-i", path, "-o", "out.hdr"}, options);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ("\npictor: Done.\n", r.err);
        HalfPicture exr = read_halves(path);
        int width = exr.xmax - exr.xmin + 1, height = exr.ymax - exr.ymin + 1;
        std::string size = std::to_string(width) + "x" + std::to_string(height);
        EXPECT_EQ("pictor: " + path + " [" + size + "]\nThe infilename is : " + path +
                      "\nThe outfilename is : out.hdr\nThe width is : " + std::to_string(width) +
                      "\nThe height is : " + std::to_string(height) + "\nWriting RGBE file.\n",
                  r.out);
        // The primaries carried across, as the peer reads them.
        std::string written = read_file(dir / "out.hdr");
        std::vector<double> primaries = peer_primaries(path);
        if (!primaries.empty()) {
            size_t end = written.find('\n', 7);
            std::vector<double> carried(8);
            ASSERT_EQ(8, sscanf(written.c_str() + 7, "PRIMARIES= %lf %lf %lf %lf %lf %lf %lf %lf",
                                &carried[0], &carried[1], &carried[2], &carried[3], &carried[4],
                                &carried[5], &carried[6], &carried[7]));
            for (int i = 0; i < 8; i++)
                EXPECT_NEAR(primaries[i], carried[i], 1e-6) << i;
            written.erase(7, end - 6);
        }
        std::string header = "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(height) + " +X " +
                             std::to_string(width) + "\n";
        EXPECT_EQ(header, written.substr(0, header.size()));

        // The file's values: halves, or floats where it stores them.
        std::vector<float> floats = read_float_rgba(path);
        auto value = [&](size_t i, int c) {
            const ImfHalf halves[4] = {exr.pixels[i].r, exr.pixels[i].g, exr.pixels[i].b, exr.pixels[i].a};
            return floats.empty() ? ImfHalfToFloat(halves[c]) : floats[4 * i + c];
        };

        // The peer's decode of our RGBE file: the EXR's red, green and blue within RGBE precision.
        PeerPicture peer;
        ASSERT_TRUE(peer_decode(dir / "out.hdr", &peer));
        ASSERT_EQ(width, peer.width);
        ASSERT_EQ(height, peer.height);
        for (size_t i = 0; i < exr.pixels.size(); i++) {
            double rgb[3] = {rgbe_clean(value(i, 0)), rgbe_clean(value(i, 1)), rgbe_clean(value(i, 2))};
            double largest = std::max(rgb[0], std::max(rgb[1], rgb[2]));
            for (int c = 0; c < 3; c++) {
                double tolerance = largest * std::ldexp(1.0, -7) + 1e-9;
                ASSERT_LE(std::fabs(peer.values[3 * i + c] - rgb[c]), tolerance)
                    << "pixel " << i << " channel " << c << ": " << peer.values[3 * i + c] << " vs " << rgb[c];
            }
        }

        // The dump: the values as floats, red, green, blue, alpha.
        std::string dump = read_file(dir / "inscanline_out.raw");
        ASSERT_EQ(16u * width * height, dump.size());
        for (size_t i = 0; i < exr.pixels.size(); i++) {
            for (int c = 0; c < 4; c++) {
                float dumped, expected = value(i, c);
                memcpy(&dumped, dump.data() + 16 * i + 4 * c, 4);
                ASSERT_TRUE(dumped == expected || (std::isnan(dumped) && std::isnan(expected))) << i;
            }
        }
    }
}

TEST(CorpusExrDamaged, EveryFileEndsCleanly)
{
    if (corpus_dir("exr-damaged").empty())
        GTEST_SKIP() << "no damaged corpus";
    ScratchDir dir;
    RunOptions options;
    options.cwd = dir.path;
    options.timeout_seconds = 60;
    for (const std::string &path : corpus_files("exr-damaged", "")) {
        SCOPED_TRACE(base_name(path));
        // On one thread first: the library's threads, which read several blocks at once, must
        // not change which fault is reported.
        RunResult one = run_program(fromhalf_path(), {"-i", path, "-o", "out.hdr", "--threads", "1"}, options);
        unlink((dir / "out.hdr").c_str());
        RunResult r = run_program(fromhalf_path(), {"-i", path, "-o", "out.hdr"}, options);
        EXPECT_EQ(one.status, r.status);
        EXPECT_EQ(one.out, r.out);
        EXPECT_EQ(one.err, r.err);
        ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << "\n" << r.err;
        if (r.status == 0) {
            EXPECT_EQ("\npictor: Done.\n", r.err);
            int width, height;
            std::vector<double> pixels;
            EXPECT_TRUE(decode_rgbe(dir / "out.hdr", &width, &height, &pixels));
        } else {
            // Every line is one of the converter's messages, and no output is left.
            size_t start = 0;
            while (start < r.err.size()) {
                size_t end = r.err.find('\n', start);
                std::string line = r.err.substr(start, end - start);
                EXPECT_TRUE(line.rfind("exrinput: ", 0) == 0 || line.rfind("pictor: ", 0) == 0) << line;
                start = end == std::string::npos ? r.err.size() : end + 1;
            }
            EXPECT_FALSE(file_exists(dir / "out.hdr"));
        }
        unlink((dir / "out.hdr").c_str());
    }
}

TEST(CorpusExrDamaged, ImplausibleSizesAreRefusedBeforeReading)
{
    std::string dir = corpus_dir("exr-damaged");
    if (dir.empty())
        GTEST_SKIP() << "no damaged corpus";
    ScratchDir scratch;
    RunOptions options;
    options.cwd = scratch.path;
    struct Case {
        std::string name, claim;
    } cases[] = {
        {"heap_overflow_exr", "14926 bytes can't hold 197 x 6951 pixels"},
        {"asan_heap-oob_7f6798416389_229_18bd946a4fde157b9974d16a51a4851d_exr",
         "47557 bytes can't hold 1023 x 49409 pixels"},
    };
    for (const Case &c : cases) {
        std::string path = dir + "/" + c.name;
        RunResult r = run_program(fromhalf_path(), {"-i", path, "-o", "out.hdr"}, options);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("pictor: " + path + " is damaged: " + c.claim + ".\n", r.err);
        EXPECT_TRUE(list_dir(scratch.path).empty());  // neither dump nor picture
    }
}

}  // namespace
