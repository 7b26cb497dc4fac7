#include "exr_io/exr_plan.h"
#include "exr_io/exr_compression.h"

#include <ImfChannelList.h>
#include <ImfPartType.h>
#include <ImfRgbaYca.h>
#include <ImfStandardAttributes.h>
#include <ImfStdIO.h>
#include <ImfTileDescription.h>
#include <ImfVersion.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>
#include <vector>

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

// Blocks of the full-resolution level: each takes at least an offset of 8 bytes in the file's
// table, and a block header of 8 bytes before its data. The header passed the library's own
// checks (read_headers): tile sizes and samplings are positive.
double least_block_bytes(const Imf::Header &header, double width, double height)
{
    double blocks;
    if (header.hasTileDescription()) {
        const Imf::TileDescription &tiles = header.tileDescription();
        blocks = std::max(1.0, width / tiles.xSize) * std::max(1.0, height / tiles.ySize);
    } else {
        blocks = height / exr_compression_block_rows(header.compression());
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

// Decides how the file is read. Colour (R, G, B and A) when the layer has R, G and B, or has no
// Y; luminance (Y, RY, BY and A) otherwise. The RGBA interface reads the top-level half channels
// of the first part only; the general interface all others, and colour that comes with Y,
// where the RGBA interface would read the luminance instead of the colour.
void plan_channels(ExrInputPlan *plan)
{
    const Imf::ChannelList &channels = plan->header.channels();
    auto find = [&](const char *name) { return channels.findChannel(plan->prefix + name); };
    const Imf::Channel *r = find("R"), *g = find("G"), *b = find("B"), *a = find("A"),
                       *y = find("Y"), *ry = find("RY"), *by = find("BY");
    bool chosen = plan->part != 0 || !plan->prefix.empty();
    if ((r && g && b) || !y) {
        plan->general = chosen || (r && g && b && y) || wide(r) || wide(g) || wide(b) || wide(a);
        return;
    }
    if (!chosen && !wide(y) && !wide(ry) && !wide(by) && !wide(a))
        return;
    if (!chosen && ry && by && (ry->xSampling != by->xSampling || ry->ySampling != by->ySampling))
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

// Whether the channels named prefix + R, G, B or Y hold colour.
bool has_colour(const Imf::ChannelList &channels, const std::string &prefix)
{
    for (const char *name : {"R", "G", "B", "Y"}) {
        if (channels.findChannel(prefix + name))
            return true;
    }
    return false;
}

// A header of a flat image, scanlines or tiles, that pictor converts; not deep data.
bool flat_image(const Imf::Header &header, int version)
{
    if (!header.hasType())
        return !Imf::isNonImage(version);
    return header.type() == Imf::SCANLINEIMAGE || header.type() == Imf::TILEDIMAGE;
}

// The file's headers: the one of a single-part file, or those of every part, as many as can be
// read (a later one that can't be read ends them). Reads nothing more. Returns false when the
// first can't be read, with the library's reason in *fault where it gave one.
bool read_headers(const char *path, std::vector<Imf::Header> *headers, int *version,
                  std::string *fault)
{
    try {
        Imf::StdIFStream in(path);
        unsigned char start[8];
        if (!in.read((char *)start, sizeof start))
            return false;
        int magic = start[0] | start[1] << 8 | start[2] << 16 | start[3] << 24;
        *version = start[4] | start[5] << 8 | start[6] << 16 | start[7] << 24;
        // Only files that pass the library's own checks: what the library refuses, it says
        // best why.
        if (magic != 20000630 || Imf::getVersion(*version) != 2 ||
            !Imf::supportsFlags(Imf::getFlags(*version)))
            return false;
        bool tiled = Imf::isTiled(*version), parts = Imf::isMultiPart(*version);
        headers->emplace_back();
        headers->back().readFrom(in, *version);
        headers->back().sanityCheck(tiled, parts);
        try {
            while (parts) {
                Imf::Header next;
                next.readFrom(in, *version);
                if (next.readsNothing())
                    break;
                next.sanityCheck(tiled, parts);
                headers->push_back(next);
            }
        } catch (const std::exception &) {
            // the parts before it are read as they are
        }
        return true;
    } catch (const std::exception &e) {
        *fault = e.what();
        return false;
    }
}

// The parts of a file, for a message: "0 (beauty), 1 (depth)", or "0, 1" without names.
std::string part_list(const std::vector<Imf::Header> &headers)
{
    std::string list;
    for (size_t i = 0; i < headers.size(); i++) {
        list += (i ? ", " : "") + std::to_string(i);
        if (headers[i].hasName())
            list += " (" + printable(headers[i].name().c_str()) + ")";
    }
    return list;
}

// The number of the part that word names: its number from 0, or its name. -1 when none is.
int find_part(const std::vector<Imf::Header> &headers, const char *word)
{
    if (word[0] >= '0' && word[0] <= '9' && word[strspn(word, "0123456789")] == '\0') {
        size_t digits = strlen(word) - strspn(word, "0");
        if (digits <= 9 && strtol(word, nullptr, 10) < (long)headers.size())
            return (int)strtol(word, nullptr, 10);
        return -1;
    }
    for (size_t i = 0; i < headers.size(); i++) {
        if (headers[i].hasName() && headers[i].name() == word)
            return (int)i;
    }
    return -1;
}

// The options that would read colour from a file where the chosen layer and part have none:
// layers of that part with colour, and unless a part was chosen, other parts with top-level
// colour. "" when there are none.
std::string colour_elsewhere(const std::vector<Imf::Header> &headers, int version, int part,
                             const ExrReadChoice &choice)
{
    std::vector<std::string> options;
    std::set<std::string> layers;
    headers[part].channels().layers(layers);
    for (const std::string &layer : layers) {
        if (has_colour(headers[part].channels(), layer + "."))
            options.push_back("--layer " + printable(layer.c_str()));
    }
    for (size_t i = 0; !choice.part && i < headers.size(); i++) {
        if ((int)i != part && flat_image(headers[i], version) && has_colour(headers[i].channels(), ""))
            options.push_back("--part " + std::to_string(i));
    }
    const size_t most = 8;
    std::string text;
    for (size_t i = 0; i < options.size() && i < most; i++)
        text += (i == 0 ? "" : i + 1 == options.size() ? " or " : ", ") + options[i];
    if (options.size() > most)
        text += " or another of its " + std::to_string(options.size()) + " layers and parts";
    return text;
}

// What the picture says of itself: primaries where the file has them, and a pixel aspect where
// it is not square.
void take_picture_info(ExrInputPlan *plan)
{
    if (Imf::hasChromaticities(plan->header)) {
        const Imf::Chromaticities &c = Imf::chromaticities(plan->header);
        const float values[8] = {c.red.x, c.red.y, c.green.x, c.green.y,
                                 c.blue.x, c.blue.y, c.white.x, c.white.y};
        plan->info.has_primaries = std::all_of(values, values + 8, [](float v) { return std::isfinite(v); });
        plan->primaries_dropped = !plan->info.has_primaries;
        std::copy(values, values + 8, plan->info.primaries);
    }
    float aspect = plan->header.pixelAspectRatio();
    if (std::isfinite(aspect) && aspect > 0 && aspect != 1.0f)
        plan->info.pixel_aspect = aspect;
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
        data_bytes += (channel.type == Imf::HALF ? 2.0 : 4.0) * (width / channel.xSampling) *
                      (height / channel.ySampling);
        plan->channel_names += (plan->channel_names.empty() ? "" : ", ") + printable(c.name());
    }
    double least = least_data_bytes(header.compression(), data_bytes, (double)width * height) +
                   least_block_bytes(header, (double)width, (double)height);
    plan->least_bytes = least >= 1.8e19 ? UINT64_MAX : (uint64_t)least;
    // A block: a tile, or the scanlines the compression takes together, of every channel.
    plan->block_rows = header.hasTileDescription() ? (int32_t)header.tileDescription().ySize
                                                   : exr_compression_block_rows(header.compression());
    double block_pixels = (double)width * exr_compression_block_rows(header.compression());
    if (header.hasTileDescription())
        block_pixels = (double)header.tileDescription().xSize * header.tileDescription().ySize;
    double block = data_bytes / ((double)width * height) * block_pixels;
    plan->block_bytes = block >= 1.8e19 ? UINT64_MAX : (uint64_t)block;
    plan->colour_channels = has_colour(header.channels(), plan->prefix);
    plan_channels(plan);
    take_picture_info(plan);
    return true;
}

}  // namespace

std::unique_ptr<ExrInputPlan> exr_plan_read(const char *path, const ExrReadChoice &choice,
                                            std::string *refusal)
{
    std::vector<Imf::Header> headers;
    int version = 0;
    std::string fault;
    bool chosen = choice.layer || choice.part;
    if (!read_headers(path, &headers, &version, &fault)) {
        if (chosen)
            *refusal = "Cannot read " + std::string(path) + (fault.empty() ? "." : ": " + fault);
        return nullptr;
    }
    int part = choice.part ? find_part(headers, choice.part) : 0;
    if (part < 0) {
        *refusal = std::string(path) + " has no part " + choice.part + "; its parts: " +
                   part_list(headers) + ".";
        return nullptr;
    }
    std::string where = part == 0 && !choice.part ? path : "Part " + std::to_string(part) + " of " + path;
    if (!flat_image(headers[part], version)) {
        if (chosen)
            *refusal = where + " holds deep data, which is not converted.";
        return nullptr;
    }
    std::unique_ptr<ExrInputPlan> plan(new ExrInputPlan);
    plan->header = headers[part];
    plan->part = part;
    plan->prefix = choice.layer ? std::string(choice.layer) + "." : "";
    if (!take_header(plan.get())) {
        if (chosen)
            *refusal = where + " has a data window without pixels or too wide to be read.";
        return nullptr;
    }
    if (!plan->colour_channels)
        plan->colour_elsewhere = colour_elsewhere(headers, version, part, choice);
    return plan;
}
