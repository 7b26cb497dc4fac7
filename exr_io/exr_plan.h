// What an OpenEXR file's header says, read before the library opens its pixel data, and how its
// channels make rows of red, green, blue and alpha. Shared by the reader's parts; not part of the
// module's interface.
#ifndef PICTOR_EXR_IO_EXR_PLAN_H
#define PICTOR_EXR_IO_EXR_PLAN_H

#include "exr_io/exr_picture_info.h"
#include "exr_io/exr_reader.h"

#include <ImfHeader.h>
#include <ImathVec.h>

#include <cstdint>
#include <memory>
#include <string>

// The part of the picture that is read: its data window, scanline 0 being the window's top row.
struct ExrWindow {
    int32_t x_min, y_min;
    int32_t width, height;
};

struct ExrInputPlan {
    Imf::Header header;              // of the part that is read
    int part = 0;                    // its number in a multi-part file
    std::string prefix;              // its channels' layer: "NAME." (--layer NAME), or ""
    ExrWindow window;
    uint64_t least_bytes;            // the fewest bytes a file with this header can take
    uint64_t block_bytes;            // the bytes of a block of rows (or a tile), all channels
    int32_t block_rows;              // scanlines of a block (1 to 256), or a tile's height
    bool colour_channels = false;    // any of R, G, B and Y in the layer
    std::string channel_names;       // all of them, printable, for the message without any
    std::string colour_elsewhere;    // then the --layer and --part options that read some
    // How the channels are read: through the RGBA interface, which reads the top-level half
    // channels of the first part (and converts luminance-chroma), or through the general
    // interface as 32-bit floats: red, green, blue and alpha, or luminance (with its chroma where
    // present) and alpha.
    bool general = false;
    bool luminance = false;          // Y read where red goes, then made red, green and blue
    bool chroma = false;             // with RY and BY
    int x_sampling = 1, y_sampling = 1;  // of the chroma
    Imath::V3f yw;                   // luminance weights of the file's primaries
    ExrPictureInfo info;             // the primaries and pixel aspect it has
    bool primaries_dropped = false;  // chromaticities that are not all finite: not taken
};

// Reads path's headers, and nothing more, through the library. Returns null when they can't be
// read, or the part holds no pixels, or is too wide to be read: the library's open then says
// why. When a part or layer was chosen and can't be read, *refusal (unless empty) says why.
std::unique_ptr<ExrInputPlan> exr_plan_read(const char *path, const ExrReadChoice &choice,
                                            std::string *refusal);

// a / b rounded towards minus infinity.
inline int64_t exr_floor_div(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

#endif
