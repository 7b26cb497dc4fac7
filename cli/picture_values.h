// What pictor_tohalf does to a picture's values on their way to the output: the gamma and the
// exposure of the Radiance header, and values too bright for the output's type stored as its
// largest value, never as an infinity.
#ifndef PICTOR_CLI_PICTURE_VALUES_H
#define PICTOR_CLI_PICTURE_VALUES_H

#include "exr_io/exr_compression.h"
#include "exr_io/exr_picture_info.h"
#include "rgbe/rgbe.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The header's gamma and exposure, as they act on the pixels, and the warnings for those that
// don't; and what the other lines say of the picture.
struct HeaderFactors {
    bool apply_gamma, apply_exposure;
    double gamma_power;    // v becomes v ^ gamma_power
    double multiplier;     // then v * multiplier: the exposure squared
    std::string skipped;   // warnings for the lines passed over that would have changed values
    bool xyze;             // a FORMAT=32-bit_rle_xyze line: CIE XYZ, not RGB
    bool has_primaries;    // a PRIMARIES= line: x, y of red, green, blue and white
    float primaries[8];
    float pixel_aspect;    // the PIXASPECT= lines' product: a pixel's height / width; 0 if none
};

// For rgbe_header_read_noting, context a HeaderFactors: keeps the warning for a GAMMA= or
// EXPOSURE= line passed over whose value is not 1, and for lines that can't be taken; takes
// PRIMARIES= and PIXASPECT= lines (Radiance multiplies the pixel aspects of several).
void note_header_line(void *context, const char *line, int32_t number);

// What the header's PRIMARIES= and PIXASPECT= lines say, as OpenEXR holds it: Radiance's pixel
// aspect is a pixel's height / width, OpenEXR's its width / height.
ExrPictureInfo picture_info_of(const HeaderFactors &factors);

// The RGBE header lines for what an OpenEXR picture says of itself: "PRIMARIES= rx ry gx gy bx
// by wx wy" and "PIXASPECT=", each only where the picture has it, each number the shortest that
// reads back as the same float. "" for none.
std::string header_lines_of(const ExrPictureInfo &info);

// Chooses what acts from the header read. Gamma and exposure act only when they are finite and
// positive: some writers put "GAMMA=0" or "EXPOSURE=0" in every file.
void choose_factors(HeaderFactors *factors, const RgbeHeaderInfo &info);

// Reports them: factors ignored on stderr; factors applied on stdout.
void report_factors(const HeaderFactors &factors, const RgbeHeaderInfo &info);

// Values too bright for the output: how many pixels held one, and the brightest.
struct Clamped {
    uint64_t pixels;
    double brightest;
};

// What values too bright for the output are clamped to: the largest value of its type, or for
// DWA compressions a lower one (see exr_compression_ceiling).
struct ClampCeiling {
    float overflow;   // values from here on (as floats) are too bright
    double largest;   // what they are stored as
    bool floats;      // 32-bit float output
    bool lowered;     // below the type's largest
};
ClampCeiling clamp_ceiling(bool float_output, const ExrCompression &compression);

// Stores the components of count pixels of three doubles that are too bright as the ceiling's
// largest value with their sign, and counts their pixels in clamped.
void clamp_too_bright(double *rgb, size_t count, const ClampCeiling &ceiling, Clamped *clamped);

// The one warning for the values clamped, once the picture is written (nothing when none was).
void report_clamped(const Clamped &clamped, const ClampCeiling &ceiling);

#endif
