// What pictor_tohalf does to a picture's values on their way to the output: the gamma and the
// exposure of the Radiance header, and values too bright for the output's type stored as its
// largest value, never as an infinity.
#ifndef PICTOR_CLI_PICTURE_VALUES_H
#define PICTOR_CLI_PICTURE_VALUES_H

#include "rgbe/rgbe.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The header's gamma and exposure, as they act on the pixels, and the warnings for those that
// don't.
struct HeaderFactors {
    bool apply_gamma, apply_exposure;
    double gamma_power;    // v becomes v ^ gamma_power
    double multiplier;     // then v * multiplier: the exposure squared
    std::string skipped;   // warnings for factor lines the header reader passed over
};

// For rgbe_header_read_noting, context a HeaderFactors: keeps the warning for a GAMMA= or
// EXPOSURE= line passed over whose value is not 1.
void note_skipped_factor(void *context, const RgbeSkippedFactor *factor);

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

// Stores the components of count pixels of three doubles that would narrow to an infinity (in
// half floats, or with float_output in 32-bit floats) as the output's largest value with their
// sign, and counts their pixels in clamped.
void clamp_too_bright(double *rgb, size_t count, bool float_output, Clamped *clamped);

// The one warning for the values clamped, once the picture is written (nothing when none was).
void report_clamped(const Clamped &clamped, bool float_output);

#endif
