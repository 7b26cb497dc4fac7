// Writes hostile inputs into a folder, for bench/bench_hostile.sh: Radiance headers that never
// end or claim absurd sizes, and OpenEXR headers whose few bytes ask the library for gigabytes.
//   pictor_make_hostile FOLDER
#include <ImfCRgbaFile.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void write(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read(const std::string &path)
{
    std::stringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

// bytes with value written offset bytes after the start of name.
std::string patched(std::string bytes, const std::string &name, size_t offset,
                    const std::string &value)
{
    size_t at = bytes.find(name);
    if (at != std::string::npos)
        bytes.replace(at + offset, value.size(), value);
    return bytes;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: pictor_make_hostile FOLDER\n", stderr);
        return 2;
    }
    std::string dir = argv[1];
    std::string comments;
    while (comments.size() < (8u << 20))
        comments += "# a comment that never ends\n";
    const std::string format = "FORMAT=32-bit_rle_rgbe\n";
    write(dir + "/comments_before.hdr", "#?RGBE\n" + comments);
    write(dir + "/comments_after.hdr", "#?RGBE\n" + format + comments);
    write(dir + "/no_newline.hdr", std::string(64u << 20, 'x'));
    write(dir + "/zeros.hdr", std::string(64u << 20, '\0'));
    write(dir + "/huge.hdr", "#?RGBE\n" + format + "\n-Y 2000000000 +X 2000000000\n");
    write(dir + "/tall.hdr", "#?RGBE\n" + format + "\n-Y 2147483647 +X 30000\n\2\2\x75\x30");
    write(dir + "/large.hdr", "#?RGBE\n" + format + "\n-Y 100000 +X 100000\n");

    // Tall and narrow claims over a few KB of real pixel data: coded rows of width 8, flat
    // pixels of width 1.
    std::string coded_rows, flat_pixels(4096, '\x80');
    while (coded_rows.size() < 4096)
        coded_rows += std::string("\2\2\0\x08\x88\x80\x88\x40\x88\x20\x88\x81", 12);
    const long heights[] = {1000000, 10000000, 60000000, 400000000, 2147483647};
    for (long height : heights) {
        for (int width : {1, 8}) {
            std::string size = "-Y " + std::to_string(height) + " +X " + std::to_string(width);
            write(dir + "/tall_" + std::to_string(width) + "x" + std::to_string(height) + ".hdr",
                  "#?RGBE\n" + format + "\n" + size + "\n" + (width == 8 ? coded_rows : flat_pixels));
        }
    }

    // A 1 x 1 OpenEXR file, then its header made hostile.
    std::string one_path = dir + "/one.exr";
    ImfHeader *header = ImfNewHeader();
    ImfHeaderSetDataWindow(header, 0, 0, 0, 0);
    ImfHeaderSetDisplayWindow(header, 0, 0, 0, 0);
    ImfHeaderSetCompression(header, IMF_PIZ_COMPRESSION);
    ImfOutputFile *out = ImfOpenOutputFile(one_path.c_str(), header, IMF_WRITE_RGBA);
    ImfDeleteHeader(header);
    ImfRgba pixel = {0x3c00, 0x3c00, 0x3c00, 0x3c00};
    if (!out || !ImfOutputSetFrameBuffer(out, &pixel, 1, 1) || !ImfOutputWritePixels(out, 1) ||
        !ImfCloseOutputFile(out)) {
        fprintf(stderr, "pictor_make_hostile: %s\n", ImfErrorMessage());
        return 1;
    }
    std::string one = read(one_path);
    int32_t tall[4] = {0, -(1 << 30) + 2, 0, (1 << 30) - 2};  // about 2^31 lines
    int32_t wide[4] = {-(1 << 30) + 2, 0, (1 << 30) - 2, 0};  // about 2^31 pixels a line
    int32_t huge = 2000000000;
    write(dir + "/tall.exr", patched(one, "dataWindow", 21, std::string((char *)tall, 16)));
    for (long height : heights) {
        for (int32_t width : {1, 8}) {
            int32_t window[4] = {0, 0, width - 1, (int32_t)(height - 1)};
            write(dir + "/tall_" + std::to_string(width) + "x" + std::to_string(height) + ".exr",
                  patched(one, "dataWindow", 21, std::string((char *)window, 16)));
        }
    }
    write(dir + "/wide.exr", patched(one, "dataWindow", 21, std::string((char *)wide, 16)));
    std::string text_attribute = patched(one, "channels", 0, std::string("channelz\0string", 16));
    write(dir + "/attribute.exr", patched(text_attribute, "channelz", 16, std::string((char *)&huge, 4)));
    return 0;
}
