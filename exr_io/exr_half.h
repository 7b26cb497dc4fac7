// Narrowing of doubles to half floats, via 32-bit floats, exactly as the library's
// ImfFloatToHalf((float)value) gives them, many values at a time: with the processor's F16C
// instructions where it has them, chosen when first called, and with Imath's own conversion on
// processors without them.
#ifndef PICTOR_EXR_IO_EXR_HALF_H
#define PICTOR_EXR_IO_EXR_HALF_H

#include <cstddef>
#include <cstdint>

// Narrows count values into halves (the bits of a half each).
void exr_narrow_halves(const double *values, uint16_t *halves, size_t count);

// Narrows pixels of three values (red, green, blue) into pixels of four halves, alpha 0.
void exr_narrow_rgb_to_rgba(const double *rgb, uint16_t *rgba, size_t pixels);

// Widens count halves to floats, bit for bit as the library's ImfHalfToFloat gives them, with
// F16C where the processor has it; a NaN comes out quiet, as through a double, its payload kept.
void exr_widen_halves(const uint16_t *halves, float *floats, size_t count);

// Makes every signalling NaN among count floats quiet, as a conversion to double and back does;
// every other value stays as it is.
void exr_quiet_nans(float *values, size_t count);

// The way taken on this processor: "F16C" or "plain".
const char *exr_narrowing_way(void);

#endif
