#include "exr_io/exr_plan.h"

#include <ImfChannelList.h>
#include <ImfRgbaYca.h>
#include <ImfStandardAttributes.h>
#include <ImfStdIO.h>
#include <ImfTileDescription.h>
#include <ImfVersion.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>

namespace {

// The fewest bytes that data_bytes of pixel data can be stored in. zlib (ZIP, ZIPS, and PXR24
// after it drops floats to 24 bits) can't do better than 1032 to 1; the library's run-length
// code stores at most 127 equal bytes in 2; PIZ's Huffman code with runs reaches about 410 to 1
// on a constant picture; B44A stores a flat block of 16 halves in 3 bytes. DWA, lossy, is
// bounded as any file was before: a constant picture measures about 17,000 to 1, and 100,000
// to 1 of RGBA halves is allowed.
double least_data_bytes(Imf::Compression compression, double data_bytes, double pixels)
{
    switch (compression) {
    case Imf::NO_COMPRESSION:
        return data_bytes;
    case Imf::RLE_COMPRESSION:
        return data_bytes / 64;
    case Imf::ZIPS_COMPRESSION:
    case Imf::ZIP_COMPRESSION:
        return data_bytes / 1032;
    case Imf::PIZ_COMPRESSION:
        return data_bytes / 1000;
    case Imf::PXR24_COMPRESSION:
        return data_bytes / 1400;
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION:
        return data_bytes / 11;
    default:
        return pixels * 8 / 100000;
    }
}

// Scanlines in a block of a scanline file, by compression.
int block_rows(Imf::Compression compression)
{
    switch (compression) {
    case Imf::ZIP_COMPRESSION:
    case Imf::PXR24_COMPRESSION:
        return 16;
    case Imf::PIZ_COMPRESSION:
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION:
    case Imf::DWAA_COMPRESSION:
        return 32;
    case Imf::DWAB_COMPRESSION:
        return 256;
    default:
        return 1;
    }
}

// Blocks of the full-resolution level: each takes at least an offset of 8 bytes in the file's
// table, and a block header of 8 bytes before its data. The header passed the library's own
// checks (read_header): tile sizes and samplings are positive.
double least_block_bytes(const Imf::Header &header, double width, double height)
{
    double blocks;
    if (header.hasTileDescription()) {
        const Imf::TileDescription &tiles = header.tileDescription();
        blocks = std::max(1.0, width / tiles.xSize) * std::max(1.0, height / tiles.ySize);
    } else {
        blocks = height / block_rows(header.compression());
    }
    return 16 * blocks;
}

// A channel name as text that can be printed: other bytes as \xNN.
std::string printable(const char *name)
{
    std::string text;
    for (const unsigned char *c = (const unsigned char *)name; *c; c++) {
        if (*c >= 0x20 && *c < 0x7f) {
            text += (char)*c;
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", *c);
            text += escaped;
        }
    }
    return text;
}

// A channel that the RGBA interface would narrow: 32-bit floats or unsigned integers.
bool wide(const Imf::Channel *channel)
{
    return channel && channel->type != Imf::HALF;
}

// Decides how the file is read. Colour (R, G, B and A) when the file has R, G and B, or has no
// Y; luminance (Y, RY, BY and A) otherwise. The RGBA interface reads files of half channels
// only; the general interface all others, and colour files that also have Y, where the RGBA
// interface would read the luminance instead of the colour.
void plan_channels(ExrInputPlan *plan)
{
    const Imf::ChannelList &channels = plan->header.channels();
    const Imf::Channel *r = channels.findChannel("R"), *g = channels.findChannel("G"),
                       *b = channels.findChannel("B"), *a = channels.findChannel("A"),
                       *y = channels.findChannel("Y"), *ry = channels.findChannel("RY"),
                       *by = channels.findChannel("BY");
    if ((r && g && b) || !y) {
        plan->general = (r && g && b && y) || wide(r) || wide(g) || wide(b) || wide(a);
        return;
    }
    if (!wide(y) && !wide(ry) && !wide(by) && !wide(a))
        return;
    if (ry && by && (ry->xSampling != by->xSampling || ry->ySampling != by->ySampling))
        return;  // chroma that the RGBA interface makes sense of, if anything can
    plan->general = true;
    plan->luminance = true;
    plan->chroma = ry || by;
    if (plan->chroma) {
        const Imf::Channel *c = ry ? ry : by;
        plan->x_sampling = c->xSampling;
        plan->y_sampling = c->ySampling;
        Imf::Chromaticities primaries;
        if (Imf::hasChromaticities(plan->header))
            primaries = Imf::chromaticities(plan->header);
        plan->yw = Imf::RgbaYca::computeYw(primaries);
    }
}

// Reads the file's header, and nothing more, through the library. Returns null when it can't
// be read: the library's open then says why.
std::unique_ptr<ExrInputPlan> read_header(const char *path)
{
    try {
        Imf::StdIFStream in(path);
        unsigned char start[8];
        if (!in.read((char *)start, sizeof start))
            return nullptr;
        int magic = start[0] | start[1] << 8 | start[2] << 16 | start[3] << 24;
        int version = start[4] | start[5] << 8 | start[6] << 16 | start[7] << 24;
        // Only a plain image that passes the library's own checks: what the library refuses,
        // it says best why.
        if (magic != 20000630 || Imf::getVersion(version) != 2 ||
            !Imf::supportsFlags(Imf::getFlags(version)))
            return nullptr;
        std::unique_ptr<ExrInputPlan> plan(new ExrInputPlan);
        plan->header.readFrom(in, version);
        plan->header.sanityCheck(Imf::isTiled(version), Imf::isMultiPart(version));
        bool typed = plan->header.hasType();
        const std::string type = typed ? plan->header.type() : "";
        if ((Imf::isNonImage(version) && !typed) ||
            (typed && type != "scanlineimage" && type != "tiledimage"))
            return nullptr;
        return plan;
    } catch (const std::exception &) {
        return nullptr;
    }
}

// Takes the window, the least size, the blocks and the reading plan from the header. Returns
// false when the window holds no pixels or is too wide to be read: the library's open then
// tells.
bool take_header(ExrInputPlan *plan)
{
    const Imf::Header &header = plan->header;
    const Imath::Box2i &window = header.dataWindow();
    int64_t width = (int64_t)window.max.x - window.min.x + 1;
    int64_t height = (int64_t)window.max.y - window.min.y + 1;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX)
        return false;
    plan->window = ExrWindow{window.min.x, window.min.y, (int32_t)width, (int32_t)height};
    double data_bytes = 0;
    for (auto c = header.channels().begin(); c != header.channels().end(); ++c) {
        const Imf::Channel &channel = c.channel();
        std::string name = c.name();
        plan->colour_channels = plan->colour_channels || name == "R" || name == "G" ||
                                name == "B" || name == "Y";
        data_bytes += (channel.type == Imf::HALF ? 2.0 : 4.0) * (width / channel.xSampling) *
                      (height / channel.ySampling);
        plan->channel_names += (plan->channel_names.empty() ? "" : ", ") + printable(c.name());
    }
    double least = least_data_bytes(header.compression(), data_bytes, (double)width * height) +
                   least_block_bytes(header, (double)width, (double)height);
    plan->least_bytes = least >= 1.8e19 ? UINT64_MAX : (uint64_t)least;
    // A block: a tile, or the scanlines the compression takes together, of every channel.
    plan->block_rows = header.hasTileDescription() ? (int32_t)header.tileDescription().ySize
                                                   : block_rows(header.compression());
    double block_pixels = (double)width * block_rows(header.compression());
    if (header.hasTileDescription())
        block_pixels = (double)header.tileDescription().xSize * header.tileDescription().ySize;
    double block = data_bytes / ((double)width * height) * block_pixels;
    plan->block_bytes = block >= 1.8e19 ? UINT64_MAX : (uint64_t)block;
    plan_channels(plan);
    return true;
}

}  // namespace

std::unique_ptr<ExrInputPlan> exr_plan_read(const char *path)
{
    std::unique_ptr<ExrInputPlan> plan = read_header(path);
    if (plan && !take_header(plan.get()))
        plan.reset();
    return plan;
}
